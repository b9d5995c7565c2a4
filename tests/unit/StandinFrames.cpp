#include "StandinFrames.h"

#include "ndi_standin_control.h"

#include <gtest/gtest.h>

namespace standin_frames {

Receiver::Receiver(const char* sourceName) : mSourceName(sourceName) {
	EXPECT_TRUE(NDIlib_initialize());
	EXPECT_TRUE(ndi_standin_add_source(sourceName, nullptr));
	NDIlib_recv_create_v3_t settings{};
	settings.source_to_connect_to.p_ndi_name = sourceName;
	settings.color_format = NDIlib_recv_color_format_BGRX_BGRA;
	settings.bandwidth = NDIlib_recv_bandwidth_highest;
	mHandle = NDIlib_recv_create_v3(&settings);
	EXPECT_NE(mHandle, nullptr);
}

Receiver::~Receiver() {
	EXPECT_EQ(videoLent(), 0) << "frames still lent when the receiver goes";
	NDIlib_recv_destroy(mHandle);
	ndi_standin_remove_source(mSourceName);
	NDIlib_destroy();
}

bool Receiver::CaptureVideo(void* record, int xres, int yres) {
	static_assert(sizeof(NDIlib_video_frame_v2_t) == 72, "the record both sides declare");
	if (ndi_standin_inject_video(mSourceName, NDIlib_FourCC_video_type_BGRX, xres, yres) != 1)
		return false;
	NDIlib_video_frame_v2_t* video = static_cast<NDIlib_video_frame_v2_t*>(record);
	return NDIlib_recv_capture_v2(mHandle, video, nullptr, nullptr, 5000) == NDIlib_frame_type_video;
}

int Receiver::videoLent() const {
	ndi_standin_receiver_info_t info{};
	return ndi_standin_receiver_info(mHandle, &info) ? info.video_lent : -1;
}

int64_t Receiver::videoFreed() const {
	ndi_standin_receiver_info_t info{};
	return ndi_standin_receiver_info(mHandle, &info) ? info.video_freed_total : -1;
}

int Faults() {
	return ndi_standin_fault_count(ndi_standin_fault_any);
}

} // namespace standin_frames
