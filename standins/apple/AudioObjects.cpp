// The audio object properties of the system object and the devices, over a device table that
// a test, a table file or the default machine provides.
#include "StandinCore.h"
#include "AudioObjects.h"
#include "Listeners.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

using namespace apple_standin;

namespace {

struct PropertyFault {
	AudioObjectID object;
	AudioObjectPropertySelector selector;
	AudioObjectPropertyScope scope;
	int calls;
	OSStatus status;
	int times;
};

struct SizeOverride {
	AudioObjectID object;
	AudioObjectPropertySelector selector;
	AudioObjectPropertyScope scope;
	UInt32 size;
};

struct Machine {
	std::mutex lock;
	bool loaded = false;
	std::vector<DeviceRecord> devices; // in table order, removed ones included
	AudioObjectID nextID = kAppleStandinFirstDeviceID;
	std::vector<PropertyFault> faults;
	std::vector<SizeOverride> sizes;
};

Machine& TheMachine() {
	static Machine* sMachine = new Machine;
	return *sMachine;
}

std::string Trim(const std::string& text) {
	size_t first = text.find_first_not_of(" \t\r\n");
	if (first == std::string::npos)
		return "";
	size_t last = text.find_last_not_of(" \t\r\n");
	return text.substr(first, last - first + 1);
}

// "SxC": S streams of C channels each; "-" or "0": none.
void ParseStreams(const std::string& text, UInt32* streams, UInt32* channels) {
	*streams = 0;
	*channels = 0;
	size_t x = text.find('x');
	if (x == std::string::npos)
		return;
	*streams = UInt32(std::strtoul(text.substr(0, x).c_str(), nullptr, 10));
	*channels = UInt32(std::strtoul(text.substr(x + 1).c_str(), nullptr, 10));
}

// One device a line: name | uid | inputs | outputs | nominal rate | output bits | defaults
std::vector<DeviceRecord> ReadTableFile(const char* path) {
	std::vector<DeviceRecord> devices;
	std::ifstream file(path);
	if (!file) {
		std::fprintf(stderr, "apple stand-in: cannot read the device table %s; the machine has no devices\n", path);
		return devices;
	}
	std::string line;
	while (std::getline(file, line)) {
		if (Trim(line).empty() || Trim(line)[0] == '#')
			continue;
		std::vector<std::string> fields;
		size_t start = 0;
		for (;;) {
			size_t bar = line.find('|', start);
			fields.push_back(Trim(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start)));
			if (bar == std::string::npos)
				break;
			start = bar + 1;
		}
		if (fields.size() < 7) {
			std::fprintf(stderr, "apple stand-in: %s: skipping a line without seven fields: %s\n", path, line.c_str());
			continue;
		}
		DeviceRecord device;
		device.name = fields[0];
		device.uid = fields[1];
		ParseStreams(fields[2], &device.inputStreams, &device.inputChannels);
		ParseStreams(fields[3], &device.outputStreams, &device.outputChannels);
		device.nominalRate = std::strtod(fields[4].c_str(), nullptr);
		device.outputBits = UInt32(std::strtoul(fields[5].c_str(), nullptr, 10));
		device.isDefaultInput = fields[6].find("input") != std::string::npos;
		device.isDefaultOutput = fields[6].find("output") != std::string::npos;
		devices.push_back(device);
	}
	return devices;
}

std::vector<DeviceRecord> DefaultMachine() {
	std::vector<DeviceRecord> devices(2);
	devices[0].name = "Built-in Output";
	devices[0].uid = "BuiltInOutput";
	devices[0].outputStreams = 1;
	devices[0].outputChannels = 2;
	devices[0].isDefaultOutput = true;
	devices[1].name = "Studio Interface";
	devices[1].uid = "StudioInterface";
	devices[1].outputStreams = 1;
	devices[1].outputChannels = 6;
	devices[1].inputStreams = 1;
	devices[1].inputChannels = 2;
	return devices;
}

// With the machine locked: a new table, with object ids handed out in table order.
void SetTable(Machine& machine, std::vector<DeviceRecord> devices) {
	machine.devices.swap(devices);
	machine.nextID = kAppleStandinFirstDeviceID;
	for (DeviceRecord& device : machine.devices)
		device.id = machine.nextID++;
	machine.loaded = true;
	DropObjectListeners(kAudioObjectUnknown); // the old device objects are gone
}

