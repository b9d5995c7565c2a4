// The NDI runtime stand-in across threads: real waits that end early on a change and last the
// full time-out without one, a sender and two capturing receivers with frees on a third thread,
// the test-pattern source read back from what receivers get, and the threads that called in,
// recorded until their very end.
#include "StandinFixture.h"
#include "WaitUntil.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Until the function's count reaches `calls`: a thread that is counted is past the lock and
// waiting, because the stand-in counts under the lock it releases only to wait.
bool WaitForCalls(const char* function, int calls) {
	return WaitUntil([&] { return ndi_standin_call_count(function) >= calls; }, 30000);
}

class Waits : public StandinTest {};

TEST_F(Waits, WaitForSourcesReturnsAsSoonAsTheListChanges) {
	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	bool changed = false;
	Clock::duration waited{};
	std::thread waiter([&] {
		Clock::time_point start = Clock::now();
		changed = NDIlib_find_wait_for_sources(finder, 120000);
		waited = Clock::now() - start;
	});
	ASSERT_TRUE(WaitForCalls("NDIlib_find_wait_for_sources", 1));
	NDIlib_send_instance_t sender = MakeSender("Appears");
	waiter.join();
	EXPECT_TRUE(changed);
	EXPECT_LT(waited, std::chrono::seconds(60)) << "woken by the change, not by the time-out";
	NDIlib_send_destroy(sender);
	NDIlib_find_destroy(finder);
}

TEST_F(Waits, WaitForSourcesWaitsTheFullTimeOutWithoutAChange) {
	NDIlib_send_instance_t sender = MakeSender("Steady");
	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	ASSERT_TRUE(NDIlib_find_wait_for_sources(finder, 0));
	Clock::time_point start = Clock::now();
	EXPECT_FALSE(NDIlib_find_wait_for_sources(finder, 150));
	EXPECT_GE(Clock::now() - start, milliseconds(150));
	NDIlib_find_destroy(finder);
	NDIlib_send_destroy(sender);
}

TEST_F(Waits, CaptureIsWokenByASendAndOtherwiseWaitsItsTimeOut) {
	NDIlib_send_instance_t sender = MakeSender("Wake");
	NDIlib_recv_instance_t recv = MakeReceiver("TESTBOX (Wake)");
	Clock::time_point start = Clock::now();
	NDIlib_video_frame_v2_t video{};
	EXPECT_EQ(NDIlib_recv_capture_v2(recv, &video, nullptr, nullptr, 150), NDIlib_frame_type_none);
	EXPECT_GE(Clock::now() - start, milliseconds(150));

	NDIlib_frame_type_e type = NDIlib_frame_type_none;
	Clock::duration waited{};
	std::thread capturer([&] {
		Clock::time_point begin = Clock::now();
		type = NDIlib_recv_capture_v2(recv, &video, nullptr, nullptr, 120000);
		waited = Clock::now() - begin;
	});
	ASSERT_TRUE(WaitForCalls("NDIlib_recv_capture_v2", 2));
	SendVideo(sender, 8, 8, 1);
	capturer.join();
	ASSERT_EQ(type, NDIlib_frame_type_video);
	EXPECT_LT(waited, std::chrono::seconds(60));
	NDIlib_recv_free_video_v2(recv, &video);
	NDIlib_recv_destroy(recv);
	NDIlib_send_destroy(sender);
}

