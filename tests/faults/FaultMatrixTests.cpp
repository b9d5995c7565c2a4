// Every failure the stand-ins and the reference host can inject, met by the loaded plug-in as a
// user runs it: actors in the host, sources on the stand-in's network. Each case checks that the
// plug-in neither crashes nor hangs (every wait here is bounded), that it falls back as
// documented, that it recovers once the fault is gone, and (through the fixture) that every
// account is back at zero: receivers, finders, lent frames, the runtime, textures, host
// allocations and receivers, AudioQueues and CoreFoundation objects.
#include "AboutOnceASecond.h"
#include "plugin/ActorFixture.h"
#include "plugin/ReadMeRecorder.h"

#include <algorithm>
#include <cstring>

using namespace actortest;
using refhost::HostValue;

namespace {

// Host time steps (16 ms each) a negative check keeps servicing for: long enough for a receive
// thread to have connected and delivered many times over had nothing been wrong.
constexpr int kQuietTicks = 150;

class FaultTest : public ActorTest {
protected:
	void SetUp() override {
#ifndef _WIN32
		apple_standin_clear_faults();
		apple_standin_reset_devices();
		mCFBefore = apple_standin_cf_live();
#endif
		ActorTest::SetUp();
	}
	void TearDown() override {
		ndi_standin_fail_initialize(0);
		ndi_standin_fail_find_create(0);
		ndi_standin_fail_recv_create(0);
		ActorTest::TearDown();
		EXPECT_EQ(host.activeReceivers(), 0u);
#ifndef _WIN32
		apple_standin_clear_faults();
		EXPECT_EQ(apple_standin_cf_live(), mCFBefore) << "CoreFoundation objects left alive";
		EXPECT_EQ(apple_standin_misuse_count(), 0);
#endif
	}

	// Services for a while with the sender sending; true when the actor showed no frame at all.
	bool StaysDark(refhost::Actor* actor, Sender& sender) {
		const size_t before = ImagesOf(actor).size();
		for (int i = 0; i < kQuietTicks; ++i) {
			sender.Video(uint32_t(i));
			host.AdvanceTime(16);
			host.Tick();
			std::this_thread::sleep_for(std::chrono::milliseconds(2)); // let the receive thread run
		}
		return ImagesOf(actor).size() == before;
	}
	// Waits until every receiver's queue is empty and the receive threads have come back for more
	// (two capture calls later), so that nothing sent before now is still on its way; then hands
	// the last of it to the actors.
	bool Flush() {
		NDIlib_recv_instance_t receivers[16];
		const int count = std::min(ndi_standin_receivers(receivers, 16), 16);
		bool emptied = ServiceUntil([&] {
			for (int i = 0; i < count; ++i) {
				ndi_standin_receiver_info_t info;
				if (ndi_standin_receiver_info(receivers[i], &info) && info.queued > 0)
					return false;
			}
			return true;
		});
		const int calls = ndi_standin_call_count("NDIlib_recv_capture_v2");
		emptied = emptied && ServiceUntil([&] { return ndi_standin_call_count("NDIlib_recv_capture_v2") >= calls + 2 * count; });
		host.Tick();
		return emptied;
	}
	// Services until the actor has sent `count` to the source-count output.
	bool CountBecomes(refhost::Actor* actor, int64_t count) {
		return ServiceUntil([&] {
			host.AdvanceTime(1000); // past the poll interval
			auto counts = IntegersOf(actor, kSourceCount);
			return !counts.empty() && counts.back() == count;
		});
	}
	std::string SourcePopup(refhost::Actor* actor) { return host.PopupMenu(actor, 1, kSource, 4096).text; }

	// A fresh copy of the plug-in, as after the host restarted: fresh statics, a new device list.
	void Reload() {
		host.Unload();
		std::string error;
		ASSERT_TRUE(host.Load(VIDRANE_PLUGIN_PATH, &error)) << error;
		host.SetManualTime(10000);
	}

