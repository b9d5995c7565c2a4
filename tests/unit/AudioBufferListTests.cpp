// The audio queue as its reader and producer see it: the bound of 17 blocks, fills across block
// boundaries, underruns, the volume ramp, the references it takes and gives back, and a reader
// path that never allocates.
#include "AllocationHooks.h"
#include "AudioOut.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

const float kSentinel = -12345.0f;

// Interleaved stereo block whose frame f holds (base + f, -(base + f)).
CAudioBuffer* Block(int frames, float base) {
	std::vector<float> samples(size_t(frames) * 2);
	for (int f = 0; f < frames; ++f) {
		samples[2 * f] = base + float(f);
		samples[2 * f + 1] = -(base + float(f));
	}
	return new CAudioBuffer(2, samples.data(), 2, frames, true);
}

// Stereo block of constant samples.
CAudioBuffer* Constant(int frames, float value) {
	std::vector<float> samples(size_t(frames) * 2, value);
	return new CAudioBuffer(2, samples.data(), 2, frames, true);
}

// Queues the block and keeps the caller's reference, as a test that wants to watch it does.
CAudioBuffer* Queue(CAudioBufferList& list, CAudioBuffer* block) {
	list.AppendBuffer(block);
	return block;
}

// Queues the block and drops the caller's reference, as the receive thread does.
void QueueAndForget(CAudioBufferList& list, CAudioBuffer* block) {
	list.AppendBuffer(block);
	block->Release();
}

struct Fill {
	std::vector<float> out;
	int delivered = -1;
	bool result = false;
};

// A stereo fill of `frames` into a buffer with room to spare, the spare part holding sentinels.
Fill Read(CAudioBufferList& list, int frames, bool fillSilence = true, int channels = 2) {
	Fill fill;
	fill.out.assign(size_t(frames + 16) * 2, kSentinel);
	fill.result = list.GetData(channels, fill.out.data(), int(fill.out.size() * sizeof(float)), frames, fill.delivered,
	                           fillSilence);
	return fill;
}

void ExpectSentinelsFrom(const Fill& fill, size_t first) {
	for (size_t i = first; i < fill.out.size(); ++i)
		ASSERT_EQ(fill.out[i], kSentinel) << "written past the fill at " << i;
}

TEST(AudioBufferList, HoldsAtMostSeventeenBlocksDroppingTheOldest) {
	CAudioBufferList list(2, 48000, 4800);
	std::vector<CAudioBuffer*> blocks;
	for (int i = 0; i < 17; ++i)
		blocks.push_back(Queue(list, Block(1, float(i))));
	for (CAudioBuffer* b : blocks)
		EXPECT_EQ(b->GetRefCount(), 2) << "nothing may be dropped below the bound";

	blocks.push_back(Queue(list, Block(1, 17.0f)));
	EXPECT_EQ(blocks[0]->GetRefCount(), 1) << "the oldest block is released on overflow";
	for (int i = 1; i < 18; ++i)
		EXPECT_EQ(blocks[i]->GetRefCount(), 2);

	Fill fill = Read(list, 20);
	EXPECT_TRUE(fill.result);
	ASSERT_EQ(fill.delivered, 17);
	for (int f = 0; f < 17; ++f)
		EXPECT_EQ(fill.out[2 * f], float(f + 1)) << "order kept, newest last";
	for (int f = 17; f < 20; ++f)
		EXPECT_EQ(fill.out[2 * f], 0.0f);
	for (CAudioBuffer* b : blocks) {
		EXPECT_EQ(b->GetRefCount(), 1) << "every drained block goes back";
		b->Release();
	}
}

TEST(AudioBufferList, TheCurrentBlockIsNotCountedInTheBound) {
	CAudioBufferList list(2, 48000, 4800);
	CAudioBuffer* first = Queue(list, Block(50, 0.0f));
	CAudioBuffer* second = Queue(list, Block(50, 1000.0f));

	// Draining the first block exactly makes the second current within the same fill.
	Fill fill = Read(list, 50);
	EXPECT_EQ(fill.delivered, 50);
	EXPECT_EQ(first->GetRefCount(), 1) << "a drained block is released by the fill that drained it";
	EXPECT_EQ(second->GetRefCount(), 2);
	EXPECT_EQ(second->GetReadPosition(), 0);

	// So 17 further blocks fit beside it without pushing it out.
	std::vector<CAudioBuffer*> more;
	for (int i = 0; i < 17; ++i)
		more.push_back(Queue(list, Block(1, 5000.0f + float(i))));
	EXPECT_EQ(second->GetRefCount(), 2) << "the current block was dropped as if it were queued";
	for (CAudioBuffer* b : more)
		EXPECT_EQ(b->GetRefCount(), 2);

	fill = Read(list, 67);
	EXPECT_EQ(fill.delivered, 67);
	EXPECT_EQ(fill.out[0], 1000.0f);
	EXPECT_EQ(fill.out[2 * 50], 5000.0f);
	EXPECT_EQ(fill.out[2 * 66], 5016.0f);
	for (CAudioBuffer* b : more)
		b->Release();
	first->Release();
	second->Release();
}

