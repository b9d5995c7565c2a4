// The test-pattern source: an ordinary sender on its own thread, paced by the real clock.
// The picture's layout and the tones are described in ndi_standin_control.h; the decoder below
// reads them back from what a receiver was given.
#include "StandinInternal.h"
#include "ndi_standin_control.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int kCells = 40, kFirstBitCell = 4, kBits = 32;
const double kPi = 3.14159265358979323846;

bool CellIsWhite(int cell, uint32_t number) {
	if (cell < kFirstBitCell)
		return cell % 2 == 0; // white, black, white, black
	if (cell >= kFirstBitCell + kBits)
		return cell % 2 == 1; // black, white, black, white
	return (number >> (kBits - 1 - (cell - kFirstBitCell))) & 1u;
}

int BandRows(int yres) {
	int rows = (yres / 32) & ~1;
	return rows < 4 ? 4 : rows;
}

// One schedule of frames on the real clock. A sender that has fallen far behind (a stalled
// machine) starts afresh rather than sending a burst.
struct Schedule {
	Clock::time_point origin;
	int64_t base = 0, next = 0;
	double seconds = 0.0; // per frame
	Clock::time_point Due() const {
		return origin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(next - base) * seconds));
	}
	// The same frames from the next one on, at a new pace.
	void SetPace(double perFrame) {
		origin = Due();
		base = next;
		seconds = perFrame;
	}
	void CatchUp(Clock::time_point now) {
		if (now - Due() > std::chrono::seconds(1)) {
			origin = now;
			base = next;
		}
	}
};

} // namespace

struct ndi_standin_pattern_t {
	ndi_standin_pattern_settings_t settings{};
	std::string shortName, fullName;
	NDIlib_send_instance_t sender = nullptr;
	std::vector<uint8_t> background, picture;
	std::vector<float> samples;
	std::atomic<int64_t> videoSent{0}, audioSent{0};
	std::atomic<int> channels{0}; // of the audio frames sent from now on
	double clockPpm = 0.0; // under `lock`
	bool clockChanged = false;
	int64_t sampleIndex = 0;

	std::mutex lock;
	std::condition_variable wake;
	bool stopping = false;
	std::thread thread;

	void DrawBackground();
	void SendVideo(int64_t number);
	void SendAudio();
	void Run();
};

void ndi_standin_pattern_t::DrawBackground() {
	static const uint8_t kBars[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
	                                    {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}}; // B, G, R
	int w = settings.xres, h = settings.yres;
	background.resize(size_t(w) * size_t(h) * 4);
	for (int x = 0; x < w; ++x) {
		int bar = x * 8 / w;
		uint8_t pixel[4] = {kBars[bar][0], kBars[bar][1], kBars[bar][2], uint8_t(settings.alpha ? 255 - 24 * bar : 255)};
		for (int y = 0; y < h; ++y)
			memcpy(&background[(size_t(y) * w + x) * 4], pixel, 4);
	}
}

void ndi_standin_pattern_t::SendVideo(int64_t number) {
	int w = settings.xres, h = settings.yres;
	picture = background;
	int size = h / 4 > 2 ? h / 4 : 2, step = w / 64 > 1 ? w / 64 : 1;
	int left = int((number * step) % (w - size + 1)), top = (h - size) / 2;
	for (int y = top; y < top + size; ++y)
		for (int x = left; x < left + size; ++x)
			memset(&picture[(size_t(y) * w + x) * 4], 0xC0, 3), picture[(size_t(y) * w + x) * 4 + 3] = 255;
	uint32_t code = uint32_t(number);
	for (int cell = 0; cell < kCells; ++cell) {
		uint8_t v = CellIsWhite(cell, code) ? 255 : 0;
		for (int x = cell * w / kCells; x < (cell + 1) * w / kCells; ++x)
			for (int y = 0; y < BandRows(h); ++y) {
				uint8_t* p = &picture[(size_t(y) * w + x) * 4];
				p[0] = p[1] = p[2] = v;
				p[3] = 255;
			}
	}
	NDIlib_video_frame_v2_t frame{};
	frame.xres = w;
	frame.yres = h;
	frame.FourCC = settings.alpha ? NDIlib_FourCC_video_type_BGRA : NDIlib_FourCC_video_type_BGRX;
	frame.frame_rate_N = settings.frame_rate_N;
	frame.frame_rate_D = settings.frame_rate_D;
	frame.picture_aspect_ratio = float(w) / float(h);
	frame.frame_format_type = NDIlib_frame_format_type_progressive;
	frame.timecode = NDIlib_send_timecode_synthesize;
	frame.p_data = picture.data();
	frame.line_stride_in_bytes = w * 4;
	NDIlib_send_send_video_v2(sender, &frame);
	++videoSent;
}