	long mCFBefore = 0;
};

} // namespace

// ---- The NDI runtime --------------------------------------------------------------------------

TEST_F(FaultTest, RuntimeThatWillNotInitialiseLeavesCountsAndPopupOffButVideoFlows) {
	Sender sender("Cam");
	ndi_standin_fail_initialize(1);
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 3)) << "nothing stops an actor from receiving";
	host.AdvanceTime(5000);
	host.Tick();
	EXPECT_TRUE(IntegersOf(actor, kSourceCount).empty()) << "source counting stays off";
	EXPECT_EQ(SourcePopup(actor), "") << "the source popup stays off";
	host.DisposeActor(actor);

	// The next start of the plug-in initialises the runtime again.
	actor = ActiveActor(sender.fullName());
	EXPECT_TRUE(CountBecomes(actor, 1));
	EXPECT_EQ(SourcePopup(actor), sender.fullName() + "\r");
	EXPECT_EQ(ndi_standin_call_count("NDIlib_initialize"), 2);
}

TEST_F(FaultTest, SharedFinderNotCreatedMeansNoCountUntilTheNextStart) {
	Sender sender("Cam");
	ndi_standin_fail_find_create(1); // the first finder made is the plug-in's shared one
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 3)) << "the input has a finder of its own";
	host.AdvanceTime(5000);
	host.Tick();
	EXPECT_TRUE(IntegersOf(actor, kSourceCount).empty());
	EXPECT_EQ(SourcePopup(actor), "");
	host.DisposeActor(actor);

	actor = ActiveActor(sender.fullName());
	EXPECT_TRUE(CountBecomes(actor, 1));
	EXPECT_EQ(SourcePopup(actor), sender.fullName() + "\r");
}

TEST_F(FaultTest, ADeadInputIsGivenUpAndItsSourceReceivedAgain) {
	Sender sender("Cam");
	refhost::Actor* first = ActiveActor("");
	refhost::Actor* second = ActiveActor("");
	host.Tick();
	const int findersBefore = ndi_standin_call_count("NDIlib_find_create_v2");
	ndi_standin_fail_find_create(1); // one passing failure, as a busy network stack might give
	host.SetInput(first, kSource, HostValue::Text(sender.fullName()));
	host.SetInput(second, kSource, HostValue::Text(sender.fullName()));
	host.Tick();
	EXPECT_TRUE(ShowFrames(first, sender, 3)) << "the first actor's source came back";
	EXPECT_TRUE(ShowFrames(second, sender, 3)) << "the second actor's source came back";
	EXPECT_EQ(ndi_standin_call_count("NDIlib_find_create_v2") - findersBefore, 2)
		<< "the failed finder and one live input's, shared by both actors";
	EXPECT_EQ(ndi_standin_live_receivers(), 1);
}

TEST_F(FaultTest, AnInputThatStaysDeadIsRetriedAboutOnceASecond) {
	Sender sender("Cam");
	refhost::Actor* actor = ActiveActor("");
	host.Tick();
	const int findersBefore = ndi_standin_call_count("NDIlib_find_create_v2");
	ndi_standin_fail_find_create(1000000);
	const auto start = std::chrono::steady_clock::now();
	host.SetInput(actor, kSource, HostValue::Text(sender.fullName()));
	// Services all the while: a retry at every message would make hundreds of finders.
	EXPECT_TRUE(ServiceUntil([&] { return ndi_standin_call_count("NDIlib_find_create_v2") - findersBefore >= 3; }))
		<< "the Dead input is given up and tried again";
	EXPECT_TRUE(AboutOnceASecond(ndi_standin_call_count("NDIlib_find_create_v2") - findersBefore, start))
		<< "new inputs";

	ndi_standin_fail_find_create(0);
	EXPECT_TRUE(ShowFrames(actor, sender, 3)) << "received once the finder can be made";
}

