// The drift follower's two halves on their own threads, on the real steady clock: a sender that
// appends blocks (placing them in time under the queue's lock) and changes the volume, and a
// device that tops up its buffer through the resampler every 10 ms. Run under ThreadSanitizer.
#include "AudioOut.h"
#include "AudioResampler.h"
#include "Pacer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRate = 48000;
constexpr int kBlock = 1600, kBuffer = 4800;
constexpr int kBlocks = 120; // four seconds

TEST(AudioDriftThreads, SenderAndDeviceFollowOneAnother) {
	CAudioBufferList queue(2, kRate, kRate / 10);
	CAudioResampler reader;
	ASSERT_TRUE(reader.Prepare(queue, kRate, kBuffer));
	Pacer pacer;
	std::mutex mutex;
	std::condition_variable progress;
	int64_t made = 0, fills = 0;
	double lastValue = -1.0;
	std::string failure;

	// A slow ramp on both channels: what is played must come in the sender's order.
	std::thread sender([&] {
		std::vector<float> samples(size_t(kBlock) * 2);
		auto next = Clock::now();
		for (int b = 0; b < kBlocks && pacer.WaitUntil(next); ++b) {
			for (int f = 0; f < kBlock; ++f)
				samples[2 * f] = samples[2 * f + 1] = float(b * kBlock + f) * 1e-6f;
			CAudioBuffer* block = new CAudioBuffer(2, samples.data(), 2, kBlock, true);
			queue.SetVolume(1.0f);
			queue.AppendBuffer(block);
			block->Release();
			next += std::chrono::microseconds(1000000LL * kBlock / kRate);
		}
	});

	std::thread device([&] {
		std::vector<float> out(size_t(kBuffer) * 2);
		const auto start = Clock::now();
		int64_t written = 0;
		std::string error;
		double last = -1.0;
		int64_t sinceStart = 0;
		auto next = start;
		while (pacer.WaitUntil(next += std::chrono::milliseconds(10))) {
			// The device plays at its pace from the first fill on; what it has not played it holds.
			const auto now = Clock::now();
			const int64_t elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - start).count();
			const int64_t played = std::min<int64_t>(written, elapsed * kRate / 1000000);
			const int held = int(written - played);
			const int frames = kBuffer - held;
			if (frames <= 0)
				continue;
			const int real = reader.Fill(out.data(), frames, held, DriftClockNow());
			for (int f = 0; f < frames && error.empty(); ++f) {
				const double v = out[2 * f];
				if (v == 0.0) {
					sinceStart = 0; // silence: waiting for the level, or a stall under a loaded machine
					continue;
				}
				// Past the resampler's first filter length after a start, the ramp only rises.
				if (++sinceStart > 100 && v < last - 2e-6)
					error = "played out of order at " + std::to_string(v);
				last = v;
			}
			written += frames;
			std::lock_guard<std::mutex> lock(mutex);
			made += real;
			++fills;
			lastValue = last;
			failure = error;
			progress.notify_all();
		}
	});

	sender.join();
	{
		std::unique_lock<std::mutex> lock(mutex);
		// Everything sent is played within the delay's target, give or take a loaded machine.
		const double lastSecond = (kBlocks * kBlock - kRate) * 1e-6;
		EXPECT_TRUE(progress.wait_for(lock, std::chrono::seconds(60), [&] { return lastValue >= lastSecond; }))
		    << "the device did not play what was sent";
	}
	pacer.Stop();
	device.join();
	EXPECT_EQ(failure, "");
	EXPECT_GT(made, kRate) << "at least a second of audio was played";
	EXPECT_GE(reader.Follower().Starts(), 1);
}

} // namespace