// With the machine locked: the table (removed devices included), loaded on first use.
std::vector<DeviceRecord>& Devices(Machine& machine) {
	if (!machine.loaded) {
		const char* file = std::getenv("APPLE_STANDIN_DEVICES");
		SetTable(machine, file && *file ? ReadTableFile(file) : DefaultMachine());
	}
	return machine.devices;
}

// With the machine locked: the listed device with this object id, or, with `alive` false, the
// removed device that left this object behind; null for an unknown object.
const DeviceRecord* FindDevice(Machine& machine, AudioObjectID id, bool* alive) {
	for (const DeviceRecord& device : Devices(machine)) {
		if (device.present && device.id == id) {
			*alive = true;
			return &device;
		}
		if (!device.present && device.goneID == id) {
			*alive = false;
			return &device;
		}
	}
	return nullptr;
}

// With the machine locked: the object id of the default device of a direction, or unknown.
AudioObjectID DefaultID(Machine& machine, bool output) {
	for (const DeviceRecord& device : Devices(machine))
		if (device.present && (output ? device.isDefaultOutput : device.isDefaultInput))
			return device.id;
	return kAudioObjectUnknown;
}

// With the machine locked: when no listed device is the default of a direction any more, the
// first listed device of that direction stands in until the default comes back.
void PromoteDefault(Machine& machine, bool output) {
	if (DefaultID(machine, output) != kAudioObjectUnknown)
		return;
	for (DeviceRecord& device : Devices(machine)) {
		if (device.present && (output ? device.outputStreams : device.inputStreams) > 0) {
			(output ? device.isDefaultOutput : device.isDefaultInput) = true;
			(output ? device.promotedOutput : device.promotedInput) = true;
			return;
		}
	}
}

// With the machine locked: a default that came back takes its place from the stand-in.
void DemoteStandIns(Machine& machine, bool output) {
	for (DeviceRecord& device : Devices(machine)) {
		bool& promoted = output ? device.promotedOutput : device.promotedInput;
		if (promoted) {
			promoted = false;
			(output ? device.isDefaultOutput : device.isDefaultInput) = false;
		}
	}
}

// With the machine locked: an injected failure of this call, if any.
bool Injected(Machine& machine, AudioObjectID object, const AudioObjectPropertyAddress& address, int call, OSStatus* status) {
	for (PropertyFault& fault : machine.faults) {
		if ((fault.object != kAudioObjectUnknown && fault.object != object) || fault.selector != address.mSelector
			|| fault.scope != address.mScope || !(fault.calls & call) || fault.times == 0)
			continue;
		if (fault.times > 0)
			--fault.times;
		*status = fault.status;
		return true;
	}
	return false;
}

bool SizeOverridden(Machine& machine, AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32* size) {
	for (const SizeOverride& entry : machine.sizes) {
		if ((entry.object == kAudioObjectUnknown || entry.object == object) && entry.selector == address.mSelector
			&& entry.scope == address.mScope) {
			*size = entry.size;
			return true;
		}
	}
	return false;
}

UInt32 BufferListSize(UInt32 buffers) {
	return UInt32(offsetof(AudioBufferList, mBuffers) + buffers * sizeof(AudioBuffer));
}