TEST_F(FaultTest, ReceiverNotCreatedIsRetriedOnLaterPasses) {
	Sender sender("Cam");
	ndi_standin_fail_recv_create(5);
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 3));
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_create_v3"), 6) << "five refusals, then one receiver";
	EXPECT_EQ(ndi_standin_live_receivers(), 1);
}

TEST_F(FaultTest, CaptureResultsOtherThanFramesAreIgnored) {
	Sender sender("Cam");
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 1));
	const NDIlib_frame_type_e results[] = {NDIlib_frame_type_error, NDIlib_frame_type_status_change,
	                                       NDIlib_frame_type_metadata, NDIlib_frame_type_source_change};
	const size_t before = ImagesOf(actor).size();
	uint32_t tag = 100;
	ASSERT_TRUE(ServiceUntil([&] {
		for (NDIlib_frame_type_e result : results)
			EXPECT_EQ(ndi_standin_inject_result(sender.fullName().c_str(), result), 1);
		sender.Video(tag++);
		sender.Audio(48000, 2, 480);
		return ImagesOf(actor).size() >= before + 10;
	}));
	// The last frame shown is one that was sent, whole.
	refhost::Texture texture;
	ASSERT_TRUE(host.textureOf(ImagesOf(actor).back().handleOut, &texture));
	EXPECT_EQ(texture.width, 64u);
	EXPECT_EQ(texture.height, 16u);
}

TEST_F(FaultTest, FramesOfAnotherFourCCAreReturnedUnshown) {
	Sender sender("Cam");
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 1));
	ASSERT_TRUE(Flush()); // the sender's last frames are shown before the foreign ones come
	const size_t before = ImagesOf(actor).size();
	const NDIlib_FourCC_video_type_e foreign[] = {NDIlib_FourCC_video_type_UYVY, NDIlib_FourCC_video_type_UYVA,
	                                              NDIlib_FourCC_video_type_RGBA, NDIlib_FourCC_video_type_RGBX};
	const int64_t freedBefore = ndi_standin_frames_freed_total();
	for (int round = 0; round < 20; ++round) {
		for (NDIlib_FourCC_video_type_e fourcc : foreign)
			ASSERT_EQ(ndi_standin_inject_video(sender.fullName().c_str(), fourcc, 64, 16), 1);
		ASSERT_TRUE(ServiceUntil([&] { return ndi_standin_frames_freed_total() >= freedBefore + 4 * (round + 1); }));
	}
	EXPECT_EQ(ImagesOf(actor).size(), before) << "none of them reached the host";
	// BGRA, the other format the receiver takes, is shown.
	ASSERT_EQ(ndi_standin_inject_video(sender.fullName().c_str(), NDIlib_FourCC_video_type_BGRA, 32, 8), 1);
	ASSERT_TRUE(ServiceUntil([&] { return ImagesOf(actor).size() > before; }));
	EXPECT_EQ(ImagesOf(actor).back().width(), 32u);
}

TEST_F(FaultTest, SourceThatVanishesComesBackOnTheSameReceiver) {
	Sender sender("Cam");
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 2));
	ASSERT_TRUE(CountBecomes(actor, 1));
	const int receiversMade = ndi_standin_call_count("NDIlib_recv_create_v3");

	ASSERT_EQ(ndi_standin_set_source_online(sender.fullName().c_str(), false), 1);
	EXPECT_TRUE(CountBecomes(actor, 0));
	ASSERT_TRUE(Flush()); // what was sent while it was there may still arrive
	EXPECT_TRUE(StaysDark(actor, sender));
	EXPECT_EQ(ndi_standin_live_receivers(), 1) << "the receiver stays while its source is away";

	ASSERT_EQ(ndi_standin_set_source_online(sender.fullName().c_str(), true), 1);
	EXPECT_TRUE(ShowFrames(actor, sender, 3));
	EXPECT_TRUE(CountBecomes(actor, 1));
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_create_v3"), receiversMade);
}

