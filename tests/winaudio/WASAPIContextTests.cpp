// The WASAPI output context against scripted endpoints: device choice, format negotiation and
// its fall-back rows, the failure messages, the render thread's fills, re-initialisation and the
// teardown.
#include "FakeWASAPI.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <future>
#include <thread>

using namespace fakewasapi;

namespace {

const std::wstring kStudioID = L"{0.0.0.00000000}.{studio}";
const std::wstring kDeskID = L"{0.0.0.00000000}.{desk}";
const std::string kDeskUTF8 = "{0.0.0.00000000}.{desk}";

const double kPi = 3.14159265358979323846;

// The context with the single reference the caller holds.
struct Context {
	CWASAPIAudioContext* mContext = nullptr;
	int mStatus = 0;

	Context(const std::string& id, int channels, int rate) {
		mStatus = CWASAPIAudioContext::CreateWASAPIAudioContext(id, channels, rate, rate / 10, mContext);
	}
	~Context() {
		if (mContext)
			mContext->Release();
	}
	CWASAPIAudioContext* operator->() { return mContext; }
};

void Queue(CWASAPIAudioContext* context, const std::vector<float>& samples, int channels) {
	CAudioBuffer* block = new CAudioBuffer(channels, samples.data(), channels, static_cast<int>(samples.size()) / channels, true);
	context->GetBufferList().AppendBuffer(block);
	block->Release();
}

std::vector<float> Sine(int channels, int frames, double frequency, int rate, double amplitude, int startFrame = 0) {
	std::vector<float> samples(static_cast<size_t>(channels) * frames);
	for (int f = 0; f < frames; ++f)
		for (int c = 0; c < channels; ++c)
			samples[static_cast<size_t>(f) * channels + c] =
			    static_cast<float>(amplitude * std::sin(2 * kPi * frequency * (c + 1) * (startFrame + f) / rate));
	return samples;
}

std::vector<float> AsFloats(const std::vector<uint8_t>& bytes, size_t fromByte = 0) {
	std::vector<float> floats((bytes.size() - fromByte) / sizeof(float));
	memcpy(floats.data(), bytes.data() + fromByte, floats.size() * sizeof(float));
	return floats;
}

size_t IndexOf(const std::vector<std::string>& log, const std::string& entry, size_t from = 0) {
	for (size_t i = from; i < log.size(); ++i)
		if (log[i] == entry)
			return i;
	return log.size();
}

// Waits for the first fill and the start of the stream.
bool WaitStarted(FakeSystem& system, size_t starts = 1) {
	return system.WaitUntil([&] { return system.CountLog("Start") >= starts; });
}

// The device plays one whole buffer and the thread has topped it up again.
bool PlayBuffer(FakeSystem& system) {
	const size_t releases = system.Releases().size();
	system.Play(system.BufferFrames());
	return system.WaitUntil([&] { return system.mReleases.size() > releases && system.mPadding == system.mBufferFrames; });
}

std::string ErrorMessage(CWASAPIAudioContext* context) {
	std::string file, message;
	int line = 0;
	context->GetErrorRecord(file, line, message);
	return message;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Opening a device

TEST(WASAPIOpen, RequestedEndpointAtTheStreamRateWhenTheDeviceTakesIt) {
	FakeSystem system;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 44100));
	Endpoint& desk = system.AddEndpoint(kDeskID, L"Desk \u00e9", MakeFormat(true, 32, true, 2, 44100));
	desk.mSupports = [](const WAVEFORMATEX* f, WAVEFORMATEXTENSIBLE&) {
		return Describe(f) == "EXT FLOAT 2x32 48000" ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
	};
	system.SetDefault(kStudioID);
	{
		Context context(kDeskUTF8, 2, 48000);
		ASSERT_EQ(0, context.mStatus);
		const std::vector<std::string> log = system.Log();
		EXPECT_LT(IndexOf(log, "GetDevice " + kDeskUTF8), IndexOf(log, "Activate " + kDeskUTF8));
		EXPECT_EQ(log.size(), IndexOf(log, "GetDefaultAudioEndpoint"));
		EXPECT_LT(IndexOf(log, "Initialize EXT FLOAT 2x32 48000 1000000"), log.size());
		const WASAPIDeviceInfo info = context->GetDeviceInfo();
		EXPECT_EQ("WASAPI", info.mAPIName);
		EXPECT_EQ("Desk \xc3\xa9", info.mDeviceName);
		EXPECT_EQ(kDeskUTF8, info.mDeviceID);
		EXPECT_EQ(2, info.mChannels);
		EXPECT_EQ(48000, info.mSampleRate);
		EXPECT_EQ(4800, info.mFramesPerBuffer);
		EXPECT_EQ(4800u, system.BufferFrames());
		EXPECT_TRUE(context->IsRunning());
		EXPECT_EQ("", ErrorMessage(context.mContext));

		// The requested identifier, channel count, rate and buffer length decide.
		EXPECT_TRUE(context->IsCompatible(kDeskUTF8, 2, 48000, 4800));
		EXPECT_FALSE(context->IsCompatible(kDeskUTF8, 6, 48000, 4800));
		EXPECT_FALSE(context->IsCompatible(kDeskUTF8, 2, 44100, 4800));
		EXPECT_FALSE(context->IsCompatible(kDeskUTF8, 2, 48000, 4410));
		EXPECT_FALSE(context->IsCompatible(kDeskUTF8 + " ", 2, 48000, 4800));
	}
	EXPECT_EQ(0, system.LiveObjects());
}

