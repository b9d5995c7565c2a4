// Audio output: the queue of received audio blocks between a receive thread and the audio
// backend that pulls frames at the device's pace.
#ifndef AUDIO_OUT_H
#define AUDIO_OUT_H

#include "AudioDrift.h"
#include "CMutex.h"

#include <atomic>
#include <cstdint>
#include <string>

#ifndef _WIN32
#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>
#include <dispatch/dispatch.h>
#endif

// One reference-counted block of received audio as interleaved 32-bit float frames: the sample
// of channel c in frame f lies at index f * channels + c.
class CAudioBuffer {
public:
	// Builds a block of `channels` x `frames` samples. Interleaved input is copied as it is.
	// Planar input holds `sourceChannels` channels, channel c starting `sourceStride` floats
	// after channel c - 1 (0: `frames`); source channels beyond `channels` are dropped and block
	// channels beyond `sourceChannels` are silent. When the arguments are unusable or the storage
	// cannot be had, the block holds no samples (HasSamples is false) and must not be queued.
	CAudioBuffer(int channels, const float* samples, int sourceChannels, int frames, bool interleaved,
	             int sourceStride = 0);

	void Retain();
	// Drops one reference; the last one frees the block. Each holder releases its own.
	void Release();

	// Copies up to `frames` frames from the read position and returns how many it copied; 0 when
	// `channels` is not the block's channel count or nothing is left.
	int GetData(int channels, float* dest, int frames);

	bool HasSamples() const { return mData != nullptr; }
	int GetChannels() const { return mChannels; }
	int GetFrames() const { return mFrames; }
	int GetReadPosition() const { return mReadPos; }
	int GetRefCount() const { return mRefCount.load(std::memory_order_relaxed); }
	const float* GetSamples() const { return mData; }
	// Where its first frame lies in the stream of its queue: frames appended to it before.
	int64_t GetStreamPosition() const { return mStreamPos; }

	// Whether planar blocks are built with AVX; set from the processor at load time. Tests turn
	// it off to exercise the baseline code as well.
	static bool sUseAVX;

private:
	~CAudioBuffer();
	CAudioBuffer(const CAudioBuffer&) = delete;
	CAudioBuffer& operator=(const CAudioBuffer&) = delete;

	void CopyPlanar(const float* samples, int sourceChannels, int sourceStride);

	std::atomic<int32_t> mRefCount;
	int32_t mDataSize; // bytes of mData
	float* mData;
	int32_t mChannels;
	int32_t mFrames;
	int32_t mReadPos; // frames already handed out
	int64_t mStreamPos; // set by the queue that takes it

	friend class CAudioBufferList;
};

// The bounded queue from one producer (the receive thread) to one reader (the audio backend's
// thread), with the output volume and its 64-frame ramp. The reader side never allocates and
// takes the lock only for the short queue and volume operations, never while copying samples.
class CAudioBufferList {
public:
	static constexpr int kMaxQueuedBuffers = 17;
	static constexpr int kVolumeRampFrames = 64;

	CAudioBufferList(int channels, int sampleRate, int framesPerBuffer);
	~CAudioBufferList(); // releases every queued block and the current one

	// Producer: queues the block with a reference of its own; the caller keeps (and later
	// releases) its reference. When 17 blocks are waiting the oldest is dropped. A block without
	// samples is not queued. The arrival is placed in time for the drift follower: at `nowNs`
	// on the steady clock (DriftClockNow), or now.
	void AppendBuffer(CAudioBuffer* block);
	void AppendBuffer(CAudioBuffer* block, int64_t nowNs);
	// Producer or control side: the gain to ramp to over the next 64 frames played.
	void SetVolume(float gain);
	// For a queue nothing has been played from yet: its first frame already plays at `gain`, so
	// a new output never starts louder than the volume chosen before it existed.
	void SetInitialVolume(float gain);

