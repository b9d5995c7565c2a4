// The shared input and its manager on the NDI stand-in's network: a fixture that checks, after
// every test, that each input ended and gave everything back to the library.
#ifndef INPUT_FIXTURE_H
#define INPUT_FIXTURE_H

#include "NDIInput.h"
#include "NdiNetwork.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

namespace inputtest {

using Clock = std::chrono::steady_clock;

// Waits for a condition the receive thread brings about; generous, never a fixed sleep.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
	auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
	while (!condition()) {
		if (Clock::now() > deadline)
			return false;
		std::this_thread::yield();
	}
	return true;
}

// A client that keeps every frame it is offered, like an actor that never shows them.
struct RecordingClient {
	NDIInputClient client{&RecordingClient::Callback, this};
	std::vector<NDIFrame*> frames;
	static void Callback(void* self, NDIFrame* frame) {
		frame->Retain();
		static_cast<RecordingClient*>(self)->frames.push_back(frame);
	}
	uint32_t Tag(size_t i) const {
		uint32_t tag;
		memcpy(&tag, frames.at(i)->mFrame.p_data, 4);
		return tag & 0x00FFFFFF; // BGRX: the library sets the fourth byte
	}
	void ReleaseAll() {
		for (NDIFrame* f : frames)
			f->Release();
		frames.clear();
	}
};

NDIInputMgr& Manager() {
	return NDIInputMgr::sNDIInputMgr;
}

class InputTest : public ::testing::Test {
protected:
	void SetUp() override {
		ndinet::Reset();
		Manager().PrepareAudioDevices();
		ASSERT_EQ(NDIInput::sNDIInputThreadsRunning.load(), 0);
		ASSERT_TRUE(Manager().empty());
	}
	void TearDown() override {
		// Every input released by its test: its thread ends, and with it every receiver and frame.
		EXPECT_TRUE(Manager().empty());
		EXPECT_TRUE(WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == 0; }))
			<< "receive threads still running";
		NDIInput::JoinFinishedThreads();
		EXPECT_EQ(ndinet::LiveReceivers(), 0);
		EXPECT_EQ(ndinet::LiveFinders(), 0);
		EXPECT_EQ(ndinet::FramesOutstanding(), 0);
		EXPECT_EQ(ndinet::Faults(), 0);
	}

	// Waits until the input has a receiver and every receiver made so far has been connected.
	static bool Connected(NDIInput* input) {
		return WaitUntil([input] {
			input->mLock.Lock();
			bool made = input->mRecv != nullptr;
			input->mLock.Unlock();
			return made && ndinet::CallCount("NDIlib_recv_connect") >= ndinet::RecvCreateCalls();
		});
	}
	// The tag of the frame in the input's slot, or -1 when the slot is empty.
	static int64_t SlotTag(NDIInput* input) {
		input->mLock.Lock();
		int64_t tag = -1;
		if (input->mHaveFrame) {
			uint32_t pixel;
			memcpy(&pixel, input->mFrame.p_data, 4);
			tag = pixel & 0x00FFFFFF;
		}
		input->mLock.Unlock();
		return tag;
	}
	// Sends audio frames until the input has handled one more than before.
	static bool DeliverAudio(ndinet::Sender& sender, int rate, int channels, int samples, float base = 0.0f) {
		int64_t before = ndinet::AudioFreedTotal();
		return WaitUntil([&] {
			if (ndinet::AudioFreedTotal() > before)
				return true;
			sender.Audio(rate, channels, samples, base);
			return WaitUntil([&] { return ndinet::AudioFreedTotal() > before; }, 200);
		});
	}
	// Sends video until the slot holds a frame (the receiver may connect after the first send).
	static bool DeliverVideo(ndinet::Sender& sender, NDIInput* input, uint32_t tag) {
		return WaitUntil([&] {
			input->mLock.Lock();
			bool have = input->mHaveFrame;
			input->mLock.Unlock();
			if (!have)
				sender.Video(tag);
			return have;
		});
	}
};

} // namespace inputtest

#endif
