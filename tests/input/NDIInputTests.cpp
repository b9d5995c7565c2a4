// The shared input and its manager against the NDI stand-in (and, in the Apple flavour, the
// Apple stand-in's audio devices): discovery, the frame slot, audio contexts, sharing, teardown.
#include "AboutOnceASecond.h"
#include "InputFixture.h"

#ifndef _WIN32
#include "AudioOut.h"
#include "apple_standin_control.h"

#include <cmath>
#include <ctime>
#include <future>
#endif

using namespace inputtest;

TEST_F(InputTest, SourceAnnouncedLaterIsConnectedAndCaseMatters) {
	NDIInput* exact = Manager().AcquireNDIInput(nullptr, ndinet::FullName("Late"), kNDIBandwidthHigh, "None");
	NDIInput* otherCase = Manager().AcquireNDIInput(nullptr, ndinet::FullName("late"), kNDIBandwidthHigh, "None");
	ASSERT_NE(exact, nullptr);
	ASSERT_NE(exact, otherCase) << "names differing in case get inputs of their own";
	EXPECT_EQ(Manager().size(), 2u);
	// Both are searching: each waits inside the library, in steps of 50 ms.
	ASSERT_TRUE(WaitUntil([] { return ndinet::CallCount("NDIlib_find_wait_for_sources") >= 4; }));
	EXPECT_EQ(ndinet::WaitForSourcesMaxTimeout(), 50);
	EXPECT_EQ(ndinet::RecvCreateCalls(), 0);

	ndinet::Sender sender("Late");
	ASSERT_TRUE(Connected(exact));
	ndinet::RecvCreate call;
	ASSERT_TRUE(ndinet::RecvCreateCall(0, &call));
	EXPECT_EQ(call.sourceName, ndinet::FullName("Late"));
	EXPECT_EQ(call.colorFormat, 0) << "BGRX/BGRA";
	EXPECT_EQ(call.bandwidth, 100);
	EXPECT_FALSE(call.allowFields);
	EXPECT_TRUE(call.recvNameNull);
	std::string connectedTo;
	ASSERT_TRUE(ndinet::ReceiverConnected(0, &connectedTo));
	EXPECT_EQ(connectedTo, ndinet::FullName("Late"));

	// Give the other input a few more passes: it must never connect to "Late".
	int waits = ndinet::CallCount("NDIlib_find_wait_for_sources");
	ASSERT_TRUE(WaitUntil([waits] { return ndinet::CallCount("NDIlib_find_wait_for_sources") >= waits + 3; }));
	EXPECT_EQ(ndinet::RecvCreateCalls(), 1);
	EXPECT_EQ(ndinet::CaptureMaxTimeout(), 25);

	exact->Release();
	otherCase->Release();
}

TEST_F(InputTest, BandwidthZeroAsksForTheLowestAndTheFirstBandwidthHolds) {
	ndinet::Sender sender("Cam");
	NDIInput* low = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthLow, "None");
	NDIInput* shared = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "None");
	EXPECT_EQ(low, shared);
	EXPECT_EQ(low->mRefCount, 2);
	ASSERT_TRUE(Connected(low));
	ndinet::RecvCreate call;
	ASSERT_TRUE(ndinet::RecvCreateCall(0, &call));
	EXPECT_EQ(call.bandwidth, 0);
	shared->Release();
	low->Release();

	NDIInput* high = Manager().AcquireNDIInput(nullptr, sender.fullName(), 7, "None");
	ASSERT_TRUE(Connected(high));
	ASSERT_TRUE(ndinet::RecvCreateCall(1, &call));
	EXPECT_EQ(call.bandwidth, 100) << "any non-zero bandwidth asks for the highest";
	high->Release();
}