	// Reader: releases the current block and makes the oldest queued one current.
	void AcquireNextBuffer();
	// Reader: writes `frames` interleaved frames of `channels` floats to `dest`, never more than
	// `destBytes` bytes, and scales them by the volume. `framesDelivered` gets the frames taken
	// from the queue; when short and `fillSilence` is set, the rest is written as silence.
	// Returns whether any frame was delivered.
	bool GetData(int channels, float* dest, int destBytes, int frames, int& framesDelivered, bool fillSilence);
	// Reader: the stream position of the next frame GetData delivers, the frames it could deliver
	// now, and what the writer half of the drift follower knows; under the lock, at once.
	void GetReadState(int64_t& readPosition, int64_t& waiting, CDriftWriterState& writer);
	// Reader: discards up to `frames` frames from the read position; returns how many it did.
	int64_t SkipData(int64_t frames);

	// Blocks the bound dropped unplayed (the reader fell behind), since construction.
	int64_t GetDroppedBlocks() const { return mDropped.load(std::memory_order_relaxed); }

	int GetChannelCount() const { return mChannels; }
	// Only before the first block is queued and before the reader starts.
	void SetChannelCount(int channels) { mChannels = channels; }
	int GetSampleRate() const { return mSampleRate; }
	int GetFramesPerBuffer() const { return mFramesPerBuffer; }

private:
	CAudioBufferList(const CAudioBufferList&) = delete;
	CAudioBufferList& operator=(const CAudioBufferList&) = delete;

	void ApplyVolume(float* dest, int frames, int channels);

	// Waiting blocks, oldest first, one reference each. Bounded, so appending never allocates.
	CAudioBuffer* mQueue[kMaxQueuedBuffers];
	int mQueueCount;
	CMutex mLock; // guards the queue and the volume fields
	CAudioBuffer* mCurrent; // the reader's, with the reference it took from the queue
	int32_t mChannels;
	int32_t mSampleRate;
	int32_t mFramesPerBuffer;
	float mTargetVolume;
	float mCurrentVolume; // the reader's own
	std::atomic<int32_t> mRampLength; // written under the lock, read by the reader without it too
	CDriftWriter mDriftWriter; // under the lock
	std::atomic<int64_t> mDropped;
};

// What every platform's audio output context has: the queue it plays from and the device and
// stream shape it was made for. Only the backends are instantiated.
class CAudioContext {
public:
	CAudioContext(const std::string& persistentID, int channels, int sampleRate, int framesPerBuffer);
	virtual ~CAudioContext(); // destroys the queue and every block still in it

	CAudioBufferList& GetBufferList() { return mBufferList; }
	const std::string& GetPersistentID() const { return mPersistentID; }
	// The stream's channel count, as asked for: the queue's may be the device's, fewer.
	int GetStreamChannels() const { return mStreamChannels; }
	// Whether this context serves a stream of that shape for that device: the same requested ID,
	// channel count, sample rate and frames per buffer. Reads no device: the receive thread asks
	// it at every audio frame.
	bool IsCompatible(const std::string& persistentID, int channels, int sampleRate, int framesPerBuffer) const;
	const std::string& GetErrorFile() const { return mErrorFile; }
	int GetErrorLine() const { return mErrorLine; }
	const std::string& GetErrorMessage() const { return mErrorMessage; }

protected:
	CAudioBufferList mBufferList;
	std::string mPersistentID; // as asked for, not the device finally used
	int32_t mStreamChannels;
	// The backend's last construction failure; empty unless a backend fills it.
	std::string mErrorFile;
	int32_t mErrorLine;
	std::string mErrorMessage;

private:
	CAudioContext(const CAudioContext&) = delete;
	CAudioContext& operator=(const CAudioContext&) = delete;
};

#ifndef _WIN32

#include "AudioResampler.h"

