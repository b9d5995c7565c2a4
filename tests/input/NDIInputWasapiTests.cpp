// The shared input's audio rules on Windows, with the WASAPI context on the real endpoints of a
// private PulseAudio server (with-pulse.sh: "Studio_Speakers", 2 channels at 44100 Hz, and
// "Desk_Six", 6 channels at 48000 Hz).
#include "InputFixture.h"

#include "AudioOut_Win.h"
#include "FakeWASAPI.h"

using namespace inputtest;
using fakewasapi::ComCalls;

namespace {

// Every context's COM calls counted per thread; after each test, once every receive thread has
// ended, they must have paired up on each thread.
class WasapiInputTest : public InputTest {
protected:
	void TearDown() override {
		InputTest::TearDown();
		EXPECT_EQ(mCom.Unpaired(), "") << "the host's thread is " << ComCalls::ThisThread();
	}
	ComCalls mCom;
};

} // namespace

TEST_F(WasapiInputTest, WasapiContextFollowsTheStreamAndTheDevice) {
	std::string desk = Manager().AudioDeviceNameToPersistentID("Desk_Six");
	ASSERT_FALSE(desk.empty()) << "the null sink is an endpoint";
	ndinet::Sender sender("Tone");
	NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Desk_Six");
	ASSERT_TRUE(Connected(input));

	// The context opens on the input's audio thread; frames before it is ready are dropped.
	ASSERT_TRUE(DeliverAudioUntil(sender, 48000, 2, 1024, [&] { return ContextOf(input) != nullptr; }));
	CWASAPIAudioContext* context = ContextOf(input);
	EXPECT_EQ(context->GetPersistentID(), desk);
	EXPECT_EQ(context->GetBufferList().GetSampleRate(), 48000);
	EXPECT_EQ(context->GetBufferList().GetFramesPerBuffer(), 4800);
	EXPECT_EQ(input->mAudioChannels.load(), 2);

	ASSERT_TRUE(DeliverAudioUntil(sender, 44100, 2, 1024, [&] {
		return CurrentContextIs(input, [&](CWASAPIAudioContext* now) {
			return now->GetBufferList().GetFramesPerBuffer() == 4410;
		});
	})) << "a new context for the new rate";

	// Another device: the next frame finds the context incompatible and opens that one.
	input->SetAudioOutputDeviceName("Studio_Speakers");
	const std::string studio = Manager().AudioDeviceNameToPersistentID("Studio_Speakers");
	ASSERT_TRUE(DeliverAudioUntil(sender, 44100, 2, 1024, [&] {
		return CurrentContextIs(input, [&](CWASAPIAudioContext* now) {
			return now->GetPersistentID() == studio;
		});
	}));

	input->SetAudioOutputDeviceName("None");
	ASSERT_TRUE(DeliverAudioUntil(sender, 44100, 6, 441, [&] { return ContextOf(input) == nullptr; }));
	EXPECT_EQ(input->mAudioChannels.load(), 2) << "kept while no device is set";
	input->Release();
}

// The input's audio thread initialised COM for the context it made, so that thread, and only it,
// must uninitialise it: whichever side of the input's end comes last, the host's thread never
// uninitialises COM (it would undo the host's own initialisation) and never waits for the
// render thread.
class WasapiInputEnd : public WasapiInputTest {
protected:
	void CheckContextGoesWithTheReceiveThread(LastSide last) {
		SCOPED_TRACE(Describe(last));
		ndinet::Sender sender("Playing");
		NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Studio_Speakers");
		ASSERT_TRUE(Connected(input));
		ASSERT_TRUE(DeliverAudioUntil(sender, 44100, 2, 1024, [&] { return ContextOf(input) != nullptr; }, 0.5f));
		CWASAPIAudioContext* context = ContextOf(input);
		EXPECT_EQ(context->GetStatus(), 0);
		EXPECT_TRUE(context->IsRunning()) << "the stream plays";

		const uint64_t host = ComCalls::ThisThread();
		ASSERT_TRUE(ReleaseLast(input, last)) << "the order could not be forced";
		ASSERT_TRUE(WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == 0; }));
		EXPECT_EQ(mCom.Uninitializations(host), 0) << "COM uninitialised on the host's thread";
		// TearDown checks that the calls paired up on every thread.
	}
};

TEST_F(WasapiInputEnd, ContextGoesWithTheReceiveThreadWhenTheThreadEndsFirst) {
	CheckContextGoesWithTheReceiveThread(LastSide::HostsRelease);
}

TEST_F(WasapiInputEnd, ContextGoesWithTheReceiveThreadWhenTheHostReleasesFirst) {
	CheckContextGoesWithTheReceiveThread(LastSide::ReceiveThread);
}
