// The Windows device list walking fake MMDevice endpoints, for what wine cannot produce: capture
// and eAll endpoints, and an endpoint failing at each of its calls.
#include "AudioDevices.h"

#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>
#include <propidl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Where an endpoint fails.
enum FailAt { kNever, kItem, kGetId, kOpenStore, kQueryEndpoint, kGetDataFlow, kGetName, kActivate, kGetMixFormat };

struct Endpoint {
	const wchar_t* id;
	const wchar_t* name;
	EDataFlow flow;
	WORD channels;
	DWORD rate;
	WORD bits;
	FailAt failAt;
};

struct Scenario {
	std::vector<Endpoint> endpoints;
	bool failFactory = false, failEnumerate = false, failCount = false;
	int live = 0;       // fake COM objects not yet released to zero
	int wrongCalls = 0; // calls with arguments the rebuild should not use
} gScenario;

template <class Interface>
struct Fake : Interface {
	ULONG mRefs = 1;
	Fake() { ++gScenario.live; }
	virtual ~Fake() { --gScenario.live; }
	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
		*out = nullptr;
		return E_NOINTERFACE;
	}
	ULONG STDMETHODCALLTYPE AddRef() override { return ++mRefs; }
	ULONG STDMETHODCALLTYPE Release() override {
		ULONG left = --mRefs;
		if (left == 0)
			delete this;
		return left;
	}
};

wchar_t* CoCopy(const wchar_t* text) {
	size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
	auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
	memcpy(copy, text, bytes);
	return copy;
}

struct FakeAudioClient : Fake<IAudioClient> {
	Endpoint mEndpoint;
	explicit FakeAudioClient(const Endpoint& e) : mEndpoint(e) {}
	HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
		if (mEndpoint.failAt == kGetMixFormat)
			return AUDCLNT_E_DEVICE_INVALIDATED;
		auto* f = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
		memset(f, 0, sizeof *f);
		f->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
		f->Format.nChannels = mEndpoint.channels;
		f->Format.nSamplesPerSec = mEndpoint.rate;
		f->Format.wBitsPerSample = mEndpoint.bits;
		f->Format.nBlockAlign = WORD(mEndpoint.channels * mEndpoint.bits / 8);
		f->Format.nAvgBytesPerSec = f->Format.nBlockAlign * mEndpoint.rate;
		f->Format.cbSize = 22;
		*format = &f->Format;
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME, const WAVEFORMATEX*,
		LPCGUID) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX**) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE Start() override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE Stop() override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE GetService(REFIID, void**) override { return E_NOTIMPL; }
};

struct FakePropertyStore : Fake<IPropertyStore> {
	Endpoint mEndpoint;
	explicit FakePropertyStore(const Endpoint& e) : mEndpoint(e) {}
	HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
		PropVariantInit(value);
		if (!IsEqualPropertyKey(key, PKEY_Device_FriendlyName)) {
			++gScenario.wrongCalls;
			return E_INVALIDARG;
		}
		if (mEndpoint.failAt == kGetName)
			return E_FAIL;
		value->vt = VT_LPWSTR;
		value->pwszVal = CoCopy(mEndpoint.name);
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetCount(DWORD*) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE GetAt(DWORD, PROPERTYKEY*) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE Commit() override { return E_NOTIMPL; }
};

struct FakeEndpointFlow : Fake<IMMEndpoint> {
	Endpoint mEndpoint;
	explicit FakeEndpointFlow(const Endpoint& e) : mEndpoint(e) {}
	HRESULT STDMETHODCALLTYPE GetDataFlow(EDataFlow* flow) override {
		if (mEndpoint.failAt == kGetDataFlow)
			return E_FAIL;
		*flow = mEndpoint.flow;
		return S_OK;
	}
};