// The macOS backend: an AudioQueue with two buffers that calls back on its own thread, each
// callback refilling the played buffer from the queue of received blocks. It listens to its
// queue's IsRunning, its device's DeviceIsAlive and the device list, so that its holder can
// replace it when the device goes, or when the requested device it stood in for comes back.
class CCoreAudioContext : public CAudioContext {
public:
	// Construction failures, also returned by CreateCoreAudioContext.
	static constexpr int kStatusNoQueue = -99;     // the queue could not be made
	static constexpr int kStatusNoBuffer = -98;    // a buffer could not be allocated
	static constexpr int kStatusNotStarted = -97;  // the queue would not start

	// 0 and a playing context with one reference, or a failure status and null.
	static int CreateCoreAudioContext(const std::string& persistentID, int channels, int sampleRate, int framesPerBuffer,
	                                  CCoreAudioContext*& context);

	CCoreAudioContext(const std::string& persistentID, int channels, int sampleRate, int framesPerBuffer);
	~CCoreAudioContext() override; // stops and disposes of the queue before the blocks go

	// Halts the queue at once; from then on played buffers are no longer refilled, and the
	// context no longer listens to its queue and device.
	virtual void Stop();
	// The AudioQueue's thread: refills one played buffer through the resampler that follows the
	// device's clock (silence where blocks are lacking) and enqueues it again.
	virtual void FillBuffer(OpaqueAudioQueue* queue, AudioQueueBuffer* buffer);

	// Any thread, lock-free: whether a listener heard a change of the queue, its device or the
	// device list that LookAtDevice has not yet looked at.
	bool DeviceNeedsLook() const;
	// The holder's audio thread only, never the receive thread or the host's: reads the device
	// properties the listeners marked, and tells whether the context must be replaced: its device
	// went, or the requested device it stood in for is listed again. Sticky.
	bool LookAtDevice();

	void Retain() { ++mRefCount; }
	// The holder's release; the last one deletes the context.
	void Release();

	int GetStatus() const { return mStatus; }
	bool IsRunning() const { return mRunning.load(); }

private:
	int Open(int channels, int sampleRate, int framesPerBuffer);
	// Registers the listeners of the queue, of the device it plays on (`deviceUID`, "" for none)
	// and of the device list. Each that cannot be registered leaves that change unheard.
	void Watch(const std::string& deviceUID);
	// Removes them; once it returns no call of theirs runs or is still to come.
	void Unwatch();
	AudioObjectPropertyListenerBlock Listen(AudioObjectID object, AudioObjectPropertySelector selector,
	                                        uint64_t change);
	void CheckDeviceList();

	int32_t mRefCount; // changed by the single holder only
	AudioQueueRef mAudioQueue;
	std::atomic<bool> mRunning; // read by the AudioQueue's thread
	int32_t mStatus;
	CAudioResampler mResampler; // the AudioQueue thread's, prepared before the queue starts

	uint64_t mWatchTicket;     // the listeners' client data (never the context itself); 0: unwatched
	AudioObjectID mDeviceID;   // the device the queue plays on; 0 when there is none or it is unknown
	bool mHasDevice;           // the queue was set to play on a device
	bool mOnFallback;          // plays on the default output in place of the requested device
	bool mListeningToQueue;
	// The audio objects' listeners are blocks run on a serial queue of the context's own, so that
	// their removal can be made final (see Unwatch). Null when not registered.
	dispatch_queue_t mListenerQueue;
	AudioObjectPropertyListenerBlock mDeviceListener;
	AudioObjectPropertyListenerBlock mListListener;
	// The audio thread's own, from its looks.
	bool mSeenRunning;     // the queue said it runs
	bool mDeviceGone;
	bool mRequestedListed; // at the last look at the device list
	bool mRequestedBack;
};

// The AudioQueue's output callback; the user data is the context.
void coreaudio_fill_buffer(void* userData, AudioQueueRef queue, AudioQueueBufferRef buffer);

#endif

#endif
