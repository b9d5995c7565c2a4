// The WASAPI output context while devices come and go, against scripted endpoints: a device
// that stops signalling, a listed endpoint that cannot be initialised, the default standing in
// for the chosen endpoint and the return to it, a change of the default, and devices that take
// long to open and close.
#include "FakeWASAPI.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <thread>

using namespace fakewasapi;

namespace {

const std::wstring kStudioID = L"{0.0.0.00000000}.{studio}";
const std::wstring kDeskID = L"{0.0.0.00000000}.{desk}";
const std::wstring kThirdID = L"{0.0.0.00000000}.{third}";
const std::string kStudio = "{0.0.0.00000000}.{studio}";
const std::string kDesk = "{0.0.0.00000000}.{desk}";
const std::string kThird = "{0.0.0.00000000}.{third}";

const DWORD kStateActive = 1;   // DEVICE_STATE_ACTIVE
const DWORD kStateDisabled = 2; // DEVICE_STATE_DISABLED

// The context with the single reference the caller holds, and its holder's audio thread, which
// looks at the device whenever the context asks for it (the input asks at every audio frame).
struct Context {
	CWASAPIAudioContext* mContext = nullptr;
	int mStatus = 0;
	std::atomic<bool> mQuit{false};
	std::thread mHolder;

	Context(const std::string& id, int channels = 2, int rate = 48000) {
		mStatus = CWASAPIAudioContext::CreateWASAPIAudioContext(id, channels, rate, rate / 10, mContext);
		if (mContext)
			mHolder = std::thread([this] {
				while (!mQuit) {
					if (mContext->DeviceNeedsLook())
						mContext->LookAtDevice();
					std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the pace of audio frames
				}
			});
	}
	~Context() {
		mQuit = true;
		if (mHolder.joinable())
			mHolder.join();
		if (mContext)
			mContext->Release();
	}
	CWASAPIAudioContext* operator->() { return mContext; }
};

// A tone the fake's recording can tell from silence: 200 ms of it in blocks of a sender's size,
// more than the output waits for before it plays.
void QueueTone(CWASAPIAudioContext* context) {
	std::vector<float> samples(1600 * 2);
	for (size_t i = 0; i < samples.size(); ++i)
		samples[i] = static_cast<float>(0.5 * std::sin(i * 0.05));
	for (int b = 0; b < 6; ++b) {
		CAudioBuffer* block = new CAudioBuffer(2, samples.data(), 2, 1600, true);
		context->GetBufferList().AppendBuffer(block);
		block->Release();
	}
}

// The device plays one whole buffer and the render thread has topped it up again.
bool PlayBuffer(FakeSystem& system) {
	const size_t releases = system.Releases().size();
	system.Play(system.BufferFrames());
	return system.WaitUntil([&] { return system.mReleases.size() > releases && system.mPadding == system.mBufferFrames; });
}

// Two top-ups: the second comes from a pass that began after the first, so every request made
// before the call has been acted on by the render thread by then.
bool CaughtUp(FakeSystem& system) {
	return PlayBuffer(system) && PlayBuffer(system);
}

// Tries of the chosen endpoint logged from `from` on that came sooner than the 5 s retry after
// the one before them.
size_t EarlyTries(FakeSystem& system, const std::string& id, size_t from) {
	const auto log = system.TimedLog();
	size_t early = 0;
	bool seen = false;
	std::chrono::steady_clock::time_point previous;
	for (size_t i = 0; i < log.size(); ++i) {
		if (log[i].first != "GetDevice " + id)
			continue;
		if (i >= from && seen && log[i].second - previous < std::chrono::milliseconds(4500))
			++early;
		seen = true;
		previous = log[i].second;
	}
	return early;
}

// Whether the last whole buffer released was sound rather than silence.
bool LastBufferSounds(FakeSystem& system) {
	const std::vector<BufferRelease> releases = system.Releases();
	const std::vector<uint8_t> played = system.Played();
	if (releases.empty() || (releases.back().mFlags & AUDCLNT_BUFFERFLAGS_SILENT))
		return false;
	const size_t bytes = static_cast<size_t>(releases.back().mFrames) * 8;
	for (size_t i = played.size() - bytes; i < played.size(); ++i)
		if (played[i] != 0)
			return true;
	return false;
}

// Until the context plays on the endpoint, topped up once there.
bool WaitPlaysOn(FakeSystem& system, Context& context, const std::string& id,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
	return system.WaitUntil([&] {
		return context->GetDeviceInfo().mDeviceID == id && system.mStreamEndpoint == std::wstring(id.begin(), id.end())
		       && system.mStreamStarted;
	}, timeout);
}

size_t Count(const std::vector<std::string>& log, const std::string& entry, size_t from = 0, size_t to = SIZE_MAX) {
	size_t count = 0;
	for (size_t i = from; i < log.size() && i < to; ++i)
		count += log[i] == entry;
	return count;
}

size_t IndexOf(const std::vector<std::string>& log, const std::string& entry, size_t from = 0) {
	for (size_t i = from; i < log.size(); ++i)
		if (log[i] == entry)
			return i;
	return log.size();
}

// The stage of most tests: the studio (the default) and the desk, both 2 channels at 48000 Hz,
// with a third such endpoint, or the desk away, when asked.
enum Stage { kWithThird = 1, kDeskAway = 2 };
void Endpoints(FakeSystem& system, int stage = 0) {
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
	system.AddEndpoint(kDeskID, L"Desk", MakeFormat(true, 32, true, 2, 48000));
	if (stage & kWithThird)
		system.AddEndpoint(kThirdID, L"Third", MakeFormat(true, 32, true, 2, 48000));
	if (stage & kDeskAway)
		system.Find(kDeskID)->mPresent = false;
	system.SetDefault(kStudioID);
}

// The context was made and plays on the endpoint.
::testing::AssertionResult Opened(FakeSystem& system, Context& context, const std::string& id) {
	if (context.mStatus != 0)
		return ::testing::AssertionFailure() << "the context was not made: " << context.mStatus;
	if (!WaitPlaysOn(system, context, id))
		return ::testing::AssertionFailure() << "it plays on " << context->GetDeviceInfo().mDeviceID << ", not " << id;
	return ::testing::AssertionSuccess();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// A device that stops signalling

TEST(WASAPIMissedEvents, AnEndpointRemovedWithoutAWordIsLeftForTheDefault) {
	FakeSystem system;
	Endpoints(system);
	Context context(kDesk);
	ASSERT_TRUE(Opened(system, context, kDesk));
	EXPECT_EQ(0, context->GetUnderrunCount());

	// Gone: its stream signals no more, and nothing else tells the context.
	system.Change([](FakeSystem& s) { s.Find(kDeskID)->mPresent = false; });
	ASSERT_TRUE(WaitPlaysOn(system, context, kStudio)) << "the render thread still waits for the removed device";
	EXPECT_GE(context->GetUnderrunCount(), 1);
	QueueTone(context.mContext);
	ASSERT_TRUE(PlayBuffer(system));
	EXPECT_TRUE(LastBufferSounds(system));
	EXPECT_EQ(kDesk, context->GetPersistentID());
}

TEST(WASAPIMissedEvents, AStalledDeviceIsOpenedAgainAndAnEmptyBufferIsAnUnderrun) {
	FakeSystem system;
	Endpoints(system);
	Context context(kDesk);
	ASSERT_TRUE(Opened(system, context, kDesk));

	// A top-up that finds the device played out is an underrun; one that finds it partly
	// played is not.
	const int before = context->GetUnderrunCount();
	system.Play(480);
	ASSERT_TRUE(system.WaitUntil([&] { return system.mPadding == system.mBufferFrames; }));
	EXPECT_EQ(before, context->GetUnderrunCount());
	ASSERT_TRUE(PlayBuffer(system));
	EXPECT_EQ(before + 1, context->GetUnderrunCount());

	// Its calls still succeed but its events stop: a missed event is a lost stream.
	const size_t starts = system.CountLog("Start");
	system.Change([](FakeSystem& s) { s.Find(kDeskID)->mSignals = false; });
	ASSERT_TRUE(system.WaitUntil([&] { return system.CountLog("Start") > starts; }));
	EXPECT_EQ(kDesk, context->GetDeviceInfo().mDeviceID);
	EXPECT_GE(context->GetUnderrunCount(), before + 2);

	system.Change([](FakeSystem& s) { s.Find(kDeskID)->mSignals = true; });
	ASSERT_TRUE(WaitPlaysOn(system, context, kDesk));
	QueueTone(context.mContext);
	ASSERT_TRUE(PlayBuffer(system));
	EXPECT_TRUE(LastBufferSounds(system));
}

// ---------------------------------------------------------------------------------------------
// A listed endpoint that cannot be opened

TEST(WASAPIFallback, AListedEndpointThatCannotBeInitialisedGivesWayToTheDefault) {
	struct Case {
		const char* mName;
		std::function<void(Endpoint&)> mBreak;
	};
	const Case cases[] = {
	    {"Initialize refused", [](Endpoint& e) { e.mAccepts = [](const WAVEFORMATEX*) { return false; }; }},
	    {"no mix format", [](Endpoint& e) { e.mGetMixFormat = E_FAIL; }},
	    {"no render client", [](Endpoint& e) { e.mGetService = E_NOINTERFACE; }},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.mName);
		FakeSystem system;
		Endpoints(system);
		c.mBreak(*system.Find(kDeskID));
		{
			Context context(kDesk);
			ASSERT_EQ(0, context.mStatus);
			EXPECT_EQ(kStudio, context->GetDeviceInfo().mDeviceID);
			EXPECT_EQ("Studio", context->GetDeviceInfo().mDeviceName);
			std::string file, message;
			int line = 0;
			context->GetErrorRecord(file, line, message);
			EXPECT_EQ("", message);
			const std::vector<std::string> log = system.Log();
			EXPECT_LT(IndexOf(log, "Activate " + kDesk), IndexOf(log, "GetDefaultAudioEndpoint"));
			// Nothing of the desk is kept: enumerator, device, audio client, render client.
			EXPECT_EQ(4, system.LiveObjects());
			ASSERT_TRUE(WaitPlaysOn(system, context, kStudio));
		}
		EXPECT_EQ(0, system.LiveObjects());
	}
}

TEST(WASAPIFallback, AStreamLostOnAnEndpointThatNoLongerInitialisesMovesToTheDefault) {
	FakeSystem system;
	Endpoints(system);
	Context context(kDesk);
	ASSERT_TRUE(Opened(system, context, kDesk));

	// Still listed, but its stream fails and a new one cannot be made.
	system.Change([](FakeSystem& s) {
		s.Find(kDeskID)->mAccepts = [](const WAVEFORMATEX*) { return false; };
		s.mPaddingResult = AUDCLNT_E_DEVICE_INVALIDATED;
	});
	system.SignalEvent();
	ASSERT_TRUE(WaitPlaysOn(system, context, kStudio));
	QueueTone(context.mContext);
	ASSERT_TRUE(PlayBuffer(system));
	EXPECT_TRUE(LastBufferSounds(system));
}

// ---------------------------------------------------------------------------------------------
// Back to the chosen endpoint

TEST(WASAPIReturn, TheChosenEndpointIsTriedEveryFiveSecondsWhileTheDefaultPlaysOn) {
	FakeSystem system;
	Endpoints(system);
	system.Find(kDeskID)->mAccepts = [](const WAVEFORMATEX*) { return false; };
	Context context(kDesk);
	ASSERT_TRUE(Opened(system, context, kStudio));
	const size_t stops = system.CountLog("Stop");

	// The next try fails too, no sooner than 5 s after the first (as the fake's log timed them);
	// the default is not disturbed by it.
	ASSERT_TRUE(system.WaitUntil([&] { return system.CountLog("Activate " + kDesk) >= 2; }, std::chrono::seconds(20)));
	EXPECT_EQ(0u, EarlyTries(system, kDesk, 0));
	EXPECT_EQ(stops, system.CountLog("Stop"));
	EXPECT_EQ(kStudio, context->GetDeviceInfo().mDeviceID);
	QueueTone(context.mContext);
	ASSERT_TRUE(PlayBuffer(system));
	EXPECT_TRUE(LastBufferSounds(system));

	// Once it can be opened, the stream moves there at the next try, without any notification.
	system.Change([](FakeSystem& s) { s.Find(kDeskID)->mAccepts = nullptr; });
	ASSERT_TRUE(WaitPlaysOn(system, context, kDesk, std::chrono::seconds(20)));
	EXPECT_EQ("Desk", context->GetDeviceInfo().mDeviceName);
	QueueTone(context.mContext);
	ASSERT_TRUE(PlayBuffer(system));
	EXPECT_TRUE(LastBufferSounds(system));
	// The default's stream was stopped and released: enumerator, device, audio and render client.
	EXPECT_EQ(4, system.LiveObjects());
}

TEST(WASAPIReturn, ANotificationThatTheChosenEndpointIsBackReturnsAtOnce) {
	struct Case {
		const char* mName;
		std::function<bool(FakeSystem&)> mNotify;
	};
	const Case cases[] = {
	    {"state active", [](FakeSystem& s) { return s.NotifyStateChanged(kDeskID, kStateActive); }},
	    {"added", [](FakeSystem& s) { return s.NotifyAdded(kDeskID); }},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.mName);
		FakeSystem system;
		Endpoints(system, kWithThird | kDeskAway);
		Context context(kDesk);
		ASSERT_TRUE(Opened(system, context, kStudio));

		// News of other endpoints, or of the chosen one not being usable, changes nothing (only
		// the 5 s retry may try it meanwhile).
		const size_t from = system.Log().size();
		EXPECT_TRUE(system.NotifyStateChanged(kDeskID, kStateDisabled));
		EXPECT_TRUE(system.NotifyStateChanged(kThirdID, kStateActive));
		EXPECT_TRUE(system.NotifyAdded(kThirdID));
		EXPECT_TRUE(system.NotifyRemoved(kDeskID));
		ASSERT_TRUE(CaughtUp(system));
		EXPECT_EQ(0u, EarlyTries(system, kDesk, from));

		// The chosen endpoint is back: it is tried at once, not at the next retry.
		system.Change([](FakeSystem& s) { s.Find(kDeskID)->mPresent = true; });
		const size_t notified = system.Log().size();
		EXPECT_TRUE(c.mNotify(system));
		EXPECT_TRUE(system.WaitUntil([&] { return IndexOf(system.Log(), "GetDevice " + kDesk, notified) < system.Log().size(); },
		                             std::chrono::seconds(2)));
		ASSERT_TRUE(WaitPlaysOn(system, context, kDesk));
		QueueTone(context.mContext);
		ASSERT_TRUE(PlayBuffer(system));
		EXPECT_TRUE(LastBufferSounds(system));
	}
}

