// The Windows audio output context: a shared-mode, event-driven WASAPI render stream with its own
// render thread, which tops the device buffer up from the context's queue on every buffer event
// and resamples with speexdsp when the device runs at another rate than the stream.
#ifndef AUDIO_OUT_WIN_H
#define AUDIO_OUT_WIN_H

#ifdef _WIN32

#include "AudioOut.h"

#include <windows.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <mmreg.h>

#include <atomic>
#include <cstdint>
#include <string>

typedef struct SpeexResamplerState_ SpeexResamplerState;

class CWASAPIAudioContext;
struct WASAPIRenderState;

// Endpoint notifications. The callbacks only acknowledge: a change of the device in use reaches
// the render thread as a failing render call, which makes it open the device again.
class MMNotificationClient final : public IMMNotificationClient {
public:
	explicit MMNotificationClient(WASAPIRenderState* state);

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
	ULONG STDMETHODCALLTYPE AddRef() override;
	ULONG STDMETHODCALLTYPE Release() override;
	HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR deviceID, DWORD newState) override;
	HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR deviceID) override;
	HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR deviceID) override;
	HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR deviceID) override;
	HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR deviceID, const PROPERTYKEY key) override;

private:
	~MMNotificationClient() = default;

	WASAPIRenderState* mState; // not used by the callbacks
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

// Everything the stream needs, shared by the constructor, the render thread and the teardown.
struct WASAPIRenderState {
	CWASAPIAudioContext* mOwner;
	int32_t mRequestedChannels;
	std::wstring mRequestedDeviceID; // empty: the default render endpoint
	int32_t mRequestedSampleRate;
	int32_t mRequestedFramesPerBuffer; // at the stream's rate
	IMMDeviceEnumerator* mEnumerator;  // kept across re-initialisations
	IMMDevice* mDevice;
	IAudioClient* mAudioClient;
	IAudioRenderClient* mRenderClient;
	HANDLE mBufferEvent; // given to the audio client
	HANDLE mQuitEvent;   // signalled by the teardown
	HANDLE mRenderThread;
	UINT32 mBufferFrames;
	int32_t mDeviceChannels;
	REFERENCE_TIME mBufferDuration;
	int32_t mDeviceSampleRate;
	bool mReinitialize;
	bool mNotificationRegistered;
	MMNotificationClient* mNotificationClient;

	// The format in force (a plain WAVEFORMATEX uses the first 18 bytes) and how to write it.
	WAVEFORMATEXTENSIBLE mFormat;
	WASAPISampleType mSampleType;
	// Device-layout floats for formats that are not 32-bit float; grows, never shrinks.
	float* mConvertBuffer;
	size_t mConvertFrames;
};

// The speexdsp resampler from the queue's rate to the device's, with the staging buffer of input
// frames it reads from the queue. Used by the render thread only.
struct ResamplerState {
	ResamplerState();
	~ResamplerState();

	// Writes exactly `frames` frames of the queue's channel layout into `buffer` (silence where
	// the queue runs dry) and returns how many it wrote: `frames`, or 0 when no resampler or no
	// staging buffer could be had.
	int FillResampled(CAudioBufferList* queue, int outputRate, float* buffer, int frames);
	void Reset(); // destroys the resampler and frees the staging buffer

	CAudioBufferList* mSource;
	SpeexResamplerState* mResampler;
	int32_t mChannels; // 0 when there is no resampler
	int32_t mInputRate;
	int32_t mOutputRate;
	double mRatio; // input rate / output rate
	float* mStaging;
	int32_t mStagingSize;   // bytes
	int32_t mStagingFrames; // input frames kept from the last pass, not yet consumed

private:
	void DestroyResampler();
	ResamplerState(const ResamplerState&) = delete;
	ResamplerState& operator=(const ResamplerState&) = delete;
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
	// The render thread: writes up to `frames` frames of the device's channel layout into
	// `buffer` and returns how many it wrote; 0 when stopped or when nothing could be made.
	virtual int FillBuffer(float* buffer, int frames);

	// Same requested identifier, sample rate and frames per buffer (the channel count may differ).
	bool IsCompatible(const std::string& persistentID, int channels, int sampleRate, int framesPerBuffer) const;

	void Retain() { ++mRefCount; }
	// The holder's release; the last one deletes the context.
	void Release();

	int GetStatus() const { return mStatus; }
	bool IsRunning() const { return mRunning.load(); }
	// Copies taken under the lock: a re-initialisation on the render thread may change them.
	WASAPIDeviceInfo GetDeviceInfo() const;
	void GetErrorRecord(std::string& file, int& line, std::string& message) const;
	// Whether the last fill went through the resampler (render thread's view, for diagnosis).
	bool IsResampling() const { return mResampling.load(); }

	// Opens the endpoint and the stream, and starts the render thread when there is none yet.
	// 0, or -1 with the error record written.
	int InitializeRenderState(WASAPIRenderState* state);

	static WASAPIPlatform sPlatform;

private:
	void SetError(int line, const char* message);
	void ShutdownRenderState();
	int OpenEndpoint(WASAPIRenderState* state);
	void NegotiateFormat(WASAPIRenderState* state);
	HRESULT InitializeWithFallbacks(WASAPIRenderState* state, REFERENCE_TIME duration);
	void StoreDeviceInfo(WASAPIRenderState* state, int deviceFrames);

	int32_t mRefCount; // changed by the single holder only
	std::atomic<bool> mRunning; // read by the render thread
	int32_t mStatus;
	ResamplerState mResampler;
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
	// Queue-layout floats when the queue's channel count is not the device's; grows only.
	float* mMapBuffer;
	size_t mMapFloats;
};

#endif // _WIN32

#endif
