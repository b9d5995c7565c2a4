// The WASAPI output context: set-up with format negotiation, the render thread, the speexdsp
// resampler, and the teardown.
#ifdef _WIN32

#include "AudioOut_Win.h"

// The property key is defined here (selectany, so other files may do the same).
#include <initguid.h>
#include <functiondiscoverykeys_devpkey.h>
#include <propidl.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

const char kErrorFile[] = "AudioOut_Win.cpp";
const int kResamplerQuality = 10;
const DWORD kRetryIntervalMs = 1000;
// While the default plays in place of the chosen endpoint, the chosen one is tried this often.
const int64_t kReturnIntervalMs = 5000;
// A running stream signals at least once per buffer; twice that without a signal is a device
// that went away. Never less than two common device periods.
const DWORD kMinEventWaitMs = 20;
const size_t kFormatNameSize = 256;

// Sub-formats of extensible headers (KSDATAFORMAT_SUBTYPE_*), spelled out: the import libraries
// do not carry them.
const GUID kSubtypeWaveFormatEx = {0x00000000, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID kSubtypePCM = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID kSubtypeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// Streams and device formats the arithmetic below is safe for.
const int kMaxChannels = 256;
const int kMaxSampleRate = 1000000;
const int kMaxBufferSeconds = 10;

HRESULT CreateSystemEnumerator(IMMDeviceEnumerator** enumerator) {
	return CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
	                        reinterpret_cast<void**>(enumerator));
}

HANDLE CreateSystemEvent() {
	return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

HANDLE CreateSystemThread(LPTHREAD_START_ROUTINE proc, void* param) {
	return CreateThread(nullptr, 0, proc, param, 0, nullptr);
}

template <class T> void SafeRelease(T*& object) {
	if (object) {
		object->Release();
		object = nullptr;
	}
}

// Out of memory gives the empty text, as an unconvertible one does.
std::wstring Utf8ToWide(const std::string& text) try {
	if (text.empty() || text.size() > INT_MAX / 2)
		return std::wstring();
	const int size = static_cast<int>(text.size());
	const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
	if (length <= 0)
		return std::wstring();
	std::wstring wide(length + 8, L'\0');
	if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, &wide[0], length + 8) != length)
		return std::wstring();
	wide.resize(length);
	return wide;
} catch (...) {
	return std::wstring();
}

std::string WideToUtf8(const wchar_t* wide) try {
	if (!wide || !*wide)
		return std::string();
	const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
	if (length <= 1)
		return std::string();
	std::string text(length, '\0');
	if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], length, nullptr, nullptr) != length)
		return std::string();
	text.resize(length - 1);
	return text;
} catch (...) {
	return std::string();
}

bool HasExtension(const WAVEFORMATEX* format) {
	return format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22;
}

const GUID& SubFormatOf(const WAVEFORMATEX* format) {
	return reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format)->SubFormat;
}

// A header the buffer arithmetic can work with.
bool IsUsableFormat(const WAVEFORMATEX* format) {
	return format && format->nChannels >= 1 && format->nChannels <= kMaxChannels && format->nSamplesPerSec >= 1
	       && format->nSamplesPerSec <= static_cast<DWORD>(kMaxSampleRate);
}

// Copies a format returned by the audio client into the working record: 40 bytes for an
// extensible header, 18 for a plain one.
void CopyFormat(WAVEFORMATEXTENSIBLE& working, const WAVEFORMATEX* format) {
	memcpy(&working, format, HasExtension(format) ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX));
}

void NameMixFormat(const WAVEFORMATEX* format, char* name, size_t size) {
	const char* text = "";
	if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE)
		text = "STD PCM";
	else if (HasExtension(format)) {
		const GUID& sub = SubFormatOf(format);
		if (IsEqualGUID(sub, kSubtypeFloat))
			text = "EXT FLOAT";
		else if (IsEqualGUID(sub, kSubtypeWaveFormatEx))
			text = "EXT WAVEFORMATEX";
		else if (IsEqualGUID(sub, kSubtypePCM))
			text = "EXT PCM";
	}
	snprintf(name, size, "%s", text);
}

void BuildCandidate(WAVEFORMATEXTENSIBLE& format, bool isFloat, WORD bits, bool extensible, WORD channels,
                    DWORD sampleRate) {
	memset(&format, 0, sizeof(format));
	format.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
	format.Format.nChannels = channels;
	format.Format.nSamplesPerSec = sampleRate;
	format.Format.wBitsPerSample = bits;
	format.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
	format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * sampleRate;
	format.Format.cbSize = 22;
	format.Samples.wValidBitsPerSample = bits;
	format.dwChannelMask = 0;
	format.SubFormat = isFloat ? kSubtypeFloat : kSubtypePCM;
}

// The formats tried, in order, when the audio client rejects the negotiated one.
struct FallbackRow {
	bool mIsFloat;
	WORD mBits;
	bool mExtensible;
};
const FallbackRow kFallbackRows[] = {
	{true, 32, true}, {false, 32, true}, {false, 32, false}, {false, 24, true},
	{false, 24, false}, {false, 16, true}, {false, 16, false},
};

