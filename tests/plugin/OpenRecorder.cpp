// Stands in for the application Windows would open a Read Me with: notes the path it was given.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
	if (argc < 2)
		return 1;
	wchar_t temp[MAX_PATH];
	GetTempPathW(MAX_PATH, temp);
	std::wstring record = std::wstring(temp) + L"vidrane-opened.txt";
	char path[4096];
	if (!WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, path, sizeof(path), nullptr, nullptr))
		return 1;
	FILE* f = _wfopen(record.c_str(), L"ab");
	if (!f)
		return 1;
	fprintf(f, "%s\n", path);
	fclose(f);
	return 0;
}