// The real runtime returns from a capture within about 2 ms of its time-out. Every wait here must
// last its whole time-out; that it ends soon after is judged on the closest of several, within
// what a loaded machine under ThreadSanitizer or wine still meets, so that late wake-ups do not
// count against it while a wait that always oversleeps (rounding up to a coarse tick, waiting
// twice: the longest time-out shows that) does.
TEST_F(Waits, CapturesAndSourceWaitsEndAtTheirTimeOutNotBeforeAndNotLongAfter) {
	const double kOversleepMs = 150.0;
	NDIlib_recv_instance_t recv = MakeReceiver("TESTBOX (Nobody)"); // no such source: nothing comes
	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	uint32_t count = 0;
	NDIlib_find_get_current_sources(finder, &count); // reported: only a change ends a wait now
	auto millisecondsSince = [](Clock::time_point start) {
		return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
	};
	for (uint32_t timeout : {1u, 7u, 40u, 250u}) {
		SCOPED_TRACE(std::to_string(timeout) + " ms");
		double captureOver = 1e9, findOver = 1e9;
		for (int i = 0; i < 5; ++i) {
			NDIlib_video_frame_v2_t video{};
			Clock::time_point start = Clock::now();
			EXPECT_EQ(NDIlib_recv_capture_v2(recv, &video, nullptr, nullptr, timeout), NDIlib_frame_type_none);
			double waited = millisecondsSince(start);
			EXPECT_GE(waited, timeout) << "a capture returned before its time-out";
			captureOver = std::min(captureOver, waited - timeout);

			start = Clock::now();
			EXPECT_FALSE(NDIlib_find_wait_for_sources(finder, timeout));
			waited = millisecondsSince(start);
			EXPECT_GE(waited, timeout) << "a source wait returned before its time-out";
			findOver = std::min(findOver, waited - timeout);
		}
		EXPECT_LT(captureOver, kOversleepMs) << "ms: the closest capture overslept its time-out by that much";
		EXPECT_LT(findOver, kOversleepMs) << "ms: the closest source wait overslept its time-out by that much";
	}
	NDIlib_video_frame_v2_t video{};
	Clock::time_point start = Clock::now();
	EXPECT_EQ(NDIlib_recv_capture_v2(recv, &video, nullptr, nullptr, 0), NDIlib_frame_type_none);
	EXPECT_LT(millisecondsSince(start), 5000.0) << "a time-out of 0 does not wait";
	NDIlib_find_destroy(finder);
	NDIlib_recv_destroy(recv);
}

TEST_F(Waits, DestroyingWhileAnotherThreadWaitsIsReportedAndEndsTheWait) {
	ExpectFaults();
	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	NDIlib_recv_instance_t recv = MakeReceiverOnly();
	bool changed = true;
	NDIlib_frame_type_e type = NDIlib_frame_type_video;
	std::thread waiter([&] { changed = NDIlib_find_wait_for_sources(finder, 120000); });
	std::thread capturer([&] {
		NDIlib_video_frame_v2_t video{};
		type = NDIlib_recv_capture_v2(recv, &video, nullptr, nullptr, 120000);
	});
	ASSERT_TRUE(WaitForCalls("NDIlib_find_wait_for_sources", 1));
	ASSERT_TRUE(WaitForCalls("NDIlib_recv_capture_v2", 1));
	NDIlib_find_destroy(finder);
	NDIlib_recv_destroy(recv);
	waiter.join();
	capturer.join();
	EXPECT_FALSE(changed);
	EXPECT_EQ(type, NDIlib_frame_type_none);
	EXPECT_EQ(TakeFaults(ndi_standin_fault_busy_destroy), 2);
}

// ---- Many frames, four threads ---------------------------------------------------------------

class Traffic : public StandinTest {};

