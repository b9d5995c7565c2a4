// Received records that lie: the shared input, fed by a scripted runtime that hands out exactly
// the records a test writes (the one the receive-path fuzzer uses), must return every record
// outside the limits unused and pass every record inside them on. Each record's data ends right
// before an unreadable page, sized by what the record claims, so a read past the claim crashes.
#include "FuzzRuntime.h"

#include "AudioOut.h"
#include "NDIInput.h"
#include "apple_standin_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <thread>

namespace {

NDIInputMgr& Manager() {
	return NDIInputMgr::sNDIInputMgr;
}

fuzzrt::Record Audio(int rate, int channels, int samples, int stride, bool nullData = false) {
	fuzzrt::Record r;
	r.type = NDIlib_frame_type_audio;
	r.audio.sample_rate = rate;
	r.audio.no_channels = channels;
	r.audio.no_samples = samples;
	r.audio.channel_stride_in_bytes = stride;
	r.nullData = nullData;
	return r;
}

fuzzrt::Record Video(NDIlib_FourCC_video_type_e fourcc, int xres, int yres, int stride, bool nullData = false) {
	fuzzrt::Record r;
	r.type = NDIlib_frame_type_video;
	r.video.FourCC = fourcc;
	r.video.xres = xres;
	r.video.yres = yres;
	r.video.line_stride_in_bytes = stride;
	r.nullData = nullData;
	return r;
}

struct Counter {
	int frames = 0;
	NDIlib_video_frame_v2_t last;
	NDIInputClient client{&Counter::Seen, this};
	static void Seen(void* self, NDIFrame* frame) {
		static_cast<Counter*>(self)->frames++;
		static_cast<Counter*>(self)->last = frame->mFrame;
	}
};

class HostileRecords : public ::testing::Test {
protected:
	void SetUp() override {
		apple_standin_set_manual_pump(true);
		apple_standin_reset_queues();
		Manager().PrepareAudioDevices();
		mInput = Manager().AcquireNDIInput(nullptr, fuzzrt::kSourceName, kNDIBandwidthHigh, "Built-in Output");
		ASSERT_NE(mInput, nullptr);
		mInput->mClients.AddClient(&mCounter.client);
		ASSERT_TRUE(fuzzrt::WaitConnected(20000));
	}
	void TearDown() override {
		mInput->mClients.RemoveClient(&mCounter.client);
		mInput->Release();
		EXPECT_TRUE(fuzzrt::WaitClosed(20000)) << "the receive thread shut its receiver and finder";
		const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
		while (NDIInput::sNDIInputThreadsRunning.load() > 0 && std::chrono::steady_clock::now() < deadline)
			std::this_thread::yield(); // its last steps after the runtime let it go
		EXPECT_EQ(NDIInput::sNDIInputThreadsRunning.load(), 0);
		NDIInput::JoinFinishedThreads();
		EXPECT_EQ(fuzzrt::Lent(), 0);
		EXPECT_EQ(apple_standin_queues_live(), 0);
		apple_standin_set_manual_pump(false);
	}
	void Feed(const fuzzrt::Record& record) {
		fuzzrt::Push({record});
		ASSERT_TRUE(fuzzrt::WaitDrained(20000)) << "the receive thread did not come back";
	}
	// Whether the audio record was used: a plain three-channel frame first, then the record,
	// whose channel count (never 3 here) the input takes only when it uses the record.
	bool AudioUsed(const fuzzrt::Record& record) {
		Feed(Audio(48000, 3, 480, 480 * 4));
		EXPECT_EQ(mInput->mAudioChannels.load(), 3);
		Feed(record);
		EXPECT_EQ(fuzzrt::Lent(), 0) << "every audio record goes back at once";
		return mInput->mAudioChannels.load() != 3;
	}
	bool VideoShown(const fuzzrt::Record& record) {
		const int before = mCounter.frames;
		Feed(record);
		mInput->Service();
		EXPECT_EQ(fuzzrt::Lent(), 0) << "shown or not, the frame is back once nobody holds it";
		return mCounter.frames > before;
	}

	NDIInput* mInput = nullptr;
	Counter mCounter;
};

} // namespace

