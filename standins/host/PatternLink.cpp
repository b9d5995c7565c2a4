#include "PatternLink.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace refhost {

namespace {

void* Lookup(const char* name) {
#ifdef _WIN32
	HMODULE runtime = GetModuleHandleW(L"Processing.NDI.Lib.x64.dll");
	return runtime ? reinterpret_cast<void*>(GetProcAddress(runtime, name)) : nullptr;
#else
	return dlsym(RTLD_DEFAULT, name);
#endif
}

template <typename Fn>
bool Resolve(Fn* out, const char* name) {
	*out = reinterpret_cast<Fn>(Lookup(name));
	return *out != nullptr;
}

} // namespace

const PatternApi* FindPatternApi() {
	static PatternApi api;
	static bool found = Resolve(&api.defaults, "ndi_standin_pattern_defaults") &&
	                    Resolve(&api.start, "ndi_standin_pattern_start") &&
	                    Resolve(&api.stop, "ndi_standin_pattern_stop") &&
	                    Resolve(&api.sourceName, "ndi_standin_pattern_source_name") &&
	                    Resolve(&api.frameNumber, "ndi_standin_pattern_frame_number");
	return found ? &api : nullptr;
}

} // namespace refhost
