// Audio under clock drift, in simulated time (nothing waits): an hour of a sender's audio through
// the real queue (CAudioBufferList), the drift follower and the speexdsp resampler
// (CAudioResampler), for each backend's way of reading it, at drifts of the device's clock
// against the sender's of -200, -100, 0, +100 and +200 ppm, a step from -200 to +200 ppm at half
// time, and a run with jitter (blocks up to 5 ms late, fills 1 ms early or late).
//
// Three clocks, as in a show: the machine's steady clock (the simulation's time), the sender's
// and the device's; a drift of d ppm runs the sender d/2 slow and the device d/2 fast against the
// steady clock, so that both of the follower's loops have something to learn.
// - The sender: 1600-frame blocks of 48 kHz stereo, each sent when its last frame is made, by
//   its own clock. They arrive as sent (jittered: up to 5 ms later, in order).
// - The device starts 10 ms after the first block arrived; its fills follow its own clock:
//   AudioQueue: two 100 ms buffers primed with silence; each is refilled (4800 frames, the other
//   one held) when it has played. WASAPI: the first pass fills the empty 100 ms buffer; then
//   every 10 ms event tops it up by what played, the padding held.
// - Resampling destroys per-sample tags, so the sender's audio is a pilot: a sine and a cosine of
//   a 200 s period on the two channels, whose phase, unwrapped, tells which sender frame plays.
//
// Figures per backend and case:
// - underruns: fills that played silence once audio had started (a gap the listener hears),
//   the start's included, seen in what was played; blocks dropped by the queue's bound. Both 0.
//   And how near it came: the least audio left in the queue after a fill.
// - delay: from a frame's arrival (its block's arrival, less the frames after it in the block) to
//   its playing, read from the pilot at every fill, against the follower's target (what the
//   device takes at a fill, one block, what the resampler reads ahead, what late blocks and early
//   fills cost, and 4 ms for a sudden change of the clocks). After settling: within 2 ms
//   (jittered, from two minutes on: 3 ms).
// - time to settle: the end of the last five seconds whose mean delay was off the target by
//   0.5 ms or more (jittered: ten seconds, 1 ms); at the step, the largest excursion after it.
// - the ratio at the end (mean of the last sixth: 10 minutes of the hour) against the drift,
//   and the largest change of the ratio within any second.
// - the resampler's cost: a fill through it against a straight fill of the queue (a copy), in the
//   same run, and as a share of one core for 48 kHz stereo.
// Each figure prints as "ROW <figure>|<value>|<measured against>|<aim>|<ok or NO>" for
// scripts/bench's table; other lines are detail. `--plots DIR` writes DIR/<case>.dat with a line a
// second (seconds, delay ms, target ms, ratio ppm, drift ppm) for the plots. The cases run on two
// threads. Exits non-zero when the checks of what was played fail.
#include "AudioOut.h"
#include "AudioResampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBlockFrames = 1600;
constexpr int kDeviceBuffer = 4800;
constexpr int kTopUp = 480;
constexpr double kPilotSeconds = 200.0;
constexpr double kPi = 3.14159265358979323846;

enum BackendKind { kAudioQueue, kWASAPI };
struct Backend {
	BackendKind kind;
	const char* name;
};
const Backend kBackends[] = {{kAudioQueue, "AudioQueue 4800-frame fills"}, {kWASAPI, "WASAPI 10 ms top-ups"}};

struct Case {
	std::string name;
	double ppm, stepTo; // drift of the device against the sender; stepTo: after half time
	bool jitter;
};

// A clock's count of frames against the steady clock's seconds: `rate1` frames a second from
// `start`, `rate2` after `stepAt`.
struct Clock {
	double start, rate1, rate2, stepAt;
	double Count(double t) const {
		if (t <= stepAt)
			return (t - start) * rate1;
		return (stepAt - start) * rate1 + (t - stepAt) * rate2;
	}
	double TimeOf(double count) const {
		const double atStep = (stepAt - start) * rate1;
		if (count <= atStep)
			return start + count / rate1;
		return stepAt + (count - atStep) / rate2;
	}
};

