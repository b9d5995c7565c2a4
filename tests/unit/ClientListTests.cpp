// The recursive lock and the client list: registration order, duplicates and strays, skipped
// clients, and that a notification runs whole under the list's lock.
#include "NDIInput.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const auto kGenerous = std::chrono::seconds(30);

// A one-way signal between threads.
class Flag {
public:
	void Set() {
		std::lock_guard<std::mutex> lock(mMutex);
		mSet = true;
		mCond.notify_all();
	}
	bool Wait() {
		std::unique_lock<std::mutex> lock(mMutex);
		return mCond.wait_for(lock, kGenerous, [&] { return mSet; });
	}

private:
	std::mutex mMutex;
	std::condition_variable mCond;
	bool mSet = false;
};

TEST(CMutex, IsRecursiveAndFreeOnlyAfterTheLastUnlock) {
	CMutex mutex;
	mutex.Lock();
	mutex.Lock();
	Flag aboutToLock;
	std::atomic<bool> acquired{false};
	std::thread other([&] {
		aboutToLock.Set();
		mutex.Lock();
		acquired = true;
		mutex.Unlock();
	});
	ASSERT_TRUE(aboutToLock.Wait());
	EXPECT_FALSE(acquired) << "taken while held twice";
	mutex.Unlock();
	EXPECT_FALSE(acquired) << "taken while still held once";
	mutex.Unlock();
	other.join();
	EXPECT_TRUE(acquired);
}

// Records which client was called, with which frame.
struct Recorder {
	std::vector<std::pair<int, NDIFrame*>> calls;
};
struct Tag {
	Recorder* recorder;
	int id;
};
void Record(void* userData, NDIFrame* frame) {
	Tag* tag = static_cast<Tag*>(userData);
	tag->recorder->calls.emplace_back(tag->id, frame);
}

NDIFrame* FakeFrame() {
	// Never dereferenced by the list; the callbacks only see the pointer.
	return reinterpret_cast<NDIFrame*>(uintptr_t(0x1000));
}

std::vector<int> Ids(const Recorder& r) {
	std::vector<int> ids;
	for (const auto& c : r.calls)
		ids.push_back(c.first);
	return ids;
}

TEST(NDIInputClientList, NotifiesInRegistrationOrderOncePerClient) {
	Recorder r;
	Tag t1{&r, 1}, t2{&r, 2}, t3{&r, 3};
	NDIInputClient c1{Record, &t1}, c2{Record, &t2}, c3{Record, &t3};
	NDIInputClientList list;
	list.NotifyClientsFrameReceived(FakeFrame()); // empty: nothing to call
	EXPECT_TRUE(r.calls.empty());

	list.AddClient(&c2);
	list.AddClient(&c1);
	list.AddClient(&c2); // already there
	list.AddClient(&c3);
	list.NotifyClientsFrameReceived(FakeFrame());
	EXPECT_EQ(Ids(r), (std::vector<int>{2, 1, 3}));
	for (const auto& c : r.calls)
		EXPECT_EQ(c.second, FakeFrame());

	r.calls.clear();
	list.NotifyClientsFrameReceived(nullptr);
	EXPECT_TRUE(r.calls.empty()) << "a null frame is offered to nobody";
}

TEST(NDIInputClientList, RemovingKeepsTheOthersInOrder) {
	Recorder r;
	Tag t1{&r, 1}, t2{&r, 2}, t3{&r, 3}, t4{&r, 4};
	NDIInputClient c1{Record, &t1}, c2{Record, &t2}, c3{Record, &t3}, stranger{Record, &t4};
	NDIInputClientList list;
	list.AddClient(&c1);
	list.AddClient(&c2);
	list.AddClient(&c3);
	list.RemoveClient(&stranger); // never added: nothing changes
	list.RemoveClient(&c2);
	list.NotifyClientsFrameReceived(FakeFrame());
	EXPECT_EQ(Ids(r), (std::vector<int>{1, 3}));

	// Removed and added again: it goes to the end.
	r.calls.clear();
	list.AddClient(&c2);
	list.RemoveClient(&c1);
	list.RemoveClient(&c1);
	list.NotifyClientsFrameReceived(FakeFrame());
	EXPECT_EQ(Ids(r), (std::vector<int>{3, 2}));
}

