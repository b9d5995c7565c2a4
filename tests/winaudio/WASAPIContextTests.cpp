// The WASAPI output context against scripted endpoints: device choice, format negotiation and
// its fall-back rows, the failure messages, the render thread's fills, re-initialisation and the
// teardown.
#include "FakeWASAPI.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
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

// A sender feeding the context in real time, a block every 10 ms of the stream's time, while the
// device plays in real time (FakeSystem::PlayInRealTime): the output follows the device's clock,
// so what it plays is only meaningful at a sender's and a device's pace. `make(frame, out)`
// writes the interleaved values of one stream frame.
class RealTimeSender {
public:
	RealTimeSender(CWASAPIAudioContext* context, int channels, int rate,
	               std::function<void(int64_t frame, float* out)> make)
	    : mContext(context), mChannels(channels), mRate(rate), mMake(std::move(make)) {
		mThread = std::thread([this] { Run(); });
	}
	~RealTimeSender() {
		mStop = true;
		mThread.join();
	}

private:
	void Run() {
		const int frames = mRate / 100;
		std::vector<float> samples(static_cast<size_t>(frames) * mChannels);
		auto next = std::chrono::steady_clock::now();
		for (int64_t sent = 0; !mStop; sent += frames) {
			for (int f = 0; f < frames; ++f)
				mMake(sent + f, &samples[static_cast<size_t>(f) * mChannels]);
			Queue(mContext, samples, mChannels);
			next += std::chrono::milliseconds(10); // the sender's pace
			std::this_thread::sleep_until(next);
		}
	}
	CWASAPIAudioContext* mContext;
	int mChannels, mRate;
	std::function<void(int64_t, float*)> mMake;
	std::atomic<bool> mStop{false};
	std::thread mThread;
};

// Until the render thread has written `seconds` of the device's frames (generously).
bool Written(FakeSystem& system, double seconds, int frameBytes, int rate) {
	const size_t bytes = static_cast<size_t>(seconds * rate) * static_cast<size_t>(frameBytes);
	return system.WaitUntil([&] { return system.mPlayed.size() >= bytes; }, std::chrono::seconds(20));
}

// One channel of what was played, over its last half: its peak, its frequency by zero crossings,
// and its steepest step from one frame to the next.
struct ToneShape {
	float mPeak = 0.0f, mSteepest = 0.0f;
	double mHz = 0.0;
	size_t mLongestQuiet = 0;
};
ToneShape ShapeOf(const std::vector<float>& played, int channels, int channel, int rate) {
	ToneShape shape;
	const size_t frames = played.size() / channels, first = frames / 2;
	int crossings = 0;
	size_t quiet = 0;
	for (size_t f = first; f < frames; ++f) {
		const float v = played[f * channels + channel], before = played[(f - 1) * channels + channel];
		shape.mPeak = std::max(shape.mPeak, std::fabs(v));
		shape.mSteepest = std::max(shape.mSteepest, std::fabs(v - before));
		crossings += (before < 0.0f) != (v < 0.0f);
		quiet = std::fabs(v) < 0.005f ? quiet + 1 : 0;
		shape.mLongestQuiet = std::max(shape.mLongestQuiet, quiet);
	}
	shape.mHz = crossings * static_cast<double>(rate) / 2.0 / static_cast<double>(frames - first);
	return shape;
}

// A steady sine of `hz` at `peak`, with no step steeper than its own and no gap.
void ExpectTone(const ToneShape& shape, double hz, double peak, int rate) {
	EXPECT_NEAR(peak, shape.mPeak, peak * 0.01 + 1e-4);
	EXPECT_NEAR(hz, shape.mHz, hz * 0.01);
	EXPECT_LE(shape.mSteepest, peak * 2 * kPi * hz / rate * 1.01) << "a step steeper than the tone's own: a click";
	EXPECT_LE(shape.mLongestQuiet, 1u);
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
// Every event made, in order: a context makes its buffer event, then its quit event.
std::vector<HANDLE> gEventsMade;
HANDLE RecordedEvent() {
	HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
	gEventsMade.push_back(event);
	return event;
}
// Until the event is set, which is then left set for whoever waits for it.
bool WaitUntilSet(HANDLE event) {
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
	while (WaitForSingleObject(event, 10) != WAIT_OBJECT_0)
		if (std::chrono::steady_clock::now() > deadline)
			return false;
	SetEvent(event);
	return true;
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

	// At the device's rate the stream arrives as sent, through the resampler that follows the
	// device's clock: each channel its own tone, out of range too (floats are not clipped).
	system.PlayInRealTime(true);
	{
		RealTimeSender sender(context.mContext, 2, 48000, [](int64_t f, float* out) {
			out[0] = static_cast<float>(1.25 * std::sin(2 * kPi * 1000 * f / 48000.0));
			out[1] = static_cast<float>(1.25 * std::sin(2 * kPi * 2000 * f / 48000.0));
		});
		ASSERT_TRUE(Written(system, 1.0, 8, 48000));
	}
	const std::vector<float> played = AsFloats(system.Played());
	ExpectTone(ShapeOf(played, 2, 0, 48000), 1000, 1.25, 48000);
	ExpectTone(ShapeOf(played, 2, 1, 48000), 2000, 1.25, 48000);
	EXPECT_FALSE(context->IsResampling()) << "no rate change";
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
		system.PlayInRealTime(true);
		Context context("", c.mQueueChannels, 48000);
		ASSERT_EQ(0, context.mStatus);
		ASSERT_TRUE(WaitStarted(system));
		{
			// Channel c of the stream: a tone of 1000 x (c + 1) Hz.
			const int channels = c.mQueueChannels;
			RealTimeSender sender(context.mContext, channels, 48000, [channels](int64_t f, float* out) {
				for (int ch = 0; ch < channels; ++ch)
					out[ch] = static_cast<float>(0.5 * std::sin(2 * kPi * 1000 * (ch + 1) * f / 48000.0));
			});
			// The fake refuses bytes beyond the buffer it lent.
			ASSERT_TRUE(Written(system, 1.0, 4 * c.mDeviceChannels, 48000));
		}
		const std::vector<float> played = AsFloats(system.Played());
		for (int ch = 0; ch < c.mDeviceChannels; ++ch) {
			SCOPED_TRACE("device channel " + std::to_string(ch));
			const int from = c.mQueueChannels == 1 && ch < 2 ? 0 : ch;
			if (from < c.mQueueChannels) {
				ExpectTone(ShapeOf(played, c.mDeviceChannels, ch, 48000), 1000.0 * (from + 1), 0.5, 48000);
				continue;
			}
			for (size_t f = 0; f < played.size() / c.mDeviceChannels; ++f)
				ASSERT_EQ(0.0f, played[f * c.mDeviceChannels + ch]) << "frame " << f;
		}
	}
}