WASAPISampleType SampleTypeOf(const WAVEFORMATEX& format) {
	bool isFloat = format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
	bool isPCM = format.wFormatTag == WAVE_FORMAT_PCM;
	if (HasExtension(&format)) {
		isFloat = IsEqualGUID(SubFormatOf(&format), kSubtypeFloat);
		isPCM = IsEqualGUID(SubFormatOf(&format), kSubtypePCM);
	}
	if (format.nChannels == 0 || format.nBlockAlign != format.nChannels * (format.wBitsPerSample / 8))
		return kWASAPISampleUnsupported;
	if (isFloat && format.wBitsPerSample == 32)
		return kWASAPISampleFloat32;
	if (isPCM && format.wBitsPerSample == 16)
		return kWASAPISampleInt16;
	if (isPCM && format.wBitsPerSample == 24)
		return kWASAPISampleInt24;
	if (isPCM && format.wBitsPerSample == 32)
		return kWASAPISampleInt32;
	return kWASAPISampleUnsupported;
}

inline float Clip(float value) {
	if (value != value)
		return 0.0f;
	return value > 1.0f ? 1.0f : (value < -1.0f ? -1.0f : value);
}

// Floats to integer samples, clipped to full scale; 24-bit samples are packed little-endian.
void ConvertSamples(const float* source, size_t count, WASAPISampleType type, BYTE* dest) {
	switch (type) {
	case kWASAPISampleInt16:
		for (size_t i = 0; i < count; ++i) {
			const int16_t v = static_cast<int16_t>(lrintf(Clip(source[i]) * 32767.0f));
			memcpy(dest + i * 2, &v, 2);
		}
		break;
	case kWASAPISampleInt24:
		for (size_t i = 0; i < count; ++i) {
			const int32_t v = static_cast<int32_t>(lrintf(Clip(source[i]) * 8388607.0f));
			dest[i * 3] = static_cast<BYTE>(v & 0xFF);
			dest[i * 3 + 1] = static_cast<BYTE>((v >> 8) & 0xFF);
			dest[i * 3 + 2] = static_cast<BYTE>((v >> 16) & 0xFF);
		}
		break;
	case kWASAPISampleInt32:
		for (size_t i = 0; i < count; ++i) {
			const int32_t v = static_cast<int32_t>(llrint(static_cast<double>(Clip(source[i])) * 2147483647.0));
			memcpy(dest + i * 4, &v, 4);
		}
		break;
	default:
		break;
	}
}

// The queue's channels to the device's first channels in order; the device's others are silent.
// Mono goes to both front channels, as the other platform's own conversion plays it.
void MapChannels(const float* source, int sourceChannels, float* dest, int destChannels, int frames) {
	int common = sourceChannels < destChannels ? sourceChannels : destChannels;
	const bool monoToFront = sourceChannels == 1 && destChannels >= 2;
	if (monoToFront)
		common = 2;
	for (int f = 0; f < frames; ++f) {
		const float* in = source + static_cast<size_t>(f) * sourceChannels;
		float* out = dest + static_cast<size_t>(f) * destChannels;
		for (int c = 0; c < common; ++c)
			out[c] = in[monoToFront ? 0 : c];
		for (int c = common; c < destChannels; ++c)
			out[c] = 0.0f;
	}
}

// Grows a float array to at least `count` entries; false (array unchanged) when that fails.
bool GrowFloats(float*& array, size_t& capacity, size_t count) {
	if (count <= capacity)
		return true;
	float* grown = static_cast<float*>(malloc(count * sizeof(float)));
	if (!grown)
		return false;
	free(array);
	array = grown;
	capacity = count;
	return true;
}

// Fills the device buffer of one pass: true when frames were written (the rest as silence),
// false when the whole buffer is to be released as silence. `padding`: what the device still
// held at `nowNs`.
bool WriteFrames(WASAPIRenderState* state, BYTE* data, UINT32 frames, UINT32 padding, int64_t nowNs) {
	if (!data || state->mSampleType == kWASAPISampleUnsupported || !state->mFillsReady)
		return false;
	const size_t frameBytes = state->mStream.mFormat.Format.nBlockAlign;
	const size_t floats = static_cast<size_t>(frames) * state->mDeviceChannels;
	const int held = static_cast<int>(padding);
	int written;
	if (state->mSampleType == kWASAPISampleFloat32)
		written = state->mOwner->FillBuffer(reinterpret_cast<float*>(data), static_cast<int>(frames), held, nowNs);
	else {
		if (floats > state->mConvertFloats)
			return false; // more than the stream was prepared for: never grown in a fill
		written = state->mOwner->FillBuffer(state->mConvertBuffer, static_cast<int>(frames), held, nowNs);
		if (written > 0)
			ConvertSamples(state->mConvertBuffer, static_cast<size_t>(written) * state->mDeviceChannels,
			               state->mSampleType, data);
	}
	if (written <= 0)
		return false;
	if (static_cast<UINT32>(written) < frames)
		memset(data + written * frameBytes, 0, (frames - written) * frameBytes);
	return true;
}

