// The NDI runtime's public records, functions and enumerations as the stand-in exports them.
// Written independently of the plug-in's own declarations so that a layout mistake on either
// side shows up in the tests instead of cancelling out.
#ifndef NDI_STANDIN_ABI_H
#define NDI_STANDIN_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#  ifdef NDI_STANDIN_BUILDING
#    define NDI_STANDIN_EXPORT __declspec(dllexport)
#  else
#    define NDI_STANDIN_EXPORT __declspec(dllimport)
#  endif
#else
#  define NDI_STANDIN_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void* NDIlib_find_instance_t;
typedef void* NDIlib_recv_instance_t;
typedef void* NDIlib_send_instance_t;

#define NDI_STANDIN_FOURCC(a, b, c, d) \
	((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16) | ((uint32_t)(uint8_t)(d) << 24))

typedef enum NDIlib_frame_type_e {
	NDIlib_frame_type_none = 0,
	NDIlib_frame_type_video = 1,
	NDIlib_frame_type_audio = 2,
	NDIlib_frame_type_metadata = 3,
	NDIlib_frame_type_error = 4,
	NDIlib_frame_type_status_change = 100,
	NDIlib_frame_type_source_change = 101,
	NDIlib_frame_type_max = 0x7fffffff
} NDIlib_frame_type_e;

typedef enum NDIlib_FourCC_video_type_e {
	NDIlib_FourCC_video_type_UYVY = NDI_STANDIN_FOURCC('U', 'Y', 'V', 'Y'),
	NDIlib_FourCC_video_type_UYVA = NDI_STANDIN_FOURCC('U', 'Y', 'V', 'A'),
	NDIlib_FourCC_video_type_BGRA = NDI_STANDIN_FOURCC('B', 'G', 'R', 'A'),
	NDIlib_FourCC_video_type_BGRX = NDI_STANDIN_FOURCC('B', 'G', 'R', 'X'),
	NDIlib_FourCC_video_type_RGBA = NDI_STANDIN_FOURCC('R', 'G', 'B', 'A'),
	NDIlib_FourCC_video_type_RGBX = NDI_STANDIN_FOURCC('R', 'G', 'B', 'X'),
	NDIlib_FourCC_video_type_max = 0x7fffffff
} NDIlib_FourCC_video_type_e;

typedef enum NDIlib_recv_color_format_e {
	NDIlib_recv_color_format_BGRX_BGRA = 0,
	NDIlib_recv_color_format_UYVY_BGRA = 1,
	NDIlib_recv_color_format_RGBX_RGBA = 2,
	NDIlib_recv_color_format_UYVY_RGBA = 3,
	NDIlib_recv_color_format_fastest = 100,
	NDIlib_recv_color_format_best = 101,
	NDIlib_recv_color_format_max = 0x7fffffff
} NDIlib_recv_color_format_e;

typedef enum NDIlib_recv_bandwidth_e {
	NDIlib_recv_bandwidth_metadata_only = -10,
	NDIlib_recv_bandwidth_audio_only = 10,
	NDIlib_recv_bandwidth_lowest = 0,
	NDIlib_recv_bandwidth_highest = 100,
	NDIlib_recv_bandwidth_max = 0x7fffffff
} NDIlib_recv_bandwidth_e;

typedef enum NDIlib_frame_format_type_e {
	NDIlib_frame_format_type_interleaved = 0,
	NDIlib_frame_format_type_progressive = 1,
	NDIlib_frame_format_type_field_0 = 2,
	NDIlib_frame_format_type_field_1 = 3,
	NDIlib_frame_format_type_max = 0x7fffffff
} NDIlib_frame_format_type_e;

#define NDIlib_send_timecode_synthesize INT64_MAX
#define NDIlib_recv_timestamp_undefined INT64_MAX

typedef struct NDIlib_source_t {
	const char* p_ndi_name;
	union {
		const char* p_url_address;
		const char* p_ip_address;
	};
} NDIlib_source_t;

typedef struct NDIlib_find_create_t {
	bool show_local_sources;
	const char* p_groups;
	const char* p_extra_ips;
} NDIlib_find_create_t;

typedef struct NDIlib_recv_create_v3_t {
	NDIlib_source_t source_to_connect_to;
	NDIlib_recv_color_format_e color_format;
	NDIlib_recv_bandwidth_e bandwidth;
	bool allow_video_fields;
	const char* p_ndi_recv_name;
} NDIlib_recv_create_v3_t;

typedef struct NDIlib_video_frame_v2_t {
	int xres, yres;
	NDIlib_FourCC_video_type_e FourCC;
	int frame_rate_N, frame_rate_D;
	float picture_aspect_ratio;
	NDIlib_frame_format_type_e frame_format_type;
	int64_t timecode;
	uint8_t* p_data;
	union {
		int line_stride_in_bytes;
		int data_size_in_bytes;
	};
	const char* p_metadata;
	int64_t timestamp;
} NDIlib_video_frame_v2_t;

typedef struct NDIlib_audio_frame_v2_t {
	int sample_rate;
	int no_channels;
	int no_samples;
	int64_t timecode;
	float* p_data;
	int channel_stride_in_bytes;
	const char* p_metadata;
	int64_t timestamp;
} NDIlib_audio_frame_v2_t;

typedef struct NDIlib_metadata_frame_t {
	int length;
	int64_t timecode;
	char* p_data;
} NDIlib_metadata_frame_t;

