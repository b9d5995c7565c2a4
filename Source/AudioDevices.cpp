// The device list, and its rebuild from CoreAudio (macOS) or the MMDevice API (Windows).
#include "AudioDevices.h"

#ifdef _WIN32
#include <initguid.h>
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>
#include <propidl.h>
#else
#include <CoreAudio/CoreAudio.h>
#endif

#include <cstdlib>
#include <new>

CDeviceDesc::CDeviceDesc(const std::string& name, const std::string& persistentID, bool isDefault, unsigned int channels,
                         double sampleRate, unsigned int bitsPerSample)
	: mName(name), mPersistentID(persistentID), mIsDefault(isDefault), mChannels(channels), mSampleRate(sampleRate),
	  mBitsPerSample(bitsPerSample) {}

CDeviceDescList::CDeviceDescList(DeviceType type) : mDeviceType(type) {}

CDeviceDescList::CDeviceDescList(const CDeviceDescList& other) : mDevices(other.GetDevices()), mDeviceType(other.mDeviceType) {}

bool CDeviceDescList::FindByName(const std::string& name, unsigned long& index) const {
	CMutexLocker lock(mMutex);
	for (unsigned long i = 0; i < mDevices.size(); ++i) {
		if (mDevices[i].mName == name) {
			index = i;
			return true;
		}
	}
	return false;
}

bool CDeviceDescList::GetDefaultDevice(CDeviceDesc& desc) const {
	CMutexLocker lock(mMutex);
	for (const CDeviceDesc& device : mDevices) {
		if (device.mIsDefault) {
			desc = device;
			return true;
		}
	}
	return false;
}

void CDeviceDescList::Assign(CDeviceDescList other) {
	CMutexLocker lock(mMutex);
	mDevices.swap(other.mDevices);
}

namespace {
// The copy Assign takes may fail for want of memory; the list then keeps what it had.
bool AssignQuietly(CDeviceDescList& list, const CDeviceDescList& fresh) {
	try {
		list.Assign(fresh);
		return true;
	} catch (...) {
		return false;
	}
}
} // namespace

unsigned long CDeviceDescList::GetCount() const {
	CMutexLocker lock(mMutex);
	return mDevices.size();
}

bool CDeviceDescList::GetDevice(unsigned long index, CDeviceDesc& desc) const {
	CMutexLocker lock(mMutex);
	if (index >= mDevices.size())
		return false;
	desc = mDevices[index];
	return true;
}

std::vector<CDeviceDesc> CDeviceDescList::GetDevices() const {
	CMutexLocker lock(mMutex);
	return mDevices;
}

#ifndef _WIN32

namespace {

AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector, AudioObjectPropertyScope scope) {
	return AudioObjectPropertyAddress{selector, scope, kAudioObjectPropertyElementMain};
}

AudioObjectID ReadDefaultDevice(AudioObjectPropertySelector selector) {
	AudioObjectPropertyAddress address = Address(selector, kAudioObjectPropertyScopeGlobal);
	AudioObjectID id = 0;
	UInt32 size = sizeof(id);
	if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &id) != 0)
		id = 0;
	return id;
}

// The stream configuration of one scope: false when it cannot be read. `channels` is the first
// stream's channel count (0 without streams).
bool ReadStreamConfiguration(AudioObjectID device, AudioObjectPropertyScope scope, UInt32& streams, UInt32& channels) {
	AudioObjectPropertyAddress address = Address(kAudioDevicePropertyStreamConfiguration, scope);
	UInt32 size = 0;
	if (AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) != 0 || size < sizeof(UInt32))
		return false;
	AudioBufferList* list = static_cast<AudioBufferList*>(std::malloc(size));
	if (!list)
		return false;
	bool read = AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, list) == 0 && size >= sizeof(UInt32);
	if (read) {
		streams = list->mNumberBuffers;
		// The first stream's record must lie inside what was returned.
		if (streams == 0)
			channels = 0;
		else if (size >= offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer))
			channels = list->mBuffers[0].mNumberChannels;
		else
			read = false;
	}
	std::free(list);
	return read;
}

UInt32 ReadOutputBits(AudioObjectID device) {
	AudioObjectPropertyAddress address = Address(kAudioDevicePropertyStreamFormat, kAudioDevicePropertyScopeOutput);
	UInt32 size = 0;
	if (AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) != 0 || size != sizeof(AudioStreamBasicDescription))
		return 0;
	AudioStreamBasicDescription format{};
	if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &format) != 0)
		return 0;
	return format.mBitsPerChannel;
}

