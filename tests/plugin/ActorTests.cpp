// The actor as the host drives it: lifecycle and the runtime, inputs and the service message,
// video output without copies, audio, popups and value texts.
#include "ActorFixture.h"

#ifdef _WIN32
#include "MonitorRecorder.h"
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

using namespace actortest;
using refhost::HostValue;

namespace {

// A device the actor can play on: the Apple stand-in's default machine has it, and under wine
// the private PulseAudio server the tests run in (with-pulse.sh: Studio_Speakers, 2 channels at
// 44100 Hz, and Desk_Six, 6 channels at 48000 Hz).
#ifdef _WIN32
const char* const kDevice = "Studio_Speakers";
const char* const kOtherDevice = "Desk_Six";
#else
const char* const kDevice = "Built-in Output";
const char* const kOtherDevice = "Studio Interface";
#endif

// One channel of interleaved samples over a stretch of frames: its peak, and its frequency by
// zero crossings.
struct ToneMeasure {
	float peak = 0;
	int crossings = 0;
	double hz = 0;
};
ToneMeasure MeasureTone(const std::vector<float>& samples, size_t channels, size_t channel, size_t firstFrame,
                        size_t frames, double rate) {
	ToneMeasure m;
	for (size_t f = firstFrame; f < firstFrame + frames; ++f) {
		const float v = samples[f * channels + channel];
		m.peak = std::max(m.peak, std::fabs(v));
		if (f > firstFrame && (samples[(f - 1) * channels + channel] < 0) != (v < 0))
			++m.crossings;
	}
	m.hz = m.crossings * rate / 2.0 / double(frames);
	return m;
}

// The frame number the test pattern drew into a texture the host copied.
int64_t PatternNumber(const refhost::Texture& texture) {
	NDIlib_video_frame_v2_t frame{};
	frame.xres = int(texture.width);
	frame.yres = int(texture.height);
	frame.FourCC = NDIlib_FourCC_video_type_BGRX;
	frame.p_data = const_cast<uint8_t*>(texture.pixels.data());
	frame.line_stride_in_bytes = int(texture.width * 4);
	return ndi_standin_pattern_frame_number(&frame);
}



// What a device played, as a listener hears it: on the Apple side the stand-in's recording of the
// device (what its queues played, in the layout of the last of them); under wine the monitor of
// the private server's null sink, recorded from Start on. What wine hands the sinks, and the
// monitors hand back, has gaps of wine's and the server's making now and then, which no count of
// the plug-in's can be asked about from here (and on a loaded machine the stand-in's device may
// run dry now and then): a tone is heard when some half second of it is whole, its peak within
// the tolerance (1 dB under wine; the stand-in plays exactly), its frequency within 2 %.
class DeviceEar {
public:
	static constexpr double kWindow = 0.5; // seconds of a tone that must be whole
	using Test = std::function<bool(const std::vector<float>& samples, int channels, int rate)>;

	DeviceEar(refhost::Host& host, const std::string& device) : mHost(host), mDevice(device) {}
	DeviceEar(const DeviceEar&) = delete;
	DeviceEar& operator=(const DeviceEar&) = delete;

	// Before the actor plays there; false when the device cannot be listened to.
	bool Start() {
#ifdef _WIN32
		return mRecorder.Start(std::wstring(mDevice.begin(), mDevice.end()), 120.0) && mRecorder.WaitRunning(0.3);
#else
		for (int i = 0; i < apple_standin_device_count(); ++i)
			if (DeviceName(i) == mDevice)
				mUID = DeviceUID(i);
		return !mUID.empty();
#endif
	}
	// Samples heard so far: a point to look from.
	size_t Mark() {
		size_t count = 0;
		Until([&](const std::vector<float>& s, int, int) { return count = s.size(), true; }, 0);
		return count;
	}
	// The layout heard last.
	int Channels() {
		int channels = 0;
		Until([&](const std::vector<float>&, int c, int) { return channels = c, true; }, 0);
		return channels;
	}
	int Rate() {
		int rate = 0;
		Until([&](const std::vector<float>&, int, int r) { return rate = r, true; }, 0);
		return rate;
	}

	// Services the host every 16 ms, as its loop would, until what was heard passes `test`.
	bool Until(const Test& test, int timeoutMs = 30000) {
		const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
		for (;;) {
			if (Heard(test, timeoutMs > 0 ? 16 : 0))
				return true;
			if (std::chrono::steady_clock::now() >= deadline)
				return false;
			mHost.AdvanceTime(16);
			mHost.Tick();
		}
	}