// One top-up of the device buffer; the first failing call's result. Once the stream runs, a
// buffer found empty means the device ran out.
HRESULT RenderPass(WASAPIRenderState* state, bool started) {
	WASAPIStream& stream = state->mStream;
	UINT32 padding = 0;
	HRESULT hr = stream.mAudioClient ? stream.mAudioClient->GetCurrentPadding(&padding) : E_FAIL;
	const int64_t paddingAt = DriftClockNow(); // the device's position, placed in time
	if (FAILED(hr) || padding >= stream.mBufferFrames)
		return hr;
	if (started && padding == 0)
		state->mOwner->CountUnderrun();
	const UINT32 frames = stream.mBufferFrames - padding;
	BYTE* data = nullptr;
	hr = stream.mRenderClient ? stream.mRenderClient->GetBuffer(frames, &data) : E_FAIL;
	if (FAILED(hr))
		return hr;
	// Every frame handed back is written: what the context could not make goes out as silence.
	const bool written = WriteFrames(state, data, frames, padding, paddingAt);
	return stream.mRenderClient->ReleaseBuffer(frames, written ? 0 : AUDCLNT_BUFFERFLAGS_SILENT);
}

// Releases a stream's objects, the device last.
void ReleaseStream(WASAPIStream& stream) {
	SafeRelease(stream.mRenderClient);
	SafeRelease(stream.mAudioClient);
	SafeRelease(stream.mDevice);
}

// Stops a stream that may have been started, then releases it.
void CloseStream(WASAPIStream& stream) {
	if (stream.mAudioClient)
		stream.mAudioClient->Stop();
	ReleaseStream(stream);
}

// How long the render thread waits for the buffer event: twice the buffer the device made.
DWORD EventWaitMs(const WASAPIRenderState* state) {
	const int32_t rate = state->mDeviceSampleRate;
	const double ms = rate > 0 ? 2000.0 * state->mStream.mBufferFrames / rate : 0.0;
	return ms > kMinEventWaitMs ? static_cast<DWORD>(ms) : kMinEventWaitMs;
}

bool SameEndpointID(LPCWSTR a, LPCWSTR b) {
	return a && b && lstrcmpiW(a, b) == 0;
}

int64_t SteadyMs() {
	return static_cast<int64_t>(GetTickCount64());
}

bool IsValidStreamShape(int channels, int sampleRate, int framesPerBuffer) {
	return channels >= 1 && channels <= kMaxChannels && sampleRate >= 1 && sampleRate <= kMaxSampleRate
	       && framesPerBuffer >= 1 && framesPerBuffer <= sampleRate * kMaxBufferSeconds;
}

} // namespace

WASAPIPlatform CWASAPIAudioContext::sPlatform = {CreateSystemEnumerator, CreateSystemEvent, CreateSystemThread,
                                                  ::CoInitializeEx, ::CoUninitialize};

// ---------------------------------------------------------------------------------------------
// MMNotificationClient

MMNotificationClient* MMNotificationClient::Create(const std::wstring& endpointID, HANDLE wake) {
	wchar_t* id = nullptr;
	if (!endpointID.empty()) {
		id = static_cast<wchar_t*>(malloc((endpointID.size() + 1) * sizeof(wchar_t)));
		if (!id)
			return nullptr;
		memcpy(id, endpointID.c_str(), (endpointID.size() + 1) * sizeof(wchar_t));
	}
	HANDLE duplicate = nullptr;
	if (wake && !DuplicateHandle(GetCurrentProcess(), wake, GetCurrentProcess(), &duplicate, 0, FALSE,
	                             DUPLICATE_SAME_ACCESS))
		duplicate = nullptr;
	MMNotificationClient* client = new (std::nothrow) MMNotificationClient(id, duplicate);
	if (!client) {
		free(id);
		if (duplicate)
			CloseHandle(duplicate);
	}
	return client;
}

MMNotificationClient::MMNotificationClient(wchar_t* endpointID, HANDLE wake)
    : mEndpointID(endpointID), mWake(wake), mEndpointReturned(false), mDefaultChanged(false), mRefCount(1) {}

MMNotificationClient::~MMNotificationClient() {
	free(mEndpointID);
	if (mWake)
		CloseHandle(mWake);
}

HRESULT STDMETHODCALLTYPE MMNotificationClient::QueryInterface(REFIID iid, void** object) {
	if (!object)
		return E_POINTER;
	if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IMMNotificationClient))) {
		AddRef();
		*object = static_cast<IMMNotificationClient*>(this);
		return S_OK;
	}
	*object = nullptr;
	return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE MMNotificationClient::AddRef() {
	return static_cast<ULONG>(++mRefCount);
}