// A receiver stays with the sender it connected to: one destroyed and made again under the same
// name (and a new URL) is reached only by connecting again, which the input must do by itself.
TEST_F(FaultTest, SenderDestroyedAndMadeAgainIsShownAgain) {
	std::unique_ptr<Sender> sender(new Sender("Cam"));
	refhost::Actor* actor = ActiveActor(sender->fullName());
	ASSERT_TRUE(ShowFrames(actor, *sender, 2));

	sender.reset();
	ASSERT_TRUE(Flush()); // nothing of the first sender is left on its way
	const size_t before = ImagesOf(actor).size();
	sender.reset(new Sender("Cam"));
	const uint32_t kNewTags = 0x100000;
	uint32_t tag = kNewTags;
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
	while (ImagesOf(actor).size() == before && std::chrono::steady_clock::now() < deadline) {
		sender->Video(tag++);
		host.AdvanceTime(16);
		host.Tick();
		std::this_thread::sleep_for(std::chrono::milliseconds(5)); // a sender's pace, not a wait
	}
	ASSERT_GT(ImagesOf(actor).size(), before) << "no frame of the sender made again within 30 s";
	refhost::Texture texture;
	ASSERT_TRUE(host.textureOf(ImagesOf(actor).back().handleOut, &texture));
	ASSERT_GE(texture.pixels.size(), 4u);
	uint32_t shown = 0;
	memcpy(&shown, texture.pixels.data(), 3);
	EXPECT_GE(shown, kNewTags) << "the frame shown is the new sender's";
	EXPECT_TRUE(ShowFrames(actor, *sender, 3, tag)) << "and they keep coming";
	EXPECT_EQ(ndi_standin_live_receivers(), 1) << "the same receiver, connected again";
}

// Connecting again is for a receiver that gets nothing: one fed steadily is left alone. Between
// the frames of a source without audio (30 a second) captures come back empty, so the quiet time
// must start again at every frame; with audio frames in between they seldom do.
TEST_F(FaultTest, SteadySourceIsConnectedOnce) {
	ndi_standin_pattern_t* patterns[2] = {};
	refhost::Actor* actors[2] = {};
	for (int i = 0; i < 2; ++i) {
		ndi_standin_pattern_settings_t settings;
		ndi_standin_pattern_defaults(&settings);
		settings.name = i == 0 ? "Steady" : "Steady picture";
		settings.xres = 160;
		settings.yres = 16;
		settings.samples_per_frame = 480;
		settings.no_channels = i == 0 ? 2 : 0;
		patterns[i] = ndi_standin_pattern_start(&settings);
		ASSERT_NE(patterns[i], nullptr);
		actors[i] = ActiveActor(ndi_standin_pattern_source_name(patterns[i]));
	}
	ASSERT_TRUE(ServiceUntil([&] { return !ImagesOf(actors[0]).empty() && !ImagesOf(actors[1]).empty(); }));

	// 12 s of the sources' own 30 frames a second, serviced as a host does.
	const auto start = std::chrono::steady_clock::now();
	size_t shownBefore[2] = {ImagesOf(actors[0]).size(), ImagesOf(actors[1]).size()};
	int quietSeconds[2] = {};
	for (int s = 1; s <= 12; ++s) {
		while (std::chrono::steady_clock::now() < start + std::chrono::seconds(s)) {
			host.AdvanceTime(16);
			host.Tick();
			std::this_thread::sleep_for(std::chrono::milliseconds(16));
		}
		for (int i = 0; i < 2; ++i) {
			size_t shown = ImagesOf(actors[i]).size();
			quietSeconds[i] += shown == shownBefore[i] ? 1 : 0;
			shownBefore[i] = shown;
		}
	}
	EXPECT_EQ(quietSeconds[0], 0) << "frames came every second";
	EXPECT_EQ(quietSeconds[1], 0) << "frames came every second without audio too";
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_create_v3"), 2);
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_connect"), 2) << "each receiver connected once";
	for (int i = 0; i < 2; ++i) {
		host.DisposeActor(actors[i]);
		ndi_standin_pattern_stop(patterns[i]);
	}
}