	// Until the last half second of channel c is a tone of hz[c] at `peak`, for each c; on the
	// Apple side with the device's queue in `streamChannels` channels (when given: under wine the
	// sink keeps its own layout).
	bool EndsInTones(const std::vector<double>& hz, double peak, int streamChannels = 0) {
		return Until([&](const std::vector<float>& s, int channels, int rate) {
#ifndef _WIN32
			if (streamChannels > 0 && channels != streamChannels)
				return false;
#else
			(void)streamChannels;
#endif
			const size_t frames = size_t(rate * kWindow), total = s.size() / size_t(std::max(channels, 1));
			for (size_t c = 0; c < hz.size(); ++c)
				if (total < frames || !IsTone(s, channels, rate, int(c), total - frames, hz[c], peak))
					return false;
			return true;
		});
	}
	// Whether channel 0 plays a tone of `hz` at `peak` whole for half a second starting within
	// `withinSeconds` of the mark.
	bool ToneWithin(size_t mark, double hz, double peak, double withinSeconds) {
		bool found = false;
		Until([&](const std::vector<float>& s, int channels, int rate) {
			const size_t first = mark / size_t(channels), window = size_t(rate * kWindow);
			const size_t last = first + size_t(rate * withinSeconds), total = s.size() / size_t(channels);
			for (size_t f = first; f <= last && f + window <= total && !found; f += size_t(rate / 100))
				found = IsTone(s, channels, rate, 0, f, hz, peak);
			return found || total >= last + window;
		});
		return found;
	}
	// Whether everything heard from the mark on is silent, once there are `seconds` of it.
	bool SilentSince(size_t mark, double seconds) {
		bool silent = false;
		const bool enough = Until([&](const std::vector<float>& s, int channels, int rate) {
			if (s.size() < mark + size_t(seconds * rate) * size_t(channels))
				return false;
			silent = std::all_of(s.begin() + std::ptrdiff_t(mark), s.end(), [](float v) { return std::fabs(v) <= 1e-4f; });
			return true;
		});
		return enough && silent;
	}
	// Until what is heard from now on ends in `seconds` of silence.
	bool EndsInSilence(double seconds) {
		const size_t mark = Mark();
		return Until([&](const std::vector<float>& s, int channels, int rate) {
			const size_t tail = size_t(seconds * rate) * size_t(channels);
			return s.size() >= mark + tail
			       && std::all_of(s.end() - std::ptrdiff_t(tail), s.end(), [](float v) { return std::fabs(v) <= 1e-4f; });
		});
	}
	// Until the device plays no more: no queue left on it; under wine a second of silence.
	bool FallsSilent() {
#ifdef _WIN32
		return EndsInSilence(1.0);
#else
		return Until([&](const std::vector<float>&, int, int) { return LiveQueueOn(mUID) < 0; });
#endif
	}
	// What the last half second of each channel held, for a failure's message.
	std::string LastHeard() {
		std::ostringstream text;
		Until([&](const std::vector<float>& s, int channels, int rate) {
			const size_t frames = size_t(rate * kWindow), total = s.size() / size_t(std::max(channels, 1));
			if (channels == 0 || total < frames) {
				text << "less than half a second heard";
				return true;
			}
			text << channels << " channel(s):";
			for (int c = 0; c < channels && c < 2; ++c) {
				const ToneMeasure m = MeasureTone(s, size_t(channels), size_t(c), total - frames, frames, rate);
				text << " channel " << c << " peak " << m.peak << ", " << m.hz << " Hz;";
			}
			return true;
		}, 0);
		return text.str();
	}

private:
#ifdef _WIN32
	static constexpr double kPeakDb = 1.0;
#else
	static constexpr double kPeakDb = 0.2;
#endif
	static bool IsTone(const std::vector<float>& s, int channels, int rate, int channel, size_t first, double hz,
	                   double peak) {
		if (channel >= channels)
			return false;
		const ToneMeasure m = MeasureTone(s, size_t(channels), size_t(channel), first, size_t(rate * kWindow), rate);
		return m.peak > 0 && std::fabs(20 * std::log10(m.peak / peak)) <= kPeakDb && std::fabs(m.hz - hz) <= hz * 0.02;
	}
	// Tests what was heard so far, waiting up to waitMs for it to pass.
	bool Heard(const Test& test, int waitMs) {
#ifdef _WIN32
		return mRecorder.WaitFor([&](const std::vector<float>& s) { return test(s, mRecorder.Channels(), mRecorder.Rate()); },
		                         std::chrono::milliseconds(waitMs));
#else
		UInt32 channels = 0;
		Float64 rate = 0;
		std::vector<float> samples(apple_standin_played(mUID.c_str(), nullptr, 0));
		samples.resize(apple_standin_played(mUID.c_str(), samples.data(), samples.size()));
		if (apple_standin_played_format(mUID.c_str(), &channels, &rate) && test(samples, int(channels), int(rate)))
			return true;
		if (waitMs > 0)
			std::this_thread::sleep_for(std::chrono::milliseconds(waitMs)); // the host's pace
		return false;
#endif
	}

	refhost::Host& mHost;
	const std::string mDevice;
#ifdef _WIN32
	MonitorRecorder mRecorder;
#else
	std::string mUID;
#endif
};

} // namespace

// ---- Lifecycle ------------------------------------------------------------------------------

TEST_F(ActorTest, TwoActorsStartTheRuntimeOnceWithOneSharedFinder) {
	refhost::Actor* a = host.CreateActor();
	refhost::Actor* b = host.CreateActor();
	EXPECT_EQ(ndi_standin_call_count("NDIlib_initialize"), 1);
	EXPECT_EQ(ndi_standin_call_count("NDIlib_find_create_v2"), 1);
	ndi_standin_find_create_call_t call;
	ASSERT_TRUE(ndi_standin_find_create_call(0, &call));
	EXPECT_FALSE(call.settings_null);
	EXPECT_TRUE(call.show_local_sources);
	EXPECT_TRUE(call.groups.is_null);
	EXPECT_TRUE(call.extra_ips.is_null);
	host.DisposeActor(a);
	EXPECT_EQ(ndi_standin_call_count("NDIlib_destroy"), 0);
	host.DisposeActor(b);
	EXPECT_EQ(ndi_standin_call_count("NDIlib_destroy"), 1);
	EXPECT_EQ(ndi_standin_call_count("NDIlib_find_destroy"), 1);
	EXPECT_TRUE(host.alerts().empty());
}

