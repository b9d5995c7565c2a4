// Real playback under wine: contexts on the null sinks of a private PulseAudio server, recorded
// from the sinks' monitors through wine's capture endpoints. Run by with-pulse.sh, whose sinks
// are Studio_Speakers (2 channels, 44100 Hz) and Desk_Six (6 channels, 48000 Hz).
#include "RestrictedWASAPI.h"

#include <functiondiscoverykeys_devpkey.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <condition_variable>
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

// The active endpoint of that direction whose friendly name is `name`, or null.
IMMDevice* FindEndpoint(EDataFlow flow, const std::wstring& name) {
	IMMDeviceEnumerator* enumerator = nullptr;
	if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
	                            reinterpret_cast<void**>(&enumerator))))
		return nullptr;
	IMMDevice* found = nullptr;
	IMMDeviceCollection* devices = nullptr;
	UINT count = 0;
	if (SUCCEEDED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &devices)) && SUCCEEDED(devices->GetCount(&count))) {
		for (UINT i = 0; i < count && !found; ++i) {
			IMMDevice* device = nullptr;
			IPropertyStore* store = nullptr;
			if (FAILED(devices->Item(i, &device)))
				continue;
			PROPVARIANT value;
			PropVariantInit(&value);
			if (SUCCEEDED(device->OpenPropertyStore(STGM_READ, &store)) && SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &value))
			    && value.vt == VT_LPWSTR && name == value.pwszVal)
				found = device;
			else
				device->Release();
			PropVariantClear(&value);
			if (store)
				store->Release();
		}
		devices->Release();
	}
	enumerator->Release();
	return found;
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

// Records a sink's monitor in its mix format (32-bit float) on a thread of its own, so that
// the capture is drained at the sink's pace whatever the test does meanwhile.
class MonitorRecorder {
public:
	bool Start(const std::wstring& sinkName, double seconds) {
		IMMDevice* device = FindEndpoint(eCapture, L"Monitor of " + sinkName);
		if (!device)
			return false;
		bool ok = SUCCEEDED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&mClient)));
		device->Release();
		WAVEFORMATEX* format = nullptr;
		mEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
		ok = ok && SUCCEEDED(mClient->GetMixFormat(&format)) && format->wBitsPerSample == 32
		     && SUCCEEDED(mClient->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 10000000, 0, format, nullptr))
		     && SUCCEEDED(mClient->SetEventHandle(mEvent))
		     && SUCCEEDED(mClient->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&mCapture)))
		     && SUCCEEDED(mClient->Start());
		if (format) {
			mChannels = format->nChannels;
			mRate = static_cast<int>(format->nSamplesPerSec);
		}
		CoTaskMemFree(format);
		if (ok)
			mThread = std::thread(&MonitorRecorder::Run, this, static_cast<size_t>(seconds * mRate) * mChannels);
		return ok;
	}
	~MonitorRecorder() {
		if (mThread.joinable())
			mThread.join();
		if (mClient)
			mClient->Stop();
		if (mCapture)
			mCapture->Release();
		if (mClient)
			mClient->Release();
		if (mEvent)
			CloseHandle(mEvent);
	}
	// Until the monitor delivers at its pace: a sink that was idle takes a moment to run again,
	// and what it plays meanwhile is not seen by its monitor.
	bool WaitRunning(double seconds) {
		std::unique_lock<std::mutex> lock(mLock);
		return mChanged.wait_for(lock, std::chrono::seconds(30),
		                         [&] { return mCount >= static_cast<size_t>(seconds * mRate) * mChannels; });
	}
	// Everything recorded, once the seconds asked for are in (or the thread gave up).
	const std::vector<float>& Wait() {
		if (mThread.joinable())
			mThread.join();
		return mSamples;
	}
	int Channels() const { return mChannels; }
	int Rate() const { return mRate; }

private:
	void Run(size_t wanted) {
		const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
		while (mSamples.size() < wanted && std::chrono::steady_clock::now() < deadline) {
			WaitForSingleObject(mEvent, 1000);
			UINT32 packet = 0;
			while (SUCCEEDED(mCapture->GetNextPacketSize(&packet)) && packet > 0) {
				BYTE* data = nullptr;
				UINT32 frames = 0;
				DWORD flags = 0;
				if (FAILED(mCapture->GetBuffer(&data, &frames, &flags, nullptr, nullptr)))
					break;
				const float* samples = reinterpret_cast<const float*>(data);
				for (size_t i = 0; i < static_cast<size_t>(frames) * mChannels; ++i)
					mSamples.push_back((flags & AUDCLNT_BUFFERFLAGS_SILENT) ? 0.0f : samples[i]);
				mCapture->ReleaseBuffer(frames);
				std::lock_guard<std::mutex> lock(mLock);
				mCount = mSamples.size();
				mChanged.notify_all();
			}
		}
	}

	IAudioClient* mClient = nullptr;
	IAudioCaptureClient* mCapture = nullptr;
	HANDLE mEvent = nullptr;
	int mChannels = 0;
	int mRate = 0;
	std::vector<float> mSamples; // the thread's until it is joined
	std::mutex mLock;
	std::condition_variable mChanged;
	size_t mCount = 0; // samples so far, under the lock
	std::thread mThread;
};

// Queues kBlocks blocks of sines, channel c at frequencies[c] (silent past the list).
void QueueSines(CWASAPIAudioContext* context, int channels, const std::vector<double>& frequencies) {
	for (int block = 0; block < kBlocks; ++block) {
		std::vector<float> samples(static_cast<size_t>(channels) * kBlockFrames, 0.0f);
		for (int f = 0; f < kBlockFrames; ++f)
			for (int c = 0; c < channels && c < static_cast<int>(frequencies.size()); ++c)
				samples[static_cast<size_t>(f) * channels + c] = static_cast<float>(
				    kAmplitude * std::sin(2 * kPi * frequencies[c] * (block * kBlockFrames + f) / kStreamRate));
		CAudioBuffer* buffer = new CAudioBuffer(channels, samples.data(), channels, kBlockFrames, true);
		context->GetBufferList().AppendBuffer(buffer);
		buffer->Release();
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
	// each hold their sine whole, at most three times. A machine busy elsewhere can make wine
	// miss a period of its own feed to the server, which the monitor shows as a short gap that
	// is none of the context's doing. So a take is repeated only when the context itself saw no
	// underrun: one it reported is its own fault, and that take is the one checked.
	Take Play(const std::wstring& sink, int channels, const std::vector<double>& frequencies, float gain,
	          int checked) {
		Take take;
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
			if (whole || take.mUnderruns > 0)
				break;
			if (attempt < 2)
				printf("the context saw no underrun: playing again\n");
		}
		EXPECT_EQ(0, take.mUnderruns) << "the render thread let the device run dry";
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
		QueueSines(context, channels, frequencies);
		take.mSamples = recorder.Wait();
		take.mChannels = recorder.Channels();
		take.mRate = recorder.Rate();
		take.mInfo = context->GetDeviceInfo();
		take.mResampled = context->IsResampling();
		take.mUnderruns = context->GetUnderrunCount();
		context->Stop();
		context->Release();
		return take;
	}

	WASAPIPlatform mSaved;
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