TEST_F(HostileRecords, AudioOutsideTheLimitsGoesBackUnused) {
	struct Case {
		const char* what;
		fuzzrt::Record record;
		bool used;
	};
	const Case cases[] = {
		{"lowest rate", Audio(8000, 2, 80, 320), true},
		{"rate below", Audio(7999, 2, 80, 320), false},
		{"highest rate", Audio(384000, 2, 3840, 3840 * 4), true},
		{"rate above", Audio(384001, 2, 3840, 3840 * 4), false},
		{"no rate", Audio(0, 2, 480, 1920), false},
		{"negative rate", Audio(-48000, 2, 480, 1920), false},
		{"no channels", Audio(48000, 0, 480, 1920), false},
		{"negative channels", Audio(48000, -2, 480, 1920), false},
		{"most channels", Audio(48000, 64, 480, 1920), true},
		{"too many channels", Audio(48000, 65, 480, 1920), false},
		{"no samples", Audio(48000, 2, 0, 1920), false},
		{"negative samples", Audio(48000, 2, -480, 1920), false},
		{"most samples", Audio(384000, 1, 384000, 384000 * 4), true},
		{"too many samples", Audio(384000, 1, 384001, 384001 * 4), false},
		{"stride one sample short", Audio(48000, 2, 480, 480 * 4 - 4), false},
		{"stride not whole samples", Audio(48000, 2, 480, 480 * 4 + 2), false},
		{"negative stride", Audio(48000, 2, 480, -1920), false},
		{"stride of a gigabyte", Audio(48000, 2, 480, 1 << 30), true},
		{"stride of the largest multiple of four", Audio(48000, 2, 480, INT_MAX - 3), true},
		{"no data", Audio(48000, 2, 480, 1920, true), false},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.what);
		EXPECT_EQ(AudioUsed(c.record), c.used);
	}
	// What was used reaches a device: once the input's output is ready (it opens on a thread of its
	// own), its queue plays.
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
	for (;;) {
		Feed(Audio(48000, 3, 480, 480 * 4));
		// A context made for one of the earlier records may be handed over late: only one for this
		// stream stays.
		mInput->mLock.Lock();
		const bool ready = mInput->mAudioContext != nullptr && mInput->mAudioContext->GetBufferList().GetSampleRate() == 48000;
		mInput->mLock.Unlock();
		if (ready)
			break;
		ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the input's output never opened";
	}
	AudioQueueRef queue = apple_standin_queue(apple_standin_queues_created() - 1);
	ASSERT_NE(queue, nullptr);
	EXPECT_EQ(apple_standin_pump(queue, 4), 4);
}

TEST_F(HostileRecords, VideoOutsideTheRulesIsDroppedLikeAnotherFourCC) {
	struct Case {
		const char* what;
		fuzzrt::Record record;
		bool shown;
	};
	const Case cases[] = {
		{"BGRX", Video(NDIlib_FourCC_video_type_BGRX, 64, 16, 256), true},
		{"BGRA with padded rows", Video(NDIlib_FourCC_video_type_BGRA, 64, 16, 320), true},
		{"UYVY", Video(NDIlib_FourCC_video_type_UYVY, 64, 16, 128), false},
		{"RGBA", Video(NDIlib_FourCC_video_type_RGBA, 64, 16, 256), false},
		{"unknown FourCC", Video(NDIlib_FourCC_video_type_e(0x12345678), 64, 16, 256), false},
		{"no width", Video(NDIlib_FourCC_video_type_BGRX, 0, 16, 256), false},
		{"negative width", Video(NDIlib_FourCC_video_type_BGRX, -64, 16, 256), false},
		{"no height", Video(NDIlib_FourCC_video_type_BGRX, 64, 0, 256), false},
		{"negative height", Video(NDIlib_FourCC_video_type_BGRX, 64, -16, 256), false},
		{"row one byte short", Video(NDIlib_FourCC_video_type_BGRX, 64, 16, 255), false},
		{"negative stride", Video(NDIlib_FourCC_video_type_BGRX, 64, 16, -256), false},
		{"width whose rows overflow an int", Video(NDIlib_FourCC_video_type_BGRX, INT_MAX / 2, 1, INT_MAX), false},
		{"no pixels", Video(NDIlib_FourCC_video_type_BGRX, 64, 16, 256, true), false},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.what);
		EXPECT_EQ(VideoShown(c.record), c.shown);
	}
	EXPECT_EQ(mCounter.last.xres, 64) << "the last frame shown is the padded BGRA one";
	EXPECT_EQ(mCounter.last.line_stride_in_bytes, 320);
}

TEST_F(HostileRecords, ResultsThatAreNoFramesChangeNothing) {
	const NDIlib_frame_type_e results[] = {NDIlib_frame_type_none, NDIlib_frame_type_metadata, NDIlib_frame_type_error,
	                                       NDIlib_frame_type_status_change, NDIlib_frame_type_source_change};
	for (NDIlib_frame_type_e type : results) {
		fuzzrt::Record r;
		r.type = type;
		Feed(r);
	}
	mInput->Service();
	EXPECT_EQ(mCounter.frames, 0);
	EXPECT_EQ(mInput->mAudioChannels.load(), 0);
	EXPECT_TRUE(VideoShown(Video(NDIlib_FourCC_video_type_BGRX, 16, 4, 64))) << "and the input still works";
}
