// The NDI runtime stand-in: the library the plug-in links by name, implemented in-process.
#include "ndi_standin_control.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

#ifdef _WIN32
const char kDefaultVersion[] = "NDI SDK WIN64 12:00:00 Dec  1 2026 4.6.2";
#else
const char kDefaultVersion[] = "NDI SDK LINUX 12:00:00 Dec  1 2026 3.8.0";
#endif

struct Library {
	std::mutex lock;
	std::string version = kDefaultVersion;
	std::map<std::string, int> calls;
	int initializeDepth = 0;
	int failInitialize = 0;
};

Library& Lib() {
	static Library* sLibrary = new Library; // never destroyed: plug-in statics may call in at exit
	return *sLibrary;
}

void Count(const char* function) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	++Lib().calls[function];
}

} // namespace

extern "C" {

NDI_STANDIN_EXPORT bool NDIlib_initialize(void) {
	Count("NDIlib_initialize");
	std::lock_guard<std::mutex> guard(Lib().lock);
	if (Lib().failInitialize > 0) {
		--Lib().failInitialize;
		return false;
	}
	++Lib().initializeDepth;
	return true;
}

NDI_STANDIN_EXPORT void NDIlib_destroy(void) {
	Count("NDIlib_destroy");
	std::lock_guard<std::mutex> guard(Lib().lock);
	if (Lib().initializeDepth > 0)
		--Lib().initializeDepth;
}

NDI_STANDIN_EXPORT const char* NDIlib_version(void) {
	Count("NDIlib_version");
	std::lock_guard<std::mutex> guard(Lib().lock);
	return Lib().version.c_str(); // valid until the next ndi_standin_set_version
}

NDI_STANDIN_EXPORT void ndi_standin_set_version(const char* text) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().version = text ? text : kDefaultVersion;
}

NDI_STANDIN_EXPORT int ndi_standin_call_count(const char* function_name) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	auto it = Lib().calls.find(function_name ? function_name : "");
	return it == Lib().calls.end() ? 0 : it->second;
}

NDI_STANDIN_EXPORT void ndi_standin_reset_call_counts(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().calls.clear();
}

NDI_STANDIN_EXPORT int ndi_standin_initialize_depth(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	return Lib().initializeDepth;
}

NDI_STANDIN_EXPORT void ndi_standin_fail_initialize(int times) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().failInitialize = times > 0 ? times : 0;
}

} // extern "C"
