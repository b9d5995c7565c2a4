// Waiting for what another thread brings about: generous time-outs, never a fixed sleep.
#ifndef WAIT_UNTIL_H
#define WAIT_UNTIL_H

#include <chrono>
#include <functional>
#include <thread>

// Whether the condition came true within the time-out.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
	while (!condition()) {
		if (std::chrono::steady_clock::now() > deadline)
			return false;
		std::this_thread::yield();
	}
	return true;
}

#endif
