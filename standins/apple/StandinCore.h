// What the parts of the Apple stand-in share: call counts, injected call failures, gates and
// delays, misuse reports and the CoreFoundation object registry.
#ifndef APPLE_STANDIN_CORE_H
#define APPLE_STANDIN_CORE_H

#include "apple_standin_control.h"

#include <string>

namespace apple_standin {

// Counts a call of `function`; when a failure is injected for this call, stores its status in
// `status` and returns true.
bool CountCall(const char* function, OSStatus* status = nullptr);

// For the functions that take a gate and a delay (AudioQueueNewOutput, AudioQueueStart,
// AudioQueueDispose): waits while the function's gate is closed, then for its delay. Called
// with no lock of the stand-in held.
void PassGate(const char* function);

// Reports a misuse of the API on stderr, counts it, and aborts unless a test turned that off.
void Misuse(const std::string& what);

// The CoreFoundation objects the stand-in makes. Every reference handed out is registered,
// so a release of a dead or foreign pointer is caught instead of corrupting memory.
enum class CFKind { String, URL, Bundle, PlistValue };

struct CFObject {
	CFKind kind;
	bool constant = false; // never freed, never counted
	long refCount = 1;
	explicit CFObject(CFKind k) : kind(k) {}
	virtual ~CFObject() = default;
};

struct CFStringObject : CFObject {
	std::string utf8;
	explicit CFStringObject(std::string text) : CFObject(CFKind::String), utf8(std::move(text)) {}
};

// Registers a new object with one reference and returns it.
CFObject* RegisterCF(CFObject* object);
// The live object behind a reference, or null (reported as misuse when `caller` is given).
CFObject* LookUpCF(CFTypeRef ref, const char* caller);
// A new CFString (one reference, the caller's) holding the UTF-8 text.
CFStringRef NewCFString(const std::string& utf8);
// The text of a live CFString; false (and a misuse report) for anything else.
bool CFStringText(CFStringRef ref, const char* caller, std::string* text);
// Drops one reference; frees the object at zero. False for a dead or foreign reference.
bool ReleaseCF(CFTypeRef ref);

void ClearCallFaults();

} // namespace apple_standin

#endif
