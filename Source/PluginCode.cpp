#include "PluginCode.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

bool KeepPluginCodeMapped() {
	// Any address inside the plug-in names its file.
	const void* inside = reinterpret_cast<const void*>(&KeepPluginCodeMapped);
#ifdef _WIN32
	HMODULE module = nullptr;
	return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
	                          static_cast<LPCWSTR>(inside), &module) != 0;
#else
	Dl_info info;
	if (!dladdr(inside, &info) || !info.dli_fname)
		return false;
	// Not loaded again: the file already mapped is marked never to be unloaded.
	return dlopen(info.dli_fname, RTLD_NOLOAD | RTLD_NODELETE | RTLD_LAZY) != nullptr;
#endif
}
