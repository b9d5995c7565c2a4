#include "FakeWASAPI.h"

#include <initguid.h>
#include <functiondiscoverykeys_devpkey.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace fakewasapi {

FakeSystem* FakeSystem::sCurrent = nullptr;

namespace {

typedef std::lock_guard<std::recursive_mutex> Guard;

const GUID kSubtypePCM = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID kSubtypeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

std::string Narrow(const wchar_t* text) {
	std::string out;
	for (; text && *text; ++text)
		out += static_cast<char>(*text < 128 ? *text : '?');
	return out;
}

bool IsExtensible(const WAVEFORMATEX* f) {
	return f->wFormatTag == WAVE_FORMAT_EXTENSIBLE && f->cbSize >= 22;
}

WAVEFORMATEX* CopyToTaskMemory(const WAVEFORMATEX* format) {
	const size_t size = IsExtensible(format) ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
	WAVEFORMATEX* copy = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(size));
	memcpy(copy, format, size);
	return copy;
}

// IUnknown for one interface; the last Release destroys the object and logs "~Kind".
template <class I> class FakeUnknown : public I {
public:
	FakeUnknown(FakeSystem* system, const char* kind) : mSystem(system), mKind(kind), mRefCount(1) {
		Guard guard(mSystem->mLock);
		++mSystem->mLive;
	}
	virtual ~FakeUnknown() {
		Guard guard(mSystem->mLock);
		--mSystem->mLive;
		mSystem->Record(std::string("~") + mKind);
	}
	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
		if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(I))) {
			AddRef();
			*object = static_cast<I*>(this);
			return S_OK;
		}
		*object = nullptr;
		return E_NOINTERFACE;
	}
	ULONG STDMETHODCALLTYPE AddRef() override { return ++mRefCount; }
	ULONG STDMETHODCALLTYPE Release() override {
		const ULONG count = --mRefCount;
		if (count == 0)
			delete this;
		return count;
	}

protected:
	FakeSystem* mSystem;
	const char* mKind;
	std::atomic<ULONG> mRefCount;
};

class FakeAudioClient;

// Calls on the clients of an endpoint that went away fail; the lock is held by the caller.
bool IsGone(FakeSystem* system, const std::wstring& id) {
	const Endpoint* endpoint = system->Find(id);
	return !endpoint || !endpoint->mPresent;
}

class FakeRenderClient : public FakeUnknown<IAudioRenderClient> {
public:
	FakeRenderClient(FakeSystem* system, FakeAudioClient* client, const std::wstring& id)
	    : FakeUnknown(system, "RenderClient"), mClient(client), mID(id) {}

	HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 frames, BYTE** data) override {
		// Alive to the call's end however early the caller lets it go: the test sees the fault in
		// the log instead of a crash somewhere later.
		AddRef();
		mSystem->PassGate(mID, kGetBufferCall);
		const HRESULT result = LentBuffer(frames, data);
		Release();
		return result;
	}
	HRESULT LentBuffer(UINT32 frames, BYTE** data) {
		Guard guard(mSystem->mLock);
		*data = nullptr;
		if (mSystem->mStreamOwner != static_cast<void*>(mClient) || IsGone(mSystem, mID))
			return AUDCLNT_E_DEVICE_INVALIDATED;
		if (mSystem->mLent)
			return AUDCLNT_E_OUT_OF_ORDER;
		if (frames > mSystem->mBufferFrames - mSystem->mPadding)
			return AUDCLNT_E_BUFFER_TOO_LARGE;
		mSystem->mLentBytes.assign(static_cast<size_t>(frames) * mSystem->mStreamFormat.Format.nBlockAlign, kStaleByte);
		mSystem->mLent = frames;
		*data = mSystem->mLentBytes.data();
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames, DWORD flags) override {
		Guard guard(mSystem->mLock);
		if (mSystem->mStreamOwner != static_cast<void*>(mClient) || IsGone(mSystem, mID))
			return AUDCLNT_E_DEVICE_INVALIDATED;
		if (frames > mSystem->mLent)
			return AUDCLNT_E_INVALID_SIZE;
		const size_t bytes = static_cast<size_t>(frames) * mSystem->mStreamFormat.Format.nBlockAlign;
		if (flags & AUDCLNT_BUFFERFLAGS_SILENT)
			mSystem->mPlayed.insert(mSystem->mPlayed.end(), bytes, 0);
		else
			mSystem->mPlayed.insert(mSystem->mPlayed.end(), mSystem->mLentBytes.begin(),
			                        mSystem->mLentBytes.begin() + bytes);
		mSystem->mReleases.push_back(BufferRelease{frames, flags});
		mSystem->Record("ReleaseBuffer " + std::to_string(frames) + ((flags & AUDCLNT_BUFFERFLAGS_SILENT) ? " silent" : ""));
		mSystem->mPadding += frames;
		mSystem->mLent = 0;
		mSystem->mChanged.notify_all();
		return S_OK;
	}

