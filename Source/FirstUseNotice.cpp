#include "FirstUseNotice.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <knownfolders.h>
#else
#include <CoreFoundation/CoreFoundation.h>
#include "MacWorkspace.h"
#endif

namespace {

const char kNoticeText[] =
	"The 'Read Me' file that is about to open contains important information and helpful tips to ensure you get "
	"the best results with this actor. This warning only appears the first time you use the plugin.";

const char* TitleEnding(ShowPluginReleaseLevel inLevel) {
	switch (inLevel) {
	case kShowPluginReleasePublicAlpha:
		return " Public Alpha release";
	case kShowPluginReleasePublicBeta:
		return " Public Beta release";
	default:
		return " actor";
	}
}

#ifdef _WIN32
// UTF-8 to UTF-16, rejecting invalid text; false when the text cannot be converted.
bool ToWide(const std::string& inText, std::wstring& outWide) {
	int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, inText.c_str(), -1, nullptr, 0);
	if (length <= 0)
		return false;
	outWide.assign(size_t(length), L'\0');
	if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, inText.c_str(), -1, &outWide[0], length) <= 0)
		return false;
	outWide.resize(size_t(length - 1));
	return true;
}

bool ToUTF8(const wchar_t* inWide, std::string& outText) {
	int length = WideCharToMultiByte(CP_UTF8, 0, inWide, -1, nullptr, 0, nullptr, nullptr);
	if (length <= 0)
		return false;
	outText.assign(size_t(length), '\0');
	WideCharToMultiByte(CP_UTF8, 0, inWide, -1, &outText[0], length, nullptr, nullptr);
	outText.resize(size_t(length - 1));
	return true;
}

FILE* OpenFile(const std::string& inPath, const wchar_t* inMode) {
	std::wstring widePath;
	if (!ToWide(inPath, widePath))
		return nullptr;
	return _wfopen(widePath.c_str(), inMode);
}

// The "Stavrik" folder under the roaming application-data folder, created when missing so
// that the notice is remembered; empty when the folder is not to be had.
std::string VersionFileFolder() {
	PWSTR roaming = nullptr;
	std::string folder;
	if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming)) && roaming)
		ToUTF8(roaming, folder);
	CoTaskMemFree(roaming);
	if (folder.empty())
		return folder;
	folder += "\\Stavrik";
	std::wstring wideFolder;
	if (ToWide(folder, wideFolder))
		CreateDirectoryW(wideFolder.c_str(), nullptr); // fails harmlessly when it exists
	return folder;
}
#else
FILE* OpenFile(const std::string& inPath, const wchar_t* inMode) {
	char mode[8] = {};
	for (size_t i = 0; inMode[i] && i < sizeof(mode) - 1; ++i)
		mode[i] = char(inMode[i]);
	return fopen(inPath.c_str(), mode);
}
#endif

} // namespace

std::string ReadStringFromFile(FILE* inFile) {
	if (!inFile || fseek(inFile, 0, SEEK_END) != 0)
		return std::string();
	long length = ftell(inFile);
	if (length < 0 || fseek(inFile, 0, SEEK_SET) != 0)
		return std::string();
	char buffer[256];
	size_t got = fread(buffer, 1, sizeof(buffer), inFile);
	size_t end = std::min<size_t>(std::min<size_t>(size_t(length), 255), got);
	buffer[end] = '\0';
	return std::string(buffer); // up to the first zero byte
}

void WriteStringToFile(FILE* inFile, const std::string& inText) {
	if (!inFile || fseek(inFile, 0, SEEK_SET) != 0)
		return;
	fwrite(inText.data(), 1, inText.size(), inFile);
}

