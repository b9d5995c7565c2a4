// Serial dispatch queues: each has a thread of its own that runs its blocks in order. A queue
// whose last reference is released runs what was submitted and then ends, thread and all.
#include "StandinCore.h"

#include <dispatch/dispatch.h>

#include <Block.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

using namespace apple_standin;

namespace {

struct Queue : dispatch_queue_s {
	std::string label;
	std::mutex lock;
	std::condition_variable wake;
	std::deque<dispatch_block_t> blocks; // copies, released once run
	int refCount = 1;
	bool started = false;
	std::thread::id thread;
};

std::atomic<int> gLiveQueues{0};
std::atomic<int> gSyncWaiting{0}; // callers inside dispatch_sync

void Run(Queue* queue) {
	std::unique_lock<std::mutex> guard(queue->lock);
	queue->thread = std::this_thread::get_id();
	for (;;) {
		queue->wake.wait(guard, [&] { return !queue->blocks.empty() || queue->refCount == 0; });
		if (queue->blocks.empty())
			break; // released and drained
		dispatch_block_t block = queue->blocks.front();
		guard.unlock();
		block();
		Block_release(block);
		guard.lock();
		queue->blocks.pop_front();
		queue->wake.notify_all();
	}
	guard.unlock();
	delete queue;
	--gLiveQueues;
}

Queue* QueueOf(dispatch_object_t object, const char* caller) {
	if (!object) {
		Misuse(std::string(caller) + " given no queue");
		return nullptr;
	}
	return static_cast<Queue*>(static_cast<dispatch_queue_t>(object));
}

void Submit(Queue* queue, dispatch_block_t block) {
	std::lock_guard<std::mutex> guard(queue->lock);
	queue->blocks.push_back(Block_copy(block));
	if (!queue->started) {
		std::thread(Run, queue).detach(); // the library is never unloaded
		queue->started = true;
	}
	queue->wake.notify_all();
}

} // namespace

DISPATCH_EXPORT dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t) {
	Queue* queue = new Queue;
	queue->label = label ? label : "";
	++gLiveQueues;
	return queue;
}

DISPATCH_EXPORT void dispatch_async(dispatch_queue_t target, dispatch_block_t block) {
	if (Queue* queue = QueueOf(target, "dispatch_async"))
		Submit(queue, block);
}

DISPATCH_EXPORT void dispatch_sync(dispatch_queue_t target, dispatch_block_t block) {
	Queue* queue = QueueOf(target, "dispatch_sync");
	if (!queue)
		return;
	{
		std::lock_guard<std::mutex> guard(queue->lock);
		if (queue->started && queue->thread == std::this_thread::get_id()) {
			Misuse("dispatch_sync on the queue it runs on: it would wait for itself");
			return;
		}
	}
	// Submitted behind everything before it; the caller waits until it has run.
	struct Done {
		std::mutex lock;
		std::condition_variable wake;
		bool done = false;
	} state;
	Done* waiting = &state; // the caller's, alive until it has seen the block done
	Submit(queue, ^{
		block();
		std::lock_guard<std::mutex> guard(waiting->lock);
		waiting->done = true;
		waiting->wake.notify_all();
	});
	++gSyncWaiting;
	std::unique_lock<std::mutex> guard(state.lock);
	state.wake.wait(guard, [&] { return state.done; });
	--gSyncWaiting;
}

DISPATCH_EXPORT void dispatch_retain(dispatch_object_t object) {
	if (Queue* queue = QueueOf(object, "dispatch_retain")) {
		std::lock_guard<std::mutex> guard(queue->lock);
		++queue->refCount;
	}
}

DISPATCH_EXPORT void dispatch_release(dispatch_object_t object) {
	Queue* queue = QueueOf(object, "dispatch_release");
	if (!queue)
		return;
	std::unique_lock<std::mutex> guard(queue->lock);
	if (queue->refCount <= 0) {
		guard.unlock();
		Misuse("dispatch_release of a queue already released");
		return;
	}
	if (--queue->refCount > 0)
		return;
	if (queue->started) {
		queue->wake.notify_all(); // its thread drains it and ends it
		return;
	}
	guard.unlock();
	delete queue;
	--gLiveQueues;
}

APPLE_STANDIN_EXPORT int apple_standin_dispatch_queues_live(void) {
	return gLiveQueues.load();
}

APPLE_STANDIN_EXPORT int apple_standin_dispatch_sync_waiting(void) {
	return gSyncWaiting.load();
}
