// Control of the NDI runtime stand-in, for tests and tools only (never for the plug-in):
// what the library reports about itself, and how often each of its functions was called.
// Safe to call from any thread.
#ifndef NDI_STANDIN_CONTROL_H
#define NDI_STANDIN_CONTROL_H

#include "ndi_standin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

// The text NDIlib_version returns from now on; null restores the flavour's default, whose last
// word is a version of the major the plug-in of this flavour requires.
NDI_STANDIN_EXPORT void ndi_standin_set_version(const char* text);

// Calls of an exported NDIlib_ function, by its name, since load or the last reset.
NDI_STANDIN_EXPORT int ndi_standin_call_count(const char* function_name);
NDI_STANDIN_EXPORT void ndi_standin_reset_call_counts(void);

// NDIlib_initialize calls not yet matched by NDIlib_destroy.
NDI_STANDIN_EXPORT int ndi_standin_initialize_depth(void);

// The next `times` calls of NDIlib_initialize return false (they still count as calls).
NDI_STANDIN_EXPORT void ndi_standin_fail_initialize(int times);

#ifdef __cplusplus
}
#endif

#endif