// Deterministic noise: the runs repeat exactly.
struct Random {
	uint64_t state;
	double Uniform() { // [0, 1)
		state ^= state << 13;
		state ^= state >> 7;
		state ^= state << 17;
		return double(state >> 11) * (1.0 / 9007199254740992.0);
	}
};

// The blocks the queue may still hold, each with a reference of the bench's own: one released
// unread was dropped by the bound.
class HeldBlocks {
public:
	~HeldBlocks() {
		for (CAudioBuffer* b : mBlocks)
			b->Release();
	}
	void Add(CAudioBuffer* b) { mBlocks.push_back(b); }
	int Sweep() {
		int dropped = 0;
		auto kept = std::remove_if(mBlocks.begin(), mBlocks.end(), [&](CAudioBuffer* b) {
			if (b->GetRefCount() > 1)
				return false;
			if (b->GetReadPosition() == 0)
				++dropped;
			b->Release();
			return true;
		});
		mBlocks.erase(kept, mBlocks.end());
		return dropped;
	}

private:
	std::vector<CAudioBuffer*> mBlocks;
};

struct Sample { // one a second
	double t, delayMs, targetMs, ppm, driftPpm;
};

struct Result {
	std::string backend, name;
	bool jitter = false, step = false;
	double seconds = 0.0;
	int64_t underruns = 0, gapFills = 0, startSilentFills = 0, dropped = 0, skips = 0, starts = 0;
	double settle = -1.0, stepSettle = -1.0;
	double minError = 1e9, maxError = -1e9; // delay - target after settling, ms
	double stepExcursion = 0.0;             // ms, after the step
	double targetMs = 0.0;
	double endPpm = 0.0, expectedPpm = 0.0;
	double maxChangePerSecond = 0.0; // ppm
	double leastLeftMs = 1e9;        // audio left in the queue after a fill, once playing
	bool inOrder = true;
	std::vector<Sample> samples;
};

struct Pilot {
	double cs, sn; // the phasor of the next frame
	double stepCos, stepSin;
	explicit Pilot() : cs(1.0), sn(0.0) {
		const double step = 2.0 * kPi / (kPilotSeconds * kRate);
		stepCos = std::cos(step);
		stepSin = std::sin(step);
	}
	void Block(float* out, int frames) {
		for (int f = 0; f < frames; ++f) {
			out[2 * f] = float(0.5 * sn);
			out[2 * f + 1] = float(0.5 * cs);
			const double c = cs * stepCos - sn * stepSin;
			sn = sn * stepCos + cs * stepSin;
			cs = c;
		}
		const double norm = 1.0 / std::sqrt(cs * cs + sn * sn);
		cs *= norm;
		sn *= norm;
	}
};

double gTraceFrom = 0.0, gTraceTo = 0.0; // --trace FROM:TO: every fill between, to stderr

