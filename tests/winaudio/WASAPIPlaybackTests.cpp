// Real playback under wine: contexts on the null sinks of a private PulseAudio server, recorded
// from the sinks' monitors through wine's capture endpoints. Run by with-pulse.sh, whose sinks
// are Studio_Speakers (2 channels, 44100 Hz) and Desk_Six (6 channels, 48000 Hz); a sink is
// taken away and brought back for real with pulse-sink.sh (its path in VIDRANE_PULSE_SINK).
#include "MonitorRecorder.h"
#include "RestrictedWASAPI.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const double kPi = 3.14159265358979323846;
const int kStreamRate = 48000;
const int kBlockFrames = kStreamRate / 10;
const int kBlocks = 15; // 1.5 s, within the queue's bound of 17
const double kAmplitude = 0.5;

std::string Narrow(const wchar_t* wide) {
	std::string text;
	for (; wide && *wide; ++wide)
		text += static_cast<char>(*wide);
	return text;
}

std::string EndpointID(const std::wstring& name) {
	IMMDevice* device = FindEndpoint(eRender, name);
	if (!device)
		return std::string();
	LPWSTR id = nullptr;
	device->GetId(&id);
	const std::string text = Narrow(id);
	CoTaskMemFree(id);
	device->Release();
	return text;
}

// Sends kBlocks blocks of sines as a sender does, one every 100 ms: channel c at frequencies[c]
// (silent past the list).
void SendSines(CWASAPIAudioContext* context, int channels, const std::vector<double>& frequencies) {
	auto next = std::chrono::steady_clock::now();
	for (int block = 0; block < kBlocks; ++block) {
		std::vector<float> samples(static_cast<size_t>(channels) * kBlockFrames, 0.0f);
		for (int f = 0; f < kBlockFrames; ++f)
			for (int c = 0; c < channels && c < static_cast<int>(frequencies.size()); ++c)
				samples[static_cast<size_t>(f) * channels + c] = static_cast<float>(
				    kAmplitude * std::sin(2 * kPi * frequencies[c] * (block * kBlockFrames + f) / kStreamRate));
		CAudioBuffer* buffer = new CAudioBuffer(channels, samples.data(), channels, kBlockFrames, true);
		context->GetBufferList().AppendBuffer(buffer);
		buffer->Release();
		next += std::chrono::milliseconds(100); // the sender's pace, not a wait for anything
		std::this_thread::sleep_until(next);
	}
}

std::vector<float> Channel(const std::vector<float>& interleaved, int channels, int channel) {
	std::vector<float> out;
	for (size_t i = channel; i < interleaved.size(); i += channels)
		out.push_back(interleaved[i]);
	return out;
}

// What one channel of a recording holds: where the sound starts and ends, its longest silent
// run in between, its level and its spectrum's peak.
struct Analysis {
	size_t mStart = 0, mEnd = 0;
	size_t mLongestQuiet = 0;
	double mRMS = 0.0;
	double mPeakFrequency = 0.0;
	std::vector<double> mSpectrum; // magnitudes, bin width rate / kFFTSize
	double mBinWidth = 0.0;
};

const size_t kFFTSize = 32768;

void FFT(std::vector<std::complex<double>>& a) {
	const size_t n = a.size();
	for (size_t i = 1, j = 0; i < n; ++i) {
		size_t bit = n >> 1;
		for (; j & bit; bit >>= 1)
			j ^= bit;
		j ^= bit;
		if (i < j)
			std::swap(a[i], a[j]);
	}
	for (size_t length = 2; length <= n; length <<= 1) {
		const std::complex<double> step = std::polar(1.0, -2 * kPi / length);
		for (size_t i = 0; i < n; i += length) {
			std::complex<double> w(1.0);
			for (size_t k = 0; k < length / 2; ++k, w *= step) {
				const std::complex<double> u = a[i + k], v = a[i + k + length / 2] * w;
				a[i + k] = u + v;
				a[i + k + length / 2] = u - v;
			}
		}
	}
}

