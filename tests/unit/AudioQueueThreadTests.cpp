// The audio queue between its two threads: a producer that appends received blocks (with a
// burst that overflows the queue) and changes the volume, and a reader that fills at a device's
// pace. Run under ThreadSanitizer as well.
#include "AudioOut.h"
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
constexpr int kBlockFrames = 1600;   // one received audio frame at 30 per second
constexpr int kFillFrames = 480;     // the device asks every 10 ms
constexpr int kBlocks = 90;          // three seconds of audio...
constexpr int kBurst = 25;           // ...after a burst that overflows the queue

// Planar stereo block: channel 0 carries a running frame number, channel 1 a constant 1.0, so
// the reader can recover the frame number whatever gain was applied to the frame.
CAudioBuffer* NumberedBlock(int block) {
	std::vector<float> planar(2 * kBlockFrames);
	for (int f = 0; f < kBlockFrames; ++f) {
		planar[f] = float(block * 2048 + f);
		planar[kBlockFrames + f] = 1.0f;
	}
	return new CAudioBuffer(2, planar.data(), 2, kBlockFrames, false);
}

TEST(AudioQueueThreads, ProducerAndDevicePacedReaderShareTheQueue) {
	const float gains[] = {1.0f, 0.5f, 0.25f, 0.8f};
	std::vector<CAudioBuffer*> made; // every block, with a reference the test keeps
	made.reserve(kBurst + kBlocks);
	Pacer pacer;
	std::mutex mutex;
	std::condition_variable filled;
	long fills = 0;
	std::string failure;
	long framesRead = 0;
	{
		CAudioBufferList list(2, kRate, kRate / 10);
		auto produce = [&](int i) {
			// The receive thread repeats the gain with every block; here it changes every few.
			list.SetVolume(gains[(i / 3) % 4]);
			CAudioBuffer* block = NumberedBlock(i);
			made.push_back(block);
			block->Retain();
			list.AppendBuffer(block);
			block->Release();
		};
		// A backlog before the device starts: more than the queue holds.
		for (int i = 0; i < kBurst; ++i)
			produce(i);

		std::thread reader([&] {
			std::vector<float> out(kFillFrames * 2);
			float lastNumber = -1.0f;
			long read = 0;
			std::string error;
			const auto period = std::chrono::microseconds(1000000LL * kFillFrames / kRate);
			auto next = Clock::now();
			while (pacer.WaitUntil(next += period)) {
				int delivered = 0;
				const bool any = list.GetData(2, out.data(), int(out.size() * sizeof(float)), kFillFrames, delivered, true);
				if (any != (delivered > 0) || delivered < 0 || delivered > kFillFrames)
					error = "inconsistent fill result";
				for (int f = 0; f < kFillFrames && error.empty(); ++f) {
					const float number = out[2 * f], gain = out[2 * f + 1];
					if (f >= delivered) {
						if (number != 0.0f || gain != 0.0f)
							error = "underrun not silent";
						continue;
					}
					if (!(gain >= 0.2f && gain <= 1.0001f))
						error = "gain out of range: " + std::to_string(gain);
					const float recovered = std::round(number / gain);
					if (!(recovered > lastNumber))
						error = "frames out of order at " + std::to_string(recovered);
					lastNumber = recovered;
				}
				read += delivered;
				std::lock_guard<std::mutex> lock(mutex);
				++fills;
				failure = error;
				framesRead = read;
				filled.notify_all();
			}
		});

		std::thread producer([&] {
			const auto period = std::chrono::microseconds(1000000LL * kBlockFrames / kRate);
			auto next = Clock::now();
			for (int i = kBurst; i < kBurst + kBlocks && pacer.WaitUntil(next += period); ++i)
				produce(i);
		});
		producer.join();

		// The reader drains what is left; then it is stopped.
		{
			std::unique_lock<std::mutex> lock(mutex);
			const bool drained = filled.wait_for(lock, std::chrono::seconds(60), [&] {
				for (CAudioBuffer* b : made)
					if (b->GetRefCount() > 1)
						return false;
				return true;
			});
			EXPECT_TRUE(drained) << "the reader never drained the queue";
		}
		pacer.Stop();
		reader.join();
	}

	EXPECT_EQ(failure, "");
	ASSERT_EQ(made.size(), size_t(kBurst + kBlocks));
	// Every block was either played through or dropped unread, and the frames played are theirs.
	long played = 0, dropped = 0, framesPlayed = 0;
	for (CAudioBuffer* b : made) {
		EXPECT_EQ(b->GetRefCount(), 1) << "the queue still holds a reference";
		if (b->GetReadPosition() == 0)
			++dropped;
		else if (b->GetReadPosition() == kBlockFrames)
			++played;
		else
			ADD_FAILURE() << "a block was left half played";
		framesPlayed += b->GetReadPosition();
		b->Release();
	}
	EXPECT_EQ(framesRead, framesPlayed);
	EXPECT_GE(dropped, kBurst - CAudioBufferList::kMaxQueuedBuffers) << "the backlog overflowed the queue";
	EXPECT_GE(played, CAudioBufferList::kMaxQueuedBuffers);
	EXPECT_GT(fills, 0);
}

} // namespace