TEST(NDIInputClientList, SkipsClientsWithoutCallbackOrUserData) {
	Recorder r;
	Tag t1{&r, 1}, t2{&r, 2}, t3{&r, 3};
	NDIInputClient c1{Record, &t1}, noCallback{nullptr, &t2}, noData{Record, nullptr}, c3{Record, &t3};
	NDIInputClientList list;
	list.AddClient(&c1);
	list.AddClient(&noCallback);
	list.AddClient(&noData);
	list.AddClient(&c3);
	list.NotifyClientsFrameReceived(FakeFrame());
	EXPECT_EQ(Ids(r), (std::vector<int>{1, 3}));
}

// While a notification runs, removing a client from another thread waits until it has ended:
// once RemoveClient returns, the client is never called again and its owner may free it.
struct Blocking {
	Flag inCallback;
	Flag removerStarted;
	std::atomic<bool> removed{false};
	std::atomic<bool> removedDuringNotification{false};
	std::atomic<int> secondCalls{0};
};
void BlockingCallback(void* userData, NDIFrame*) {
	Blocking* b = static_cast<Blocking*>(userData);
	b->inCallback.Set();
	b->removerStarted.Wait();
	b->removedDuringNotification = b->removed.load();
}
void CountingCallback(void* userData, NDIFrame*) {
	++static_cast<Blocking*>(userData)->secondCalls;
}

TEST(NDIInputClientList, ANotificationRunsWholeUnderTheLock) {
	Blocking b;
	NDIInputClient first{BlockingCallback, &b}, second{CountingCallback, &b};
	NDIInputClientList list;
	list.AddClient(&first);
	list.AddClient(&second);

	std::thread remover([&] {
		b.inCallback.Wait();
		b.removerStarted.Set();
		list.RemoveClient(&second);
		b.removed = true;
	});
	list.NotifyClientsFrameReceived(FakeFrame());
	remover.join();
	EXPECT_FALSE(b.removedDuringNotification) << "RemoveClient returned while a notification was running";
	EXPECT_EQ(b.secondCalls, 1) << "the notification in progress still reaches the second client";

	list.RemoveClient(&first);
	list.NotifyClientsFrameReceived(FakeFrame());
	EXPECT_EQ(b.secondCalls, 1);
}

// For the ThreadSanitizer tree: two threads change and read the list, and the only order between
// them is the list's own lock (they pace each other through relaxed atomics, which order
// nothing). Without the lock in any of the three calls the race is reported at once.
TEST(NDIInputClientList, TwoThreadsMeetOnlyThroughTheListsLock) {
	Recorder r;
	Tag t1{&r, 1}, t2{&r, 2};
	NDIInputClient c1{Record, &t1}, c2{Record, &t2};
	NDIInputClientList list;
	std::atomic<int> stage{0};
	auto reach = [&stage](int wanted) {
		const auto deadline = std::chrono::steady_clock::now() + kGenerous;
		while (stage.load(std::memory_order_relaxed) < wanted && std::chrono::steady_clock::now() < deadline)
			std::this_thread::yield();
		return stage.load(std::memory_order_relaxed) >= wanted;
	};
	std::thread other([&] {
		list.AddClient(&c1);
		list.AddClient(&c2);
		stage.store(1, std::memory_order_relaxed);
		if (reach(2))
			list.NotifyClientsFrameReceived(FakeFrame());
	});
	ASSERT_TRUE(reach(1));
	list.RemoveClient(&c1);
	stage.store(2, std::memory_order_relaxed);
	other.join();
	EXPECT_EQ(Ids(r), (std::vector<int>{2}));
}

} // namespace