ULONG STDMETHODCALLTYPE MMNotificationClient::Release() {
	const LONG count = --mRefCount;
	if (count == 0)
		delete this;
	return static_cast<ULONG>(count);
}

bool MMNotificationClient::IsChosenEndpoint(LPCWSTR deviceID) const {
	return SameEndpointID(mEndpointID, deviceID);
}

void MMNotificationClient::Wake() {
	if (mWake)
		SetEvent(mWake);
}

HRESULT STDMETHODCALLTYPE MMNotificationClient::OnDeviceStateChanged(LPCWSTR deviceID, DWORD newState) {
	if (newState == DEVICE_STATE_ACTIVE && IsChosenEndpoint(deviceID)) {
		mEndpointReturned = true;
		Wake();
	}
	return S_OK;
}

HRESULT STDMETHODCALLTYPE MMNotificationClient::OnDeviceAdded(LPCWSTR deviceID) {
	if (IsChosenEndpoint(deviceID)) {
		mEndpointReturned = true;
		Wake();
	}
	return S_OK;
}

HRESULT STDMETHODCALLTYPE MMNotificationClient::OnDeviceRemoved(LPCWSTR) {
	return S_OK;
}

HRESULT STDMETHODCALLTYPE MMNotificationClient::OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) {
	// The context opens the console's default render endpoint.
	if (flow == eRender && role == eConsole) {
		mDefaultChanged = true;
		Wake();
	}
	return S_OK;
}

HRESULT STDMETHODCALLTYPE MMNotificationClient::OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) {
	return S_OK;
}

bool MMNotificationClient::EndpointReturned() const {
	return mEndpointReturned.load();
}

bool MMNotificationClient::TakeEndpointReturn() {
	return mEndpointReturned.exchange(false);
}

bool MMNotificationClient::TakeDefaultChange() {
	return mDefaultChanged.exchange(false);
}

// ---------------------------------------------------------------------------------------------
// CWASAPIAudioContext

int CWASAPIAudioContext::CreateWASAPIAudioContext(const std::string& persistentID, int channels, int sampleRate,
                                                  int framesPerBuffer, CWASAPIAudioContext*& context) {
	context = new (std::nothrow) CWASAPIAudioContext(persistentID, channels, sampleRate, framesPerBuffer);
	if (!context)
		return kStatusFailed;
	const int status = context->mStatus;
	if (status != 0) {
		context->Release();
		context = nullptr;
	}
	return status;
}

CWASAPIAudioContext::CWASAPIAudioContext(const std::string& persistentID, int channels, int sampleRate,
                                         int framesPerBuffer)
    : CAudioContext(persistentID, channels, sampleRate, framesPerBuffer), mRefCount(1), mRunning(false), mStatus(0),
      mDeviceChannels(0), mDeviceSampleRate(0), mDeviceFramesPerBuffer(0), mRenderState(nullptr),
      mComInitialized(false), mResampling(false), mUnderruns(0), mClockCorrection(0.0), mDelaySeconds(0.0), mTargetSeconds(0.0),
      mStandingIn(false),
      mNextChosenTryMs(0),
      mMapBuffer(nullptr), mMapFloats(0) {
	// The shape comes from the network: the buffer arithmetic needs it positive and bounded.
	if (!IsValidStreamShape(channels, sampleRate, framesPerBuffer)) {
		SetError(__LINE__, "Invalid stream format.");
		mStatus = kStatusFailed;
		return;
	}
	std::wstring wideID = Utf8ToWide(persistentID);
	// A thread already in another apartment keeps it, and must not be uninitialised for it.
	const HRESULT com = sPlatform.CoInitializeEx(nullptr, COINIT_MULTITHREADED);
	mComInitialized = com == S_OK || com == S_FALSE;

	WASAPIRenderState* state = new (std::nothrow) WASAPIRenderState();
	if (!state) {
		if (mComInitialized)
			sPlatform.CoUninitialize();
		SetError(__LINE__, "Could not create render state.");
		mStatus = kStatusFailed;
		return;
	}
	state->mOwner = this;
	state->mRequestedChannels = channels;
	state->mRequestedDeviceID.swap(wideID); // allocates nothing
	state->mRequestedSampleRate = sampleRate;
	state->mRequestedFramesPerBuffer = framesPerBuffer;
	mRenderState = state;

	// Running before the thread starts, so that its first fill already plays the queue.
	mRunning = true;
	mStatus = InitializeRenderState(state);
	mRunning = (mStatus == 0);
}

CWASAPIAudioContext::~CWASAPIAudioContext() {
	if (mRenderState)
		ShutdownRenderState();
	mAPIName.clear();
	mDeviceName.clear();
	mDeviceID.clear();
	free(mMapBuffer);
}

void CWASAPIAudioContext::Release() {
	if (--mRefCount <= 0)
		delete this;
}

void CWASAPIAudioContext::Stop() {
	mRunning = false;
}

