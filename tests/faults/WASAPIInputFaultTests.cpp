// WASAPI failures as the shared input meets them. The loaded DLL keeps its WASAPI seam to itself
// (it exports GetActorInfo only, and wine's endpoints cannot be made to fail), so these drive the
// input directly, in this binary, against the scripted endpoints of tests/winaudio: every set-up
// failure of the context's failure table, and a render call failing mid-stream. Each checks the
// fallback (no context, no audio, the channel count still reported, nothing left behind), that
// the next audio frame after the fault clears plays, and that every COM object is released.
#include "FakeWASAPI.h"
#include "NDIInput.h"
#include "NdiNetwork.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

using namespace fakewasapi;

namespace {

const std::wstring kStudioID = L"{0.0.0.00000000}.{studio}";
const std::string kStudioUTF8 = "{0.0.0.00000000}.{studio}";


NDIInputMgr& Manager() {
	return NDIInputMgr::sNDIInputMgr;
}

CWASAPIAudioContext* ContextOf(NDIInput* input) {
	input->mLock.Lock();
	CWASAPIAudioContext* context = input->mAudioContext;
	input->mLock.Unlock();
	return context;
}

bool Connected(NDIInput* input) {
	return WaitUntil([input] {
		input->mLock.Lock();
		bool made = input->mRecv != nullptr;
		input->mLock.Unlock();
		return made;
	});
}

// Sends audio until the input has handled one more frame than before.
bool DeliverAudio(ndinet::Sender& sender) {
	const int64_t before = ndinet::AudioFreedTotal();
	return WaitUntil([&] {
		if (ndinet::AudioFreedTotal() > before)
			return true;
		sender.Audio(48000, 2, 480, 0.25f);
		return WaitUntil([&] { return ndinet::AudioFreedTotal() > before; }, 200);
	});
}

// Plays buffers until something audible has come out of the device.
bool Audible(FakeSystem& system, ndinet::Sender& sender) {
	return WaitUntil([&] {
		sender.Audio(48000, 2, 480, 0.25f);
		system.Play(system.BufferFrames());
		std::vector<uint8_t> played = system.Played();
		for (size_t i = 0; i + 4 <= played.size(); i += 4) {
			float sample;
			memcpy(&sample, &played[i], 4);
			if (sample > 0.2f)
				return true;
		}
		return false;
	}, 20000);
}

int gEventsLeft;
HANDLE LimitedEvent() {
	return gEventsLeft-- > 0 ? CreateEventA(nullptr, FALSE, FALSE, nullptr) : nullptr;
}
HANDLE NoThread(LPTHREAD_START_ROUTINE, void*) {
	return nullptr;
}

class WASAPIInputFault : public ::testing::Test {
protected:
	void SetUp() override {
		ndinet::Reset();
		Manager().PrepareAudioDevices();
		ASSERT_EQ(NDIInput::sNDIInputThreadsRunning.load(), 0);
	}
	void TearDown() override {
		EXPECT_TRUE(Manager().empty());
		EXPECT_TRUE(WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == 0; }));
		NDIInput::JoinFinishedThreads();
		EXPECT_EQ(ndinet::LiveReceivers(), 0);
		EXPECT_EQ(ndinet::LiveFinders(), 0);
		EXPECT_EQ(ndinet::FramesOutstanding(), 0);
		EXPECT_EQ(ndinet::Faults(), 0);
	}
	// An input on the sender, playing to the studio endpoint (named by its identifier: the
	// manager's device list holds wine's endpoints, not the scripted ones).
	NDIInput* Input(ndinet::Sender& sender) {
		NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "None");
		if (input) {
			input->SetAudioOutputPersistentID(kStudioUTF8);
			EXPECT_TRUE(Connected(input));
		}
		return input;
	}
	static void Finish(NDIInput* input) {
		input->Release();
		EXPECT_TRUE(WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == 0; }));
	}
};

} // namespace

TEST_F(WASAPIInputFault, EverySetUpFailureLeavesNoContextAndIsTriedAgainOnceItClears) {
	struct Case {
		const char* mMessage;
		std::function<void(FakeSystem&)> mArrange;
	};
	const Case cases[] = {
	    {"buffer end event", [](FakeSystem&) { gEventsLeft = 0; CWASAPIAudioContext::sPlatform.CreateAutoResetEvent = LimitedEvent; }},
	    {"processing done event", [](FakeSystem&) { gEventsLeft = 1; CWASAPIAudioContext::sPlatform.CreateAutoResetEvent = LimitedEvent; }},
	    {"device enumerator", [](FakeSystem& s) { s.FailEnumerator(REGDB_E_CLASSNOTREG); }},
	    {"no endpoint at all", [](FakeSystem& s) { s.Find(kStudioID)->mPresent = false; }},
	    {"endpoint activation", [](FakeSystem& s) { s.Find(kStudioID)->mActivate = E_ACCESSDENIED; }},
	    {"mix format", [](FakeSystem& s) { s.Find(kStudioID)->mGetMixFormat = E_FAIL; }},
	    {"buffer size", [](FakeSystem& s) { s.Find(kStudioID)->mGetBufferSize = E_FAIL; }},
	    {"render client", [](FakeSystem& s) { s.Find(kStudioID)->mGetService = E_NOINTERFACE; }},
	    {"event handle", [](FakeSystem& s) { s.Find(kStudioID)->mSetEventHandle = E_INVALIDARG; }},
	    {"render thread", [](FakeSystem&) { CWASAPIAudioContext::sPlatform.CreateRenderThread = NoThread; }},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.mMessage);
		FakeSystem system; // restores the platform operations when it goes
		system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
		system.SetDefault(kStudioID);
		const WASAPIPlatform working = CWASAPIAudioContext::sPlatform;
		c.mArrange(system);

		ndinet::Sender sender("Tone");
		NDIInput* input = Input(sender);
		ASSERT_NE(input, nullptr);
		for (int frame = 0; frame < 3; ++frame) {
			ASSERT_TRUE(DeliverAudio(sender));
			EXPECT_EQ(ContextOf(input), nullptr);
		}
		EXPECT_EQ(input->mAudioChannels.load(), 2) << "counted even without a context";
		// The attempts run on the input's audio thread: between two of them nothing is left.
		EXPECT_TRUE(WaitUntil([&] {
			return system.LiveObjects() == 0 && system.CountLog("Register") == system.CountLog("Unregister");
		})) << "a failed context releases what it had";

		// The fault clears: the next audio frame makes a context, and it plays.
		system.Change([&](FakeSystem& s) {
			CWASAPIAudioContext::sPlatform = working;
			s.FailEnumerator(S_OK);
			Endpoint& studio = *s.Find(kStudioID);
			studio.mPresent = true;
			studio.mActivate = studio.mGetMixFormat = studio.mGetBufferSize = S_OK;
			studio.mGetService = studio.mSetEventHandle = S_OK;
		});
		ASSERT_TRUE(WaitUntil([&] { return DeliverAudio(sender) && ContextOf(input) != nullptr; }));
		ASSERT_TRUE(system.WaitUntil([&] { return system.CountLog("Start") >= 1; }));
		EXPECT_TRUE(Audible(system, sender));
		Finish(input);
		EXPECT_EQ(system.LiveObjects(), 0);
	}
}