TEST(WASAPIOpen, ARefusedRateKeepsTheMixFormatAndAClosestMatchIsTaken) {
	FakeSystem system;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 44100));
	system.SetDefault(kStudioID);
	{
		Context context("", 2, 48000);
		ASSERT_EQ(0, context.mStatus);
		EXPECT_EQ(1u, system.CountLog("IsFormatSupported EXT FLOAT 2x32 48000"));
		EXPECT_EQ(1u, system.CountLog("Initialize EXT FLOAT 2x32 44100 1000000"));
		EXPECT_EQ(44100, context->GetDeviceInfo().mSampleRate);
		EXPECT_EQ(4410, context->GetDeviceInfo().mFramesPerBuffer);
	}
	system.Change([](FakeSystem& s) {
		s.Find(kStudioID)->mSupports = [](const WAVEFORMATEX*, WAVEFORMATEXTENSIBLE& closest) {
			closest = MakeFormat(true, 32, true, 2, 96000);
			return S_FALSE;
		};
	});
	Context context("", 2, 48000);
	ASSERT_EQ(0, context.mStatus);
	EXPECT_EQ(1u, system.CountLog("Initialize EXT FLOAT 2x32 96000 1000000"));
	EXPECT_EQ(96000, context->GetDeviceInfo().mSampleRate);
	EXPECT_EQ(9600, context->GetDeviceInfo().mFramesPerBuffer);
}

TEST(WASAPIOpen, AnEndpointThatCannotBeOpenedFallsBackToTheDefault) {
	FakeSystem system;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
	Endpoint& desk = system.AddEndpoint(kDeskID, L"Desk", MakeFormat(true, 32, true, 2, 48000));
	desk.mPresent = false;
	system.SetDefault(kStudioID);
	{
		Context context(kDeskUTF8, 2, 48000);
		ASSERT_EQ(0, context.mStatus);
		EXPECT_EQ(1u, system.CountLog("GetDefaultAudioEndpoint"));
		EXPECT_EQ("{0.0.0.00000000}.{studio}", context->GetDeviceInfo().mDeviceID);
		EXPECT_EQ("Studio", context->GetDeviceInfo().mDeviceName);
		EXPECT_EQ(kDeskUTF8, context->GetPersistentID());
	}
	// Present but not activatable: its device is released before the default is tried.
	system.Change([](FakeSystem& s) {
		s.Find(kDeskID)->mPresent = true;
		s.Find(kDeskID)->mActivate = E_OUTOFMEMORY;
	});
	{
		Context context(kDeskUTF8, 2, 48000);
		ASSERT_EQ(0, context.mStatus);
		EXPECT_EQ("{0.0.0.00000000}.{studio}", context->GetDeviceInfo().mDeviceID);
		EXPECT_EQ(4, system.LiveObjects()); // enumerator, device, audio client, render client
	}
	EXPECT_EQ(0, system.LiveObjects());
	// An empty identifier asks for the default only.
	Context context("", 2, 48000);
	ASSERT_EQ(0, context.mStatus);
	EXPECT_EQ(3u, system.CountLog("GetDefaultAudioEndpoint"));
}

// ---------------------------------------------------------------------------------------------
// Fall-back formats and failures