Analysis Analyse(const std::vector<float>& samples, int rate) {
	Analysis result;
	const float threshold = 0.02f;
	size_t start = 0, end = samples.size();
	while (start < samples.size() && std::fabs(samples[start]) < threshold)
		++start;
	while (end > start && std::fabs(samples[end - 1]) < threshold)
		--end;
	result.mStart = start;
	result.mEnd = end;
	// The steady middle: past the first and last 100 ms.
	const size_t margin = static_cast<size_t>(rate / 10);
	if (end - start < 2 * margin + kFFTSize)
		return result;
	size_t quiet = 0;
	double sum = 0.0;
	for (size_t i = start + margin; i < end - margin; ++i) {
		quiet = std::fabs(samples[i]) < 0.002f ? quiet + 1 : 0;
		result.mLongestQuiet = std::max(result.mLongestQuiet, quiet);
		sum += static_cast<double>(samples[i]) * samples[i];
	}
	result.mRMS = std::sqrt(sum / (end - start - 2 * margin));

	std::vector<std::complex<double>> bins(kFFTSize);
	for (size_t i = 0; i < kFFTSize; ++i)
		bins[i] = samples[start + margin + i] * (0.5 - 0.5 * std::cos(2 * kPi * i / (kFFTSize - 1)));
	FFT(bins);
	result.mSpectrum.resize(kFFTSize / 2);
	for (size_t i = 0; i < kFFTSize / 2; ++i)
		result.mSpectrum[i] = std::abs(bins[i]);
	result.mBinWidth = static_cast<double>(rate) / kFFTSize;
	const size_t peak = std::max_element(result.mSpectrum.begin() + 1, result.mSpectrum.end() - 1) - result.mSpectrum.begin();
	const double a = std::log(result.mSpectrum[peak - 1]), b = std::log(result.mSpectrum[peak]),
	             c = std::log(result.mSpectrum[peak + 1]);
	result.mPeakFrequency = (peak + 0.5 * (a - c) / (a - 2 * b + c)) * result.mBinWidth;
	return result;
}

// Level of a frequency relative to the spectrum's peak, in dB.
double RelativeLevel(const Analysis& analysis, double frequency) {
	const size_t bin = static_cast<size_t>(std::lround(frequency / analysis.mBinWidth));
	double level = 0.0;
	for (size_t i = bin - 3; i <= bin + 3; ++i)
		level = std::max(level, analysis.mSpectrum[i]);
	return 20 * std::log10(level / *std::max_element(analysis.mSpectrum.begin(), analysis.mSpectrum.end()));
}

double Decibels(double ratio) {
	return 20 * std::log10(ratio);
}

bool IsSine(const Analysis& a, int rate, double frequency, double gain) {
	return std::fabs(a.mPeakFrequency - frequency) <= frequency * 0.01
	       && std::fabs(static_cast<double>(a.mEnd - a.mStart) / rate - kBlocks * 0.1) <= 0.06 && a.mLongestQuiet <= 2
	       && std::fabs(Decibels(a.mRMS / (gain * kAmplitude / std::sqrt(2.0)))) <= 0.5;
}

// The expected shape of a played sine at `gain`: its frequency within 1 %, 1.5 s long, no gaps.
void ExpectSine(const Analysis& a, int rate, double frequency, double gain) {
	EXPECT_NEAR(frequency, a.mPeakFrequency, frequency * 0.01);
	EXPECT_NEAR(kBlocks * 0.1, static_cast<double>(a.mEnd - a.mStart) / rate, 0.06);
	EXPECT_LE(a.mLongestQuiet, 2u);
	EXPECT_NEAR(0.0, Decibels(a.mRMS / (gain * kAmplitude / std::sqrt(2.0))), 0.5);
}

// One recording of a context's playback, with what the context said of its device.
struct Take {
	std::vector<float> mSamples;
	int mChannels = 0;
	int mRate = 0;
	WASAPIDeviceInfo mInfo = {};
	bool mResampled = false;
	int mUnderruns = 0; // as the context counted them

	Analysis Of(int channel) const { return Analyse(Channel(mSamples, mChannels, channel), mRate); }
};

class WASAPIPlayback : public ::testing::Test {
protected:
	void SetUp() override {
		CoInitializeEx(nullptr, COINIT_MULTITHREADED);
		mSaved = CWASAPIAudioContext::sPlatform;
	}
	void TearDown() override {
		CWASAPIAudioContext::sPlatform = mSaved;
		CoUninitialize();
	}