TEST(AudioBufferList, FillsAcrossBlockBoundariesFromTheReadPosition) {
	CAudioBufferList list(2, 48000, 4800);
	CAudioBuffer* first = Queue(list, Block(100, 0.0f));
	Fill fill = Read(list, 70);
	ASSERT_EQ(fill.delivered, 70);
	EXPECT_EQ(first->GetReadPosition(), 70);

	CAudioBuffer* second = Queue(list, Block(1000, 10000.0f));
	fill = Read(list, 100);
	EXPECT_TRUE(fill.result);
	ASSERT_EQ(fill.delivered, 100);
	for (int f = 0; f < 30; ++f) {
		ASSERT_EQ(fill.out[2 * f], float(70 + f));
		ASSERT_EQ(fill.out[2 * f + 1], -float(70 + f));
	}
	for (int f = 30; f < 100; ++f) {
		ASSERT_EQ(fill.out[2 * f], 10000.0f + float(f - 30));
		ASSERT_EQ(fill.out[2 * f + 1], -(10000.0f + float(f - 30)));
	}
	ExpectSentinelsFrom(fill, 200);
	EXPECT_EQ(first->GetRefCount(), 1) << "the first block is released during the fill";
	EXPECT_EQ(second->GetRefCount(), 2);
	EXPECT_EQ(second->GetReadPosition(), 70);
	first->Release();
	second->Release();
}

TEST(AudioBufferList, UnderrunsDeliverWhatThereIsAndSilenceTheRest) {
	CAudioBufferList list(2, 48000, 4800);

	Fill fill = Read(list, 40, true);
	EXPECT_FALSE(fill.result);
	EXPECT_EQ(fill.delivered, 0);
	for (int i = 0; i < 80; ++i)
		ASSERT_EQ(fill.out[i], 0.0f);
	ExpectSentinelsFrom(fill, 80);

	fill = Read(list, 40, false);
	EXPECT_FALSE(fill.result);
	EXPECT_EQ(fill.delivered, 0);
	ExpectSentinelsFrom(fill, 0);

	QueueAndForget(list, Block(30, 1.0f));
	fill = Read(list, 100, true);
	EXPECT_TRUE(fill.result);
	EXPECT_EQ(fill.delivered, 30);
	EXPECT_EQ(fill.out[58], 30.0f);
	for (int i = 60; i < 200; ++i)
		ASSERT_EQ(fill.out[i], 0.0f);
	ExpectSentinelsFrom(fill, 200);

	QueueAndForget(list, Block(30, 1.0f));
	fill = Read(list, 100, false);
	EXPECT_EQ(fill.delivered, 30);
	ExpectSentinelsFrom(fill, 60);
}

TEST(AudioBufferList, AFillInAnotherChannelCountDeliversNothing) {
	CAudioBufferList list(2, 48000, 4800);
	CAudioBuffer* block = Queue(list, Block(10, 0.0f));

	Fill fill = Read(list, 8, true, 1);
	EXPECT_FALSE(fill.result);
	EXPECT_EQ(fill.delivered, 0);
	for (int i = 0; i < 16; ++i)
		ASSERT_EQ(fill.out[i], 0.0f) << "silence in the queue's channel count";
	ExpectSentinelsFrom(fill, 16);
	EXPECT_EQ(block->GetReadPosition(), 0);

	fill = Read(list, 10);
	EXPECT_EQ(fill.delivered, 10);
	EXPECT_EQ(fill.out[18], 9.0f);
	block->Release();
}

TEST(AudioBufferList, NeverWritesPastTheDestinationSize) {
	CAudioBufferList list(2, 48000, 4800);
	QueueAndForget(list, Block(100, 0.0f));
	std::vector<float> out(200, kSentinel);
	int delivered = -1;
	// Asked for 100 frames, told of room for 40.
	EXPECT_TRUE(list.GetData(2, out.data(), 40 * 2 * sizeof(float), 100, delivered, true));
	EXPECT_EQ(delivered, 40);
	EXPECT_EQ(out[78], 39.0f);
	for (size_t i = 80; i < out.size(); ++i)
		ASSERT_EQ(out[i], kSentinel);

	// The underrun's silence keeps to the same bound.
	CAudioBufferList empty(2, 48000, 4800);
	std::fill(out.begin(), out.end(), kSentinel);
	EXPECT_FALSE(empty.GetData(2, out.data(), 10 * 2 * sizeof(float), 100, delivered, true));
	for (size_t i = 20; i < out.size(); ++i)
		ASSERT_EQ(out[i], kSentinel);
	EXPECT_FALSE(empty.GetData(2, out.data(), 0, 100, delivered, true));
	EXPECT_FALSE(empty.GetData(1, out.data(), 3 * sizeof(float), 100, delivered, true));
	for (size_t i = 20; i < out.size(); ++i)
		ASSERT_EQ(out[i], kSentinel);
}