TEST_F(ActorTest, MismatchingRuntimeIsAnnouncedAtEveryStart) {
#ifdef _WIN32
	ndi_standin_set_version("NDI SDK WIN64 08:00:00 Jan  2 2026 5.0.1");
	const char* expected = "Vantrel is running NDI 5 but this version of the NDI Vidrane requires NDI v4. The actor "
	                       "has been disabled.";
#else
	ndi_standin_set_version("NDI SDK APPLE 08:00:00 Jan  2 2026 4.6.2");
	const char* expected = "Vantrel is running NDI 4 but this version of the NDI Vidrane requires NDI v3. The actor "
	                       "has been disabled.";
#endif
	WriteVersionFile("another version"); // the notice is not offered either
	Sender sender("Cam");
	ndi_standin_record_threads(true);
	refhost::Actor* a = ActiveActor(sender.fullName(), 1, kDevice);
	host.CreateActor(); // the runtime is running already: no second alert
	ASSERT_EQ(host.alerts().size(), 1u);
	EXPECT_EQ(host.alerts()[0].message, expected);
	EXPECT_EQ(host.alerts()[0].detail, "Please install the correct NDI Vidrane for this version of Vantrel.");
	// "Disabled" means it: however long it is serviced, the actor acquires no input, so no thread
	// calls the runtime it was not built for.
	for (int i = 0; i < 20; ++i) {
		sender.Video(uint32_t(i));
		host.AdvanceTime(100);
		host.Tick();
	}
	EXPECT_TRUE(ImagesOf(a).empty());
	EXPECT_EQ(ndi_standin_call_count("NDIlib_find_create_v2"), 0) << "no finder without the right runtime";
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_create_v3"), 0);
	EXPECT_EQ(ndi_standin_recorded_threads(), 0) << "a thread of the plug-in's called the runtime";
	ndi_standin_record_threads(false);
	host.Activate(a, false);
	host.DisposeActor(a);
	host.DisposeActor(host.actors().back().get());

	host.CreateActor();
	EXPECT_EQ(host.alerts().size(), 2u) << "a new start checks again";
	ndi_standin_set_version("2.9"); // no usable major: reads as 0
	host.DisposeActor(host.actors().back().get());
	host.CreateActor();
	ASSERT_EQ(host.alerts().size(), 3u);
	EXPECT_NE(host.alerts()[2].message.find("running NDI 0 "), std::string::npos);
}

TEST_F(ActorTest, DisposingTheLastActorWaitsForEveryReceiveThread) {
	Sender sender("Cam");
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 2));
	host.Activate(actor, false);
	host.DisposeActor(actor);
	// The runtime is gone only after its last user: nothing may be left inside it.
	EXPECT_EQ(ndi_standin_live_receivers(), 0);
	EXPECT_EQ(ndi_standin_live_finders(), 0);
	EXPECT_EQ(ndi_standin_frames_outstanding(), 0);
	EXPECT_EQ(ndi_standin_call_count("NDIlib_destroy"), 1);
}

TEST_F(ActorTest, ActorWithoutARecordDoesNothingAndKeepsTheCountsBalanced) {
	host.FailNextAllocations(1);
	refhost::Actor* actor = host.CreateActor();
	auto reported = TakeAssertions();
	ASSERT_EQ(reported.size(), 1u);
	EXPECT_EQ(reported[0].condition, "info != nil");
	EXPECT_EQ(actor->actorDataPtr(), 0u) << "the host's record is left alone";
	host.SetInput(actor, kSource, HostValue::Text("TEST (Cam)"));
	host.Activate(actor, true);
	host.Tick();
	EXPECT_EQ(host.activeReceivers(), 0u);
	host.DisposeActor(actor);
	EXPECT_EQ(ndi_standin_call_count("NDIlib_destroy"), 1) << "the runtime stops with its last actor";
	// A normal actor afterwards starts the runtime again.
	host.DisposeActor(host.CreateActor());
	EXPECT_EQ(ndi_standin_call_count("NDIlib_initialize"), 2);
}

TEST_F(ActorTest, DisposingAnActiveActorDeactivatesItFirst) {
	Sender sender("Cam");
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 1));
	host.DisposeActor(actor, false); // a careless host: the plug-in deactivates it itself
	EXPECT_EQ(host.activeReceivers(), 0u);
	EXPECT_EQ(ndi_standin_live_receivers(), 0) << "the input was released, its thread ended";
}

TEST_F(ActorTest, ASecondActivationWithoutADeactivationLetsTheFirstGo) {
	Sender sender("Cam");
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 1));
	host.Activate(actor, true); // a host breaking its pairs: the input of the first activation goes
	EXPECT_EQ(host.activeReceivers(), 1u) << "one message receiver, the second activation's";
	ASSERT_TRUE(ShowFrames(actor, sender, 1)) << "the second activation receives";
	// The first activation's input ends on its own thread, soon after it was let go.
	EXPECT_TRUE(ServiceUntil([] { return ndi_standin_live_receivers() == 1; }));
	host.DisposeActor(actor); // returns: no receive thread is left behind to wait for
	EXPECT_EQ(ndi_standin_live_receivers(), 0);
	EXPECT_EQ(ndi_standin_live_finders(), 0);
}

// ---- Inputs and the service message -----------------------------------------------------------

TEST_F(ActorTest, FirstSourceQueryAlwaysSendsTheCount) {
	refhost::Actor* actor = ActiveActor("");
	host.Tick();
	EXPECT_EQ(IntegersOf(actor, kSourceCount), (std::vector<int64_t>{0}));
	host.Tick(); // within 1000 units: not asked again
	ndi_standin_add_source("ELSEWHERE (One)", nullptr);
	host.Tick();
	EXPECT_EQ(IntegersOf(actor, kSourceCount).size(), 1u);
	host.AdvanceTime(1001);
	host.Tick();
	EXPECT_EQ(IntegersOf(actor, kSourceCount), (std::vector<int64_t>{0, 1}));
	host.AdvanceTime(1001);
	host.Tick(); // unchanged: not sent again
	EXPECT_EQ(IntegersOf(actor, kSourceCount).size(), 2u);
	ndi_standin_remove_source("ELSEWHERE (One)");
	host.AdvanceTime(1001);
	host.Tick();
	EXPECT_EQ(IntegersOf(actor, kSourceCount), (std::vector<int64_t>{0, 1, 0})) << "back to none";
	EXPECT_EQ(IntegersOf(actor, kAudioChannels), (std::vector<int64_t>{0})) << "no source: 0 channels, sent once";
}

