// CoreFoundation strings, file-system URLs and bundles whose Info.plist is read from
// Contents/Info.plist, as the plug-in uses them.
#include "StandinCore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

using namespace apple_standin;

namespace {

enum : CFTypeID { kStringTypeID = 7, kURLTypeID = 29, kBundleTypeID = 31, kPlistValueTypeID = 22 };

struct CFURLObject : CFObject {
	std::string path;
	bool isDirectory;
	CFURLObject(std::string p, bool dir) : CFObject(CFKind::URL), path(std::move(p)), isDirectory(dir) {}
};

// A value of the info dictionary that is not a string (number, boolean, array, ...).
struct CFPlistValueObject : CFObject {
	CFPlistValueObject() : CFObject(CFKind::PlistValue) {}
};

struct CFBundleObject : CFObject {
	std::string path;
	std::map<std::string, CFObject*> info; // one reference each, owned by the bundle
	explicit CFBundleObject(std::string p) : CFObject(CFKind::Bundle), path(std::move(p)) {}
	~CFBundleObject() override {
		for (auto& entry : info)
			ReleaseCF(entry.second);
	}
};

bool IsValidUTF8(const char* text) {
	const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
	while (*p) {
		int extra = *p < 0x80 ? 0 : (*p >> 5) == 6 ? 1 : (*p >> 4) == 14 ? 2 : (*p >> 3) == 30 ? 3 : -1;
		if (extra < 0)
			return false;
		++p;
		for (int i = 0; i < extra; ++i, ++p)
			if ((*p & 0xC0) != 0x80)
				return false;
	}
	return true;
}

// ---- The XML property list of a bundle: the top-level dictionary's keys and values. ---------

class PlistReader {
public:
	explicit PlistReader(std::string text) : mText(std::move(text)) {}

	// Fills `out` with the top-level dictionary; false when the text is not a property list.
	bool Read(std::map<std::string, CFObject*>* out) {
		std::string tag;
		while (NextTag(&tag)) {
			if (tag == "dict")
				return ReadDict(out);
			if (tag != "plist")
				return false;
		}
		return false;
	}

private:
	// The next element tag ("dict", "/dict", "true/"), skipping the declaration, the document
	// type and comments; the text before it goes to `text`.
	bool NextTag(std::string* tag, std::string* text = nullptr) {
		for (;;) {
			size_t open = mText.find('<', mPos);
			if (open == std::string::npos)
				return false;
			if (text)
				*text = mText.substr(mPos, open - mPos);
			if (mText.compare(open, 4, "<!--") == 0) {
				size_t end = mText.find("-->", open);
				if (end == std::string::npos)
					return false;
				mPos = end + 3;
				continue;
			}
			size_t close = mText.find('>', open);
			if (close == std::string::npos)
				return false;
			mPos = close + 1;
			if (mText[open + 1] == '?' || mText[open + 1] == '!')
				continue;
			std::string inner = mText.substr(open + 1, close - open - 1);
			size_t blank = inner.find_first_of(" \t\r\n");
			bool selfClosing = !inner.empty() && inner.back() == '/';
			*tag = inner.substr(0, blank == std::string::npos ? inner.size() - (selfClosing ? 1 : 0) : blank);
			if (selfClosing && tag->back() != '/')
				*tag += '/';
			return true;
		}
	}

	static std::string Unescape(const std::string& raw) {
		std::string out;
		for (size_t i = 0; i < raw.size(); ++i) {
			if (raw[i] != '&') {
				out += raw[i];
				continue;
			}
			size_t semi = raw.find(';', i);
			if (semi == std::string::npos) {
				out += raw[i];
				continue;
			}
			std::string name = raw.substr(i + 1, semi - i - 1);
			if (name == "amp") out += '&';
			else if (name == "lt") out += '<';
			else if (name == "gt") out += '>';
			else if (name == "quot") out += '"';
			else if (name == "apos") out += '\'';
			else if (!name.empty() && name[0] == '#') {
				unsigned long code = name.size() > 1 && (name[1] == 'x' || name[1] == 'X')
					? std::strtoul(name.c_str() + 2, nullptr, 16) : std::strtoul(name.c_str() + 1, nullptr, 10);
				AppendUTF8(&out, code);
			} else {
				out += raw.substr(i, semi - i + 1);
			}
			i = semi;
		}
		return out;
	}