bool CWASAPIAudioContext::DeviceNeedsLook() const {
	if (!mStandingIn.load())
		return false;
	const MMNotificationClient* notifications = mRenderState ? mRenderState->mNotificationClient : nullptr;
	return (notifications && notifications->EndpointReturned()) || SteadyMs() >= mNextChosenTryMs.load();
}

bool CWASAPIAudioContext::LookAtDevice() {
	WASAPIRenderState* state = mRenderState;
	if (!state || !mStandingIn.load())
		return false;
	const bool returned = state->mNotificationClient && state->mNotificationClient->TakeEndpointReturn();
	if (!returned && SteadyMs() < mNextChosenTryMs.load())
		return false;
	WASAPIStream stream;
	OpenFailure failure;
	const int opened = OpenStream(state, true, stream, failure);
	mNextChosenTryMs = SteadyMs() + kReturnIntervalMs; // from the end of the attempt
	if (opened != 0)
		return false; // the default plays on
	WASAPIStream stale;
	bool replaced = false;
	{
		CMutexLocker lock(state->mHandOverLock);
		if (state->mHandOverReady) {
			stale = state->mHandOver; // not taken yet: the newer one goes instead
			replaced = true;
		}
		state->mHandOver = stream;
		state->mHandOverReady = true;
	}
	if (replaced)
		CloseStream(stale);
	if (state->mBufferEvent)
		SetEvent(state->mBufferEvent); // the render thread moves at once, without waiting a period
	return false;
}

bool CWASAPIAudioContext::TakeHandOver(WASAPIRenderState* state) {
	WASAPIStream stream;
	{
		CMutexLocker lock(state->mHandOverLock);
		if (!state->mHandOverReady)
			return false;
		stream = state->mHandOver;
		memset(&state->mHandOver, 0, sizeof(state->mHandOver));
		state->mHandOverReady = false;
	}
	CloseStream(state->mStream);
	UseStream(state, stream);
	return true;
}

WASAPIDeviceInfo CWASAPIAudioContext::GetDeviceInfo() const {
	CMutexLocker lock(mInfoLock);
	return WASAPIDeviceInfo{mAPIName, mDeviceName, mDeviceID, mDeviceChannels, mDeviceSampleRate,
	                        mDeviceFramesPerBuffer};
}

void CWASAPIAudioContext::GetErrorRecord(std::string& file, int& line, std::string& message) const {
	CMutexLocker lock(mInfoLock);
	file = mErrorFile;
	line = mErrorLine;
	message = mErrorMessage;
}

void CWASAPIAudioContext::SetError(int line, const char* message) {
	CMutexLocker lock(mInfoLock);
	mErrorLine = line;
	try {
		mErrorFile = kErrorFile;
		mErrorMessage = message;
	} catch (...) {
		// Out of memory: the record keeps its line only.
	}
}

int CWASAPIAudioContext::FillBuffer(float* buffer, int frames, int deviceHeld, int64_t nowNs) {
	if (!mRunning.load() || !buffer || frames <= 0)
		return 0;
	const int queueChannels = mBufferList.GetChannelCount();
	const int deviceChannels = mDeviceChannels;
	if (queueChannels <= 0 || deviceChannels <= 0)
		return 0;
	// The queue's layout goes straight into the device buffer when the channel counts agree;
	// otherwise through the map buffer, and nothing is written beyond frames x device channels.
	float* target = buffer;
	if (queueChannels != deviceChannels) {
		if (static_cast<size_t>(frames) * queueChannels > mMapFloats)
			return 0; // more than the stream was prepared for: never grown in a fill
		target = mMapBuffer;
	}
	mResampling = mBufferList.GetSampleRate() != mDeviceSampleRate;
	// Every fill goes through the resampler that follows the device's clock (and changes the
	// rate where it differs): a queue run dry while playing is an underrun too.
	const CDriftFollower& follower = mResampler.Follower();
	const int64_t breaksBefore = follower.Underruns() + follower.Skips();
	if (mResampler.Fill(target, frames, deviceHeld, nowNs) < 0)
		return 0;
	if (follower.Underruns() + follower.Skips() > breaksBefore)
		CountUnderrun(); // the queue ran dry, or a burst was cut, while playing
	mClockCorrection = follower.Correction();
	mDelaySeconds = follower.DelaySeconds();
	mTargetSeconds = follower.TargetSeconds();
	if (target != buffer)
		MapChannels(target, queueChannels, buffer, deviceChannels, frames);
	return frames;
}