TEST_F(InputTest, OneFrameSlotKeepsTheNewestAndServiceHandsItToEveryClient) {
	ndinet::Sender sender("Slot");
	NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "None");
	ASSERT_TRUE(Connected(input));
	RecordingClient a, b;
	input->mClients.AddClient(&a.client);
	input->mClients.AddClient(&b.client);

	ASSERT_TRUE(DeliverVideo(sender, input, 1));
	int64_t freedBefore = ndinet::VideoFreedTotal();
	sender.Video(2);
	// The second frame replaces the first, which goes back to the library at once.
	ASSERT_TRUE(WaitUntil([&] { return ndinet::QueuedFrames() == 0 && SlotTag(input) == 2; }));
	EXPECT_GE(ndinet::VideoFreedTotal(), freedBefore + 1);
	EXPECT_EQ(ndinet::FramesOutstanding(), 1) << "only the newest frame is kept";
	input->Service();
	ASSERT_EQ(a.frames.size(), 1u);
	ASSERT_EQ(b.frames.size(), 1u);
	EXPECT_EQ(a.frames[0], b.frames[0]) << "one frame, shared";
	EXPECT_EQ(a.Tag(0), 2u);
	EXPECT_EQ(a.frames[0]->mRefCount, 2) << "the notifier's own reference is gone";

	input->Service(); // nothing new
	EXPECT_EQ(a.frames.size(), 1u);

	input->mClients.RemoveClient(&a.client);
	input->mClients.RemoveClient(&b.client);
	a.ReleaseAll();
	b.ReleaseAll();
	EXPECT_EQ(ndinet::FramesOutstanding(), 0);
	input->Release();
}

// For the ThreadSanitizer tree: the host's thread learns of frames only through Service, and
// meets the receive thread nowhere else (the frames come from the pattern's own thread, and none
// goes back to the library before the end). So the input lock is the only order between the
// thread's writes to the slot and Service's reads: without it the race is reported at once.
TEST_F(InputTest, ServiceMeetsTheReceiveThreadOnlyThroughTheInputLock) {
	ndinet::PatternSource pattern("Race", 0);
	ASSERT_TRUE(pattern.started());
	NDIInput* input = Manager().AcquireNDIInput(nullptr, pattern.fullName(), kNDIBandwidthHigh, "None");
	RecordingClient a;
	input->mClients.AddClient(&a.client);
	const auto deadline = Clock::now() + std::chrono::seconds(30);
	while (a.frames.size() < 10 && Clock::now() < deadline) {
		input->Service();
		std::this_thread::yield();
	}
	EXPECT_EQ(a.frames.size(), 10u);
	input->mClients.RemoveClient(&a.client);
	a.ReleaseAll();
	input->Release();
}

TEST_F(InputTest, FramesOfOtherFormatsAndBrokenRecordsAreDropped) {
	ndinet::Sender sender("Odd");
	NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "None");
	ASSERT_TRUE(Connected(input));
	ASSERT_TRUE(DeliverVideo(sender, input, 5));
	// A UYVY frame the receiver never asked for: it and the pending frame both go back.
	ndinet::InjectForeignVideo(sender.fullName(), 32, 8);
	ASSERT_TRUE(WaitUntil([&] { return ndinet::QueuedFrames() == 0 && SlotTag(input) == -1; }));
	EXPECT_EQ(ndinet::FramesOutstanding(), 0);
	RecordingClient a;
	input->mClients.AddClient(&a.client);
	input->Service();
	EXPECT_TRUE(a.frames.empty());
	input->mClients.RemoveClient(&a.client);
	input->Release();
}

TEST_F(InputTest, LastReleaseEndsTheThreadAndServiceNotifiesNobody) {
	for (bool connected : {false, true}) {
		SCOPED_TRACE(connected ? "waiting in capture" : "waiting in discovery");
		ndinet::Sender sender("End");
		std::string name = connected ? sender.fullName() : ndinet::FullName("Nobody");
		NDIInput* input = Manager().AcquireNDIInput(nullptr, name, kNDIBandwidthHigh, "None");
		ASSERT_EQ(NDIInput::sNDIInputThreadsRunning.load(), 1);
		if (connected) {
			ASSERT_TRUE(Connected(input));
			ASSERT_TRUE(DeliverVideo(sender, input, 9));
		}
		input->Retain();
		input->Release(); // still one reference: nothing ends
		EXPECT_EQ(Manager().size(), 1u);

		auto start = Clock::now();
		input->Release();
		EXPECT_TRUE(Manager().empty()) << "the last release leaves the list at once";
		ASSERT_TRUE(WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == 0; }));
		// About one wait in the library; generous for a loaded machine.
		EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 2000);
		EXPECT_EQ(ndinet::LiveReceivers(), 0);
		EXPECT_EQ(ndinet::LiveFinders(), 0);
		EXPECT_EQ(ndinet::FramesOutstanding(), 0) << "the pending frame went back";
	}
}

