// The machine's devices as the AudioQueue side of the stand-in sees them.
#ifndef APPLE_STANDIN_AUDIO_OBJECTS_H
#define APPLE_STANDIN_AUDIO_OBJECTS_H

#include <CoreAudio/CoreAudio.h>

#include <string>
#include <vector>

namespace apple_standin {

struct DeviceRecord {
	std::string name;
	std::string uid;
	bool hasName = true;
	bool hasUID = true;
	UInt32 inputStreams = 0;
	UInt32 inputChannels = 0;
	UInt32 outputStreams = 0;
	UInt32 outputChannels = 0;
	Float64 nominalRate = 48000.0;
	UInt32 outputBits = 32;
	bool isDefaultInput = false;
	bool isDefaultOutput = false;

	AudioObjectID id = kAudioObjectUnknown;     // its object while listed
	bool present = true;                        // false while removed
	AudioObjectID goneID = kAudioObjectUnknown; // the object it left behind while removed
	bool promotedInput = false;                 // a default only while the real one is away
	bool promotedOutput = false;
};

// The devices listed now.
std::vector<DeviceRecord> CurrentDevices();
// The UID of the default output device, "" when the machine has none.
std::string DefaultOutputUID();

// The queues playing on a device that was just removed stop for good (AudioQueue.cpp).
void StopQueuesOfLostDevice(const std::string& uid);

} // namespace apple_standin

#endif