TEST(WASAPIFallback, RowsAreTriedInTableOrderAndTheFirstThatInitialisesWins) {
	FakeSystem system;
	Endpoint& studio = system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
	studio.mSupports = [](const WAVEFORMATEX*, WAVEFORMATEXTENSIBLE&) { return S_OK; };
	studio.mAccepts = [](const WAVEFORMATEX* f) { return Describe(f) == "STD PCM 2x24 48000"; };
	system.SetDefault(kStudioID);
	Context context("", 2, 48000);
	ASSERT_EQ(0, context.mStatus);

	std::vector<std::string> tried;
	for (const std::string& entry : system.Log())
		if (entry.compare(0, 11, "Initialize ") == 0)
			tried.push_back(entry);
	const std::vector<std::string> expected = {
	    "Initialize EXT FLOAT 2x32 48000 1000000", "Initialize EXT FLOAT 2x32 48000 1000000",
	    "Initialize EXT PCM 2x32 48000 1000000",   "Initialize STD PCM 2x32 48000 1000000",
	    "Initialize EXT PCM 2x24 48000 1000000",   "Initialize STD PCM 2x24 48000 1000000",
	};
	EXPECT_EQ(expected, tried);
	const WAVEFORMATEXTENSIBLE format = system.StreamFormat();
	EXPECT_EQ("STD PCM 2x24 48000", Describe(&format.Format));
}

TEST(WASAPIFallback, ARowAnsweredWithAClosestMatchInitialisesThatMatch) {
	FakeSystem system;
	Endpoint& studio = system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
	studio.mSupports = [](const WAVEFORMATEX*, WAVEFORMATEXTENSIBLE& closest) {
		closest = MakeFormat(false, 16, true, 2, 48000);
		return S_FALSE;
	};
	studio.mAccepts = [](const WAVEFORMATEX* f) { return Describe(f) == "EXT PCM 2x16 48000"; };
	system.SetDefault(kStudioID);
	Context context("", 2, 48000);
	ASSERT_EQ(0, context.mStatus);
	EXPECT_EQ(1u, system.CountLog("IsFormatSupported EXT FLOAT 2x32 48000"));
	const WAVEFORMATEXTENSIBLE format = system.StreamFormat();
	EXPECT_EQ("EXT PCM 2x16 48000", Describe(&format.Format));
}

TEST(WASAPIFallback, WhenEveryRowFailsTheMessageNamesTheMixFormat) {
	struct Case {
		WAVEFORMATEXTENSIBLE mMix;
		const char* mMessage;
	};
	const Case cases[] = {
	    {MakeFormat(true, 32, true, 2, 48000),
	     "Could not init audio client: fmt = EXT FLOAT, chan = 2, sample rate = 48000, bits per sample = 16, block align = 4"},
	    {MakeFormat(false, 16, false, 6, 44100),
	     "Could not init audio client: fmt = STD PCM, chan = 6, sample rate = 48000, bits per sample = 16, block align = 12"},
	    {MakeFormat(false, 24, true, 2, 48000),
	     "Could not init audio client: fmt = EXT PCM, chan = 2, sample rate = 48000, bits per sample = 16, block align = 4"},
	};
	for (const Case& c : cases) {
		FakeSystem system;
		Endpoint& studio = system.AddEndpoint(kStudioID, L"Studio", c.mMix);
		studio.mSupports = [](const WAVEFORMATEX*, WAVEFORMATEXTENSIBLE&) { return S_OK; };
		studio.mAccepts = [](const WAVEFORMATEX*) { return false; };
		system.SetDefault(kStudioID);

		CWASAPIAudioContext* context = new CWASAPIAudioContext("", 2, 48000, 4800);
		EXPECT_EQ(-1, context->GetStatus());
		EXPECT_FALSE(context->IsRunning());
		EXPECT_EQ(c.mMessage, ErrorMessage(context));
		context->Release();
		EXPECT_EQ(0, system.LiveObjects());

		CWASAPIAudioContext* made = reinterpret_cast<CWASAPIAudioContext*>(1);
		EXPECT_EQ(-1, CWASAPIAudioContext::CreateWASAPIAudioContext("", 2, 48000, 4800, made));
		EXPECT_EQ(nullptr, made);
		const std::vector<std::string> log = system.Log();
		EXPECT_EQ(16, std::count_if(log.begin(), log.end(), [](const std::string& e) { return e.compare(0, 11, "Initialize ") == 0; }));
	}
}