TEST_F(InputTest, DeadInputLeavesTheListAndIsFreedAtItsLastRelease) {
	ndinet::FailFindCreate(1);
	NDIInput* dead = Manager().AcquireNDIInput(nullptr, ndinet::FullName("Dead"), kNDIBandwidthHigh, "None");
	ASSERT_NE(dead, nullptr);
	ASSERT_TRUE(WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == 0; }));
	EXPECT_TRUE(dead->IsDead());
	RecordingClient a;
	dead->mClients.AddClient(&a.client);
	dead->Service();
	EXPECT_TRUE(a.frames.empty()) << "a Dead input never delivers";
	dead->mClients.RemoveClient(&a.client);

	// The next request for the name gets a live input, the only one listed; the Dead one lives on
	// for its holder until released.
	NDIInput* fresh = Manager().AcquireNDIInput(nullptr, ndinet::FullName("Dead"), kNDIBandwidthHigh, "None");
	ASSERT_NE(fresh, nullptr);
	EXPECT_NE(fresh, dead);
	EXPECT_FALSE(fresh->IsDead());
	ASSERT_EQ(Manager().size(), 1u);
	EXPECT_EQ(Manager().front(), fresh);
	dead->Release(); // frees it (under ASan a leak or a double free would show)
	EXPECT_EQ(Manager().size(), 1u) << "releasing the Dead input leaves the live one listed";
	fresh->Release();
	EXPECT_TRUE(Manager().empty());
}

TEST_F(InputTest, NoThreadMeansNoInputAndNoCountLeftRaised) {
	auto original = NDIInput::sStartThread;
	NDIInput::sStartThread = [](NDIInput*) -> std::thread* { return nullptr; };
	NDIInput* input = Manager().AcquireNDIInput(nullptr, ndinet::FullName("NoThread"), kNDIBandwidthHigh, "None");
	NDIInput::sStartThread = original;
	EXPECT_EQ(input, nullptr);
	EXPECT_EQ(NDIInput::sNDIInputThreadsRunning.load(), 0);
	EXPECT_TRUE(Manager().empty());
	// The next attempt, with threads to be had, works.
	input = Manager().AcquireNDIInput(nullptr, ndinet::FullName("NoThread"), kNDIBandwidthHigh, "None");
	ASSERT_NE(input, nullptr);
	input->Release();
}

TEST_F(InputTest, AfterTheLastReleaseANewAcquisitionGetsANewInput) {
	NDIInput* first = Manager().AcquireNDIInput(nullptr, ndinet::FullName("Again"), kNDIBandwidthHigh, "None");
	first->Release();
	NDIInput* second = Manager().AcquireNDIInput(nullptr, ndinet::FullName("Again"), kNDIBandwidthHigh, "None");
	ASSERT_EQ(Manager().size(), 1u);
	EXPECT_EQ(Manager()[0], second);
	second->Release();

	// Removing an input that is not listed changes nothing.
	NDIInput* a = Manager().AcquireNDIInput(nullptr, ndinet::FullName("A"), kNDIBandwidthHigh, "None");
	NDIInput* b = Manager().AcquireNDIInput(nullptr, ndinet::FullName("B"), kNDIBandwidthHigh, "None");
	NDIInput* c = Manager().AcquireNDIInput(nullptr, ndinet::FullName("C"), kNDIBandwidthHigh, "None");
	int notAnInput = 0;
	Manager().RemoveNDIInput(nullptr, reinterpret_cast<NDIInput*>(&notAnInput), false);
	EXPECT_EQ(Manager().size(), 3u);
	// With release set on a count of 1: out of the list, the others in place.
	Manager().RemoveNDIInput(nullptr, b, true);
	ASSERT_EQ(Manager().size(), 2u);
	EXPECT_EQ(Manager()[0], a);
	EXPECT_EQ(Manager()[1], c);
	a->Release();
	c->Release();
}

