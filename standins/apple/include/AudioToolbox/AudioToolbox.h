// AudioToolbox as the plug-in's macOS code uses it: an output AudioQueue calling back on its own
// thread, and listeners of its properties. The framework's own names, layouts and values; implemented on Linux by the Apple
// stand-in library.
#ifndef APPLE_STANDIN_AUDIOTOOLBOX_H
#define APPLE_STANDIN_AUDIOTOOLBOX_H

#include <CoreAudio/CoreAudio.h>

typedef UInt32 AudioQueuePropertyID;
typedef struct OpaqueAudioQueue* AudioQueueRef;

struct AudioQueueBuffer {
	const UInt32 mAudioDataBytesCapacity;
	void* const mAudioData;
	UInt32 mAudioDataByteSize;
	void* mUserData;
	const UInt32 mPacketDescriptionCapacity;
	AudioStreamPacketDescription* const mPacketDescriptions;
	UInt32 mPacketDescriptionCount;
};
typedef AudioQueueBuffer* AudioQueueBufferRef;

static_assert(sizeof(AudioQueueBuffer) == 56, "AudioQueueBuffer layout");
static_assert(offsetof(AudioQueueBuffer, mAudioData) == 8, "AudioQueueBuffer layout");
static_assert(offsetof(AudioQueueBuffer, mAudioDataByteSize) == 16, "AudioQueueBuffer layout");
static_assert(offsetof(AudioQueueBuffer, mUserData) == 24, "AudioQueueBuffer layout");
static_assert(offsetof(AudioQueueBuffer, mPacketDescriptionCapacity) == 32, "AudioQueueBuffer layout");
static_assert(offsetof(AudioQueueBuffer, mPacketDescriptions) == 40, "AudioQueueBuffer layout");
static_assert(offsetof(AudioQueueBuffer, mPacketDescriptionCount) == 48, "AudioQueueBuffer layout");

typedef void (*AudioQueueOutputCallback)(void* inUserData, AudioQueueRef inAQ, AudioQueueBufferRef inBuffer);
typedef void (*AudioQueuePropertyListenerProc)(void* inUserData, AudioQueueRef inAQ, AudioQueuePropertyID inID);

enum : AudioQueuePropertyID {
	kAudioQueueProperty_IsRunning = APPLE_STANDIN_FOURCC('a', 'q', 'r', 'n'),     // value: UInt32, 0 once the queue stopped
	kAudioQueueProperty_CurrentDevice = APPLE_STANDIN_FOURCC('a', 'q', 'c', 'd'), // value: the device UID, a CFStringRef
};

enum : OSStatus {
	kAudioQueueErr_InvalidBuffer = -66687,
	kAudioQueueErr_BufferEmpty = -66686,
	kAudioQueueErr_DisposalPending = -66685,
	kAudioQueueErr_InvalidProperty = -66684,
	kAudioQueueErr_InvalidPropertySize = -66683,
	kAudioQueueErr_InvalidParameter = -66682,
	kAudioQueueErr_CannotStart = -66681,
	kAudioQueueErr_InvalidDevice = -66680,
	kAudioQueueErr_BufferInQueue = -66679,
	kAudioQueueErr_InvalidRunState = -66678,
	kAudioQueueErr_InvalidQueueType = -66677,
	kAudioQueueErr_InvalidPropertyValue = -66675,
	kAudioQueueErr_EnqueueDuringReset = -66632,
	kAudioFormatUnsupportedDataFormatError = OSStatus(APPLE_STANDIN_FOURCC('f', 'm', 't', '?')),
};

CF_EXPORT OSStatus AudioQueueNewOutput(const AudioStreamBasicDescription* inFormat, AudioQueueOutputCallback inCallbackProc,
	void* inUserData, CFRunLoopRef inCallbackRunLoop, CFStringRef inCallbackRunLoopMode, UInt32 inFlags,
	AudioQueueRef* outAQ);
CF_EXPORT OSStatus AudioQueueSetProperty(AudioQueueRef inAQ, AudioQueuePropertyID inID, const void* inData, UInt32 inDataSize);
CF_EXPORT OSStatus AudioQueueGetProperty(AudioQueueRef inAQ, AudioQueuePropertyID inID, void* outData, UInt32* ioDataSize);
CF_EXPORT OSStatus AudioQueueAddPropertyListener(AudioQueueRef inAQ, AudioQueuePropertyID inID,
	AudioQueuePropertyListenerProc inProc, void* inUserData);
CF_EXPORT OSStatus AudioQueueRemovePropertyListener(AudioQueueRef inAQ, AudioQueuePropertyID inID,
	AudioQueuePropertyListenerProc inProc, void* inUserData);
CF_EXPORT OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, UInt32 inBufferByteSize, AudioQueueBufferRef* outBuffer);
CF_EXPORT OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer, UInt32 inNumPacketDescs,
	const AudioStreamPacketDescription* inPacketDescs);
CF_EXPORT OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp* inStartTime);
CF_EXPORT OSStatus AudioQueueStop(AudioQueueRef inAQ, Boolean inImmediate);
CF_EXPORT OSStatus AudioQueueDispose(AudioQueueRef inAQ, Boolean inImmediate);

#endif
