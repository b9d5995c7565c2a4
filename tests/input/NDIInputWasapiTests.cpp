// The shared input's audio rules on Windows, with the WASAPI context on the real endpoints of a
// private PulseAudio server (with-pulse.sh: "Studio_Speakers", 2 channels at 44100 Hz, and
// "Desk_Six", 6 channels at 48000 Hz).
#include "InputFixture.h"

#include "AudioOut_Win.h"

using namespace inputtest;

namespace {

CWASAPIAudioContext* ContextOf(NDIInput* input) {
	input->mLock.Lock();
	CWASAPIAudioContext* context = input->mAudioContext;
	input->mLock.Unlock();
	return context;
}

} // namespace

TEST_F(InputTest, WasapiContextFollowsTheStreamAndTheDevice) {
	std::string desk = Manager().AudioDeviceNameToPersistentID("Desk_Six");
	ASSERT_FALSE(desk.empty()) << "the null sink is an endpoint";
	ndinet::Sender sender("Tone");
	NDIInput* input = Manager().AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Desk_Six");
	ASSERT_TRUE(Connected(input));

	ASSERT_TRUE(DeliverAudio(sender, 48000, 2, 1024));
	CWASAPIAudioContext* context = ContextOf(input);
	ASSERT_NE(context, nullptr);
	EXPECT_EQ(context->GetPersistentID(), desk);
	EXPECT_EQ(context->GetBufferList().GetSampleRate(), 48000);
	EXPECT_EQ(context->GetBufferList().GetFramesPerBuffer(), 4800);
	EXPECT_EQ(input->mAudioChannels.load(), 2);

	ASSERT_TRUE(DeliverAudio(sender, 44100, 2, 1024));
	ASSERT_NE(ContextOf(input), nullptr);
	EXPECT_EQ(ContextOf(input)->GetBufferList().GetFramesPerBuffer(), 4410) << "a new context for the new rate";

	// Another device: the next frame finds the context incompatible and opens that one.
	input->SetAudioOutputDeviceName("Studio_Speakers");
	ASSERT_TRUE(DeliverAudio(sender, 44100, 2, 1024));
	ASSERT_NE(ContextOf(input), nullptr);
	EXPECT_EQ(ContextOf(input)->GetPersistentID(), Manager().AudioDeviceNameToPersistentID("Studio_Speakers"));

	input->SetAudioOutputDeviceName("None");
	ASSERT_TRUE(DeliverAudio(sender, 44100, 6, 441));
	EXPECT_EQ(ContextOf(input), nullptr);
	EXPECT_EQ(input->mAudioChannels.load(), 2) << "kept while no device is set";
	input->Release();
}