	static void AppendUTF8(std::string* out, unsigned long c) {
		if (c < 0x80) {
			*out += char(c);
		} else if (c < 0x800) {
			*out += char(0xC0 | (c >> 6));
			*out += char(0x80 | (c & 0x3F));
		} else if (c < 0x10000) {
			*out += char(0xE0 | (c >> 12));
			*out += char(0x80 | ((c >> 6) & 0x3F));
			*out += char(0x80 | (c & 0x3F));
		} else {
			*out += char(0xF0 | (c >> 18));
			*out += char(0x80 | ((c >> 12) & 0x3F));
			*out += char(0x80 | ((c >> 6) & 0x3F));
			*out += char(0x80 | (c & 0x3F));
		}
	}

	// Reads the text of an element up to its closing tag.
	bool ReadText(const std::string& name, std::string* text) {
		std::string tag;
		if (!NextTag(&tag, text) || tag != "/" + name)
			return false;
		*text = Unescape(*text);
		return true;
	}

	// Reads the value whose opening tag was `tag`; a string becomes a CFString, anything else
	// a placeholder object. With `out` null the value is only skipped.
	bool ReadValue(const std::string& tag, CFObject** out) {
		std::string text;
		bool isString = false;
		if (tag == "string") {
			if (!ReadText(tag, &text))
				return false;
			isString = true;
		} else if (tag == "string/") {
			isString = true;
		} else if (tag == "dict") {
			if (!ReadDict(nullptr))
				return false;
		} else if (tag == "array") {
			std::string inner;
			for (;;) {
				if (!NextTag(&inner))
					return false;
				if (inner == "/array")
					break;
				if (!ReadValue(inner, nullptr))
					return false;
			}
		} else if (tag == "integer" || tag == "real" || tag == "date" || tag == "data") {
			if (!ReadText(tag, &text))
				return false;
		} else if (tag != "true/" && tag != "false/" && tag != "dict/" && tag != "array/") {
			return false;
		}
		if (out)
			*out = isString ? RegisterCF(new CFStringObject(text)) : RegisterCF(new CFPlistValueObject);
		return true;
	}

	bool ReadDict(std::map<std::string, CFObject*>* out) {
		std::string tag;
		for (;;) {
			if (!NextTag(&tag))
				return false;
			if (tag == "/dict")
				return true;
			std::string key;
			if (tag != "key" || !ReadText("key", &key) || !NextTag(&tag))
				return false;
			CFObject* value = nullptr;
			if (!ReadValue(tag, out ? &value : nullptr))
				return false;
			if (out) {
				auto existing = out->find(key);
				if (existing != out->end())
					ReleaseCF(existing->second);
				(*out)[key] = value;
			}
		}
	}

	std::string mText;
	size_t mPos = 0;
};

CFObject* sVersionKey = [] {
	CFObject* key = new CFStringObject("CFBundleVersion");
	key->constant = true;
	return RegisterCF(key);
}();

} // namespace

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFStringRef kCFBundleVersionKey = reinterpret_cast<CFStringRef>(sVersionKey);

void CFRelease(CFTypeRef cf) {
	CountCall("CFRelease");
	if (!cf) {
		Misuse("CFRelease(NULL)");
		return;
	}
	if (!ReleaseCF(cf))
		LookUpCF(cf, "CFRelease");
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
	CountCall("CFGetTypeID");
	CFObject* object = LookUpCF(cf, "CFGetTypeID");
	if (!object)
		return 0;
	switch (object->kind) {
	case CFKind::String: return kStringTypeID;
	case CFKind::URL: return kURLTypeID;
	case CFKind::Bundle: return kBundleTypeID;
	case CFKind::PlistValue: return kPlistValueTypeID;
	}
	return 0;
}