std::string GetModuleVersionNumberString(const std::string& inPluginPath) {
#ifdef _WIN32
	DWORD ignored = 0;
	DWORD size = GetFileVersionInfoSizeA(inPluginPath.c_str(), &ignored);
	if (size == 0)
		return std::string();
	std::string data(size, '\0');
	if (!GetFileVersionInfoA(inPluginPath.c_str(), 0, size, &data[0]))
		return std::string();
	VS_FIXEDFILEINFO* info = nullptr;
	UINT length = 0;
	if (!VerQueryValueA(&data[0], "\\", reinterpret_cast<void**>(&info), &length) || !info ||
	    length < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != 0xFEEF04BD)
		return std::string();
	char text[64];
	snprintf(text, sizeof(text), "%d.%d.%d.%d\n", int(HIWORD(info->dwFileVersionMS)), int(LOWORD(info->dwFileVersionMS)),
	         int(HIWORD(info->dwFileVersionLS)), int(LOWORD(info->dwFileVersionLS)));
	return text;
#else
	std::string version;
	CFStringRef path = CFStringCreateWithCString(kCFAllocatorDefault, inPluginPath.c_str(), kCFStringEncodingUTF8);
	CFURLRef url = path ? CFURLCreateWithFileSystemPath(kCFAllocatorDefault, path, kCFURLPOSIXPathStyle, true) : nullptr;
	CFBundleRef bundle = url ? CFBundleCreate(kCFAllocatorDefault, url) : nullptr;
	if (bundle) {
		// Owned by the bundle: not released here.
		CFTypeRef value = CFBundleGetValueForInfoDictionaryKey(bundle, kCFBundleVersionKey);
		char text[256];
		if (value && CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof(text), kCFStringEncodingUTF8))
			version = text;
		CFRelease(bundle);
	}
	if (url)
		CFRelease(url);
	if (path)
		CFRelease(path);
	return version;
#endif
}

void GetVersionNumberFromPreferencesFile(const std::string& inPluginPath, const std::string& inFileName,
                                         bool inCreateIfMissing, bool inUpdateIfPresent, std::string& outCurrent,
                                         std::string& outStored) {
	outStored.clear();
	outCurrent = GetModuleVersionNumberString(inPluginPath);

	std::string path;
#ifdef _WIN32
	std::wstring ignored;
	std::string folder = VersionFileFolder();
	if (folder.empty() || inFileName.empty() || outCurrent.empty() || !ToWide(inFileName, ignored) ||
	    !ToWide(outCurrent, ignored))
		return;
	path = folder + "\\" + inFileName;
#else
	char library[1024];
	if (GetUserLibraryFolder(library, sizeof(library)))
		path = std::string(library) + "/Preferences/" + inFileName;
	else
		path = inFileName;
#endif

	if (FILE* file = OpenFile(path, L"rb")) {
		outStored = ReadStringFromFile(file);
		fclose(file);
		if (inUpdateIfPresent)
			if (FILE* out = OpenFile(path, L"wb")) {
				WriteStringToFile(out, outCurrent);
				fclose(out);
			}
	} else if (inCreateIfMissing) {
		if (FILE* out = OpenFile(path, L"wb")) {
			WriteStringToFile(out, outCurrent);
			fclose(out);
		}
	}
}

#ifndef _WIN32
void LaunchResourceFileInDefaultApplication(const std::string& inPath) {
	OpenFileWithDefaultApplication(inPath.c_str());
}
#endif

void ShowPluginFirstUseDialog(VantrelParameters* ipParams, ActorInfo* ipActorInfo, ShowPluginReleaseLevel inLevel,
                              const char* inDisplayName, const char* inFileStem) {
	// The path is inline in the host's record; never read past it.
	std::string pluginPath(ipActorInfo->mPluginPath, strnlen(ipActorInfo->mPluginPath, kActorPluginPathSize));
	std::string fileName = std::string("com.stavrik.") + inFileStem + ".txt";
	std::string current, stored;
	GetVersionNumberFromPreferencesFile(pluginPath, fileName, true, true, current, stored);
	if (current == stored)
		return;

	std::string title = std::string("Important Information About the ") + inDisplayName + TitleEnding(inLevel);
	ipParams->mCallbacks->ShowAlert(title.c_str(), kNoticeText);

	std::string readMeName = std::string(inDisplayName) + " - Read Me.html";
#ifdef _WIN32
	size_t lastBackslash = pluginPath.rfind('\\');
	std::string folder = lastBackslash == std::string::npos ? pluginPath : pluginPath.substr(0, lastBackslash + 1);
	std::wstring widePath;
	if (ToWide(folder + readMeName, widePath))
		ShellExecuteW(nullptr, L"open", widePath.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
#else
	LaunchResourceFileInDefaultApplication(pluginPath + "/Contents/Resources/" + readMeName);
#endif
}
