// CoreAudio as the plug-in's macOS code uses it: the audio object property interface over the
// machine's devices, and the stream records it shares with AudioToolbox. The framework's own
// names, layouts and values; implemented on Linux by the Apple stand-in library.
#ifndef APPLE_STANDIN_COREAUDIO_H
#define APPLE_STANDIN_COREAUDIO_H

#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

#define APPLE_STANDIN_FOURCC(a, b, c, d) \
	((UInt32(UInt8(a)) << 24) | (UInt32(UInt8(b)) << 16) | (UInt32(UInt8(c)) << 8) | UInt32(UInt8(d)))

typedef UInt32 AudioObjectID;
typedef AudioObjectID AudioDeviceID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;
typedef UInt32 AudioFormatID;
typedef UInt32 AudioFormatFlags;

struct AudioObjectPropertyAddress {
	AudioObjectPropertySelector mSelector;
	AudioObjectPropertyScope mScope;
	AudioObjectPropertyElement mElement;
};

struct AudioStreamBasicDescription {
	Float64 mSampleRate;
	AudioFormatID mFormatID;
	AudioFormatFlags mFormatFlags;
	UInt32 mBytesPerPacket;
	UInt32 mFramesPerPacket;
	UInt32 mBytesPerFrame;
	UInt32 mChannelsPerFrame;
	UInt32 mBitsPerChannel;
	UInt32 mReserved;
};

struct AudioStreamPacketDescription {
	SInt64 mStartOffset;
	UInt32 mVariableFramesInPacket;
	UInt32 mDataByteSize;
};

struct AudioBuffer {
	UInt32 mNumberChannels;
	UInt32 mDataByteSize;
	void* mData;
};

// Variable length: mNumberBuffers entries follow from mBuffers.
struct AudioBufferList {
	UInt32 mNumberBuffers;
	AudioBuffer mBuffers[1];
};

struct SMPTETime {
	SInt16 mSubframes;
	SInt16 mSubframeDivisor;
	UInt32 mCounter;
	UInt32 mType;
	UInt32 mFlags;
	SInt16 mHours;
	SInt16 mMinutes;
	SInt16 mSeconds;
	SInt16 mFrames;
};

struct AudioTimeStamp {
	Float64 mSampleTime;
	UInt64 mHostTime;
	Float64 mRateScalar;
	UInt64 mWordClockTime;
	SMPTETime mSMPTETime;
	UInt32 mFlags;
	UInt32 mReserved;
};

static_assert(sizeof(AudioObjectPropertyAddress) == 12, "AudioObjectPropertyAddress layout");
static_assert(offsetof(AudioObjectPropertyAddress, mScope) == 4, "AudioObjectPropertyAddress layout");
static_assert(offsetof(AudioObjectPropertyAddress, mElement) == 8, "AudioObjectPropertyAddress layout");
static_assert(sizeof(AudioStreamBasicDescription) == 40, "AudioStreamBasicDescription layout");
static_assert(offsetof(AudioStreamBasicDescription, mFormatID) == 8, "AudioStreamBasicDescription layout");
static_assert(offsetof(AudioStreamBasicDescription, mFormatFlags) == 12, "AudioStreamBasicDescription layout");
static_assert(offsetof(AudioStreamBasicDescription, mBytesPerPacket) == 16, "AudioStreamBasicDescription layout");
static_assert(offsetof(AudioStreamBasicDescription, mFramesPerPacket) == 20, "AudioStreamBasicDescription layout");
static_assert(offsetof(AudioStreamBasicDescription, mBytesPerFrame) == 24, "AudioStreamBasicDescription layout");
static_assert(offsetof(AudioStreamBasicDescription, mChannelsPerFrame) == 28, "AudioStreamBasicDescription layout");
static_assert(offsetof(AudioStreamBasicDescription, mBitsPerChannel) == 32, "AudioStreamBasicDescription layout");
static_assert(offsetof(AudioStreamBasicDescription, mReserved) == 36, "AudioStreamBasicDescription layout");
static_assert(sizeof(AudioStreamPacketDescription) == 16, "AudioStreamPacketDescription layout");
static_assert(sizeof(AudioBuffer) == 16, "AudioBuffer layout");
static_assert(offsetof(AudioBuffer, mDataByteSize) == 4 && offsetof(AudioBuffer, mData) == 8, "AudioBuffer layout");
static_assert(offsetof(AudioBufferList, mBuffers) == 8 && sizeof(AudioBufferList) == 24, "AudioBufferList layout");
static_assert(sizeof(SMPTETime) == 24, "SMPTETime layout");
static_assert(sizeof(AudioTimeStamp) == 64 && offsetof(AudioTimeStamp, mFlags) == 56, "AudioTimeStamp layout");

enum : AudioFormatID {
	kAudioFormatLinearPCM = APPLE_STANDIN_FOURCC('l', 'p', 'c', 'm'),
};