TEST(AudioBufferList, ABlockInAnotherChannelCountIsDiscardedNotSpunOn) {
	CAudioBufferList list(2, 48000, 4800);
	std::vector<float> mono(50, 7.0f);
	CAudioBuffer* stray = Queue(list, new CAudioBuffer(1, mono.data(), 1, 50, true));
	CAudioBuffer* good = Queue(list, Block(20, 100.0f));

	Fill fill = Read(list, 20);
	EXPECT_EQ(fill.delivered, 20);
	EXPECT_EQ(fill.out[0], 100.0f);
	EXPECT_EQ(stray->GetRefCount(), 1) << "the stray block is released by the reader";

	// Also when it turns up after good audio, in the middle of a fill.
	QueueAndForget(list, Block(5, 0.0f));
	list.AppendBuffer(stray);
	QueueAndForget(list, Block(5, 50.0f));
	fill = Read(list, 12);
	EXPECT_EQ(fill.delivered, 10);
	EXPECT_EQ(fill.out[10], 50.0f);
	EXPECT_EQ(stray->GetRefCount(), 1);
	stray->Release();
	good->Release();
}

TEST(AudioBufferList, GainOneLeavesSamplesBitForBit) {
	CAudioBufferList list(2, 48000, 4800);
	list.SetVolume(1.0f); // already the target: no ramp
	std::vector<uint32_t> bits(2 * 300);
	uint32_t x = 0x12345678u;
	for (uint32_t& b : bits) {
		x = x * 1664525u + 1013904223u;
		b = x;
	}
	bits[0] = 0x80000000u; // -0.0
	bits[1] = 0x00000003u; // a denormal
	std::vector<float> samples(bits.size());
	memcpy(samples.data(), bits.data(), bits.size() * 4);
	QueueAndForget(list, new CAudioBuffer(2, samples.data(), 2, 300, true));

	Fill fill = Read(list, 300);
	ASSERT_EQ(fill.delivered, 300);
	EXPECT_EQ(memcmp(fill.out.data(), bits.data(), bits.size() * 4), 0);
}

TEST(AudioBufferList, ARampLandsExactlyOnTheTargetWithinOneFill) {
	CAudioBufferList list(2, 48000, 4800);
	QueueAndForget(list, Constant(200, 1.0f));
	QueueAndForget(list, Constant(100, 1.0f));
	list.SetVolume(0.5f);

	Fill fill = Read(list, 200);
	ASSERT_EQ(fill.delivered, 200);
	for (int k = 1; k <= 64; ++k) {
		const float expected = 1.0f - float(k) * 0.5f / 64.0f;
		ASSERT_NEAR(fill.out[2 * (k - 1)], expected, 1e-6) << "ramp frame " << k;
		ASSERT_EQ(fill.out[2 * (k - 1)], fill.out[2 * (k - 1) + 1]) << "one gain for the whole frame";
	}
	for (int f = 64; f < 200; ++f)
		ASSERT_EQ(fill.out[2 * f], 0.5f) << "after the ramp, exactly the target at frame " << f;

	list.SetVolume(0.5f); // the same gain again restarts nothing
	fill = Read(list, 100);
	ASSERT_EQ(fill.delivered, 100);
	for (int i = 0; i < 200; ++i)
		ASSERT_EQ(fill.out[i], 0.5f);
}

TEST(AudioBufferList, AShortFillLeavesTheRampPendingAtTheOldGain) {
	CAudioBufferList list(2, 48000, 4800);
	QueueAndForget(list, Constant(63, 1.0f));
	list.SetVolume(0.0f);

	Fill fill = Read(list, 100);
	ASSERT_EQ(fill.delivered, 63);
	for (int i = 0; i < 126; ++i)
		ASSERT_EQ(fill.out[i], 1.0f) << "the old gain, untouched by a ramp that did not fit";

	// The next fill that delivers 64 frames runs the whole ramp, from the old gain.
	QueueAndForget(list, Constant(64, 1.0f));
	fill = Read(list, 64);
	ASSERT_EQ(fill.delivered, 64);
	EXPECT_NEAR(fill.out[0], 63.0f / 64.0f, 1e-6);
	EXPECT_NEAR(fill.out[2 * 31], 32.0f / 64.0f, 1e-6);
	EXPECT_NEAR(fill.out[2 * 63], 0.0f, 1e-6);

	QueueAndForget(list, Constant(10, 1.0f));
	fill = Read(list, 10);
	for (int i = 0; i < 20; ++i)
		ASSERT_EQ(fill.out[i], 0.0f);
}