TEST_F(Traffic, TwoReceiversCaptureWhileAThirdThreadFreesTheirFrames) {
	const int kFrames = 3000;
	NDIlib_send_instance_t sender = MakeSender("Traffic");
	NDIlib_recv_instance_t recv[2] = {MakeReceiver("TESTBOX (Traffic)", NDIlib_recv_bandwidth_highest),
	                                  MakeReceiver("TESTBOX (Traffic)", NDIlib_recv_bandwidth_lowest)};
	struct Lent {
		int receiver;
		bool video;
		NDIlib_video_frame_v2_t v;
		NDIlib_audio_frame_v2_t a;
	};
	std::mutex lock;
	std::condition_variable changed;
	std::deque<Lent> toFree;
	int capturing = 2;
	std::atomic<bool> sent{false};
	std::vector<int64_t> videoTags[2], audioTags[2];
	int wrongSize[2] = {0, 0};

	auto capture = [&](int i) {
		for (;;) {
			Lent lent{i, false, {}, {}};
			NDIlib_frame_type_e type = NDIlib_recv_capture_v2(recv[i], &lent.v, &lent.a, nullptr, 25);
			if (type == NDIlib_frame_type_none && sent)
				break;
			if (type != NDIlib_frame_type_video && type != NDIlib_frame_type_audio)
				continue;
			lent.video = type == NDIlib_frame_type_video;
			if (lent.video) {
				videoTags[i].push_back(lent.v.timecode);
				wrongSize[i] += lent.v.xres != 32 || lent.v.yres != 18; // narrow: as sent at either bandwidth
			} else {
				audioTags[i].push_back(lent.a.timecode);
			}
			std::lock_guard<std::mutex> guard(lock);
			toFree.push_back(lent);
			changed.notify_all();
		}
		std::lock_guard<std::mutex> guard(lock);
		--capturing;
		changed.notify_all();
	};
	std::thread host([&] {
		std::unique_lock<std::mutex> guard(lock);
		for (;;) {
			changed.wait(guard, [&] { return !toFree.empty() || capturing == 0; });
			if (toFree.empty())
				break;
			Lent lent = toFree.front();
			toFree.pop_front();
			guard.unlock();
			if (lent.video)
				NDIlib_recv_free_video_v2(recv[lent.receiver], &lent.v);
			else
				NDIlib_recv_free_audio_v2(recv[lent.receiver], &lent.a);
			guard.lock();
		}
	});
	std::thread first(capture, 0), second(capture, 1);
	std::thread sending([&] {
		for (int i = 0; i < kFrames; ++i) {
			SendVideo(sender, 32, 18, i);
			SendAudio(sender, 2, 64, i);
		}
		sent = true;
	});
	sending.join();
	first.join();
	second.join();
	host.join();

	for (int i = 0; i < 2; ++i) {
		SCOPED_TRACE(i == 0 ? "highest" : "lowest");
		ASSERT_FALSE(videoTags[i].empty());
		ASSERT_FALSE(audioTags[i].empty());
		EXPECT_TRUE(std::is_sorted(videoTags[i].begin(), videoTags[i].end()) &&
		            std::adjacent_find(videoTags[i].begin(), videoTags[i].end()) == videoTags[i].end())
		    << "video out of order";
		EXPECT_TRUE(std::is_sorted(audioTags[i].begin(), audioTags[i].end())) << "audio out of order";
		EXPECT_EQ(videoTags[i].back(), kFrames - 1) << "the newest frame is never dropped";
		EXPECT_EQ(audioTags[i].back(), kFrames - 1);
		EXPECT_EQ(wrongSize[i], 0);
		ndi_standin_receiver_info_t info{};
		ASSERT_TRUE(ndi_standin_receiver_info(recv[i], &info));
		EXPECT_EQ(info.video_lent_total, int64_t(videoTags[i].size()));
		EXPECT_EQ(info.video_freed_total, info.video_lent_total);
		EXPECT_EQ(info.audio_freed_total, info.audio_lent_total);
		EXPECT_EQ(info.video_lent_total + info.audio_lent_total + info.dropped, 2 * kFrames) << "every frame accounted for";
	}
	NDIlib_recv_destroy(recv[0]);
	NDIlib_recv_destroy(recv[1]);
	NDIlib_send_destroy(sender);
}

// ---- The test-pattern source -----------------------------------------------------------------

// The amplitude of `hz` in the block, Hann-windowed so that neighbouring tones do not leak in.
double Amplitude(const float* x, int n, double hz, int rate) {
	const double kPi = 3.14159265358979323846;
	double re = 0, im = 0, sum = 0;
	for (int i = 0; i < n; ++i) {
		double w = 0.5 - 0.5 * std::cos(2 * kPi * i / (n - 1));
		re += w * x[i] * std::cos(2 * kPi * hz * i / rate);
		im -= w * x[i] * std::sin(2 * kPi * hz * i / rate);
		sum += w;
	}
	return 2 * std::sqrt(re * re + im * im) / sum;
}