// The buffers and the resampler of the stream just taken into use, made here and never in a
// fill: the render thread (or, for the first stream, the constructor's) between two fills.
bool CWASAPIAudioContext::PrepareFills(WASAPIRenderState* state) {
	const UINT32 frames = state->mStream.mBufferFrames;
	const size_t queueFloats = static_cast<size_t>(frames) * static_cast<size_t>(mBufferList.GetChannelCount());
	const size_t deviceFloats = static_cast<size_t>(frames) * static_cast<size_t>(state->mDeviceChannels);
	if (!GrowFloats(mMapBuffer, mMapFloats, queueFloats)
	    || !GrowFloats(state->mConvertBuffer, state->mConvertFloats, deviceFloats))
		return false;
	if (mResampler.IsPreparedFor(mBufferList, state->mDeviceSampleRate, static_cast<int>(frames))) {
		mResampler.DeviceRestarted(); // a new stream holds nothing yet: the level is waited for again
		return true;
	}
	return mResampler.Prepare(mBufferList, state->mDeviceSampleRate, static_cast<int>(frames));
}

// Opens the chosen endpoint (or the default) and initialises its stream into `stream`. 0, or -1
// with `failure` written and nothing kept.
int CWASAPIAudioContext::OpenStream(WASAPIRenderState* state, bool chosen, WASAPIStream& stream,
                                    OpenFailure& failure) {
	memset(&stream, 0, sizeof(stream));
	stream.mIsDefault = !chosen;
	failure.mMessage[0] = '\0';
	failure.mLine = 0;
	const HRESULT found = chosen ? state->mEnumerator->GetDevice(state->mRequestedDeviceID.c_str(), &stream.mDevice)
	                             : state->mEnumerator->GetDefaultAudioEndpoint(eRender, eConsole, &stream.mDevice);
	if (FAILED(found) || !stream.mDevice
	    || FAILED(stream.mDevice->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
	                                       reinterpret_cast<void**>(&stream.mAudioClient)))
	    || !stream.mAudioClient) {
		ReleaseStream(stream);
		failure.mLine = __LINE__;
		snprintf(failure.mMessage, sizeof(failure.mMessage), "Could not create audio endpoint.");
		return kStatusFailed;
	}

	WAVEFORMATEX* mixFormat = nullptr;
	if (FAILED(stream.mAudioClient->GetMixFormat(&mixFormat)) || !IsUsableFormat(mixFormat)) {
		CoTaskMemFree(mixFormat);
		ReleaseStream(stream);
		failure.mLine = __LINE__;
		snprintf(failure.mMessage, sizeof(failure.mMessage), "Could not get mix format.");
		return kStatusFailed;
	}
	char mixName[kFormatNameSize];
	NameMixFormat(mixFormat, mixName, sizeof(mixName));
	CopyFormat(stream.mFormat, mixFormat);
	NegotiateFormat(state, stream);
	CoTaskMemFree(mixFormat);

	// A tenth of a second at the stream's rate becomes the same time at the device's rate.
	const double workingRate = stream.mFormat.Format.nSamplesPerSec;
	stream.mDeviceFrames = static_cast<int32_t>(state->mRequestedFramesPerBuffer * (workingRate / state->mRequestedSampleRate));
	const REFERENCE_TIME duration = static_cast<REFERENCE_TIME>(stream.mDeviceFrames / (workingRate * 1e-7));

	HRESULT hr = stream.mAudioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, duration, 0,
	                                             &stream.mFormat.Format, nullptr);
	if (FAILED(hr))
		hr = InitializeWithFallbacks(state, stream, duration);
	if (FAILED(hr)) {
		const WAVEFORMATEX& f = stream.mFormat.Format;
		failure.mLine = __LINE__;
		snprintf(failure.mMessage, sizeof(failure.mMessage),
		         "Could not init audio client: fmt = %s, chan = %d, sample rate = %d, bits per sample = %d, block align = %d",
		         mixName, static_cast<int>(f.nChannels), static_cast<int>(f.nSamplesPerSec),
		         static_cast<int>(f.wBitsPerSample), static_cast<int>(f.nBlockAlign));
		ReleaseStream(stream);
		return kStatusFailed;
	}

	const char* message = nullptr;
	if (FAILED(stream.mAudioClient->GetBufferSize(&stream.mBufferFrames))) {
		failure.mLine = __LINE__;
		message = "Could not get buffer size";
	} else if (FAILED(stream.mAudioClient->GetService(__uuidof(IAudioRenderClient),
	                                                  reinterpret_cast<void**>(&stream.mRenderClient)))
	           || !stream.mRenderClient) {
		stream.mRenderClient = nullptr;
		failure.mLine = __LINE__;
		message = "Could not get IAudioRenderClient service";
	} else if (FAILED(stream.mAudioClient->SetEventHandle(state->mBufferEvent))) {
		failure.mLine = __LINE__;
		message = "Could not get set buffer end event handle.";
	}
	if (message) {
		snprintf(failure.mMessage, sizeof(failure.mMessage), "%s", message);
		ReleaseStream(stream);
		return kStatusFailed;
	}
	stream.mBufferDuration = duration;

	// The default may be the chosen endpoint itself: then nothing is to be returned to.
	if (!chosen && !state->mRequestedDeviceID.empty()) {
		LPWSTR id = nullptr;
		if (SUCCEEDED(stream.mDevice->GetId(&id)) && SameEndpointID(id, state->mRequestedDeviceID.c_str()))
			stream.mIsDefault = false;
		CoTaskMemFree(id);
	}
	return 0;
}