// ---- The host ---------------------------------------------------------------------------------

TEST_F(FaultTest, RefusedActorRecordLeavesTheOtherActorsWorking) {
	Sender sender("Cam");
	refhost::Actor* working = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(working, sender, 2));

	host.FailNextAllocations(1);
	refhost::Actor* orphan = ActiveActor(sender.fullName());
	auto reported = TakeAssertions();
	ASSERT_EQ(reported.size(), 1u);
	EXPECT_EQ(reported[0].condition, "info != nil");
	EXPECT_TRUE(ShowFrames(working, sender, 3));
	EXPECT_TRUE(ImagesOf(orphan).empty());
	host.DisposeActor(orphan);

	// Allocation works again: a new actor gets its record and its frames.
	refhost::Actor* next = ActiveActor(sender.fullName());
	EXPECT_NE(next->actorDataPtr(), 0u);
	EXPECT_TRUE(ShowFrames(next, sender, 2));
	host.DisposeActor(working);
	EXPECT_TRUE(ShowFrames(next, sender, 2)) << "the shared input outlives the actor that made it";
}

TEST_F(FaultTest, RefusedMessageReceiverLeavesTheActorIdleUntilReactivated) {
	Sender sender("Cam");
	host.FailNextReceiverRegistrations(1);
	refhost::Actor* actor = ActiveActor(sender.fullName());
	EXPECT_EQ(host.activeReceivers(), 0u);
	EXPECT_TRUE(StaysDark(actor, sender)) << "no service message reaches it";

	host.Activate(actor, false); // nothing to unregister: the host sees no bad handle
	host.Activate(actor, true);
	EXPECT_EQ(host.activeReceivers(), 1u);
	EXPECT_TRUE(ShowFrames(actor, sender, 3));
}

TEST_F(FaultTest, NumbersWhereTextsBelongAreNotReadThrough) {
	Sender sender("Cam");
	refhost::Actor* actor = ActiveActor(sender.fullName());
	ASSERT_TRUE(ShowFrames(actor, sender, 1));
	// Payloads that would be addresses if they were taken for host strings.
	for (int64_t payload : {int64_t(0xff10), int64_t(-8), int64_t(1)}) {
		refhost::HostValue number = HostValue::Integer(payload);
		host.SetInput(actor, kSource, number);
		host.SetInput(actor, kAudioOut, number);
		number.type = refhost::kTypeFloat;
		host.SetInput(actor, kSource, number);
	}
	EXPECT_TRUE(ShowFrames(actor, sender, 3)) << "the actor keeps its source";
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_create_v3"), 1);
}

// ---- The version file ---------------------------------------------------------------------------

namespace {

class VersionFileFault : public FaultTest {
protected:
	void SetUp() override {
		FaultTest::SetUp();
#ifdef _WIN32
		readme_recorder::Register(); // the notice's Read Me opens with the recorder, not a browser
#endif
	}
	void TearDown() override {
		std::error_code ec;
		std::filesystem::remove_all(VersionFile(), ec);
		std::filesystem::remove(VersionFolder(), ec); // a plain file standing in for the folder
		std::filesystem::create_directories(VersionFolder(), ec);
		FaultTest::TearDown();
	}
	// Creates and disposes one actor; true when it showed the notice.
	bool NoticeShown() {
		const size_t before = host.alerts().size();
		host.DisposeActor(host.CreateActor());
		return host.alerts().size() > before;
	}
};

} // namespace