namespace {
int gEventsLeft;   // events that may still be made
HANDLE LimitedEvent() {
	return gEventsLeft-- > 0 ? CreateEventA(nullptr, FALSE, FALSE, nullptr) : nullptr;
}
HANDLE NoThread(LPTHREAD_START_ROUTINE, void*) {
	return nullptr;
}
} // namespace

TEST(WASAPIFailures, EachStepRecordsItsMessageAndLeavesNothingBehind) {
	struct Case {
		const char* mMessage;
		std::function<void(FakeSystem&)> mArrange;
	};
	const Case cases[] = {
	    {"Could not create buffer end event",
	     [](FakeSystem&) {
		     gEventsLeft = 0;
		     CWASAPIAudioContext::sPlatform.CreateAutoResetEvent = LimitedEvent;
	     }},
	    {"Could not create audio processing done event",
	     [](FakeSystem&) {
		     gEventsLeft = 1;
		     CWASAPIAudioContext::sPlatform.CreateAutoResetEvent = LimitedEvent;
	     }},
	    {"Could not create device enumerator.", [](FakeSystem& s) { s.FailEnumerator(REGDB_E_CLASSNOTREG); }},
	    {"Could not create audio endpoint.", [](FakeSystem& s) { s.SetDefault(L""); }},
	    {"Could not create audio endpoint.", [](FakeSystem& s) { s.Find(kStudioID)->mActivate = E_ACCESSDENIED; }},
	    {"Could not get mix format.", [](FakeSystem& s) { s.Find(kStudioID)->mGetMixFormat = E_FAIL; }},
	    {"Could not get buffer size", [](FakeSystem& s) { s.Find(kStudioID)->mGetBufferSize = E_FAIL; }},
	    {"Could not get IAudioRenderClient service", [](FakeSystem& s) { s.Find(kStudioID)->mGetService = E_NOINTERFACE; }},
	    {"Could not get set buffer end event handle.", [](FakeSystem& s) { s.Find(kStudioID)->mSetEventHandle = E_INVALIDARG; }},
	    {"Could not create thread.", [](FakeSystem&) { CWASAPIAudioContext::sPlatform.CreateRenderThread = NoThread; }},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.mMessage);
		FakeSystem system; // restores the platform operations when it goes
		system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
		system.SetDefault(kStudioID);
		c.mArrange(system);

		CWASAPIAudioContext* context = new CWASAPIAudioContext(kDeskUTF8, 2, 48000, 4800);
		EXPECT_EQ(-1, context->GetStatus());
		std::string file, message;
		int line = 0;
		context->GetErrorRecord(file, line, message);
		EXPECT_EQ("AudioOut_Win.cpp", file);
		EXPECT_GT(line, 0);
		EXPECT_EQ(c.mMessage, message);
		context->Release();
		EXPECT_EQ(0, system.LiveObjects());
		EXPECT_EQ(system.CountLog("Register"), system.CountLog("Unregister"));
	}
}

TEST(WASAPIFailures, AStreamShapeTheArithmeticCannotTakeIsRefused) {
	FakeSystem system;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
	system.SetDefault(kStudioID);
	const int shapes[][3] = {{0, 48000, 4800}, {2, 0, 0}, {2, -48000, 4800}, {2, 48000, 0}, {-1, 48000, 4800}};
	for (const auto& shape : shapes) {
		CWASAPIAudioContext* context = reinterpret_cast<CWASAPIAudioContext*>(1);
		EXPECT_EQ(-1, CWASAPIAudioContext::CreateWASAPIAudioContext("", shape[0], shape[1], shape[2], context));
		EXPECT_EQ(nullptr, context);
	}
	EXPECT_EQ(0u, system.CountLog("CreateEnumerator"));
}

// ---------------------------------------------------------------------------------------------
// The render thread's fills

