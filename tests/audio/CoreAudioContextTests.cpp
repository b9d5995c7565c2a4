// The CoreAudio output context against the Apple stand-in's devices and AudioQueue.
#include "AudioOut.h"
#include "WaitUntil.h"
#include "apple_standin_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace {

AppleStandinDevice Output(const char* name, const char* uid, UInt32 channels, bool isDefault = false) {
	return AppleStandinDevice{name, uid, 0, 0, 1, channels, 48000.0, 32, false, isDefault};
}


class CoreAudioContext : public ::testing::Test {
protected:
	void SetUp() override {
		apple_standin_hold_listener_calls(false);
		apple_standin_set_manual_pump(true); // buffers play only when a test pumps them
		apple_standin_reset_queues();
		apple_standin_clear_faults();
		apple_standin_reset_call_counts();
		AppleStandinDevice devices[] = {Output("Two", "two", 2, true), Output("Eight", "eight", 8),
		                                Output("Twin A", "twin", 4), Output("Twin B", "twin", 6)};
		apple_standin_set_devices(devices, 4);
	}
	void TearDown() override {
		apple_standin_clear_faults(); // opens any gate a failed test left closed
		apple_standin_hold_listener_calls(false);
		EXPECT_TRUE(apple_standin_wait_listener_calls(10000));
		EXPECT_EQ(apple_standin_queues_live(), 0) << "a queue outlived its context";
		EXPECT_EQ(apple_standin_listeners_registered(), 0) << "a listener outlived its context";
		EXPECT_EQ(apple_standin_cf_live(), 0) << "a CoreFoundation object was leaked";
		EXPECT_EQ(apple_standin_misuse_count(), 0);
	}

