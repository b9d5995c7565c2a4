// The resampler that follows the device's clock: a tone through its ratio changes stays a tone
// (no step steeper than the tone's own), its ratio is the one the follower asked for, and no fill
// allocates, through a start, ratio changes, a stall and a burst.
#include "AudioOut.h"
#include "AudioResampler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <vector>

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, size_t),
                                                         void (*freeHook)(const volatile void*)) __attribute__((weak));

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kBlock = 1600;
constexpr int kBuffer = 4800, kTopUp = 480;

// Allocations made by this thread while counting (the sanitizers' allocator hooks see them all).
std::atomic<int> gAllocations{0};
thread_local bool tCounting = false;

void CountAllocation(const volatile void*, size_t) {
	if (tCounting)
		++gAllocations;
}
void IgnoreFree(const volatile void*) {}

// A sender of a sine on both channels, its blocks appended at their arrival time, and a device
// topping up a 100 ms buffer every 10 ms of its own clock: the backends' ways, in simulated time.
struct Show {
	int inputRate, outputRate;
	double hz;
	CAudioBufferList queue;
	CAudioResampler reader;
	int64_t sent = 0, written = 0;
	double nextBlock, nextFill, played = 0.0;
	std::vector<float> block, out;

	Show(int in, int out_, double tone)
	    : inputRate(in), outputRate(out_), hz(tone), queue(2, in, in / 10), nextBlock(double(kBlock) / in),
	      nextFill(nextBlock + 0.01), block(size_t(kBlock) * 2), out(size_t(kBuffer) * 2) {
		EXPECT_TRUE(reader.Prepare(queue, outputRate, kBuffer));
	}
	void Append(double now) {
		for (int f = 0; f < kBlock; ++f)
			block[2 * f] = block[2 * f + 1] = float(0.5 * std::sin(2.0 * kPi * hz * double(sent + f) / inputRate));
		CAudioBuffer* b = new CAudioBuffer(2, block.data(), 2, kBlock, true);
		queue.AppendBuffer(b, int64_t(now * 1e9));
		b->Release();
		sent += kBlock;
	}
	// Runs until `until`, the device `ppm` fast; `send` says whether the sender sends at a time.
	// `each` sees every fill's frames. The fills' allocations are counted (the sender's are not).
	template <class Send, class Each> void Run(double until, double ppm, Send send, Each each) {
		while (nextFill < until) {
			if (nextBlock <= nextFill) {
				if (send(nextBlock))
					Append(nextBlock);
				nextBlock += double(kBlock) / inputRate;
				continue;
			}
			const double rate = outputRate * (1.0 + ppm * 1e-6);
			played = std::min(double(written), played + kTopUp);
			const int held = int(written - int64_t(played));
			const int frames = kBuffer - held;
			tCounting = true;
			reader.Fill(out.data(), frames, held, int64_t(nextFill * 1e9));
			tCounting = false;
			each(out.data(), frames);
			written += frames;
			nextFill += kTopUp / rate;
		}
	}
};

TEST(AudioResampler, ToneStaysContinuousThroughRatioChanges) {
	struct Shape {
		int in, out;
	};
	// Drift only, and drift with a rate change; the device's clock swings from 40 ppm fast to
	// 40 ppm slow, so the ratio passes through the fine steps near 1 as well as the coarse ones.
	for (const Shape shape : {Shape{48000, 48000}, Shape{44100, 48000}, Shape{48000, 44100}}) {
		SCOPED_TRACE(shape.in);
		Show show(shape.in, shape.out, 1000.0);
		const double slope = 0.5 * 2.0 * kPi * show.hz / shape.out; // the tone's own steepest step
		double steepest = 0.0;
		float last = 0.0f;
		int sounding = 0; // frames since the start: the first filter's length rings as it starts from silence
		int ratios = 0, fine = 0, mismatched = 0;
		double lastRatio = 0.0;
		auto each = [&](const float* out, int frames) {
			for (int f = 0; f < frames; ++f) {
				if (sounding > 512)
					steepest = std::max(steepest, double(std::fabs(out[2 * f] - last)));
				sounding += sounding > 0 || out[2 * f] != 0.0f;
				last = out[2 * f];
			}
			const double applied = show.reader.AppliedRatio() * shape.out / shape.in;
			if (std::fabs(applied - show.reader.Follower().Ratio() * shape.out / shape.in) > 0.3e-6)
				++mismatched;
			if (applied != lastRatio) {
				++ratios;
				fine += std::fabs(applied - 1.0) > 0.0 && std::fabs(applied - 1.0) < 15e-6;
				lastRatio = applied;
			}
		};
		auto always = [](double) { return true; };
		show.Run(60.0, 40.0, always, each);
		show.Run(150.0, -40.0, always, each);
		EXPECT_GT(sounding, 512);
		EXPECT_LE(steepest, slope * 1.01) << "a step steeper than the tone's own";
		EXPECT_EQ(show.reader.Follower().Underruns(), 0);
		EXPECT_EQ(mismatched, 0) << "fills where the resampler did not run at the ratio asked";
		EXPECT_GT(ratios, 100) << "the ratio changed, in small steps";
		EXPECT_GT(fine, 10) << "ratios within 15 ppm of 1 were set";
	}
}

TEST(AudioResampler, FillsNeverAllocate) {
	if (!__sanitizer_install_malloc_and_free_hooks)
		GTEST_SKIP() << "allocations are seen through the sanitizers' allocator hooks";
	static const bool installed = __sanitizer_install_malloc_and_free_hooks(CountAllocation, IgnoreFree) != 0;
	ASSERT_TRUE(installed);
	for (const int in : {48000, 44100}) {
		SCOPED_TRACE(in);
		Show show(in, 48000, 440.0);
		// The sender pauses for a second at 20 s, and sends 0.3 s at once at 40 s.
		bool burst = false;
		auto send = [&](double t) {
			if (t >= 40.0 && !burst) {
				burst = true;
				for (int i = 0; i < 9; ++i)
					show.Append(t);
			}
			return t < 20.0 || t > 21.0;
		};
		gAllocations = 0;
		show.Run(60.0, 300.0, send, [](const float*, int) {});
		EXPECT_EQ(gAllocations.load(), 0);
		EXPECT_EQ(show.reader.Follower().Underruns(), 1) << "the pause ran the queue dry once";
		EXPECT_EQ(show.reader.Follower().Starts(), 2);
		EXPECT_EQ(show.reader.Follower().Skips(), 1) << "the burst was cut";
		EXPECT_GT(std::fabs(show.reader.Follower().Correction()), 100e-6) << "the ratio moved";
	}
}

} // namespace