// Asks for the stream's rate as 32-bit float when the mix format runs at another rate.
void CWASAPIAudioContext::NegotiateFormat(WASAPIRenderState* state, WASAPIStream& stream) {
	WAVEFORMATEXTENSIBLE& working = stream.mFormat;
	if (working.Format.nSamplesPerSec == static_cast<DWORD>(state->mRequestedSampleRate))
		return;
	WAVEFORMATEXTENSIBLE candidate;
	BuildCandidate(candidate, true, 32, true, working.Format.nChannels,
	               static_cast<DWORD>(state->mRequestedSampleRate));
	WAVEFORMATEX* closest = nullptr;
	const HRESULT hr = stream.mAudioClient->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &candidate.Format, &closest);
	if (hr == S_FALSE && IsUsableFormat(closest))
		CopyFormat(working, closest);
	else if (hr == S_OK)
		working = candidate;
	CoTaskMemFree(closest);
}

// The fall-back rows in order, each asked for first; the first that initialises wins.
HRESULT CWASAPIAudioContext::InitializeWithFallbacks(WASAPIRenderState* state, WASAPIStream& stream,
                                                     REFERENCE_TIME duration) {
	WAVEFORMATEXTENSIBLE& working = stream.mFormat;
	HRESULT hr = E_FAIL;
	for (const FallbackRow& row : kFallbackRows) {
		BuildCandidate(working, row.mIsFloat, row.mBits, row.mExtensible, working.Format.nChannels,
		               static_cast<DWORD>(state->mRequestedSampleRate));
		WAVEFORMATEX* closest = nullptr;
		const HRESULT supported =
		    stream.mAudioClient->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &working.Format, &closest);
		if (supported == S_FALSE && IsUsableFormat(closest)) {
			CopyFormat(working, closest);
			hr = stream.mAudioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, duration, 0,
			                                     &working.Format, nullptr);
		} else if (supported == S_OK) {
			hr = stream.mAudioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, duration, 0,
			                                     &working.Format, nullptr);
		}
		CoTaskMemFree(closest);
		if (SUCCEEDED(hr))
			break;
	}
	return hr;
}

// Makes an opened stream the one playing (the previous one is closed by then).
void CWASAPIAudioContext::UseStream(WASAPIRenderState* state, WASAPIStream& stream) {
	state->mStream = stream;
	memset(&stream, 0, sizeof(stream));
	state->mOnDefault = state->mStream.mIsDefault || state->mRequestedDeviceID.empty();
	const bool standingIn = state->mOnDefault && !state->mRequestedDeviceID.empty();
	if (standingIn && !mStandingIn.load())
		mNextChosenTryMs = SteadyMs() + kReturnIntervalMs;
	mStandingIn = standingIn;
	state->mDeviceSampleRate = static_cast<int32_t>(state->mStream.mFormat.Format.nSamplesPerSec);
	state->mDeviceChannels = state->mStream.mFormat.Format.nChannels;
	state->mSampleType = SampleTypeOf(state->mStream.mFormat.Format);
	StoreDeviceInfo(state);
	state->mFillsReady = PrepareFills(state);
}

void CWASAPIAudioContext::StoreDeviceInfo(WASAPIRenderState* state) {
	IMMDevice* device = state->mStream.mDevice;
	std::string id, name;
	LPWSTR wideID = nullptr;
	if (SUCCEEDED(device->GetId(&wideID)))
		id = WideToUtf8(wideID);
	CoTaskMemFree(wideID);
	IPropertyStore* store = nullptr;
	if (SUCCEEDED(device->OpenPropertyStore(STGM_READ, &store)) && store) {
		PROPVARIANT value;
		PropVariantInit(&value);
		if (SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &value)) && value.vt == VT_LPWSTR)
			name = WideToUtf8(value.pwszVal);
		PropVariantClear(&value);
	}
	SafeRelease(store);

	CMutexLocker lock(mInfoLock);
	mAPIName = "WASAPI"; // short enough to need no allocation
	mDeviceName.swap(name);
	mDeviceID.swap(id);
	mDeviceChannels = state->mDeviceChannels;
	mDeviceSampleRate = state->mDeviceSampleRate;
	mDeviceFramesPerBuffer = state->mStream.mDeviceFrames;
}