// The thread's only waits are inside the library, never a spin: searching, one pass per 50 ms
// wait for sources; connected, one capture per 25 ms time-out, which is waited out too when a
// runtime that lost its connection answers every capture with an error at once.
TEST_F(InputTest, AThreadWithNothingToReceiveCostsNextToNoCpu) {
	struct Case {
		const char* mName;
		const char* mCall;
		int mPeriodMs;
		bool mFailingCaptures;
	};
	const Case cases[] = {{"an absent source", "NDIlib_find_wait_for_sources", 50, false},
	                      {"captures failing at once", "NDIlib_recv_capture_v2", 25, true}};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.mName);
		ndinet::Sender sender("Failing");
		const std::string name = c.mFailingCaptures ? sender.fullName() : ndinet::FullName("Absent");
		NDIInput* input = Manager().AcquireNDIInput(nullptr, name, kNDIBandwidthHigh, "None");
		if (c.mFailingCaptures) {
			ASSERT_TRUE(Connected(input));
			ndinet::FailCapture(-1);
		}
		auto start = Clock::now();
		int before = ndinet::CallCount(c.mCall);
		ASSERT_TRUE(WaitUntil([&] { return Clock::now() - start > std::chrono::milliseconds(500); }));
		int passes = ndinet::CallCount(c.mCall) - before;
		auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
		EXPECT_LE(passes, elapsed / c.mPeriodMs + 2) << passes << " passes in " << elapsed << " ms";
		EXPECT_GE(passes, 1);
		ndinet::FailCapture(0);
		input->Release();
		ASSERT_TRUE(WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == 0; }));
	}
}

#ifndef _WIN32
// ---- Audio (Apple flavour: the CoreAudio context over the Apple stand-in) ----------------------

namespace {

std::string DeviceID(const char* name) {
	return Manager().AudioDeviceNameToPersistentID(name);
}

class AudioInputTest : public InputTest {
protected:
	void SetUp() override {
		InputTest::SetUp();
		apple_standin_reset_queues();
		apple_standin_reset_call_counts(); // the counts are per test, not per program
		apple_standin_clear_faults();
		apple_standin_set_manual_pump(true); // nothing drains the queue behind the test's back
		cfLiveBefore = apple_standin_cf_live();
	}
	void TearDown() override {
		apple_standin_set_manual_pump(false);
		apple_standin_clear_faults();
		InputTest::TearDown();
		EXPECT_EQ(apple_standin_queues_live(), 0) << "every context was destroyed with its input";
		EXPECT_EQ(apple_standin_listeners_registered(), 0) << "every context removed its listeners";
		EXPECT_EQ(apple_standin_cf_live(), cfLiveBefore) << "a CoreFoundation object was leaked";
	}
	long cfLiveBefore = 0;
	// The sender's frames sent as the device plays them (in real time) until `frames` frames
	// sounded on the device: what sounded, interleaved, from its first frame that was not silent.
	static std::vector<float> Sounded(ndinet::Sender& sender, const std::string& device, int channels, int samples,
	                                  float base, size_t frames) {
		std::vector<float> played;
		WaitUntil([&] {
			DeliverAudio(sender, 48000, channels, samples, base);
			played.resize(apple_standin_played(device.c_str(), nullptr, 0));
			played.resize(apple_standin_played(device.c_str(), played.data(), played.size()));
			const auto first = std::find_if(played.begin(), played.end(), [](float v) { return v != 0.0f; });
			played.erase(played.begin(), played.begin() + (first - played.begin()) / channels * channels);
			return played.size() >= frames * size_t(channels);
		}, 20000);
		return played;
	}
	// The middle value of channel `c`, or of channel `c` less channel 0, over stereo frames.
	static float Median(const std::vector<float>& stereo, int c, bool lessLeft = false) {
		std::vector<float> values;
		for (size_t f = 0; f + 1 < stereo.size(); f += 2)
			values.push_back(stereo[f + size_t(c)] - (lessLeft ? stereo[f] : 0.0f));
		if (values.empty())
			return 0.0f;
		std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(values.size() / 2), values.end());
		return values[values.size() / 2];
	}
};