Result Run(const Backend& backend, const Case& c, double seconds) {
	Result r;
	r.backend = backend.name;
	r.name = c.name;
	r.jitter = c.jitter;
	r.step = c.stepTo != c.ppm;
	r.seconds = seconds;
	const double half = seconds / 2.0;
	Clock sender{0.0, kRate * (1.0 - c.ppm * 0.5e-6), kRate * (1.0 - c.stepTo * 0.5e-6), half};
	Random random{0x9E3779B97F4A7C15ull ^ uint64_t(int64_t(c.ppm * 7 + c.stepTo * 13 + (c.jitter ? 1 : 0) + backend.kind * 101))};

	CAudioBufferList queue(kChannels, kRate, kRate / 10);
	CAudioResampler reader;
	if (!reader.Prepare(queue, kRate, kDeviceBuffer)) {
		r.inOrder = false;
		return r;
	}
	HeldBlocks held;
	Pilot pilot;
	std::vector<float> block(size_t(kBlockFrames) * kChannels);
	std::vector<float> out(size_t(kDeviceBuffer) * kChannels);
	const int64_t blocks = int64_t(sender.Count(seconds)) / kBlockFrames;
	std::vector<double> arrivals;
	arrivals.reserve(size_t(blocks));

	auto ns = [](double t) { return int64_t(std::llround(t * 1e9)); };
	double lastArrival = 0.0;
	auto arrivalOf = [&](int64_t k) {
		double t = sender.TimeOf(double((k + 1) * kBlockFrames));
		if (c.jitter)
			t += 0.005 * random.Uniform();
		return std::max(t, lastArrival);
	};
	double nextArrival = arrivalOf(0);
	const double deviceStart = nextArrival + 0.010;
	Clock device{deviceStart, kRate * (1.0 + c.ppm * 0.5e-6), kRate * (1.0 + c.stepTo * 0.5e-6), std::max(half, deviceStart)};
	const int64_t playOffset = backend.kind == kAudioQueue ? 2 * kDeviceBuffer : 0; // the primed silence

	int64_t k = 0, fill = 0, written = 0;
	// AudioQueue: the first callback comes when the first primed buffer has played.
	double nominalFill = backend.kind == kAudioQueue ? device.TimeOf(kDeviceBuffer) : deviceStart;
	double nextFill = nominalFill;
	bool started = false;
	double lastPosition = 0.0;
	// One-second means for settling, and the ratio every 100 ms for its changes.
	double secondSum = 0.0;
	int secondCount = 0;
	int64_t second = 0;
	double lastDelay = 0.0;
	std::vector<double> ratioTrace;
	double nextRatioSample = deviceStart;
	std::vector<double> secondErrors; // mean delay error of each second, ms
	double endSum = 0.0;
	int endCount = 0;

	while (true) {
		const bool arrivalFirst = k < blocks && nextArrival <= nextFill;
		if (!arrivalFirst && nextFill >= seconds)
			break;
		if (arrivalFirst) {
			pilot.Block(block.data(), kBlockFrames);
			CAudioBuffer* b = new CAudioBuffer(kChannels, block.data(), kChannels, kBlockFrames, true);
			queue.AppendBuffer(b, ns(nextArrival));
			held.Add(b);
			arrivals.push_back(nextArrival);
			lastArrival = nextArrival;
			r.dropped += held.Sweep();
			if (++k < blocks)
				nextArrival = arrivalOf(k);
			continue;
		}
		// A fill at the device's time.
		const double now = nextFill;
		int frames, deviceHeld;
		if (backend.kind == kAudioQueue) {
			frames = kDeviceBuffer;
			deviceHeld = kDeviceBuffer;
		} else if (fill == 0) {
			frames = kDeviceBuffer;
			deviceHeld = 0;
		} else {
			const int64_t played = std::min<int64_t>(written, int64_t(std::floor(device.Count(now))));
			deviceHeld = int(written - played);
			frames = kDeviceBuffer - deviceHeld;
		}
		if (frames > 0) {
			const int real = reader.Fill(out.data(), frames, deviceHeld, ns(now));
			if (now >= gTraceFrom && now < gTraceTo)
				fprintf(stderr, "%s %s: t %.4f fill %d held %d real %d playing %d delay %.3f target %.3f ppm %.3f starts %lld\n",
				        backend.name, c.name.c_str(), now, frames, deviceHeld, real, reader.Follower().IsPlaying() ? 1 : 0,
				        reader.Follower().DelaySeconds() * 1000.0, reader.Follower().TargetSeconds() * 1000.0,
				        reader.Follower().Correction() * 1e6, (long long)reader.Follower().Starts());
			// What was played: silence after the start is a gap.
			int firstSound = -1;
			bool gap = false;
			for (int f = 0; f < frames; ++f) {
				const float s = out[2 * f], co = out[2 * f + 1];
				const bool sound = 4.0f * (s * s + co * co) > 0.25f;
				if (sound && firstSound < 0)
					firstSound = f;
				if (!sound && (started || firstSound >= 0))
					gap = true;
			}
			if (gap)
				++r.gapFills;
			if (firstSound < 0 && !started)
				++r.startSilentFills;
			if (firstSound >= 0) {
				// Which sender frame plays at the fill's first sounding frame, and when.
				const double phase = std::atan2(double(out[2 * firstSound]), double(out[2 * firstSound + 1]));
				const double period = kPilotSeconds * kRate;
				double position = phase / (2.0 * kPi) * period;
				if (position < 0)
					position += period;
				const double expected = started ? lastPosition : position;
				position += std::round((expected - position) / period) * period;
				if (started && position < lastPosition - 2.0)
					r.inOrder = false;
				lastPosition = position;
				started = true;
				const int64_t blockIndex = std::min<int64_t>(int64_t(position) / kBlockFrames, int64_t(arrivals.size()) - 1);
				const double arrived = arrivals[size_t(blockIndex)] - ((blockIndex + 1) * kBlockFrames - position) / kRate;
				const double plays = device.TimeOf(double(playOffset + written + firstSound));
				lastDelay = (plays - arrived) * 1000.0;
				const double error = lastDelay - reader.Follower().TargetSeconds() * 1000.0;
				secondSum += error;
				++secondCount;
			}
			written += frames;
			if (started) {
				// What is left for the next fills: how near the queue came to running dry.
				int64_t position = 0, waiting = 0;
				CDriftWriterState state;
				queue.GetReadState(position, waiting, state);
				r.leastLeftMs = std::min(r.leastLeftMs, waiting * 1000.0 / kRate);
			}
		}
		const double correction = reader.Follower().Correction() * 1e6;
		while (now >= nextRatioSample) {
			ratioTrace.push_back(correction);
			nextRatioSample += 0.1;
		}
		if (now >= seconds * (5.0 / 6.0)) {
			endSum += correction;
			++endCount;
		}
		if (int64_t(now) > second) {
			secondErrors.push_back(secondCount ? secondSum / secondCount : 1e9);
			const double drift = (now < half ? c.ppm : c.stepTo);
			r.samples.push_back({now, lastDelay, reader.Follower().TargetSeconds() * 1000.0, correction, drift});
			secondSum = 0.0;
			secondCount = 0;
			second = int64_t(now);
		}
		++fill;
		if (backend.kind == kAudioQueue)
			nominalFill = device.TimeOf(double((fill + 1) * kDeviceBuffer));
		else
			nominalFill = device.TimeOf(double(fill * kTopUp));
		nextFill = nominalFill + (c.jitter ? 0.001 * (2.0 * random.Uniform() - 1.0) : 0.0);
		nextFill = std::max(nextFill, now);
	}
	r.underruns = reader.Follower().Underruns();
	r.skips = reader.Follower().Skips();
	r.starts = reader.Follower().Starts();
	r.targetMs = reader.Follower().TargetSeconds() * 1000.0;
	r.expectedPpm = ((1.0 - c.stepTo * 0.5e-6) / (1.0 + c.stepTo * 0.5e-6) - 1.0) * 1e6;
	r.endPpm = endCount ? endSum / endCount : 0.0;
	for (size_t i = 10; i < ratioTrace.size(); ++i)
		r.maxChangePerSecond = std::max(r.maxChangePerSecond, std::fabs(ratioTrace[i] - ratioTrace[i - 10]));

	// Settled: after the last five seconds whose mean was off by 0.5 ms (from the start, and
	// after the step). Jittered, the delay of each block differs by up to 5 ms: ten seconds'
	// means, off by 1 ms.
	const double tolerance = c.jitter ? 1.0 : 0.5;
	const size_t window = c.jitter ? 10 : 5;
	for (size_t i = 0; i + window <= secondErrors.size(); ++i) {
		double sum = 0.0;
		for (size_t j = i; j < i + window; ++j)
			sum += secondErrors[j];
		secondErrors[i] = sum / double(window);
	}
	const size_t stepSecond = size_t(half);
	const size_t firstEnd = r.step ? stepSecond - window : secondErrors.size() - (window - 1);
	size_t settled = 0;
	for (size_t i = 0; i < firstEnd; ++i)
		if (!(std::fabs(secondErrors[i]) < tolerance))
			settled = i + window;
	r.settle = double(settled) - deviceStart;
	size_t stepSettled = stepSecond;
	if (r.step)
		for (size_t i = stepSecond - (window - 1); i + window <= secondErrors.size(); ++i)
			if (!(std::fabs(secondErrors[i]) < tolerance))
				stepSettled = i + window;
	r.stepSettle = double(stepSettled) - half;
	// The delay's range after settling, at every second's sample; the step's excursion apart.
	for (const Sample& s : r.samples) {
		const double error = s.delayMs - s.targetMs;
		if (r.step && s.t >= half)
			r.stepExcursion = std::max(r.stepExcursion, std::fabs(error));
		// Jittered, from two minutes on: the loop's start wanders by half a millisecond for a
		// minute, as the arrivals' line learns where late blocks sit.
		const bool stepping = r.step && s.t >= half && s.t < double(stepSettled);
		if (s.t < double(settled) || (c.jitter && s.t < 120.0) || stepping)
			continue;
		r.minError = std::min(r.minError, error);
		r.maxError = std::max(r.maxError, error);
	}
	return r;
}

