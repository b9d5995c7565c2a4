#include "RefHost.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace refhost {

namespace {

Host* gCurrentHost = nullptr;

constexpr size_t kServiceSlots = 256; // 2048 bytes: beyond the last service the host defines
constexpr uint32_t kHostStringMagic = 0x52545348; // "HSTR"

template <typename T>
T ReadAt(const void* base, size_t offset) {
	T value;
	memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof(T));
	return value;
}
template <typename T>
void WriteAt(void* base, size_t offset, T value) {
	memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof(T));
}

// A host string: an 8-byte header (magic, length), then the text and its NUL.
std::vector<uint8_t> MakeHostString(const std::string& text) {
	std::vector<uint8_t> bytes(off::kHostStringText + text.size() + 1, 0);
	WriteAt<uint32_t>(bytes.data(), 0, kHostStringMagic);
	WriteAt<uint32_t>(bytes.data(), 4, uint32_t(text.size()));
	memcpy(bytes.data() + off::kHostStringText, text.data(), text.size());
	return bytes;
}

// Reads a Value record the plug-in handed over.
HostValue DecodeValue(const void* record) {
	HostValue v;
	if (!record)
		return v;
	v.type = ReadAt<uint16_t>(record, off::kValueType);
	uint64_t payload = ReadAt<uint64_t>(record, off::kValuePayload);
	v.nullPayload = payload == 0;
	switch (v.type) {
	case kTypeFloat:
		v.real = ReadAt<double>(record, off::kValuePayload);
		break;
	case kTypeString:
		if (payload)
			v.text = reinterpret_cast<const char*>(uintptr_t(payload)) + off::kHostStringText;
		break;
	default:
		v.integer = int64_t(payload);
		break;
	}
	return v;
}

} // namespace

HostValue HostValue::Integer(int64_t x) {
	HostValue v;
	v.type = kTypeInteger;
	v.integer = x;
	v.nullPayload = x == 0;
	return v;
}
HostValue HostValue::Real(double x) {
	HostValue v;
	v.type = kTypeFloat;
	v.real = x;
	v.nullPayload = false;
	return v;
}
HostValue HostValue::Text(const std::string& x) {
	HostValue v;
	v.type = kTypeString;
	v.text = x;
	v.nullPayload = false;
	return v;
}
HostValue HostValue::None() {
	return HostValue();
}

uint32_t ImageUpdate::width() const { return ReadAt<uint32_t>(desc, off::kImageWidth); }
uint32_t ImageUpdate::height() const { return ReadAt<uint32_t>(desc, off::kImageHeight); }
uint32_t ImageUpdate::rowBytes() const { return ReadAt<uint32_t>(desc, off::kImageRowBytes); }
uint64_t ImageUpdate::pixelAddress() const { return ReadAt<uint64_t>(desc, off::kImagePixels); }

struct Host::Impl {
	struct Receiver {
		void* proc;
		uint32_t mask;
		void* info;
		void* refcon;
	};

	mutable std::mutex lock;
	Host* host = nullptr;
	std::vector<uint8_t> params = std::vector<uint8_t>(64, 0);
	void* table[kServiceSlots] = {};
	std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
	bool manualTime = false;
	uint32_t manualNow = 0;

	std::vector<Alert> alerts;
	std::vector<Assertion> assertions;
	std::vector<OutputEvent> outputs;
	std::vector<ImageUpdate> images;
	std::vector<size_t> traps;
	std::vector<std::string> errors;
	std::map<void*, size_t> allocations;
	std::map<int64_t, Receiver> receivers;
	// The last Tick's service calls: the actor record each went to and how long it took. The host's
	// thread only, like Tick itself.
	std::vector<std::pair<const void*, double>> lastTick;
	int64_t nextReceiver = 1;
	std::map<int64_t, Texture> textures;
	int64_t nextTexture = 1;
	std::vector<std::vector<uint8_t>> madeStrings; // host strings made by PopupStringToValue
	int findStringCalls = 0, pictureLoads = 0, pictureDraws = 0;
	int failAllocations = 0, failRegistrations = 0;
	bool overrideHelpIndex = false;
	std::atomic<bool> copyPixels{true};
	uint32_t helpIndexOverride = 0;

	void Error(const std::string& text) {
		std::lock_guard<std::mutex> guard(lock);
		errors.push_back(text);
	}
	Actor* FindActor(int64_t ref) {
		for (auto& actor : host->mActors)
			if (actor->ref == ref)
				return actor.get();
		return nullptr;
	}
};