// Sends audio until the input has made and started its `count`-th queue.
bool SendAudioUntilQueues(ndinet::Sender& sender, int count) {
	auto started = [count] {
		AppleStandinQueueInfo info{};
		return apple_standin_queue_info(count - 1, &info) && info.started;
	};
	return WaitUntil([&] {
		sender.Audio(48000, 2, 960, 0.5f);
		return WaitUntil(started, 200);
	}, 20000);
}

AppleStandinQueueInfo QueueInfo(int index) {
	AppleStandinQueueInfo info{};
	EXPECT_TRUE(apple_standin_queue_info(index, &info));
	return info;
}

} // namespace

TEST_F(AudioInputTest, DeviceNamesMapToTheirIdentifiers) {
	EXPECT_FALSE(DeviceID("Built-in Output").empty());
	EXPECT_NE(DeviceID("Built-in Output"), DeviceID("Studio Interface"));
	EXPECT_EQ(DeviceID("None"), "");
	EXPECT_EQ(DeviceID("built-in output"), "") << "exact names only";
}

TEST_F(AudioInputTest, ContextIsMadeForTheStreamAndReplacedWhenTheRateChanges) {
	apple_standin_set_manual_pump(false); // the device plays in real time, by whose clock the output follows
	ndinet::Sender sender("Tone");
	NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Studio Interface");
	ASSERT_TRUE(Connected(input));
	ASSERT_TRUE(DeliverAudioUntil(sender, 48000, 2, 1024, [&] { return ContextOf(input) != nullptr; }, 0.25f));
	CCoreAudioContext* context = ContextOf(input);
	EXPECT_EQ(context->GetPersistentID(), DeviceID("Studio Interface"));
	EXPECT_EQ(context->GetBufferList().GetSampleRate(), 48000);
	EXPECT_EQ(context->GetBufferList().GetFramesPerBuffer(), 4800);
	EXPECT_EQ(context->GetBufferList().GetChannelCount(), 2);
	EXPECT_EQ(input->mAudioChannels.load(), 2);
	EXPECT_EQ(apple_standin_queues_created(), 1) << "made once, however many frames came before it was ready";

	// The frames play as sent, interleaved in the stream's channel order: sample n of channel c is
	// 0.25 + c + n / 100000.
	AppleStandinQueueInfo info;
	ASSERT_TRUE(apple_standin_queue_info(0, &info));
	EXPECT_EQ(info.format.mChannelsPerFrame, 2u);
	const std::vector<float> sounded = Sounded(sender, DeviceID("Studio Interface"), 2, 1024, 0.25f, 24000);
	ASSERT_GE(sounded.size(), 24000u * 2);
	EXPECT_NEAR(Median(sounded, 0), 0.255f, 0.006f);
	EXPECT_NEAR(Median(sounded, 1, true), 1.0f, 0.002f);

	ASSERT_TRUE(DeliverAudioUntil(sender, 44100, 2, 1024, [&] {
		return CurrentContextIs(input, [&](CCoreAudioContext* now) {
			return now->GetBufferList().GetFramesPerBuffer() == 4410;
		});
	}));
	EXPECT_EQ(apple_standin_queues_created(), 2);
	EXPECT_TRUE(WaitUntil([] { return apple_standin_queues_live() == 1; })) << "the old context went";
	input->Release();
}