// ---- The resampler's cost ----------------------------------------------------------------------

double Seconds(std::chrono::steady_clock::duration d) {
	return std::chrono::duration<double>(d).count();
}

struct Cost {
	double viaResampler = 0.0, straight = 0.0, audio = 0.0; // seconds
};

// The same queue content read by WASAPI-sized fills, once through the resampler (following a
// drift of +100 ppm) and once straight; best of five, in this run.
Cost MeasureCost(int outputRate) {
	const int frames = kTopUp;
	const int fills = 2000; // 20 s of audio
	std::vector<float> samples(size_t(kBlockFrames) * kChannels);
	for (size_t i = 0; i < samples.size(); ++i)
		samples[i] = float(0.25 * std::sin(double(i) * 0.01) + 0.1 * std::sin(double(i) * 0.37));
	std::vector<float> out(size_t(kDeviceBuffer) * kChannels);
	Cost best{1e9, 1e9, double(fills) * frames / outputRate};
	for (int round = 0; round < 5; ++round) {
		for (int via = 0; via < 2; ++via) {
			CAudioBufferList queue(kChannels, kRate, kRate / 10);
			CAudioResampler reader;
			reader.Prepare(queue, outputRate, kDeviceBuffer);
			double t = 0.0;
			int64_t appended = 0;
			auto feed = [&](double until) {
				while (double(appended) / (kRate * (1.0 - 100e-6)) <= until + 0.2) {
					CAudioBuffer* b = new CAudioBuffer(kChannels, samples.data(), kChannels, kBlockFrames, true);
					queue.AppendBuffer(b, int64_t((double(appended) / kRate) * 1e9));
					b->Release();
					appended += kBlockFrames;
				}
			};
			// Settled first, untimed.
			for (int i = 0; i < 300; ++i, t += 0.01) {
				feed(t);
				if (via == 0)
					reader.Fill(out.data(), frames, kDeviceBuffer - frames, int64_t(t * 1e9));
			}
			double spent = 0.0;
			for (int i = 0; i < fills; ++i, t += 0.01) {
				feed(t);
				const auto begin = std::chrono::steady_clock::now();
				if (via == 0)
					reader.Fill(out.data(), frames, kDeviceBuffer - frames, int64_t(t * 1e9));
				else {
					int delivered = 0;
					queue.GetData(kChannels, out.data(), int(out.size() * 4), frames, delivered, true);
				}
				spent += Seconds(std::chrono::steady_clock::now() - begin);
			}
			if (via == 0)
				best.viaResampler = std::min(best.viaResampler, spent);
			else
				best.straight = std::min(best.straight, spent);
		}
	}
	return best;
}

