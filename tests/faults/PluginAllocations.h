// Global operator new (every form) replaced for the whole test binary, to fail one chosen
// allocation made by the plug-in while the reference host, the stand-ins and the test allocate
// as usual. Whose allocation it is, the call stack decides: its innermost frame outside the C and
// C++ runtime and the sanitizer runtime. In the loaded plug-in it is the plug-in's, so what
// std::string and other library code allocate for the plug-in is the plug-in's too; in the test
// executable (the reference host) or a stand-in library it is not.
#ifndef PLUGIN_ALLOCATIONS_H
#define PLUGIN_ALLOCATIONS_H

#include <cstddef>
#include <string>
#include <vector>

namespace plugin_allocations {

enum Side { kHostThread = 0, kOtherThreads = 1 };

// Starts telling the plug-in's allocations apart. `pluginCode` is any address in the loaded
// plug-in; the mappings are read now, so the plug-in must be loaded first and the calling thread
// is from now on the host's thread. False, with the reason, when the mappings cannot be read.
bool Arm(const void* pluginCode, std::string* error);
void Disarm();

// Counts from zero on both sides and clears the failure.
void Reset();
// Plug-in allocations since Reset, by side.
long Count(Side side);
// The n-th plug-in allocation on that side after Reset (from 1) fails: a throwing form throws
// std::bad_alloc, a nothrow form returns null. 0: none fails.
void FailNth(Side side, long n);
// Whether the chosen allocation was reached and failed.
bool Failed();
// Where it was: return addresses from operator new's caller outwards.
std::vector<const void*> FailureStack();
// Plug-in allocations made while armed and not freed yet.
long Live();
// Allocations whose stack held nothing outside the runtimes within the frames looked at: not
// counted as the plug-in's, and a sign the classification could not be made.
long Undecided();

} // namespace plugin_allocations

#endif
