// Building audio blocks: interleaved copies, planar sources of any channel count and stride, and
// the requests that must not yield a queueable block.
#include "AllocationHooks.h"
#include "AudioOut.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

namespace {

// Planar source: channel c, frame f holds c * 1000 + f; the gap after each channel holds -1.
std::vector<float> PlanarSource(int channels, int frames, int stride) {
	std::vector<float> samples(size_t(channels) * size_t(stride), -1.0f);
	for (int c = 0; c < channels; ++c)
		for (int f = 0; f < frames; ++f)
			samples[size_t(c) * stride + f] = float(c * 1000 + f);
	return samples;
}

float At(const CAudioBuffer* block, int frame, int channel) {
	return block->GetSamples()[size_t(frame) * block->GetChannels() + channel];
}

// Every frame of the block against the planar pattern: source channels below `sourceChannels`
// carry it, the others are exact zeros.
void ExpectPlanarPattern(const CAudioBuffer* block, int sourceChannels) {
	for (int f = 0; f < block->GetFrames(); ++f)
		for (int c = 0; c < block->GetChannels(); ++c) {
			const float expected = c < sourceChannels ? float(c * 1000 + f) : 0.0f;
			ASSERT_EQ(At(block, f, c), expected) << "frame " << f << " channel " << c;
		}
}

TEST(AudioBuffer, InterleavedIsAnExactCopy) {
	// Bit patterns that arithmetic would disturb: negative zero, a denormal, a NaN payload.
	const uint32_t bits[] = {0x80000000u, 0x00000001u, 0x7fc01234u, 0x3f800000u, 0xbf000000u, 0x7f7fffffu};
	float samples[6];
	memcpy(samples, bits, sizeof(bits));
	CAudioBuffer* block = new CAudioBuffer(2, samples, 99, 3, true);
	ASSERT_TRUE(block->HasSamples());
	EXPECT_EQ(block->GetChannels(), 2);
	EXPECT_EQ(block->GetFrames(), 3);
	EXPECT_EQ(block->GetReadPosition(), 0);
	EXPECT_EQ(block->GetRefCount(), 1);
	EXPECT_EQ(memcmp(block->GetSamples(), bits, sizeof(bits)), 0);
	block->Release();
}

// Planar blocks are built with the widest vector code the processor has; every case runs with
// that and with the baseline code.
class PlanarBlock : public ::testing::TestWithParam<bool> {
protected:
	void SetUp() override {
		mSaved = CAudioBuffer::sUseAVX;
		CAudioBuffer::sUseAVX = mSaved && GetParam();
	}
	void TearDown() override { CAudioBuffer::sUseAVX = mSaved; }

private:
	bool mSaved = false;
};
INSTANTIATE_TEST_SUITE_P(Paths, PlanarBlock, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Widest" : "Baseline"; });

TEST_P(PlanarBlock, IntoTheSameChannelCount) {
	// Stereo and mono take paths of their own; 13 channels are 8 + 4 + 1 for the vector code,
	// and an odd length leaves frames over for the plain code.
	for (int channels : {1, 2, 3, 8, 13}) {
		SCOPED_TRACE(channels);
		const int frames = 301;
		std::vector<float> source = PlanarSource(channels, frames, frames);
		CAudioBuffer* block = new CAudioBuffer(channels, source.data(), channels, frames, false);
		ASSERT_TRUE(block->HasSamples());
		ExpectPlanarPattern(block, channels);
		block->Release();
	}
}

TEST_P(PlanarBlock, WithFewerSourceChannelsSilencesTheRest) {
	std::vector<float> source = PlanarSource(2, 200, 200);
	CAudioBuffer* block = new CAudioBuffer(6, source.data(), 2, 200, false);
	ASSERT_TRUE(block->HasSamples());
	ExpectPlanarPattern(block, 2);
	block->Release();

	// No source channel at all: a silent block of the right shape.
	CAudioBuffer* silent = new CAudioBuffer(2, source.data(), 0, 200, false);
	ASSERT_TRUE(silent->HasSamples());
	ExpectPlanarPattern(silent, 0);
	silent->Release();
}

TEST_P(PlanarBlock, WithMoreSourceChannelsKeepsTheFirst) {
	for (int channels : {2, 5}) {
		SCOPED_TRACE(channels);
		std::vector<float> source = PlanarSource(8, 150, 150);
		CAudioBuffer* block = new CAudioBuffer(channels, source.data(), 8, 150, false);
		ASSERT_TRUE(block->HasSamples());
		ExpectPlanarPattern(block, channels);
		block->Release();
	}
}

TEST_P(PlanarBlock, FollowsAChannelStrideLargerThanTheSampleCount) {
	// Received audio may pad each channel; the padding (-1) must never reach the block.
	for (int channels : {2, 6, 8}) {
		SCOPED_TRACE(channels);
		std::vector<float> source = PlanarSource(channels, 101, 160);
		CAudioBuffer* block = new CAudioBuffer(channels, source.data(), channels, 101, false, 160);
		ASSERT_TRUE(block->HasSamples());
		ExpectPlanarPattern(block, channels);
		block->Release();
	}
}

TEST(AudioBuffer, UnusableRequestsYieldNoSamples) {
	float samples[16] = {};
	struct Case {
		const char* what;
		int channels;
		const float* samples;
		int frames;
		int stride;
	} cases[] = {
		{"no channels", 0, samples, 8, 0},
		{"negative channels", -2, samples, 8, 0},
		{"no frames", 2, samples, 0, 0},
		{"negative frames", 2, samples, -1, 0},
		{"no samples", 2, nullptr, 8, 0},
		{"negative stride", 2, samples, 8, -8},
		// More bytes than the 32-bit data size can express.
		{"oversized", 8, samples, INT_MAX / 16, 0},
	};
	for (const Case& c : cases) {
		CAudioBuffer* block = new CAudioBuffer(c.channels, c.samples, 2, c.frames, false, c.stride);
		EXPECT_FALSE(block->HasSamples()) << c.what;
		EXPECT_EQ(block->GetFrames(), 0) << c.what;
		float out[4] = {};
		EXPECT_EQ(block->GetData(c.channels, out, 4), 0) << c.what;
		block->Release();
	}
}

TEST(AudioBuffer, StorageThatCannotBeAllocatedIsNeverQueued) {
	std::vector<float> source = PlanarSource(2, 64, 64);
	CAudioBuffer* block;
	{
		// The object's own allocation goes through; its sample storage is refused.
		allocation_hooks::FailingScope failing(1, 1);
		block = new CAudioBuffer(2, source.data(), 2, 64, false);
		ASSERT_EQ(failing.failed(), 1);
	}
	EXPECT_FALSE(block->HasSamples());
	EXPECT_EQ(block->GetFrames(), 0);

	CAudioBufferList list(2, 48000, 4800);
	list.AppendBuffer(block);
	EXPECT_EQ(block->GetRefCount(), 1) << "the queue took a reference to a block without samples";
	float out[128];
	int delivered = -1;
	EXPECT_FALSE(list.GetData(2, out, sizeof(out), 64, delivered, true));
	EXPECT_EQ(delivered, 0);
	block->Release();
}

} // namespace
