// The shared input and its manager on the NDI stand-in's network: a fixture that checks, after
// every test, that each input ended and gave everything back to the library.
#ifndef INPUT_FIXTURE_H
#define INPUT_FIXTURE_H

#include "NDIInput.h"
#include "NdiNetwork.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

namespace inputtest {

using Clock = std::chrono::steady_clock;


// The audio context the input holds now, read under its lock.
inline NDIAudioContext* ContextOf(NDIInput* input) {
	input->mLock.Lock();
	NDIAudioContext* context = input->mAudioContext;
	input->mLock.Unlock();
	return context;
}

// A look at the current context under the lock the audio thread swaps it under: the thread may
// replace and release it at any moment outside it.
inline bool CurrentContextIs(NDIInput* input, const std::function<bool(NDIAudioContext*)>& check) {
	input->mLock.Lock();
	const bool is = input->mAudioContext && check(input->mAudioContext);
	input->mLock.Unlock();
	return is;
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

// Which side of an input's end comes last, and so frees it: the receive thread, or the host's
// thread making the last release.
enum class LastSide {
	// The release waits, after stopping the thread and before its own hand-over, until the
	// thread has finished its side: the input is freed on the releasing (host's) thread.
	HostsRelease,
	// The releasing thread holds the input's lock, which the receive thread takes on its way
	// out, until the release has returned: the receive thread frees the input.
	ReceiveThread,
};

inline const char* Describe(LastSide last) {
	return last == LastSide::HostsRelease ? "the thread ends first, the host's release frees the input"
	                                      : "the host releases first, the thread frees the input";
}

namespace detail {
int gThreadsWithoutInput; // sNDIInputThreadsRunning once the released input's thread has ended
bool gThreadEnded;

void WaitForTheThreadsEnd(NDIInput*) {
	gThreadEnded = WaitUntil([] { return NDIInput::sNDIInputThreadsRunning.load() == gThreadsWithoutInput; });
}
} // namespace detail

// Drops the last reference (the input's thread running) with the order forced; false when the
// order could not be had. The release seam is as before when this returns.
inline bool ReleaseLast(NDIInput* input, LastSide last) {
	auto saved = NDIInput::sBeforeReleaseHandOver;
	detail::gThreadsWithoutInput = NDIInput::sNDIInputThreadsRunning.load() - 1;
	bool forced;
	if (last == LastSide::HostsRelease) {
		detail::gThreadEnded = false;
		NDIInput::sBeforeReleaseHandOver = detail::WaitForTheThreadsEnd;
		input->Release();
		forced = detail::gThreadEnded;
	} else {
		// Taken while the thread still runs its loop: it cannot reach its end before the unlock,
		// so the input outlives the release.
		input->mLock.Lock();
		input->Release();
		forced = NDIInput::sNDIInputThreadsRunning.load() > detail::gThreadsWithoutInput;
		input->mLock.Unlock();
	}
	NDIInput::sBeforeReleaseHandOver = saved;
	return forced;
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
	// Sends audio frames, one at a time, until the condition holds. The input opens its output on
	// a thread of its own and drops the frames that come before it is ready.
	static bool DeliverAudioUntil(ndinet::Sender& sender, int rate, int channels, int samples,
	                              const std::function<bool()>& condition, float base = 0.0f) {
		return WaitUntil([&] { return DeliverAudio(sender, rate, channels, samples, base) && condition(); });
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
