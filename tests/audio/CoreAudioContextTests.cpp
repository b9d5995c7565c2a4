// The CoreAudio output context against the Apple stand-in's devices and AudioQueue.
#include "AudioOut.h"
#include "apple_standin_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {

AppleStandinDevice Output(const char* name, const char* uid, UInt32 channels, bool isDefault = false) {
	return AppleStandinDevice{name, uid, 0, 0, 1, channels, 48000.0, 32, false, isDefault};
}

class CoreAudioContext : public ::testing::Test {
protected:
	void SetUp() override {
		apple_standin_set_manual_pump(true); // buffers play only when a test pumps them
		apple_standin_reset_queues();
		apple_standin_clear_faults();
		apple_standin_reset_call_counts();
		AppleStandinDevice devices[] = {Output("Two", "two", 2, true), Output("Eight", "eight", 8),
		                                Output("Twin A", "twin", 4), Output("Twin B", "twin", 6)};
		apple_standin_set_devices(devices, 4);
	}
	void TearDown() override {
		EXPECT_EQ(apple_standin_queues_live(), 0) << "a queue outlived its context";
		EXPECT_EQ(apple_standin_cf_live(), 0) << "a CoreFoundation object was leaked";
		EXPECT_EQ(apple_standin_misuse_count(), 0);
	}

	CCoreAudioContext* Create(const std::string& id, int channels, int rate = 48000, int frames = 4800) {
		CCoreAudioContext* context = nullptr;
		EXPECT_EQ(CCoreAudioContext::CreateCoreAudioContext(id, channels, rate, frames, context), 0);
		return context;
	}
	AppleStandinQueueInfo Queue(int index = 0) {
		AppleStandinQueueInfo info{};
		EXPECT_TRUE(apple_standin_queue_info(index, &info));
		return info;
	}
	std::vector<float> Played(const char* uid) {
		std::vector<float> samples(apple_standin_played(uid, nullptr, 0));
		apple_standin_played(uid, samples.data(), samples.size());
		return samples;
	}
};

TEST_F(CoreAudioContext, OpensTheRequestedDeviceWithItsChannelLimit) {
	struct Case { const char* id; int requested; const char* device; UInt32 channels; };
	const Case cases[] = {
		{"eight", 8, "eight", 8}, {"eight", 2, "eight", 2},   // the smaller count wins
		{"two", 8, "two", 2},
		{"twin", 8, "twin", 6},                               // the later of two matches
		{"gone", 8, "two", 2}, {"", 6, "two", 2},             // the default output instead
	};
	int index = 0;
	for (const Case& c : cases) {
		CCoreAudioContext* context = Create(c.id, c.requested);
		ASSERT_NE(context, nullptr) << c.id;
		AppleStandinQueueInfo info = Queue(index++);
		EXPECT_STREQ(info.deviceUID, c.device) << c.id;
		EXPECT_TRUE(info.deviceWasSet) << c.id;
		EXPECT_EQ(info.format.mChannelsPerFrame, c.channels) << c.id << " asking for " << c.requested;
		EXPECT_EQ(context->GetBufferList().GetChannelCount(), int(c.channels));
		EXPECT_EQ(context->GetPersistentID(), c.id) << "the ID asked for is kept";
		context->Release();
	}
}

TEST_F(CoreAudioContext, WithoutAnyDeviceTheQueueKeepsTheRequestedChannels) {
	AppleStandinDevice noDefault[] = {Output("Eight", "eight", 8)};
	apple_standin_set_devices(noDefault, 1);
	CCoreAudioContext* context = Create("gone", 3);
	ASSERT_NE(context, nullptr);
	AppleStandinQueueInfo info = Queue();
	EXPECT_FALSE(info.deviceWasSet);
	EXPECT_EQ(info.format.mChannelsPerFrame, 3u);
	context->Release();
}

TEST_F(CoreAudioContext, QueueHasTheFloatFormatAndTwoBuffersStartingWithSilence) {
	CCoreAudioContext* context = Create("eight", 3, 44100, 44100 / 10);
	ASSERT_NE(context, nullptr);
	EXPECT_TRUE(context->IsRunning());
	AppleStandinQueueInfo info = Queue();
	const AudioStreamBasicDescription& f = info.format;
	EXPECT_EQ(f.mSampleRate, 44100.0);
	EXPECT_EQ(f.mFormatID, kAudioFormatLinearPCM);
	EXPECT_EQ(f.mFormatFlags, kAudioFormatFlagIsFloat);
	EXPECT_EQ(f.mBytesPerPacket, 12u);
	EXPECT_EQ(f.mFramesPerPacket, 1u);
	EXPECT_EQ(f.mBytesPerFrame, 12u);
	EXPECT_EQ(f.mChannelsPerFrame, 3u);
	EXPECT_EQ(f.mBitsPerChannel, 32u);
	EXPECT_EQ(f.mReserved, 0u);
	ASSERT_EQ(info.buffersAllocated, 2);
	EXPECT_EQ(info.bufferSizes[0], 4410u * 3 * 4);
	EXPECT_EQ(info.bufferSizes[1], 4410u * 3 * 4);
	EXPECT_TRUE(info.started);

	// A block already waiting does not play before the 200 ms of silence.
	std::vector<float> ones(4410 * 3, 1.0f);
	CAudioBuffer* block = new CAudioBuffer(3, ones.data(), 3, 4410, true);
	context->GetBufferList().AppendBuffer(block);
	block->Release();
	ASSERT_EQ(apple_standin_pump(apple_standin_queue(0), 2), 2);
	std::vector<float> played = Played("eight");
	ASSERT_EQ(played.size(), 2u * 4410 * 3);
	for (float sample : played)
		ASSERT_EQ(sample, 0.0f);
	context->Release();
}

