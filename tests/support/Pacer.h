// The pace of a device's or a sender's clock in a test thread: waits until a deadline unless
// stopped, so that the thread can be told to end at once.
#ifndef PACER_H
#define PACER_H

#include <chrono>
#include <condition_variable>
#include <mutex>

class Pacer {
public:
	// False once stopped.
	bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
		std::unique_lock<std::mutex> lock(mMutex);
		return !mCond.wait_until(lock, deadline, [&] { return mStop; });
	}
	void Stop() {
		std::lock_guard<std::mutex> lock(mMutex);
		mStop = true;
		mCond.notify_all();
	}

private:
	std::mutex mMutex;
	std::condition_variable mCond;
	bool mStop = false;
};

#endif