private:
	FakeAudioClient* mClient;
	std::wstring mID;
};

class FakeAudioClient : public FakeUnknown<IAudioClient> {
public:
	FakeAudioClient(FakeSystem* system, const std::wstring& id) : FakeUnknown(system, "AudioClient"), mID(id) {}
	~FakeAudioClient() override {
		Guard guard(mSystem->mLock);
		if (mSystem->mStreamOwner == this) {
			mSystem->mStreamOwner = nullptr;
			mSystem->mStreamStarted = false;
			mSystem->mEvent = nullptr;
		}
	}

	// Closing a device can take long: the last release waits at the endpoint's gate.
	ULONG STDMETHODCALLTYPE Release() override {
		const ULONG count = --mRefCount;
		if (count == 0) {
			mSystem->PassGate(mID, kClientReleaseCall);
			delete this;
		}
		return count;
	}

	HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration, REFERENCE_TIME periodicity,
	                                     const WAVEFORMATEX* format, LPCGUID) override {
		mSystem->PassGate(mID, kInitializeCall);
		Guard guard(mSystem->mLock);
		mSystem->Record("Initialize " + Describe(format) + " " + std::to_string(duration));
		Endpoint* endpoint = mSystem->Find(mID);
		if (!endpoint || !endpoint->mPresent)
			return AUDCLNT_E_DEVICE_INVALIDATED;
		if (mInitialized)
			return AUDCLNT_E_ALREADY_INITIALIZED;
		if (mode != AUDCLNT_SHAREMODE_SHARED || flags != AUDCLNT_STREAMFLAGS_EVENTCALLBACK || periodicity != 0)
			return E_INVALIDARG;
		if (endpoint->mAccepts && !endpoint->mAccepts(format))
			return AUDCLNT_E_UNSUPPORTED_FORMAT;
		mInitialized = true;
		mSystem->mStreamOwner = this;
		mSystem->mStreamEndpoint = mID;
		mSystem->mStreamStarted = false;
		mSystem->mStreamFormat = MakeFormat(false, 16, false, 1, 1);
		memcpy(&mSystem->mStreamFormat, format, IsExtensible(format) ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX));
		mSystem->mBufferFrames = static_cast<UINT32>(llround(duration * 1e-7 * format->nSamplesPerSec));
		mSystem->mPadding = 0;
		mSystem->mLent = 0;
		mSystem->mEvent = nullptr;
		mSystem->mPaddingResult = S_OK; // a new stream is a healthy one
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
		Guard guard(mSystem->mLock);
		Endpoint* endpoint = mSystem->Find(mID);
		if (IsGone(mSystem, mID))
			return AUDCLNT_E_DEVICE_INVALIDATED;
		if (FAILED(endpoint->mGetBufferSize))
			return endpoint->mGetBufferSize;
		if (mSystem->mStreamOwner != this)
			return AUDCLNT_E_NOT_INITIALIZED;
		*frames = mSystem->mBufferFrames;
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* padding) override {
		Guard guard(mSystem->mLock);
		if (mSystem->mStreamOwner != this)
			return AUDCLNT_E_NOT_INITIALIZED;
		if (IsGone(mSystem, mID)) {
			mSystem->Record("GetCurrentPadding failed");
			return AUDCLNT_E_DEVICE_INVALIDATED;
		}
		if (FAILED(mSystem->mPaddingResult)) {
			mSystem->Record("GetCurrentPadding failed");
			return mSystem->mPaddingResult;
		}
		*padding = mSystem->mPadding;
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX* format,
	                                            WAVEFORMATEX** closest) override {
		Guard guard(mSystem->mLock);
		mSystem->Record("IsFormatSupported " + Describe(format));
		if (closest)
			*closest = nullptr;
		Endpoint* endpoint = mSystem->Find(mID);
		if (IsGone(mSystem, mID))
			return AUDCLNT_E_DEVICE_INVALIDATED;
		if (mode != AUDCLNT_SHAREMODE_SHARED || !closest)
			return E_INVALIDARG;
		if (!endpoint->mSupports)
			return SameFormat(format, &endpoint->mMix.Format) ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
		WAVEFORMATEXTENSIBLE match = {};
		const HRESULT hr = endpoint->mSupports(format, match);
		if (hr == S_FALSE)
			*closest = CopyToTaskMemory(&match.Format);
		return hr;
	}
	HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
		Guard guard(mSystem->mLock);
		*format = nullptr;
		Endpoint* endpoint = mSystem->Find(mID);
		if (IsGone(mSystem, mID))
			return AUDCLNT_E_DEVICE_INVALIDATED;
		if (FAILED(endpoint->mGetMixFormat))
			return endpoint->mGetMixFormat;
		*format = CopyToTaskMemory(&endpoint->mMix.Format);
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* period, REFERENCE_TIME* minimum) override {
		if (period)
			*period = 100000;
		if (minimum)
			*minimum = 30000;
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE Start() override {
		Guard guard(mSystem->mLock);
		mSystem->Record("Start");
		Endpoint* endpoint = mSystem->Find(mID);
		if (IsGone(mSystem, mID))
			return AUDCLNT_E_DEVICE_INVALIDATED;
		if (SUCCEEDED(endpoint->mStart) && mSystem->mStreamOwner == this)
			mSystem->mStreamStarted = true;
		return endpoint->mStart;
	}
	HRESULT STDMETHODCALLTYPE Stop() override {
		Guard guard(mSystem->mLock);
		mSystem->Record("Stop");
		if (mSystem->mStreamOwner == this)
			mSystem->mStreamStarted = false;
		return IsGone(mSystem, mID) ? AUDCLNT_E_DEVICE_INVALIDATED : S_OK;
	}
	HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
	HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
		Guard guard(mSystem->mLock);
		Endpoint* endpoint = mSystem->Find(mID);
		if (IsGone(mSystem, mID))
			return AUDCLNT_E_DEVICE_INVALIDATED;
		if (FAILED(endpoint->mSetEventHandle))
			return endpoint->mSetEventHandle;
		if (mSystem->mStreamOwner != this)
			return AUDCLNT_E_NOT_INITIALIZED;
		mSystem->mEvent = event;
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** service) override {
		Guard guard(mSystem->mLock);
		*service = nullptr;
		Endpoint* endpoint = mSystem->Find(mID);
		if (IsGone(mSystem, mID))
			return AUDCLNT_E_DEVICE_INVALIDATED;
		if (FAILED(endpoint->mGetService))
			return endpoint->mGetService;
		if (!IsEqualIID(iid, __uuidof(IAudioRenderClient)))
			return E_NOINTERFACE;
		*service = static_cast<IAudioRenderClient*>(new FakeRenderClient(mSystem, this, mID));
		return S_OK;
	}