TEST_F(AudioInputTest, NoDeviceReleasesTheContextAndKeepsTheChannelCount) {
	ndinet::Sender sender("Quiet");
	NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Built-in Output");
	ASSERT_TRUE(Connected(input));
	ASSERT_TRUE(DeliverAudioUntil(sender, 48000, 6, 480, [&] { return ContextOf(input) != nullptr; }));
	EXPECT_EQ(ContextOf(input)->GetBufferList().GetChannelCount(), 2) << "limited to the device";
	EXPECT_EQ(input->mAudioChannels.load(), 6) << "the stream's count, not the device's";

	input->SetAudioOutputDeviceName("None");
	ASSERT_TRUE(DeliverAudioUntil(sender, 48000, 4, 480, [] { return apple_standin_queues_live() == 0; }));
	EXPECT_EQ(ContextOf(input), nullptr);
	EXPECT_EQ(input->mAudioChannels.load(), 6) << "kept while no device is set";
	input->Release();
}

// A device that cannot be opened, or that opens but is found dead at once (its DeviceIsAlive
// unreadable), is tried again about once a second, timed from the end of the last attempt, not at
// every frame; once it works it is used.
TEST_F(AudioInputTest, AFailingDeviceIsTriedAboutOnceASecondAndUsedOnceItWorks) {
	struct Case {
		const char* mName;
		std::function<void()> mBreak;
	};
	const Case cases[] = {
		{"no queue", [] { apple_standin_fail_call("AudioQueueNewOutput", 0, -1, -50); }},
		{"opens but is dead at once", [] {
			apple_standin_fail_property(apple_standin_device_id(0), kAudioDevicePropertyDeviceIsAlive,
			                            kAudioObjectPropertyScopeGlobal, kAppleStandinDataRead,
			                            kAudioHardwareBadDeviceError, -1);
		}},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.mName);
		apple_standin_set_manual_pump(false); // the device plays in real time, by whose clock the output follows
		apple_standin_reset_queues();
		apple_standin_reset_call_counts();
		ndinet::Sender sender("Retry");
		NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Built-in Output");
		input->SetVolume(0.5f);
		ASSERT_TRUE(Connected(input));
		c.mBreak();
		const auto start = Clock::now();
		// Frames keep coming, 30 to 50 a second in a show: each is no reason to try again.
		ASSERT_TRUE(DeliverAudioUntil(sender, 48000, 2, 960,
		                              [] { return apple_standin_call_count("AudioQueueNewOutput") >= 3; }, 0.5f));
		for (int i = 0; i < 20; ++i)
			ASSERT_TRUE(DeliverAudio(sender, 48000, 2, 960, 0.5f));
		EXPECT_TRUE(AboutOnceASecond(apple_standin_call_count("AudioQueueNewOutput"), start));
		EXPECT_EQ(input->mAudioChannels.load(), 2);

		apple_standin_clear_faults();
		const auto working = Clock::now();
		ASSERT_TRUE(DeliverAudioUntil(sender, 48000, 2, 960, [&] {
			return CurrentContextIs(input, [](CCoreAudioContext* now) { return now->IsRunning(); })
			       && apple_standin_queues_live() == 1;
		}, 0.5f));
		EXPECT_LT(std::chrono::duration<double>(Clock::now() - working).count(), 5.0) << "used within about a second";
		// A new output starts at the input's volume: no ramp down from full level.
		const std::vector<float> sounded = Sounded(sender, DeviceID("Built-in Output"), 2, 960, 0.5f, 24000);
		ASSERT_GE(sounded.size(), 24000u * 2);
		float loudest = 0.0f;
		for (size_t f = 0; f < 64; ++f)
			loudest = std::max(loudest, std::fabs(sounded[2 * f]));
		// (the frames' own jumps ring a little in the resampler; at full level they would be twice as loud)
		EXPECT_LT(loudest, 0.5f * 0.51f * 1.2f) << "the first frames played louder than the volume";
		EXPECT_NEAR(Median(sounded, 0), 0.5f * 0.505f, 0.004f);
		EXPECT_NEAR(Median(sounded, 1, true), 0.5f, 0.002f);
		input->Release();
		ASSERT_TRUE(WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == 0; }));
	}
}