// The chosen endpoint is opened by the holder's audio thread, never the render thread: while it
// takes long to open, the default it stands in for plays on without running dry. A device that
// plays in real time runs dry within its 100 ms buffer when the render thread is held up; a take
// is repeated only while the render thread starved without that (a busy machine), so a fault
// that holds the render thread fails every take.
TEST(WASAPIReturn, TheDefaultPlaysOnWhileTheChosenEndpointTakesHalfASecondToOpen) {
	bool clean = false;
	for (int take = 0; take < 3 && !clean; ++take) {
		SCOPED_TRACE("take " + std::to_string(take));
		FakeSystem system;
		Endpoints(system, kDeskAway);
		system.PlayInRealTime(true);
		Context context(kDesk);
		ASSERT_TRUE(Opened(system, context, kStudio));
		system.Delay(kDeskID, kInitializeCall, std::chrono::milliseconds(500));
		const int before = context->GetUnderrunCount();
		const uint64_t dryBefore = system.DryFrames();
		system.Change([](FakeSystem& s) { s.Find(kDeskID)->mPresent = true; });
		EXPECT_TRUE(system.NotifyAdded(kDeskID));
		ASSERT_TRUE(WaitPlaysOn(system, context, kDesk));
		clean = context->GetUnderrunCount() == before && system.DryFrames() == dryBefore;
	}
	EXPECT_TRUE(clean) << "the default ran dry in every take while the chosen endpoint opened";
}