AudioStreamBasicDescription OutputFormat(const DeviceRecord& device) {
	AudioStreamBasicDescription format{};
	UInt32 bits = device.outputBits;
	format.mSampleRate = device.nominalRate;
	format.mFormatID = kAudioFormatLinearPCM;
	format.mFormatFlags = (bits == 32 ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsPacked;
	format.mBytesPerFrame = bits / 8 * device.outputChannels;
	format.mBytesPerPacket = format.mBytesPerFrame;
	format.mFramesPerPacket = 1;
	format.mChannelsPerFrame = device.outputChannels;
	format.mBitsPerChannel = bits;
	return format;
}

// The property's value: its size in `size`, and, when `out` is not null, the value itself
// written into at most `capacity` bytes. Strings are made only when asked for (the caller
// owns them).
OSStatus Property(Machine& machine, AudioObjectID object, const AudioObjectPropertyAddress& address,
	UInt32* size, void* out, UInt32 capacity) {
	const UInt32 selector = address.mSelector;
	const UInt32 scope = address.mScope;
	if (object == kAudioObjectSystemObject) {
		if (scope != kAudioObjectPropertyScopeGlobal)
			return kAudioHardwareUnknownPropertyError;
		if (selector == kAudioHardwarePropertyDevices) {
			std::vector<AudioObjectID> listed;
			for (const DeviceRecord& device : Devices(machine))
				if (device.present)
					listed.push_back(device.id);
			*size = UInt32(listed.size() * sizeof(AudioObjectID));
			if (out) {
				UInt32 count = capacity / sizeof(AudioObjectID);
				if (count > listed.size())
					count = UInt32(listed.size());
				for (UInt32 i = 0; i < count; ++i)
					static_cast<AudioObjectID*>(out)[i] = listed[i];
				*size = count * UInt32(sizeof(AudioObjectID));
			}
			return kAudioHardwareNoError;
		}
		if (selector == kAudioHardwarePropertyDefaultInputDevice || selector == kAudioHardwarePropertyDefaultOutputDevice) {
			*size = sizeof(AudioObjectID);
			if (out) {
				if (capacity < sizeof(AudioObjectID))
					return kAudioHardwareBadPropertySizeError;
				*static_cast<AudioObjectID*>(out) = DefaultID(machine, selector == kAudioHardwarePropertyDefaultOutputDevice);
			}
			return kAudioHardwareNoError;
		}
		return kAudioHardwareUnknownPropertyError;
	}

	bool alive = false;
	const DeviceRecord* device = FindDevice(machine, object, &alive);
	if (!device)
		return kAudioHardwareBadObjectError;
	if (selector == kAudioDevicePropertyDeviceIsAlive && scope == kAudioObjectPropertyScopeGlobal) {
		*size = sizeof(UInt32);
		if (out) {
			if (capacity < sizeof(UInt32))
				return kAudioHardwareBadPropertySizeError;
			*static_cast<UInt32*>(out) = alive ? 1 : 0;
		}
		return kAudioHardwareNoError;
	}
	// What a removed device left behind only says that it is not alive.
	if (!alive)
		return kAudioHardwareBadObjectError;
	const bool input = scope == kAudioDevicePropertyScopeInput;
	const bool output = scope == kAudioDevicePropertyScopeOutput;
	if (selector == kAudioDevicePropertyStreamConfiguration && (input || output)) {
		UInt32 buffers = input ? device->inputStreams : device->outputStreams;
		*size = BufferListSize(buffers);
		if (out) {
			if (capacity < *size)
				return kAudioHardwareBadPropertySizeError;
			auto* list = static_cast<AudioBufferList*>(out);
			list->mNumberBuffers = buffers;
			for (UInt32 i = 0; i < buffers; ++i)
				list->mBuffers[i] = AudioBuffer{input ? device->inputChannels : device->outputChannels, 0, nullptr};
		}
		return kAudioHardwareNoError;
	}
	if (selector == kAudioDevicePropertyStreamFormat && output && device->outputStreams > 0) {
		*size = sizeof(AudioStreamBasicDescription);
		if (out) {
			if (capacity < sizeof(AudioStreamBasicDescription))
				return kAudioHardwareBadPropertySizeError;
			*static_cast<AudioStreamBasicDescription*>(out) = OutputFormat(*device);
		}
		return kAudioHardwareNoError;
	}
	if (scope != kAudioObjectPropertyScopeGlobal)
		return kAudioHardwareUnknownPropertyError;
	if (selector == kAudioObjectPropertyName || selector == kAudioDevicePropertyDeviceUID) {
		const bool known = selector == kAudioObjectPropertyName ? device->hasName : device->hasUID;
		if (!known)
			return kAudioHardwareUnknownPropertyError;
		*size = sizeof(CFStringRef);
		if (out) {
			if (capacity < sizeof(CFStringRef))
				return kAudioHardwareBadPropertySizeError;
			*static_cast<CFStringRef*>(out) = NewCFString(selector == kAudioObjectPropertyName ? device->name : device->uid);
		}
		return kAudioHardwareNoError;
	}
	if (selector == kAudioDevicePropertyNominalSampleRate) {
		*size = sizeof(Float64);
		if (out) {
			if (capacity < sizeof(Float64))
				return kAudioHardwareBadPropertySizeError;
			*static_cast<Float64*>(out) = device->nominalRate;
		}
		return kAudioHardwareNoError;
	}
	return kAudioHardwareUnknownPropertyError;
}

} // namespace