// How far from the ideal a tone comes out of the resampler at a ratio of 1 + 100 ppm: the error
// of the best-fitting sine, in dB against the tone.
double ToneError(int quality, double hz, double* gainDb = nullptr) {
	int error = 0;
	SpeexResamplerState* st = speex_resampler_init(1, kRate, kRate, quality, &error);
	const uint32_t den = 1u << 20, num = uint32_t(std::llround(100e-6 * den)) + den;
	speex_resampler_set_rate_frac(st, num, den, kRate, kRate);
	const double exact = double(num) / den;
	speex_resampler_skip_zeros(st);
	const int n = kRate;
	std::vector<float> in(size_t(n) * 2);
	std::vector<float> out(static_cast<size_t>(n));
	for (size_t i = 0; i < in.size(); ++i)
		in[i] = float(0.5 * std::sin(2.0 * kPi * hz * double(i) / kRate));
	uint32_t inLen = uint32_t(in.size()), outLen = uint32_t(n);
	speex_resampler_process_float(st, 0, in.data(), &inLen, out.data(), &outLen);
	speex_resampler_destroy(st);
	// Output frame j is input position j * ratio; fit amplitude and phase over the middle half.
	double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
	const int from = n / 4, to = 3 * n / 4;
	for (int j = from; j < to; ++j) {
		const double x = 2.0 * kPi * hz * double(j) * exact / kRate;
		const double s = std::sin(x), c = std::cos(x);
		ss += s * s, sc += s * c, cc += c * c, ys += out[size_t(j)] * s, yc += out[size_t(j)] * c;
	}
	const double det = ss * cc - sc * sc;
	const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
	double noise = 0.0, signal = 0.0;
	for (int j = from; j < to; ++j) {
		const double x = 2.0 * kPi * hz * double(j) * exact / kRate;
		const double fit = a * std::sin(x) + b * std::cos(x);
		noise += (out[size_t(j)] - fit) * (out[size_t(j)] - fit);
		signal += fit * fit;
	}
	if (gainDb)
		*gainDb = 20.0 * std::log10(std::sqrt(a * a + b * b) / 0.5);
	return 10.0 * std::log10(noise / signal);
}