namespace {

Host::Impl* Current() {
	return gCurrentHost ? gCurrentHost->impl() : nullptr;
}

// ---- The services, by slot -------------------------------------------------------------------

void SvcShowAlert(const char* message, const char* detail) {
	Host::Impl* h = Current();
	std::lock_guard<std::mutex> guard(h->lock);
	h->alerts.push_back({message ? message : "", detail ? detail : ""});
}

int64_t SvcRegisterMessageReceiver(void* proc, int64_t, uint32_t mask, void* info, int64_t, void* refcon) {
	Host::Impl* h = Current();
	std::lock_guard<std::mutex> guard(h->lock);
	if (h->failRegistrations > 0) {
		--h->failRegistrations;
		return 0;
	}
	if (!proc) {
		h->errors.push_back("RegisterMessageReceiver: null receiver");
		return 0;
	}
	int64_t handle = h->nextReceiver++;
	h->receivers[handle] = {proc, mask, info, refcon};
	return handle;
}

void SvcUnregisterMessageReceiver(int64_t handle) {
	Host::Impl* h = Current();
	std::lock_guard<std::mutex> guard(h->lock);
	if (!h->receivers.erase(handle))
		h->errors.push_back("UnregisterMessageReceiver: unknown handle " + std::to_string(handle));
}

void* SvcGetInputPropertyValue(int64_t ref, uint32_t index) {
	Host::Impl* h = Current();
	Actor* actor = h->FindActor(ref);
	if (!actor || index < 1 || index > actor->inputs.size()) {
		h->Error("GetInputPropertyValue: no input " + std::to_string(index) + " on actor " + std::to_string(ref));
		return nullptr;
	}
	return actor->inputs[index - 1].record.data();
}

void SvcSetOutputPropertyValue(int64_t ref, uint32_t index, const void* value) {
	Host::Impl* h = Current();
	Actor* actor = h->FindActor(ref);
	if (!actor || index < 1 || int(index) > h->host->outputCount() || !value) {
		h->Error("SetOutputPropertyValue: bad output " + std::to_string(index) + " on actor " + std::to_string(ref));
		return;
	}
	HostValue decoded = DecodeValue(value);
	std::lock_guard<std::mutex> guard(h->lock);
	h->outputs.push_back({ref, index, decoded});
}

uint32_t SvcGetHelpStringIndex(int64_t, uint8_t kind, uint16_t index) {
	// The actor is 0, inputs 1 to 4 are 1 to 4, outputs (kind 2) 1 to 3 are 5 to 7.
	Host::Impl* h = Current();
	{
		std::lock_guard<std::mutex> guard(h->lock);
		if (h->overrideHelpIndex) {
			h->overrideHelpIndex = false;
			return h->helpIndexOverride;
		}
	}
	int inputs = h->host->inputCount(), outputs = h->host->outputCount();
	if (kind == kKindActor && index == 0)
		return 0;
	if (kind == kKindInput && index >= 1 && index <= inputs)
		return index;
	if (kind == kKindOutput && index >= 1 && index <= outputs)
		return uint32_t(inputs) + index;
	h->Error("GetHelpStringIndex: no property of kind " + std::to_string(kind) + " index " + std::to_string(index));
	return 0;
}

void* SvcAllocateMemory(uint64_t count, uint8_t flag) {
	Host::Impl* h = Current();
	std::lock_guard<std::mutex> guard(h->lock);
	if (flag != 1)
		h->errors.push_back("AllocateMemory: flag " + std::to_string(flag) + " (expected 1)");
	if (h->failAllocations > 0) {
		--h->failAllocations;
		return nullptr;
	}
	void* block = malloc(count ? size_t(count) : 1);
	memset(block, 0xCD, size_t(count)); // like a host's fresh heap: never zero by luck
	h->allocations[block] = size_t(count);
	return block;
}

void SvcFreeMemory(void* block) {
	Host::Impl* h = Current();
	std::lock_guard<std::mutex> guard(h->lock);
	auto it = h->allocations.find(block);
	if (it == h->allocations.end()) {
		h->errors.push_back("FreeMemory: pointer the host never allocated");
		return;
	}
	h->allocations.erase(it);
	free(block);
}

bool EqualNoCase(const char* a, const char* b) {
	for (; *a && *b; ++a, ++b) {
		char x = *a, y = *b;
		if (x >= 'A' && x <= 'Z')
			x = char(x - 'A' + 'a');
		if (y >= 'A' && y <= 'Z')
			y = char(y - 'A' + 'a');
		if (x != y)
			return false;
	}
	return *a == *b;
}

int32_t SvcFindStringInList(int32_t count, const char* const* list, const char* text) {
	Host::Impl* h = Current();
	{
		std::lock_guard<std::mutex> guard(h->lock);
		++h->findStringCalls;
	}
	if (!list || !text)
		return -1;
	for (int32_t i = 0; i < count; ++i)
		if (list[i] && EqualNoCase(list[i], text))
			return i;
	return -1;
}

void SvcReportAssertion(const char* condition, const char* actorName, int32_t line) {
	Host::Impl* h = Current();
	std::lock_guard<std::mutex> guard(h->lock);
	h->assertions.push_back({condition ? condition : "", actorName ? actorName : "", line});
}

void SvcLoadActorPicture(void* info, int64_t, void* pict) {
	Host::Impl* h = Current();
	if (!info || !pict) {
		h->Error("LoadActorPicture: null record");
		return;
	}
	// A small fixed picture: loaded flag and its two sizes.
	WriteAt<uint8_t>(pict, off::kPictLoaded, 1);
	WriteAt<int16_t>(pict, off::kPictWidth, 64);
	WriteAt<int16_t>(pict, off::kPictHeight, 48);
	std::lock_guard<std::mutex> guard(h->lock);
	++h->pictureLoads;
}

void SvcDrawActorPicture(void* info, uint8_t, const void* rect, void* pict) {
	Host::Impl* h = Current();
	if (!info || !rect || !pict || ReadAt<uint8_t>(pict, off::kPictLoaded) == 0) {
		h->Error("DrawActorPicture: picture not loaded or null record");
		return;
	}
	std::lock_guard<std::mutex> guard(h->lock);
	++h->pictureDraws;
}

void SvcPopupStringToValue(const char* text, void* value) {
	Host::Impl* h = Current();
	if (!value) {
		h->Error("PopupStringToValue: null value");
		return;
	}
	std::lock_guard<std::mutex> guard(h->lock);
	h->madeStrings.push_back(MakeHostString(text ? text : ""));
	WriteAt<uint16_t>(value, off::kValueType, kTypeString);
	WriteAt<uint64_t>(value, off::kValuePayload, uint64_t(uintptr_t(h->madeStrings.back().data())));
}

void SvcReleaseImageBuffer(int64_t, int64_t handle) {
	Host::Impl* h = Current();
	std::lock_guard<std::mutex> guard(h->lock);
	if (!h->textures.erase(handle))
		h->errors.push_back("ReleaseImageBuffer: unknown handle " + std::to_string(handle));
}

int64_t SvcUpdateImageBuffer(int64_t ref, int64_t handle, uint8_t, uint32_t, const void* desc, const void*, int64_t,
                             int64_t, void* valueOut) {
	Host::Impl* h = Current();
	if (!desc || !valueOut) {
		h->Error("UpdateImageBuffer: null description or value");
		return handle;
	}
	ImageUpdate update;
	update.actorRef = ref;
	update.handleIn = handle;
	memcpy(update.desc, desc, sizeof(update.desc));
	uint32_t width = update.width(), height = update.height(), rowBytes = update.rowBytes();
	const uint8_t* pixels = reinterpret_cast<const uint8_t*>(uintptr_t(update.pixelAddress()));
	if (!pixels || width == 0 || height == 0 || rowBytes < uint64_t(width) * 4) {
		h->Error("UpdateImageBuffer: unusable image description");
		return handle;
	}
	// The host's own texture: the plug-in's frame may go away once the next one replaces it.
	Texture texture;
	texture.width = width;
	texture.height = height;
	if (h->copyPixels.load(std::memory_order_relaxed)) {
		texture.pixels.resize(size_t(width) * 4 * height);
		for (uint32_t y = 0; y < height; ++y)
			memcpy(texture.pixels.data() + size_t(y) * width * 4, pixels + size_t(y) * rowBytes, size_t(width) * 4);
	}

	std::lock_guard<std::mutex> guard(h->lock);
	if (handle == 0 || !h->textures.count(handle)) {
		if (handle != 0)
			h->errors.push_back("UpdateImageBuffer: unknown handle " + std::to_string(handle));
		handle = h->nextTexture++;
	}
	h->textures[handle] = std::move(texture);
	update.handleOut = handle;
	h->images.push_back(update);
	WriteAt<uint16_t>(valueOut, off::kValueType, kTypeImage);
	WriteAt<uint64_t>(valueOut, off::kValuePayload, uint64_t(handle));
	return handle;
}

// Every slot the host does not define: records which one was called.
template <size_t N>
int64_t SvcTrap() {
	Host::Impl* h = Current();
	std::lock_guard<std::mutex> guard(h->lock);
	h->traps.push_back(N * 8);
	return 0;
}
template <size_t... N>
void FillTraps(void** table, std::index_sequence<N...>) {
	((table[N] = reinterpret_cast<void*>(&SvcTrap<N>)), ...);
}

void* CallbackAt(const std::vector<uint8_t>& record, size_t offset) {
	// A slot the plug-in did not register still holds the host's canary bytes.
	uint64_t raw = ReadAt<uint64_t>(record.data(), offset);
	uint64_t canary;
	memset(&canary, kActorRecordCanary, sizeof(canary));
	if (raw == 0 || raw == canary)
		return nullptr;
	return reinterpret_cast<void*>(uintptr_t(raw));
}

// The plug-in's callbacks, declared by the host from its own side of the interface.
typedef void (*GetActorInfoFn)(void*, void*);
typedef const char* (*GetParameterStringFn)(void*, void*);
typedef void (*GetHelpStringFn)(void*, void*, uint8_t, uint16_t, char*, uint32_t);
typedef void (*CreateDisposeFn)(void*, void*);
typedef void (*ActivateFn)(void*, void*, uint8_t);
typedef void (*PropertyChangeFn)(void*, void*, uint16_t, const void*, const void*, uint8_t);
typedef uint8_t (*ValueToStringFn)(void*, void*, uint8_t, uint16_t, const void*, char*);
typedef uint8_t (*StringToValueFn)(void*, void*, uint8_t, uint16_t, const char*, void*);
typedef uint8_t (*DefinedAreaFn)(void*, void*, int16_t*, int16_t*, int16_t*, int16_t*);
typedef void (*DrawAreaFn)(void*, void*, void*, uint16_t, uint16_t, const void*, const void*, uint8_t);
typedef void (*PopupInfoFn)(void*, void*, uint8_t, uint16_t, char*, uint32_t, uint32_t*);
typedef uint8_t (*PopupToValueFn)(void*, void*, uint8_t, uint16_t, int32_t, const char*, void*);
typedef void (*MessageReceiverFn)(void*, uint32_t, uint16_t, void*, uint32_t, void*);

template <typename Fn>
Fn Callback(const std::vector<uint8_t>& record, size_t offset) {
	return reinterpret_cast<Fn>(CallbackAt(record, offset));
}

std::vector<uint8_t> MakeValueRecord(const HostValue& value, std::vector<uint8_t>* stringStorage) {
	std::vector<uint8_t> record(off::kValueSize, 0);
	WriteAt<uint16_t>(record.data(), off::kValueType, value.type);
	switch (value.type) {
	case kTypeFloat:
		WriteAt<double>(record.data(), off::kValuePayload, value.real);
		break;
	case kTypeString:
		*stringStorage = MakeHostString(value.text);
		WriteAt<uint64_t>(record.data(), off::kValuePayload, uint64_t(uintptr_t(stringStorage->data())));
		break;
	case kTypeNone:
		break;
	default:
		WriteAt<int64_t>(record.data(), off::kValuePayload, value.integer);
		break;
	}
	return record;
}

HostValue DefaultValue(const PropertyDef& def) {
	if (def.type == "string")
		return HostValue::Text(def.def);
	if (def.type == "int")
		return HostValue::Integer(strtoll(def.def.c_str(), nullptr, 10));
	if (def.type == "float")
		return HostValue::Real(strtod(def.def.c_str(), nullptr));
	return HostValue::None();
}

} // namespace