TEST(WASAPIRender, IntegerDeviceFormatsReceiveClippedConvertedSamples) {
	// Each value held for 480 frames in turn: the middle of each stretch plays as the value, clipped
	// to full scale.
	const float input[] = {0.5f, -0.5f, 1.0f, -1.0f, 2.0f, -3.0f, 0.25f, 1e-6f};
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
		system.PlayInRealTime(true);
		Context context("", 2, 48000);
		ASSERT_EQ(0, context.mStatus);
		ASSERT_TRUE(WaitStarted(system));
		{
			RealTimeSender sender(context.mContext, 2, 48000, [&](int64_t f, float* out) {
				out[0] = out[1] = input[(f / 480) % count];
			});
			ASSERT_TRUE(Written(system, 1.5, 2 * c.mBytes, 48000));
		}
		const std::vector<uint8_t> played = system.Played();
		std::vector<double> values;
		for (size_t i = 0; i + c.mBytes <= played.size(); i += c.mBytes) {
			int32_t value = 0;
			memcpy(&value, &played[i], c.mBytes);
			if (c.mBytes == 2)
				value = static_cast<int16_t>(value);
			else if (c.mBytes == 3)
				value = (value << 8) >> 8;
			values.push_back(value);
		}
		for (int i = 0; i < count; ++i) {
			SCOPED_TRACE("value " + std::to_string(input[i]));
			const double expected = std::max(-1.0f, std::min(1.0f, input[i])) * c.mFullScale;
			size_t run = 0, longest = 0;
			for (const double value : values) {
				run = std::fabs(value - expected) <= 1e-4 * c.mFullScale + 1.0 ? run + 1 : 0;
				longest = std::max(longest, run);
			}
			EXPECT_GE(longest, 2u * 200) << "no steady stretch of both channels at the value";
		}
	}
}

TEST(WASAPIRender, AnotherDeviceRateIsResampledIntoFullContinuousBuffers) {
	FakeSystem system;
	system.AddEndpoint(kStudioID, L"Studio", MakeFormat(true, 32, true, 2, 44100));
	system.SetDefault(kStudioID);
	system.PlayInRealTime(true);
	Context context("", 2, 48000);
	ASSERT_EQ(0, context.mStatus);
	ASSERT_TRUE(WaitStarted(system));
	{
		RealTimeSender sender(context.mContext, 2, 48000, [](int64_t f, float* out) {
			out[0] = static_cast<float>(0.5 * std::sin(2 * kPi * 1000 * f / 48000.0));
			out[1] = static_cast<float>(0.5 * std::sin(2 * kPi * 2000 * f / 48000.0));
		});
		ASSERT_TRUE(Written(system, 1.5, 8, 44100));
	}
	EXPECT_TRUE(context->IsResampling());
	for (const BufferRelease& release : system.Releases())
		EXPECT_EQ(0u, release.mFlags);
	const std::vector<float> played = AsFloats(system.Played());
	ExpectTone(ShapeOf(played, 2, 0, 44100), 1000, 0.5, 44100);
	ExpectTone(ShapeOf(played, 2, 1, 44100), 2000, 0.5, 44100);
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
	gEventsMade.clear();
	CWASAPIAudioContext::sPlatform.CreateAutoResetEvent = RecordedEvent;
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
	// While the render thread is inside the device's call, nothing it uses may go: once the close
	// has begun (its quit event set), it is given two seconds to show that it waits.
	ASSERT_EQ(2u, gEventsMade.size());
	ASSERT_TRUE(WaitUntilSet(gEventsMade[1])) << "the close never began";
	const bool released = system.WaitUntil([&] { return system.mLog.size() > from; }, std::chrono::seconds(2));
	EXPECT_FALSE(released) << "the close went on under the render thread: " << system.Log()[from];
	system.Open(kStudioID, kGetBufferCall);
	ASSERT_TRUE(system.WaitUntil([&] { return system.LiveObjects() == 0; })); // as the owner ends
	const std::vector<std::string> log = system.Log();
	const size_t lastRelease = IndexOf(log, "ReleaseBuffer 480", from);
	ASSERT_LT(lastRelease, log.size()) << "the held pass was not finished";
	EXPECT_LT(lastRelease, IndexOf(log, "Unregister", from));
}