private:
	std::wstring mID;
	bool mInitialized = false;
};

class FakePropertyStore : public FakeUnknown<IPropertyStore> {
public:
	FakePropertyStore(FakeSystem* system, const std::wstring& name) : FakeUnknown(system, "PropertyStore"), mName(name) {}

	HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
		*count = 1;
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetAt(DWORD, PROPERTYKEY*) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
		PropVariantInit(value);
		if (!IsEqualPropertyKey(key, PKEY_Device_FriendlyName))
			return S_OK;
		const size_t bytes = (mName.size() + 1) * sizeof(wchar_t);
		value->vt = VT_LPWSTR;
		value->pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
		memcpy(value->pwszVal, mName.c_str(), bytes);
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return STG_E_ACCESSDENIED; }
	HRESULT STDMETHODCALLTYPE Commit() override { return STG_E_ACCESSDENIED; }

private:
	std::wstring mName;
};

class FakeDevice : public FakeUnknown<IMMDevice> {
public:
	FakeDevice(FakeSystem* system, const std::wstring& id) : FakeUnknown(system, "Device"), mID(id) {}

	HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT* parameters, void** object) override {
		Guard guard(mSystem->mLock);
		mSystem->Record("Activate " + Narrow(mID.c_str()));
		*object = nullptr;
		Endpoint* endpoint = mSystem->Find(mID);
		if (!endpoint || !endpoint->mPresent)
			return AUDCLNT_E_DEVICE_INVALIDATED;
		if (FAILED(endpoint->mActivate))
			return endpoint->mActivate;
		if (!IsEqualIID(iid, __uuidof(IAudioClient)) || parameters)
			return E_NOINTERFACE;
		*object = static_cast<IAudioClient*>(new FakeAudioClient(mSystem, mID));
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** store) override {
		Guard guard(mSystem->mLock);
		*store = nullptr;
		Endpoint* endpoint = mSystem->Find(mID);
		if (!endpoint || access != STGM_READ)
			return E_INVALIDARG;
		*store = new FakePropertyStore(mSystem, endpoint->mName);
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
		const size_t bytes = (mID.size() + 1) * sizeof(wchar_t);
		*id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
		memcpy(*id, mID.c_str(), bytes);
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
		*state = DEVICE_STATE_ACTIVE;
		return S_OK;
	}

