// The NDI runtime stand-in on one thread: discovery, delivery, formats, recorded calls,
// scripted results and lent-frame faults.
#include "StandinFixture.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> Names(NDIlib_find_instance_t finder) {
	uint32_t count = 1234;
	const NDIlib_source_t* list = NDIlib_find_get_current_sources(finder, &count);
	std::vector<std::string> names;
	if (count > 0 && !list)
		ADD_FAILURE() << "a count without an array";
	for (uint32_t i = 0; list && i < count; ++i)
		names.push_back(list[i].p_ndi_name);
	return names;
}

using Strings = std::vector<std::string>;

// ---- Discovery -------------------------------------------------------------------------------

class Discovery : public StandinTest {};

TEST_F(Discovery, SendersAreListedAsMachineAndNameInOrderUntilWithdrawn) {
	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	ASSERT_NE(finder, nullptr);
	EXPECT_EQ(Names(finder), Strings{});
	NDIlib_send_instance_t cam = MakeSender("Cam 1");
	ndi_standin_set_machine_name("OTHER");
	NDIlib_send_instance_t bars = MakeSender("Bars");
	ASSERT_TRUE(cam && bars);
	EXPECT_EQ(Names(finder), (Strings{"TESTBOX (Cam 1)", "OTHER (Bars)"}));

	uint32_t count = 0;
	const NDIlib_source_t* list = NDIlib_find_get_current_sources(finder, &count);
	ASSERT_EQ(count, 2u);
	ASSERT_NE(list[0].p_url_address, nullptr);
	EXPECT_STRNE(list[0].p_url_address, list[1].p_url_address);

	NDIlib_send_destroy(cam);
	EXPECT_EQ(Names(finder), Strings{"OTHER (Bars)"});
	NDIlib_send_destroy(bars);
	count = 1234;
	EXPECT_NE(NDIlib_find_get_current_sources(finder, &count), nullptr) << "an empty list is still an array";
	EXPECT_EQ(count, 0u);
	NDIlib_find_destroy(finder);
	EXPECT_EQ(MakeSender(""), nullptr);
	EXPECT_EQ(NDIlib_send_create(nullptr), nullptr);
}

TEST_F(Discovery, WaitReportsEachChangeOnceAndListingCountsAsLooking) {
	NDIlib_send_instance_t early = MakeSender("Early");
	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	EXPECT_TRUE(NDIlib_find_wait_for_sources(finder, 0)) << "a new finder has reported nothing yet";
	EXPECT_FALSE(NDIlib_find_wait_for_sources(finder, 0));

	ASSERT_TRUE(ndi_standin_add_source("STUDIO (Remote)", "10.1.2.3:5961"));
	EXPECT_TRUE(NDIlib_find_wait_for_sources(finder, 0));
	EXPECT_FALSE(NDIlib_find_wait_for_sources(finder, 0));

	ASSERT_TRUE(ndi_standin_remove_source("STUDIO (Remote)"));
	EXPECT_EQ(Names(finder), Strings{"TESTBOX (Early)"});
	EXPECT_FALSE(NDIlib_find_wait_for_sources(finder, 0)) << "the listing already showed the change";

	EXPECT_EQ(ndi_standin_set_source_online("TESTBOX (Early)", false), 1);
	EXPECT_TRUE(NDIlib_find_wait_for_sources(finder, 0));
	EXPECT_EQ(Names(finder), Strings{});
	EXPECT_EQ(ndi_standin_set_source_online("TESTBOX (Early)", true), 1);
	EXPECT_EQ(Names(finder), Strings{"TESTBOX (Early)"});
	EXPECT_FALSE(ndi_standin_remove_source("TESTBOX (Early)")) << "only scripted sources are removed";

	NDIlib_find_destroy(finder);
	NDIlib_send_destroy(early);
}

TEST_F(Discovery, FinderSettingsChooseLocalSourcesAndGroups) {
	NDIlib_send_instance_t local = MakeSender("Local");
	NDIlib_send_create_t grouped{};
	grouped.p_ndi_name = "Grouped";
	grouped.p_groups = "Studio, Backstage";
	NDIlib_send_instance_t inGroup = NDIlib_send_create(&grouped);
	ndi_standin_add_source("FAR (Remote)", nullptr);

	NDIlib_find_create_t noLocal{};
	noLocal.show_local_sources = false;
	NDIlib_find_instance_t remoteOnly = NDIlib_find_create_v2(&noLocal);
	NDIlib_find_create_t backstage{};
	backstage.show_local_sources = true;
	backstage.p_groups = "backstage";
	NDIlib_find_instance_t group = NDIlib_find_create_v2(&backstage);
	NDIlib_find_instance_t defaults = NDIlib_find_create_v2(nullptr);

	EXPECT_EQ(Names(remoteOnly), Strings{"FAR (Remote)"});
	EXPECT_EQ(Names(group), Strings{"TESTBOX (Grouped)"});
	EXPECT_EQ(Names(defaults), (Strings{"TESTBOX (Local)", "FAR (Remote)"}));

	ndi_standin_find_create_call_t call{};
	ASSERT_TRUE(ndi_standin_find_create_call(1, &call));
	EXPECT_FALSE(call.settings_null);
	EXPECT_STREQ(call.groups.text, "backstage");
	EXPECT_TRUE(call.extra_ips.is_null);
	ASSERT_TRUE(ndi_standin_find_create_call(2, &call));
	EXPECT_TRUE(call.settings_null);
	EXPECT_TRUE(call.show_local_sources) << "null settings are the defaults";
	EXPECT_FALSE(ndi_standin_find_create_call(3, &call));

	for (NDIlib_find_instance_t f : {remoteOnly, group, defaults})
		NDIlib_find_destroy(f);
	ndi_standin_remove_source("FAR (Remote)");
	NDIlib_send_destroy(local);
	NDIlib_send_destroy(inGroup);
}

TEST_F(Discovery, CreationFailuresAreInjectedAndCounted) {
	ndi_standin_fail_find_create(2);
	EXPECT_EQ(NDIlib_find_create_v2(nullptr), nullptr);
	EXPECT_EQ(NDIlib_find_create_v2(nullptr), nullptr);
	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	EXPECT_NE(finder, nullptr);
	EXPECT_EQ(ndi_standin_call_count("NDIlib_find_create_v2"), 3);
	NDIlib_find_destroy(finder);

	ndi_standin_fail_recv_create(1);
	EXPECT_EQ(MakeReceiverOnly(), nullptr);
	NDIlib_recv_instance_t recv = MakeReceiverOnly();
	EXPECT_NE(recv, nullptr);
	NDIlib_recv_destroy(recv);

	ndi_standin_fail_initialize(1);
	EXPECT_FALSE(NDIlib_initialize());
	EXPECT_EQ(ndi_standin_initialize_depth(), 0);
	EXPECT_TRUE(NDIlib_initialize());
	EXPECT_EQ(ndi_standin_initialize_depth(), 1);
	NDIlib_destroy();
	EXPECT_EQ(ndi_standin_initialize_depth(), 0);
}