void ndi_standin_pattern_t::SendAudio() {
	const int n = settings.samples_per_frame, rate = settings.sample_rate, sent = channels.load();
	samples.resize(size_t(n) * size_t(sent));
	for (int c = 0; c < sent; ++c) {
		int64_t hz = int64_t(ndi_standin_pattern_tone_hz(c));
		for (int i = 0; i < n; ++i) {
			// Whole-number frequencies: the phase is exact however long the source runs.
			int64_t turn = (hz * (sampleIndex + i)) % rate;
			samples[size_t(c) * n + i] = float(0.5 * std::sin(2.0 * kPi * double(turn) / rate));
		}
	}
	sampleIndex += n;
	NDIlib_audio_frame_v2_t frame{};
	frame.sample_rate = rate;
	frame.no_channels = sent;
	frame.no_samples = n;
	frame.timecode = NDIlib_send_timecode_synthesize;
	frame.p_data = samples.data();
	frame.channel_stride_in_bytes = n * 4;
	NDIlib_send_send_audio_v2(sender, &frame);
	++audioSent;
}

void ndi_standin_pattern_t::Run() {
	ndistandin::MarkOwnThread();
	bool audio = settings.no_channels > 0;
	Schedule video, sound;
	video.origin = sound.origin = Clock::now();
	// A clock p ppm fast makes a second of its own in 1 / (1 + p 1e-6) steady seconds.
	auto pace = [this](double seconds) { return seconds / (1.0 + clockPpm * 1e-6); };
	std::unique_lock<std::mutex> guard(lock);
	video.seconds = pace(double(settings.frame_rate_D) / settings.frame_rate_N);
	sound.seconds = pace(double(settings.samples_per_frame) / settings.sample_rate);
	while (!stopping) {
		if (clockChanged) {
			clockChanged = false;
			video.SetPace(pace(double(settings.frame_rate_D) / settings.frame_rate_N));
			sound.SetPace(pace(double(settings.samples_per_frame) / settings.sample_rate));
		}
		Clock::time_point due = video.Due();
		if (audio && sound.Due() < due)
			due = sound.Due();
		if (wake.wait_until(guard, due, [this] { return stopping || clockChanged; })) {
			if (stopping)
				break;
			continue;
		}
		guard.unlock();
		Clock::time_point now = Clock::now();
		if (now >= video.Due()) {
			SendVideo(video.next++);
			video.CatchUp(now);
		}
		if (audio && now >= sound.Due()) {
			SendAudio();
			++sound.next;
			sound.CatchUp(now);
		}
		guard.lock();
	}
}