TEST_F(WASAPIInputFault, RenderCallFailingMidStreamReopensTheSameContext) {
	FakeSystem system;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
	system.SetDefault(kStudioID);
	ndinet::Sender sender("Tone");
	NDIInput* input = Input(sender);
	ASSERT_NE(input, nullptr);
	ASSERT_TRUE(WaitUntil([&] { return DeliverAudio(sender) && ContextOf(input) != nullptr; }));
	CWASAPIAudioContext* context = ContextOf(input);
	ASSERT_TRUE(system.WaitUntil([&] { return system.CountLog("Start") >= 1; }));
	ASSERT_TRUE(Audible(system, sender));

	// The device goes bad under the stream; audio frames keep coming meanwhile.
	system.FailPadding(AUDCLNT_E_DEVICE_INVALIDATED);
	system.SignalEvent();
	ASSERT_TRUE(system.WaitUntil([&] { return system.CountLog("GetCurrentPadding failed") >= 1; }));
	ASSERT_TRUE(DeliverAudio(sender));
	EXPECT_EQ(ContextOf(input), context) << "the input keeps its context";

	system.FailPadding(S_OK);
	ASSERT_TRUE(WaitUntil([&] {
		system.SignalEvent();
		return system.WaitUntil([&] { return system.CountLog("Start") >= 2; }, std::chrono::milliseconds(200));
	}, 20000)) << "re-initialised and started again";
	const size_t before = system.Played().size();
	ASSERT_TRUE(WaitUntil([&] {
		sender.Audio(48000, 2, 480, 0.25f);
		system.Play(system.BufferFrames());
		return system.Played().size() > before + 4 * 4800 * 8;
	}, 20000));
	EXPECT_EQ(ContextOf(input), context);
	Finish(input);
	EXPECT_EQ(system.LiveObjects(), 0);
}

// A device call that never returns (a wedged driver) must not hold the host at close: the last
// disposal waits for the input's threads for a bounded time only, the NDI library being free by
// then, and lets the thread held in the call go. Once the call returns, that thread ends and
// everything is released.
TEST_F(WASAPIInputFault, ADeviceCallThatNeverReturnsHoldsTheLastDisposalForABoundedTime) {
	struct Case {
		const char* mName;
		GatedCall mCall;
		bool mPlayingFirst; // held while the context is released, rather than while it is made
	};
	const Case cases[] = {{"Initialize", kInitializeCall, false}, {"the audio client's release", kClientReleaseCall, true}};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.mName);
		FakeSystem system;
		system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
		system.SetDefault(kStudioID);
		ndinet::Sender sender("Wedged");
		NDIInput* input = Input(sender);
		ASSERT_NE(input, nullptr);
		if (c.mPlayingFirst) {
			ASSERT_TRUE(WaitUntil([&] { return DeliverAudio(sender) && ContextOf(input) != nullptr; }));
			system.Hold(kStudioID, c.mCall);
		} else {
			system.Hold(kStudioID, c.mCall);
			ASSERT_TRUE(WaitUntil([&] {
				return DeliverAudio(sender) && system.WaitHeld(kStudioID, c.mCall, std::chrono::milliseconds(200));
			}));
		}
		input->Release(); // the last actor's input: the receive thread ends, and with it the audio thread
		ASSERT_TRUE(system.WaitHeld(kStudioID, c.mCall));

		const auto start = std::chrono::steady_clock::now();
		EXPECT_TRUE(NDIInput::EndThreads(std::chrono::milliseconds(1500))) << "the library is free";
		const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
		EXPECT_LT(waited, 5.0) << "waited for the device";
		EXPECT_EQ(ndinet::LiveReceivers(), 0);
		EXPECT_EQ(ndinet::LiveFinders(), 0);

		system.Open(kStudioID, c.mCall);
		EXPECT_TRUE(WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == 0; }))
			<< "the thread let go ends once the call returns";
		EXPECT_TRUE(WaitUntil([&] { return system.LiveObjects() == 0; }));
	}
}