uint64_t Actor::actorDataPtr() const {
	return ReadAt<uint64_t>(info.data(), off::kInfoActorData);
}

// ---- Property text --------------------------------------------------------------------------

bool ParsePropertyText(const char* text, std::vector<PropertyDef>* out, std::string* error) {
	out->clear();
	if (!text) {
		*error = "no property text";
		return false;
	}
	std::string all(text);
	if (all.empty() || all.back() != '\r') {
		*error = "the property text must end with a carriage return";
		return false;
	}
	int inputs = 0, outputs = 0;
	size_t start = 0;
	while (start < all.size()) {
		size_t end = all.find('\r', start);
		std::string line = all.substr(start, end - start);
		start = end + 1;
		if (line.find('\n') != std::string::npos) {
			*error = "line feed inside the property text";
			return false;
		}
		// Fields are separated by runs of tabs; a line ending in tabs has an empty last field.
		std::vector<std::string> fields;
		size_t p = 0;
		while (true) {
			size_t tab = line.find('\t', p);
			fields.push_back(line.substr(p, tab == std::string::npos ? std::string::npos : tab - p));
			if (tab == std::string::npos)
				break;
			p = line.find_first_not_of('\t', tab);
			if (p == std::string::npos) {
				fields.push_back("");
				break;
			}
		}
		if (fields.size() != 8) {
			*error = "expected 8 fields in line '" + line + "', found " + std::to_string(fields.size());
			return false;
		}
		PropertyDef def;
		if (fields[0] == "INPROP")
			def.input = true;
		else if (fields[0] == "OUTPROP")
			def.input = false;
		else {
			*error = "unknown direction '" + fields[0] + "'";
			return false;
		}
		def.index = def.input ? ++inputs : ++outputs;
		def.name = fields[1];
		def.id = fields[2];
		def.type = fields[3];
		def.editor = fields[4];
		def.min = fields[5];
		def.max = fields[6];
		def.def = fields[7];
		if (def.name.empty() || def.id.size() != 4) {
			*error = "bad name or identifier in line '" + line + "'";
			return false;
		}
		if (def.type != "string" && def.type != "int" && def.type != "float" && def.type != "data") {
			*error = "unknown value type '" + def.type + "'";
			return false;
		}
		for (const std::string* limit : {&def.min, &def.max}) {
			char* endp = nullptr;
			if (*limit != "*" && (limit->empty() || (strtod(limit->c_str(), &endp), *endp != '\0'))) {
				*error = "bad limit '" + *limit + "' for " + def.name;
				return false;
			}
		}
		if (def.type == "int" || def.type == "float") {
			char* endp = nullptr;
			strtod(def.def.c_str(), &endp);
			if (def.def.empty() || *endp != '\0') {
				*error = "bad default '" + def.def + "' for " + def.name;
				return false;
			}
		}
		out->push_back(def);
	}
	return true;
}

