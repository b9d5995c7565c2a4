// The machine's audio devices of one direction: display names, the persistent identifiers by
// which a backend opens them, the default device (macOS), channel count, rate and sample width.
#ifndef AUDIO_DEVICES_H
#define AUDIO_DEVICES_H

#include "CMutex.h"

#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
struct IMMDeviceEnumerator;
#endif

enum DeviceType {
	kDeviceTypeInput = 1,
	kDeviceTypeOutput = 2,
};

// One device, a plain value copied whole wherever it goes.
class CDeviceDesc {
public:
	CDeviceDesc() = default;
	CDeviceDesc(const std::string& name, const std::string& persistentID, bool isDefault, unsigned int channels,
	            double sampleRate, unsigned int bitsPerSample);

	std::string mName;         // display name, UTF-8
	std::string mPersistentID; // device UID (macOS) or endpoint id (Windows), UTF-8
	bool mIsDefault = false;   // the system default of the list's direction; never set on Windows
	uint32_t mChannels = 0;    // output channels; 0 for a device without output
	double mSampleRate = 0.0;  // Hz
	uint32_t mBitsPerSample = 0; // of the output format; 0 when not read
};

// The devices of one direction in the platform's order, behind the list's own lock.
class CDeviceDescList {
public:
	explicit CDeviceDescList(DeviceType type);
	CDeviceDescList(const CDeviceDescList& other); // copies the entries; the copy has its own lock

	// Rebuilds `list` from the platform's current devices of its direction. A failed platform
	// call only means fewer devices; the list is swapped in whole at the end. False when memory
	// ran out: the list is then left as it was.
	static bool UpdateDeviceDescList(CDeviceDescList& list);

	// The position of the first device whose name is exactly `name` (same bytes); `index` is
	// left alone when there is none.
	bool FindByName(const std::string& name, unsigned long& index) const;
	// Copies the first device flagged as default into `desc`; false, `desc` untouched, when none.
	bool GetDefaultDevice(CDeviceDesc& desc) const;
	// Replaces the entries with copies of `other`'s, under this list's lock; the type stays.
	void Assign(CDeviceDescList other);

	// Readers: a copy of one entry or of all of them, taken under the lock.
	unsigned long GetCount() const;
	bool GetDevice(unsigned long index, CDeviceDesc& desc) const;
	std::vector<CDeviceDesc> GetDevices() const;
	DeviceType GetDeviceType() const { return mDeviceType; }

#ifdef _WIN32
	// Makes the enumerator the Windows rebuild walks (COM already initialised on the thread);
	// by default the system's MMDevice enumerator. Tests hand fake endpoints in through it.
	typedef HRESULT (*EnumeratorFactory)(IMMDeviceEnumerator** enumerator);
	static EnumeratorFactory sEnumeratorFactory;
#endif

private:
	CDeviceDescList& operator=(const CDeviceDescList&) = delete;

	std::vector<CDeviceDesc> mDevices;
	DeviceType mDeviceType;
	mutable CMutex mMutex; // guards mDevices
};

#endif