private:
	std::wstring mID;
};

class FakeEnumerator : public FakeUnknown<IMMDeviceEnumerator> {
public:
	explicit FakeEnumerator(FakeSystem* system) : FakeUnknown(system, "Enumerator") {}

	HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection**) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** device) override {
		Guard guard(mSystem->mLock);
		mSystem->Record("GetDefaultAudioEndpoint");
		*device = nullptr;
		if (flow != eRender || role != eConsole)
			return E_INVALIDARG;
		Endpoint* endpoint = mSystem->Find(mSystem->mDefaultID);
		if (!endpoint || !endpoint->mPresent)
			return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
		*device = new FakeDevice(mSystem, endpoint->mID);
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override {
		Guard guard(mSystem->mLock);
		mSystem->Record("GetDevice " + Narrow(id));
		*device = nullptr;
		Endpoint* endpoint = mSystem->Find(id);
		if (!endpoint || !endpoint->mPresent)
			return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
		*device = new FakeDevice(mSystem, endpoint->mID);
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
		Guard guard(mSystem->mLock);
		mSystem->Record("Register");
		client->AddRef();
		mSystem->mClients.push_back(client);
		std::vector<IMMNotificationClient*>& gone = mSystem->mUnregistered;
		gone.erase(std::remove(gone.begin(), gone.end(), client), gone.end());
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
		{
			Guard guard(mSystem->mLock);
			mSystem->Record("Unregister");
			std::vector<IMMNotificationClient*>& clients = mSystem->mClients;
			auto registered = std::find(clients.begin(), clients.end(), client);
			if (registered == clients.end())
				return E_INVALIDARG;
			clients.erase(registered); // what is queued for it is dropped
		}
		mSystem->WaitForCallbackOf(client);
		Guard guard(mSystem->mLock);
		mSystem->mUnregistered.push_back(client);
		client->Release();
		return S_OK;
	}
};

HRESULT CreateFakeEnumerator(IMMDeviceEnumerator** enumerator) {
	FakeSystem* system = FakeSystem::sCurrent;
	Guard guard(system->mLock);
	system->Record("CreateEnumerator");
	*enumerator = nullptr;
	if (FAILED(system->mEnumeratorResult))
		return system->mEnumeratorResult;
	*enumerator = new FakeEnumerator(system);
	return S_OK;
}

} // namespace

WAVEFORMATEXTENSIBLE MakeFormat(bool isFloat, int bits, bool extensible, int channels, int sampleRate) {
	WAVEFORMATEXTENSIBLE f = {};
	f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : (isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM);
	f.Format.nChannels = static_cast<WORD>(channels);
	f.Format.nSamplesPerSec = static_cast<DWORD>(sampleRate);
	f.Format.wBitsPerSample = static_cast<WORD>(bits);
	f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
	f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * f.Format.nSamplesPerSec;
	f.Format.cbSize = extensible ? 22 : 0;
	f.Samples.wValidBitsPerSample = static_cast<WORD>(bits);
	f.SubFormat = isFloat ? kSubtypeFloat : kSubtypePCM;
	return f;
}

