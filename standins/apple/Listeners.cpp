// Property listeners: the registrations, and the one thread of the stand-in's own that calls
// them, with no lock held, in the order the changes were made. As the real system promises no
// more: removing a listener does not wait for a call already under way, so a call may still be
// made after the removal has returned; a block listener's calls run on the dispatch queue it was
// registered with, where one submitted before the removal runs after it. A queue's disposal waits
// for the calls of its listeners in progress: once it returns, none of them runs.
#include "Listeners.h"
#include "StandinCore.h"

#include <Block.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using namespace apple_standin;

namespace {

const char kListenerGate[] = "listener call";

enum class Kind { Queue, ObjectProc, ObjectBlock };

struct Registration {
	Kind kind = Kind::ObjectProc;
	AudioQueueRef queue = nullptr;
	AudioQueuePropertyID queueProperty = 0;
	AudioQueuePropertyListenerProc queueProc = nullptr;
	AudioObjectID object = kAudioObjectUnknown;
	AudioObjectPropertyAddress address{};
	AudioObjectPropertyListenerProc objectProc = nullptr;
	AudioObjectPropertyListenerBlock block = nullptr; // as registered: the identity removal matches
	AudioObjectPropertyListenerBlock copy = nullptr;  // the stand-in's own copy, released on removal
	dispatch_queue_t dispatchQueue = nullptr;         // retained while registered
	void* data = nullptr;
};

struct Delivery {
	unsigned long long serial; // of the registration, to tell a late call
	Registration registration;
};

struct Notifier {
	std::mutex lock;
	std::condition_variable wake; // a change posted, or the hold lifted
	std::condition_variable idle; // a change delivered, a call ended
	std::map<unsigned long long, Registration> registrations;
	unsigned long long nextSerial = 1;
	std::deque<std::vector<Delivery>> pending; // one entry a change
	bool delivering = false;
	AudioQueueRef callingQueue = nullptr; // the queue whose listener is being called now
	std::thread::id thread;               // the listener thread
	bool held = false;
	bool started = false;
	long long calls = 0;
	long long lateCalls = 0;
	int blockCallsInFlight = 0; // submitted to a dispatch queue, not yet returned
};

Notifier& TheNotifier() {
	static Notifier* sNotifier = new Notifier; // never destroyed, like its thread
	return *sNotifier;
}

bool SameAddress(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b) {
	return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

// Counts a call as it starts (past the gate): late when its registration was removed meanwhile.
void CountCallStart(Notifier& n, unsigned long long serial) {
	++n.calls;
	if (!n.registrations.count(serial))
		++n.lateCalls;
}

// A function listener, on the listener thread: the lock is held on entry and on return.
void CallFunction(Notifier& n, std::unique_lock<std::mutex>& guard, const Delivery& delivery) {
	const Registration& r = delivery.registration;
	n.callingQueue = r.kind == Kind::Queue ? r.queue : nullptr;
	guard.unlock();
	PassGate(kListenerGate);
	guard.lock();
	CountCallStart(n, delivery.serial);
	guard.unlock();
	if (r.kind == Kind::Queue) {
		r.queueProc(r.data, r.queue, r.queueProperty);
	} else {
		AudioObjectPropertyAddress address = r.address;
		r.objectProc(r.object, 1, &address, r.data);
	}
	guard.lock();
	n.callingQueue = nullptr;
	n.idle.notify_all();
}

// A block listener: submitted to its dispatch queue with the lock held; runs there later.
void SubmitBlock(Notifier& n, const Delivery& delivery) {
	const unsigned long long serial = delivery.serial;
	AudioObjectPropertyListenerBlock listener = delivery.registration.copy; // kept alive by the block below
	const AudioObjectPropertyAddress address = delivery.registration.address;
	Notifier* notifier = &n;
	++n.blockCallsInFlight;
	dispatch_async(delivery.registration.dispatchQueue, ^{
		PassGate(kListenerGate);
		{
			std::lock_guard<std::mutex> guard(notifier->lock);
			CountCallStart(*notifier, serial);
		}
		AudioObjectPropertyAddress given = address;
		listener(1, &given);
		std::lock_guard<std::mutex> guard(notifier->lock);
		--notifier->blockCallsInFlight;
		notifier->idle.notify_all();
	});
}

void Run() {
	Notifier& n = TheNotifier();
	std::unique_lock<std::mutex> guard(n.lock);
	n.thread = std::this_thread::get_id();
	for (;;) {
		n.wake.wait(guard, [&] { return !n.held && !n.pending.empty(); });
		std::vector<Delivery> change = std::move(n.pending.front());
		n.pending.pop_front();
		n.delivering = true;
		for (const Delivery& delivery : change) {
			auto live = n.registrations.find(delivery.serial);
			if (live == n.registrations.end())
				continue; // removed before its call began
			if (live->second.kind == Kind::ObjectBlock)
				SubmitBlock(n, Delivery{delivery.serial, live->second});
			else
				CallFunction(n, guard, delivery);
		}
		n.delivering = false;
		n.idle.notify_all();
	}
}

// With the lock held.
void Post(Notifier& n, std::vector<Delivery> change) {
	if (change.empty())
		return;
	n.pending.push_back(std::move(change));
	if (!n.started) {
		std::thread(Run).detach(); // lives as long as the process, in a library never unloaded
		n.started = true;
	}
	n.wake.notify_all();
}

// With the lock held: what a registration holds goes with it.
void Forget(Registration& r) {
	if (r.copy)
		Block_release(r.copy);
	if (r.dispatchQueue)
		dispatch_release(r.dispatchQueue);
	r.copy = nullptr;
	r.dispatchQueue = nullptr;
}

// Removes the first (or every) matching registration; never waits for a call under way.
template <typename Match>
int Remove(Match match, bool all) {
	Notifier& n = TheNotifier();
	std::lock_guard<std::mutex> guard(n.lock);
	int removed = 0;
	for (auto it = n.registrations.begin(); it != n.registrations.end();) {
		if ((all || removed == 0) && match(it->second)) {
			Forget(it->second);
			it = n.registrations.erase(it);
			++removed;
		} else {
			++it;
		}
	}
	return removed;
}

void Register(const Registration& registration) {
	Notifier& n = TheNotifier();
	std::lock_guard<std::mutex> guard(n.lock);
	n.registrations[n.nextSerial++] = registration;
}

void PostChange(const std::function<bool(const Registration&)>& match) {
	Notifier& n = TheNotifier();
	std::lock_guard<std::mutex> guard(n.lock);
	std::vector<Delivery> change;
	for (const auto& entry : n.registrations)
		if (match(entry.second))
			change.push_back(Delivery{entry.first, entry.second});
	Post(n, std::move(change));
}

} // namespace

namespace apple_standin {

void WaitForQueueListenerCalls(AudioQueueRef queue) {
	Notifier& n = TheNotifier();
	std::unique_lock<std::mutex> guard(n.lock);
	if (std::this_thread::get_id() != n.thread)
		n.idle.wait(guard, [&] { return n.callingQueue != queue; });
}

void AddQueueListener(AudioQueueRef queue, AudioQueuePropertyID property, AudioQueuePropertyListenerProc proc, void* data) {
	Registration r;
	r.kind = Kind::Queue;
	r.queue = queue;
	r.queueProperty = property;
	r.queueProc = proc;
	r.data = data;
	Register(r);
}

bool RemoveQueueListener(AudioQueueRef queue, AudioQueuePropertyID property, AudioQueuePropertyListenerProc proc, void* data) {
	return Remove([&](const Registration& r) {
		return r.kind == Kind::Queue && r.queue == queue && r.queueProperty == property && r.queueProc == proc
		       && r.data == data;
	}, false) > 0;
}

int DropQueueListeners(AudioQueueRef queue) {
	return Remove([&](const Registration& r) { return r.kind == Kind::Queue && r.queue == queue; }, true);
}

void AddObjectListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
	AudioObjectPropertyListenerProc proc, void* data) {
	Registration r;
	r.object = object;
	r.address = address;
	r.objectProc = proc;
	r.data = data;
	Register(r);
}

bool RemoveObjectListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
	AudioObjectPropertyListenerProc proc, void* data) {
	return Remove([&](const Registration& r) {
		return r.kind == Kind::ObjectProc && r.object == object && SameAddress(r.address, address)
		       && r.objectProc == proc && r.data == data;
	}, false) > 0;
}

void AddObjectListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address, dispatch_queue_t queue,
	AudioObjectPropertyListenerBlock block) {
	Registration r;
	r.kind = Kind::ObjectBlock;
	r.object = object;
	r.address = address;
	r.block = block;
	r.copy = Block_copy(block);
	r.dispatchQueue = queue;
	dispatch_retain(queue);
	Register(r);
}

bool RemoveObjectListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address, dispatch_queue_t queue,
	AudioObjectPropertyListenerBlock block) {
	return Remove([&](const Registration& r) {
		return r.kind == Kind::ObjectBlock && r.object == object && SameAddress(r.address, address)
		       && r.dispatchQueue == queue && r.block == block;
	}, false) > 0;
}

void DropObjectListeners(AudioObjectID object) {
	Remove([&](const Registration& r) {
		return r.kind != Kind::Queue
		       && (object == kAudioObjectUnknown ? r.object != kAudioObjectSystemObject : r.object == object);
	}, true);
}

void PostQueueChange(AudioQueueRef queue, AudioQueuePropertyID property) {
	PostChange([&](const Registration& r) {
		return r.kind == Kind::Queue && r.queue == queue && r.queueProperty == property;
	});
}

void PostObjectChange(AudioObjectID object, AudioObjectPropertySelector selector) {
	// The stand-in's properties that change all live in the global scope of the main element.
	PostChange([&](const Registration& r) {
		return r.kind != Kind::Queue && r.object == object && r.address.mSelector == selector
		       && r.address.mScope == kAudioObjectPropertyScopeGlobal
		       && r.address.mElement == kAudioObjectPropertyElementMain;
	});
}

} // namespace apple_standin

APPLE_STANDIN_EXPORT void apple_standin_hold_listener_calls(Boolean hold) {
	Notifier& n = TheNotifier();
	std::lock_guard<std::mutex> guard(n.lock);
	n.held = hold != 0;
	n.wake.notify_all();
}

APPLE_STANDIN_EXPORT Boolean apple_standin_wait_listener_calls(int timeoutMs) {
	Notifier& n = TheNotifier();
	std::unique_lock<std::mutex> guard(n.lock);
	return n.idle.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
		return n.pending.empty() && !n.delivering && n.blockCallsInFlight == 0;
	});
}

APPLE_STANDIN_EXPORT int apple_standin_listeners_registered(void) {
	Notifier& n = TheNotifier();
	std::lock_guard<std::mutex> guard(n.lock);
	return int(n.registrations.size());
}

APPLE_STANDIN_EXPORT long long apple_standin_listener_calls(void) {
	Notifier& n = TheNotifier();
	std::lock_guard<std::mutex> guard(n.lock);
	return n.calls;
}

APPLE_STANDIN_EXPORT long long apple_standin_late_listener_calls(void) {
	Notifier& n = TheNotifier();
	std::lock_guard<std::mutex> guard(n.lock);
	return n.lateCalls;
}
