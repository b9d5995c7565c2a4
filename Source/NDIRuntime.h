// What the plug-in uses of the NDI runtime library, declared by the SDK's names. The library is
// linked by name at load time (Processing.NDI.Lib.x64.dll on Windows, @rpath/libndi.3.dylib on
// macOS), so every record below must match the library's layout to the byte.
#ifndef NDI_RUNTIME_H
#define NDI_RUNTIME_H

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#define NDIRUNTIME_API extern "C" __declspec(dllimport)
#else
#define NDIRUNTIME_API extern "C"
#endif

typedef void* NDIlib_find_instance_t;
typedef void* NDIlib_recv_instance_t;

constexpr uint32_t NDI_LIB_FOURCC(char a, char b, char c, char d) {
	return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}

enum NDIlib_frame_type_e : int32_t {
	NDIlib_frame_type_none = 0,
	NDIlib_frame_type_video = 1,
	NDIlib_frame_type_audio = 2,
	NDIlib_frame_type_metadata = 3,
	NDIlib_frame_type_error = 4,
	NDIlib_frame_type_status_change = 100,
	NDIlib_frame_type_source_change = 101,
};

enum NDIlib_FourCC_video_type_e : int32_t {
	NDIlib_FourCC_video_type_UYVY = int32_t(NDI_LIB_FOURCC('U', 'Y', 'V', 'Y')),
	NDIlib_FourCC_video_type_UYVA = int32_t(NDI_LIB_FOURCC('U', 'Y', 'V', 'A')),
	NDIlib_FourCC_video_type_BGRA = int32_t(NDI_LIB_FOURCC('B', 'G', 'R', 'A')),
	NDIlib_FourCC_video_type_BGRX = int32_t(NDI_LIB_FOURCC('B', 'G', 'R', 'X')),
	NDIlib_FourCC_video_type_RGBA = int32_t(NDI_LIB_FOURCC('R', 'G', 'B', 'A')),
	NDIlib_FourCC_video_type_RGBX = int32_t(NDI_LIB_FOURCC('R', 'G', 'B', 'X')),
};

enum NDIlib_recv_color_format_e : int32_t {
	NDIlib_recv_color_format_BGRX_BGRA = 0,
	NDIlib_recv_color_format_UYVY_BGRA = 1,
	NDIlib_recv_color_format_RGBX_RGBA = 2,
	NDIlib_recv_color_format_UYVY_RGBA = 3,
	NDIlib_recv_color_format_fastest = 100,
	NDIlib_recv_color_format_best = 101,
};

enum NDIlib_recv_bandwidth_e : int32_t {
	NDIlib_recv_bandwidth_metadata_only = -10,
	NDIlib_recv_bandwidth_audio_only = 10,
	NDIlib_recv_bandwidth_lowest = 0,
	NDIlib_recv_bandwidth_highest = 100,
};

enum NDIlib_frame_format_type_e : int32_t {
	NDIlib_frame_format_type_interleaved = 0,
	NDIlib_frame_format_type_progressive = 1,
	NDIlib_frame_format_type_field_0 = 2,
	NDIlib_frame_format_type_field_1 = 3,
};

constexpr int64_t NDIlib_send_timecode_synthesize = INT64_MAX;
constexpr int64_t NDIlib_recv_timestamp_undefined = INT64_MAX;

struct NDIlib_source_t {
	const char* p_ndi_name = nullptr;
	union {
		const char* p_url_address;
		const char* p_ip_address;
	};
	NDIlib_source_t() : p_url_address(nullptr) {}
};

struct NDIlib_find_create_t {
	bool show_local_sources = true;
	const char* p_groups = nullptr;
	const char* p_extra_ips = nullptr;
};

struct NDIlib_recv_create_v3_t {
	NDIlib_source_t source_to_connect_to;
	NDIlib_recv_color_format_e color_format = NDIlib_recv_color_format_UYVY_BGRA;
	NDIlib_recv_bandwidth_e bandwidth = NDIlib_recv_bandwidth_highest;
	bool allow_video_fields = true;
	const char* p_ndi_recv_name = nullptr;
};

// Constructed with the SDK's default values.
struct NDIlib_video_frame_v2_t {
	int xres = 0;
	int yres = 0;
	NDIlib_FourCC_video_type_e FourCC = NDIlib_FourCC_video_type_UYVY;
	int frame_rate_N = 30000;
	int frame_rate_D = 1001;
	float picture_aspect_ratio = 0.0f;
	NDIlib_frame_format_type_e frame_format_type = NDIlib_frame_format_type_progressive;
	int64_t timecode = NDIlib_send_timecode_synthesize;
	uint8_t* p_data = nullptr;
	union {
		int line_stride_in_bytes;
		int data_size_in_bytes;
	};
	const char* p_metadata = nullptr;
	int64_t timestamp = 0;
	NDIlib_video_frame_v2_t() : line_stride_in_bytes(0) {}
};

struct NDIlib_audio_frame_v2_t {
	int sample_rate = 48000;
	int no_channels = 2;
	int no_samples = 0;
	int64_t timecode = NDIlib_send_timecode_synthesize;
	float* p_data = nullptr;
	int channel_stride_in_bytes = 0;
	const char* p_metadata = nullptr;
	int64_t timestamp = 0;
};

struct NDIlib_metadata_frame_t {
	int length = 0;
	int64_t timecode = NDIlib_send_timecode_synthesize;
	char* p_data = nullptr;
};