// ---------------------------------------------------------------------------------------------
// A change of the default render endpoint

// Which context follows the default render endpoint when it changes to the third: one on the
// default, and the default standing in for a chosen endpoint that is away; one on its chosen
// endpoint stays. Other roles and the capture side are never the default a context plays on.
TEST(WASAPIDefaultChange, TheContextsOnTheDefaultFollowItAndOneOnItsChosenEndpointStays) {
	struct Case {
		const char* mName;
		std::string mChosen;
		int mStage;
		std::string mStartsOn;
		std::string mEndsOn;
	};
	const Case cases[] = {
	    {"on the default", "", kWithThird, kStudio, kThird},
	    {"the default standing in for the chosen endpoint", kDesk, kWithThird | kDeskAway, kStudio, kThird},
	    {"on the chosen endpoint", kDesk, kWithThird, kDesk, kDesk},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.mName);
		FakeSystem system;
		Endpoints(system, c.mStage);
		system.Delay(kThirdID, kInitializeCall, std::chrono::milliseconds(300)); // opening takes a while, as it does
		Context context(c.mChosen);
		ASSERT_TRUE(Opened(system, context, c.mStartsOn));

		const size_t from = system.Log().size();
		system.Change([](FakeSystem& s) { s.SetDefault(kThirdID); });
		EXPECT_TRUE(system.NotifyDefaultChanged(eCapture, eConsole, kThirdID));
		EXPECT_TRUE(system.NotifyDefaultChanged(eRender, eCommunications, kThirdID));
		ASSERT_TRUE(CaughtUp(system));
		EXPECT_EQ(0u, Count(system.Log(), "GetDefaultAudioEndpoint", from)) << "another role's default";

		EXPECT_TRUE(system.NotifyDefaultChanged(eRender, eConsole, kThirdID));
		ASSERT_TRUE(WaitPlaysOn(system, context, c.mEndsOn));
		ASSERT_TRUE(CaughtUp(system));
		if (c.mEndsOn == c.mStartsOn) {
			EXPECT_EQ(0u, Count(system.Log(), "GetDefaultAudioEndpoint", from));
			EXPECT_EQ(0u, Count(system.Log(), "Stop", from));
		}
		QueueTone(context.mContext);
		ASSERT_TRUE(PlayBuffer(system));
		EXPECT_TRUE(LastBufferSounds(system));
		EXPECT_EQ(c.mChosen, context->GetPersistentID());

		if (c.mStage & kDeskAway) { // the chosen endpoint is still returned to when it comes back
			system.Change([](FakeSystem& s) { s.Find(kDeskID)->mPresent = true; });
			EXPECT_TRUE(system.NotifyAdded(kDeskID));
			EXPECT_TRUE(WaitPlaysOn(system, context, kDesk));
		}
	}
}