// The real runtime answers an empty list with an array and a count of 0; another may answer it
// with null. Either way there are no sources: none counted, none offered.
TEST_F(ActorTest, AnEmptySourceListIsNoSourcesWhetherItComesAsAnArrayOrAsNull) {
	for (bool nullArray : {false, true}) {
		SCOPED_TRACE(nullArray ? "null for an empty list" : "an array for an empty list");
		ndi_standin_set_null_for_empty_list(nullArray);
		{
			NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
			uint32_t count = 1;
			ASSERT_EQ(NDIlib_find_get_current_sources(finder, &count) == nullptr, nullArray) << "the runtime answers so";
			NDIlib_find_destroy(finder);
		}
		refhost::Actor* actor = ActiveActor("");
		host.Tick();
		EXPECT_EQ(IntegersOf(actor, kSourceCount), (std::vector<int64_t>{0}));
		EXPECT_EQ(host.PopupMenu(actor, 1, kSource, 256).text, "");
		ndi_standin_add_source("ELSEWHERE (One)", nullptr);
		host.AdvanceTime(1001);
		host.Tick();
		EXPECT_EQ(host.PopupMenu(actor, 1, kSource, 256).text, "ELSEWHERE (One)\r");
		ndi_standin_remove_source("ELSEWHERE (One)");
		host.AdvanceTime(1001);
		host.Tick();
		EXPECT_EQ(IntegersOf(actor, kSourceCount), (std::vector<int64_t>{0, 1, 0})) << "back to none";
		auto popup = host.PopupMenu(actor, 1, kSource, 256);
		EXPECT_EQ(popup.text, "");
		EXPECT_TRUE(popup.terminated);
		EXPECT_TRUE(TakeAssertions().empty());
		host.Activate(actor, false);
		host.DisposeActor(actor);
	}
}

// The 32-bit time counter wraps: a poll due just across the top must still come, and a poll made
// just below it must not make every message a poll.
TEST_F(ActorTest, SourcesArePolledEvery1000UnitsAcrossTheCountersWrap) {
	refhost::Actor* actor = ActiveActor("");
	host.Activate(actor, false);
	// Start points at the boundaries: a poll interval and more below the top, just over, at and
	// under one interval, and a tick's length and less.
	for (uint32_t before : {1024u, 1001u, 1000u, 999u, 17u, 16u, 15u, 1u}) {
		SCOPED_TRACE(std::to_string(before) + " below the wrap");
		host.SetManualTime(uint32_t(0) - before);
		host.Activate(actor, true);
		ndi_standin_reset_call_counts();
		for (int tick = 0; tick < 188; ++tick) { // 3008 units in steps of 16
			host.Tick();
			host.AdvanceTime(16);
		}
		const int polls = ndi_standin_call_count("NDIlib_find_get_current_sources");
		ASSERT_TRUE(polls >= 3 && polls <= 4) << polls << " polls in 3008 units from " << before << " below the wrap";
		host.Activate(actor, false);
	}
}

TEST_F(ActorTest, ClearingTheSourceDropsTheInputButKeepsTheVideo) {
	Sender sender("Cam");
	refhost::Actor* actor = ActiveActor(sender.fullName(), 1, kDevice ? kDevice : "None");
	ASSERT_TRUE(ServiceUntil([&] {
		sender.Video(1);
		sender.Audio(48000, 2, 480);
		return !ImagesOf(actor).empty() && (!kDevice || IntegersOf(actor, kAudioChannels).back() == 2);
	}));
	size_t videoEvents = host.outputsOf(actor, kVideo).size();
	ASSERT_GT(videoEvents, 0u);

	host.SetInput(actor, kSource, HostValue::Text(""));
	host.Tick();
	EXPECT_EQ(IntegersOf(actor, kAudioChannels).back(), 0);
	EXPECT_EQ(host.outputsOf(actor, kVideo).size(), videoEvents) << "output 1 keeps its last value";
	ASSERT_TRUE(ServiceUntil([] { return ndi_standin_live_receivers() == 0; }));
}

TEST_F(ActorTest, AudioDeviceOrSameBandwidthKeepTheInputOtherBandwidthReplacesIt) {
	Sender sender("Cam");
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 1));
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_create_v3"), 1);

	host.SetInput(actor, kAudioOut, HostValue::Text("Some Device"));
	host.SetInput(actor, kBandwidth, HostValue::Integer(1));
	ASSERT_TRUE(ShowFrames(actor, sender, 1));
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_create_v3"), 1) << "the same input goes on";

	host.SetInput(actor, kBandwidth, HostValue::Integer(0));
	ASSERT_TRUE(ShowFrames(actor, sender, 1));
	ASSERT_EQ(ndi_standin_call_count("NDIlib_recv_create_v3"), 2);
	ndi_standin_recv_create_call_t call;
	ASSERT_TRUE(ndi_standin_recv_create_call(1, &call));
	EXPECT_EQ(call.bandwidth, NDIlib_recv_bandwidth_lowest);
	// What the new input shows comes at the lowest bandwidth: a wide picture 640 wide.
	ASSERT_TRUE(ServiceUntil([&] {
		sender.Video(1, 1280, 32);
		return !ImagesOf(actor).empty() && ImagesOf(actor).back().width() == 640u;
	}));
	EXPECT_EQ(ImagesOf(actor).back().height(), 16u);
}

TEST_F(ActorTest, ActorsOnOneSourceShareOneReceiverAndItsFrames) {
	Sender sender("Shared");
	refhost::Actor* a = ActiveActor(sender.fullName());
	refhost::Actor* b = ActiveActor(sender.fullName(), 0); // first bandwidth holds
	ASSERT_TRUE(ServiceUntil([&] {
		sender.Video(7);
		return ImagesOf(a).size() >= 3 && ImagesOf(b).size() >= 3;
	}));
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_create_v3"), 1);
	EXPECT_EQ(ImagesOf(b).back().width(), 64u);
	// One tick services a then b: both show the frame a's service delivered.
	sender.Video(8);
	ASSERT_TRUE(ServiceUntil([&] { return ImagesOf(a).back().pixelAddress() == ImagesOf(b).back().pixelAddress(); }));
}

