// The Windows audio output context: a shared-mode, event-driven WASAPI render stream with its own
// render thread, which tops the device buffer up from the context's queue on every buffer event
// and resamples with speexdsp when the device runs at another rate than the stream.
#ifndef AUDIO_OUT_WIN_H
#define AUDIO_OUT_WIN_H

#ifdef _WIN32

#include "AudioOut.h"
#include "AudioResampler.h"

#include <windows.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <mmreg.h>

#include <atomic>
#include <cstdint>
#include <string>

class CWASAPIAudioContext;
struct WASAPIRenderState;

// Endpoint notifications, called on a thread of the system's. The callbacks only set a request
// and wake the render thread: they never wait, and take no lock. A device in use that goes away
// reaches the render thread as a failing render call or a missed buffer event instead.
class MMNotificationClient final : public IMMNotificationClient {
public:
	// `endpointID`: the endpoint the context was made for (empty: the default). `wake`: the render
	// thread's buffer event, duplicated so that a late callback never signals a closed handle.
	// Null when out of memory.
	static MMNotificationClient* Create(const std::wstring& endpointID, HANDLE wake);

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
	ULONG STDMETHODCALLTYPE AddRef() override;
	ULONG STDMETHODCALLTYPE Release() override;
	HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR deviceID, DWORD newState) override;
	HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR deviceID) override;
	HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR deviceID) override;
	HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR deviceID) override;
	HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR deviceID, const PROPERTYKEY key) override;

	// Whether the request was made since the last take; taking clears it.
	bool EndpointReturned() const; // the chosen endpoint was reported active or added
	bool TakeEndpointReturn();
	bool TakeDefaultChange();  // the default render endpoint for the console changed

private:
	MMNotificationClient(wchar_t* endpointID, HANDLE wake);
	~MMNotificationClient();
	bool IsChosenEndpoint(LPCWSTR deviceID) const;
	void Wake();

	wchar_t* mEndpointID; // owned; null when the default was chosen
	HANDLE mWake;         // owned duplicate; may be null, the render thread then sees the request later
	std::atomic<bool> mEndpointReturned;
	std::atomic<bool> mDefaultChanged;
	std::atomic<LONG> mRefCount;
};

// How the render thread writes the format in force: 32-bit float, or integer PCM in containers
// of 16, 24 or 32 bits. Anything else is played as silence.
enum WASAPISampleType {
	kWASAPISampleUnsupported = 0,
	kWASAPISampleFloat32,
	kWASAPISampleInt16,
	kWASAPISampleInt24,
	kWASAPISampleInt32,
};

// One endpoint opened with its stream initialised, not yet started.
struct WASAPIStream {
	IMMDevice* mDevice;
	IAudioClient* mAudioClient;
	IAudioRenderClient* mRenderClient;
	// The format in force (a plain WAVEFORMATEX uses the first 18 bytes).
	WAVEFORMATEXTENSIBLE mFormat;
	UINT32 mBufferFrames;           // as the device made it
	REFERENCE_TIME mBufferDuration; // as asked for
	int32_t mDeviceFrames;          // the stream's frames per buffer at the device's rate
	bool mIsDefault;                // the default endpoint, opened in place of the chosen one
};

// Everything the stream needs, shared by the constructor, the render thread and the teardown.
struct WASAPIRenderState {
	CWASAPIAudioContext* mOwner;
	int32_t mRequestedChannels;
	std::wstring mRequestedDeviceID; // empty: the default render endpoint
	int32_t mRequestedSampleRate;
	int32_t mRequestedFramesPerBuffer; // at the stream's rate
	IMMDeviceEnumerator* mEnumerator;  // kept across re-initialisations
	WASAPIStream mStream;              // the one playing
	HANDLE mBufferEvent; // given to the audio client
	HANDLE mQuitEvent;   // signalled by the teardown
	HANDLE mRenderThread;
	int32_t mDeviceChannels;
	int32_t mDeviceSampleRate;
	bool mReinitialize;
	bool mNotificationRegistered;
	MMNotificationClient* mNotificationClient;
	// The default endpoint plays: the chosen one was the default, or could not be opened.
	bool mOnDefault;
	// The chosen endpoint, opened by the holder's audio thread while the default plays in its
	// place, for the render thread to move to at its next pass.
	CMutex mHandOverLock;
	bool mHandOverReady;
	WASAPIStream mHandOver;

	WASAPISampleType mSampleType; // how to write the format in force
	// Device-layout floats for formats that are not 32-bit float; sized with the stream.
	float* mConvertBuffer;
	size_t mConvertFloats; // its capacity, in floats
	// The fills of the stream in force were prepared (their buffers and resampler made).
	bool mFillsReady;
};

// The device the context plays on, as the last successful initialisation found it.
struct WASAPIDeviceInfo {
	std::string mAPIName;
	std::string mDeviceName; // friendly name of the endpoint opened
	std::string mDeviceID;   // id string of the endpoint opened
	int32_t mChannels;
	int32_t mSampleRate;
	int32_t mFramesPerBuffer;
};

// The platform operations the set-up and the teardown go through. Tests replace members to hand
// fake endpoints in, to make an event or the render thread impossible to create, or to see on
// which threads COM is initialised and uninitialised.
struct WASAPIPlatform {
	HRESULT (*CreateEnumerator)(IMMDeviceEnumerator** enumerator);
	HANDLE (*CreateAutoResetEvent)();
	HANDLE (*CreateRenderThread)(LPTHREAD_START_ROUTINE proc, void* param);
	HRESULT (WINAPI* CoInitializeEx)(LPVOID reserved, DWORD coInit);
	void (WINAPI* CoUninitialize)();
};