bool SameFormat(const WAVEFORMATEX* a, const WAVEFORMATEX* b) {
	if (a->wFormatTag != b->wFormatTag || a->nChannels != b->nChannels || a->nSamplesPerSec != b->nSamplesPerSec
	    || a->wBitsPerSample != b->wBitsPerSample || a->nBlockAlign != b->nBlockAlign)
		return false;
	if (IsExtensible(a) != IsExtensible(b))
		return false;
	if (!IsExtensible(a))
		return true;
	const WAVEFORMATEXTENSIBLE* x = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(a);
	const WAVEFORMATEXTENSIBLE* y = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(b);
	return IsEqualGUID(x->SubFormat, y->SubFormat) && x->Samples.wValidBitsPerSample == y->Samples.wValidBitsPerSample;
}

std::string Describe(const WAVEFORMATEX* format) {
	const char* kind = "STD ?";
	if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
		const GUID& sub = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format)->SubFormat;
		kind = IsEqualGUID(sub, kSubtypeFloat) ? "EXT FLOAT"
		       : IsEqualGUID(sub, kSubtypePCM)      ? "EXT PCM"
		                                                         : "EXT ?";
	} else if (format->wFormatTag == WAVE_FORMAT_PCM)
		kind = "STD PCM";
	else if (format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
		kind = "STD FLOAT";
	char text[96];
	snprintf(text, sizeof(text), "%s %dx%d %lu", kind, format->nChannels, format->wBitsPerSample,
	         static_cast<unsigned long>(format->nSamplesPerSec));
	return text;
}

// ---- COM initialisation ----------------------------------------------------------------------

std::atomic<ComCalls*> ComCalls::sCurrent{nullptr};

ComCalls::ComCalls()
    : mSavedInitialize(CWASAPIAudioContext::sPlatform.CoInitializeEx),
      mSavedUninitialize(CWASAPIAudioContext::sPlatform.CoUninitialize) {
	sCurrent.store(this);
	CWASAPIAudioContext::sPlatform.CoInitializeEx = RecordInitialize;
	CWASAPIAudioContext::sPlatform.CoUninitialize = RecordUninitialize;
}

ComCalls::~ComCalls() {
	CWASAPIAudioContext::sPlatform.CoInitializeEx = mSavedInitialize;
	CWASAPIAudioContext::sPlatform.CoUninitialize = mSavedUninitialize;
	sCurrent.store(nullptr);
}

uint64_t ComCalls::ThisThread() {
	static std::atomic<uint64_t> sNext{1};
	thread_local uint64_t tThread = sNext.fetch_add(1);
	return tThread;
}

HRESULT WINAPI ComCalls::RecordInitialize(LPVOID reserved, DWORD coInit) {
	ComCalls* calls = sCurrent.load();
	if (!calls)
		return CoInitializeEx(reserved, coInit);
	const HRESULT hr = calls->mSavedInitialize(reserved, coInit);
	// S_FALSE (already initialised) counts too: it is undone like S_OK. A failure is not.
	if (SUCCEEDED(hr)) {
		std::lock_guard<std::mutex> guard(calls->mLock);
		++calls->mThreads[ThisThread()].mInitialized;
	}
	return hr;
}

void WINAPI ComCalls::RecordUninitialize() {
	ComCalls* calls = sCurrent.load();
	if (!calls) {
		CoUninitialize();
		return;
	}
	{
		std::lock_guard<std::mutex> guard(calls->mLock);
		Counts& counts = calls->mThreads[ThisThread()];
		++counts.mUninitialized;
		if (counts.mUninitialized > counts.mInitialized)
			counts.mOverdrawn = true;
	}
	calls->mSavedUninitialize();
}

std::string ComCalls::Unpaired() {
	std::lock_guard<std::mutex> guard(mLock);
	std::string report;
	for (const auto& entry : mThreads) {
		const Counts& counts = entry.second;
		if (!counts.mOverdrawn && counts.mInitialized == counts.mUninitialized)
			continue;
		char line[160];
		snprintf(line, sizeof(line), "thread %llu: %d initialisations, %d uninitialisations%s\n",
		         static_cast<unsigned long long>(entry.first), counts.mInitialized, counts.mUninitialized,
		         counts.mOverdrawn ? ", one of them before its initialisation" : "");
		report += line;
	}
	return report;
}

int ComCalls::Initializations(uint64_t thread) {
	std::lock_guard<std::mutex> guard(mLock);
	auto found = mThreads.find(thread);
	return found == mThreads.end() ? 0 : found->second.mInitialized;
}

int ComCalls::Uninitializations(uint64_t thread) {
	std::lock_guard<std::mutex> guard(mLock);
	auto found = mThreads.find(thread);
	return found == mThreads.end() ? 0 : found->second.mUninitialized;
}

