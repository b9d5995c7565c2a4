// The version file's bytes, any of them: read as the stored version (at most the first 255
// bytes, up to the first zero byte), then replaced by the running version.
#include "FirstUseNotice.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::filesystem::path gFile;

std::string Slurp(const std::filesystem::path& path) {
	std::string bytes;
	if (FILE* f = fopen(path.c_str(), "rb")) {
		char buffer[4096];
		size_t n;
		while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
			bytes.append(buffer, n);
		fclose(f);
	}
	return bytes;
}

void RemoveHome() {
	std::error_code ec;
	std::filesystem::remove_all(gFile.parent_path().parent_path().parent_path(), ec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
	// In memory: some file systems flush a file that is truncated and rewritten, and this one is
	// rewritten thousands of times a second.
	const std::filesystem::path home =
		std::filesystem::path(std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp") / ("vidrane-fuzz-version-" + std::to_string(getpid()));
	std::filesystem::create_directories(home / "Library" / "Preferences");
	setenv("HOME", home.c_str(), 1);
	gFile = home / "Library" / "Preferences" / "com.stavrik.ndi-vidrane.txt";
	atexit(RemoveHome);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
	const std::string bytes(reinterpret_cast<const char*>(data), size);
	if (FILE* f = fopen(gFile.c_str(), "wb")) {
		fwrite(bytes.data(), 1, bytes.size(), f);
		fclose(f);
	}
	std::string expected = bytes.substr(0, 255);
	expected = expected.substr(0, strnlen(expected.c_str(), expected.size()));

	std::string current, stored;
	GetVersionNumberFromPreferencesFile(VIDRANE_PLUGIN_PATH, gFile.filename().string(), true, true, current, stored);
	if (stored != expected) {
		fprintf(stderr, "stored version of %zu bytes read as %zu bytes\n", expected.size(), stored.size());
		abort();
	}
	if (current.empty() || Slurp(gFile) != current) {
		fprintf(stderr, "the file does not hold the running version '%s' afterwards\n", current.c_str());
		abort();
	}
	return 0;
}