// Once its output plays, the input's threads wait for work: the audio thread until a frame asks
// for another output, the receive thread inside the library. Neither may spin.
TEST_F(AudioInputTest, APlayingInputKeepsNoProcessorBusy) {
	ndinet::Sender sender("Idle");
	NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Built-in Output");
	ASSERT_TRUE(Connected(input));
	ASSERT_TRUE(DeliverAudioUntil(sender, 48000, 2, 960, [&] { return ContextOf(input) != nullptr; }));
	ASSERT_TRUE(DeliverAudio(sender, 48000, 2, 960));
	// The processor time of the whole process over a second with the test's thread asleep: an
	// interval to measure over, not a wait for anything. A thread that spins takes about all of it.
	timespec cpuBefore{}, cpuAfter{};
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuBefore);
	const auto start = Clock::now();
	std::this_thread::sleep_for(std::chrono::seconds(1));
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuAfter);
	const double wall = std::chrono::duration<double>(Clock::now() - start).count();
	const double cpu = double(cpuAfter.tv_sec - cpuBefore.tv_sec) + double(cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1e9;
	EXPECT_LT(cpu, 0.25 * wall) << cpu << " s of processor time in " << wall << " s";
	EXPECT_NE(ContextOf(input), nullptr) << "still playing";
	input->Release();
}

// The receive thread makes the input's AudioQueue, so the receive thread takes it down:
// whichever side of the input's end comes last, the queue is never stopped and disposed on the
// host's thread, which must not wait on audio work.
class AudioInputEnd : public AudioInputTest {
protected:
	void CheckQueueGoesWithTheReceiveThread(LastSide last) {
		SCOPED_TRACE(Describe(last));
		ndinet::Sender sender("Playing");
		NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Built-in Output");
		ASSERT_TRUE(Connected(input));
		ASSERT_TRUE(DeliverAudioUntil(sender, 48000, 2, 960, [&] { return ContextOf(input) != nullptr; }, 0.5f));
		ASSERT_EQ(apple_standin_pump(apple_standin_queue(0), 1), 1) << "the queue plays";

		ASSERT_TRUE(ReleaseLast(input, last)) << "the order could not be forced";
		ASSERT_TRUE(WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == 0; }));
		AppleStandinQueueInfo info{};
		ASSERT_TRUE(apple_standin_queue_info(0, &info));
		EXPECT_TRUE(info.disposed);
		EXPECT_NE(info.disposedOnThread, apple_standin_thread_id()) << "disposed on the host's thread";
		EXPECT_EQ(info.disposedOnThread, info.createdOnThread) << "the input's audio thread made it and takes it down";
		EXPECT_EQ(apple_standin_queues_created(), 1);
	}
};

TEST_F(AudioInputEnd, QueueGoesWithTheReceiveThreadWhenTheThreadEndsFirst) {
	CheckQueueGoesWithTheReceiveThread(LastSide::HostsRelease);
}

TEST_F(AudioInputEnd, QueueGoesWithTheReceiveThreadWhenTheHostReleasesFirst) {
	CheckQueueGoesWithTheReceiveThread(LastSide::ReceiveThread);
}

TEST_F(AudioInputTest, SharedInputTakesTheLastAcquirersDevice) {
	ndinet::Sender sender("Shared");
	NDIInput* a = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Built-in Output");
	NDIInput* b = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Studio Interface");
	ASSERT_EQ(a, b);
	a->mLock.Lock();
	EXPECT_EQ(a->mAudioPersistentID, DeviceID("Studio Interface"));
	a->mLock.Unlock();
	NDIInput* c = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "None");
	a->mLock.Lock();
	EXPECT_EQ(a->mAudioPersistentID, "") << "None silences the input for every sharer";
	a->mLock.Unlock();
	c->Release();
	b->Release();
	a->Release();
}