TEST(WASAPIRender, TheBufferIsFilledOnceBeforeStartThenToppedUpOnEveryEvent) {
	FakeSystem system;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
	system.SetDefault(kStudioID);
	Context context("", 2, 48000);
	ASSERT_EQ(0, context.mStatus);
	ASSERT_TRUE(WaitStarted(system));
	std::vector<std::string> log = system.Log();
	const size_t start = IndexOf(log, "Start");
	size_t releasesBeforeStart = 0;
	for (size_t i = 0; i < start; ++i)
		releasesBeforeStart += log[i].compare(0, 18, "ReleaseBuffer 4800") == 0;
	EXPECT_EQ(1u, releasesBeforeStart);

	// Each event tops up what the device played.
	system.Play(480);
	ASSERT_TRUE(system.WaitUntil([&] { return system.mPadding == 4800; }));
	EXPECT_EQ(480u, system.Releases().back().mFrames);

	// Straight copy at the device's rate: the samples arrive bit for bit.
	std::vector<float> samples(4800 * 2);
	for (size_t i = 0; i < samples.size(); ++i)
		samples[i] = static_cast<float>(std::sin(i * 0.37) * 1.25); // out of range too: no clipping for floats
	Queue(context.mContext, samples, 2);
	ASSERT_TRUE(PlayBuffer(system));
	const std::vector<float> played = AsFloats(system.Played(), (4800 + 480) * 8);
	ASSERT_EQ(samples.size(), played.size());
	EXPECT_EQ(0, memcmp(samples.data(), played.data(), samples.size() * sizeof(float)));
	EXPECT_FALSE(context->IsResampling());
	EXPECT_EQ(1u, system.CountLog("Start"));
}

TEST(WASAPIRender, AStoppedContextHandsBackSilenceAndKeepsItsThread) {
	FakeSystem system;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
	system.SetDefault(kStudioID);
	Context context("", 2, 48000);
	ASSERT_TRUE(WaitStarted(system));
	context->Stop();
	EXPECT_FALSE(context->IsRunning());
	Queue(context.mContext, Sine(2, 4800, 1000, 48000, 0.5), 2);
	const size_t before = system.Played().size();
	ASSERT_TRUE(PlayBuffer(system));
	ASSERT_TRUE(PlayBuffer(system));
	const std::vector<BufferRelease> releases = system.Releases();
	EXPECT_TRUE(releases.back().mFlags & AUDCLNT_BUFFERFLAGS_SILENT);
	const std::vector<uint8_t> played = system.Played();
	EXPECT_TRUE(std::all_of(played.begin() + before, played.end(), [](uint8_t b) { return b == 0; }));
}

// Mono is the exception: it sounds on both front channels.
TEST(WASAPIRender, QueueChannelsGoToTheFirstDeviceChannelsAndNothingBeyondTheBuffer) {
	struct Case {
		int mQueueChannels;
		int mDeviceChannels;
	};
	for (const Case& c : {Case{2, 6}, Case{6, 2}, Case{1, 2}, Case{1, 6}}) {
		SCOPED_TRACE(c.mQueueChannels);
		FakeSystem system;
		system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, c.mDeviceChannels, 48000));
		system.SetDefault(kStudioID);
		Context context("", c.mQueueChannels, 48000);
		ASSERT_EQ(0, context.mStatus);
		ASSERT_TRUE(WaitStarted(system));
		const std::vector<float> samples = Sine(c.mQueueChannels, 4800, 1000, 48000, 0.5);
		Queue(context.mContext, samples, c.mQueueChannels);
		ASSERT_TRUE(PlayBuffer(system));
		const std::vector<float> played = AsFloats(system.Played(), 4800 * 4 * c.mDeviceChannels);
		ASSERT_EQ(4800u * c.mDeviceChannels, played.size()); // and the fake refuses bytes beyond the buffer
		for (int f = 0; f < 4800; ++f)
			for (int ch = 0; ch < c.mDeviceChannels; ++ch) {
				const int from = c.mQueueChannels == 1 && ch < 2 ? 0 : ch;
				const float expected = from < c.mQueueChannels ? samples[f * c.mQueueChannels + from] : 0.0f;
				ASSERT_EQ(expected, played[f * c.mDeviceChannels + ch]) << "frame " << f << " channel " << ch;
			}
	}
}