TEST_F(VersionFileFault, UnreadableFileCountsAsNoVersionAndShowsTheNoticeEachTime) {
	// A folder where the file should be: it opens for nothing, and cannot be written.
	std::filesystem::remove(VersionFile());
	std::filesystem::create_directories(VersionFile());
	EXPECT_TRUE(NoticeShown());
	EXPECT_TRUE(NoticeShown()) << "nothing could be remembered";
	EXPECT_TRUE(std::filesystem::is_directory(VersionFile()));

	std::filesystem::remove(VersionFile());
	EXPECT_TRUE(NoticeShown()) << "the file is written again";
	EXPECT_EQ(ReadVersionFile(), CurrentVersionText());
	EXPECT_FALSE(NoticeShown());
}

TEST_F(VersionFileFault, UnwritableFolderIsSkippedSilentlyAndTheNoticeReturns) {
	// The preferences folder is a plain file: nothing can be read or written beneath it.
	std::filesystem::remove_all(VersionFolder());
	{
		FILE* f = fopen(VersionFolder().string().c_str(), "wb");
		ASSERT_NE(f, nullptr);
		fclose(f);
	}
	EXPECT_TRUE(NoticeShown());
	EXPECT_TRUE(NoticeShown());
	EXPECT_TRUE(std::filesystem::is_regular_file(VersionFolder()));

	std::filesystem::remove(VersionFolder());
	std::filesystem::create_directories(VersionFolder());
	EXPECT_TRUE(NoticeShown());
	EXPECT_EQ(ReadVersionFile(), CurrentVersionText());
	EXPECT_FALSE(NoticeShown());
}

#ifndef _WIN32
TEST_F(VersionFileFault, FileThatSwallowsWritesIsReadAsEmpty) {
	// Reads give zero bytes' worth of text, writes go nowhere: /dev/full behind a link.
	std::filesystem::remove(VersionFile());
	std::filesystem::create_symlink("/dev/full", VersionFile());
	EXPECT_TRUE(NoticeShown());
	EXPECT_TRUE(NoticeShown());
	std::filesystem::remove(VersionFile());
	EXPECT_TRUE(NoticeShown());
	EXPECT_FALSE(NoticeShown());
}
#endif

// ---- CoreAudio (Apple flavour) --------------------------------------------------------------------

#ifndef _WIN32
TEST_F(FaultTest, DevicePropertiesFailingOneByOneLeaveTheDeviceOutOrPlayAnyway) {
	struct Case {
		const char* what;
		AudioObjectPropertySelector selector;
		AudioObjectPropertyScope scope;
		bool wholeSystem;  // the system object's property, else the Studio Interface's
		bool studioListed; // the device survives the failure
	};
	const Case cases[] = {
		{"device array", kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, true, false},
		{"default output", kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, true, true},
		{"name", kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, false, false},
		{"UID", kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, false, false},
		{"nominal rate", kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, false, false},
		{"stream configuration", kAudioDevicePropertyStreamConfiguration, kAudioDevicePropertyScopeOutput, false, false},
		{"stream format", kAudioDevicePropertyStreamFormat, kAudioDevicePropertyScopeOutput, false, true},
	};
	const std::string studio = DeviceUID(1);
	ASSERT_FALSE(studio.empty());
	ndi_standin_pattern_t* tone = StartTone("Tone");
	ASSERT_NE(tone, nullptr);
	const std::string source = ndi_standin_pattern_source_name(tone);

	for (const Case& c : cases) {
		SCOPED_TRACE(c.what);
		Reload(); // the device list is read once per load, at the first actor
		apple_standin_reset_queues();
		const AudioObjectID object = c.wholeSystem ? AudioObjectID(kAudioObjectSystemObject) : apple_standin_device_id(1);
		for (int calls : {kAppleStandinSizeQuery, kAppleStandinDataRead})
			apple_standin_fail_property(object, c.selector, c.scope, calls, kAudioHardwareUnspecifiedError, -1);

		refhost::Actor* actor = ActiveActor(source, 1, "Studio Interface");
		const std::string popup = host.PopupMenu(actor, 1, kAudioOut, 4096).text;
		EXPECT_EQ(popup.find("Studio Interface") != std::string::npos, c.studioListed) << popup;
		EXPECT_EQ(popup.compare(0, 5, "None\r"), 0) << "None is always offered";
		if (c.studioListed) {
			EXPECT_TRUE(ServiceUntil([&] { return LiveQueueOn(studio) >= 0; })) << "plays on the chosen device";
			const int queue = LiveQueueOn(studio);
			if (queue >= 0) {
				EXPECT_TRUE(apple_standin_wait_played(queue, 4, 10000));
			}
		} else {
			// The name is unknown: no device, no audio, no queue; video goes on.
			const size_t images = ImagesOf(actor).size();
			ASSERT_TRUE(ServiceUntil([&] { return ImagesOf(actor).size() >= images + 10; }));
			EXPECT_EQ(apple_standin_queues_created(), 0);
		}
		host.DisposeActor(actor);
		apple_standin_clear_faults();
	}

	// The fault gone, the next load sees the device and plays on it.
	Reload();
	apple_standin_reset_queues();
	refhost::Actor* actor = ActiveActor(source, 1, "Studio Interface");
	EXPECT_NE(host.PopupMenu(actor, 1, kAudioOut, 4096).text.find("Studio Interface"), std::string::npos);
	EXPECT_TRUE(ServiceUntil([&] { return LiveQueueOn(studio) >= 0; }));
	host.DisposeActor(actor);
	ndi_standin_pattern_stop(tone);
}