TEST_F(ActorTest, TeardownClearsTheVideoAndTheNextFrameMakesANewImage) {
	Sender sender("Cam");
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 2));
	EXPECT_NE(ImagesOf(actor).back().handleIn, 0) << "the image buffer is reused";
	host.SendTeardown(actor);
	auto video = host.outputsOf(actor, kVideo);
	EXPECT_EQ(video.back().value.type, refhost::kTypeNone);
	EXPECT_TRUE(video.back().value.nullPayload);
	EXPECT_EQ(host.liveTextures(), 0u);
	ASSERT_TRUE(ShowFrames(actor, sender, 1));
	EXPECT_EQ(ImagesOf(actor).back().handleIn, 0) << "a new image after the teardown";
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_create_v3"), 1) << "the input was kept";
}

// ---- End to end -------------------------------------------------------------------------------

TEST_F(ActorTest, PatternFramesReachTheHostWithoutACopy) {
	ndi_standin_pattern_settings_t settings;
	ndi_standin_pattern_defaults(&settings);
	settings.name = "Pattern";
	settings.xres = 320;
	settings.yres = 180;
	settings.no_channels = 2;
	ndi_standin_pattern_t* pattern = ndi_standin_pattern_start(&settings);
	ASSERT_NE(pattern, nullptr);
	refhost::Actor* actor = ActiveActor(ndi_standin_pattern_source_name(pattern), 1, kDevice ? kDevice : "None");

	std::vector<int64_t> numbers;
	bool allLent = true;
	ASSERT_TRUE(ServiceUntil([&] {
		auto images = ImagesOf(actor);
		if (images.empty())
			return false;
		// The address the host was given is the library's own buffer, still lent to the actor.
		allLent = allLent && ndi_standin_is_lent_video(reinterpret_cast<const void*>(images.back().pixelAddress()));
		refhost::Texture texture;
		if (host.textureOf(images.back().handleOut, &texture)) {
			int64_t n = PatternNumber(texture);
			if (numbers.empty() || numbers.back() != n)
				numbers.push_back(n);
		}
		return numbers.size() >= 5;
	}));
	EXPECT_TRUE(allLent);
	for (size_t i = 1; i < numbers.size(); ++i)
		EXPECT_GT(numbers[i], numbers[i - 1]) << "frame numbers must increase";
	EXPECT_EQ(ImagesOf(actor).back().width(), 320u);
	EXPECT_EQ(ImagesOf(actor).back().rowBytes(), 320u * 4);
	if (kDevice) { // output 3 counts the channels of audio handled while a device is set
		EXPECT_TRUE(ServiceUntil([&] { return IntegersOf(actor, kAudioChannels).back() == 2; }));
	}
	host.Activate(actor, false);
	ndi_standin_pattern_stop(pattern);
}

// A real runtime may hand out lines longer than width x 4 and channels longer than samples x 4.
// The host must be given the frame's own row length and the audio read at the frame's channel
// stride: what the host shows and the device plays is what was sent, never the padding.
TEST_F(ActorTest, PaddedFramesAreShownAndPlayedAsSent) {
	const int kLinePadding = 48, kChannelPadding = 64;
	ASSERT_TRUE(ndi_standin_set_padding(kLinePadding, kChannelPadding));
	Sender sender("Padded");
	refhost::Actor* actor = ActiveActor(sender.fullName(), 1, kDevice ? kDevice : "None");

	// Every pixel differs from its neighbours, and the sender leaves X at 0.
	const int w = 64, h = 16;
	std::vector<uint32_t> picture(size_t(w) * h);
	std::vector<uint8_t> expected(size_t(w) * h * 4);
	for (int y = 0; y < h; ++y)
		for (int x = 0; x < w; ++x) {
			const uint8_t b = uint8_t(x), g = uint8_t(16 * y), r = uint8_t(3 * x + 7 * y);
			picture[size_t(y) * w + size_t(x)] = uint32_t(b) | uint32_t(g) << 8 | uint32_t(r) << 16;
			uint8_t* e = &expected[(size_t(y) * w + size_t(x)) * 4];
			e[0] = b, e[1] = g, e[2] = r, e[3] = 0xFF;
		}
	ASSERT_TRUE(ServiceUntil([&] {
		sender.VideoPixels(picture, w, h);
		return !ImagesOf(actor).empty();
	}));
	const refhost::ImageUpdate shown = ImagesOf(actor).back();
	EXPECT_EQ(shown.width(), uint32_t(w));
	EXPECT_EQ(shown.height(), uint32_t(h));
	EXPECT_EQ(shown.rowBytes(), uint32_t(w * 4 + kLinePadding)) << "the frame's own stride";
	refhost::Texture texture;
	ASSERT_TRUE(host.textureOf(shown.handleOut, &texture));
	EXPECT_TRUE(texture.pixels == expected) << "the host's copy differs from the picture sent";

#ifndef _WIN32
	// Audio whose channels are padded plays the channels and none of the padding (samples of 1e9):
	// once a second of it sounded, every sample played is of the signal, and channel 1 lies 1
	// above channel 0 as sent (sample n of channel c is 0.5 + c + n / 100000), resampled as the
	// device's clock asks.
	const std::string uid = DeviceUID(0);
	std::vector<float> all;
	ASSERT_TRUE(ServiceUntil([&] {
		sender.Audio(48000, 2, 480, 0.5f);
		sender.Audio(48000, 2, 480, 0.5f);
		all.resize(apple_standin_played(uid.c_str(), nullptr, 0));
		all.resize(apple_standin_played(uid.c_str(), all.data(), all.size()));
		return std::count_if(all.begin(), all.end(), [](float v) { return v != 0.0f; }) >= 2 * 48000;
	}, 30000)) << "a second of the sound was never played";
	EXPECT_LT(*std::max_element(all.begin(), all.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); }), 2.0f)
		<< "samples of the padding were played";
	std::vector<float> above;
	for (size_t f = 0; f + 1 < all.size(); f += 2)
		if (all[f] > 0.45f && all[f] < 0.55f)
			above.push_back(all[f + 1] - all[f]);
	ASSERT_GT(above.size(), 24000u);
	std::nth_element(above.begin(), above.begin() + std::ptrdiff_t(above.size() / 2), above.end());
	EXPECT_NEAR(above[above.size() / 2], 1.0f, 0.01f) << "channel 1 is not the sender's channel 1";