	CCoreAudioContext* Create(const std::string& id, int channels, int rate = 48000, int frames = 4800) {
		CCoreAudioContext* context = nullptr;
		EXPECT_EQ(CCoreAudioContext::CreateCoreAudioContext(id, channels, rate, frames, context), 0);
		return context;
	}
	// Whether the queue says it runs: its thread says so some time after the start, and tells the
	// queue's IsRunning listener then.
	static bool SeenRunning(AudioQueueRef queue) {
		return WaitUntil([&] {
			UInt32 running = 0, size = sizeof running;
			return AudioQueueGetProperty(queue, kAudioQueueProperty_IsRunning, &running, &size) == 0 && running == 1;
		});
	}
	AppleStandinQueueInfo Queue(int index = 0) {
		AppleStandinQueueInfo info{};
		EXPECT_TRUE(apple_standin_queue_info(index, &info));
		return info;
	}
	// Whether the context still serves the stream it was made for, once every change made so
	// far has reached its listeners and the holder's audio thread had a look at the device.
	static bool StaysCompatible(CCoreAudioContext* context, const char* id) {
		EXPECT_TRUE(apple_standin_wait_listener_calls(10000));
		return context->IsCompatible(id, 2, 48000, 4800) && !context->LookAtDevice();
	}
	static bool BecomesIncompatible(CCoreAudioContext* context, const char* id) {
		return WaitUntil([&] { return !context->IsCompatible(id, 2, 48000, 4800) || context->LookAtDevice(); });
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

// What the queue holds plays once, in order, after the silence the output starts with, through
// the resampler that follows the device's clock; a queue run dry plays silence. The device plays
// in real time: the output places its first frame by the clock.
TEST_F(CoreAudioContext, PlaysQueuedAudioInOrderThenSilence) {
	apple_standin_set_manual_pump(false);
	CCoreAudioContext* context = Create("two", 2, 48000, 480); // 10 ms buffers
	ASSERT_NE(context, nullptr);
	// Three blocks of 400 frames of a 1 kHz sine, continuous across them.
	for (int b = 0; b < 3; ++b) {
		std::vector<float> samples(400 * 2);
		for (int f = 0; f < 400; ++f)
			samples[2 * f] = samples[2 * f + 1] = float(0.5 * std::sin(2 * M_PI * 1000.0 * (b * 400 + f) / 48000.0));
		CAudioBuffer* block = new CAudioBuffer(2, samples.data(), 2, 400, true);
		context->GetBufferList().AppendBuffer(block);
		block->Release();
	}
	ASSERT_TRUE(apple_standin_wait_played(0, 60, 20000)) << "half a second played";
	const std::vector<float> played = Played("two");
	const size_t frames = played.size() / 2;
	size_t first = 0, last = frames;
	while (first < frames && played[2 * first] == 0.0f)
		++first;
	while (last > first && played[2 * (last - 1)] == 0.0f)
		--last;
	ASSERT_GT(first, 0u) << "the output starts with silence";
	EXPECT_LT(last, frames - 480) << "the queue run dry plays silence";
	EXPECT_NEAR(double(last - first), 1200.0, 80.0) << "the 1200 frames sent, once";
	float peak = 0.0f;
	int crossings = 0;
	for (size_t f = first; f < last; ++f) {
		peak = std::max(peak, std::fabs(played[2 * f]));
		EXPECT_EQ(played[2 * f], played[2 * f + 1]) << "frame " << f;
		if (f > first && (played[2 * f - 2] < 0) != (played[2 * f] < 0))
			++crossings;
	}
	EXPECT_NEAR(peak, 0.5f, 0.02f);
	EXPECT_NEAR(crossings, 50, 3) << "25 periods of 1 kHz";
	EXPECT_EQ(Queue().enqueueFailures, 0);
	context->Release();
}

TEST_F(CoreAudioContext, LimitedChannelsKeepTheFirstSourceChannels) {
	apple_standin_set_manual_pump(false);
	CCoreAudioContext* context = Create("two", 8, 48000, 480);
	ASSERT_NE(context, nullptr);
	CAudioBufferList& queue = context->GetBufferList();
	ASSERT_EQ(queue.GetChannelCount(), 2);
	// A planar 8-channel source, built the way the receive thread builds blocks.
	std::vector<float> planar(8 * 4800);
	for (int c = 0; c < 8; ++c)
		for (int f = 0; f < 4800; ++f)
			planar[c * 4800 + f] = float(c + 1) / 8.0f;
	CAudioBuffer* block = new CAudioBuffer(queue.GetChannelCount(), planar.data(), 8, 4800, false);
	queue.AppendBuffer(block);
	block->Release();
	ASSERT_TRUE(apple_standin_wait_played(0, 60, 20000));
	const std::vector<float> played = Played("two");
	size_t steady = 0;
	for (size_t f = 0; f + 1 < played.size(); f += 2)
		if (std::fabs(played[f] - 0.125f) < 0.001f) {
			++steady;
			EXPECT_NEAR(played[f + 1], 0.25f, 0.002f) << "frame " << f / 2;
		}
	EXPECT_GT(steady, 4000u) << "the block's frames, the first two source channels";
	context->Release();
}

// The thread that starts the queue may be put off right after the start took effect, before
// AudioQueueStart returns to it: the queue plays meanwhile, and each buffer it hands back must go
// back into play, or the output runs on one buffer, or none.
TEST_F(CoreAudioContext, BuffersPlayedBeforeTheStartReturnsStayInPlay) {
	ASSERT_TRUE(apple_standin_close_gate("AudioQueueStart returning"));
	CCoreAudioContext* context = nullptr;
	auto made = std::async(std::launch::async, [&] {
		return CCoreAudioContext::CreateCoreAudioContext("two", 2, 48000, 4800, context);
	});
	ASSERT_TRUE(apple_standin_wait_at_gate("AudioQueueStart returning", 1, 10000));
	AudioQueueRef queue = apple_standin_queue(0);
	EXPECT_EQ(apple_standin_pump(queue, 2), 2) << "the queue plays before its start has returned";
	apple_standin_open_gate("AudioQueueStart returning");
	ASSERT_EQ(made.get(), 0);
	ASSERT_NE(context, nullptr);
	EXPECT_EQ(apple_standin_pump(queue, 4), 4) << "both buffers went back into play";
	context->Stop();
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

TEST_F(CoreAudioContext, CompatibilityComparesTheWholeStreamShape) {
	CCoreAudioContext* context = Create("gone", 2, 48000, 4800); // fell back to the default device
	ASSERT_NE(context, nullptr);
	EXPECT_TRUE(context->IsCompatible("gone", 2, 48000, 4800));
	EXPECT_FALSE(context->IsCompatible("gone", 6, 48000, 4800)) << "blocks would keep the old layout";
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

// ---- Devices that go and come back ---------------------------------------------------------

TEST_F(CoreAudioContext, ADeviceThatGoesMakesItsContextIncompatibleAndNoOtherContext) {
	CCoreAudioContext* onEight = Create("eight", 2);
	CCoreAudioContext* onTwo = Create("two", 2);
	ASSERT_NE(onEight, nullptr);
	ASSERT_NE(onTwo, nullptr);
	ASSERT_EQ(apple_standin_pump(apple_standin_queue(0), 2), 2);
	EXPECT_TRUE(StaysCompatible(onEight, "eight"));

	ASSERT_EQ(apple_standin_remove_device("eight"), 1);
	ASSERT_TRUE(BecomesIncompatible(onEight, "eight"));
	EXPECT_TRUE(onEight->LookAtDevice()) << "for good";
	EXPECT_TRUE(StaysCompatible(onTwo, "two")) << "another device's context plays on";
	EXPECT_EQ(apple_standin_pump(apple_standin_queue(1), 1), 1);

	// The holder replaces it as at creation: the requested device is missing, so the default.
	CCoreAudioContext* replacement = Create("eight", 2);
	ASSERT_NE(replacement, nullptr);
	EXPECT_STREQ(Queue(2).deviceUID, "two");
	EXPECT_TRUE(StaysCompatible(replacement, "eight"));
	onEight->Release(); // its queue stopped by itself: nothing hangs
	AppleStandinQueueInfo gone = Queue(0);
	EXPECT_TRUE(gone.deviceLost);
	EXPECT_TRUE(gone.disposed);
	EXPECT_EQ(gone.listenersAtDispose, 0) << "listeners are removed before the queue is disposed";
	replacement->Release();
	onTwo->Release();
}

// The system may call a listener after its removal returned. The context's device listeners
// run on a queue of its own, which its end drains: a call under way (here held at the start of
// the call, on that queue) has run before the release returns, so none can run once the plug-in
// may be unloaded. Made on another thread: the release waits for the held call.
TEST_F(CoreAudioContext, AListenerCallUnderWayAtTheEndRunsBeforeTheReleaseReturns) {
	CCoreAudioContext* context = Create("eight", 2);
	ASSERT_NE(context, nullptr);
	// Once the queue's own news is told: held at the gate, it would hold the queue's disposal.
	ASSERT_TRUE(SeenRunning(apple_standin_queue(0)));
	ASSERT_TRUE(apple_standin_wait_listener_calls(10000));
	const long long lateBefore = apple_standin_late_listener_calls();
	ASSERT_TRUE(apple_standin_close_gate("listener call"));
	ASSERT_EQ(apple_standin_remove_device("twin"), 2); // the device list changed: its listener is called
	ASSERT_TRUE(apple_standin_wait_at_gate("listener call", 1, 10000));

	std::atomic<bool> released{false};
	std::atomic<long long> lateAtRelease{-1};
	std::thread holder([&] {
		context->Release();
		lateAtRelease = apple_standin_late_listener_calls();
		released = true;
	});
	// Until the release has returned, or waits for the listeners' queue.
	ASSERT_TRUE(WaitUntil([&] { return released.load() || apple_standin_dispatch_sync_waiting() > 0; }));
	apple_standin_open_gate("listener call");
	holder.join();
	EXPECT_GT(lateAtRelease.load(), lateBefore) << "the late call had not run when the release returned";
	ASSERT_TRUE(apple_standin_wait_listener_calls(10000));
	EXPECT_EQ(apple_standin_late_listener_calls(), lateAtRelease.load()) << "a listener call ran after the release";
	EXPECT_TRUE(WaitUntil([] { return apple_standin_dispatch_queues_live() == 0; })) << "the queue was released";
}

// Each of the three listeners alone tells that the device went (when the other two could not be
// registered), and a context that could register none still plays.
TEST_F(CoreAudioContext, EachListenerAloneTellsThatTheDeviceWent) {
	struct Case {
		const char* heard;
		int queueListenerFailures;  // AudioQueueAddPropertyListener
		int objectListenerSkips;    // AudioObjectAddPropertyListenerBlock: the list first, then the device
		int objectListenerFailures;
	};
	const Case cases[] = {{"IsRunning", 0, 0, 2}, {"DeviceIsAlive", 1, 0, 1}, {"the device list", 1, 1, 1}};
	int index = 0;
	for (const Case& c : cases) {
		SCOPED_TRACE(c.heard);
		apple_standin_reset_devices();
		AppleStandinDevice devices[] = {Output("Two", "two", 2, true), Output("Eight", "eight", 8)};
		apple_standin_set_devices(devices, 2);
		apple_standin_clear_faults();
		if (c.queueListenerFailures)
			apple_standin_fail_call("AudioQueueAddPropertyListener", 0, c.queueListenerFailures, kAudioQueueErr_InvalidParameter);
		apple_standin_fail_call("AudioObjectAddPropertyListenerBlock", c.objectListenerSkips, c.objectListenerFailures,
		                        kAudioHardwareUnspecifiedError);
		CCoreAudioContext* context = Create("eight", 2);
		ASSERT_NE(context, nullptr);
		EXPECT_EQ(apple_standin_listeners_registered(), 1);
		AudioQueueRef queue = apple_standin_queue(index++);
		// The queue must have been seen running for its stop to mean anything.
		ASSERT_TRUE(SeenRunning(queue));
		EXPECT_TRUE(StaysCompatible(context, "eight"));
		ASSERT_EQ(apple_standin_remove_device("eight"), 1);
		EXPECT_TRUE(BecomesIncompatible(context, "eight"));
		context->Release();
		EXPECT_EQ(apple_standin_listeners_registered(), 0);
	}

	apple_standin_clear_faults();
	apple_standin_fail_call("AudioQueueAddPropertyListener", 0, 1, kAudioQueueErr_InvalidParameter);
	apple_standin_fail_call("AudioObjectAddPropertyListenerBlock", 0, 2, kAudioHardwareUnspecifiedError);
	CCoreAudioContext* deaf = Create("two", 2);
	ASSERT_NE(deaf, nullptr);
	EXPECT_EQ(apple_standin_listeners_registered(), 0);
	EXPECT_EQ(apple_standin_pump(apple_standin_queue(index), 2), 2) << "unwatched, it still plays";
	deaf->Release();
}

// A context for "eight" while devices go and come back, step by step: after each, whether the
// holder must replace it, and then where a context for "eight" made anew plays. The context is the
// first queue made; a context on the default output, when there is one, has nothing to wait for.
TEST_F(CoreAudioContext, DevicesThatGoAndComeBackReplaceTheContextOnlyWhenItsDeviceIsBack) {
	struct Step {
		const char* mRemove;  // or
		const char* mRestore; // this device (by UID)
		bool mReplace;        // the context is then no longer compatible
	};
	struct Case {
		const char* mName;
		bool mRefusesQueue;         // the device refuses the queue once
		bool mAwayAtStart;          // "eight" is removed before the context is made
		const char* mPlaysOn;       // where the context's queue plays
		bool mWithDefaultContext;   // a context on the default output alongside
		std::vector<Step> mSteps;
		const char* mAnewOn;        // where a context made anew at the end plays ("": none made)
	};
	const Case cases[] = {
		{"standing in until the device is back", false, true, "two", true,
		 {{"twin", nullptr, false}, {nullptr, "twin", false}, {nullptr, "eight", true}}, "eight"},
		{"listed all along but refusing the queue: tried again once it went and came back", true, false, "two", true,
		 {{"twin", nullptr, false}, {"eight", nullptr, false}, {nullptr, "eight", true}}, ""},
		{"a default that goes takes its stand-in with it", false, true, "two", false, {{"two", nullptr, true}}, "twin"},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.mName);
		apple_standin_reset_queues();
		apple_standin_clear_faults();
		AppleStandinDevice devices[] = {Output("Two", "two", 2, true), Output("Eight", "eight", 8),
		                                Output("Twin A", "twin", 4), Output("Twin B", "twin", 6)};
		apple_standin_set_devices(devices, 4);
		if (c.mRefusesQueue)
			apple_standin_fail_call("AudioQueueSetProperty", 0, 1, kAudioQueueErr_InvalidDevice);
		if (c.mAwayAtStart)
			ASSERT_EQ(apple_standin_remove_device("eight"), 1);
		CCoreAudioContext* context = Create("eight", 2);
		ASSERT_NE(context, nullptr);
		EXPECT_EQ(Queue(0).deviceWasSet, !c.mRefusesQueue);
		EXPECT_STREQ(Queue(0).deviceUID, c.mPlaysOn);
		CCoreAudioContext* onDefault = c.mWithDefaultContext ? Create("", 2) : nullptr;
		EXPECT_TRUE(StaysCompatible(context, "eight"));
		for (const Step& step : c.mSteps) {
			SCOPED_TRACE(std::string(step.mRemove ? "removed " : "restored ") + (step.mRemove ? step.mRemove : step.mRestore));
			if (step.mRemove)
				ASSERT_GE(apple_standin_remove_device(step.mRemove), 1);
			else
				ASSERT_GE(apple_standin_restore_device(step.mRestore), 1);
			if (step.mReplace) {
				EXPECT_TRUE(BecomesIncompatible(context, "eight"));
			} else {
				EXPECT_TRUE(StaysCompatible(context, "eight"));
				EXPECT_EQ(apple_standin_pump(apple_standin_queue(0), 1), 1) << "it plays on";
			}
		}
		if (onDefault) {
			EXPECT_TRUE(StaysCompatible(onDefault, ""));
			onDefault->Release();
		}
		context->Release();
		if (*c.mAnewOn) {
			CCoreAudioContext* anew = Create("eight", 2);
			ASSERT_NE(anew, nullptr);
			EXPECT_STREQ(Queue(apple_standin_queues_created() - 1).deviceUID, c.mAnewOn);
			EXPECT_TRUE(StaysCompatible(anew, "eight"));
			anew->Release();
		}
	}
}

// The holder stops a context and then lets it go, and the host may unload the plug-in right
// after: the stop must not be news delivered to the plug-in's listeners then. The stopping
// thread is held as the stop returns, while the stop's listeners are called.
TEST_F(CoreAudioContext, AStoppedContextListensNoMore) {
	CCoreAudioContext* context = Create("two", 2);
	ASSERT_NE(context, nullptr);
	AudioQueueRef queue = apple_standin_queue(0);
	ASSERT_TRUE(SeenRunning(queue));
	ASSERT_TRUE(apple_standin_wait_listener_calls(10000));
	const long long calls = apple_standin_listener_calls();
	ASSERT_TRUE(apple_standin_close_gate("AudioQueueStop returning"));
	std::thread holder([context] { context->Stop(); });
	const bool held = apple_standin_wait_at_gate("AudioQueueStop returning", 1, 10000);
	const bool delivered = apple_standin_wait_listener_calls(10000);
	apple_standin_open_gate("AudioQueueStop returning");
	holder.join();
	ASSERT_TRUE(held) << "the stop reached its queue";
	ASSERT_TRUE(delivered);
	EXPECT_EQ(apple_standin_listeners_registered(), 0);
	EXPECT_EQ(apple_standin_listener_calls(), calls) << "the stop was delivered to the stopped context";
	context->Release();
}

} // namespace
