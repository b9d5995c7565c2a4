#include "RestrictedWASAPI.h"

#include "FakeWASAPI.h"

#include <atomic>

namespace fakewasapi {

namespace {

// Forwards IUnknown's counting; the wrapped object is released with the wrapper.
template <class I> class Wrapper : public I {
public:
	explicit Wrapper(I* inner) : mInner(inner), mRefCount(1) {}
	virtual ~Wrapper() { mInner->Release(); }

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
	I* mInner;
	std::atomic<ULONG> mRefCount;
};

class RestrictedAudioClient : public Wrapper<IAudioClient> {
public:
	explicit RestrictedAudioClient(IAudioClient* inner) : Wrapper(inner), mMix(nullptr) { inner->GetMixFormat(&mMix); }
	~RestrictedAudioClient() override { CoTaskMemFree(mMix); }

	HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration, REFERENCE_TIME periodicity,
	                                     const WAVEFORMATEX* format, LPCGUID session) override {
		if (!IsMix(format))
			return AUDCLNT_E_UNSUPPORTED_FORMAT;
		return mInner->Initialize(mode, flags, duration, periodicity, format, session);
	}
	HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override { return mInner->GetBufferSize(frames); }
	HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override { return mInner->GetStreamLatency(latency); }
	HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* padding) override { return mInner->GetCurrentPadding(padding); }
	HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX* format,
	                                            WAVEFORMATEX** closest) override {
		if (closest)
			*closest = nullptr;
		if (!IsMix(format))
			return AUDCLNT_E_UNSUPPORTED_FORMAT;
		return mInner->IsFormatSupported(mode, format, closest);
	}
	HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override { return mInner->GetMixFormat(format); }
	HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* period, REFERENCE_TIME* minimum) override {
		return mInner->GetDevicePeriod(period, minimum);
	}
	HRESULT STDMETHODCALLTYPE Start() override { return mInner->Start(); }
	HRESULT STDMETHODCALLTYPE Stop() override { return mInner->Stop(); }
	HRESULT STDMETHODCALLTYPE Reset() override { return mInner->Reset(); }
	HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override { return mInner->SetEventHandle(event); }
	HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** service) override { return mInner->GetService(iid, service); }

private:
	bool IsMix(const WAVEFORMATEX* format) const { return mMix && format && SameFormat(format, mMix); }

	WAVEFORMATEX* mMix;
};

class RestrictedDevice : public Wrapper<IMMDevice> {
public:
	explicit RestrictedDevice(IMMDevice* inner) : Wrapper(inner) {}

	HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* parameters, void** object) override {
		const HRESULT hr = mInner->Activate(iid, context, parameters, object);
		if (SUCCEEDED(hr) && IsEqualIID(iid, __uuidof(IAudioClient)))
			*object = static_cast<IAudioClient*>(new RestrictedAudioClient(static_cast<IAudioClient*>(*object)));
		return hr;
	}
	HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** store) override {
		return mInner->OpenPropertyStore(access, store);
	}
	HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override { return mInner->GetId(id); }
	HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override { return mInner->GetState(state); }
};

class RestrictedEnumerator : public Wrapper<IMMDeviceEnumerator> {
public:
	explicit RestrictedEnumerator(IMMDeviceEnumerator* inner) : Wrapper(inner) {}

	HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask, IMMDeviceCollection** devices) override {
		return mInner->EnumAudioEndpoints(flow, mask, devices);
	}
	HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** device) override {
		return Wrap(mInner->GetDefaultAudioEndpoint(flow, role, device), device);
	}
	HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override {
		return Wrap(mInner->GetDevice(id, device), device);
	}
	HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
		return mInner->RegisterEndpointNotificationCallback(client);
	}
	HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
		return mInner->UnregisterEndpointNotificationCallback(client);
	}

private:
	static HRESULT Wrap(HRESULT hr, IMMDevice** device) {
		if (SUCCEEDED(hr) && *device)
			*device = new RestrictedDevice(*device);
		return hr;
	}
};

} // namespace

HRESULT CreateRestrictedEnumerator(IMMDeviceEnumerator** enumerator) {
	IMMDeviceEnumerator* real = nullptr;
	const HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
	                                    reinterpret_cast<void**>(&real));
	*enumerator = SUCCEEDED(hr) ? new RestrictedEnumerator(real) : nullptr;
	return hr;
}

} // namespace fakewasapi