typedef struct NDIlib_send_create_t {
	const char* p_ndi_name;
	const char* p_groups;
	bool clock_video;
	bool clock_audio;
} NDIlib_send_create_t;

NDI_STANDIN_EXPORT bool NDIlib_initialize(void);
NDI_STANDIN_EXPORT void NDIlib_destroy(void);
NDI_STANDIN_EXPORT const char* NDIlib_version(void);

NDI_STANDIN_EXPORT NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* p_create_settings);
NDI_STANDIN_EXPORT void NDIlib_find_destroy(NDIlib_find_instance_t p_instance);
NDI_STANDIN_EXPORT bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms);
NDI_STANDIN_EXPORT const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance,
                                                                           uint32_t* p_no_sources);

NDI_STANDIN_EXPORT NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t* p_create_settings);
NDI_STANDIN_EXPORT void NDIlib_recv_destroy(NDIlib_recv_instance_t p_instance);
NDI_STANDIN_EXPORT void NDIlib_recv_connect(NDIlib_recv_instance_t p_instance, const NDIlib_source_t* p_src);
NDI_STANDIN_EXPORT NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t p_instance,
                                                              NDIlib_video_frame_v2_t* p_video_data,
                                                              NDIlib_audio_frame_v2_t* p_audio_data,
                                                              NDIlib_metadata_frame_t* p_metadata,
                                                              uint32_t timeout_in_ms);
NDI_STANDIN_EXPORT void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t p_instance,
                                                  const NDIlib_video_frame_v2_t* p_video_data);
NDI_STANDIN_EXPORT void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t p_instance,
                                                  const NDIlib_audio_frame_v2_t* p_audio_data);

NDI_STANDIN_EXPORT NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* p_create_settings);
NDI_STANDIN_EXPORT void NDIlib_send_destroy(NDIlib_send_instance_t p_instance);
NDI_STANDIN_EXPORT void NDIlib_send_send_video_v2(NDIlib_send_instance_t p_instance,
                                                  const NDIlib_video_frame_v2_t* p_video_data);
NDI_STANDIN_EXPORT void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p_instance,
                                                  const NDIlib_audio_frame_v2_t* p_audio_data);

#ifdef __cplusplus
}

static_assert(sizeof(NDIlib_source_t) == 16 && offsetof(NDIlib_source_t, p_url_address) == 8, "source");
static_assert(sizeof(NDIlib_find_create_t) == 24 && offsetof(NDIlib_find_create_t, p_groups) == 8 &&
                  offsetof(NDIlib_find_create_t, p_extra_ips) == 16,
              "finder settings");
static_assert(sizeof(NDIlib_recv_create_v3_t) == 40 && offsetof(NDIlib_recv_create_v3_t, color_format) == 16 &&
                  offsetof(NDIlib_recv_create_v3_t, bandwidth) == 20 &&
                  offsetof(NDIlib_recv_create_v3_t, allow_video_fields) == 24 &&
                  offsetof(NDIlib_recv_create_v3_t, p_ndi_recv_name) == 32,
              "receiver settings");
static_assert(sizeof(NDIlib_video_frame_v2_t) == 72 && offsetof(NDIlib_video_frame_v2_t, FourCC) == 8 &&
                  offsetof(NDIlib_video_frame_v2_t, frame_rate_N) == 12 &&
                  offsetof(NDIlib_video_frame_v2_t, frame_rate_D) == 16 &&
                  offsetof(NDIlib_video_frame_v2_t, picture_aspect_ratio) == 20 &&
                  offsetof(NDIlib_video_frame_v2_t, frame_format_type) == 24 &&
                  offsetof(NDIlib_video_frame_v2_t, timecode) == 32 && offsetof(NDIlib_video_frame_v2_t, p_data) == 40 &&
                  offsetof(NDIlib_video_frame_v2_t, line_stride_in_bytes) == 48 &&
                  offsetof(NDIlib_video_frame_v2_t, p_metadata) == 56 &&
                  offsetof(NDIlib_video_frame_v2_t, timestamp) == 64,
              "video frame");
static_assert(sizeof(NDIlib_audio_frame_v2_t) == 56 && offsetof(NDIlib_audio_frame_v2_t, no_channels) == 4 &&
                  offsetof(NDIlib_audio_frame_v2_t, no_samples) == 8 && offsetof(NDIlib_audio_frame_v2_t, timecode) == 16 &&
                  offsetof(NDIlib_audio_frame_v2_t, p_data) == 24 &&
                  offsetof(NDIlib_audio_frame_v2_t, channel_stride_in_bytes) == 32 &&
                  offsetof(NDIlib_audio_frame_v2_t, p_metadata) == 40 && offsetof(NDIlib_audio_frame_v2_t, timestamp) == 48,
              "audio frame");
static_assert(sizeof(NDIlib_metadata_frame_t) == 24 && offsetof(NDIlib_metadata_frame_t, timecode) == 8 &&
                  offsetof(NDIlib_metadata_frame_t, p_data) == 16,
              "metadata frame");
static_assert(sizeof(NDIlib_send_create_t) == 24 && offsetof(NDIlib_send_create_t, p_groups) == 8 &&
                  offsetof(NDIlib_send_create_t, clock_video) == 16 && offsetof(NDIlib_send_create_t, clock_audio) == 17,
              "sender settings");
static_assert(sizeof(NDIlib_frame_type_e) == 4 && sizeof(NDIlib_recv_bandwidth_e) == 4, "32-bit enumerations");
#endif

#endif