namespace apple_standin {

std::vector<DeviceRecord> CurrentDevices() {
	Machine& machine = TheMachine();
	std::lock_guard<std::mutex> guard(machine.lock);
	std::vector<DeviceRecord> listed;
	for (const DeviceRecord& device : Devices(machine))
		if (device.present)
			listed.push_back(device);
	return listed;
}

std::string DefaultOutputUID() {
	for (const DeviceRecord& device : CurrentDevices())
		if (device.isDefaultOutput && device.outputStreams > 0)
			return device.uid;
	return "";
}

} // namespace apple_standin

namespace {

// Where a listener may be registered: the system object, or a device that is there.
OSStatus CanListen(AudioObjectID object, const AudioObjectPropertyAddress& address) {
	Machine& machine = TheMachine();
	std::lock_guard<std::mutex> guard(machine.lock);
	bool alive = true;
	if (object != kAudioObjectSystemObject && (!FindDevice(machine, object, &alive) || !alive))
		return kAudioHardwareBadObjectError; // a removed device takes no new listeners
	// Only properties the object has can be listened to.
	UInt32 size = 0;
	return Property(machine, object, address, &size, nullptr, 0);
}

// Whether an object whose listener is removed is gone: the system object never is; a device's
// listeners go with it once it is out of the table (a removed device that is still listed keeps
// them).
bool ListenedObjectGone(AudioObjectID object) {
	if (object == kAudioObjectSystemObject)
		return false;
	Machine& machine = TheMachine();
	std::lock_guard<std::mutex> guard(machine.lock);
	bool alive = true;
	return !FindDevice(machine, object, &alive);
}

} // namespace

extern "C" {

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
	UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* outDataSize) {
	CountCall("AudioObjectGetPropertyDataSize");
	PassGate("property reads"); // a busy audio system may take its time
	(void)inQualifierDataSize;
	(void)inQualifierData;
	if (!inAddress || !outDataSize)
		return kAudioHardwareIllegalOperationError;
	Machine& machine = TheMachine();
	std::lock_guard<std::mutex> guard(machine.lock);
	OSStatus status;
	if (Injected(machine, inObjectID, *inAddress, kAppleStandinSizeQuery, &status))
		return status;
	UInt32 size = 0;
	status = Property(machine, inObjectID, *inAddress, &size, nullptr, 0);
	if (status != kAudioHardwareNoError)
		return status;
	SizeOverridden(machine, inObjectID, *inAddress, &size);
	*outDataSize = size;
	return kAudioHardwareNoError;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
	UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize, void* outData) {
	CountCall("AudioObjectGetPropertyData");
	PassGate("property reads"); // a busy audio system may take its time
	(void)inQualifierDataSize;
	(void)inQualifierData;
	if (!inAddress || !ioDataSize || !outData)
		return kAudioHardwareIllegalOperationError;
	Machine& machine = TheMachine();
	std::lock_guard<std::mutex> guard(machine.lock);
	OSStatus status;
	if (Injected(machine, inObjectID, *inAddress, kAppleStandinDataRead, &status))
		return status;
	UInt32 size = 0;
	status = Property(machine, inObjectID, *inAddress, &size, outData, *ioDataSize);
	if (status == kAudioHardwareNoError)
		*ioDataSize = size;
	return status;
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
	AudioObjectPropertyListenerProc inListener, void* inClientData) {
	OSStatus injected;
	if (CountCall("AudioObjectAddPropertyListener", &injected))
		return injected;
	if (!inAddress || !inListener)
		return kAudioHardwareIllegalOperationError;
	const OSStatus status = CanListen(inObjectID, *inAddress);
	if (status != kAudioHardwareNoError)
		return status;
	AddObjectListener(inObjectID, *inAddress, inListener, inClientData);
	return kAudioHardwareNoError;
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
	AudioObjectPropertyListenerProc inListener, void* inClientData) {
	OSStatus injected;
	if (CountCall("AudioObjectRemovePropertyListener", &injected))
		return injected;
	if (!inAddress || !inListener)
		return kAudioHardwareIllegalOperationError;
	if (ListenedObjectGone(inObjectID))
		return kAudioHardwareBadObjectError; // its listeners went with it
	// Stops the calls of changes not yet delivered; a call under way goes on.
	if (!RemoveObjectListener(inObjectID, *inAddress, inListener, inClientData))
		return kAudioHardwareUnknownPropertyError;
	return kAudioHardwareNoError;
}

OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
	dispatch_queue_t inDispatchQueue, AudioObjectPropertyListenerBlock inListener) {
	OSStatus injected;
	if (CountCall("AudioObjectAddPropertyListenerBlock", &injected))
		return injected;
	if (!inAddress || !inListener || !inDispatchQueue)
		return kAudioHardwareIllegalOperationError;
	const OSStatus status = CanListen(inObjectID, *inAddress);
	if (status != kAudioHardwareNoError)
		return status;
	AddObjectListenerBlock(inObjectID, *inAddress, inDispatchQueue, inListener);
	return kAudioHardwareNoError;
}

OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
	dispatch_queue_t inDispatchQueue, AudioObjectPropertyListenerBlock inListener) {
	OSStatus injected;
	if (CountCall("AudioObjectRemovePropertyListenerBlock", &injected))
		return injected;
	if (!inAddress || !inListener || !inDispatchQueue)
		return kAudioHardwareIllegalOperationError;
	if (ListenedObjectGone(inObjectID))
		return kAudioHardwareBadObjectError; // its listeners went with it
	// A call already submitted to the queue still runs there, after this returns.
	if (!RemoveObjectListenerBlock(inObjectID, *inAddress, inDispatchQueue, inListener))
		return kAudioHardwareUnknownPropertyError;
	return kAudioHardwareNoError;
}

} // extern "C"