// The render thread's body; its parameter is the render state. Ends when the quit event is set.
DWORD WINAPI RenderThreadProc(LPVOID state);

class CWASAPIAudioContext : public CAudioContext {
public:
	static constexpr int kStatusFailed = -1;

	// 0 and a playing context with one reference, or -1 and null. An empty identifier opens the
	// default render endpoint; an identifier that cannot be opened falls back to it.
	static int CreateWASAPIAudioContext(const std::string& persistentID, int channels, int sampleRate,
	                                    int framesPerBuffer, CWASAPIAudioContext*& context);

	CWASAPIAudioContext(const std::string& persistentID, int channels, int sampleRate, int framesPerBuffer);
	// Ends the render thread before any WASAPI object is released.
	~CWASAPIAudioContext() override;

	// From now on fills write nothing (the device plays silence); the thread runs on until the
	// last release.
	virtual void Stop();
	// The render thread: writes `frames` frames of the device's channel layout into `buffer`
	// and returns how many it wrote; 0 when stopped or when nothing could be made. `deviceHeld`:
	// the frames the device still held (its padding) at `nowNs` (DriftClockNow), when it was read.
	virtual int FillBuffer(float* buffer, int frames, int deviceHeld, int64_t nowNs);

	// Any thread, lock-free: the default plays in place of the chosen endpoint, and the chosen one
	// was reported back or is due to be tried again.
	bool DeviceNeedsLook() const;
	// The holder's audio thread: while the default plays in place of the chosen endpoint, opens
	// the chosen one (when reported back, or every few seconds) and hands it to the render thread,
	// which moves there at its next pass: the default plays on meanwhile, however slow the open.
	// Returns whether the context must be replaced: never, it follows its devices itself.
	bool LookAtDevice();

	void Retain() { ++mRefCount; }
	// The holder's release; the last one deletes the context.
	void Release();

	int GetStatus() const { return mStatus; }
	bool IsRunning() const { return mRunning.load(); }
	// Copies taken under the lock: a re-initialisation on the render thread may change them.
	WASAPIDeviceInfo GetDeviceInfo() const;
	void GetErrorRecord(std::string& file, int& line, std::string& message) const;
	// Whether the last fill changed the stream's rate to the device's (render thread's view, for
	// diagnosis). Every fill is resampled to follow the device's clock; this tells a rate change.
	bool IsResampling() const { return mResampling.load(); }

	// Opens the endpoint and the stream, and starts the render thread when there is none yet.
	// 0, or -1 with the error record written.
	int InitializeRenderState(WASAPIRenderState* state);
	// The render thread: moves to the chosen endpoint the audio thread opened, if it did.
	bool TakeHandOver(WASAPIRenderState* state);
	// How often the sound broke since the stream started: a top-up found the device's buffer
	// empty, the stream was lost (a failing call or a missed buffer event) and had to be opened
	// again, the queue ran dry while it played, or a burst was cut.
	int GetUnderrunCount() const { return mUnderruns.load(); }
	void CountUnderrun() { ++mUnderruns; }
	// The correction the output last played at to follow the device's clock (the resampling
	// ratio over the rates' own, less 1), as the render thread left it: for diagnosis.
	double GetClockCorrection() const { return mClockCorrection.load(); }
	// The delay from a frame's arrival to its playing that the output measured at its last fill,
	// and the one it keeps to, in seconds: for diagnosis.
	double GetDelaySeconds() const { return mDelaySeconds.load(); }
	double GetTargetSeconds() const { return mTargetSeconds.load(); }

	static WASAPIPlatform sPlatform;

private:
	void SetError(int line, const char* message);
	void ShutdownRenderState();
	struct OpenFailure {
		int mLine;
		char mMessage[256];
	};
	int OpenStream(WASAPIRenderState* state, bool chosen, WASAPIStream& stream, OpenFailure& failure);
	void NegotiateFormat(WASAPIRenderState* state, WASAPIStream& stream);
	HRESULT InitializeWithFallbacks(WASAPIRenderState* state, WASAPIStream& stream, REFERENCE_TIME duration);
	void UseStream(WASAPIRenderState* state, WASAPIStream& stream);
	void StoreDeviceInfo(WASAPIRenderState* state);

	int32_t mRefCount; // changed by the single holder only
	std::atomic<bool> mRunning; // read by the render thread
	int32_t mStatus;
	CAudioResampler mResampler; // the render thread's; prepared whenever a stream is taken into use
	std::string mAPIName;
	std::string mDeviceName;
	std::string mDeviceID;
	int32_t mDeviceChannels;
	int32_t mDeviceSampleRate;
	int32_t mDeviceFramesPerBuffer;
	WASAPIRenderState* mRenderState;
	bool mComInitialized; // by the constructor's thread, which also tears the context down

	mutable CMutex mInfoLock; // guards the device values and the error record
	std::atomic<bool> mResampling;
	std::atomic<int> mUnderruns;
	std::atomic<double> mClockCorrection;
	std::atomic<double> mDelaySeconds, mTargetSeconds;
	// The default plays in place of the chosen endpoint (the render thread's view), and when the
	// chosen one is next tried (steady clock, ms).
	std::atomic<bool> mStandingIn;
	std::atomic<int64_t> mNextChosenTryMs;
	// Queue-layout floats when the queue's channel count is not the device's; sized with the
	// stream, never in a fill.
	float* mMapBuffer;
	size_t mMapFloats;
	bool PrepareFills(WASAPIRenderState* state);
};

#endif // _WIN32

#endif