TEST_F(CoreAudioContext, PlaysQueuedSamplesBitForBitThenSilence) {
	const int frames = 480;
	CCoreAudioContext* context = Create("two", 2, 48000, frames);
	ASSERT_NE(context, nullptr);
	// Three blocks of 400 frames of values that survive only an exact copy.
	std::vector<float> sent;
	for (int b = 0; b < 3; ++b) {
		std::vector<float> samples(400 * 2);
		for (size_t i = 0; i < samples.size(); ++i)
			samples[i] = std::nextafter(float(b * 1000 + int(i)) / 3.0f, 1e9f);
		sent.insert(sent.end(), samples.begin(), samples.end());
		CAudioBuffer* block = new CAudioBuffer(2, samples.data(), 2, 400, true);
		context->GetBufferList().AppendBuffer(block);
		block->Release();
	}
	context->GetBufferList().SetVolume(1.0f); // unchanged gain: no ramp
	ASSERT_EQ(apple_standin_pump(apple_standin_queue(0), 5), 5);
	std::vector<float> played = Played("two");
	ASSERT_EQ(played.size(), 5u * frames * 2);
	const size_t silence = 2 * frames * 2;
	for (size_t i = 0; i < silence; ++i)
		ASSERT_EQ(played[i], 0.0f) << i;
	for (size_t i = 0; i < sent.size(); ++i)
		ASSERT_EQ(played[silence + i], sent[i]) << i;
	for (size_t i = silence + sent.size(); i < played.size(); ++i)
		ASSERT_EQ(played[i], 0.0f) << "underrun plays as silence, sample " << i;
	EXPECT_EQ(Queue().enqueueFailures, 0);
	context->Release();
}

TEST_F(CoreAudioContext, LimitedChannelsKeepTheFirstSourceChannels) {
	CCoreAudioContext* context = Create("two", 8, 48000, 100);
	ASSERT_NE(context, nullptr);
	CAudioBufferList& queue = context->GetBufferList();
	ASSERT_EQ(queue.GetChannelCount(), 2);
	// A planar 8-channel source, built the way the receive thread builds blocks.
	std::vector<float> planar(8 * 100);
	for (int c = 0; c < 8; ++c)
		for (int f = 0; f < 100; ++f)
			planar[c * 100 + f] = float(c + 1);
	CAudioBuffer* block = new CAudioBuffer(queue.GetChannelCount(), planar.data(), 8, 100, false);
	queue.AppendBuffer(block);
	block->Release();
	ASSERT_EQ(apple_standin_pump(apple_standin_queue(0), 3), 3);
	std::vector<float> played = Played("two");
	ASSERT_EQ(played.size(), 3u * 100 * 2);
	for (size_t f = 200; f < 300; ++f) {
		ASSERT_EQ(played[f * 2], 1.0f);
		ASSERT_EQ(played[f * 2 + 1], 2.0f);
	}
	context->Release();
}

TEST_F(CoreAudioContext, FailuresLeaveNoContextAndNoQueue) {
	struct Case { const char* function; int skip; int status; };
	const Case cases[] = {{"AudioQueueNewOutput", 0, -99}, {"AudioQueueAllocateBuffer", 0, -98},
	                      {"AudioQueueAllocateBuffer", 1, -98}, {"AudioQueueStart", 0, -97}};
	for (const Case& c : cases) {
		apple_standin_clear_faults();
		apple_standin_fail_call(c.function, c.skip, 1, -50);
		CCoreAudioContext* context = reinterpret_cast<CCoreAudioContext*>(1);
		EXPECT_EQ(CCoreAudioContext::CreateCoreAudioContext("eight", 2, 48000, 4800, context), c.status) << c.function;
		EXPECT_EQ(context, nullptr);
		EXPECT_EQ(apple_standin_queues_live(), 0) << c.function;
	}
	EXPECT_EQ(apple_standin_call_count("AudioQueueStop"), 0) << "a queue that never started is only disposed";
}