APPLE_STANDIN_EXPORT void apple_standin_set_devices(const AppleStandinDevice* devices, int count) {
	std::vector<DeviceRecord> table;
	for (int i = 0; i < count; ++i) {
		const AppleStandinDevice& in = devices[i];
		DeviceRecord device;
		device.hasName = in.name != nullptr;
		device.hasUID = in.uid != nullptr;
		device.name = in.name ? in.name : "";
		device.uid = in.uid ? in.uid : "";
		device.inputStreams = in.inputStreams;
		device.inputChannels = in.inputChannels;
		device.outputStreams = in.outputStreams;
		device.outputChannels = in.outputChannels;
		device.nominalRate = in.nominalRate;
		device.outputBits = in.outputBits;
		device.isDefaultInput = in.isDefaultInput != 0;
		device.isDefaultOutput = in.isDefaultOutput != 0;
		table.push_back(device);
	}
	Machine& machine = TheMachine();
	std::lock_guard<std::mutex> guard(machine.lock);
	SetTable(machine, std::move(table));
	PostObjectChange(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
}

APPLE_STANDIN_EXPORT void apple_standin_reset_devices(void) {
	Machine& machine = TheMachine();
	std::lock_guard<std::mutex> guard(machine.lock);
	machine.devices.clear();
	machine.loaded = false;
	DropObjectListeners(kAudioObjectUnknown);
	PostObjectChange(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
}

APPLE_STANDIN_EXPORT int apple_standin_device_count(void) {
	Machine& machine = TheMachine();
	std::lock_guard<std::mutex> guard(machine.lock);
	int count = 0;
	for (const DeviceRecord& device : Devices(machine))
		count += device.present ? 1 : 0;
	return count;
}

APPLE_STANDIN_EXPORT AudioObjectID apple_standin_device_id(int index) {
	Machine& machine = TheMachine();
	std::lock_guard<std::mutex> guard(machine.lock);
	for (const DeviceRecord& device : Devices(machine))
		if (device.present && index-- == 0)
			return device.id;
	return kAudioObjectUnknown;
}

APPLE_STANDIN_EXPORT int apple_standin_remove_device(const char* uid) {
	if (!uid)
		return 0;
	Machine& machine = TheMachine();
	std::vector<AudioObjectID> gone;
	AudioObjectID defaultInput, defaultOutput;
	bool inputChanged, outputChanged;
	{
		std::lock_guard<std::mutex> guard(machine.lock);
		defaultInput = DefaultID(machine, false);
		defaultOutput = DefaultID(machine, true);
		for (DeviceRecord& device : Devices(machine)) {
			if (!device.present || !device.hasUID || device.uid != uid)
				continue;
			device.present = false;
			device.goneID = device.id;
			device.id = kAudioObjectUnknown;
			gone.push_back(device.goneID);
			// A stand-in default that goes is no default when it comes back.
			if (device.promotedInput)
				device.isDefaultInput = device.promotedInput = false;
			if (device.promotedOutput)
				device.isDefaultOutput = device.promotedOutput = false;
		}
		PromoteDefault(machine, false);
		PromoteDefault(machine, true);
		inputChanged = DefaultID(machine, false) != defaultInput;
		outputChanged = DefaultID(machine, true) != defaultOutput;
	}
	if (gone.empty())
		return 0;
	StopQueuesOfLostDevice(uid);
	for (AudioObjectID id : gone)
		PostObjectChange(id, kAudioDevicePropertyDeviceIsAlive);
	PostObjectChange(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
	if (inputChanged)
		PostObjectChange(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
	if (outputChanged)
		PostObjectChange(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
	return int(gone.size());
}

APPLE_STANDIN_EXPORT int apple_standin_restore_device(const char* uid) {
	if (!uid)
		return 0;
	Machine& machine = TheMachine();
	int restored = 0;
	bool inputChanged, outputChanged;
	{
		std::lock_guard<std::mutex> guard(machine.lock);
		const AudioObjectID defaultInput = DefaultID(machine, false);
		const AudioObjectID defaultOutput = DefaultID(machine, true);
		for (DeviceRecord& device : Devices(machine)) {
			if (device.present || !device.hasUID || device.uid != uid)
				continue;
			DropObjectListeners(device.goneID); // the old object is gone for good
			device.goneID = kAudioObjectUnknown;
			device.id = machine.nextID++;
			device.present = true;
			++restored;
			if (device.isDefaultInput && !device.promotedInput)
				DemoteStandIns(machine, false);
			if (device.isDefaultOutput && !device.promotedOutput)
				DemoteStandIns(machine, true);
		}
		PromoteDefault(machine, false);
		PromoteDefault(machine, true);
		inputChanged = DefaultID(machine, false) != defaultInput;
		outputChanged = DefaultID(machine, true) != defaultOutput;
	}
	if (restored == 0)
		return 0;
	PostObjectChange(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
	if (inputChanged)
		PostObjectChange(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
	if (outputChanged)
		PostObjectChange(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
	return restored;
}

APPLE_STANDIN_EXPORT void apple_standin_fail_property(AudioObjectID object, AudioObjectPropertySelector selector,
	AudioObjectPropertyScope scope, int calls, OSStatus status, int times) {
	Machine& machine = TheMachine();
	std::lock_guard<std::mutex> guard(machine.lock);
	machine.faults.push_back(PropertyFault{object, selector, scope, calls, status, times});
}

APPLE_STANDIN_EXPORT void apple_standin_override_property_size(AudioObjectID object, AudioObjectPropertySelector selector,
	AudioObjectPropertyScope scope, UInt32 size) {
	Machine& machine = TheMachine();
	std::lock_guard<std::mutex> guard(machine.lock);
	machine.sizes.push_back(SizeOverride{object, selector, scope, size});
}

APPLE_STANDIN_EXPORT void apple_standin_clear_faults(void) {
	{
		Machine& machine = TheMachine();
		std::lock_guard<std::mutex> guard(machine.lock);
		machine.faults.clear();
		machine.sizes.clear();
	}
	ClearCallFaults();
}