// ---- The host -------------------------------------------------------------------------------

Host::Host() : mImpl(new Impl) {
	mImpl->host = this;
	FillTraps(mImpl->table, std::make_index_sequence<kServiceSlots>());
	auto set = [this](size_t offset, auto fn) { mImpl->table[offset / 8] = reinterpret_cast<void*>(fn); };
	set(0, &SvcShowAlert);
	set(8, &SvcRegisterMessageReceiver);
	set(16, &SvcUnregisterMessageReceiver);
	set(48, &SvcGetInputPropertyValue);
	set(56, &SvcSetOutputPropertyValue);
	set(184, &SvcGetHelpStringIndex);
	set(280, &SvcAllocateMemory);
	set(288, &SvcFreeMemory);
	set(296, &SvcFindStringInList);
	set(352, &SvcReportAssertion);
	set(360, &SvcLoadActorPicture);
	set(368, &SvcDrawActorPicture);
	set(784, &SvcPopupStringToValue);
	set(1744, &SvcReleaseImageBuffer);
	set(1752, &SvcUpdateImageBuffer);
	WriteAt<uint64_t>(mImpl->params.data(), off::kParamsServiceTable, uint64_t(uintptr_t(mImpl->table)));
	gCurrentHost = this;
}

Host::~Host() {
	Unload();
	if (gCurrentHost == this)
		gCurrentHost = nullptr;
}

