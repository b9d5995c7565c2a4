#include "NdiNetwork.h"

#include "ndi_standin_control.h"

#include <vector>

namespace ndinet {

void Reset() {
	ndi_standin_set_machine_name("TEST");
	ndi_standin_set_faults_fatal(true);
	ndi_standin_reset_faults();
	ndi_standin_reset_call_counts();
	ndi_standin_fail_capture(0);
}

std::string FullName(const std::string& name) {
	return std::string(ndi_standin_machine_name()) + " (" + name + ")";
}

Sender::Sender(const std::string& name) {
	NDIlib_send_create_t settings{};
	settings.p_ndi_name = name.c_str();
	mSender = NDIlib_send_create(&settings);
	mFullName = FullName(name);
}

Sender::~Sender() {
	NDIlib_send_destroy(mSender);
}

PatternSource::PatternSource(const std::string& name, int channels, double clockPpm) {
	ndi_standin_pattern_settings_t settings;
	ndi_standin_pattern_defaults(&settings);
	settings.name = name.c_str();
	settings.xres = 160;
	settings.yres = 16;
	settings.no_channels = channels;
	settings.clock_ppm = clockPpm;
	ndi_standin_pattern_t* pattern = ndi_standin_pattern_start(&settings);
	mPattern = pattern;
	if (pattern)
		mFullName = ndi_standin_pattern_source_name(pattern);
}

PatternSource::~PatternSource() {
	if (mPattern)
		ndi_standin_pattern_stop(static_cast<ndi_standin_pattern_t*>(mPattern));
}

void Sender::Video(uint32_t tag, int xres, int yres) {
	std::vector<uint32_t> pixels(size_t(xres) * size_t(yres), 0xFF202020u);
	pixels[0] = tag;
	NDIlib_video_frame_v2_t frame{};
	frame.xres = xres;
	frame.yres = yres;
	frame.FourCC = NDIlib_FourCC_video_type_BGRX;
	frame.frame_rate_N = 30;
	frame.frame_rate_D = 1;
	frame.frame_format_type = NDIlib_frame_format_type_progressive;
	frame.p_data = reinterpret_cast<uint8_t*>(pixels.data());
	frame.line_stride_in_bytes = xres * 4;
	NDIlib_send_send_video_v2(mSender, &frame);
}

void Sender::VideoPixels(const std::vector<uint32_t>& pixels, int xres, int yres) {
	if (pixels.size() < size_t(xres) * size_t(yres))
		return;
	NDIlib_video_frame_v2_t frame{};
	frame.xres = xres;
	frame.yres = yres;
	frame.FourCC = NDIlib_FourCC_video_type_BGRX;
	frame.frame_rate_N = 30;
	frame.frame_rate_D = 1;
	frame.frame_format_type = NDIlib_frame_format_type_progressive;
	frame.p_data = reinterpret_cast<uint8_t*>(const_cast<uint32_t*>(pixels.data()));
	frame.line_stride_in_bytes = xres * 4;
	NDIlib_send_send_video_v2(mSender, &frame);
}

void Sender::Audio(int sampleRate, int channels, int samples, float base) {
	std::vector<float> planar(size_t(channels) * size_t(samples));
	for (int c = 0; c < channels; ++c)
		for (int n = 0; n < samples; ++n)
			planar[size_t(c) * size_t(samples) + size_t(n)] = base + float(c) + float(n) / 100000.0f;
	AudioPlanar(sampleRate, channels, samples, planar.data());
}

void Sender::AudioPlanar(int sampleRate, int channels, int samples, const float* planar) {
	NDIlib_audio_frame_v2_t frame{};
	frame.sample_rate = sampleRate;
	frame.no_channels = channels;
	frame.no_samples = samples;
	frame.timecode = NDIlib_send_timecode_synthesize;
	frame.p_data = const_cast<float*>(planar);
	frame.channel_stride_in_bytes = samples * 4;
	NDIlib_send_send_audio_v2(mSender, &frame);
}

void InjectForeignVideo(const std::string& fullName, int xres, int yres) {
	ndi_standin_inject_video(fullName.c_str(), NDIlib_FourCC_video_type_UYVY, xres, yres);
}

void AddSource(const std::string& fullName) {
	ndi_standin_add_source(fullName.c_str(), nullptr);
}
void RemoveSource(const std::string& fullName) {
	ndi_standin_remove_source(fullName.c_str());
}

int LiveFinders() { return ndi_standin_live_finders(); }
int LiveReceivers() { return ndi_standin_live_receivers(); }
int FramesOutstanding() { return ndi_standin_frames_outstanding(); }
int Faults() { return ndi_standin_fault_count(ndi_standin_fault_any); }
int CallCount(const char* function) { return ndi_standin_call_count(function); }

namespace {
// Totals over the live receivers.
template <typename Field>
int64_t SumOverReceivers(Field field) {
	NDIlib_recv_instance_t receivers[64];
	int count = ndi_standin_receivers(receivers, 64);
	int64_t total = 0;
	for (int i = 0; i < count && i < 64; ++i) {
		ndi_standin_receiver_info_t info;
		if (ndi_standin_receiver_info(receivers[i], &info))
			total += field(info);
	}
	return total;
}
} // namespace

int QueuedFrames() {
	return int(SumOverReceivers([](const ndi_standin_receiver_info_t& i) { return int64_t(i.queued); }));
}

int64_t VideoFreedTotal() {
	return SumOverReceivers([](const ndi_standin_receiver_info_t& i) { return i.video_freed_total; });
}
int64_t AudioFreedTotal() {
	return SumOverReceivers([](const ndi_standin_receiver_info_t& i) { return i.audio_freed_total; });
}

int RecvCreateCalls() {
	return ndi_standin_call_count("NDIlib_recv_create_v3");
}

bool RecvCreateCall(int index, RecvCreate* out) {
	ndi_standin_recv_create_call_t call;
	if (!ndi_standin_recv_create_call(index, &call))
		return false;
	out->sourceName = call.source_name.is_null ? "" : call.source_name.text;
	out->colorFormat = int(call.color_format);
	out->bandwidth = int(call.bandwidth);
	out->allowFields = call.allow_video_fields;
	out->recvNameNull = call.recv_name.is_null;
	return true;
}

bool ReceiverConnected(int index, std::string* sourceName) {
	ndi_standin_recv_connect_call_t call;
	if (!ndi_standin_recv_connect_call(index, &call))
		return false;
	*sourceName = call.source_null || call.source_name.is_null ? "" : call.source_name.text;
	return true;
}

int64_t WaitForSourcesMaxTimeout() {
	ndi_standin_timeouts_t t;
	ndi_standin_timeouts(&t);
	return t.wait_for_sources_max;
}
int64_t CaptureMaxTimeout() {
	ndi_standin_timeouts_t t;
	ndi_standin_timeouts(&t);
	return t.capture_max;
}

void FailFindCreate(int times) { ndi_standin_fail_find_create(times); }
void FailRecvCreate(int times) { ndi_standin_fail_recv_create(times); }
void FailCapture(int times) { ndi_standin_fail_capture(times); }

} // namespace ndinet
