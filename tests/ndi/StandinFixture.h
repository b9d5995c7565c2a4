// Each stand-in test starts from a known machine name and fault state, and ends with nothing
// alive and nothing lent: a test that leaks a frame or a receiver fails here.
#ifndef STANDIN_FIXTURE_H
#define STANDIN_FIXTURE_H

#include "ndi_standin_control.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

class StandinTest : public ::testing::Test {
protected:
	void SetUp() override {
		ndi_standin_set_faults_fatal(true);
		ndi_standin_reset_faults();
		ndi_standin_reset_call_counts();
		ndi_standin_set_machine_name("TESTBOX");
		ndi_standin_set_queue_limit(16);
		ndi_standin_set_null_for_empty_list(false);
		ndi_standin_set_padding(0, 0);
	}
	void TearDown() override {
		EXPECT_EQ(ndi_standin_frames_outstanding(), 0) << "frames still lent";
		EXPECT_EQ(ndi_standin_live_receivers(), 0);
		EXPECT_EQ(ndi_standin_live_finders(), 0);
		EXPECT_EQ(ndi_standin_live_senders(), 0);
		EXPECT_EQ(ndi_standin_fault_count(ndi_standin_fault_any), 0) << ndi_standin_last_fault();
		ndi_standin_set_faults_fatal(true);
		ndi_standin_reset_faults();
		ndi_standin_set_machine_name(nullptr);
		ndi_standin_set_queue_limit(16);
		ndi_standin_set_null_for_empty_list(false);
		ndi_standin_set_padding(0, 0);
	}

	// Faults are expected from here on; TearDown still fails on any the test did not take.
	void ExpectFaults() { ndi_standin_set_faults_fatal(false); }
	int TakeFaults(ndi_standin_fault_e kind) {
		int n = ndi_standin_fault_count(kind);
		ndi_standin_reset_faults();
		return n;
	}

	static NDIlib_send_instance_t MakeSender(const char* name) {
		NDIlib_send_create_t settings{};
		settings.p_ndi_name = name;
		return NDIlib_send_create(&settings);
	}
	static NDIlib_recv_instance_t MakeReceiver(const char* source, NDIlib_recv_bandwidth_e bandwidth = NDIlib_recv_bandwidth_highest,
	                                           NDIlib_recv_color_format_e format = NDIlib_recv_color_format_BGRX_BGRA) {
		NDIlib_recv_create_v3_t settings{};
		settings.source_to_connect_to.p_ndi_name = source;
		settings.color_format = format;
		settings.bandwidth = bandwidth;
		settings.allow_video_fields = false;
		NDIlib_recv_instance_t recv = NDIlib_recv_create_v3(&settings);
		NDIlib_recv_connect(recv, &settings.source_to_connect_to);
		return recv;
	}

	static NDIlib_recv_instance_t MakeReceiverOnly() {
		NDIlib_recv_create_v3_t settings{};
		settings.color_format = NDIlib_recv_color_format_BGRX_BGRA;
		return NDIlib_recv_create_v3(&settings);
	}

	// A frame whose every pixel is (b, g, r, a); its timecode carries `tag`.
	static void SendVideo(NDIlib_send_instance_t sender, int xres, int yres, int64_t tag,
	                      NDIlib_FourCC_video_type_e fourcc = NDIlib_FourCC_video_type_BGRX, uint8_t b = 10, uint8_t g = 20,
	                      uint8_t r = 30, uint8_t a = 255) {
		std::vector<uint8_t> pixels(size_t(xres) * size_t(yres) * 4);
		for (size_t i = 0; i < pixels.size(); i += 4) {
			pixels[i] = b;
			pixels[i + 1] = g;
			pixels[i + 2] = r;
			pixels[i + 3] = a;
		}
		NDIlib_video_frame_v2_t frame{};
		frame.xres = xres;
		frame.yres = yres;
		frame.FourCC = fourcc;
		frame.frame_rate_N = 30;
		frame.frame_rate_D = 1;
		frame.frame_format_type = NDIlib_frame_format_type_progressive;
		frame.timecode = tag;
		frame.p_data = pixels.data();
		frame.line_stride_in_bytes = xres * 4;
		NDIlib_send_send_video_v2(sender, &frame);
	}
	// Planar audio, channel c sample i = c + i / 1000; its timecode carries `tag`.
	static void SendAudio(NDIlib_send_instance_t sender, int channels, int samples, int64_t tag, int strideExtra = 0) {
		int stride = samples * 4 + strideExtra;
		std::vector<uint8_t> bytes(size_t(stride) * size_t(channels));
		for (int c = 0; c < channels; ++c)
			for (int i = 0; i < samples; ++i) {
				float v = float(c) + float(i) / 1000.0f;
				memcpy(&bytes[size_t(stride) * c + size_t(i) * 4], &v, 4);
			}
		NDIlib_audio_frame_v2_t frame{};
		frame.sample_rate = 48000;
		frame.no_channels = channels;
		frame.no_samples = samples;
		frame.timecode = tag;
		frame.p_data = reinterpret_cast<float*>(bytes.data());
		frame.channel_stride_in_bytes = stride;
		NDIlib_send_send_audio_v2(sender, &frame);
	}

	// Generous: a capture only waits this long when the stand-in fails to deliver.
	static constexpr uint32_t kPatience = 10000;
};

#endif