static_assert(sizeof(NDIlib_source_t) == 16, "NDIlib_source_t");
static_assert(offsetof(NDIlib_source_t, p_ndi_name) == 0, "NDIlib_source_t");
static_assert(offsetof(NDIlib_source_t, p_url_address) == 8, "NDIlib_source_t");

static_assert(sizeof(NDIlib_find_create_t) == 24, "NDIlib_find_create_t");
static_assert(offsetof(NDIlib_find_create_t, show_local_sources) == 0, "NDIlib_find_create_t");
static_assert(offsetof(NDIlib_find_create_t, p_groups) == 8, "NDIlib_find_create_t");
static_assert(offsetof(NDIlib_find_create_t, p_extra_ips) == 16, "NDIlib_find_create_t");

static_assert(sizeof(NDIlib_recv_create_v3_t) == 40, "NDIlib_recv_create_v3_t");
static_assert(offsetof(NDIlib_recv_create_v3_t, source_to_connect_to) == 0, "NDIlib_recv_create_v3_t");
static_assert(offsetof(NDIlib_recv_create_v3_t, color_format) == 16, "NDIlib_recv_create_v3_t");
static_assert(offsetof(NDIlib_recv_create_v3_t, bandwidth) == 20, "NDIlib_recv_create_v3_t");
static_assert(offsetof(NDIlib_recv_create_v3_t, allow_video_fields) == 24, "NDIlib_recv_create_v3_t");
static_assert(offsetof(NDIlib_recv_create_v3_t, p_ndi_recv_name) == 32, "NDIlib_recv_create_v3_t");

static_assert(sizeof(NDIlib_video_frame_v2_t) == 72, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, xres) == 0, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, yres) == 4, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, FourCC) == 8, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_rate_N) == 12, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_rate_D) == 16, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, picture_aspect_ratio) == 20, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_format_type) == 24, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, timecode) == 32, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, p_data) == 40, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, line_stride_in_bytes) == 48, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, p_metadata) == 56, "NDIlib_video_frame_v2_t");
static_assert(offsetof(NDIlib_video_frame_v2_t, timestamp) == 64, "NDIlib_video_frame_v2_t");

static_assert(sizeof(NDIlib_audio_frame_v2_t) == 56, "NDIlib_audio_frame_v2_t");
static_assert(offsetof(NDIlib_audio_frame_v2_t, sample_rate) == 0, "NDIlib_audio_frame_v2_t");
static_assert(offsetof(NDIlib_audio_frame_v2_t, no_channels) == 4, "NDIlib_audio_frame_v2_t");
static_assert(offsetof(NDIlib_audio_frame_v2_t, no_samples) == 8, "NDIlib_audio_frame_v2_t");
static_assert(offsetof(NDIlib_audio_frame_v2_t, timecode) == 16, "NDIlib_audio_frame_v2_t");
static_assert(offsetof(NDIlib_audio_frame_v2_t, p_data) == 24, "NDIlib_audio_frame_v2_t");
static_assert(offsetof(NDIlib_audio_frame_v2_t, channel_stride_in_bytes) == 32, "NDIlib_audio_frame_v2_t");
static_assert(offsetof(NDIlib_audio_frame_v2_t, p_metadata) == 40, "NDIlib_audio_frame_v2_t");
static_assert(offsetof(NDIlib_audio_frame_v2_t, timestamp) == 48, "NDIlib_audio_frame_v2_t");

static_assert(sizeof(NDIlib_metadata_frame_t) == 24, "NDIlib_metadata_frame_t");
static_assert(offsetof(NDIlib_metadata_frame_t, length) == 0, "NDIlib_metadata_frame_t");
static_assert(offsetof(NDIlib_metadata_frame_t, timecode) == 8, "NDIlib_metadata_frame_t");
static_assert(offsetof(NDIlib_metadata_frame_t, p_data) == 16, "NDIlib_metadata_frame_t");

static_assert(sizeof(NDIlib_frame_type_e) == 4 && sizeof(NDIlib_recv_bandwidth_e) == 4, "32-bit enumerations");

NDIRUNTIME_API bool NDIlib_initialize(void);
NDIRUNTIME_API void NDIlib_destroy(void);
NDIRUNTIME_API const char* NDIlib_version(void);

NDIRUNTIME_API NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* p_create_settings);
NDIRUNTIME_API void NDIlib_find_destroy(NDIlib_find_instance_t p_instance);
NDIRUNTIME_API bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms);
NDIRUNTIME_API const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance,
                                                                      uint32_t* p_no_sources);

NDIRUNTIME_API NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t* p_create_settings);
NDIRUNTIME_API void NDIlib_recv_destroy(NDIlib_recv_instance_t p_instance);
NDIRUNTIME_API void NDIlib_recv_connect(NDIlib_recv_instance_t p_instance, const NDIlib_source_t* p_src);
NDIRUNTIME_API NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t p_instance,
                                                         NDIlib_video_frame_v2_t* p_video_data,
                                                         NDIlib_audio_frame_v2_t* p_audio_data,
                                                         NDIlib_metadata_frame_t* p_metadata,
                                                         uint32_t timeout_in_ms);
NDIRUNTIME_API void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t p_instance,
                                              const NDIlib_video_frame_v2_t* p_video_data);
NDIRUNTIME_API void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t p_instance,
                                              const NDIlib_audio_frame_v2_t* p_audio_data);

#endif