// ---------------------------------------------------------------------------------------------
// Devices that take long to open and to close

namespace {
// Opens the gates when a test ends early, before its context goes: the teardown would wait at
// them for ever.
struct GatesOpenedAtEnd {
	FakeSystem& mSystem;
	~GatesOpenedAtEnd() { mSystem.OpenEveryGate(); }
};

// What the owner's threads and the system's notification thread may do at any time; each must
// return while the render thread or the constructor waits on a device.
void ExpectNothingWaits(FakeSystem& system, Context& context, const std::string& playing) {
	EXPECT_TRUE(system.NotifyStateChanged(kThirdID, kStateActive));
	EXPECT_TRUE(system.NotifyAdded(kThirdID));
	EXPECT_TRUE(system.NotifyRemoved(kThirdID));
	EXPECT_TRUE(system.NotifyDefaultChanged(eRender, eConsole, kStudioID));
	EXPECT_TRUE(system.NotifyStateChanged(kDeskID, kStateActive));
	EXPECT_EQ(playing, context->GetDeviceInfo().mDeviceID);
	std::string file, message;
	int line = 0;
	context->GetErrorRecord(file, line, message);
	EXPECT_TRUE(context->IsRunning());
	QueueTone(context.mContext);
}
} // namespace

TEST(WASAPISlowDevices, ASlowOpenAtConstructionHoldsUpNoNotification) {
	FakeSystem system;
	Endpoints(system);
	system.Hold(kStudioID, kInitializeCall);
	// The owner's thread makes the context and, COM being per thread, also ends it.
	int status = 1;
	std::thread owner([&] {
		CWASAPIAudioContext* made = nullptr;
		status = CWASAPIAudioContext::CreateWASAPIAudioContext("", 2, 48000, 4800, made);
		if (made)
			made->Release();
	});
	EXPECT_TRUE(system.WaitHeld(kStudioID, kInitializeCall));
	EXPECT_EQ(1u, system.RegisteredClients());
	EXPECT_TRUE(system.NotifyStateChanged(kDeskID, kStateActive));
	EXPECT_TRUE(system.NotifyAdded(kDeskID));
	EXPECT_TRUE(system.NotifyRemoved(kDeskID));
	EXPECT_TRUE(system.NotifyDefaultChanged(eRender, eConsole, kDeskID));
	system.Open(kStudioID, kInitializeCall);
	owner.join();
	EXPECT_EQ(0, status);
}