enum : AudioFormatFlags {
	kAudioFormatFlagIsFloat = 1u << 0,
	kAudioFormatFlagIsBigEndian = 1u << 1,
	kAudioFormatFlagIsSignedInteger = 1u << 2,
	kAudioFormatFlagIsPacked = 1u << 3,
	kAudioFormatFlagIsNonInterleaved = 1u << 5,
	kAudioFormatFlagsNativeEndian = 0,
};

enum : AudioObjectID {
	kAudioObjectUnknown = 0,
	kAudioObjectSystemObject = 1,
};

enum : AudioObjectPropertyScope {
	kAudioObjectPropertyScopeGlobal = APPLE_STANDIN_FOURCC('g', 'l', 'o', 'b'),
	kAudioObjectPropertyScopeInput = APPLE_STANDIN_FOURCC('i', 'n', 'p', 't'),
	kAudioObjectPropertyScopeOutput = APPLE_STANDIN_FOURCC('o', 'u', 't', 'p'),
	kAudioDevicePropertyScopeInput = kAudioObjectPropertyScopeInput,
	kAudioDevicePropertyScopeOutput = kAudioObjectPropertyScopeOutput,
};

enum : AudioObjectPropertyElement {
	kAudioObjectPropertyElementMain = 0,
	kAudioObjectPropertyElementMaster = kAudioObjectPropertyElementMain,
};

enum : AudioObjectPropertySelector {
	kAudioHardwarePropertyDevices = APPLE_STANDIN_FOURCC('d', 'e', 'v', '#'),
	kAudioHardwarePropertyDefaultInputDevice = APPLE_STANDIN_FOURCC('d', 'I', 'n', ' '),
	kAudioHardwarePropertyDefaultOutputDevice = APPLE_STANDIN_FOURCC('d', 'O', 'u', 't'),
	kAudioDevicePropertyStreamConfiguration = APPLE_STANDIN_FOURCC('s', 'l', 'a', 'y'),
	kAudioDevicePropertyStreamFormat = APPLE_STANDIN_FOURCC('s', 'f', 'm', 't'),
	kAudioObjectPropertyName = APPLE_STANDIN_FOURCC('l', 'n', 'a', 'm'),
	kAudioDevicePropertyDeviceUID = APPLE_STANDIN_FOURCC('u', 'i', 'd', ' '),
	kAudioDevicePropertyNominalSampleRate = APPLE_STANDIN_FOURCC('n', 's', 'r', 't'),
	kAudioDevicePropertyDeviceIsAlive = APPLE_STANDIN_FOURCC('l', 'i', 'v', 'n'), // UInt32, 0 once the device is going
};

enum : OSStatus {
	kAudioHardwareNoError = 0,
	kAudioHardwareNotRunningError = OSStatus(APPLE_STANDIN_FOURCC('s', 't', 'o', 'p')),
	kAudioHardwareUnspecifiedError = OSStatus(APPLE_STANDIN_FOURCC('w', 'h', 'a', 't')),
	kAudioHardwareUnknownPropertyError = OSStatus(APPLE_STANDIN_FOURCC('w', 'h', 'o', '?')),
	kAudioHardwareBadPropertySizeError = OSStatus(APPLE_STANDIN_FOURCC('!', 's', 'i', 'z')),
	kAudioHardwareIllegalOperationError = OSStatus(APPLE_STANDIN_FOURCC('n', 'o', 'p', 'e')),
	kAudioHardwareBadObjectError = OSStatus(APPLE_STANDIN_FOURCC('!', 'o', 'b', 'j')),
	kAudioHardwareBadDeviceError = OSStatus(APPLE_STANDIN_FOURCC('!', 'd', 'e', 'v')),
	kAudioHardwareUnsupportedOperationError = OSStatus(APPLE_STANDIN_FOURCC('u', 'n', 'o', 'p')),
};

typedef OSStatus (*AudioObjectPropertyListenerProc)(AudioObjectID inObjectID, UInt32 inNumberAddresses,
	const AudioObjectPropertyAddress* inAddresses, void* inClientData);

CF_EXPORT OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
	UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* outDataSize);
CF_EXPORT OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
	UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize, void* outData);
CF_EXPORT OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
	AudioObjectPropertyListenerProc inListener, void* inClientData);
CF_EXPORT OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
	AudioObjectPropertyListenerProc inListener, void* inClientData);

// The block form: the calls run on the dispatch queue given. Removal takes the same block object.
typedef void (^AudioObjectPropertyListenerBlock)(UInt32 inNumberAddresses, const AudioObjectPropertyAddress* inAddresses);
CF_EXPORT OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
	dispatch_queue_t inDispatchQueue, AudioObjectPropertyListenerBlock inListener);
CF_EXPORT OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID,
	const AudioObjectPropertyAddress* inAddress, dispatch_queue_t inDispatchQueue,
	AudioObjectPropertyListenerBlock inListener);

#endif