// A CFString property; the caller releases what it gets.
CFStringRef ReadString(AudioObjectID device, AudioObjectPropertySelector selector) {
	AudioObjectPropertyAddress address = Address(selector, kAudioObjectPropertyScopeGlobal);
	CFStringRef text = nullptr;
	UInt32 size = sizeof(text);
	if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &text) != 0)
		return nullptr;
	return text;
}

// UTF-8 through a 1024-byte buffer. A text that does not fit (or does not convert) is not
// used at all: a cut UID would open nothing, and a buffer left without its NUL is not text.
bool ToUTF8(CFStringRef text, std::string& out) {
	char buffer[1024];
	if (!CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8))
		return false;
	out = buffer;
	return true;
}

// One device of the array, or false when it does not belong in the list.
bool DescribeDevice(AudioObjectID id, DeviceType type, AudioObjectID defaultInput, AudioObjectID defaultOutput,
                    CDeviceDesc& desc) {
	bool isDefault = false;
	UInt32 streams = 0, channels = 0, bits = 0;
	if (type & kDeviceTypeInput) {
		isDefault = id == defaultInput;
		UInt32 inputStreams = 0, inputChannels = 0;
		if (ReadStreamConfiguration(id, kAudioDevicePropertyScopeInput, inputStreams, inputChannels))
			streams = inputStreams;
	}
	if (type & kDeviceTypeOutput) {
		isDefault = isDefault || id == defaultOutput;
		UInt32 outputStreams = 0, outputChannels = 0;
		if (ReadStreamConfiguration(id, kAudioDevicePropertyScopeOutput, outputStreams, outputChannels)) {
			streams = outputStreams;
			channels = outputChannels;
		}
		bits = ReadOutputBits(id);
	}
	if (streams + channels == 0)
		return false;

	CFStringRef name = ReadString(id, kAudioObjectPropertyName);
	CFStringRef uid = name ? ReadString(id, kAudioDevicePropertyDeviceUID) : nullptr;
	Float64 rate = 0;
	bool complete = name && uid;
	if (complete) {
		AudioObjectPropertyAddress address = Address(kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal);
		UInt32 size = sizeof(rate);
		complete = AudioObjectGetPropertyData(id, &address, 0, nullptr, &size, &rate) == 0;
	}
	bool failed = false;
	try {
		std::string nameText, uidText;
		complete = complete && ToUTF8(name, nameText) && ToUTF8(uid, uidText);
		if (complete)
			desc = CDeviceDesc(nameText, uidText, isDefault, channels, rate, bits);
	} catch (...) {
		failed = true; // out of memory: rethrown once both strings are released
	}
	if (name)
		CFRelease(name);
	if (uid)
		CFRelease(uid);
	if (failed)
		throw std::bad_alloc();
	return complete;
}

} // namespace

bool CDeviceDescList::UpdateDeviceDescList(CDeviceDescList& list) {
	CDeviceDescList fresh(list.mDeviceType);
	const AudioObjectID defaultInput = ReadDefaultDevice(kAudioHardwarePropertyDefaultInputDevice);
	const AudioObjectID defaultOutput = ReadDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice);

	AudioObjectPropertyAddress address = Address(kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal);
	UInt32 size = 0;
	if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size) != 0)
		size = 0;
	UInt32 count = size / sizeof(AudioObjectID);
	AudioObjectID* ids = count ? new (std::nothrow) AudioObjectID[count] : nullptr;
	if (ids) {
		size = count * UInt32(sizeof(AudioObjectID));
		if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, ids) != 0)
			size = 0;
		// The system may hand back fewer devices than it announced.
		UInt32 returned = size / sizeof(AudioObjectID);
		bool complete = true;
		try {
			for (UInt32 i = 0; i < returned && i < count; ++i) {
				CDeviceDesc desc;
				if (DescribeDevice(ids[i], list.mDeviceType, defaultInput, defaultOutput, desc))
					fresh.mDevices.push_back(desc);
			}
		} catch (...) {
			complete = false; // out of memory: the list keeps what it had
		}
		delete[] ids;
		if (!complete)
			return false;
	}
	return AssignQuietly(list, fresh);
}