// The chosen device is unplugged in the middle of the show: the input goes on playing on the
// default output, and back on the chosen device when it returns.
TEST_F(AudioInputTest, AnUnpluggedDeviceIsLeftForTheDefaultAndTakenBackWhenItReturns) {
	const std::string studio = DeviceID("Studio Interface"), builtIn = DeviceID("Built-in Output");
	ndinet::Sender sender("Unplugged");
	NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Studio Interface");
	ASSERT_TRUE(Connected(input));
	ASSERT_TRUE(SendAudioUntilQueues(sender, 1));
	EXPECT_EQ(QueueInfo(0).deviceUID, studio);
	ASSERT_EQ(apple_standin_pump(apple_standin_queue(0), 1), 1);

	ASSERT_EQ(apple_standin_remove_device(studio.c_str()), 1);
	ASSERT_TRUE(SendAudioUntilQueues(sender, 2)) << "the input kept the context of a device that went";
	EXPECT_EQ(QueueInfo(1).deviceUID, builtIn);
	ASSERT_TRUE(WaitUntil([] { return QueueInfo(0).disposed; }));
	ASSERT_TRUE(WaitUntil([] { return apple_standin_pump(apple_standin_queue(1), 1) == 1; })) << "the default plays";

	ASSERT_EQ(apple_standin_restore_device(studio.c_str()), 1);
	ASSERT_TRUE(SendAudioUntilQueues(sender, 3)) << "the input stayed on the default";
	EXPECT_EQ(QueueInfo(2).deviceUID, studio);
	ASSERT_TRUE(WaitUntil([] { return QueueInfo(1).disposed; }));
	ASSERT_TRUE(WaitUntil([] { return apple_standin_pump(apple_standin_queue(2), 1) == 1; }));
	// Settled: more audio makes no more queues.
	for (int i = 0; i < 3; ++i)
		ASSERT_TRUE(DeliverAudio(sender, 48000, 2, 960));
	EXPECT_EQ(apple_standin_queues_created(), 3);
	for (int i = 0; i < 3; ++i)
		EXPECT_EQ(QueueInfo(i).listenersAtDispose, 0) << "queue " << i;
	input->Release();
}

// A device slow to open, start or close, or an audio system slow to answer a property read, holds
// up neither the video nor the host's calls on the input. Each call is held at its gate while the
// host's side goes on; the gate then opens.
TEST_F(AudioInputTest, AStuckDeviceHoldsUpNeitherTheVideoNorTheHost) {
	for (const char* stuck : {"AudioQueueNewOutput", "AudioQueueStart", "AudioQueueDispose", "property reads"}) {
		SCOPED_TRACE(stuck);
		apple_standin_clear_faults();
		apple_standin_reset_queues();
		apple_standin_reset_devices();
		ndinet::Sender sender(std::string("Stuck ") + stuck);
		NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Studio Interface");
		ASSERT_TRUE(Connected(input));
		const bool closing = std::string(stuck) == "AudioQueueDispose" || std::string(stuck) == "property reads";
		if (closing) {
			// A playing context, then its device goes: the input looks at the device (its
			// properties, the device list) and lets go of the context.
			ASSERT_TRUE(SendAudioUntilQueues(sender, 1));
			apple_standin_close_gate(stuck);
			ASSERT_EQ(apple_standin_remove_device(DeviceID("Studio Interface").c_str()), 1);
		} else {
			apple_standin_close_gate(stuck);
		}
		ASSERT_TRUE(WaitUntil([&] {
			sender.Audio(48000, 2, 960);
			return apple_standin_wait_at_gate(stuck, 1, 200);
		}, 20000)) << "no call reached the gate";

		// The host's side, on a thread of its own so that the test can give up on it.
		RecordingClient client;
		auto host = std::async(std::launch::async, [&] {
			input->SetVolume(0.5f);
			input->SetAudioOutputDeviceName("Built-in Output");
			input->mClients.AddClient(&client.client);
			bool shown = DeliverVideo(sender, input, 77);
			input->Service();
			input->mClients.RemoveClient(&client.client);
			return shown;
		});
		const bool answered = host.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
		EXPECT_TRUE(answered) << "the host's calls waited for the device";
		apple_standin_open_gate(stuck);
		EXPECT_TRUE(host.get()) << "no video came while the device was stuck";
		if (answered) {
			ASSERT_EQ(client.frames.size(), 1u);
			EXPECT_EQ(client.Tag(0), 77u);
		}
		client.ReleaseAll();
		input->Release();
		ASSERT_TRUE(WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == 0; }));
		NDIInput::JoinFinishedThreads();
		EXPECT_EQ(apple_standin_queues_live(), 0);
	}
}
#endif