class Pattern : public StandinTest {
protected:
	// The frame numbers of the next `count` video frames; audio frames met on the way go to `onAudio`.
	template <typename OnAudio>
	std::vector<int64_t> CaptureNumbers(NDIlib_recv_instance_t recv, int count, NDIlib_video_frame_v2_t* last,
	                                    OnAudio onAudio) {
		std::vector<int64_t> numbers;
		Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
		while (int(numbers.size()) < count && Clock::now() < deadline) {
			NDIlib_video_frame_v2_t v{};
			NDIlib_audio_frame_v2_t a{};
			NDIlib_frame_type_e type = NDIlib_recv_capture_v2(recv, &v, &a, nullptr, 1000);
			if (type == NDIlib_frame_type_video) {
				numbers.push_back(ndi_standin_pattern_frame_number(&v));
				*last = v;
				NDIlib_recv_free_video_v2(recv, &v);
			} else if (type == NDIlib_frame_type_audio) {
				onAudio(a);
				NDIlib_recv_free_audio_v2(recv, &a);
			}
		}
		return numbers;
	}
	static void ExpectCounting(const std::vector<int64_t>& numbers, size_t count) {
		ASSERT_EQ(numbers.size(), count);
		EXPECT_GE(numbers.front(), 0) << "no code band read";
		for (size_t i = 1; i < numbers.size(); ++i)
			EXPECT_GT(numbers[i], numbers[i - 1]) << "at " << i;
	}
};

TEST_F(Pattern, FrameNumbersReadBackAsSentAtTheLowestBandwidthAndInUYVY) {
	ndi_standin_pattern_settings_t s;
	ndi_standin_pattern_defaults(&s);
	s.name = "Pattern";
	s.xres = 960; // scaled by 2/3 at the lowest bandwidth: cell edges fall inside pixels
	s.yres = 540;
	s.frame_rate_N = 60;
	s.no_channels = 0;
	ndi_standin_pattern_t* pattern = ndi_standin_pattern_start(&s);
	ASSERT_NE(pattern, nullptr);
	EXPECT_STREQ(ndi_standin_pattern_source_name(pattern), "TESTBOX (Pattern)");

	NDIlib_recv_instance_t full = MakeReceiver("TESTBOX (Pattern)");
	NDIlib_recv_instance_t low = MakeReceiver("TESTBOX (Pattern)", NDIlib_recv_bandwidth_lowest);
	NDIlib_recv_instance_t yuv =
	    MakeReceiver("TESTBOX (Pattern)", NDIlib_recv_bandwidth_lowest, NDIlib_recv_color_format_UYVY_BGRA);
	auto noAudio = [](const NDIlib_audio_frame_v2_t&) { ADD_FAILURE() << "audio from a source without any"; };
	NDIlib_video_frame_v2_t last{};
	ExpectCounting(CaptureNumbers(full, 8, &last, noAudio), 8);
	EXPECT_EQ(last.xres, 960);
	EXPECT_EQ(last.FourCC, NDIlib_FourCC_video_type_BGRX);
	EXPECT_EQ(last.frame_rate_N, 60);
	ExpectCounting(CaptureNumbers(low, 8, &last, noAudio), 8);
	EXPECT_EQ(last.xres, 640);
	EXPECT_EQ(last.yres, 360);
	ExpectCounting(CaptureNumbers(yuv, 8, &last, noAudio), 8);
	EXPECT_EQ(last.FourCC, NDIlib_FourCC_video_type_UYVY);
	EXPECT_EQ(last.xres, 640);

	for (NDIlib_recv_instance_t r : {full, low, yuv})
		NDIlib_recv_destroy(r);
	EXPECT_GT(ndi_standin_pattern_video_frames_sent(pattern), 0);
	ndi_standin_pattern_stop(pattern);

	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	uint32_t count = 5;
	NDIlib_find_get_current_sources(finder, &count);
	EXPECT_EQ(count, 0u) << "a stopped pattern withdraws its source";
	NDIlib_find_destroy(finder);
}