#endif
	host.Activate(actor, false);
}

// The source's tone plays on the chosen device at the chosen volume, channel c of the source on
// channel c of the device: under wine on Studio_Speakers at 44100 Hz, so only if the plug-in
// resamples the 48000 Hz stream right; on the Apple side on the six-channel Studio Interface, in a
// queue of the stream's own shape.
TEST_F(ActorTest, ChosenDevicePlaysTheSourcesToneAtTheChosenVolume) {
#ifdef _WIN32
	const char* const device = kDevice;
	const int rate = 44100;
#else
	const char* const device = kOtherDevice;
	const int rate = 48000;
#endif
	DeviceEar ear(host, device);
	ASSERT_TRUE(ear.Start());
	ndi_standin_pattern_t* pattern = StartTone("Tone");
	refhost::Actor* actor = ActiveActor(ndi_standin_pattern_source_name(pattern), 1, device, 50);
	// The pattern's amplitude of 0.5 at volume 50.
	EXPECT_TRUE(ear.EndsInTones({250.0, 500.0}, 0.25, 2)) << ear.LastHeard();
	EXPECT_EQ(ear.Rate(), rate);
	EXPECT_EQ(IntegersOf(actor, kAudioChannels), std::vector<int64_t>{2});
	host.Activate(actor, false);
	ndi_standin_pattern_stop(pattern);
}

// What a user hears follows the actor: a muted actor plays nothing, on its source or on a new one;
// after each silent stretch, raising the volume brings the tone within half a second at the level
// the volume gives (so the output was open and playing all along); a device chosen while it plays
// takes the sound over.
TEST_F(ActorTest, SoundFollowsTheActorsVolumeSourceAndDevice) {
	DeviceEar ear(host, kDevice);
	ASSERT_TRUE(ear.Start());
	ndi_standin_pattern_t* first = StartTone("First");
	ndi_standin_pattern_t* second = StartTone("Second", 320); // wider: its frames tell when the switch is made
	size_t mark = ear.Mark();
	refhost::Actor* actor = ActiveActor(ndi_standin_pattern_source_name(first), 1, kDevice, 0);
	ASSERT_TRUE(ServiceUntil([&] { return !ImagesOf(actor).empty() && !IntegersOf(actor, kAudioChannels).empty(); }))
		<< "the first source's audio is handled for the device";
	EXPECT_TRUE(ear.SilentSince(mark, 2.0)) << "muted: " << ear.LastHeard();
	auto raised = [&] {
		const size_t at = ear.Mark();
		host.SetInput(actor, kVolume, HostValue::Real(50));
		return ear.ToneWithin(at, 250.0, 0.25, 0.5);
	};
	EXPECT_TRUE(raised()) << "half the tone's level within half a second of the volume going up: " << ear.LastHeard();

	host.SetInput(actor, kVolume, HostValue::Real(0));
	ASSERT_TRUE(ear.EndsInSilence(0.5)) << "muted again: " << ear.LastHeard();
	mark = ear.Mark();
	host.SetInput(actor, kSource, HostValue::Text(ndi_standin_pattern_source_name(second)));
	ASSERT_TRUE(ServiceUntil([&] { return ImagesOf(actor).back().width() == 320u; })) << "the new source is shown";
	EXPECT_TRUE(ear.SilentSince(mark, 3.0)) << "still muted on the new source: " << ear.LastHeard();
	EXPECT_TRUE(raised()) << "on the new source too: " << ear.LastHeard();

	DeviceEar other(host, kOtherDevice);
	ASSERT_TRUE(other.Start());
	host.SetInput(actor, kAudioOut, HostValue::Text(kOtherDevice));
	EXPECT_TRUE(other.EndsInTones({250.0}, 0.25)) << "the sound moves to the chosen device: " << other.LastHeard();
	EXPECT_TRUE(ear.FallsSilent()) << "and leaves the other one: " << ear.LastHeard();
	host.Activate(actor, false);
	ndi_standin_pattern_stop(second);
	ndi_standin_pattern_stop(first);
}

#ifndef _WIN32
// Names of 512 bytes or more are cut to their first 511 and ended: the cut name is what is looked
// for, never the bytes after the field.
TEST_F(ActorTest, LongSourceAndDeviceNamesAreCutTo511Bytes) {
	const std::string device511(511, 'd');
	AppleStandinDevice devices[] = {
		{"Built-in Output", "BuiltInUID", 0, 0, 1, 2, 48000.0, 32, false, true},
		{device511.c_str(), "LongNameUID", 0, 0, 1, 2, 48000.0, 32, false, false},
	};
	apple_standin_set_devices(devices, 2); // before the first actor: the plug-in reads them once
	Sender sender(std::string(504, 's')); // "TEST (" + 504 + ")": 511 bytes
	ASSERT_EQ(sender.fullName().size(), 511u);
	refhost::Actor* actor = ActiveActor(sender.fullName() + " and what follows it", 1, device511 + " and more", 100);
	EXPECT_TRUE(ShowFrames(actor, sender, 1)) << "the cut source name is found";
	EXPECT_TRUE(ServiceUntil([&] {
		sender.Audio(48000, 2, 480);
		return LiveQueueOn("LongNameUID") >= 0;
	})) << "the cut device name is found";
	host.Activate(actor, false);
	apple_standin_reset_devices();
}