TEST(WASAPIRender, IntegerDeviceFormatsReceiveClippedConvertedSamples) {
	const float input[] = {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f, -3.0f, 0.25f, NAN, 1e-6f};
	const int count = sizeof(input) / sizeof(input[0]);
	struct Case {
		WAVEFORMATEXTENSIBLE mFormat;
		int mBytes;
		double mFullScale;
	};
	const Case cases[] = {
	    {MakeFormat(false, 16, true, 2, 48000), 2, 32767.0},
	    {MakeFormat(false, 24, false, 2, 48000), 3, 8388607.0},
	    {MakeFormat(false, 32, true, 2, 48000), 4, 2147483647.0},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.mBytes);
		FakeSystem system;
		// Offers float, takes only the integer format: reached through the fall-back rows.
		Endpoint& studio = system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
		const std::string wanted = Describe(&c.mFormat.Format);
		studio.mSupports = [](const WAVEFORMATEX*, WAVEFORMATEXTENSIBLE&) { return S_OK; };
		studio.mAccepts = [wanted](const WAVEFORMATEX* f) { return Describe(f) == wanted; };
		system.SetDefault(kStudioID);
		Context context("", 2, 48000);
		ASSERT_EQ(0, context.mStatus);
		ASSERT_TRUE(WaitStarted(system));

		std::vector<float> samples(4800 * 2, 0.0f);
		std::copy(input, input + count, samples.begin());
		Queue(context.mContext, samples, 2);
		ASSERT_TRUE(PlayBuffer(system));
		const std::vector<uint8_t> played = system.Played();
		ASSERT_EQ(2u * 4800 * 2 * c.mBytes, played.size());
		const uint8_t* second = played.data() + 4800 * 2 * c.mBytes;
		for (int i = 0; i < count; ++i) {
			int32_t value = 0;
			memcpy(&value, second + i * c.mBytes, c.mBytes);
			if (c.mBytes == 2)
				value = static_cast<int16_t>(value);
			else if (c.mBytes == 3)
				value = (value << 8) >> 8;
			const float clipped = std::isnan(input[i]) ? 0.0f : std::max(-1.0f, std::min(1.0f, input[i]));
			EXPECT_NEAR(clipped * c.mFullScale, static_cast<double>(value), 1.0) << "sample " << i;
		}
		// The rest of the block was silence, converted too.
		EXPECT_TRUE(std::all_of(second + count * c.mBytes, played.data() + played.size(), [](uint8_t b) { return b == 0; }));
	}
}

TEST(WASAPIRender, AnotherDeviceRateIsResampledIntoFullContinuousBuffers) {
	FakeSystem system;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 44100));
	system.SetDefault(kStudioID);
	Context context("", 2, 48000);
	ASSERT_EQ(0, context.mStatus);
	ASSERT_TRUE(WaitStarted(system));
	for (int block = 0; block < 10; ++block)
		Queue(context.mContext, Sine(2, 4800, 1000, 48000, 0.5, block * 4800), 2);
	// Device periods of uneven length, as padding makes them.
	const UINT32 periods[] = {441, 300, 577, 441, 1000, 13};
	for (int i = 0; i < 80; ++i) {
		const size_t releases = system.Releases().size();
		system.Play(periods[i % 6]);
		ASSERT_TRUE(system.WaitUntil([&] { return system.mReleases.size() > releases && system.mPadding == 4410; }));
	}
	EXPECT_TRUE(context->IsResampling());
	for (const BufferRelease& release : system.Releases())
		EXPECT_EQ(0u, release.mFlags);

	// Skip the first buffer (silence from before the blocks) and the resampler's latency.
	const std::vector<float> played = AsFloats(system.Played(), 4410 * 8);
	size_t first = 0;
	while (first < played.size() && std::fabs(played[first]) < 0.05f)
		++first;
	first = first / 2 * 2 + 2 * 441; // channel 0, the 1 kHz one
	ASSERT_LT(first + 2 * 22050, played.size());
	int crossings = 0;
	float peak = 0.0f, steepest = 0.0f;
	size_t quiet = 0, longestQuiet = 0;
	for (size_t i = first; i + 2 < first + 2 * 22050; i += 2) {
		crossings += (played[i] < 0.0f) != (played[i + 2] < 0.0f);
		peak = std::max(peak, std::fabs(played[i]));
		steepest = std::max(steepest, std::fabs(played[i + 2] - played[i]));
		quiet = std::fabs(played[i]) < 0.005f ? quiet + 1 : 0;
		longestQuiet = std::max(longestQuiet, quiet);
	}
	// Half a second at 1 kHz: 1000 zero crossings.
	EXPECT_NEAR(1000, crossings, 4);
	EXPECT_NEAR(0.5, peak, 0.01);
	EXPECT_LE(longestQuiet, 1u);
	// No step steeper than the sine's own (0.5 x 2 pi x 1000 / 44100 = 0.071): a single frame of
	// silence at the end of a short pass is a click.
	EXPECT_LT(steepest, 0.08f);
}