Host* Host::Current() {
	return gCurrentHost;
}

namespace {

#ifdef _WIN32
std::wstring Widen(const std::string& text) {
	int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
	std::wstring wide(size_t(n > 0 ? n : 1), L'\0');
	MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], n);
	wide.resize(wcslen(wide.c_str()));
	return wide;
}
#endif

std::atomic<int> gCopyCounter{0};

// A private folder for a fresh copy of the plug-in.
std::string MakeCopyFolder() {
	fs::path base = fs::temp_directory_path();
#ifdef _WIN32
	std::string pid = std::to_string(GetCurrentProcessId());
#else
	std::string pid = std::to_string(getpid());
#endif
	for (int attempt = 0; attempt < 1000; ++attempt) {
		fs::path folder = base / ("vidrane-host-" + pid + "-" + std::to_string(gCopyCounter++));
		std::error_code ec;
		if (fs::create_directory(folder, ec))
			return folder.string();
	}
	return std::string();
}

// The same file, named by a path exactly `size` bytes long: "./" steps (and one doubled separator
// where the count is odd) before its last component.
std::string PathFillingField(const fs::path& path, size_t size) {
	std::string folder = path.parent_path().string(), name = path.filename().string();
	const std::string step = std::string(".") + char(fs::path::preferred_separator);
	std::string padded = folder + char(fs::path::preferred_separator);
	if (padded.size() + name.size() > size)
		return padded.append(name).substr(0, size);
	size_t room = size - padded.size() - name.size();
	if (room % 2)
		padded += char(fs::path::preferred_separator);
	for (size_t i = 0; i < room / 2; ++i)
		padded += step;
	return padded + name;
}

} // namespace

bool Host::Load(const std::string& pluginPath, std::string* error, LoadOptions options) {
	std::string scratch;
	if (!error)
		error = &scratch;
	if (mModule) {
		*error = "a plug-in is already loaded";
		return false;
	}
	std::error_code ec;
	fs::path source(NativePath(pluginPath));
	if (!fs::exists(source, ec)) {
		*error = "no plug-in file at " + pluginPath;
		return false;
	}
	fs::path path = source;
	if (options.freshCopy) {
		mCopyFolder = MakeCopyFolder();
		if (mCopyFolder.empty()) {
			*error = "cannot make a folder for the plug-in's copy";
			return false;
		}
		path = fs::path(mCopyFolder) / source.filename();
		fs::copy(source, path, fs::copy_options::recursive, ec);
		// On Windows the Read Me sits beside the DLL; bring it along.
		if (!ec && !fs::is_directory(source))
			for (const auto& entry : fs::directory_iterator(source.parent_path(), ec))
				if (entry.path().extension() == ".html")
					fs::copy(entry.path(), fs::path(mCopyFolder) / entry.path().filename(), ec);
		if (ec) {
			*error = "cannot copy the plug-in: " + ec.message();
			return false;
		}
	}
	path = fs::absolute(path, ec);
	mLoadedPath = path.string();

	// A bundle folder holds its binary under Contents/MacOS, named like the bundle.
	fs::path binary = path;
	if (fs::is_directory(path, ec))
		binary = path / "Contents" / "MacOS" / path.stem();

	void* symbol = nullptr;
#ifdef _WIN32
	HMODULE module = LoadLibraryW(Widen(binary.string()).c_str());
	if (!module) {
		*error = "cannot load " + binary.string() + " (error " + std::to_string(GetLastError()) + ")";
		return false;
	}
	mModule = module;
	symbol = reinterpret_cast<void*>(GetProcAddress(module, "GetActorInfo"));
#else
	mModule = dlopen(binary.c_str(), RTLD_NOW | RTLD_LOCAL);
	if (!mModule) {
		const char* why = dlerror();
		*error = "cannot load " + binary.string() + ": " + (why ? why : "unknown error");
		return false;
	}
	symbol = dlsym(mModule, "GetActorInfo");
#endif
	if (!symbol) {
		*error = binary.string() + " does not export GetActorInfo";
		Unload();
		return false;
	}

	mTemplate.assign(kActorRecordSize, kActorRecordCanary);
	const size_t field = off::kInfoPluginPathEnd - off::kInfoPluginPath;
	mRecordPath = options.pathFillsField ? PathFillingField(path, field) : mLoadedPath.substr(0, field - 1);
	memcpy(mTemplate.data() + off::kInfoPluginPath, mRecordPath.data(), mRecordPath.size());
	if (mRecordPath.size() < field)
		mTemplate[off::kInfoPluginPath + mRecordPath.size()] = 0;
	mTemplateBefore = mTemplate;
	reinterpret_cast<GetActorInfoFn>(symbol)(nullptr, mTemplate.data());

	mPropertyText = nullptr;
	if (auto getText = Callback<GetParameterStringFn>(mTemplate, off::kInfoGetParameterString)) {
		PrepareCall();
		mPropertyText = getText(mImpl->params.data(), mTemplate.data());
	}
	if (!ParsePropertyText(mPropertyText, &mProperties, error)) {
		*error = "property text: " + *error;
		Unload();
		return false;
	}
	return true;
}