	// Plays into a new context on the sink until the first `checked` channels of the monitor
	// each hold their sine whole and the context counted no underrun, at most three times. A
	// machine busy elsewhere can make wine miss a period of its own feed to the server, which the
	// monitor shows as a short gap that is none of the context's doing, and can starve the render
	// thread, which the context counts as its own underrun. So a take is repeated, and a render
	// thread that lets the device run dry fails only when it did so in every take.
	Take Play(const std::wstring& sink, int channels, const std::vector<double>& frequencies, float gain,
	          int checked) {
		Take take;
		int underran = 0;
		for (int attempt = 0; attempt < 3; ++attempt) {
			take = PlayOnce(sink, channels, frequencies, gain);
			bool whole = take.mRate > 0;
			for (int c = 0; c < checked && whole; ++c) {
				const Analysis a = take.Of(c);
				whole = IsSine(a, take.mRate, frequencies[c], gain);
				if (!whole)
					printf("take %d, channel %d: %.1f Hz, %.3f s, longest gap %u frames, %.2f dB, %d underruns\n",
					       attempt + 1, c, a.mPeakFrequency, static_cast<double>(a.mEnd - a.mStart) / take.mRate,
					       static_cast<unsigned>(a.mLongestQuiet), Decibels(a.mRMS / (gain * kAmplitude / std::sqrt(2.0))),
					       take.mUnderruns);
			}
			underran += take.mUnderruns > 0;
			if (whole && take.mUnderruns == 0)
				break;
			if (attempt < 2)
				printf("take %d: playing again\n", attempt + 1);
		}
		EXPECT_LT(underran, 3) << "the render thread let the device run dry in every take";
		return take;
	}

	// Plays kBlocks blocks into a new context on the sink and records its monitor meanwhile.
	Take PlayOnce(const std::wstring& sink, int channels, const std::vector<double>& frequencies, float gain) {
		Take take;
		const std::string id = EndpointID(sink);
		EXPECT_FALSE(id.empty());
		MonitorRecorder recorder;
		EXPECT_TRUE(recorder.Start(sink, kBlocks * 0.1 + 1.5));
		EXPECT_TRUE(recorder.WaitRunning(0.3));
		CWASAPIAudioContext* context = nullptr;
		EXPECT_EQ(0, CWASAPIAudioContext::CreateWASAPIAudioContext(id, channels, kStreamRate, kBlockFrames, context));
		if (!context)
			return take;
		context->GetBufferList().SetVolume(gain);
		SendSines(context, channels, frequencies);
		// Counted as the last block arrives: the queue running dry after the sender stopped is the
		// stream's end, not a break.
		take.mUnderruns = context->GetUnderrunCount();
		take.mSamples = recorder.Wait();
		take.mChannels = recorder.Channels();
		take.mRate = recorder.Rate();
		take.mInfo = context->GetDeviceInfo();
		take.mResampled = context->IsResampling();
		context->Stop();
		context->Release();
		return take;
	}

	WASAPIPlatform mSaved;
};

// Whether the last tenth of a second of both front channels holds the sine at full gain: its
// level within 3 dB and its zero crossings within 10 % of the frequency's.
bool EndsInTone(const std::vector<float>& interleaved, int channels, int rate, double frequency) {
	const size_t frames = static_cast<size_t>(rate / 10);
	if (channels < 2 || interleaved.size() < frames * channels)
		return false;
	const size_t first = interleaved.size() / channels - frames;
	for (int c = 0; c < 2; ++c) {
		double sum = 0.0;
		int crossings = 0;
		for (size_t f = first; f < first + frames; ++f) {
			const float v = interleaved[f * channels + c];
			sum += static_cast<double>(v) * v;
			if (f > first)
				crossings += (interleaved[(f - 1) * channels + c] < 0.0f) != (v < 0.0f);
		}
		const double level = Decibels(std::sqrt(sum / frames) / (kAmplitude / std::sqrt(2.0)));
		if (std::fabs(level) > 3.0 || std::fabs(crossings - frequency / 5.0) > frequency / 50.0)
			return false;
	}
	return true;
}