TEST(WASAPIRender, TheResamplerMakesEveryFrameAskedAtAnyRatio) {
	struct Rates {
		int mQueue, mDevice;
	};
	const Rates cases[] = {{48000, 44100}, {44100, 48000}, {8000, 48000}, {192000, 44100}, {48000, 47999}};
	const int passes[] = {441, 300, 577, 1, 1000, 13, 4096, 2};
	for (const Rates& rates : cases) {
		SCOPED_TRACE(std::to_string(rates.mQueue) + " Hz into " + std::to_string(rates.mDevice) + " Hz");
		CAudioBufferList queue(1, rates.mQueue, rates.mQueue / 10);
		// Far more than the passes take: the queue never runs dry, so every frame is the sine's.
		for (int block = 0; block < 40; ++block) {
			const std::vector<float> sine = Sine(1, rates.mQueue / 10, 50, rates.mQueue, 0.5, block * (rates.mQueue / 10));
			CAudioBuffer* buffer = new CAudioBuffer(1, sine.data(), 1, rates.mQueue / 10, true);
			queue.AppendBuffer(buffer);
			buffer->Release();
		}
		ResamplerState resampler;
		std::vector<float> out;
		for (int i = 0; i < 64; ++i) {
			const int frames = passes[i % 8];
			std::vector<float> buffer(static_cast<size_t>(frames), 7.0f);
			ASSERT_EQ(frames, resampler.FillResampled(&queue, rates.mDevice, buffer.data(), frames)) << "pass " << i;
			out.insert(out.end(), buffer.begin(), buffer.end());
		}
		// Past the resampler's latency, a 50 Hz sine never steps by more than its own slope.
		size_t first = 0;
		while (first < out.size() && std::fabs(out[first]) < 0.05f)
			++first;
		float steepest = 0.0f;
		for (size_t i = first; i + 1 < out.size(); ++i)
			steepest = std::max(steepest, std::fabs(out[i + 1] - out[i]));
		EXPECT_LT(steepest, 0.5 * 2 * kPi * 50 / rates.mDevice * 1.2 + 1e-4);
	}
}

// ---------------------------------------------------------------------------------------------
// Re-initialisation and teardown

namespace {
std::atomic<int> gThreadsMade;
std::atomic<bool> gThreadEnded;
LPTHREAD_START_ROUTINE gRenderProc;
DWORD WINAPI WatchedRenderThread(LPVOID state) {
	const DWORD result = gRenderProc(state);
	FakeSystem::sCurrent->Record("render thread ended");
	gThreadEnded = true;
	return result;
}
HANDLE MakeWatchedThread(LPTHREAD_START_ROUTINE proc, void* state) {
	++gThreadsMade;
	gRenderProc = proc;
	return CreateThread(nullptr, 0, WatchedRenderThread, state, 0, nullptr);
}
} // namespace

TEST(WASAPIReinit, AFailingRenderCallReopensAndRetriesEverySecond) {
	FakeSystem system;
	gThreadsMade = 0;
	CWASAPIAudioContext::sPlatform.CreateRenderThread = MakeWatchedThread;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 44100));
	system.AddEndpoint(kDeskID, L"Desk", MakeFormat(true, 32, true, 2, 48000));
	system.SetDefault(kStudioID);
	Context context(kDeskUTF8, 2, 48000);
	ASSERT_EQ(0, context.mStatus);
	ASSERT_TRUE(WaitStarted(system));

	// The desk goes away, and so does every endpoint for a while.
	system.Change([](FakeSystem& s) {
		s.Find(kDeskID)->mPresent = false;
		s.Find(kStudioID)->mPresent = false;
		s.mPaddingResult = AUDCLNT_E_DEVICE_INVALIDATED;
	});
	system.SignalEvent();
	ASSERT_TRUE(system.WaitUntil([&] { return system.CountLog("GetDefaultAudioEndpoint") >= 4; }, std::chrono::seconds(20)));
	{
		const auto log = system.TimedLog();
		size_t failure = 0;
		std::vector<std::chrono::steady_clock::time_point> attempts;
		for (size_t i = 0; i < log.size(); ++i) {
			if (!failure && log[i].first == "GetCurrentPadding failed")
				failure = i;
			if (failure && log[i].first == "GetDevice " + kDeskUTF8)
				attempts.push_back(log[i].second);
		}
		ASSERT_GE(attempts.size(), 3u);
		for (size_t i = 1; i < attempts.size(); ++i) {
			const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(attempts[i] - attempts[i - 1]);
			EXPECT_GE(gap.count(), 950);
			EXPECT_LE(gap.count(), 5000);
		}
	}
	EXPECT_EQ("Could not create audio endpoint.", ErrorMessage(context.mContext));

	// The default comes back at another rate: the stream is opened there and started once more,
	// and the resampler is made for the new rate.
	system.Change([](FakeSystem& s) { s.Find(kStudioID)->mPresent = true; });
	ASSERT_TRUE(WaitStarted(system, 2));
	EXPECT_EQ("{0.0.0.00000000}.{studio}", context->GetDeviceInfo().mDeviceID);
	EXPECT_EQ(44100, context->GetDeviceInfo().mSampleRate);
	EXPECT_EQ("", ErrorMessage(context.mContext));
	Queue(context.mContext, Sine(2, 4800, 1000, 48000, 0.5), 2);
	ASSERT_TRUE(PlayBuffer(system));
	EXPECT_TRUE(context->IsResampling());
	EXPECT_EQ(2u, system.CountLog("Start"));
	EXPECT_EQ(1, gThreadsMade.load()); // one render thread for the context's whole life
}