// ---- The scripted system ----------------------------------------------------------------------

FakeSystem::FakeSystem() : mSavedPlatform(CWASAPIAudioContext::sPlatform) {
	sCurrent = this;
	CWASAPIAudioContext::sPlatform.CreateEnumerator = CreateFakeEnumerator;
	mClock = std::thread(&FakeSystem::RunClock, this);
	mNotifier = std::thread(&FakeSystem::RunNotifier, this);
}

void FakeSystem::RunNotifier() {
	std::unique_lock<std::mutex> lock(mNotifyLock);
	for (;;) {
		mNotifyWake.wait(lock, [&] { return mNotifyQuit || !mNotifyJobs.empty(); });
		if (mNotifyJobs.empty())
			return;
		std::function<void()> job = std::move(mNotifyJobs.front());
		mNotifyJobs.pop_front();
		lock.unlock();
		job();
		lock.lock();
	}
}

FakeSystem::~FakeSystem() {
	{
		Guard guard(mLock);
		mClockQuit = true;
		mClockWake.notify_all();
	}
	mClock.join();
	{
		std::lock_guard<std::mutex> lock(mNotifyLock);
		mNotifyQuit = true;
		mNotifyWake.notify_all();
	}
	if (mNotifyStuck)
		mNotifier.detach(); // its callback never returned: the test has failed already
	else
		mNotifier.join();
	{
		Guard guard(mLock);
		EXPECT_TRUE(mClients.empty()) << mClients.size() << " notification clients still registered";
		for (IMMNotificationClient* client : mClients)
			client->Release();
		mClients.clear();
	}
	const std::string unpaired = mCom.Unpaired();
	EXPECT_TRUE(unpaired.empty()) << "COM initialisation did not pair up on every thread (this one is "
	                              << ComCalls::ThisThread() << "):\n" << unpaired;
	CWASAPIAudioContext::sPlatform = mSavedPlatform;
	sCurrent = nullptr;
}

Endpoint& FakeSystem::AddEndpoint(const std::wstring& id, const std::wstring& name, const WAVEFORMATEXTENSIBLE& mix) {
	Guard guard(mLock);
	Endpoint endpoint;
	endpoint.mID = id;
	endpoint.mName = name;
	endpoint.mMix = mix;
	mEndpoints.push_back(endpoint);
	return mEndpoints.back();
}

void FakeSystem::SetDefault(const std::wstring& id) {
	Guard guard(mLock);
	mDefaultID = id;
}

void FakeSystem::Change(const std::function<void(FakeSystem&)>& change) {
	Guard guard(mLock);
	change(*this);
	mChanged.notify_all();
}

Endpoint* FakeSystem::Find(const std::wstring& id) {
	for (Endpoint& endpoint : mEndpoints)
		if (!id.empty() && endpoint.mID == id)
			return &endpoint;
	return nullptr;
}

// The event is signalled under the lock: the client that owns it cannot go meanwhile.
void FakeSystem::Play(UINT32 frames) {
	Guard guard(mLock);
	mPadding -= frames < mPadding ? frames : mPadding;
	if (mEvent)
		SetEvent(mEvent);
}

void FakeSystem::SignalEvent() {
	Guard guard(mLock);
	if (mEvent)
		SetEvent(mEvent);
}

// The device's period: a running stream on a present, signalling endpoint is woken every 10 ms
// whether or not it played anything.
void FakeSystem::RunClock() {
	std::unique_lock<std::recursive_mutex> lock(mLock);
	auto tick = std::chrono::steady_clock::now();
	double owed = 0.0; // frames of a period not yet played whole
	while (!mClockWake.wait_for(lock, std::chrono::milliseconds(10), [&] { return mClockQuit; })) {
		const auto now = std::chrono::steady_clock::now();
		const Endpoint* endpoint = Find(mStreamEndpoint);
		const bool running = mStreamStarted && endpoint && endpoint->mPresent && endpoint->mSignals;
		if (running && mRealTime) {
			owed += std::chrono::duration<double>(now - tick).count() * mStreamFormat.Format.nSamplesPerSec;
			const UINT32 frames = static_cast<UINT32>(owed);
			owed -= frames;
			if (frames > mPadding)
				mDryFrames += frames - mPadding; // what the listener hears as a gap
			mPadding -= frames < mPadding ? frames : mPadding;
		} else {
			owed = 0.0;
		}
		tick = now;
		if (running && mEvent)
			SetEvent(mEvent);
	}
}

