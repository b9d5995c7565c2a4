// Something tried again after a failure, however often it is asked for, must come about once a
// second: from `start` on, at most one attempt a second and the first.
#ifndef ABOUT_ONCE_A_SECOND_H
#define ABOUT_ONCE_A_SECOND_H

#include <gtest/gtest.h>

#include <chrono>

inline ::testing::AssertionResult AboutOnceASecond(int attempts, std::chrono::steady_clock::time_point start) {
	const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	if (attempts <= int(seconds) + 2)
		return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure() << attempts << " attempts in " << seconds << " s: more than one a second";
}

#endif
