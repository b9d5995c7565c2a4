// Windows: .html files open with open_recorder.exe, built beside the tests, which notes the path
// it was given in %TEMP%\vidrane-opened.txt. Wine reads the classes of the machine, so the
// association goes there. Elsewhere this header declares nothing.
#ifndef READ_ME_RECORDER_H
#define READ_ME_RECORDER_H

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#include <string>

namespace readme_recorder {

inline void SetDefault(HKEY root, const std::wstring& key, const std::wstring& value) {
	HKEY handle;
	if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS)
		return;
	RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
	               DWORD((value.size() + 1) * sizeof(wchar_t)));
	RegCloseKey(handle);
}

// Where the recorder writes the paths it was asked to open.
inline std::filesystem::path Record() {
	wchar_t temp[MAX_PATH];
	GetTempPathW(MAX_PATH, temp);
	return std::filesystem::path(temp) / "vidrane-opened.txt";
}

// Registers the association and forgets earlier records.
inline void Register() {
	wchar_t self[MAX_PATH];
	GetModuleFileNameW(nullptr, self, MAX_PATH);
	std::filesystem::path recorder = std::filesystem::path(self).parent_path() / "open_recorder.exe";
	SetDefault(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.html", L"VidraneTest.html");
	SetDefault(HKEY_LOCAL_MACHINE, L"Software\\Classes\\VidraneTest.html\\shell\\open\\command",
	           L"\"" + recorder.wstring() + L"\" \"%1\"");
	std::error_code ec;
	std::filesystem::remove(Record(), ec);
}

} // namespace readme_recorder

#endif

#endif