struct FakeDevice : Fake<IMMDevice> {
	Endpoint mEndpoint;
	explicit FakeDevice(const Endpoint& e) : mEndpoint(e) {}
	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
		*out = nullptr;
		if (!IsEqualIID(iid, IID_IMMEndpoint)) {
			++gScenario.wrongCalls;
			return E_NOINTERFACE;
		}
		if (mEndpoint.failAt == kQueryEndpoint)
			return E_NOINTERFACE;
		*out = static_cast<IMMEndpoint*>(new FakeEndpointFlow(mEndpoint));
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* params, void** out) override {
		*out = nullptr;
		if (!IsEqualIID(iid, IID_IAudioClient) || context != CLSCTX_ALL || params) {
			++gScenario.wrongCalls;
			return E_INVALIDARG;
		}
		if (mEndpoint.failAt == kActivate)
			return E_OUTOFMEMORY;
		*out = static_cast<IAudioClient*>(new FakeAudioClient(mEndpoint));
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** store) override {
		*store = nullptr;
		if (access != STGM_READ)
			++gScenario.wrongCalls;
		if (mEndpoint.failAt == kOpenStore)
			return E_ACCESSDENIED;
		*store = new FakePropertyStore(mEndpoint);
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
		if (mEndpoint.failAt == kGetId)
			return E_OUTOFMEMORY;
		*id = CoCopy(mEndpoint.id);
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
		*state = DEVICE_STATE_ACTIVE;
		return S_OK;
	}
};

struct FakeCollection : Fake<IMMDeviceCollection> {
	HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
		if (gScenario.failCount)
			return E_FAIL;
		*count = UINT(gScenario.endpoints.size());
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
		*device = nullptr;
		if (index >= gScenario.endpoints.size() || gScenario.endpoints[index].failAt == kItem)
			return E_INVALIDARG;
		*device = new FakeDevice(gScenario.endpoints[index]);
		return S_OK;
	}
};

struct FakeEnumerator : Fake<IMMDeviceEnumerator> {
	HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask, IMMDeviceCollection** out) override {
		*out = nullptr;
		if (flow != eAll || mask != DEVICE_STATE_ACTIVE)
			++gScenario.wrongCalls;
		if (gScenario.failEnumerate)
			return E_FAIL;
		*out = new FakeCollection;
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice**) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient*) override { return E_NOTIMPL; }
	HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient*) override { return E_NOTIMPL; }
};

HRESULT MakeFakeEnumerator(IMMDeviceEnumerator** out) {
	if (gScenario.failFactory)
		return REGDB_E_CLASSNOTREG;
	*out = new FakeEnumerator;
	return S_OK;
}

class WindowsDeviceList : public ::testing::Test {
protected:
	void SetUp() override {
		gScenario = Scenario();
		mSaved = CDeviceDescList::sEnumeratorFactory;
		CDeviceDescList::sEnumeratorFactory = MakeFakeEnumerator;
	}
	void TearDown() override {
		CDeviceDescList::sEnumeratorFactory = mSaved;
		EXPECT_EQ(gScenario.live, 0) << "a COM interface was not released";
		EXPECT_EQ(gScenario.wrongCalls, 0);
	}
	static std::vector<CDeviceDesc> Rebuilt(DeviceType type) {
		CDeviceDescList list(type);
		CDeviceDescList::UpdateDeviceDescList(list);
		return list.GetDevices();
	}
	CDeviceDescList::EnumeratorFactory mSaved = nullptr;
};

const Endpoint kSpeakers{L"{0.0.0.00000000}.{speakers}", L"Speakers", eRender, 2, 48000, 32, kNever};
const Endpoint kMicrophone{L"{0.0.1.00000000}.{mic}", L"Microphone", eCapture, 1, 44100, 16, kNever};
const Endpoint kBoth{L"{0.0.2.00000000}.{both}", L"M\u00fcller \u03a9", eAll, 6, 96000, 24, kNever};

