// Waiting for what another thread brings about: generous time-outs, never a fixed sleep.
#ifndef WAIT_UNTIL_H
#define WAIT_UNTIL_H

#include <chrono>
#include <functional>
#include <thread>

// Whether the condition came true within the time-out, looked at every millisecond (a test's wait
// must not take a core from the threads it waits for on a loaded two-core machine).
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
	while (!condition()) {
		if (std::chrono::steady_clock::now() > deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return true;
}

#endif