void Host::Unload() {
	while (!mActors.empty())
		DisposeActor(mActors.back().get());
	if (mModule) {
#ifdef _WIN32
		FreeLibrary(static_cast<HMODULE>(mModule));
#else
		dlclose(mModule);
#endif
		mModule = nullptr;
	}
	if (!mCopyFolder.empty()) {
		std::error_code ec;
		fs::remove_all(mCopyFolder, ec);
		mCopyFolder.clear();
	}
	mProperties.clear();
	mPropertyText = nullptr;
}

const PropertyDef* Host::inputDef(int index) const {
	for (const auto& def : mProperties)
		if (def.input && def.index == index)
			return &def;
	return nullptr;
}
const PropertyDef* Host::outputDef(int index) const {
	for (const auto& def : mProperties)
		if (!def.input && def.index == index)
			return &def;
	return nullptr;
}
int Host::inputCount() const {
	return int(std::count_if(mProperties.begin(), mProperties.end(), [](const PropertyDef& d) { return d.input; }));
}
int Host::outputCount() const {
	return int(mProperties.size()) - inputCount();
}

void Host::PrepareCall() {
	WriteAt<uint32_t>(mImpl->params.data(), off::kParamsTime, time());
}

Actor* Host::CreateActor() {
	auto actor = std::make_unique<Actor>();
	actor->ref = mNextActorRef++;
	actor->info = mTemplate;
	WriteAt<int64_t>(actor->info.data(), off::kInfoActorRef, actor->ref);
	WriteAt<uint64_t>(actor->info.data(), off::kInfoActorData, 0);
	for (int i = 1; i <= inputCount(); ++i) {
		Actor::InputSlot slot;
		slot.decoded = DefaultValue(*inputDef(i));
		slot.record = MakeValueRecord(slot.decoded, &slot.string);
		actor->inputs.push_back(std::move(slot));
	}
	Actor* raw = actor.get();
	mActors.push_back(std::move(actor));
	if (auto create = Callback<CreateDisposeFn>(mTemplate, off::kInfoCreateActor)) {
		PrepareCall();
		create(mImpl->params.data(), raw->info.data());
	}
	return raw;
}

void Host::Activate(Actor* actor, bool activate) {
	auto fn = Callback<ActivateFn>(mTemplate, off::kInfoActivateActor);
	PrepareCall();
	if (fn)
		fn(mImpl->params.data(), actor->info.data(), activate ? 1 : 0);
	actor->active = activate;
	// Right after activation the host hands the actor every input's current value, in order.
	if (activate)
		for (int i = 1; i <= int(actor->inputs.size()); ++i)
			DeliverInput(actor, i, 1);
}

void Host::DisposeActor(Actor* actor, bool deactivateFirst) {
	if (actor->active && deactivateFirst)
		Activate(actor, false);
	if (auto dispose = Callback<CreateDisposeFn>(mTemplate, off::kInfoDisposeActor)) {
		PrepareCall();
		dispose(mImpl->params.data(), actor->info.data());
	}
	actor->disposed = true;
	mActors.erase(std::remove_if(mActors.begin(), mActors.end(),
	                             [actor](const std::unique_ptr<Actor>& a) { return a.get() == actor; }),
	              mActors.end());
}

void Host::DeliverInput(Actor* actor, int index, uint8_t flag) {
	auto fn = Callback<PropertyChangeFn>(mTemplate, off::kInfoHandlePropertyChangeValue);
	if (!fn)
		return;
	std::vector<uint8_t> previous(off::kValueSize, 0);
	WriteAt<uint16_t>(previous.data(), off::kValueType, kTypeNone);
	PrepareCall();
	fn(mImpl->params.data(), actor->info.data(), uint16_t(index), previous.data(),
	   actor->inputs[size_t(index - 1)].record.data(), flag);
}

void Host::SetInput(Actor* actor, int index, const HostValue& value) {
	Actor::InputSlot& slot = actor->inputs.at(size_t(index - 1));
	slot.decoded = value;
	slot.record = MakeValueRecord(value, &slot.string);
	if (actor->active)
		DeliverInput(actor, index, 0);
}