// ---- Delivery --------------------------------------------------------------------------------

class Delivery : public StandinTest {};

TEST_F(Delivery, ReceiverConnectedBeforeTheSourceAppearsPicksItUp) {
	NDIlib_recv_instance_t recv = MakeReceiver("TESTBOX (Late)");
	ndi_standin_receiver_info_t info{};
	ASSERT_TRUE(ndi_standin_receiver_info(recv, &info));
	EXPECT_STREQ(info.connected_to.text, "TESTBOX (Late)");
	EXPECT_FALSE(info.source_online);

	NDIlib_send_instance_t sender = MakeSender("Late");
	ASSERT_TRUE(ndi_standin_receiver_info(recv, &info));
	EXPECT_TRUE(info.source_online);
	SendVideo(sender, 16, 8, 7);
	NDIlib_video_frame_v2_t video{};
	ASSERT_EQ(NDIlib_recv_capture_v2(recv, &video, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(video.timecode, 7);
	NDIlib_recv_free_video_v2(recv, &video);

	// A name that differs only in case is another source.
	NDIlib_recv_instance_t other = MakeReceiver("testbox (late)");
	ASSERT_TRUE(ndi_standin_receiver_info(other, &info));
	EXPECT_FALSE(info.source_online);
	NDIlib_recv_destroy(other);
	NDIlib_recv_destroy(recv);
	NDIlib_send_destroy(sender);
}

TEST_F(Delivery, AReceiverStaysWithItsSenderOffTheNetworkAndBackButNotWithOneMadeAgain) {
	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	auto url = [&] {
		uint32_t count = 0;
		const NDIlib_source_t* list = NDIlib_find_get_current_sources(finder, &count);
		return count == 1 ? std::string(list[0].p_url_address) : std::string("(not one source)");
	};
	NDIlib_send_instance_t sender = MakeSender("Cam");
	const std::string firstUrl = url();
	NDIlib_recv_instance_t recv = MakeReceiver("TESTBOX (Cam)");
	NDIlib_video_frame_v2_t video{};
	ndi_standin_receiver_info_t info{};

	// A cable pulled and put back: the same sender, and its frames come again without a connect.
	ASSERT_EQ(ndi_standin_set_source_online("TESTBOX (Cam)", false), 1);
	ASSERT_TRUE(ndi_standin_receiver_info(recv, &info));
	EXPECT_FALSE(info.source_online);
	SendVideo(sender, 8, 8, 1);
	EXPECT_EQ(NDIlib_recv_capture_v2(recv, &video, nullptr, nullptr, 0), NDIlib_frame_type_none);
	ASSERT_EQ(ndi_standin_set_source_online("TESTBOX (Cam)", true), 1);
	ASSERT_TRUE(ndi_standin_receiver_info(recv, &info));
	EXPECT_TRUE(info.source_online);
	SendVideo(sender, 8, 8, 2);
	ASSERT_EQ(NDIlib_recv_capture_v2(recv, &video, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(video.timecode, 2);
	NDIlib_recv_free_video_v2(recv, &video);

	// Destroyed and made again: another sender, under a new URL, which the receiver does not reach
	// (sending is synchronous: a frame that would arrive is queued before the send returns).
	NDIlib_send_destroy(sender);
	sender = MakeSender("Cam");
	EXPECT_NE(url(), firstUrl) << "a sender made again is announced with a new URL";
	ASSERT_TRUE(ndi_standin_receiver_info(recv, &info));
	EXPECT_FALSE(info.source_online);
	EXPECT_STREQ(info.connected_to.text, "TESTBOX (Cam)");
	SendVideo(sender, 8, 8, 3);
	EXPECT_EQ(NDIlib_recv_capture_v2(recv, &video, nullptr, nullptr, 0), NDIlib_frame_type_none);

	// Connecting again reaches it.
	NDIlib_source_t source{};
	source.p_ndi_name = "TESTBOX (Cam)";
	NDIlib_recv_connect(recv, &source);
	ASSERT_TRUE(ndi_standin_receiver_info(recv, &info));
	EXPECT_TRUE(info.source_online);
	SendVideo(sender, 8, 8, 4);
	ASSERT_EQ(NDIlib_recv_capture_v2(recv, &video, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(video.timecode, 4);
	NDIlib_recv_free_video_v2(recv, &video);
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_connect"), 2) << "counted as any other";

	// A scripted source removed and added again is a new instance too, even under the same URL.
	ASSERT_TRUE(ndi_standin_add_source("STUDIO (Remote)", "10.1.2.3:5961"));
	NDIlib_recv_instance_t remote = MakeReceiver("STUDIO (Remote)");
	ASSERT_TRUE(ndi_standin_remove_source("STUDIO (Remote)"));
	ASSERT_TRUE(ndi_standin_add_source("STUDIO (Remote)", "10.1.2.3:5961"));
	ASSERT_TRUE(ndi_standin_receiver_info(remote, &info));
	EXPECT_FALSE(info.source_online);
	source.p_ndi_name = "STUDIO (Remote)";
	NDIlib_recv_connect(remote, &source);
	ASSERT_TRUE(ndi_standin_receiver_info(remote, &info));
	EXPECT_TRUE(info.source_online);

	NDIlib_recv_destroy(remote);
	ndi_standin_remove_source("STUDIO (Remote)");
	NDIlib_recv_destroy(recv);
	NDIlib_send_destroy(sender);
	NDIlib_find_destroy(finder);
}

TEST_F(Delivery, FramesComeInOrderAndAFullQueueDropsTheOldestOfTheirKind) {
	ndi_standin_set_queue_limit(3);
	NDIlib_send_instance_t sender = MakeSender("Q");
	NDIlib_recv_instance_t recv = MakeReceiver("TESTBOX (Q)");
	SendAudio(sender, 2, 32, 100);
	for (int tag = 1; tag <= 5; ++tag)
		SendVideo(sender, 8, 8, tag);
	ndi_standin_receiver_info_t info{};
	ASSERT_TRUE(ndi_standin_receiver_info(recv, &info));
	EXPECT_EQ(info.queued, 4) << "three video frames and the audio frame";
	EXPECT_EQ(info.dropped, 2);

	NDIlib_video_frame_v2_t video{};
	NDIlib_audio_frame_v2_t audio{};
	ASSERT_EQ(NDIlib_recv_capture_v2(recv, &video, &audio, nullptr, kPatience), NDIlib_frame_type_audio);
	EXPECT_EQ(audio.timecode, 100);
	std::vector<int64_t> tags;
	for (int i = 0; i < 3; ++i) {
		NDIlib_video_frame_v2_t v{};
		ASSERT_EQ(NDIlib_recv_capture_v2(recv, &v, &audio, nullptr, kPatience), NDIlib_frame_type_video);
		tags.push_back(v.timecode);
		NDIlib_recv_free_video_v2(recv, &v);
	}
	EXPECT_EQ(tags, (std::vector<int64_t>{3, 4, 5}));
	EXPECT_EQ(NDIlib_recv_capture_v2(recv, &video, &audio, nullptr, 0), NDIlib_frame_type_none);
	NDIlib_recv_free_audio_v2(recv, &audio);

	// Frames of a kind the caller gives no record for are not handed out.
	SendVideo(sender, 8, 8, 6);
	SendAudio(sender, 1, 16, 101);
	ASSERT_EQ(NDIlib_recv_capture_v2(recv, nullptr, &audio, nullptr, kPatience), NDIlib_frame_type_audio);
	EXPECT_EQ(audio.timecode, 101);
	NDIlib_recv_free_audio_v2(recv, &audio);

	ASSERT_TRUE(ndi_standin_receiver_info(recv, &info));
	EXPECT_EQ(info.video_lent_total, 3);
	EXPECT_EQ(info.video_freed_total, 3);
	EXPECT_EQ(info.audio_lent_total, 2);
	EXPECT_EQ(info.audio_freed_total, 2);
	NDIlib_recv_destroy(recv);
	NDIlib_send_destroy(sender);
}

TEST_F(Delivery, LowestBandwidthScalesWidePicturesTo640WideAndLeavesNarrowerOnesAsSent) {
	NDIlib_send_instance_t sender = MakeSender("Low");
	NDIlib_recv_instance_t high = MakeReceiver("TESTBOX (Low)", NDIlib_recv_bandwidth_highest);
	NDIlib_recv_instance_t low = MakeReceiver("TESTBOX (Low)", NDIlib_recv_bandwidth_lowest);
	struct Size {
		int x, y, lowX, lowY;
	} sizes[] = {
	    {1920, 1080, 640, 360}, {320, 180, 320, 180}, {640, 480, 640, 480}, {641, 100, 640, 100}, // 99.84
	    {1000, 101, 640, 65}, // 64.64
	    {1280, 1, 640, 1},    // 0.5, rounded up
	    {6400, 4, 640, 1},    // 0.4, at least 1
	    {1, 3, 1, 3},
	};
	for (const Size& s : sizes) {
		SCOPED_TRACE(std::to_string(s.x) + " x " + std::to_string(s.y));
		SendVideo(sender, s.x, s.y, 0);
		NDIlib_video_frame_v2_t v{};
		ASSERT_EQ(NDIlib_recv_capture_v2(high, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
		EXPECT_EQ(v.xres, s.x);
		EXPECT_EQ(v.yres, s.y);
		NDIlib_recv_free_video_v2(high, &v);
		ASSERT_EQ(NDIlib_recv_capture_v2(low, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
		EXPECT_EQ(v.xres, s.lowX);
		EXPECT_EQ(v.yres, s.lowY);
		EXPECT_EQ(v.line_stride_in_bytes, s.lowX * 4);
		EXPECT_EQ(v.p_data[0], 10);
		EXPECT_EQ(v.p_data[size_t(v.line_stride_in_bytes) * size_t(v.yres - 1) + size_t(v.xres - 1) * 4 + 2], 30)
		    << "last pixel, red";
		NDIlib_recv_free_video_v2(low, &v);
	}

	// Scaled, not cut: a picture dark on the left and light on the right keeps both halves, and
	// each pixel is the mean of those it covers (here 3 x 3 of them).
	std::vector<uint8_t> pixels(size_t(1920) * 1080 * 4, 255);
	for (int y = 0; y < 1080; ++y)
		for (int x = 0; x < 1920; ++x)
			memset(&pixels[(size_t(y) * 1920 + size_t(x)) * 4], x < 960 ? 30 : x < 963 ? (x == 960 ? 0 : 90) : 200, 3);
	NDIlib_video_frame_v2_t frame{};
	frame.xres = 1920;
	frame.yres = 1080;
	frame.FourCC = NDIlib_FourCC_video_type_BGRX;
	frame.frame_rate_N = 30;
	frame.frame_rate_D = 1;
	frame.p_data = pixels.data();
	frame.line_stride_in_bytes = 1920 * 4;
	NDIlib_send_send_video_v2(sender, &frame);
	NDIlib_video_frame_v2_t v{};
	ASSERT_EQ(NDIlib_recv_capture_v2(high, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	NDIlib_recv_free_video_v2(high, &v);
	ASSERT_EQ(NDIlib_recv_capture_v2(low, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	ASSERT_EQ(v.xres, 640);
	const uint8_t* middle = v.p_data + size_t(v.line_stride_in_bytes) * 180;
	EXPECT_EQ(middle[0], 30) << "left edge";
	EXPECT_EQ(middle[319 * 4], 30);
	EXPECT_EQ(middle[320 * 4], 60) << "(0 + 90 + 90) / 3";
	EXPECT_EQ(middle[321 * 4], 200);
	EXPECT_EQ(middle[639 * 4], 200) << "right edge";
	NDIlib_recv_free_video_v2(low, &v);

	NDIlib_recv_destroy(high);
	NDIlib_recv_destroy(low);
	NDIlib_send_destroy(sender);
}

TEST_F(Delivery, ColourFormatDecidesTheFourCC) {
	NDIlib_send_instance_t sender = MakeSender("Fmt");
	struct Case {
		NDIlib_recv_color_format_e format;
		NDIlib_FourCC_video_type_e opaque, withAlpha;
	} cases[] = {
	    {NDIlib_recv_color_format_BGRX_BGRA, NDIlib_FourCC_video_type_BGRX, NDIlib_FourCC_video_type_BGRA},
	    {NDIlib_recv_color_format_RGBX_RGBA, NDIlib_FourCC_video_type_RGBX, NDIlib_FourCC_video_type_RGBA},
	    {NDIlib_recv_color_format_UYVY_BGRA, NDIlib_FourCC_video_type_UYVY, NDIlib_FourCC_video_type_BGRA},
	    {NDIlib_recv_color_format_fastest, NDIlib_FourCC_video_type_UYVY, NDIlib_FourCC_video_type_UYVA},
	};
	for (const Case& c : cases) {
		NDIlib_recv_instance_t recv = MakeReceiver("TESTBOX (Fmt)", NDIlib_recv_bandwidth_highest, c.format);
		SendVideo(sender, 6, 2, 0, NDIlib_FourCC_video_type_BGRX);
		SendVideo(sender, 6, 2, 1, NDIlib_FourCC_video_type_BGRA, 10, 20, 30, 77);
		NDIlib_video_frame_v2_t opaque{}, alpha{};
		ASSERT_EQ(NDIlib_recv_capture_v2(recv, &opaque, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
		ASSERT_EQ(NDIlib_recv_capture_v2(recv, &alpha, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
		EXPECT_EQ(opaque.FourCC, c.opaque) << "format " << c.format;
		EXPECT_EQ(alpha.FourCC, c.withAlpha) << "format " << c.format;
		NDIlib_recv_free_video_v2(recv, &opaque);
		NDIlib_recv_free_video_v2(recv, &alpha);
		NDIlib_recv_destroy(recv);
	}
	NDIlib_send_destroy(sender);
}

TEST_F(Delivery, PixelsSurviveEachFormat) {
	NDIlib_send_instance_t sender = MakeSender("Px");
	NDIlib_recv_instance_t bgr = MakeReceiver("TESTBOX (Px)", NDIlib_recv_bandwidth_highest, NDIlib_recv_color_format_BGRX_BGRA);
	NDIlib_recv_instance_t rgb = MakeReceiver("TESTBOX (Px)", NDIlib_recv_bandwidth_highest, NDIlib_recv_color_format_RGBX_RGBA);
	NDIlib_recv_instance_t yuv = MakeReceiver("TESTBOX (Px)", NDIlib_recv_bandwidth_highest, NDIlib_recv_color_format_fastest);
	SendVideo(sender, 4, 2, 0, NDIlib_FourCC_video_type_BGRA, 10, 20, 30, 40);
	SendVideo(sender, 4, 2, 1, NDIlib_FourCC_video_type_BGRX, 255, 255, 255, 0);

	NDIlib_video_frame_v2_t v{};
	ASSERT_EQ(NDIlib_recv_capture_v2(bgr, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(std::vector<uint8_t>(v.p_data, v.p_data + 4), (std::vector<uint8_t>{10, 20, 30, 40}));
	NDIlib_recv_free_video_v2(bgr, &v);
	ASSERT_EQ(NDIlib_recv_capture_v2(bgr, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(v.p_data[3], 255) << "BGRX is delivered opaque, whatever the sender left in X";
	NDIlib_recv_free_video_v2(bgr, &v);

	ASSERT_EQ(NDIlib_recv_capture_v2(rgb, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(std::vector<uint8_t>(v.p_data, v.p_data + 4), (std::vector<uint8_t>{30, 20, 10, 40}));
	NDIlib_recv_free_video_v2(rgb, &v);
	ASSERT_EQ(NDIlib_recv_capture_v2(rgb, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	NDIlib_recv_free_video_v2(rgb, &v);

	// UYVA: a UYVY plane of 2 bytes a pixel, then one alpha byte a pixel.
	ASSERT_EQ(NDIlib_recv_capture_v2(yuv, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(v.line_stride_in_bytes, 8);
	EXPECT_EQ(v.p_data[8 * 2], 40) << "alpha plane";
	NDIlib_recv_free_video_v2(yuv, &v);
	ASSERT_EQ(NDIlib_recv_capture_v2(yuv, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(v.FourCC, NDIlib_FourCC_video_type_UYVY);
	EXPECT_NEAR(v.p_data[1], 235, 1) << "white is studio-range luma";
	EXPECT_NEAR(v.p_data[0], 128, 1);
	NDIlib_recv_free_video_v2(yuv, &v);

	for (NDIlib_recv_instance_t r : {bgr, rgb, yuv})
		NDIlib_recv_destroy(r);
	NDIlib_send_destroy(sender);
}

// An opaque picture is delivered opaque: 0xFF in every fourth byte, as sent, scaled or injected.
TEST_F(Delivery, BGRXAndRGBXCarryFFInEveryFourthByte) {
	NDIlib_send_instance_t sender = MakeSender("Opaque");
	NDIlib_recv_instance_t bgrx = MakeReceiver("TESTBOX (Opaque)", NDIlib_recv_bandwidth_highest);
	NDIlib_recv_instance_t low = MakeReceiver("TESTBOX (Opaque)", NDIlib_recv_bandwidth_lowest);
	NDIlib_recv_instance_t rgbx =
	    MakeReceiver("TESTBOX (Opaque)", NDIlib_recv_bandwidth_highest, NDIlib_recv_color_format_RGBX_RGBA);
	auto everyFourthByteIsFF = [](const NDIlib_video_frame_v2_t& v) {
		for (int y = 0; y < v.yres; ++y)
			for (int x = 0; x < v.xres; ++x)
				if (v.p_data[size_t(v.line_stride_in_bytes) * size_t(y) + size_t(x) * 4 + 3] != 0xFF)
					return false;
		return true;
	};
	SendVideo(sender, 700, 6, 1, NDIlib_FourCC_video_type_BGRX, 10, 20, 30, 0); // X left at 0
	ASSERT_EQ(ndi_standin_inject_video("TESTBOX (Opaque)", NDIlib_FourCC_video_type_BGRX, 33, 5), 3);
	ASSERT_EQ(ndi_standin_inject_video("TESTBOX (Opaque)", NDIlib_FourCC_video_type_RGBX, 33, 5), 3);
	for (NDIlib_recv_instance_t r : {bgrx, low, rgbx})
		for (int i = 0; i < 3; ++i) {
			NDIlib_video_frame_v2_t v{};
			ASSERT_EQ(NDIlib_recv_capture_v2(r, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
			if (i == 0)
				EXPECT_EQ(v.FourCC, r == rgbx ? NDIlib_FourCC_video_type_RGBX : NDIlib_FourCC_video_type_BGRX);
			EXPECT_TRUE(everyFourthByteIsFF(v)) << "frame " << i << ", " << v.xres << " x " << v.yres;
			NDIlib_recv_free_video_v2(r, &v);
		}
	for (NDIlib_recv_instance_t r : {bgrx, low, rgbx})
		NDIlib_recv_destroy(r);
	NDIlib_send_destroy(sender);
}

TEST_F(Delivery, AudioIsPlanarWithATightStrideAndBandwidthFiltersKinds) {
	NDIlib_send_instance_t sender = MakeSender("Au");
	NDIlib_recv_instance_t full = MakeReceiver("TESTBOX (Au)");
	NDIlib_recv_instance_t audioOnly = MakeReceiver("TESTBOX (Au)", NDIlib_recv_bandwidth_audio_only);
	NDIlib_recv_instance_t metaOnly = MakeReceiver("TESTBOX (Au)", NDIlib_recv_bandwidth_metadata_only);
	SendVideo(sender, 8, 8, 1);
	SendAudio(sender, 3, 100, 2, /*strideExtra*/ 64);

	NDIlib_video_frame_v2_t v{};
	NDIlib_audio_frame_v2_t a{};
	ASSERT_EQ(NDIlib_recv_capture_v2(full, &v, &a, nullptr, kPatience), NDIlib_frame_type_video);
	NDIlib_recv_free_video_v2(full, &v);
	ASSERT_EQ(NDIlib_recv_capture_v2(full, &v, &a, nullptr, kPatience), NDIlib_frame_type_audio);
	EXPECT_EQ(a.sample_rate, 48000);
	EXPECT_EQ(a.no_channels, 3);
	EXPECT_EQ(a.no_samples, 100);
	EXPECT_EQ(a.channel_stride_in_bytes, 400);
	EXPECT_FLOAT_EQ(a.p_data[0], 0.0f);
	EXPECT_FLOAT_EQ(a.p_data[2 * 100 + 99], 2.099f);
	NDIlib_recv_free_audio_v2(full, &a);

	ASSERT_EQ(NDIlib_recv_capture_v2(audioOnly, &v, &a, nullptr, kPatience), NDIlib_frame_type_audio);
	NDIlib_recv_free_audio_v2(audioOnly, &a);
	EXPECT_EQ(NDIlib_recv_capture_v2(audioOnly, &v, &a, nullptr, 0), NDIlib_frame_type_none);
	EXPECT_EQ(NDIlib_recv_capture_v2(metaOnly, &v, &a, nullptr, 0), NDIlib_frame_type_none);

	for (NDIlib_recv_instance_t r : {full, audioOnly, metaOnly})
		NDIlib_recv_destroy(r);
	NDIlib_send_destroy(sender);
}

// A real runtime may hand out lines and channels longer than their content; what is between is
// junk, never zero, so that a reader that takes it for content shows.
TEST_F(Delivery, PaddedStridesHoldThePictureAndTheSamplesWithJunkBetween) {
	EXPECT_FALSE(ndi_standin_set_padding(-4, 0));
	EXPECT_FALSE(ndi_standin_set_padding(0, 6)) << "not a whole number of samples";
	EXPECT_FALSE(ndi_standin_set_padding(4097, 0));
	ASSERT_TRUE(ndi_standin_set_padding(20, 64));
	NDIlib_send_instance_t sender = MakeSender("Pad");
	NDIlib_recv_instance_t bgrx = MakeReceiver("TESTBOX (Pad)");
	NDIlib_recv_instance_t uyvy =
	    MakeReceiver("TESTBOX (Pad)", NDIlib_recv_bandwidth_highest, NDIlib_recv_color_format_UYVY_BGRA);

	const int w = 7, h = 3;
	std::vector<uint8_t> pixels(size_t(w) * h * 4);
	for (int y = 0; y < h; ++y)
		for (int x = 0; x < w; ++x) {
			uint8_t* p = &pixels[(size_t(y) * w + size_t(x)) * 4];
			p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = uint8_t(10 * x + y), p[3] = 0;
		}
	NDIlib_video_frame_v2_t frame{};
	frame.xres = w;
	frame.yres = h;
	frame.FourCC = NDIlib_FourCC_video_type_BGRX;
	frame.frame_rate_N = 30;
	frame.frame_rate_D = 1;
	frame.p_data = pixels.data();
	frame.line_stride_in_bytes = w * 4;
	NDIlib_send_send_video_v2(sender, &frame);
	SendAudio(sender, 3, 100, 1);
	ASSERT_EQ(ndi_standin_inject_video("TESTBOX (Pad)", NDIlib_FourCC_video_type_BGRA, 5, 2), 2);

	NDIlib_video_frame_v2_t v{};
	NDIlib_audio_frame_v2_t a{};
	ASSERT_EQ(NDIlib_recv_capture_v2(bgrx, &v, &a, nullptr, kPatience), NDIlib_frame_type_video);
	ASSERT_EQ(v.line_stride_in_bytes, w * 4 + 20);
	for (int y = 0; y < h; ++y) {
		const uint8_t* row = v.p_data + size_t(v.line_stride_in_bytes) * size_t(y);
		std::vector<uint8_t> sent(&pixels[size_t(y) * w * 4], &pixels[size_t(y + 1) * w * 4]);
		for (int x = 0; x < w; ++x)
			sent[size_t(x) * 4 + 3] = 0xFF;
		EXPECT_EQ(std::vector<uint8_t>(row, row + w * 4), sent) << "row " << y;
		EXPECT_EQ(std::vector<uint8_t>(row + w * 4, row + v.line_stride_in_bytes), std::vector<uint8_t>(20, 0xA5))
		    << "padding of row " << y;
	}
	NDIlib_recv_free_video_v2(bgrx, &v);

	ASSERT_EQ(NDIlib_recv_capture_v2(bgrx, &v, &a, nullptr, kPatience), NDIlib_frame_type_audio);
	EXPECT_EQ(a.channel_stride_in_bytes, 100 * 4 + 64);
	for (int c = 0; c < 3; ++c) {
		const float* channel =
		    reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(a.p_data) + size_t(a.channel_stride_in_bytes) * c);
		EXPECT_FLOAT_EQ(channel[0], float(c));
		EXPECT_FLOAT_EQ(channel[99], float(c) + 0.099f);
		for (int i = 100; i < 100 + 16; ++i)
			EXPECT_EQ(channel[i], 1.0e9f) << "channel " << c << ", padding sample " << i - 100;
	}
	NDIlib_recv_free_audio_v2(bgrx, &a);

	ASSERT_EQ(NDIlib_recv_capture_v2(bgrx, &v, &a, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(v.FourCC, NDIlib_FourCC_video_type_BGRA);
	EXPECT_EQ(v.line_stride_in_bytes, 5 * 4 + 20) << "injected frames are padded too";
	NDIlib_recv_free_video_v2(bgrx, &v);

	ASSERT_EQ(NDIlib_recv_capture_v2(uyvy, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(v.FourCC, NDIlib_FourCC_video_type_UYVY);
	EXPECT_EQ(v.line_stride_in_bytes, 4 * 4 + 20) << "7 pixels take 4 pairs";
	EXPECT_EQ(v.p_data[v.line_stride_in_bytes - 1], 0xA5);
	NDIlib_recv_free_video_v2(uyvy, &v);
	ASSERT_EQ(NDIlib_recv_capture_v2(uyvy, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	NDIlib_recv_free_video_v2(uyvy, &v);

	ASSERT_TRUE(ndi_standin_set_padding(0, 0));
	SendVideo(sender, w, h, 2);
	SendAudio(sender, 3, 100, 3);
	ASSERT_EQ(NDIlib_recv_capture_v2(bgrx, &v, &a, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(v.line_stride_in_bytes, w * 4) << "tight again";
	NDIlib_recv_free_video_v2(bgrx, &v);
	ASSERT_EQ(NDIlib_recv_capture_v2(bgrx, &v, &a, nullptr, kPatience), NDIlib_frame_type_audio);
	EXPECT_EQ(a.channel_stride_in_bytes, 100 * 4);
	NDIlib_recv_free_audio_v2(bgrx, &a);

	NDIlib_recv_destroy(bgrx);
	NDIlib_recv_destroy(uyvy);
	NDIlib_send_destroy(sender);
}

TEST_F(Delivery, OfflineSourcesReachNobodyAndSwitchingSourceDropsTheQueue) {
	NDIlib_send_instance_t a = MakeSender("A"), b = MakeSender("B");
	NDIlib_recv_instance_t recv = MakeReceiver("TESTBOX (A)");
	ndi_standin_set_source_online("TESTBOX (A)", false);
	SendVideo(a, 8, 8, 1);
	NDIlib_video_frame_v2_t v{};
	EXPECT_EQ(NDIlib_recv_capture_v2(recv, &v, nullptr, nullptr, 0), NDIlib_frame_type_none);
	ndi_standin_set_source_online("TESTBOX (A)", true);
	SendVideo(a, 8, 8, 2);

	NDIlib_source_t other{};
	other.p_ndi_name = "TESTBOX (B)";
	NDIlib_recv_connect(recv, &other);
	SendVideo(a, 8, 8, 3);
	SendVideo(b, 8, 8, 4);
	ASSERT_EQ(NDIlib_recv_capture_v2(recv, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(v.timecode, 4);
	NDIlib_recv_free_video_v2(recv, &v);

	NDIlib_recv_connect(recv, nullptr);
	SendVideo(b, 8, 8, 5);
	EXPECT_EQ(NDIlib_recv_capture_v2(recv, &v, nullptr, nullptr, 0), NDIlib_frame_type_none);

	ndi_standin_recv_connect_call_t call{};
	ASSERT_TRUE(ndi_standin_recv_connect_call(1, &call));
	EXPECT_STREQ(call.source_name.text, "TESTBOX (B)");
	EXPECT_TRUE(call.source_url.is_null);
	ASSERT_TRUE(ndi_standin_recv_connect_call(2, &call));
	EXPECT_TRUE(call.source_null);
	NDIlib_recv_destroy(recv);
	NDIlib_send_destroy(a);
	NDIlib_send_destroy(b);
}

// The real runtime says nothing when a sender goes away: what it sent before is still captured,
// then captures simply find nothing, however it went.
TEST_F(Delivery, ASenderThatGoesAwayLeavesNoResultItsFramesJustStop) {
	NDIlib_send_instance_t sender = MakeSender("Gone");
	ASSERT_TRUE(ndi_standin_add_source("FAR (Gone)", nullptr));
	NDIlib_recv_instance_t destroyed = MakeReceiver("TESTBOX (Gone)");
	NDIlib_recv_instance_t offline = MakeReceiver("FAR (Gone)");
	ndi_standin_pattern_settings_t settings;
	ndi_standin_pattern_defaults(&settings);
	settings.name = "Gone Pattern";
	settings.xres = 160;
	settings.yres = 16;
	ndi_standin_pattern_t* pattern = ndi_standin_pattern_start(&settings);
	ASSERT_NE(pattern, nullptr);
	NDIlib_recv_instance_t stopped = MakeReceiver("TESTBOX (Gone Pattern)");
	NDIlib_video_frame_v2_t v{};
	NDIlib_audio_frame_v2_t a{};
	NDIlib_metadata_frame_t m{};
	ASSERT_EQ(NDIlib_recv_capture_v2(stopped, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	NDIlib_recv_free_video_v2(stopped, &v);

	SendVideo(sender, 8, 8, 1);
	NDIlib_send_destroy(sender);
	ASSERT_EQ(ndi_standin_set_source_online("FAR (Gone)", false), 1);
	ndi_standin_pattern_stop(pattern);

	ASSERT_EQ(NDIlib_recv_capture_v2(destroyed, &v, &a, &m, kPatience), NDIlib_frame_type_video) << "sent before";
	EXPECT_EQ(v.timecode, 1);
	NDIlib_recv_free_video_v2(destroyed, &v);
	// The stopped pattern's last frames may still be queued: they are frames, nothing else.
	for (;;) {
		NDIlib_frame_type_e type = NDIlib_recv_capture_v2(stopped, &v, &a, &m, 0);
		if (type == NDIlib_frame_type_video)
			NDIlib_recv_free_video_v2(stopped, &v);
		else if (type == NDIlib_frame_type_audio)
			NDIlib_recv_free_audio_v2(stopped, &a);
		else {
			EXPECT_EQ(type, NDIlib_frame_type_none);
			break;
		}
	}
	for (NDIlib_recv_instance_t r : {destroyed, offline, stopped}) {
		EXPECT_EQ(NDIlib_recv_capture_v2(r, &v, &a, &m, 50), NDIlib_frame_type_none);
		ndi_standin_receiver_info_t info{};
		ASSERT_TRUE(ndi_standin_receiver_info(r, &info));
		EXPECT_FALSE(info.source_online);
		EXPECT_EQ(info.queued, 0);
		NDIlib_recv_destroy(r);
	}
	ndi_standin_remove_source("FAR (Gone)");
}

TEST_F(Delivery, ReceiverSettingsAreRecordedAsGiven) {
	NDIlib_send_instance_t sender = MakeSender("Rec");
	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	uint32_t count = 0;
	const NDIlib_source_t* list = NDIlib_find_get_current_sources(finder, &count);
	ASSERT_EQ(count, 1u);
	NDIlib_recv_create_v3_t settings{};
	settings.source_to_connect_to = list[0];
	settings.color_format = NDIlib_recv_color_format_BGRX_BGRA;
	settings.bandwidth = NDIlib_recv_bandwidth_lowest;
	settings.allow_video_fields = false;
	NDIlib_recv_instance_t recv = NDIlib_recv_create_v3(&settings);
	NDIlib_recv_connect(recv, &list[0]);

	ndi_standin_recv_create_call_t call{};
	ASSERT_TRUE(ndi_standin_recv_create_call(0, &call));
	EXPECT_STREQ(call.source_name.text, "TESTBOX (Rec)");
	EXPECT_STREQ(call.source_url.text, list[0].p_url_address);
	EXPECT_EQ(call.color_format, NDIlib_recv_color_format_BGRX_BGRA);
	EXPECT_EQ(call.bandwidth, NDIlib_recv_bandwidth_lowest);
	EXPECT_FALSE(call.allow_video_fields);
	EXPECT_TRUE(call.recv_name.is_null);
	EXPECT_EQ(call.result, recv);
	EXPECT_EQ(ndi_standin_call_count("NDIlib_recv_connect"), 1);

	NDIlib_video_frame_v2_t v{};
	EXPECT_EQ(NDIlib_recv_capture_v2(recv, &v, nullptr, nullptr, 25), NDIlib_frame_type_none);
	ndi_standin_timeouts_t t{};
	ndi_standin_timeouts(&t);
	EXPECT_EQ(t.capture_last, 25);
	EXPECT_TRUE(t.capture_video_record);
	EXPECT_FALSE(t.capture_audio_record);
	EXPECT_EQ(t.wait_for_sources_last, -1);

	NDIlib_recv_destroy(recv);
	NDIlib_find_destroy(finder);
	NDIlib_send_destroy(sender);
}

TEST_F(Delivery, ScriptedResultsAndForeignFourCCsComeInQueueOrder) {
	NDIlib_send_instance_t sender = MakeSender("Inj");
	NDIlib_recv_instance_t recv = MakeReceiver("TESTBOX (Inj)");
	NDIlib_recv_instance_t bystander = MakeReceiver("TESTBOX (Other)");
	SendVideo(sender, 8, 8, 1);
	EXPECT_EQ(ndi_standin_inject_result("TESTBOX (Inj)", NDIlib_frame_type_error), 1);
	EXPECT_EQ(ndi_standin_inject_result("TESTBOX (Inj)", NDIlib_frame_type_status_change), 1);
	EXPECT_EQ(ndi_standin_inject_result("TESTBOX (Inj)", NDIlib_frame_type_metadata), 1);
	EXPECT_EQ(ndi_standin_inject_result("TESTBOX (Inj)", NDIlib_frame_type_metadata), 1);
	EXPECT_EQ(ndi_standin_inject_video("TESTBOX (Inj)", NDIlib_FourCC_video_type_UYVY, 10, 4), 1);
	EXPECT_EQ(ndi_standin_inject_result("TESTBOX (Inj)", NDIlib_frame_type_video), 0) << "only non-frame results";

	NDIlib_video_frame_v2_t v{};
	NDIlib_audio_frame_v2_t a{};
	NDIlib_metadata_frame_t m{};
	ASSERT_EQ(NDIlib_recv_capture_v2(recv, &v, &a, nullptr, kPatience), NDIlib_frame_type_video);
	NDIlib_recv_free_video_v2(recv, &v);
	EXPECT_EQ(NDIlib_recv_capture_v2(recv, &v, &a, nullptr, kPatience), NDIlib_frame_type_error);
	EXPECT_EQ(NDIlib_recv_capture_v2(recv, &v, &a, nullptr, kPatience), NDIlib_frame_type_status_change);
	EXPECT_EQ(NDIlib_recv_capture_v2(recv, &v, &a, nullptr, kPatience), NDIlib_frame_type_metadata)
	    << "scripted metadata comes even without a record";
	ASSERT_EQ(NDIlib_recv_capture_v2(recv, &v, &a, &m, kPatience), NDIlib_frame_type_metadata);
	ASSERT_NE(m.p_data, nullptr);
	EXPECT_EQ(m.length, int(strlen(m.p_data)));
	ASSERT_EQ(NDIlib_recv_capture_v2(recv, &v, &a, nullptr, kPatience), NDIlib_frame_type_video);
	EXPECT_EQ(v.FourCC, NDIlib_FourCC_video_type_UYVY);
	EXPECT_EQ(v.xres, 10);
	EXPECT_EQ(ndi_standin_frames_outstanding(), 1) << "an injected frame is lent like any other";
	NDIlib_recv_free_video_v2(recv, &v);
	EXPECT_EQ(NDIlib_recv_capture_v2(bystander, &v, &a, nullptr, 0), NDIlib_frame_type_none);

	NDIlib_recv_destroy(recv);
	NDIlib_recv_destroy(bystander);
	NDIlib_send_destroy(sender);
}

#if GTEST_HAS_DEATH_TEST && defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer the stand-in's memory rules show as soon as a caller breaks them.
TEST_F(Delivery, ReadingFreedPixelsAStaleSourceArrayOrPastItsCountIsCaught) {
	NDIlib_send_instance_t sender = MakeSender("Stale");
	NDIlib_recv_instance_t recv = MakeReceiver("TESTBOX (Stale)");
	SendVideo(sender, 8, 8, 1);
	NDIlib_video_frame_v2_t v{};
	ASSERT_EQ(NDIlib_recv_capture_v2(recv, &v, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	const volatile uint8_t* pixels = v.p_data;
	NDIlib_recv_free_video_v2(recv, &v);
	EXPECT_DEATH((void)pixels[0], "use-after-poison");

	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	uint32_t count = 0;
	const NDIlib_source_t* first = NDIlib_find_get_current_sources(finder, &count);
	ASSERT_EQ(count, 1u);
	NDIlib_find_get_current_sources(finder, &count);
	EXPECT_DEATH(
	    {
		    const char* volatile name = first->p_ndi_name;
		    (void)name;
	    },
	    "heap-use-after-free");
	NDIlib_send_destroy(sender);
	const NDIlib_source_t* empty = NDIlib_find_get_current_sources(finder, &count);
	ASSERT_EQ(count, 0u);
	EXPECT_DEATH(
	    {
		    const char* volatile name = empty->p_ndi_name;
		    (void)name;
	    },
	    "use-after-poison")
	    << "an empty array has an address but no entry";
	NDIlib_find_destroy(finder);
	NDIlib_recv_destroy(recv);
}
#endif

// ---- Faults ----------------------------------------------------------------------------------

class Faults : public StandinTest {
protected:
	void SetUp() override {
		StandinTest::SetUp();
		ExpectFaults();
		sender = MakeSender("F");
		a = MakeReceiver("TESTBOX (F)");
		b = MakeReceiver("TESTBOX (F)");
		SendVideo(sender, 8, 8, 1);
		SendAudio(sender, 2, 16, 2);
	}
	void TearDown() override {
		if (a)
			NDIlib_recv_destroy(a);
		if (b)
			NDIlib_recv_destroy(b);
		NDIlib_send_destroy(sender);
		StandinTest::TearDown();
	}
	NDIlib_send_instance_t sender = nullptr;
	NDIlib_recv_instance_t a = nullptr, b = nullptr;
	NDIlib_video_frame_v2_t video{};
	NDIlib_audio_frame_v2_t audio{};
};

TEST_F(Faults, DoubleFreeIsReported) {
	ASSERT_EQ(NDIlib_recv_capture_v2(a, &video, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	NDIlib_recv_free_video_v2(a, &video);
	EXPECT_EQ(ndi_standin_fault_count(ndi_standin_fault_any), 0);
	NDIlib_recv_free_video_v2(a, &video);
	EXPECT_NE(std::string(ndi_standin_last_fault()).find("twice"), std::string::npos) << ndi_standin_last_fault();
	EXPECT_EQ(TakeFaults(ndi_standin_fault_double_free), 1);

	ASSERT_EQ(NDIlib_recv_capture_v2(a, nullptr, &audio, nullptr, kPatience), NDIlib_frame_type_audio);
	NDIlib_recv_free_audio_v2(a, &audio);
	NDIlib_recv_free_audio_v2(a, &audio);
	EXPECT_EQ(TakeFaults(ndi_standin_fault_double_free), 1);
}

TEST_F(Faults, FreeOnAnotherReceiverIsReportedAndChangesNothing) {
	ASSERT_EQ(NDIlib_recv_capture_v2(a, &video, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	NDIlib_recv_free_video_v2(b, &video);
	EXPECT_EQ(TakeFaults(ndi_standin_fault_foreign_free), 1);
	ndi_standin_receiver_info_t info{};
	ASSERT_TRUE(ndi_standin_receiver_info(a, &info));
	EXPECT_EQ(info.video_lent, 1) << "still lent by the receiver that lent it";
	NDIlib_recv_free_video_v2(a, &video);
	EXPECT_EQ(ndi_standin_fault_count(ndi_standin_fault_any), 0);
}

TEST_F(Faults, PointersNeverLentAreReported) {
	uint8_t pixels[16] = {};
	NDIlib_video_frame_v2_t forged{};
	forged.p_data = pixels;
	NDIlib_recv_free_video_v2(a, &forged);
	NDIlib_recv_free_video_v2(a, nullptr);
	EXPECT_EQ(TakeFaults(ndi_standin_fault_unknown_free), 2);

	// A video frame handed back as audio is not freed.
	ASSERT_EQ(NDIlib_recv_capture_v2(a, &video, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	NDIlib_audio_frame_v2_t wrongKind{};
	wrongKind.p_data = reinterpret_cast<float*>(video.p_data);
	NDIlib_recv_free_audio_v2(a, &wrongKind);
	EXPECT_EQ(TakeFaults(ndi_standin_fault_unknown_free), 1);
	NDIlib_recv_free_video_v2(a, &video);
}

TEST_F(Faults, DestroyingAReceiverWithFramesLentIsReported) {
	ASSERT_EQ(NDIlib_recv_capture_v2(a, &video, &audio, nullptr, kPatience), NDIlib_frame_type_video);
	ASSERT_EQ(NDIlib_recv_capture_v2(a, &video, &audio, nullptr, kPatience), NDIlib_frame_type_audio);
	EXPECT_EQ(ndi_standin_frames_outstanding(), 2);
	NDIlib_recv_destroy(a);
	EXPECT_EQ(TakeFaults(ndi_standin_fault_destroy_with_lent), 1);
	EXPECT_EQ(ndi_standin_frames_outstanding(), 0);
	NDIlib_recv_free_video_v2(a, &video);
	EXPECT_EQ(TakeFaults(ndi_standin_fault_bad_handle), 1) << "the receiver is gone";
	a = nullptr;
}

TEST_F(Faults, ReleasingTheLibraryWithFramesLentIsReported) {
	ASSERT_TRUE(NDIlib_initialize());
	ASSERT_TRUE(NDIlib_initialize());
	ASSERT_EQ(NDIlib_recv_capture_v2(b, &video, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	NDIlib_destroy();
	EXPECT_EQ(ndi_standin_fault_count(ndi_standin_fault_any), 0) << "still initialised once";
	NDIlib_destroy();
	EXPECT_EQ(TakeFaults(ndi_standin_fault_destroy_library), 1);
	NDIlib_recv_free_video_v2(b, &video);
}

TEST_F(Faults, CallsOnDeadHandlesAndMalformedFramesAreReported) {
	NDIlib_recv_destroy(b);
	b = nullptr;
	NDIlib_recv_instance_t dead = a;
	NDIlib_recv_destroy(a);
	a = nullptr;
	EXPECT_EQ(NDIlib_recv_capture_v2(dead, &video, nullptr, nullptr, 0), NDIlib_frame_type_none);
	NDIlib_recv_destroy(dead);
	EXPECT_EQ(TakeFaults(ndi_standin_fault_bad_handle), 2);

	NDIlib_video_frame_v2_t frame{};
	frame.xres = 8;
	frame.yres = 8;
	frame.FourCC = NDIlib_FourCC_video_type_BGRX;
	NDIlib_send_send_video_v2(sender, &frame); // no pixels
	uint8_t pixels[8 * 8 * 4] = {};
	frame.p_data = pixels;
	frame.line_stride_in_bytes = 8 * 4 - 1;
	NDIlib_send_send_video_v2(sender, &frame);
	frame.line_stride_in_bytes = 0;
	frame.FourCC = NDIlib_FourCC_video_type_e(NDI_STANDIN_FOURCC('P', '2', '1', '6'));
	NDIlib_send_send_video_v2(sender, &frame);
	NDIlib_audio_frame_v2_t sound{};
	sound.sample_rate = 48000;
	sound.no_channels = 2;
	sound.no_samples = 16;
	sound.p_data = reinterpret_cast<float*>(pixels);
	sound.channel_stride_in_bytes = 60;
	NDIlib_send_send_audio_v2(sender, &sound);
	EXPECT_EQ(TakeFaults(ndi_standin_fault_bad_frame), 4);
}

#if GTEST_HAS_DEATH_TEST
TEST_F(Faults, FaultsAreFatalUnlessATestSaysOtherwise) {
	ndi_standin_set_faults_fatal(true);
	ASSERT_EQ(NDIlib_recv_capture_v2(a, &video, nullptr, nullptr, kPatience), NDIlib_frame_type_video);
	NDIlib_recv_free_video_v2(a, &video);
	EXPECT_DEATH(NDIlib_recv_free_video_v2(a, &video), "freed twice");
	ndi_standin_set_faults_fatal(false);
}
#endif

} // namespace