TEST_F(WindowsDeviceList, DataFlowDecidesWhichListAnEndpointJoins) {
	gScenario.endpoints = {kSpeakers, kMicrophone, kBoth};
	std::vector<CDeviceDesc> outputs = Rebuilt(kDeviceTypeOutput);
	ASSERT_EQ(outputs.size(), 2u);
	EXPECT_EQ(outputs[0].mName, "Speakers");
	EXPECT_EQ(outputs[0].mPersistentID, "{0.0.0.00000000}.{speakers}");
	EXPECT_EQ(outputs[0].mChannels, 2u);
	EXPECT_EQ(outputs[0].mSampleRate, 48000.0);
	EXPECT_EQ(outputs[0].mBitsPerSample, 32u);
	EXPECT_EQ(outputs[1].mName, "M\xC3\xBCller \xCE\xA9") << "UTF-8 of the wide name";
	EXPECT_EQ(outputs[1].mChannels, 6u);
	EXPECT_EQ(outputs[1].mBitsPerSample, 24u);

	std::vector<CDeviceDesc> inputs = Rebuilt(kDeviceTypeInput);
	ASSERT_EQ(inputs.size(), 2u);
	EXPECT_EQ(inputs[0].mName, "Microphone");
	EXPECT_EQ(inputs[0].mChannels, 0u) << "channels count outputs only";
	EXPECT_EQ(inputs[1].mPersistentID, "{0.0.2.00000000}.{both}");

	for (const CDeviceDesc& d : outputs)
		EXPECT_FALSE(d.mIsDefault);
	CDeviceDescList list(kDeviceTypeOutput);
	CDeviceDescList::UpdateDeviceDescList(list);
	CDeviceDesc none;
	EXPECT_FALSE(list.GetDefaultDevice(none)) << "Windows lists have no default";
	unsigned long index = 7;
	EXPECT_TRUE(list.FindByName("M\xC3\xBCller \xCE\xA9", index));
	EXPECT_EQ(index, 1u);
}

TEST_F(WindowsDeviceList, AFailingEndpointEndsTheEnumerationKeepingThoseBefore) {
	for (FailAt failAt : {kItem, kGetId, kOpenStore, kQueryEndpoint, kGetDataFlow, kGetName, kActivate, kGetMixFormat}) {
		Endpoint broken = kSpeakers;
		broken.name = L"Broken";
		broken.failAt = failAt;
		gScenario.endpoints = {kSpeakers, kMicrophone, broken, kBoth};
		std::vector<CDeviceDesc> outputs = Rebuilt(kDeviceTypeOutput);
		ASSERT_EQ(outputs.size(), 1u) << "failing at step " << failAt;
		EXPECT_EQ(outputs[0].mName, "Speakers");
		EXPECT_EQ(gScenario.live, 0) << "failing at step " << failAt;
	}
}

TEST_F(WindowsDeviceList, NoEnumeratorNoCollectionOrNoCountGivesAnEmptyList) {
	gScenario.endpoints = {kSpeakers};
	for (int which = 0; which < 4; ++which) {
		gScenario.failFactory = which == 0;
		gScenario.failEnumerate = which == 1;
		gScenario.failCount = which == 2;
		if (which == 3)
			gScenario.endpoints.clear();
		EXPECT_TRUE(Rebuilt(kDeviceTypeOutput).empty()) << which;
	}
}

TEST_F(WindowsDeviceList, ARebuildReplacesTheListWholeAndDuplicatesKeepTheirOrder) {
	Endpoint twin = kSpeakers;
	twin.id = L"{twin}";
	gScenario.endpoints = {kSpeakers, twin};
	CDeviceDescList list(kDeviceTypeOutput);
	CDeviceDescList::UpdateDeviceDescList(list);
	unsigned long index = 9;
	ASSERT_TRUE(list.FindByName("Speakers", index));
	EXPECT_EQ(index, 0u) << "the first of two equal names";
	gScenario.failFactory = true;
	CDeviceDescList::UpdateDeviceDescList(list);
	EXPECT_EQ(list.GetCount(), 0u);
}

} // namespace