Gate* FakeSystem::GateOf(const std::wstring& id, GatedCall call) {
	Endpoint* endpoint = Find(id);
	if (!endpoint)
		return nullptr;
	switch (call) {
	case kInitializeCall:
		return &endpoint->mInitializeGate;
	case kClientReleaseCall:
		return &endpoint->mReleaseGate;
	case kGetBufferCall:
		return &endpoint->mGetBufferGate;
	}
	return nullptr;
}

void FakeSystem::PassGate(const std::wstring& id, GatedCall call) {
	std::unique_lock<std::recursive_mutex> lock(mLock);
	Gate* gate = GateOf(id, call);
	if (!gate)
		return;
	if (gate->mDelay.count() > 0)
		mChanged.wait_for(lock, gate->mDelay, [] { return false; });
	++gate->mWaiting;
	mChanged.notify_all();
	mChanged.wait(lock, [&] { return !gate->mHeld; });
	--gate->mWaiting;
}

void FakeSystem::Hold(const std::wstring& id, GatedCall call) {
	Guard guard(mLock);
	if (Gate* gate = GateOf(id, call))
		gate->mHeld = true;
}

void FakeSystem::Open(const std::wstring& id, GatedCall call) {
	Guard guard(mLock);
	if (Gate* gate = GateOf(id, call))
		gate->mHeld = false;
	mChanged.notify_all();
}

void FakeSystem::OpenEveryGate() {
	Guard guard(mLock);
	for (Endpoint& endpoint : mEndpoints) {
		endpoint.mInitializeGate.mHeld = false;
		endpoint.mReleaseGate.mHeld = false;
		endpoint.mGetBufferGate.mHeld = false;
	}
	mCallbackGate.mHeld = false;
	mChanged.notify_all();
}

void FakeSystem::Delay(const std::wstring& id, GatedCall call, std::chrono::milliseconds delay) {
	Guard guard(mLock);
	if (Gate* gate = GateOf(id, call))
		gate->mDelay = delay;
}

bool FakeSystem::WaitHeld(const std::wstring& id, GatedCall call, std::chrono::milliseconds timeout) {
	return WaitUntil([&] {
		Gate* gate = GateOf(id, call);
		return gate && gate->mWaiting > 0;
	}, timeout);
}

// The callbacks run on the system's notification thread, without the system's lock. A callback
// that does not return leaves the thread behind.
bool FakeSystem::Notify(const std::string& entry, const std::function<void(IMMNotificationClient*)>& call) {
	std::vector<IMMNotificationClient*> clients;
	{
		Guard guard(mLock);
		clients = mClients;
		Record("notify " + entry);
	}
	struct Done {
		std::mutex mLock;
		std::condition_variable mChanged;
		bool mReturned = false;
	};
	std::shared_ptr<Done> done = std::make_shared<Done>();
	{
		std::lock_guard<std::mutex> lock(mNotifyLock);
		mNotifyJobs.push_back([this, clients, entry, call, done] {
			for (IMMNotificationClient* client : clients)
				Callback(client, entry, call);
			Record("notified");
			std::lock_guard<std::mutex> guard(done->mLock);
			done->mReturned = true;
			done->mChanged.notify_all();
		});
		mNotifyWake.notify_all();
	}
	std::unique_lock<std::mutex> lock(done->mLock);
	const bool returned = done->mChanged.wait_for(lock, std::chrono::seconds(10), [&] { return done->mReturned; });
	if (!returned) {
		std::lock_guard<std::mutex> guard(mNotifyLock);
		mNotifyStuck = true;
	}
	return returned;
}

// One client's callback, on the notification thread: made only while the client is registered.
void FakeSystem::Callback(IMMNotificationClient* client, const std::string& entry,
                          const std::function<void(IMMNotificationClient*)>& call) {
	{
		std::unique_lock<std::recursive_mutex> lock(mLock);
		if (std::find(mClients.begin(), mClients.end(), client) == mClients.end()) {
			Record("dropped " + entry); // queued when its client was unregistered
			return;
		}
		mCalling = client;
		++mCallbackGate.mWaiting;
		mChanged.notify_all();
		mChanged.wait(lock, [&] { return !mCallbackGate.mHeld; });
		--mCallbackGate.mWaiting;
		if (std::find(mUnregistered.begin(), mUnregistered.end(), client) != mUnregistered.end()) {
			ADD_FAILURE() << "a callback (" << entry << ") for a client whose unregistration had returned";
			mCalling = nullptr;
			mChanged.notify_all();
			return; // the client may be gone: not called
		}
	}
	call(client);
	Guard guard(mLock);
	mCalling = nullptr;
	mChanged.notify_all();
}