// A device that takes seconds to open (a Bluetooth set waking up) holds up neither the host's
// loop nor the picture: frames keep being shown while the open is held, and the sound comes once
// it is done.
TEST_F(ActorTest, AnAudioDeviceSlowToOpenHoldsUpNeitherTheHostNorThePicture) {
	const std::string builtIn = DeviceUID(0);
	Sender sender("Slow");
	struct OpenAtTheEnd {
		~OpenAtTheEnd() { apple_standin_open_gate("AudioQueueNewOutput"); } // a failed check must not leave it stuck
	} openAtTheEnd;
	apple_standin_close_gate("AudioQueueNewOutput");
	refhost::Actor* actor = ActiveActor(sender.fullName(), 1, "Built-in Output");
	ASSERT_TRUE(ServiceUntil([&] {
		sender.Audio(48000, 2, 480, 0.25f);
		return apple_standin_wait_at_gate("AudioQueueNewOutput", 1, 1);
	})) << "the device is being opened";
	const auto heldSince = std::chrono::steady_clock::now();
	uint32_t tag = 1;
	const size_t before = ImagesOf(actor).size();
	ASSERT_TRUE(ServiceUntil([&] {
		sender.Video(tag++);
		sender.Audio(48000, 2, 480, 0.25f);
		return ImagesOf(actor).size() >= before + 30 && std::chrono::steady_clock::now() - heldSince > std::chrono::seconds(2);
	})) << "the picture stopped while the device was opening";
	EXPECT_TRUE(apple_standin_wait_at_gate("AudioQueueNewOutput", 1, 0)) << "all of it while the open was held";
	EXPECT_EQ(LiveQueueOn(builtIn), -1);

	apple_standin_open_gate("AudioQueueNewOutput");
	EXPECT_TRUE(ServiceUntil([&] {
		sender.Audio(48000, 2, 480, 0.25f);
		return SoundOn(builtIn);
	})) << "heard once the device is open";
	host.Activate(actor, false);
}

TEST_F(ActorTest, NonePlaysNothing) {
	Sender sender("Silent");
	refhost::Actor* actor = ActiveActor(sender.fullName(), 1, "None");
	ASSERT_TRUE(ServiceUntil([&] {
		sender.Video(1);
		sender.Audio(48000, 2, 480);
		return ImagesOf(actor).size() >= 5;
	}));
	EXPECT_EQ(apple_standin_queues_created(), 0);
	EXPECT_EQ(IntegersOf(actor, kAudioChannels), (std::vector<int64_t>{0})) << "no device: no channels counted";
}
#endif

// A source whose stream changes its channel count keeps its sound: turned mono, its one channel
// plays on both front channels; stereo again, the right channel is the stream's own (500 Hz), not a
// copy of the left. Each change needs an output of the new shape (under wine the sink is stereo
// whatever the stream; on the Apple side the queue takes the stream's shape).
TEST_F(ActorTest, AStreamThatChangesItsChannelCountKeepsItsSound) {
#ifdef _WIN32
	const std::vector<double> mono = {250.0, 250.0}; // on both front channels of the stereo sink
#else
	const std::vector<double> mono = {250.0}; // in a queue of one channel
#endif
	DeviceEar ear(host, kDevice);
	ASSERT_TRUE(ear.Start());
	ndi_standin_pattern_t* pattern = StartTone("Changing");
	refhost::Actor* actor = ActiveActor(ndi_standin_pattern_source_name(pattern), 1, kDevice, 100);
	EXPECT_TRUE(ear.EndsInTones({250.0, 500.0}, 0.5, 2)) << ear.LastHeard();
	ASSERT_TRUE(ndi_standin_pattern_set_channels(pattern, 1));
	EXPECT_TRUE(ear.EndsInTones(mono, 0.5, 1)) << "mono plays on every front channel: " << ear.LastHeard();
	ASSERT_TRUE(ndi_standin_pattern_set_channels(pattern, 2));
	EXPECT_TRUE(ear.EndsInTones({250.0, 500.0}, 0.5, 2)) << "the right channel is the stream's own again: "
	                                                    << ear.LastHeard();
	host.Activate(actor, false);
	ndi_standin_pattern_stop(pattern);
}

// ---- Popups and value texts ---------------------------------------------------------------------

TEST_F(ActorTest, SourcePopupListsTheSourcesWithTheCurrentOneSelected) {
	refhost::Actor* actor = ActiveActor("");
	EXPECT_EQ(host.PopupMenu(actor, 1, kSource, 256).text, "") << "no sources: a lone NUL";
	ndi_standin_add_source("HOST (A)", nullptr);
	ndi_standin_add_source("HOST (B)", nullptr);
	host.SetInput(actor, kSource, HostValue::Text("HOST (B)"));
	ASSERT_TRUE(ServiceUntil([&] { return host.PopupMenu(actor, 1, kSource, 256).text == "HOST (A)\rHOST (B)\r"; }));
	auto popup = host.PopupMenu(actor, 1, kSource, 256);
	EXPECT_EQ(popup.selected, 2u);
	EXPECT_TRUE(popup.terminated);

	// Each entry needs its length and a return, and one byte must remain for the NUL.
	popup = host.PopupMenu(actor, 1, kSource, 19);
	EXPECT_EQ(popup.text, "HOST (A)\rHOST (B)\r");
	EXPECT_TRUE(TakeAssertions().empty());
	popup = host.PopupMenu(actor, 1, kSource, 18);
	EXPECT_EQ(popup.text, "HOST (A)\r");
	EXPECT_TRUE(popup.terminated);
	auto reported = TakeAssertions();
	ASSERT_EQ(reported.size(), 1u);
	EXPECT_EQ(reported[0].condition, "\"Insufficient Buffer for Popup String List\" == NULL");
	char untouched = 'x';
	uint32_t selected = 99;
	host.PopupMenuRaw(actor, 1, kSource, &untouched, 0, &selected);
	EXPECT_EQ(untouched, 'x') << "a buffer of size 0 gets nothing, not even the NUL";
	TakeAssertions();

	host.SetInput(actor, kSource, HostValue::Text("HOST (C)")); // typed in, not announced
	EXPECT_EQ(host.PopupMenu(actor, 1, kSource, 256).selected, 0u);
	ndi_standin_remove_source("HOST (A)");
	ndi_standin_remove_source("HOST (B)");
}