extern "C" {

NDI_STANDIN_EXPORT void ndi_standin_pattern_defaults(ndi_standin_pattern_settings_t* out) {
	if (!out)
		return;
	*out = ndi_standin_pattern_settings_t{};
	out->xres = 1280;
	out->yres = 720;
	out->frame_rate_N = 30;
	out->frame_rate_D = 1;
	out->sample_rate = 48000;
	out->no_channels = 2;
	out->samples_per_frame = 1600;
}

NDI_STANDIN_EXPORT ndi_standin_pattern_t* ndi_standin_pattern_start(const ndi_standin_pattern_settings_t* s) {
	if (!s || !s->name || !s->name[0] || s->xres < 160 || s->yres < 16 || s->xres > 8192 || s->yres > 8192 ||
	    s->frame_rate_N < 1 || s->frame_rate_D < 1 || double(s->frame_rate_N) / s->frame_rate_D > 1000.0 ||
	    s->no_channels < 0 || s->no_channels > 64)
		return nullptr;
	if (!(s->clock_ppm >= -10000.0 && s->clock_ppm <= 10000.0))
		return nullptr;
	if (s->no_channels > 0 && (s->sample_rate < 8000 || s->sample_rate > 384000 || s->samples_per_frame < 1 ||
	                           s->samples_per_frame > s->sample_rate))
		return nullptr;
	auto* p = new ndi_standin_pattern_t;
	p->settings = *s;
	p->shortName = s->name;
	p->settings.name = p->shortName.c_str();
	p->channels = s->no_channels;
	p->clockPpm = s->clock_ppm;
	NDIlib_send_create_t create{};
	create.p_ndi_name = p->shortName.c_str();
	p->sender = NDIlib_send_create(&create); // paced here, not by the sender's clocks
	if (!p->sender) {
		delete p;
		return nullptr;
	}
	p->fullName = ndistandin::AnnouncedName(p->sender);
	p->DrawBackground();
	try {
		p->thread = std::thread(&ndi_standin_pattern_t::Run, p);
	} catch (const std::system_error&) {
		NDIlib_send_destroy(p->sender);
		delete p;
		return nullptr;
	}
	return p;
}

NDI_STANDIN_EXPORT bool ndi_standin_pattern_set_clock_ppm(ndi_standin_pattern_t* p, double clock_ppm) {
	if (!p || !(clock_ppm >= -10000.0 && clock_ppm <= 10000.0))
		return false;
	{
		std::lock_guard<std::mutex> guard(p->lock);
		p->clockPpm = clock_ppm;
		p->clockChanged = true;
	}
	p->wake.notify_all();
	return true;
}

NDI_STANDIN_EXPORT void ndi_standin_pattern_stop(ndi_standin_pattern_t* p) {
	if (!p)
		return;
	{
		std::lock_guard<std::mutex> guard(p->lock);
		p->stopping = true;
	}
	p->wake.notify_all();
	p->thread.join();
	NDIlib_send_destroy(p->sender);
	delete p;
}

NDI_STANDIN_EXPORT bool ndi_standin_pattern_set_channels(ndi_standin_pattern_t* p, int channels) {
	if (!p || p->settings.no_channels == 0 || channels < 1 || channels > 64)
		return false;
	p->channels = channels;
	return true;
}

NDI_STANDIN_EXPORT const char* ndi_standin_pattern_source_name(const ndi_standin_pattern_t* p) {
	return p ? p->fullName.c_str() : "";
}

NDI_STANDIN_EXPORT int64_t ndi_standin_pattern_video_frames_sent(const ndi_standin_pattern_t* p) {
	return p ? p->videoSent.load() : 0;
}

NDI_STANDIN_EXPORT int64_t ndi_standin_pattern_audio_frames_sent(const ndi_standin_pattern_t* p) {
	return p ? p->audioSent.load() : 0;
}

NDI_STANDIN_EXPORT int64_t ndi_standin_pattern_frame_number(const NDIlib_video_frame_v2_t* f) {
	if (!f || !f->p_data || f->xres < kCells || f->yres < 1)
		return -1;
	uint32_t fourcc = uint32_t(f->FourCC);
	bool yuv = fourcc == NDIlib_FourCC_video_type_UYVY || fourcc == NDIlib_FourCC_video_type_UYVA;
	bool rgb = fourcc == NDIlib_FourCC_video_type_BGRA || fourcc == NDIlib_FourCC_video_type_BGRX ||
	           fourcc == NDIlib_FourCC_video_type_RGBA || fourcc == NDIlib_FourCC_video_type_RGBX;
	if (!yuv && !rgb)
		return -1;
	int minStride = yuv ? (f->xres + 1) / 2 * 4 : f->xres * 4;
	if (f->line_stride_in_bytes != 0 && f->line_stride_in_bytes < minStride)
		return -1;
	uint32_t number = 0;
	for (int cell = 0; cell < kCells; ++cell) {
		int x = (cell * f->xres / kCells + (cell + 1) * f->xres / kCells) / 2;
		// Green, or luma: high for white and low for black in every format.
		uint8_t level = yuv ? f->p_data[x / 2 * 4 + ((x & 1) ? 3 : 1)] : f->p_data[x * 4 + 1];
		bool white = level >= 128;
		if (cell < kFirstBitCell || cell >= kFirstBitCell + kBits) {
			if (white != CellIsWhite(cell, 0))
				return -1;
		} else {
			number = number << 1 | (white ? 1u : 0u);
		}
	}
	return int64_t(number);
}

NDI_STANDIN_EXPORT double ndi_standin_pattern_tone_hz(int channel) {
	return 250.0 * (channel + 1);
}

} // extern "C"