// The receive loop the plug-in runs: its own finder, 50 ms waits until the name shows up, a
// receiver for the entry found, 25 ms captures; frames are freed on another (the host's) thread.
TEST_F(Pattern, AReceiveLoopFindsASourceThatAppearsLaterAndGetsItsFrames) {
	std::mutex lock;
	std::condition_variable changed;
	std::deque<NDIlib_video_frame_v2_t> toFree;
	NDIlib_recv_instance_t recv = nullptr;
	std::vector<int64_t> numbers;
	std::atomic<bool> done{false};
	std::thread loop([&] {
		NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
		NDIlib_recv_instance_t r = nullptr;
		Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
		while (!r && Clock::now() < deadline) {
			NDIlib_find_wait_for_sources(finder, 50);
			uint32_t count = 0;
			const NDIlib_source_t* list = NDIlib_find_get_current_sources(finder, &count);
			for (uint32_t i = 0; list && i < count && !r; ++i)
				if (!strcmp(list[i].p_ndi_name, "TESTBOX (Late Pattern)")) {
					NDIlib_recv_create_v3_t settings{};
					settings.source_to_connect_to = list[i];
					settings.color_format = NDIlib_recv_color_format_BGRX_BGRA;
					settings.bandwidth = NDIlib_recv_bandwidth_lowest;
					r = NDIlib_recv_create_v3(&settings);
					NDIlib_recv_connect(r, &list[i]);
				}
		}
		{
			std::lock_guard<std::mutex> guard(lock);
			recv = r;
		}
		while (r && !done) {
			NDIlib_video_frame_v2_t video{};
			NDIlib_audio_frame_v2_t audio{};
			NDIlib_frame_type_e type = NDIlib_recv_capture_v2(r, &video, &audio, nullptr, 25);
			if (type == NDIlib_frame_type_audio)
				NDIlib_recv_free_audio_v2(r, &audio);
			if (type != NDIlib_frame_type_video)
				continue;
			std::lock_guard<std::mutex> guard(lock);
			toFree.push_back(video);
			changed.notify_all();
		}
		NDIlib_find_destroy(finder);
	});
	EXPECT_TRUE(WaitForCalls("NDIlib_find_wait_for_sources", 2)) << "the loop is searching";
	ndi_standin_pattern_settings_t s;
	ndi_standin_pattern_defaults(&s);
	s.name = "Late Pattern";
	s.xres = 320;
	s.yres = 180;
	ndi_standin_pattern_t* pattern = ndi_standin_pattern_start(&s);
	EXPECT_NE(pattern, nullptr);

	// The host's side: frees each frame while the loop goes on capturing on the same receiver.
	{
		std::unique_lock<std::mutex> guard(lock);
		while (numbers.size() < 5 &&
		       changed.wait_for(guard, std::chrono::seconds(60), [&] { return !toFree.empty(); })) {
			NDIlib_video_frame_v2_t video = toFree.front();
			toFree.pop_front();
			numbers.push_back(ndi_standin_pattern_frame_number(&video));
			EXPECT_EQ(video.xres, 320) << "narrower than 640: as sent at the lowest bandwidth";
			NDIlib_recv_free_video_v2(recv, &video);
		}
	}
	done = true;
	loop.join();
	for (const auto& video : toFree)
		NDIlib_recv_free_video_v2(recv, &video);
	ExpectCounting(numbers, 5);
	ndi_standin_recv_create_call_t call{};
	ASSERT_TRUE(ndi_standin_recv_create_call(0, &call));
	EXPECT_STREQ(call.source_name.text, "TESTBOX (Late Pattern)");
	ndi_standin_timeouts_t t{};
	ndi_standin_timeouts(&t);
	EXPECT_EQ(t.wait_for_sources_max, 50);
	EXPECT_EQ(t.capture_max, 25);
	if (recv)
		NDIlib_recv_destroy(recv);
	ndi_standin_pattern_stop(pattern);
}

TEST_F(Pattern, FramesWithoutTheCodeBandDecodeToNothing) {
	std::vector<uint8_t> grey(200 * 4 * 2, 0x80);
	NDIlib_video_frame_v2_t v{};
	v.xres = 200;
	v.yres = 2;
	v.FourCC = NDIlib_FourCC_video_type_BGRX;
	v.p_data = grey.data();
	v.line_stride_in_bytes = 800;
	EXPECT_EQ(ndi_standin_pattern_frame_number(&v), -1);
	v.line_stride_in_bytes = 100;
	EXPECT_EQ(ndi_standin_pattern_frame_number(&v), -1) << "a stride shorter than the row";
	v.p_data = nullptr;
	EXPECT_EQ(ndi_standin_pattern_frame_number(&v), -1);
	EXPECT_EQ(ndi_standin_pattern_frame_number(nullptr), -1);
}