TEST(WASAPISlowDevices, MovingBetweenSlowDevicesHoldsUpNeitherTheNotificationsNorTheOwner) {
	FakeSystem system;
	Endpoints(system, kWithThird | kDeskAway);
	Context context(kDesk);
	ASSERT_TRUE(Opened(system, context, kStudio));

	// The desk comes back and takes long to open, and the studio long to close.
	GatesOpenedAtEnd gates{system};
	system.Hold(kDeskID, kInitializeCall);
	system.Hold(kStudioID, kClientReleaseCall);
	system.Change([](FakeSystem& s) { s.Find(kDeskID)->mPresent = true; });
	EXPECT_TRUE(system.NotifyAdded(kDeskID));
	ASSERT_TRUE(system.WaitHeld(kDeskID, kInitializeCall));
	ExpectNothingWaits(system, context, kStudio);

	system.Open(kDeskID, kInitializeCall);
	ASSERT_TRUE(system.WaitHeld(kStudioID, kClientReleaseCall));
	ExpectNothingWaits(system, context, kStudio);

	system.Open(kStudioID, kClientReleaseCall);
	ASSERT_TRUE(WaitPlaysOn(system, context, kDesk));
	ASSERT_TRUE(PlayBuffer(system));
	EXPECT_TRUE(LastBufferSounds(system));
}