// ---- Output -----------------------------------------------------------------------------------------

std::string Fmt(const char* format, double a, double b = 0.0, double c = 0.0) {
	char text[256];
	snprintf(text, sizeof(text), format, a, b, c);
	return text;
}

void Row(const std::string& figure, const std::string& value, const std::string& against, const std::string& aim, bool ok) {
	printf("ROW %s|%s|%s|%s|%s\n", figure.c_str(), value.c_str(), against.c_str(), aim.c_str(), ok ? "ok" : "NO");
}

std::string Slug(const std::string& text) {
	std::string s;
	for (char ch : text)
		s += (std::isalnum((unsigned char)ch) || ch == '-' || ch == '+') ? ch : '_';
	return s;
}

} // namespace

int main(int argc, char** argv) {
	std::string plots, only;
	double seconds = 3600.0;
	for (int i = 1; i < argc; ++i) {
		if (!strcmp(argv[i], "--plots") && i + 1 < argc)
			plots = argv[++i];
		else if (!strcmp(argv[i], "--seconds") && i + 1 < argc)
			seconds = atof(argv[++i]); // for trying things out; the figures are for the hour
		else if (!strcmp(argv[i], "--only") && i + 1 < argc)
			only = argv[++i];
		else if (!strcmp(argv[i], "--trace") && i + 1 < argc)
			sscanf(argv[++i], "%lf:%lf", &gTraceFrom, &gTraceTo);
		else {
			fprintf(stderr, "usage: drift_bench [--plots DIR] [--seconds S] [--only TEXT] [--trace FROM:TO]\n");
			return 2;
		}
	}
	std::vector<Case> cases;
	for (int ppm : {-200, -100, 0, 100, 200})
		cases.push_back({std::string("drift ") + (ppm > 0 ? "+" : "") + std::to_string(ppm) + " ppm", double(ppm),
		                 double(ppm), false});
	cases.push_back({"step -200 to +200 ppm at half time", -200, 200, false});
	cases.push_back({"jittered, +100 ppm", 100, 100, true});

	struct Job {
		const Backend* backend;
		const Case* c;
		Result result;
	};
	std::vector<Job> jobs;
	for (const Backend& b : kBackends)
		for (const Case& c : cases)
			if (only.empty() || (std::string(b.name) + ": " + c.name).find(only) != std::string::npos)
				jobs.push_back({&b, &c, {}});
	const auto begin = std::chrono::steady_clock::now();
	std::atomic<size_t> next{0};
	auto work = [&] {
		for (size_t i; (i = next++) < jobs.size();)
			jobs[i].result = Run(*jobs[i].backend, *jobs[i].c, seconds);
	};
	std::thread other(work);
	work();
	other.join();
	const double simulated = Seconds(std::chrono::steady_clock::now() - begin);

	bool ok = true;
	const std::string hour = seconds == 3600.0 ? "1 h" : Fmt("%.0f s", seconds);
	for (Job& job : jobs) {
		const Result& r = job.result;
		const std::string name = std::string(r.backend) + ", " + r.name;
		const double tolerance = r.jitter ? 3.0 : 2.0;
		printf("%s: underruns %lld (fills with a gap %lld), silent fills before the start %lld, starts %lld, skips %lld, "
		       "dropped %lld, target %.2f ms, delay - target after %.0f s: %+.3f .. %+.3f ms, ratio at the end %+.3f ppm "
		       "(drift %+.3f), largest change in a second %.2f ppm, in order %s\n",
		       name.c_str(), (long long)r.underruns, (long long)r.gapFills, (long long)r.startSilentFills,
		       (long long)r.starts, (long long)r.skips, (long long)r.dropped, r.targetMs, r.settle, r.minError,
		       r.maxError, r.endPpm, r.expectedPpm, r.maxChangePerSecond, r.inOrder ? "yes" : "NO");
		ok = ok && r.inOrder;
		const std::string against = hour + " simulated";
		Row(name + ": underruns, blocks dropped",
		    std::to_string(r.gapFills + r.underruns) + ", " + std::to_string(r.dropped), against + ", the start included", "0, 0",
		    r.gapFills == 0 && r.underruns == 0 && r.dropped == 0);
		Row(name + ": least audio left in the queue after a fill", Fmt("%.1f ms", r.leastLeftMs),
		    against + ", once playing", "> 0 (reported)", r.leastLeftMs > 0.0);
		Row(name + (r.jitter ? ": delay arrival to playing, from 2 min on" : ": delay arrival to playing, after settling"),
		    Fmt("%+.2f to %+.2f ms off the target", r.minError, r.maxError),
		    Fmt("the follower's target, %.1f ms at the end", r.targetMs), Fmt("within +-%.0f ms", tolerance),
		    r.minError >= -tolerance && r.maxError <= tolerance);
		if (r.step) {
			Row(name + ": largest delay excursion at the step",
			    Fmt("%.2f ms (settled again in %.0f s)", r.stepExcursion, r.stepSettle),
			    "the target, after the step", "<= 5 ms", r.stepExcursion <= 5.0);
		}
		const bool wide = std::fabs(job.c->ppm) >= 200;
		Row(name + ": time to settle", Fmt("%.0f s", r.settle),
		    r.jitter ? "the target within 1 ms (10 s means)" : "the target within 0.5 ms (5 s means)",
		    wide ? "<= 90 s" : "(reported)", !wide || r.settle <= 90.0);
		Row(name + ": ratio at the end (mean of the last sixth)", Fmt("%+.2f ppm, %+.2f off", r.endPpm, r.endPpm - r.expectedPpm),
		    Fmt("the clocks' ratio, %+.2f ppm", r.expectedPpm), "within +-1 ppm", std::fabs(r.endPpm - r.expectedPpm) <= 1.0);
		Row(name + ": largest ratio change in a second", Fmt("%.1f ppm", r.maxChangePerSecond),
		    against + ", every 100 ms", "<= 50 ppm",
		    r.maxChangePerSecond <= 50.0);
		if (!plots.empty()) {
			const std::string path = plots + "/" + Slug(name) + ".dat";
			if (FILE* f = fopen(path.c_str(), "w")) {
				fprintf(f, "# %s\n# seconds delay_ms target_ms ratio_ppm drift_ppm\n", name.c_str());
				for (const Sample& s : r.samples)
					fprintf(f, "%.1f %.4f %.4f %.4f %.4f\n", s.t, s.delayMs, s.targetMs, s.ppm,
					        ((1.0 - s.driftPpm * 0.5e-6) / (1.0 + s.driftPpm * 0.5e-6) - 1.0) * 1e6);
				fclose(f);
			}
		}
	}
	printf("%zu cases of %.0f s simulated in %.1f s on two threads\n", jobs.size(), seconds, simulated);

	// The resampler's cost, and how clean the drift-only quality is.
	const Cost drift = MeasureCost(kRate);
	const Cost change = MeasureCost(44100);
	const double driftShare = drift.viaResampler / drift.audio * 100.0;
	Row(Fmt("fill through the resampler, drift only (quality %.0f), 48 kHz stereo", CAudioResampler::kDriftQuality),
	    Fmt("%.1fx", drift.viaResampler / drift.straight), "a straight fill of the same queue, same run", "(reported)", true);
	Row(Fmt("the same, share of one core (quality %.0f)", CAudioResampler::kDriftQuality), Fmt("%.2f %%", driftShare),
	    "20 s of 48 kHz stereo played", "<= 0.5 %", driftShare <= 0.5);
	Row(Fmt("fill through the resampler, 48 to 44.1 kHz (quality %.0f), share of one core",
	        CAudioResampler::kRateChangeQuality),
	    Fmt("%.2f %% (%.1fx a straight fill)", change.viaResampler / change.audio * 100.0,
	        change.viaResampler / change.straight),
	    "20 s of 48 kHz stereo played", "(reported)", true);
	for (int q = 2; q <= 6; ++q) {
		double gain = 0.0;
		const double e1 = ToneError(q, 1000.0), e10 = ToneError(q, 10000.0), e18 = ToneError(q, 18000.0, &gain);
		printf("quality %d: error of a 1 kHz tone %.1f dB, 10 kHz %.1f dB, 18 kHz %.1f dB (gain %+.2f dB), at a ratio of 1 + "
		       "100 ppm\n", q, e1, e10, e18, gain);
	}
	double clean = -1e9;
	for (double hz : {1000.0, 10000.0, 18000.0})
		clean = std::max(clean, ToneError(CAudioResampler::kDriftQuality, hz));
	Row(Fmt("drift-only resampling (quality %.0f), error of 1, 10 and 18 kHz tones", CAudioResampler::kDriftQuality),
	    Fmt("%.0f dB (the cheapest quality within the aim; see the log)", clean), "the tone, best-fitting sine",
	    "<= -96 dB (16 bits)", clean <= -96.0);
	fflush(stdout);
	if (!ok)
		fprintf(stderr, "drift_bench: what was played is out of order (see above)\n");
	return ok ? 0 : 1;
}