TEST(WASAPITeardown, TheThreadEndsBeforeTheObjectsAreReleasedInReverseOrder) {
	gThreadEnded = false;
	FakeSystem system;
	CWASAPIAudioContext::sPlatform.CreateRenderThread = MakeWatchedThread;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
	system.SetDefault(kStudioID);
	CWASAPIAudioContext* context = nullptr;
	ASSERT_EQ(0, CWASAPIAudioContext::CreateWASAPIAudioContext("", 2, 48000, 4800, context));
	ASSERT_TRUE(WaitStarted(system));
	Queue(context, Sine(2, 4800, 1000, 48000, 0.5), 2); // blocks still queued go with the context
	context->Retain();
	context->Release();
	EXPECT_FALSE(gThreadEnded.load());
	const size_t from = system.Log().size();
	context->Release();
	EXPECT_TRUE(gThreadEnded.load());
	EXPECT_EQ(0, system.LiveObjects());

	const std::vector<std::string> log = system.Log();
	const std::vector<std::string> order = {"render thread ended", "Unregister", "Stop", "~RenderClient",
	                                        "~AudioClient", "~Device", "~Enumerator"};
	size_t at = from;
	for (const std::string& step : order) {
		const size_t next = IndexOf(log, step, at);
		ASSERT_LT(next, log.size()) << step << " missing or out of order";
		at = next + 1;
	}
}

TEST(WASAPITeardown, ClosingWaitsForTheRenderThreadInsideADeviceCall) {
	FakeSystem system;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 48000));
	system.SetDefault(kStudioID);
	// The context lives and ends on a thread of its own (COM pairs up per thread), closed on the go.
	std::promise<void> go;
	std::atomic<int> status{-1};
	std::thread owner([&] {
		CWASAPIAudioContext* context = nullptr;
		status = CWASAPIAudioContext::CreateWASAPIAudioContext("", 2, 48000, 4800, context);
		go.get_future().wait();
		if (context)
			context->Release();
	});
	struct Ending { // an assertion that leaves early still closes and joins
		FakeSystem& system;
		std::promise<void>& go;
		std::thread& owner;
		bool sent = false;
		~Ending() {
			system.OpenEveryGate();
			if (!sent)
				go.set_value();
			owner.join();
		}
	} ending{system, go, owner};
	// The first fill goes before the start; the pass after the device played is held in GetBuffer.
	ASSERT_TRUE(WaitStarted(system));
	ASSERT_EQ(0, status.load());
	system.Hold(kStudioID, kGetBufferCall);
	system.Play(480);
	ASSERT_TRUE(system.WaitHeld(kStudioID, kGetBufferCall));

	const size_t from = system.Log().size();
	go.set_value();
	ending.sent = true;
	// While the render thread is inside the device's call, nothing it uses may go: the closing
	// is given two seconds to show that it waits.
	const bool released = system.WaitUntil([&] { return system.mLog.size() > from; }, std::chrono::seconds(2));
	EXPECT_FALSE(released) << "the close went on under the render thread: " << system.Log()[from];
	system.Open(kStudioID, kGetBufferCall);
	ASSERT_TRUE(system.WaitUntil([&] { return system.LiveObjects() == 0; })); // as the owner ends
	const std::vector<std::string> log = system.Log();
	const size_t lastRelease = IndexOf(log, "ReleaseBuffer 480", from);
	ASSERT_LT(lastRelease, log.size()) << "the held pass was not finished";
	EXPECT_LT(lastRelease, IndexOf(log, "Unregister", from));
}