TEST_F(FaultTest, AudioQueueCallsFailingAreRetriedAboutOnceASecond) {
	struct Case {
		const char* function;
		int skip;
	};
	const Case cases[] = {{"AudioQueueNewOutput", 0}, {"AudioQueueAllocateBuffer", 0},
	                      {"AudioQueueAllocateBuffer", 1}, {"AudioQueueStart", 0}};
	const std::string studio = DeviceUID(1);
	ndi_standin_pattern_t* tone = StartTone("Tone");
	ASSERT_NE(tone, nullptr);
	const std::string source = ndi_standin_pattern_source_name(tone);

	for (const Case& c : cases) {
		SCOPED_TRACE(std::string(c.function) + " after " + std::to_string(c.skip));
		apple_standin_reset_queues();
		apple_standin_reset_call_counts();
		apple_standin_fail_call(c.function, c.skip, -1, -50);
		refhost::Actor* actor = ActiveActor(source, 1, "Studio Interface");
		// Tried again while the frames come, but not at every frame; the channel count is reported
		// all the same.
		const auto start = std::chrono::steady_clock::now();
		ASSERT_TRUE(ServiceUntil([&] {
			auto channels = IntegersOf(actor, kAudioChannels);
			return apple_standin_call_count("AudioQueueNewOutput") >= 3 && !channels.empty() && channels.back() == 2;
		}));
		EXPECT_TRUE(AboutOnceASecond(apple_standin_call_count("AudioQueueNewOutput"), start));
		// The receive thread keeps trying, so a queue may be half made right now; every earlier
		// attempt's queue must be gone.
		int created = apple_standin_queues_created();
		for (int i = 0; i + 1 < created; ++i) {
			AppleStandinQueueInfo info;
			ASSERT_TRUE(apple_standin_queue_info(i, &info));
			EXPECT_TRUE(info.disposed) << "queue " << i << " of a failed attempt";
		}
		EXPECT_LE(apple_standin_queues_live(), 1);
		EXPECT_LT(LiveQueueOn(studio), 0) << "no queue of a failed attempt plays";

		// The call works again: the next audio frame makes a context that plays.
		apple_standin_clear_faults();
		ASSERT_TRUE(ServiceUntil([&] { return LiveQueueOn(studio) >= 0; }));
		EXPECT_TRUE(apple_standin_wait_played(LiveQueueOn(studio), 4, 10000));
		EXPECT_EQ(apple_standin_queues_live(), 1);
		host.DisposeActor(actor);
		EXPECT_EQ(apple_standin_queues_live(), 0);
	}
	ndi_standin_pattern_stop(tone);
}
#endif
