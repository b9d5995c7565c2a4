// Call counts, injected call failures, gates and delays, misuse reports and the CoreFoundation
// registry.
#include "StandinCore.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace apple_standin {
namespace {

struct CallFault {
	int skip = 0;
	int times = 0; // −1: every call
	OSStatus status = 0;
};

struct Gate {
	bool closed = false;
	int waiting = 0;
	int delayMs = 0;
};

const char* const kGatedFunctions[] = {"AudioQueueNewOutput", "AudioQueueStart", "AudioQueueDispose",
                                        "AudioQueueStart returning", "AudioQueueStop returning", "property reads",
                                        "listener call"};

bool IsGated(const char* function) {
	for (const char* gated : kGatedFunctions)
		if (function && std::strcmp(function, gated) == 0)
			return true;
	return false;
}

struct Core {
	std::mutex lock;
	std::condition_variable gateChanged; // a gate opened, or a call arrived at one
	std::map<std::string, Gate> gates;
	std::map<std::string, int> calls;
	std::map<std::string, CallFault> faults;
	long misuses = 0;
	bool misuseFatal = true;
	std::unordered_map<const void*, CFObject*> objects; // live, counted objects and constants
	long live = 0;
	long created = 0;
};

Core& TheCore() {
	static Core* sCore = new Core; // never destroyed: plug-in statics may call in at exit
	return *sCore;
}

} // namespace

bool CountCall(const char* function, OSStatus* status) {
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	++core.calls[function];
	auto fault = core.faults.find(function);
	if (fault == core.faults.end() || fault->second.times == 0)
		return false;
	if (fault->second.skip > 0) {
		--fault->second.skip;
		return false;
	}
	if (fault->second.times > 0)
		--fault->second.times;
	if (status)
		*status = fault->second.status;
	return true;
}

void PassGate(const char* function) {
	Core& core = TheCore();
	std::unique_lock<std::mutex> guard(core.lock);
	Gate& gate = core.gates[function]; // map entries stay where they are
	if (gate.closed) {
		++gate.waiting;
		core.gateChanged.notify_all();
		core.gateChanged.wait(guard, [&] { return !gate.closed; });
		--gate.waiting;
	}
	const int delayMs = gate.delayMs;
	guard.unlock();
	if (delayMs > 0)
		std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
}

void Misuse(const std::string& what) {
	Core& core = TheCore();
	bool fatal;
	{
		std::lock_guard<std::mutex> guard(core.lock);
		++core.misuses;
		fatal = core.misuseFatal;
	}
	std::fprintf(stderr, "apple stand-in: MISUSE: %s\n", what.c_str());
	if (fatal)
		std::abort();
}

CFObject* RegisterCF(CFObject* object) {
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	core.objects[object] = object;
	if (!object->constant) {
		++core.live;
		++core.created;
	}
	return object;
}

CFObject* LookUpCF(CFTypeRef ref, const char* caller) {
	Core& core = TheCore();
	{
		std::lock_guard<std::mutex> guard(core.lock);
		auto found = core.objects.find(ref);
		if (found != core.objects.end())
			return found->second;
	}
	if (caller) {
		char text[160];
		std::snprintf(text, sizeof text, "%s given %p, which is not a live CoreFoundation object", caller, ref);
		Misuse(text);
	}
	return nullptr;
}

CFStringRef NewCFString(const std::string& utf8) {
	return reinterpret_cast<CFStringRef>(RegisterCF(new CFStringObject(utf8)));
}

bool CFStringText(CFStringRef ref, const char* caller, std::string* text) {
	CFObject* object = LookUpCF(ref, caller);
	if (!object)
		return false;
	if (object->kind != CFKind::String) {
		Misuse(std::string(caller) + " given a CoreFoundation object that is not a string");
		return false;
	}
	*text = static_cast<CFStringObject*>(object)->utf8;
	return true;
}

bool ReleaseCF(CFTypeRef ref) {
	Core& core = TheCore();
	CFObject* dead = nullptr;
	{
		std::lock_guard<std::mutex> guard(core.lock);
		auto found = core.objects.find(ref);
		if (found == core.objects.end())
			return false;
		CFObject* object = found->second;
		if (object->constant)
			return true;
		if (--object->refCount == 0) {
			core.objects.erase(found);
			--core.live;
			dead = object;
		}
	}
	delete dead; // outside the lock: a bundle releases the values it owns
	return true;
}

void ClearCallFaults() {
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	core.faults.clear();
	for (auto& entry : core.gates) {
		entry.second.closed = false;
		entry.second.delayMs = 0;
	}
	core.gateChanged.notify_all();
}

} // namespace apple_standin

using namespace apple_standin;

APPLE_STANDIN_EXPORT void apple_standin_fail_call(const char* function, int skip, int times, OSStatus status) {
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	core.faults[function] = CallFault{skip, times, status};
}

namespace {

Boolean SetGate(const char* function, bool closed) {
	if (!IsGated(function))
		return false;
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	core.gates[function].closed = closed;
	core.gateChanged.notify_all();
	return true;
}

} // namespace

APPLE_STANDIN_EXPORT Boolean apple_standin_close_gate(const char* function) {
	return SetGate(function, true);
}

APPLE_STANDIN_EXPORT Boolean apple_standin_open_gate(const char* function) {
	return SetGate(function, false);
}

APPLE_STANDIN_EXPORT Boolean apple_standin_wait_at_gate(const char* function, int calls, int timeoutMs) {
	if (!IsGated(function))
		return false;
	Core& core = TheCore();
	std::unique_lock<std::mutex> guard(core.lock);
	Gate& gate = core.gates[function];
	return core.gateChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return gate.waiting >= calls; });
}

APPLE_STANDIN_EXPORT Boolean apple_standin_set_call_delay(const char* function, int milliseconds) {
	if (!IsGated(function))
		return false;
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	core.gates[function].delayMs = milliseconds > 0 ? milliseconds : 0;
	return true;
}

APPLE_STANDIN_EXPORT int apple_standin_call_count(const char* function) {
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	auto found = core.calls.find(function);
	return found == core.calls.end() ? 0 : found->second;
}

APPLE_STANDIN_EXPORT void apple_standin_reset_call_counts(void) {
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	core.calls.clear();
}

APPLE_STANDIN_EXPORT long apple_standin_cf_live(void) {
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	return core.live;
}

APPLE_STANDIN_EXPORT long apple_standin_cf_created(void) {
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	return core.created;
}

APPLE_STANDIN_EXPORT long apple_standin_misuse_count(void) {
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	return core.misuses;
}

APPLE_STANDIN_EXPORT void apple_standin_set_misuse_fatal(Boolean fatal) {
	Core& core = TheCore();
	std::lock_guard<std::mutex> guard(core.lock);
	core.misuseFatal = fatal != 0;
}