// Takes a null sink of the private server away, or brings it back, with pulse-sink.sh; true
// when the script reported success. Wine runs the Unix script but gives no process to wait
// for, so its answer file is watched (generously).
bool PulseSink(const std::string& verb, const std::string& sink) {
	static int sCalls = 0;
	const char* script = getenv("VIDRANE_PULSE_SINK");
	const char* runtime = getenv("XDG_RUNTIME_DIR");
	if (!script || !runtime) {
		ADD_FAILURE() << "VIDRANE_PULSE_SINK and XDG_RUNTIME_DIR name the script and the server's folder";
		return false;
	}
	const std::string reply = std::string(runtime) + "/pulse-sink-" + std::to_string(++sCalls);
	const std::string replyPath = "Z:" + reply; // wine's drive for the Unix root
	DeleteFileA(replyPath.c_str());
	std::string command = "/bin/sh " + std::string(script) + " " + verb + " " + sink + " " + reply;
	STARTUPINFOA startup = {};
	startup.cb = sizeof(startup);
	PROCESS_INFORMATION process = {};
	if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
		ADD_FAILURE() << "could not start " << command;
		return false;
	}
	// The handles are left open on purpose. Wine starts a Unix program without a Windows process
	// and fills in neither handle: the fields come back holding stale values from its stack, which
	// can name another thread's live handle (once, the timer thread of a stream the render thread
	// had just started, whose Release then waited for ever). Closing them would close that.
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
	while (GetFileAttributesA(replyPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
		if (std::chrono::steady_clock::now() > deadline) {
			ADD_FAILURE() << command << " did not answer";
			return false;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	char answer[256] = {};
	FILE* file = fopen(replyPath.c_str(), "r");
	if (file) {
		if (!fgets(answer, sizeof(answer), file))
			answer[0] = '\0';
		fclose(file);
	}
	DeleteFileA(replyPath.c_str());
	EXPECT_STREQ("ok\n", answer) << command;
	return strcmp(answer, "ok\n") == 0;
}

// A sink taken away for the test, brought back whatever the test does.
class SinkAway {
public:
	explicit SinkAway(const std::string& sink) : mSink(sink), mAway(PulseSink("unload", sink)) {}
	~SinkAway() { Return(); }
	bool IsAway() const { return mAway; }
	bool Return() {
		if (mAway && PulseSink("load", mSink))
			mAway = false;
		return !mAway;
	}

private:
	std::string mSink;
	bool mAway;
};

// Feeds a context a continuous sine, a block every tenth of a second, as a receive thread does,
// and looks at its device when it asks, as the input's audio thread does.
class ToneFeeder {
public:
	ToneFeeder(CWASAPIAudioContext* context, double frequency) : mContext(context), mFrequency(frequency) {
		mThread = std::thread(&ToneFeeder::Run, this);
	}
	~ToneFeeder() {
		{
			std::lock_guard<std::mutex> lock(mLock);
			mStop = true;
		}
		mChanged.notify_all();
		mThread.join();
	}

private:
	void Run() {
		std::unique_lock<std::mutex> lock(mLock);
		auto next = std::chrono::steady_clock::now();
		for (int64_t block = 0; !mStop; ++block) {
			std::vector<float> samples(static_cast<size_t>(kBlockFrames) * 2);
			for (int f = 0; f < kBlockFrames; ++f)
				samples[static_cast<size_t>(f) * 2] = samples[static_cast<size_t>(f) * 2 + 1] = static_cast<float>(
				    kAmplitude * std::sin(2 * kPi * mFrequency * static_cast<double>(block * kBlockFrames + f) / kStreamRate));
			CAudioBuffer* buffer = new CAudioBuffer(2, samples.data(), 2, kBlockFrames, true);
			mContext->GetBufferList().AppendBuffer(buffer);
			buffer->Release();
			// The input's audio thread looks at the device when a frame finds it asks for it.
			if (mContext->DeviceNeedsLook())
				mContext->LookAtDevice();
			next += std::chrono::milliseconds(100);
			mChanged.wait_until(lock, next, [&] { return mStop; });
		}
	}

	CWASAPIAudioContext* mContext;
	double mFrequency;
	std::mutex mLock;
	std::condition_variable mChanged;
	bool mStop = false;
	std::thread mThread;
};

// Ends the process with a message when a phase of a test does not finish in time: a call that
// waits for ever on a device cannot be failed any other way, and the owner's calls must stay on
// the thread that made the context (COM is per thread).
class Watchdog {
public:
	Watchdog(std::chrono::seconds timeout, const char* phase) : mPhase(phase) {
		mThread = std::thread([this, timeout] {
			std::unique_lock<std::mutex> lock(mLock);
			if (!mChanged.wait_for(lock, timeout, [&] { return mDone; })) {
				fprintf(stderr, "FAILED: %s did not end within %d s\n", mPhase, static_cast<int>(timeout.count()));
				fflush(stderr);
				std::abort();
			}
		});
	}
	~Watchdog() {
		{
			std::lock_guard<std::mutex> lock(mLock);
			mDone = true;
		}
		mChanged.notify_all();
		mThread.join();
	}

private:
	const char* mPhase;
	std::mutex mLock;
	std::condition_variable mChanged;
	bool mDone = false;
	std::thread mThread;
};

} // namespace

TEST_F(WASAPIPlayback, ASineComesOutAtItsFrequencyAndLevelAndHalfGainIsSixDecibelsDown) {
	const Take full = Play(L"Studio_Speakers", 2, {1000.0, 1000.0}, 1.0f, 2);
	const Take half = Play(L"Studio_Speakers", 2, {1000.0, 1000.0}, 0.5f, 2);
	ASSERT_EQ(2, full.mChannels);
	ASSERT_EQ(2, half.mChannels);
	for (int c = 0; c < 2; ++c) {
		SCOPED_TRACE(c);
		const Analysis a = full.Of(c);
		const Analysis b = half.Of(c);
		ExpectSine(a, full.mRate, 1000.0, 1.0);
		ExpectSine(b, half.mRate, 1000.0, 0.5);
		EXPECT_NEAR(-6.02, Decibels(b.mRMS / a.mRMS), 0.5);
	}
}

TEST_F(WASAPIPlayback, AStreamAtTheEndpointsOwnRateIsCopiedStraight) {
	const Take take = Play(L"Desk_Six", 2, {1000.0, 1000.0}, 1.0f, 2);
	EXPECT_EQ(48000, take.mInfo.mSampleRate);
	EXPECT_EQ(6, take.mInfo.mChannels);
	EXPECT_EQ("Desk_Six", take.mInfo.mDeviceName);
	EXPECT_FALSE(take.mResampled);
	ASSERT_EQ(6, take.mChannels);
	ASSERT_EQ(48000, take.mRate);
	for (int c = 0; c < 2; ++c)
		ExpectSine(take.Of(c), 48000, 1000.0, 1.0);
	for (int c = 2; c < 6; ++c) {
		const std::vector<float> silent = Channel(take.mSamples, 6, c);
		EXPECT_LT(*std::max_element(silent.begin(), silent.end()), 1e-3f) << "channel " << c;
	}
}

TEST_F(WASAPIPlayback, ADeviceThatKeepsItsRateGetsTheResampledStream) {
	CWASAPIAudioContext::sPlatform.CreateEnumerator = fakewasapi::CreateRestrictedEnumerator;
	const Take take = Play(L"Studio_Speakers", 2, {1000.0, 1000.0}, 1.0f, 2);
	EXPECT_EQ(44100, take.mInfo.mSampleRate);
	EXPECT_EQ(4410, take.mInfo.mFramesPerBuffer);
	EXPECT_TRUE(take.mResampled);
	ASSERT_EQ(2, take.mChannels);
	for (int c = 0; c < 2; ++c)
		ExpectSine(take.Of(c), take.mRate, 1000.0, 1.0);
}

TEST_F(WASAPIPlayback, SixChannelsOnATwoChannelEndpointPlayTheFirstTwo) {
	CWASAPIAudioContext::sPlatform.CreateEnumerator = fakewasapi::CreateRestrictedEnumerator;
	const std::vector<double> frequencies = {1000.0, 1500.0, 2500.0, 3500.0, 4500.0, 5500.0};
	const Take take = Play(L"Studio_Speakers", 6, frequencies, 1.0f, 2);
	ASSERT_EQ(2, take.mChannels);
	EXPECT_TRUE(take.mResampled);
	for (int c = 0; c < 2; ++c) {
		SCOPED_TRACE(c);
		const Analysis a = take.Of(c);
		ExpectSine(a, take.mRate, frequencies[c], 1.0);
		for (size_t other = 0; other < frequencies.size(); ++other)
			if (other != static_cast<size_t>(c)) {
				EXPECT_LT(RelativeLevel(a, frequencies[other]), -60.0) << frequencies[other] << " Hz";
			}
	}
}

TEST_F(WASAPIPlayback, AMonoStreamSoundsAlikeOnBothFrontChannels) {
	// Resampled to the studio's 44100 Hz, and straight onto the desk's six channels.
	const Take studio = Play(L"Studio_Speakers", 1, {1000.0, 1000.0}, 1.0f, 2);
	ASSERT_EQ(2, studio.mChannels);
	const Take desk = Play(L"Desk_Six", 1, {1000.0, 1000.0}, 1.0f, 2);
	ASSERT_EQ(6, desk.mChannels);
	for (const Take* take : {&studio, &desk}) {
		SCOPED_TRACE(take->mInfo.mDeviceName);
		const Analysis left = take->Of(0);
		const Analysis right = take->Of(1);
		ExpectSine(left, take->mRate, 1000.0, 1.0);
		ExpectSine(right, take->mRate, 1000.0, 1.0);
		EXPECT_NEAR(0.0, Decibels(right.mRMS / left.mRMS), 0.1);
		for (int c = 2; c < take->mChannels; ++c) {
			const std::vector<float> silent = Channel(take->mSamples, take->mChannels, c);
			EXPECT_LT(*std::max_element(silent.begin(), silent.end()), 1e-3f) << "channel " << c;
		}
	}
}

// Under wine the endpoint of a sink that went stays listed and only its Initialize fails, the
// render calls fail at once, and no notification comes: the context must find its way to the
// default and back by itself.
TEST_F(WASAPIPlayback, ASinkThatGoesAndComesBackPlaysTheToneAgainWithinTenSeconds) {
	const std::string studio = EndpointID(L"Studio_Speakers");
	ASSERT_FALSE(studio.empty());
	CWASAPIAudioContext* context = nullptr;
	ASSERT_EQ(0, CWASAPIAudioContext::CreateWASAPIAudioContext(studio, 2, kStreamRate, kBlockFrames, context));
	std::unique_ptr<ToneFeeder> feeder(new ToneFeeder(context, 1000.0));
	{
		MonitorRecorder before;
		ASSERT_TRUE(before.Start(L"Studio_Speakers", 20.0));
		EXPECT_TRUE(before.WaitFor([&](const std::vector<float>& s) { return EndsInTone(s, before.Channels(), before.Rate(), 1000.0); },
		                           std::chrono::seconds(10)))
		    << "no tone before the sink went";
	}

	SinkAway away("vidrane_studio");
	ASSERT_TRUE(away.IsAway());
	{
		// Nothing waits on the vanished device: the owner's calls return, and the render thread
		// moves to the default.
		Watchdog watchdog(std::chrono::seconds(30), "the time without the sink");
		EXPECT_TRUE(WaitUntil([&] { return context->GetDeviceInfo().mDeviceID != studio; }))
		    << "still on the sink that went";
		EXPECT_TRUE(context->IsRunning());
		std::string file, message;
		int line = 0;
		context->GetErrorRecord(file, line, message);
		printf("while the sink was away the context reported %s\n", context->GetDeviceInfo().mDeviceName.c_str());
	}

	ASSERT_TRUE(away.Return());
	{
		// The ten seconds are the context's: they start once the monitor records.
		MonitorRecorder after;
		ASSERT_TRUE(after.Start(L"Studio_Speakers", 20.0));
		EXPECT_TRUE(after.WaitFor([&](const std::vector<float>& s) { return EndsInTone(s, after.Channels(), after.Rate(), 1000.0); },
		                          std::chrono::seconds(10)))
		    << "the tone did not come back on the returned sink";
	}
	EXPECT_EQ(studio, context->GetDeviceInfo().mDeviceID);
	feeder.reset();
	Watchdog watchdog(std::chrono::seconds(30), "the context's end");
	context->Stop();
	context->Release();
}