void Host::Tick() {
	std::vector<Impl::Receiver> receivers;
	{
		std::lock_guard<std::mutex> guard(mImpl->lock);
		for (const auto& entry : mImpl->receivers)
			if (entry.second.mask & kServiceMessage)
				receivers.push_back(entry.second);
	}
	mImpl->lastTick.clear();
	for (const auto& r : receivers) {
		PrepareCall();
		const auto start = std::chrono::steady_clock::now();
		reinterpret_cast<MessageReceiverFn>(r.proc)(mImpl->params.data(), kServiceMessage, 0, nullptr, 0, r.refcon);
		mImpl->lastTick.emplace_back(r.info, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
	}
}

double Host::lastServiceSeconds(const Actor* actor) const {
	double seconds = -1.0;
	for (const auto& call : mImpl->lastTick)
		if (call.first == actor->info.data())
			seconds = std::max(seconds, 0.0) + call.second;
	return seconds;
}

void Host::SendTeardown(Actor* actor) {
	std::vector<Impl::Receiver> receivers;
	{
		std::lock_guard<std::mutex> guard(mImpl->lock);
		for (const auto& entry : mImpl->receivers)
			if ((entry.second.mask & kTeardownMessage) && entry.second.info == actor->info.data())
				receivers.push_back(entry.second);
	}
	for (const auto& r : receivers) {
		PrepareCall();
		reinterpret_cast<MessageReceiverFn>(r.proc)(mImpl->params.data(), kTeardownMessage, 0, nullptr, 0, r.refcon);
	}
}

namespace {
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuardByte = 0xEE;
} // namespace

void Host::HelpStringRaw(Actor* actor, uint8_t kind, uint16_t index, char* buffer, uint32_t size) {
	auto fn = Callback<GetHelpStringFn>(mTemplate, off::kInfoGetHelpString);
	if (!fn)
		return;
	std::vector<uint8_t> scratch;
	uint8_t* info = actor ? actor->info.data() : nullptr;
	if (!info) {
		scratch = mTemplate;
		WriteAt<int64_t>(scratch.data(), off::kInfoActorRef, 1);
		info = scratch.data();
	}
	PrepareCall();
	fn(mImpl->params.data(), info, kind, index, buffer, size);
}

std::string Host::HelpString(Actor* actor, uint8_t kind, uint16_t index, uint32_t size) {
	std::vector<char> buffer(size + kGuardBytes, char(kGuardByte));
	HelpStringRaw(actor, kind, index, buffer.data(), size);
	for (size_t i = size; i < buffer.size(); ++i)
		if (uint8_t(buffer[i]) != kGuardByte) {
			mImpl->Error("GetHelpString wrote past the buffer's " + std::to_string(size) + " bytes");
			break;
		}
	return std::string(buffer.data(), strnlen(buffer.data(), size));
}

void Host::PopupMenuRaw(Actor* actor, uint8_t kind, uint16_t index, char* buffer, uint32_t size, uint32_t* selected) {
	if (auto fn = Callback<PopupInfoFn>(mTemplate, off::kInfoPropertyGetPopupMenuInfo)) {
		PrepareCall();
		fn(mImpl->params.data(), actor->info.data(), kind, index, buffer, size, selected);
	}
}

Host::Popup Host::PopupMenu(Actor* actor, uint8_t kind, uint16_t index, uint32_t size) {
	std::vector<char> buffer(size + kGuardBytes, char(kGuardByte));
	Popup popup;
	popup.selected = 0xDEADBEEF;
	PopupMenuRaw(actor, kind, index, buffer.data(), size, &popup.selected);
	for (size_t i = size; i < buffer.size(); ++i)
		if (uint8_t(buffer[i]) != kGuardByte) {
			mImpl->Error("PropertyGetPopupMenuInfo wrote past the buffer's " + std::to_string(size) + " bytes");
			break;
		}
	size_t length = strnlen(buffer.data(), size);
	popup.terminated = length < size;
	popup.text.assign(buffer.data(), length);
	return popup;
}

bool Host::PopupSelectionToValue(Actor* actor, uint8_t kind, uint16_t index, int32_t selection, const char* text,
                                 HostValue* out) {
	auto fn = Callback<PopupToValueFn>(mTemplate, off::kInfoPropertyPopupMenuSelectionToValue);
	if (!fn)
		return false;
	std::vector<uint8_t> record(off::kValueSize, 0);
	PrepareCall();
	bool handled = fn(mImpl->params.data(), actor->info.data(), kind, index, selection, text, record.data()) != 0;
	if (out)
		*out = DecodeValue(record.data());
	return handled;
}

bool Host::ValueToString(Actor* actor, uint8_t kind, uint16_t index, const HostValue& value, std::string* text) {
	auto fn = Callback<ValueToStringFn>(mTemplate, off::kInfoPropertyValueToString);
	if (!fn)
		return false;
	std::vector<uint8_t> storage;
	std::vector<uint8_t> record = MakeValueRecord(value, &storage);
	char buffer[256];
	memset(buffer, 0, sizeof(buffer));
	PrepareCall();
	bool handled = fn(mImpl->params.data(), actor->info.data(), kind, index, record.data(), buffer) != 0;
	if (text)
		*text = std::string(buffer, strnlen(buffer, sizeof(buffer)));
	return handled;
}

bool Host::StringToValue(Actor* actor, uint8_t kind, uint16_t index, const char* text, HostValue* out) {
	auto fn = Callback<StringToValueFn>(mTemplate, off::kInfoPropertyStringToValue);
	if (!fn)
		return false;
	std::vector<uint8_t> record(off::kValueSize, 0);
	WriteAt<uint16_t>(record.data(), off::kValueType, kTypeNone);
	PrepareCall();
	bool handled = fn(mImpl->params.data(), actor->info.data(), kind, index, text, record.data()) != 0;
	if (out)
		*out = DecodeValue(record.data());
	return handled;
}

bool Host::ActorDefinedArea(Actor* actor, int16_t out[4]) {
	auto fn = Callback<DefinedAreaFn>(mTemplate, off::kInfoGetActorDefinedArea);
	if (!fn)
		return false;
	PrepareCall();
	return fn(mImpl->params.data(), actor->info.data(), &out[0], &out[1], &out[2], &out[3]) != 0;
}

void Host::DrawActorDefinedArea(Actor* actor, uint16_t which, uint8_t flag) {
	auto fn = Callback<DrawAreaFn>(mTemplate, off::kInfoDrawActorDefinedArea);
	if (!fn)
		return;
	int16_t area[4] = {0, 0, 48, 64}, other[4] = {0, 0, 0, 0};
	PrepareCall();
	fn(mImpl->params.data(), actor->info.data(), nullptr, which, 0, area, other, flag);
}

void Host::SetManualTime(uint32_t now) {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	mImpl->manualTime = true;
	mImpl->manualNow = now;
}
void Host::AdvanceTime(uint32_t ms) {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	mImpl->manualNow += ms;
}
uint32_t Host::time() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	if (mImpl->manualTime)
		return mImpl->manualNow;
	auto elapsed = std::chrono::steady_clock::now() - mImpl->start;
	return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

std::vector<Alert> Host::alerts() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->alerts;
}
std::vector<Assertion> Host::assertions() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->assertions;
}
std::vector<OutputEvent> Host::outputs() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->outputs;
}
std::vector<OutputEvent> Host::outputsOf(const Actor* actor, uint32_t index) const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	std::vector<OutputEvent> result;
	for (const auto& e : mImpl->outputs)
		if (e.actorRef == actor->ref && e.index == index)
			result.push_back(e);
	return result;
}
std::vector<ImageUpdate> Host::imageUpdates() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->images;
}
size_t Host::imageUpdateCount() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->images.size();
}
std::vector<ImageUpdate> Host::imageUpdatesFrom(size_t first) const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	if (first >= mImpl->images.size())
		return {};
	return std::vector<ImageUpdate>(mImpl->images.begin() + std::ptrdiff_t(first), mImpl->images.end());
}
void Host::SetCopyPixels(bool copy) {
	mImpl->copyPixels.store(copy);
}
std::vector<size_t> Host::trapsCalled() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->traps;
}
std::vector<std::string> Host::errors() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->errors;
}
std::vector<std::string> Host::Popup::entries() const {
	std::vector<std::string> list;
	size_t start = 0;
	for (size_t end; (end = text.find('\r', start)) != std::string::npos; start = end + 1)
		list.push_back(text.substr(start, end - start));
	return list;
}

