// The host may unload the plug-in file as soon as its last actor is disposed. By then no thread the
// plug-in started may still run: not its receive loop, nor its audio and render threads, nor a
// thread's own clean-up after it. The actors play on an audio device, so that every thread the
// plug-in has is started; after the last disposal the process has the threads it had before.
// The NDI stand-in stretches the very end of every thread that called into it, and now and then
// the device takes its time to close, so that a thread that was let go instead of joined is still
// found; then the file is unloaded, its mapping checked gone, and loaded again.
#include "ActorFixture.h"
#include "WaitUntil.h"

#include <fstream>

using namespace actortest;

namespace {

constexpr int kCycles = 20;
// Long enough that a thread nobody waited for is certainly still in its end when it is looked for.
constexpr int kThreadExitDelayMs = 150;
// Every few cycles the device's close (under Windows the end of every thread that never called the
// runtime) takes this long: longer than the receive thread's stretched end and than the settling
// below together, so that an audio thread let go is still in it.
constexpr int kSlowCloseEvery = 5;
constexpr int kSlowCloseMs = 2500;
// A thread that was joined may still be listed for a moment (the kernel drops it just after), and
// the stand-ins' own threads end right after what they serve.
constexpr int kSettleMs = 1000;

#ifdef _WIN32
const char* const kDevice = "Studio_Speakers"; // the private PulseAudio server's null sink
// The receive, audio and render threads, at least, once the actor plays.
constexpr int kPlayingThreads = 3;
#else
const char* const kDevice = "Built-in Output";
#endif

// Whether the loaded plug-in's binary is mapped into this process.
bool Mapped(const std::string& loadedPath) {
#ifdef _WIN32
	int n = MultiByteToWideChar(CP_UTF8, 0, loadedPath.c_str(), -1, nullptr, 0);
	std::wstring wide(size_t(n > 0 ? n : 1), L'\0');
	MultiByteToWideChar(CP_UTF8, 0, loadedPath.c_str(), -1, &wide[0], n);
	return GetModuleHandleW(wide.c_str()) != nullptr;
#else
	// The bundle's binary lies under the loaded bundle folder (a fresh copy of the build's).
	std::ifstream maps("/proc/self/maps");
	std::string line, prefix = loadedPath + "/";
	while (std::getline(maps, line))
		if (line.find(prefix) != std::string::npos)
			return true;
	return false;
#endif
}

class Unload : public ActorTest {
protected:
	void SetUp() override {
		ndi_standin_set_thread_exit_delay(kThreadExitDelayMs);
		ActorTest::SetUp();
	}
	void TearDown() override {
		ActorTest::TearDown();
#ifdef _WIN32
		ndi_standin_set_other_thread_exit_delay(0);
#else
		apple_standin_set_call_delay("AudioQueueDispose", 0);
#endif
		ndi_standin_set_thread_exit_delay(0);
		ndi_standin_record_threads(false);
	}
	// The recorded threads that have not ended ("" when all have); names the first of them.
	static std::string ThreadsStillRunning() {
		char which[256] = {};
		int n = ndi_standin_threads_not_ended(which, sizeof(which));
		return n == 0 ? std::string() : std::to_string(n) + " thread(s), first: " + which;
	}
	// After a failure, so that the unload that follows does not pull code from under them.
	static void LetThreadsEnd(int threadsBefore) {
		WaitUntil([&] { return ThreadsStillRunning().empty() && ProcessThreads() <= threadsBefore; }, 30000);
	}
};

TEST_F(Unload, NoPluginThreadOutlivesTheLastDisposeAndTheFileUnloadsCleanly) {
	Sender sender("Unload");
	StartTheAudioSystemsThreads();
	int lateCycles = 0;
	std::string firstLate;
	for (int cycle = 0; cycle < kCycles; ++cycle) {
		SCOPED_TRACE("cycle " + std::to_string(cycle));
		if (!host.loaded()) {
			std::string error;
			ASSERT_TRUE(host.Load(VIDRANE_PLUGIN_PATH, &error)) << error;
		}
		const std::string loadedPath = host.pluginPath();
		ASSERT_TRUE(Mapped(loadedPath)) << loadedPath << " is not where the plug-in was mapped from";
		const int slowCloseMs = cycle % kSlowCloseEvery == 0 ? kSlowCloseMs : 0;
#ifdef _WIN32
		ndi_standin_set_other_thread_exit_delay(slowCloseMs); // the device's threads among them
#else
		apple_standin_set_call_delay("AudioQueueDispose", slowCloseMs);
#endif

		const int threadsBefore = ProcessThreads();
		ndi_standin_record_threads(true); // this thread, the host's, is never recorded
		refhost::Actor* first = ActiveActor(sender.fullName(), 1, kDevice);
		refhost::Actor* second = ActiveActor(sender.fullName(), 0, kDevice);
		ASSERT_TRUE(ServiceUntil([&] {
			sender.Video(uint32_t(cycle));
			sender.Audio(48000, 2, 480);
#ifdef _WIN32
			const bool playing = ProcessThreads() >= threadsBefore + kPlayingThreads;
#else
			const bool playing = apple_standin_queues_live() == 1;
#endif
			return playing && !ImagesOf(first).empty() && !ImagesOf(second).empty();
		})) << "frames flow to both actors, and the source plays on the device";

		host.Activate(first, false);
		host.Activate(second, false);
		host.DisposeActor(first);
		host.DisposeActor(second);

		ASSERT_GE(ndi_standin_recorded_threads(), 1) << "the plug-in's receive thread called into the runtime";
		std::string running = ThreadsStillRunning();
#ifndef _WIN32
		// The queue that served the device listeners ends on its own thread once released.
		EXPECT_TRUE(WaitUntil([] { return apple_standin_dispatch_queues_live() == 0; }, 30000));
#endif
		if (running.empty() && !WaitUntil([&] { return ProcessThreads() <= threadsBefore; }, kSettleMs))
			running = std::to_string(ProcessThreads() - threadsBefore) + " thread(s) more than before the actors";
		if (!running.empty()) {
			if (lateCycles++ == 0)
				firstLate = "cycle " + std::to_string(cycle) + ": " + running;
			LetThreadsEnd(threadsBefore);
		}
		EXPECT_EQ(ndi_standin_live_receivers(), 0);
		EXPECT_EQ(ndi_standin_live_finders(), 0);
		EXPECT_EQ(ndi_standin_initialize_depth(), 0);

		host.Unload();
		EXPECT_FALSE(Mapped(loadedPath)) << loadedPath << " is still mapped after the unload";
	}
	EXPECT_EQ(lateCycles, 0) << "cycles of " << kCycles << " in which plug-in threads still ran after the last "
	                         << "DisposeActor; the first time: " << firstLate;
}

#ifndef _WIN32
// A device call that never returns (here the AudioQueue's disposal, held for good) must not hang
// the host at close: the last disposal returns within ten seconds with the NDI library released,
// and the code of the thread left in the call stays mapped after the unload, so that the call's
// return lands in code; then the process goes on. (The WASAPI calls are held likewise at the
// input's level, where their fakes reach.)
TEST_F(Unload, ADeviceThatNeverReturnsDoesNotHoldTheHostAtClose) {
	Sender sender("Stuck at close");
	const std::string loadedPath = host.pluginPath();
	ndi_standin_record_threads(true);
	refhost::Actor* actor = ActiveActor(sender.fullName(), 1, kDevice);
	ASSERT_TRUE(ServiceUntil([&] {
		sender.Video(1);
		sender.Audio(48000, 2, 480);
		return !ImagesOf(actor).empty() && apple_standin_queues_live() == 1;
	})) << "the actor shows and plays";

	ASSERT_TRUE(apple_standin_close_gate("AudioQueueDispose"));
	const auto start = std::chrono::steady_clock::now();
	host.Activate(actor, false);
	host.DisposeActor(actor);
	const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	EXPECT_LT(seconds, 10.0) << "the last disposal waited for the device";
	EXPECT_TRUE(apple_standin_wait_at_gate("AudioQueueDispose", 1, 1000)) << "the disposal is still held";
	EXPECT_EQ(ndi_standin_live_receivers(), 0);
	EXPECT_EQ(ndi_standin_live_finders(), 0);
	EXPECT_EQ(ndi_standin_initialize_depth(), 0) << "the library was released";

	host.Unload();
	EXPECT_TRUE(Mapped(loadedPath)) << "unmapped under a thread that is still to return into it";
	apple_standin_open_gate("AudioQueueDispose");
	EXPECT_TRUE(WaitUntil([] { return apple_standin_queues_live() == 0; }, 30000)) << "the queue went once let go";
	EXPECT_TRUE(WaitUntil([] { return apple_standin_dispatch_queues_live() == 0; }, 30000));
	EXPECT_TRUE(WaitUntil([] { return ThreadsStillRunning().empty(); }, 30000)) << "the thread let go ended";
}
#endif

} // namespace