TEST_F(CoreAudioContext, ADeviceWithoutChannelsFailsBeforeAnyQueueIsMade) {
	AppleStandinDevice devices[] = {Output("Mute", "mute", 0, true)};
	apple_standin_set_devices(devices, 1);
	for (const char* id : {"mute", ""}) {
		CCoreAudioContext* context = nullptr;
		EXPECT_EQ(CCoreAudioContext::CreateCoreAudioContext(id, 2, 48000, 4800, context), -99) << id;
		EXPECT_EQ(context, nullptr);
	}
	EXPECT_EQ(apple_standin_call_count("AudioQueueNewOutput"), 0);
	// A failed current-device setting is not a failure: the queue plays on the default output.
	AppleStandinDevice fine[] = {Output("Two", "two", 2, true)};
	apple_standin_set_devices(fine, 1);
	apple_standin_fail_call("AudioQueueSetProperty", 0, 1, -50);
	CCoreAudioContext* context = Create("two", 2);
	ASSERT_NE(context, nullptr);
	EXPECT_FALSE(Queue().deviceWasSet);
	context->Release();
}

TEST_F(CoreAudioContext, CompatibilityIgnoresOnlyTheChannelCount) {
	CCoreAudioContext* context = Create("gone", 2, 48000, 4800); // fell back to the default device
	ASSERT_NE(context, nullptr);
	EXPECT_TRUE(context->IsCompatible("gone", 2, 48000, 4800));
	EXPECT_TRUE(context->IsCompatible("gone", 6, 48000, 4800));
	EXPECT_FALSE(context->IsCompatible("two", 2, 48000, 4800)) << "the device used is not the one asked for";
	EXPECT_FALSE(context->IsCompatible("gone ", 2, 48000, 4800));
	EXPECT_FALSE(context->IsCompatible("gone", 2, 44100, 4800));
	EXPECT_FALSE(context->IsCompatible("gone", 2, 48000, 4410));
	context->Release();
}

TEST_F(CoreAudioContext, AfterStopNoBufferIsRefilled) {
	CCoreAudioContext* context = Create("two", 2, 48000, 480);
	ASSERT_NE(context, nullptr);
	AudioQueueRef queue = apple_standin_queue(0);
	ASSERT_EQ(apple_standin_pump(queue, 3), 3);
	context->Stop();
	EXPECT_FALSE(context->IsRunning());
	context->Stop();
	EXPECT_EQ(apple_standin_call_count("AudioQueueStop"), 1) << "a second Stop does nothing";
	const long long callbacks = Queue().callbacks;
	EXPECT_EQ(apple_standin_pump(queue, 1), 0);
	// A fill that still arrives is not enqueued again.
	std::vector<float> data(480 * 2, 7.0f);
	AudioQueueBuffer late{UInt32(data.size() * 4), data.data(), UInt32(data.size() * 4), nullptr, 0, nullptr, 0};
	const int enqueues = apple_standin_call_count("AudioQueueEnqueueBuffer");
	coreaudio_fill_buffer(context, queue, &late);
	EXPECT_EQ(apple_standin_call_count("AudioQueueEnqueueBuffer"), enqueues);
	coreaudio_fill_buffer(nullptr, queue, &late); // no context: nothing happens
	context->Release();
	AppleStandinQueueInfo info = Queue();
	EXPECT_EQ(info.callbacks, callbacks) << "no fill ran after Stop returned";
	EXPECT_TRUE(info.disposed);
	EXPECT_EQ(apple_standin_call_count("AudioQueueStop"), 1) << "the destructor does not stop twice";
}

// The stand-in's AudioQueue thread pulls at the stream's pace while a producer feeds the queue
// and changes the volume; then the context is stopped and destroyed with blocks still waiting.
TEST_F(CoreAudioContext, ProducerAndQueueThreadShareTheQueueUntilStopAndDestruction) {
	apple_standin_set_manual_pump(false);
	for (bool stopFirst : {true, false}) {
		apple_standin_reset_queues();
		CCoreAudioContext* context = Create("eight", 8, 48000, 480); // 10 ms buffers
		ASSERT_NE(context, nullptr);
		std::atomic<bool> done{false};
		std::thread producer([&] {
			std::vector<float> planar(8 * 480, 0.25f);
			CAudioBufferList& queue = context->GetBufferList();
			for (int i = 0; !done; ++i) {
				queue.SetVolume(i % 50 < 25 ? 1.0f : 0.5f);
				CAudioBuffer* block = new CAudioBuffer(queue.GetChannelCount(), planar.data(), 8, 480, false);
				queue.AppendBuffer(block);
				block->Release();
				std::this_thread::yield();
			}
		});
		EXPECT_TRUE(apple_standin_wait_played(0, 30, 60000));
		if (stopFirst)
			context->Stop(); // while the producer still appends
		done = true;
		producer.join();
		// The producer is also the holder (the receive thread): it releases once it stopped
		// appending; a playing context stops and disposes of its queue itself.
		context->Release();
	}
}

} // namespace