#else // _WIN32

namespace {

HRESULT CreateSystemEnumerator(IMMDeviceEnumerator** enumerator) {
	return CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_IMMDeviceEnumerator,
	                        reinterpret_cast<void**>(enumerator));
}

std::string ToUTF8(const wchar_t* text) {
	if (!text)
		return std::string();
	int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
	if (length <= 0)
		return std::string();
	std::string buffer(size_t(length) + 8, '\0');
	if (WideCharToMultiByte(CP_UTF8, 0, text, -1, &buffer[0], length + 8, nullptr, nullptr) != length)
		return std::string();
	buffer.resize(size_t(length) - 1); // without the terminator the length counted
	return buffer;
}

template <class T>
void SafeRelease(T*& object) {
	if (object) {
		object->Release();
		object = nullptr;
	}
}

// Reads one endpoint; false when any of its calls fails, which ends the enumeration.
bool ReadEndpoint(IMMDevice* device, DeviceType type, std::vector<CDeviceDesc>& out) {
	LPWSTR id = nullptr;
	IPropertyStore* store = nullptr;
	IMMEndpoint* endpoint = nullptr;
	IAudioClient* client = nullptr;
	WAVEFORMATEX* format = nullptr;
	PROPVARIANT name;
	PropVariantInit(&name);
	EDataFlow flow = eRender;
	bool failed = false;

	bool ok = SUCCEEDED(device->GetId(&id)) && SUCCEEDED(device->OpenPropertyStore(STGM_READ, &store))
		&& SUCCEEDED(device->QueryInterface(IID_IMMEndpoint, reinterpret_cast<void**>(&endpoint)))
		&& SUCCEEDED(endpoint->GetDataFlow(&flow)) && SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &name))
		&& SUCCEEDED(device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client)))
		&& SUCCEEDED(client->GetMixFormat(&format)) && format;
	if (ok) {
		const bool render = flow == eRender || flow == eAll;
		const bool capture = flow == eCapture || flow == eAll;
		if ((capture && type == kDeviceTypeInput) || (render && type == kDeviceTypeOutput)) {
			// A name that is not a wide string reads as empty.
			const wchar_t* friendly = name.vt == VT_LPWSTR ? name.pwszVal : nullptr;
			try {
				out.push_back(CDeviceDesc(ToUTF8(friendly), ToUTF8(id), false, render ? format->nChannels : 0,
				                          double(format->nSamplesPerSec), format->wBitsPerSample));
			} catch (...) {
				failed = true; // out of memory: rethrown once every object is released
			}
		}
	}
	if (format)
		CoTaskMemFree(format);
	PropVariantClear(&name);
	SafeRelease(client);
	SafeRelease(endpoint);
	SafeRelease(store);
	if (id)
		CoTaskMemFree(id);
	if (failed)
		throw std::bad_alloc();
	return ok;
}

} // namespace

CDeviceDescList::EnumeratorFactory CDeviceDescList::sEnumeratorFactory = CreateSystemEnumerator;

bool CDeviceDescList::UpdateDeviceDescList(CDeviceDescList& list) {
	CDeviceDescList fresh(list.mDeviceType);
	const HRESULT init = CoInitialize(nullptr);
	IMMDeviceEnumerator* enumerator = nullptr;
	IMMDeviceCollection* collection = nullptr;
	UINT count = 0;
	bool complete = true;
	if (sEnumeratorFactory && SUCCEEDED(sEnumeratorFactory(&enumerator)) && enumerator
		&& SUCCEEDED(enumerator->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, &collection)) && collection
		&& SUCCEEDED(collection->GetCount(&count))) {
		for (UINT i = 0; i < count; ++i) {
			IMMDevice* device = nullptr;
			bool ok = false;
			try {
				ok = SUCCEEDED(collection->Item(i, &device)) && device
					&& ReadEndpoint(device, list.mDeviceType, fresh.mDevices);
			} catch (...) {
				complete = false; // out of memory: the list keeps what it had
			}
			SafeRelease(device);
			if (!ok)
				break;
		}
	}
	SafeRelease(collection);
	SafeRelease(enumerator);
	if (init == S_OK || init == S_FALSE)
		CoUninitialize();
	return complete && AssignQuietly(list, fresh);
}

#endif