CFTypeID CFStringGetTypeID(void) {
	CountCall("CFStringGetTypeID");
	return kStringTypeID;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding) {
	CountCall("CFStringCreateWithCString");
	if (alloc != nullptr)
		Misuse("CFStringCreateWithCString: only the default allocator is supported");
	if (!cStr) {
		Misuse("CFStringCreateWithCString(NULL)");
		return nullptr;
	}
	if (encoding != kCFStringEncodingUTF8) {
		Misuse("CFStringCreateWithCString: only UTF-8 is supported");
		return nullptr;
	}
	if (!IsValidUTF8(cStr))
		return nullptr; // as CoreFoundation does for bytes that are not in the encoding
	return NewCFString(cStr);
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
	CountCall("CFStringGetCString");
	std::string text;
	if (!CFStringText(theString, "CFStringGetCString", &text))
		return false;
	if (encoding != kCFStringEncodingUTF8) {
		Misuse("CFStringGetCString: only UTF-8 is supported");
		return false;
	}
	if (!buffer || bufferSize <= 0)
		return false;
	if (CFIndex(text.size()) < bufferSize) {
		std::memcpy(buffer, text.c_str(), text.size() + 1);
		return true;
	}
	// Too long: as CoreFoundation, the whole characters that fit are written, without a NUL.
	size_t fit = size_t(bufferSize - 1);
	while (fit > 0 && (static_cast<unsigned char>(text[fit]) & 0xC0) == 0x80)
		--fit;
	std::memcpy(buffer, text.data(), fit);
	return false;
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath, CFURLPathStyle pathStyle,
	Boolean isDirectory) {
	CountCall("CFURLCreateWithFileSystemPath");
	if (allocator != nullptr)
		Misuse("CFURLCreateWithFileSystemPath: only the default allocator is supported");
	std::string path;
	if (!CFStringText(filePath, "CFURLCreateWithFileSystemPath", &path))
		return nullptr;
	if (pathStyle != kCFURLPOSIXPathStyle) {
		Misuse("CFURLCreateWithFileSystemPath: only the POSIX path style is supported");
		return nullptr;
	}
	if (path.empty() || path[0] != '/') {
		// Relative paths are taken from the current folder, as CoreFoundation does.
		char cwd[4096];
		if (getcwd(cwd, sizeof cwd))
			path = std::string(cwd) + (path.empty() ? "" : "/" + path);
	}
	return reinterpret_cast<CFURLRef>(RegisterCF(new CFURLObject(path, isDirectory != 0)));
}

CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL) {
	CountCall("CFBundleCreate");
	if (allocator != nullptr)
		Misuse("CFBundleCreate: only the default allocator is supported");
	CFObject* object = LookUpCF(bundleURL, "CFBundleCreate");
	if (!object)
		return nullptr;
	if (object->kind != CFKind::URL) {
		Misuse("CFBundleCreate given a CoreFoundation object that is not a URL");
		return nullptr;
	}
	const std::string& path = static_cast<CFURLObject*>(object)->path;
	struct stat info;
	if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
		return nullptr;

	auto* bundle = new CFBundleObject(path);
	std::ifstream plist(path + "/Contents/Info.plist", std::ios::binary);
	if (plist) {
		std::stringstream text;
		text << plist.rdbuf();
		std::map<std::string, CFObject*> values;
		// A damaged Info.plist leaves the bundle without an info dictionary.
		if (PlistReader(text.str()).Read(&values))
			bundle->info.swap(values);
		for (auto& entry : values)
			ReleaseCF(entry.second);
	}
	return reinterpret_cast<CFBundleRef>(RegisterCF(bundle));
}

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key) {
	CountCall("CFBundleGetValueForInfoDictionaryKey");
	CFObject* object = LookUpCF(bundle, "CFBundleGetValueForInfoDictionaryKey");
	if (!object)
		return nullptr;
	if (object->kind != CFKind::Bundle) {
		Misuse("CFBundleGetValueForInfoDictionaryKey given a CoreFoundation object that is not a bundle");
		return nullptr;
	}
	std::string name;
	if (!CFStringText(key, "CFBundleGetValueForInfoDictionaryKey", &name))
		return nullptr;
	auto* theBundle = static_cast<CFBundleObject*>(object);
	auto found = theBundle->info.find(name);
	return found == theBundle->info.end() ? nullptr : found->second; // not retained: the Get rule
}

} // extern "C"
