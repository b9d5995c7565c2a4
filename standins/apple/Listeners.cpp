// Property listeners: the registrations, and the one thread of the stand-in's own that calls
// them, with no lock held, in the order the changes were made. A removal waits for a call of that
// listener in progress, and no call starts once the removal has returned: a plug-in that removed
// its listeners may be unloaded.
#include "Listeners.h"
#include "StandinCore.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using namespace apple_standin;

namespace {

struct Registration {
	bool isQueue = false;
	AudioQueueRef queue = nullptr;
	AudioQueuePropertyID queueProperty = 0;
	AudioQueuePropertyListenerProc queueProc = nullptr;
	AudioObjectID object = kAudioObjectUnknown;
	AudioObjectPropertyAddress address{};
	AudioObjectPropertyListenerProc objectProc = nullptr;
	void* data = nullptr;
};

struct Delivery {
	unsigned long long serial; // of the registration, to tell a late call
	Registration registration;
};

struct Notifier {
	std::mutex lock;
	std::condition_variable wake; // a change posted, or the hold lifted
	std::condition_variable idle; // a change delivered
	std::map<unsigned long long, Registration> registrations;
	unsigned long long nextSerial = 1;
	std::deque<std::vector<Delivery>> pending; // one entry a change
	bool delivering = false;
	unsigned long long calling = 0;   // the registration being called now (0: none)
	AudioQueueRef callingQueue = nullptr; // and its queue, for a queue's listener
	std::thread::id thread;         // the listener thread
	bool held = false;
	bool started = false;
	long long calls = 0;
	long long lateCalls = 0;
};

Notifier& TheNotifier() {
	static Notifier* sNotifier = new Notifier; // never destroyed, like its thread
	return *sNotifier;
}

bool SameAddress(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b) {
	return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

void Deliver(const Registration& r) {
	if (r.isQueue) {
		r.queueProc(r.data, r.queue, r.queueProperty);
	} else {
		AudioObjectPropertyAddress address = r.address;
		r.objectProc(r.object, 1, &address, r.data);
	}
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
			if (!n.registrations.count(delivery.serial))
				continue; // removed since the change was made
			++n.calls;
			n.calling = delivery.serial;
			n.callingQueue = delivery.registration.isQueue ? delivery.registration.queue : nullptr;
			guard.unlock();
			Deliver(delivery.registration);
			guard.lock();
			n.calling = 0;
			n.callingQueue = nullptr;
			n.idle.notify_all();
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

// Removes the first (or every) matching registration and waits until none of them is being
// called; on the listener thread itself (a listener removing listeners) it cannot wait.
template <typename Match>
int Remove(Match match, bool all, bool wait) {
	Notifier& n = TheNotifier();
	std::unique_lock<std::mutex> guard(n.lock);
	std::vector<unsigned long long> removed;
	for (auto it = n.registrations.begin(); it != n.registrations.end();) {
		if ((all || removed.empty()) && match(it->second)) {
			removed.push_back(it->first);
			it = n.registrations.erase(it);
		} else {
			++it;
		}
	}
	if (wait && std::this_thread::get_id() != n.thread) {
		n.idle.wait(guard, [&] {
			return std::find(removed.begin(), removed.end(), n.calling) == removed.end();
		});
	}
	return int(removed.size());
}

template <typename Match>
bool RemoveFirst(Match match) {
	return Remove(match, false, true) > 0;
}

// For objects that vanish, with other locks of the stand-in held: pending calls are dropped,
// a call in progress is not waited for here.
template <typename Match>
int RemoveAll(Match match) {
	return Remove(match, true, false);
}

void Register(const Registration& registration) {
	Notifier& n = TheNotifier();
	std::lock_guard<std::mutex> guard(n.lock);
	n.registrations[n.nextSerial++] = registration;
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
	r.isQueue = true;
	r.queue = queue;
	r.queueProperty = property;
	r.queueProc = proc;
	r.data = data;
	Register(r);
}

bool RemoveQueueListener(AudioQueueRef queue, AudioQueuePropertyID property, AudioQueuePropertyListenerProc proc, void* data) {
	return RemoveFirst([&](const Registration& r) {
		return r.isQueue && r.queue == queue && r.queueProperty == property && r.queueProc == proc && r.data == data;
	});
}

int DropQueueListeners(AudioQueueRef queue) {
	return RemoveAll([&](const Registration& r) { return r.isQueue && r.queue == queue; });
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
	return RemoveFirst([&](const Registration& r) {
		return !r.isQueue && r.object == object && SameAddress(r.address, address) && r.objectProc == proc && r.data == data;
	});
}

void DropObjectListeners(AudioObjectID object) {
	RemoveAll([&](const Registration& r) {
		return !r.isQueue && (object == kAudioObjectUnknown ? r.object != kAudioObjectSystemObject : r.object == object);
	});
}

void PostQueueChange(AudioQueueRef queue, AudioQueuePropertyID property) {
	Notifier& n = TheNotifier();
	std::lock_guard<std::mutex> guard(n.lock);
	std::vector<Delivery> change;
	for (const auto& entry : n.registrations) {
		const Registration& r = entry.second;
		if (r.isQueue && r.queue == queue && r.queueProperty == property)
			change.push_back(Delivery{entry.first, r});
	}
	Post(n, std::move(change));
}

void PostObjectChange(AudioObjectID object, AudioObjectPropertySelector selector) {
	Notifier& n = TheNotifier();
	std::lock_guard<std::mutex> guard(n.lock);
	std::vector<Delivery> change;
	for (const auto& entry : n.registrations) {
		const Registration& r = entry.second;
		// The stand-in's properties that change all live in the global scope of the main element.
		if (!r.isQueue && r.object == object && r.address.mSelector == selector
			&& r.address.mScope == kAudioObjectPropertyScopeGlobal && r.address.mElement == kAudioObjectPropertyElementMain)
			change.push_back(Delivery{entry.first, r});
	}
	Post(n, std::move(change));
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
	return n.idle.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return n.pending.empty() && !n.delivering; });
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