int CWASAPIAudioContext::InitializeRenderState(WASAPIRenderState* state) {
	state->mReinitialize = false;
	CloseStream(state->mStream);

	if (!state->mBufferEvent && !(state->mBufferEvent = sPlatform.CreateAutoResetEvent())) {
		SetError(__LINE__, "Could not create buffer end event");
		return kStatusFailed;
	}
	if (!state->mQuitEvent && !(state->mQuitEvent = sPlatform.CreateAutoResetEvent())) {
		SetError(__LINE__, "Could not create audio processing done event");
		return kStatusFailed;
	}
	if (!state->mEnumerator) {
		if (FAILED(sPlatform.CreateEnumerator(&state->mEnumerator)))
			SafeRelease(state->mEnumerator);
		if (!state->mEnumerator) {
			SetError(__LINE__, "Could not create device enumerator.");
			return kStatusFailed;
		}
	}
	// Made before the render thread starts, never by it: other threads read the pointer unlocked.
	if (!state->mNotificationClient && !state->mRenderThread)
		state->mNotificationClient = MMNotificationClient::Create(state->mRequestedDeviceID, state->mBufferEvent);
	if (state->mNotificationClient && !state->mNotificationRegistered) {
		state->mEnumerator->RegisterEndpointNotificationCallback(state->mNotificationClient);
		state->mNotificationRegistered = true;
	}

	// A chosen endpoint that cannot be opened, up to its stream, gives way to the default.
	WASAPIStream stream;
	OpenFailure failure;
	int status = kStatusFailed;
	if (!state->mRequestedDeviceID.empty())
		status = OpenStream(state, true, stream, failure);
	if (status != 0)
		status = OpenStream(state, false, stream, failure);
	if (status != 0) {
		SetError(failure.mLine, failure.mMessage);
		return kStatusFailed;
	}
	UseStream(state, stream);

	// A re-initialisation runs on the render thread and keeps it.
	if (!state->mRenderThread && !(state->mRenderThread = sPlatform.CreateRenderThread(RenderThreadProc, state))) {
		SetError(__LINE__, "Could not create thread.");
		return kStatusFailed;
	}
	SetError(__LINE__, "");
	return 0;
}


void CWASAPIAudioContext::ShutdownRenderState() {
	WASAPIRenderState* state = mRenderState;
	// The thread ends before any object it uses is released.
	if (state->mQuitEvent)
		SetEvent(state->mQuitEvent);
	if (state->mBufferEvent)
		SetEvent(state->mBufferEvent);
	if (state->mRenderThread) {
		WaitForSingleObject(state->mRenderThread, INFINITE);
		CloseHandle(state->mRenderThread);
		state->mRenderThread = nullptr;
	}
	if (state->mNotificationClient) {
		if (state->mEnumerator)
			state->mEnumerator->UnregisterEndpointNotificationCallback(state->mNotificationClient);
		SafeRelease(state->mNotificationClient);
	}
	// The audio clients hold the buffer event: they go first.
	CloseStream(state->mStream);
	if (state->mHandOverReady)
		CloseStream(state->mHandOver);
	SafeRelease(state->mEnumerator);
	if (state->mBufferEvent)
		CloseHandle(state->mBufferEvent);
	if (state->mQuitEvent)
		CloseHandle(state->mQuitEvent);
	free(state->mConvertBuffer);
	delete state;
	mRenderState = nullptr;
	if (mComInitialized)
		sPlatform.CoUninitialize();
}

// ---------------------------------------------------------------------------------------------
// The render thread

namespace {
void RenderLoop(WASAPIRenderState* state);
}

// Nothing thrown may leave the thread: it would end the host's process.
DWORD WINAPI RenderThreadProc(LPVOID param) {
	for (;;) {
		WASAPIRenderState* state = static_cast<WASAPIRenderState*>(param);
		try {
			RenderLoop(state);
			return 0;
		} catch (...) {
			// Out of memory in a pass: the loop goes on after the retry interval.
			if (WaitForSingleObject(state->mQuitEvent, kRetryIntervalMs) == WAIT_OBJECT_0)
				return 0;
		}
	}
}

namespace {
void RenderLoop(WASAPIRenderState* state) {
	bool started = false;
	bool failed = false;
	while (WaitForSingleObject(state->mQuitEvent, 0) != WAIT_OBJECT_0) {
		MMNotificationClient* notifications = state->mNotificationClient;
		const bool defaultChanged = notifications && notifications->TakeDefaultChange();
		if (state->mOwner->TakeHandOver(state)) {
			started = false; // filled once and started on the chosen endpoint
			failed = false;
			continue;
		}
		if (failed || state->mReinitialize || (defaultChanged && state->mOnDefault)) {
			if (failed && started)
				state->mOwner->CountUnderrun();
			started = false;
			failed = state->mOwner->InitializeRenderState(state) != 0;
			// Retried once a second; the teardown's quit event cuts the wait short.
			if (failed && WaitForSingleObject(state->mQuitEvent, kRetryIntervalMs) == WAIT_OBJECT_0)
				break;
			continue;
		}
		HRESULT hr = RenderPass(state, started);
		if (FAILED(hr))
			failed = true;
		else if (!started) {
			hr = state->mStream.mAudioClient->Start();
			started = true;
			failed = FAILED(hr);
		}
		// A device that went away may never signal again: a missed event counts as a failure.
		if (WaitForSingleObject(state->mBufferEvent, EventWaitMs(state)) == WAIT_TIMEOUT)
			failed = true;
	}
}
} // namespace

#endif // _WIN32