#ifndef _WIN32
TEST_F(ActorTest, AudioPopupListsNoneAndTheDevices) {
	refhost::Actor* actor = ActiveActor("", 1, "None");
	auto popup = host.PopupMenu(actor, 1, kAudioOut, 256);
	EXPECT_EQ(popup.text, "None\rBuilt-in Output\rStudio Interface\r");
	EXPECT_EQ(popup.selected, 1u);
	host.SetInput(actor, kAudioOut, HostValue::Text("Studio Interface"));
	EXPECT_EQ(host.PopupMenu(actor, 1, kAudioOut, 256).selected, 3u);
	char untouched[4] = {'x', 'x', 'x', 'x'};
	uint32_t selected = 99;
	host.PopupMenuRaw(actor, 1, 2, untouched, sizeof(untouched), &selected);
	EXPECT_EQ(std::string(untouched, 4), "xxxx") << "other inputs have no popup: the buffer is not touched";
	EXPECT_EQ(selected, 0u);
}

TEST_F(ActorTest, LoneNoneFitsInSixBytesNotFive) {
	apple_standin_set_devices(nullptr, 0); // read at the plug-in's first actor
	refhost::Actor* actor = ActiveActor("");
	apple_standin_reset_devices();
	EXPECT_EQ(host.PopupMenu(actor, 1, kAudioOut, 6).text, "None\r");
	EXPECT_TRUE(TakeAssertions().empty());
	auto popup = host.PopupMenu(actor, 1, kAudioOut, 5);
	EXPECT_EQ(popup.text, "");
	EXPECT_TRUE(popup.terminated);
	EXPECT_EQ(TakeAssertions().size(), 1u);
}
#endif

TEST_F(ActorTest, PopupChoiceBecomesAHostString) {
	refhost::Actor* actor = ActiveActor("");
	HostValue value;
	EXPECT_TRUE(host.PopupSelectionToValue(actor, 1, kSource, 2, "HOST (B)", &value));
	EXPECT_EQ(value.type, refhost::kTypeString);
	EXPECT_EQ(value.text, "HOST (B)");
	EXPECT_TRUE(host.PopupSelectionToValue(actor, 1, kAudioOut, 1, "None", &value));
	EXPECT_FALSE(host.PopupSelectionToValue(actor, 1, kBandwidth, 1, "low", &value));
}

TEST_F(ActorTest, BandwidthIsShownAndEnteredByName) {
	refhost::Actor* actor = ActiveActor("");
	std::string text;
	EXPECT_TRUE(host.ValueToString(actor, 1, kBandwidth, HostValue::Integer(1), &text));
	EXPECT_EQ(text, "high");
	EXPECT_TRUE(host.ValueToString(actor, 1, kBandwidth, HostValue::Integer(0), &text));
	EXPECT_EQ(text, "low");
	text = "untouched";
	EXPECT_TRUE(host.ValueToString(actor, 1, kBandwidth, HostValue::Integer(7), &text));
	EXPECT_EQ(TakeAssertions().size(), 1u);
	EXPECT_FALSE(host.ValueToString(actor, 1, kVolume, HostValue::Integer(1), &text));
	EXPECT_FALSE(host.ValueToString(actor, 0, kBandwidth, HostValue::Integer(1), &text));

	HostValue value;
	EXPECT_TRUE(host.StringToValue(actor, 1, kBandwidth, "1", &value));
	EXPECT_EQ(value.type, refhost::kTypeInteger);
	EXPECT_EQ(value.integer, 1);
	EXPECT_EQ(host.findStringCalls(), 0) << "\"0\" and \"1\" need no lookup";
	EXPECT_TRUE(host.StringToValue(actor, 1, kBandwidth, "HIGH", &value));
	EXPECT_EQ(value.integer, 1);
	EXPECT_TRUE(host.StringToValue(actor, 1, kBandwidth, "low", &value));
	EXPECT_EQ(value.integer, 0);
	EXPECT_FALSE(host.StringToValue(actor, 1, kBandwidth, "2", &value));
	EXPECT_EQ(host.findStringCalls(), 3);
	EXPECT_FALSE(host.StringToValue(actor, 1, kSource, "1", &value));
}

TEST_F(ActorTest, ActorAreaShowsTheHostsPicture) {
	refhost::Actor* actor = ActiveActor("");
	int16_t area[4] = {-1, -1, -1, -1};
	host.DrawActorDefinedArea(actor, 1, 0);
	EXPECT_EQ(host.pictureDraws(), 0) << "nothing to draw before the picture is loaded";
	EXPECT_TRUE(host.ActorDefinedArea(actor, area));
	EXPECT_EQ(area[0], 64);
	EXPECT_EQ(area[1], 48);
	EXPECT_EQ(area[2], 0);
	EXPECT_EQ(area[3], 0);
	EXPECT_TRUE(host.ActorDefinedArea(actor, area));
	EXPECT_EQ(host.pictureLoads(), 1) << "loaded once";
	host.DrawActorDefinedArea(actor, 1, 1);
	host.DrawActorDefinedArea(actor, 2, 1);
	EXPECT_EQ(host.pictureDraws(), 1);
}