// ---------------------------------------------------------------------------------------------
// Notifications at the close

// The system may be calling the context's client as the context closes, and have more queued for
// it: the close waits for the callback under way, and what is queued is dropped, so that no
// callback runs once the context and its client are gone.
TEST(WASAPIClose, ACallbackUnderWayEndsBeforeTheCloseAndQueuedOnesAreDropped) {
	FakeSystem system;
	Endpoints(system);
	GatesOpenedAtEnd gates{system};
	std::promise<bool> started;
	std::promise<void> closeNow;
	std::atomic<bool> closed{false};
	std::thread owner([&] { // COM being per thread, the owner makes and ends the context
		{
			Context context(kDesk);
			started.set_value(context.mStatus == 0 && WaitPlaysOn(system, context, kDesk));
			closeNow.get_future().wait();
		}
		closed = true;
		system.Record("closed");
	});
	if (!started.get_future().get()) {
		closeNow.set_value();
		owner.join();
		FAIL() << "the context did not play on the desk";
	}

	system.HoldCallbacks(true);
	std::thread underWay([&] { system.NotifyDefaultChanged(eRender, eConsole, kDeskID); });
	const bool held = system.WaitCallbackHeld();
	std::thread queued([&] { system.NotifyAdded(kThirdID); });
	const bool queuedSeen = system.WaitUntil([&] { return system.CountLog("notify added " + kThird) == 1; });
	closeNow.set_value();
	const bool closeWaited =
		system.WaitUntil([&] { return closed.load() || system.mUnregistrationsWaiting > 0; }) && !closed.load();
	system.HoldCallbacks(false);
	owner.join();
	underWay.join();
	queued.join();
	EXPECT_TRUE(held);
	EXPECT_TRUE(queuedSeen);
	EXPECT_TRUE(closeWaited) << "the close went on while a callback was under way";
	EXPECT_EQ(1u, system.CountLog("dropped added " + kThird)) << "the queued callback was not dropped";
	EXPECT_EQ(0u, system.RegisteredClients());
}