TEST_F(Pattern, EachChannelCarriesItsOwnTone) {
	ndi_standin_pattern_settings_t s;
	ndi_standin_pattern_defaults(&s);
	s.name = "Tones";
	s.xres = 160;
	s.yres = 16;
	s.no_channels = 3;
	s.sample_rate = 48000;
	s.samples_per_frame = 1600;
	ndi_standin_pattern_t* pattern = ndi_standin_pattern_start(&s);
	ASSERT_NE(pattern, nullptr);
	NDIlib_recv_instance_t recv = MakeReceiver("TESTBOX (Tones)", NDIlib_recv_bandwidth_audio_only);

	int frames = 0;
	Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
	while (frames < 6 && Clock::now() < deadline) {
		NDIlib_audio_frame_v2_t a{};
		if (NDIlib_recv_capture_v2(recv, nullptr, &a, nullptr, 1000) != NDIlib_frame_type_audio)
			continue;
		++frames;
		EXPECT_EQ(a.sample_rate, 48000);
		EXPECT_EQ(a.no_samples, 1600);
		ASSERT_EQ(a.no_channels, 3);
		for (int c = 0; c < 3; ++c) {
			const float* channel = reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(a.p_data) +
			                                                      size_t(a.channel_stride_in_bytes) * c);
			for (int other = 0; other < 3; ++other) {
				double amplitude = Amplitude(channel, a.no_samples, ndi_standin_pattern_tone_hz(other), a.sample_rate);
				if (other == c)
					EXPECT_NEAR(amplitude, 0.5, 0.05) << "channel " << c;
				else
					EXPECT_LT(amplitude, 0.05) << "channel " << c << " carries channel " << other << "'s tone";
			}
		}
		NDIlib_recv_free_audio_v2(recv, &a);
	}
	EXPECT_EQ(frames, 6);
	NDIlib_recv_destroy(recv);
	ndi_standin_pattern_stop(pattern);
}