// A callback in progress ends before the unregistration returns (unless the unregistration is
// made by the callback itself, on the notification thread).
void FakeSystem::WaitForCallbackOf(IMMNotificationClient* client) {
	std::unique_lock<std::recursive_mutex> lock(mLock);
	if (std::this_thread::get_id() == mNotifier.get_id())
		return;
	++mUnregistrationsWaiting;
	mChanged.notify_all();
	mChanged.wait(lock, [&] { return mCalling != client; });
	--mUnregistrationsWaiting;
}

void FakeSystem::HoldCallbacks(bool hold) {
	Guard guard(mLock);
	mCallbackGate.mHeld = hold;
	mChanged.notify_all();
}

bool FakeSystem::WaitCallbackHeld() {
	return WaitUntil([&] { return mCallbackGate.mWaiting > 0; });
}

bool FakeSystem::WaitUnregistrationWaiting() {
	return WaitUntil([&] { return mUnregistrationsWaiting > 0; });
}

bool FakeSystem::NotifyStateChanged(const std::wstring& id, DWORD state) {
	return Notify("state " + Narrow(id.c_str()) + " " + std::to_string(state),
	              [id, state](IMMNotificationClient* client) { client->OnDeviceStateChanged(id.c_str(), state); });
}

bool FakeSystem::NotifyAdded(const std::wstring& id) {
	return Notify("added " + Narrow(id.c_str()), [id](IMMNotificationClient* client) { client->OnDeviceAdded(id.c_str()); });
}

bool FakeSystem::NotifyRemoved(const std::wstring& id) {
	return Notify("removed " + Narrow(id.c_str()),
	              [id](IMMNotificationClient* client) { client->OnDeviceRemoved(id.c_str()); });
}

bool FakeSystem::NotifyDefaultChanged(EDataFlow flow, ERole role, const std::wstring& id) {
	return Notify("default " + std::to_string(flow) + " " + std::to_string(role) + " " + Narrow(id.c_str()),
	              [flow, role, id](IMMNotificationClient* client) {
		              client->OnDefaultDeviceChanged(flow, role, id.empty() ? nullptr : id.c_str());
	              });
}

size_t FakeSystem::RegisteredClients() {
	Guard guard(mLock);
	return mClients.size();
}

void FakeSystem::FailPadding(HRESULT hr) {
	Guard guard(mLock);
	mPaddingResult = hr;
}

bool FakeSystem::WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
	std::unique_lock<std::recursive_mutex> lock(mLock);
	return mChanged.wait_for(lock, timeout, done);
}

void FakeSystem::Record(const std::string& entry) {
	Guard guard(mLock);
	mLog.emplace_back(entry, std::chrono::steady_clock::now());
	mChanged.notify_all();
}

std::vector<std::string> FakeSystem::Log() {
	Guard guard(mLock);
	std::vector<std::string> entries;
	for (const auto& entry : mLog)
		entries.push_back(entry.first);
	return entries;
}

std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> FakeSystem::TimedLog() {
	Guard guard(mLock);
	return mLog;
}

size_t FakeSystem::CountLog(const std::string& entry) {
	Guard guard(mLock);
	size_t count = 0;
	for (const auto& e : mLog)
		count += e.first == entry;
	return count;
}

std::vector<uint8_t> FakeSystem::Played() {
	Guard guard(mLock);
	return mPlayed;
}

std::vector<BufferRelease> FakeSystem::Releases() {
	Guard guard(mLock);
	return mReleases;
}

UINT32 FakeSystem::BufferFrames() {
	Guard guard(mLock);
	return mBufferFrames;
}

WAVEFORMATEXTENSIBLE FakeSystem::StreamFormat() {
	Guard guard(mLock);
	return mStreamFormat;
}

int FakeSystem::LiveObjects() {
	Guard guard(mLock);
	return mLive;
}

} // namespace fakewasapi
