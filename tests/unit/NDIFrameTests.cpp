// Received video frames shared by reference count: each goes back to the NDI library exactly
// once, on the receiver that lent it, at the last Release, as the stand-in's accounting shows.
#include "NDIInput.h"
#include "StandinFrames.h"

#include <gtest/gtest.h>


namespace {

using standin_frames::Receiver;

// Wraps a frame captured on the receiver, checking that the frame keeps the record as captured.
NDIFrame* Capture(Receiver& receiver, int xres = 64, int yres = 36) {
	NDIlib_video_frame_v2_t video;
	if (!receiver.CaptureVideo(&video, xres, yres))
		return nullptr;
	NDIFrame* frame = new NDIFrame(receiver.handle(), video);
	EXPECT_EQ(frame->mRefCount, 1);
	EXPECT_EQ(frame->mRecv, receiver.handle());
	EXPECT_EQ(frame->mFrame.p_data, video.p_data);
	EXPECT_EQ(frame->mFrame.line_stride_in_bytes, video.line_stride_in_bytes);
	EXPECT_EQ(frame->mFrame.timestamp, video.timestamp);
	EXPECT_EQ(frame->mFrame.xres, xres);
	EXPECT_EQ(frame->mFrame.yres, yres);
	EXPECT_EQ(frame->mFrame.FourCC, NDIlib_FourCC_video_type_BGRX);
	return frame;
}

// A client that keeps the newest frame it is offered, as an actor does.
struct Keeper {
	NDIFrame* kept = nullptr;
	int offers = 0;
	void Drop() {
		if (kept)
			kept->Release();
		kept = nullptr;
	}
};
void Keep(void* userData, NDIFrame* frame) {
	Keeper* k = static_cast<Keeper*>(userData);
	++k->offers;
	frame->Retain();
	k->Drop();
	k->kept = frame;
}
void Look(void* userData, NDIFrame*) {
	++static_cast<Keeper*>(userData)->offers;
}

TEST(NDIFrame, AFrameNobodyKeptGoesBackWithTheNotifiersRelease) {
	Receiver receiver("STUDIO (Unkept)");
	const int faults = standin_frames::Faults();
	Keeper a, b;
	NDIInputClient ca{Look, &a}, cb{Look, &b};
	NDIInputClientList clients;
	clients.AddClient(&ca);
	clients.AddClient(&cb);

	NDIFrame* frame = Capture(receiver);
	ASSERT_NE(frame, nullptr);
	clients.NotifyClientsFrameReceived(frame);
	EXPECT_EQ(a.offers, 1);
	EXPECT_EQ(b.offers, 1);
	EXPECT_EQ(receiver.videoLent(), 1) << "lent to the callbacks, not given back by them";
	frame->Release();
	EXPECT_EQ(receiver.videoLent(), 0);
	EXPECT_EQ(receiver.videoFreed(), 1);
	EXPECT_EQ(standin_frames::Faults(), faults);
}

TEST(NDIFrame, GoesBackOnlyAtTheLastHoldersRelease) {
	Receiver receiver("STUDIO (Kept twice)");
	const int faults = standin_frames::Faults();
	Keeper a, b;
	NDIInputClient ca{Keep, &a}, cb{Keep, &b};
	NDIInputClientList clients;
	clients.AddClient(&ca);
	clients.AddClient(&cb);

	NDIFrame* frame = Capture(receiver);
	ASSERT_NE(frame, nullptr);
	clients.NotifyClientsFrameReceived(frame);
	frame->Release(); // the notifier's own reference
	EXPECT_EQ(frame->mRefCount, 2);
	EXPECT_EQ(receiver.videoLent(), 1);
	a.Drop();
	EXPECT_EQ(receiver.videoLent(), 1) << "returned while the second client still holds it";
	EXPECT_EQ(receiver.videoFreed(), 0);
	b.Drop();
	EXPECT_EQ(receiver.videoLent(), 0);
	EXPECT_EQ(receiver.videoFreed(), 1);
	EXPECT_EQ(standin_frames::Faults(), faults) << "a frame was freed twice or on another receiver";
}

TEST(NDIFrame, KeepersReplacingTheirFrameReturnEachOldOneOnItsOwnReceiver) {
	Receiver first("STUDIO (First)"), second("STUDIO (Second)");
	const int faults = standin_frames::Faults();
	Keeper keeper;
	NDIInputClient client{Keep, &keeper};
	NDIInputClientList clients;
	clients.AddClient(&client);

	// Frames from two receivers, offered in turn: only the newest survives each offer.
	for (int i = 0; i < 6; ++i) {
		Receiver& from = i % 2 ? second : first;
		NDIFrame* frame = Capture(from);
		ASSERT_NE(frame, nullptr);
		clients.NotifyClientsFrameReceived(frame);
		frame->Release();
		EXPECT_EQ(first.videoLent() + second.videoLent(), 1) << "after offer " << i;
	}
	EXPECT_EQ(first.videoFreed(), 3);
	EXPECT_EQ(second.videoFreed(), 2);
	keeper.Drop();
	EXPECT_EQ(second.videoFreed(), 3);
	EXPECT_EQ(standin_frames::Faults(), faults) << "a frame was freed twice or on another receiver";
}

} // namespace