TEST_F(Pattern, AlphaKeepsTheCodeBandOpaqueAndTheBarsTranslucent) {
	ndi_standin_pattern_settings_t s;
	ndi_standin_pattern_defaults(&s);
	s.name = "Key";
	s.xres = 320;
	s.yres = 180;
	s.alpha = true;
	s.no_channels = 0;
	ndi_standin_pattern_t* pattern = ndi_standin_pattern_start(&s);
	ASSERT_NE(pattern, nullptr);
	NDIlib_recv_instance_t bgra = MakeReceiver("TESTBOX (Key)");
	NDIlib_recv_instance_t uyva =
	    MakeReceiver("TESTBOX (Key)", NDIlib_recv_bandwidth_highest, NDIlib_recv_color_format_fastest);
	NDIlib_video_frame_v2_t v{};
	ASSERT_EQ(NDIlib_recv_capture_v2(bgra, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(v.FourCC, NDIlib_FourCC_video_type_BGRA);
	EXPECT_GE(ndi_standin_pattern_frame_number(&v), 0);
	EXPECT_EQ(v.p_data[3], 255) << "code band";
	const uint8_t* row = v.p_data + size_t(v.line_stride_in_bytes) * 170;
	EXPECT_EQ(row[(320 * 3 / 16) * 4 + 3], 255 - 24) << "second bar";
	NDIlib_recv_free_video_v2(bgra, &v);
	ASSERT_EQ(NDIlib_recv_capture_v2(uyva, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(v.FourCC, NDIlib_FourCC_video_type_UYVA);
	EXPECT_GE(ndi_standin_pattern_frame_number(&v), 0);
	NDIlib_recv_free_video_v2(uyva, &v);
	NDIlib_recv_destroy(bgra);
	NDIlib_recv_destroy(uyva);
	ndi_standin_pattern_stop(pattern);

	s.xres = 159;
	EXPECT_EQ(ndi_standin_pattern_start(&s), nullptr) << "too narrow for the code band";
	s.xres = 320;
	s.no_channels = 2;
	s.sample_rate = 0;
	EXPECT_EQ(ndi_standin_pattern_start(&s), nullptr);
}

// A sender's crystal: two sources 1% apart, started together, part by that much; their clocks
// are checked as they are given and set.
TEST_F(Pattern, EachSourceKeepsTimeByAClockOfItsOwn) {
	ndi_standin_pattern_settings_t s;
	ndi_standin_pattern_defaults(&s);
	s.xres = 160;
	s.yres = 16;
	s.name = "Fast";
	s.clock_ppm = 10000;
	ndi_standin_pattern_t* fast = ndi_standin_pattern_start(&s);
	s.name = "Slow";
	s.clock_ppm = -10000;
	ndi_standin_pattern_t* slow = ndi_standin_pattern_start(&s);
	ASSERT_NE(fast, nullptr);
	ASSERT_NE(slow, nullptr);
	// Ten seconds of the fast one: 303 audio frames, and the slow one's 297 (each waits for its
	// own schedule, so a busy machine delays both alike).
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
	while (ndi_standin_pattern_audio_frames_sent(fast) < 303 && std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	const int64_t fastSent = ndi_standin_pattern_audio_frames_sent(fast);
	const int64_t slowSent = ndi_standin_pattern_audio_frames_sent(slow);
	EXPECT_GE(fastSent - slowSent, 3) << fastSent << " against " << slowSent;
	EXPECT_LE(fastSent - slowSent, 9);
	EXPECT_FALSE(ndi_standin_pattern_set_clock_ppm(slow, 10001));
	EXPECT_TRUE(ndi_standin_pattern_set_clock_ppm(slow, 0));
	ndi_standin_pattern_stop(fast);
	ndi_standin_pattern_stop(slow);
	s.clock_ppm = -10001;
	EXPECT_EQ(ndi_standin_pattern_start(&s), nullptr);
}

// ---- Threads that called in ------------------------------------------------------------------

// The id the stand-in names a thread by.
std::string ThisThreadId() {
#ifdef _WIN32
	return std::to_string(GetCurrentThreadId());
#else
	return std::to_string(syscall(SYS_gettid));
#endif
}

class ThreadExits : public StandinTest {
protected:
	void TearDown() override {
		ndi_standin_set_thread_exit_delay(0);
		ndi_standin_record_threads(false);
		StandinTest::TearDown();
	}
	static std::string NotEnded(int* count = nullptr) {
		char which[256] = "unchanged";
		int n = ndi_standin_threads_not_ended(which, sizeof(which));
		if (count)
			*count = n;
		return which;
	}
};

// What the unload test relies on: a thread whose function has returned is still found in its
// stretched end, until a join has waited that end out. The end lasts long enough that a test
// thread put off by a loaded machine (under ThreadSanitizer or wine) still finds it there.
TEST_F(ThreadExits, AJoinedThreadHasEndedAndOneStillInItsDelayedEndHasNot) {
	ndi_standin_set_thread_exit_delay(3000);
	ndi_standin_record_threads(true);
	std::string id;
	std::atomic<bool> bodyDone{false};
	std::thread caller([&] {
		id = ThisThreadId();
		NDIlib_version();
		bodyDone.store(true); // the last thing its function does
	});
	ASSERT_TRUE(WaitUntil([&] { return bodyDone.load(); }, 30000)) << "the thread went through its body";
	int count = 0;
	std::string which = NotEnded(&count);
	EXPECT_EQ(count, 1) << "its function has returned, its end has not";
	EXPECT_NE(which.find("thread " + id + " "), std::string::npos) << which;
	caller.join();
	EXPECT_EQ(NotEnded(&count), "");
	EXPECT_EQ(count, 0) << "a join waits for the very end";
	EXPECT_EQ(ndi_standin_recorded_threads(), 1);
}

} // namespace