bool Host::textureOf(int64_t handle, Texture* out) const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	auto it = mImpl->textures.find(handle);
	if (it == mImpl->textures.end())
		return false;
	*out = it->second;
	return true;
}
size_t Host::liveTextures() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->textures.size();
}
size_t Host::outstandingAllocations() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->allocations.size();
}
size_t Host::activeReceivers() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->receivers.size();
}
int Host::findStringCalls() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->findStringCalls;
}
int Host::pictureLoads() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->pictureLoads;
}
int Host::pictureDraws() const {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	return mImpl->pictureDraws;
}
void Host::ClearRecords() {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	mImpl->alerts.clear();
	mImpl->assertions.clear();
	mImpl->outputs.clear();
	mImpl->images.clear();
	mImpl->findStringCalls = 0;
}
void Host::FailNextAllocations(int count) {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	mImpl->failAllocations = count;
}
void* const* Host::serviceTable() const {
	return mImpl->table;
}
void Host::OverrideNextHelpIndex(uint32_t position) {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	mImpl->overrideHelpIndex = true;
	mImpl->helpIndexOverride = position;
}
void Host::FailNextReceiverRegistrations(int count) {
	std::lock_guard<std::mutex> guard(mImpl->lock);
	mImpl->failRegistrations = count;
}

std::string NativePath(const std::string& path) {
#ifdef _WIN32
	if (!path.empty() && path[0] == '/') {
		std::string native = "Z:" + path;
		std::replace(native.begin(), native.end(), '/', '\\');
		return native;
	}
#endif
	return path;
}

} // namespace refhost