TEST(AudioBufferList, ANewGainDuringAPendingRampStartsOverFromTheGainInForce) {
	CAudioBufferList list(2, 48000, 4800);
	QueueAndForget(list, Constant(100, 1.0f));
	list.SetVolume(0.5f);
	list.SetVolume(0.25f);

	Fill fill = Read(list, 100);
	for (int k = 1; k <= 64; ++k)
		ASSERT_NEAR(fill.out[2 * (k - 1)], 1.0f - float(k) * 0.75f / 64.0f, 1e-6);
	for (int f = 64; f < 100; ++f)
		ASSERT_EQ(fill.out[2 * f], 0.25f);
}

TEST(AudioBufferList, DestructionReleasesEveryBlockExactlyOnce) {
	std::vector<CAudioBuffer*> blocks;
	{
		CAudioBufferList list(2, 48000, 4800);
		for (int i = 0; i < 20; ++i) // three of them dropped on overflow
			blocks.push_back(Queue(list, Block(10, float(i))));
		Fill fill = Read(list, 15); // one drained, the next current and half read
		EXPECT_EQ(fill.delivered, 15);
		EXPECT_EQ(blocks[4]->GetReadPosition(), 5);
		for (int i = 4; i < 20; ++i)
			EXPECT_EQ(blocks[i]->GetRefCount(), 2);
	}
	for (CAudioBuffer* b : blocks) {
		EXPECT_EQ(b->GetRefCount(), 1);
		b->Release();
	}
}

TEST(AudioBufferList, TheReaderNeverAllocates) {
	CAudioBufferList list(2, 48000, 4800);
	for (int i = 0; i < 17; ++i)
		QueueAndForget(list, Block(1600, float(i)));
	std::vector<float> out(4800 * 2);
	int delivered = 0;
	int total = 0;
	allocation_hooks::CountingScope counting;
	// Fills across block boundaries, a ramp, a steady gain, releases and finally underruns.
	list.SetVolume(0.5f);
	for (int i = 0; i < 8; ++i) {
		list.GetData(2, out.data(), int(out.size() * sizeof(float)), 4800, delivered, true);
		total += delivered;
		list.AcquireNextBuffer();
	}
	EXPECT_EQ(counting.count(), 0);
	EXPECT_GT(total, 0);
	EXPECT_EQ(delivered, 0) << "the queue should have run dry";
}

// What the reader learns of the stream: where its next frame lies (blocks dropped by the bound
// are skipped over), how much it could read, and what the writer half placed in time.
TEST(AudioBufferList, ReadPositionFollowsReadsSkipsAndDrops) {
	CAudioBufferList list(2, 48000, 4800);
	int64_t position = -1, waiting = -1;
	CDriftWriterState writer;
	for (int i = 0; i < 3; ++i)
		QueueAndForget(list, Block(100, float(i * 100)));
	list.GetReadState(position, waiting, writer);
	EXPECT_EQ(position, 0);
	EXPECT_EQ(waiting, 300);
	EXPECT_EQ(writer.mFramesAppended, 300);
	EXPECT_EQ(writer.mLargestBlock, 100.0);

	Read(list, 30);
	EXPECT_EQ(list.SkipData(150), 150) << "across a block's end";
	list.GetReadState(position, waiting, writer);
	EXPECT_EQ(position, 180);
	EXPECT_EQ(waiting, 120);
	Fill fill = Read(list, 1);
	EXPECT_EQ(fill.out[0], 180.0f) << "the frame at the read position";

	// Seventeen more: the third block, still queued, is dropped by the bound.
	for (int i = 3; i < 20; ++i)
		QueueAndForget(list, Block(100, float(i * 100)));
	Read(list, 19); // the rest of the second block
	list.GetReadState(position, waiting, writer);
	EXPECT_EQ(position, 300) << "past the dropped block";
	EXPECT_EQ(waiting, 1700);
	EXPECT_EQ(writer.mFramesAppended, 2000);
	fill = Read(list, 1);
	EXPECT_EQ(fill.out[0], 300.0f);

	EXPECT_EQ(list.SkipData(5000), 1699) << "no further than what is there";
	list.GetReadState(position, waiting, writer);
	EXPECT_EQ(position, 2000);
	EXPECT_EQ(waiting, 0);
}

} // namespace
