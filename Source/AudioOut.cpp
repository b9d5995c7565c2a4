#include "AudioOut.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VIDRANE_AUDIO_SSE 1
#else
#define VIDRANE_AUDIO_SSE 0
#endif
// AVX is not part of the x86-64 baseline: compiled for its own functions, chosen at run time.
#if VIDRANE_AUDIO_SSE && defined(__GNUC__)
#include <immintrin.h>
#define VIDRANE_AUDIO_AVX 1
#define VIDRANE_TARGET_AVX __attribute__((target("avx")))
#else
#define VIDRANE_AUDIO_AVX 0
#endif

namespace {

// Planar to interleaved: `copied` channels of `stride` floats each into frames of `step` floats,
// starting at frame `first`. Plain code for what the vector code leaves over.
void InterleaveScalar(float* out, size_t step, const float* in, size_t stride, int copied, int first, int frames) {
	for (int f = first; f < frames; ++f) {
		float* frame = out + size_t(f) * step;
		for (int c = 0; c < copied; ++c)
			frame[c] = in[size_t(c) * stride + size_t(f)];
	}
}

#if VIDRANE_AUDIO_SSE
// Four frames of channels c to c + 3: loaded along the channels, transposed, stored along the frames.
inline void Transpose4(float* out, size_t step, const float* in, size_t stride) {
	__m128 s0 = _mm_loadu_ps(in), s1 = _mm_loadu_ps(in + stride);
	__m128 s2 = _mm_loadu_ps(in + 2 * stride), s3 = _mm_loadu_ps(in + 3 * stride);
	_MM_TRANSPOSE4_PS(s0, s1, s2, s3);
	_mm_storeu_ps(out, s0);
	_mm_storeu_ps(out + step, s1);
	_mm_storeu_ps(out + 2 * step, s2);
	_mm_storeu_ps(out + 3 * step, s3);
}

// The channels from `c` on, four at a time and then one by one, for the first `frames` frames (a
// multiple of 4). Channel groups outside, frames inside: the inner loop only walks two pointers,
// which leaves every register to the samples.
inline void InterleaveFrom(float* out, size_t step, const float* in, size_t stride, int c, int copied, int frames) {
	for (; c + 4 <= copied; c += 4) {
		const float* src = in + size_t(c) * stride;
		float* dst = out + c;
		for (int f = 0; f < frames; f += 4, src += 4, dst += 4 * step)
			Transpose4(dst, step, src, stride);
	}
	for (; c < copied; ++c) {
		const float* src = in + size_t(c) * stride;
		for (int f = 0; f < frames; ++f)
			out[size_t(f) * step + size_t(c)] = src[f];
	}
}

// Returns the first frame it did not write.
int InterleaveSSE(float* out, size_t step, const float* in, size_t stride, int copied, int frames) {
	const int done = frames & ~3;
	if (step == 2 && copied == 2) {
		for (int f = 0; f < done; f += 4) {
			const __m128 left = _mm_loadu_ps(in + f), right = _mm_loadu_ps(in + stride + f);
			_mm_storeu_ps(out + 2 * f, _mm_unpacklo_ps(left, right));
			_mm_storeu_ps(out + 2 * f + 4, _mm_unpackhi_ps(left, right));
		}
		return done;
	}
	InterleaveFrom(out, step, in, stride, 0, copied, done);
	return done;
}
#endif

#if VIDRANE_AUDIO_AVX
// Four frames of channels c to c + 7: each register holds four samples of channel c + i and of
// channel c + 4 + i, so one in-lane 4 x 4 transpose yields whole 8-channel frames.
VIDRANE_TARGET_AVX inline void Transpose8(float* out, size_t step, const float* in, size_t stride) {
	__m256 r[4];
	for (int i = 0; i < 4; ++i)
		r[i] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(in + size_t(i) * stride)),
		                            _mm_loadu_ps(in + size_t(i + 4) * stride), 1);
	const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
	const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
	_mm256_storeu_ps(out, _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0)));
	_mm256_storeu_ps(out + step, _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2)));
	_mm256_storeu_ps(out + 2 * step, _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0)));
	_mm256_storeu_ps(out + 3 * step, _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2)));
}

VIDRANE_TARGET_AVX int InterleaveAVX(float* out, size_t step, const float* in, size_t stride, int copied, int frames) {
	if (step == 2 && copied == 2) {
		const int done = frames & ~7;
		for (int f = 0; f < done; f += 8) {
			const __m256 left = _mm256_loadu_ps(in + f), right = _mm256_loadu_ps(in + stride + f);
			const __m256 lo = _mm256_unpacklo_ps(left, right), hi = _mm256_unpackhi_ps(left, right);
			_mm256_storeu_ps(out + 2 * f, _mm256_permute2f128_ps(lo, hi, 0x20));
			_mm256_storeu_ps(out + 2 * f + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
		}
		return done;
	}
	const int done = frames & ~3;
	int c = 0;
	for (; c + 8 <= copied; c += 8) {
		const float* src = in + size_t(c) * stride;
		float* dst = out + c;
		for (int f = 0; f < done; f += 4, src += 4, dst += 4 * step)
			Transpose8(dst, step, src, stride);
	}
	InterleaveFrom(out, step, in, stride, c, copied, done);
	return done;
}

bool HaveAVX() {
	__builtin_cpu_init();
	return __builtin_cpu_supports("avx");
}
#endif

} // namespace

// ---------------------------------------------------------------------------------------------
// CAudioBuffer

CAudioBuffer::CAudioBuffer(int channels, const float* samples, int sourceChannels, int frames, bool interleaved,
                           int sourceStride)
    : mRefCount(1), mDataSize(0), mData(nullptr), mChannels(channels), mFrames(0), mReadPos(0), mStreamPos(0) {
	// A block without samples is what every unusable request becomes; the queue refuses it.
	if (channels <= 0 || frames <= 0 || !samples || sourceStride < 0)
		return;
	const int64_t bytes = int64_t(channels) * frames * int64_t(sizeof(float));
	if (bytes > INT32_MAX)
		return;
	mData = new (std::nothrow) float[size_t(channels) * size_t(frames)];
	if (!mData)
		return;
	mDataSize = int32_t(bytes);
	mFrames = frames;
	if (interleaved)
		memcpy(mData, samples, size_t(bytes));
	else
		CopyPlanar(samples, sourceChannels, sourceStride);
}

CAudioBuffer::~CAudioBuffer() {
	delete[] mData;
}

// A block built by another static initialiser before this one runs just takes the baseline code.
#if VIDRANE_AUDIO_AVX
bool CAudioBuffer::sUseAVX = HaveAVX();
#else
bool CAudioBuffer::sUseAVX = false;
#endif

void CAudioBuffer::CopyPlanar(const float* samples, int sourceChannels, int sourceStride) {
	const int copied = std::max(0, std::min(mChannels, sourceChannels));
	const size_t stride = sourceStride > 0 ? size_t(sourceStride) : size_t(mFrames);
	const size_t step = size_t(mChannels);
	if (copied < mChannels)
		memset(mData, 0, size_t(mDataSize));
	if (copied == 1 && mChannels == 1) {
		memcpy(mData, samples, size_t(mFrames) * sizeof(float));
		return;
	}
	int done = 0;
#if VIDRANE_AUDIO_AVX
	if (sUseAVX)
		done = InterleaveAVX(mData, step, samples, stride, copied, mFrames);
	else
#endif
#if VIDRANE_AUDIO_SSE
		done = InterleaveSSE(mData, step, samples, stride, copied, mFrames);
#endif
	InterleaveScalar(mData, step, samples, stride, copied, done, mFrames);
}

void CAudioBuffer::Retain() {
	mRefCount.fetch_add(1, std::memory_order_relaxed);
}

void CAudioBuffer::Release() {
	// A holder that sees a count of 1 holds the only reference, and nobody else can take one:
	// it frees the block without the locked decrement, which after a bulk copy would wait for
	// all its stores to drain. Otherwise release/acquire, so that the thread that frees the
	// block sees every write made through the other references.
	if (mRefCount.load(std::memory_order_acquire) == 1 || mRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
		delete this;
}

int CAudioBuffer::GetData(int channels, float* dest, int frames) {
	if (channels != mChannels || frames <= 0 || !mData)
		return 0;
	const int count = std::min(frames, mFrames - mReadPos);
	if (count <= 0)
		return 0;
	memcpy(dest, mData + size_t(mReadPos) * size_t(channels), size_t(count) * size_t(channels) * sizeof(float));
	mReadPos += count;
	return count;
}

// ---------------------------------------------------------------------------------------------
// CAudioBufferList

CAudioBufferList::CAudioBufferList(int channels, int sampleRate, int framesPerBuffer)
    : mQueue(), mQueueCount(0), mCurrent(nullptr), mChannels(channels), mSampleRate(sampleRate),
      mFramesPerBuffer(framesPerBuffer), mTargetVolume(1.0f), mCurrentVolume(1.0f), mRampLength(0), mDropped(0) {
	mDriftWriter.SetRate(sampleRate);
}

CAudioBufferList::~CAudioBufferList() {
	mLock.Lock();
	for (int i = 0; i < mQueueCount; ++i)
		mQueue[i]->Release();
	mQueueCount = 0;
	mLock.Unlock();
	if (mCurrent) {
		mCurrent->Release();
		mCurrent = nullptr;
	}
}

void CAudioBufferList::AppendBuffer(CAudioBuffer* block) {
	AppendBuffer(block, DriftClockNow());
}

void CAudioBufferList::AppendBuffer(CAudioBuffer* block, int64_t nowNs) {
	if (!block || !block->HasSamples())
		return;
	mLock.Lock();
	block->mStreamPos = mDriftWriter.State().mFramesAppended;
	mDriftWriter.BlockArrived(block->GetFrames(), nowNs);
	if (mQueueCount >= kMaxQueuedBuffers) {
		// The reader fell behind: the oldest audio goes, the newest is kept.
		mQueue[0]->Release();
		mDropped.fetch_add(1, std::memory_order_relaxed);
		memmove(mQueue, mQueue + 1, size_t(mQueueCount - 1) * sizeof(mQueue[0]));
		--mQueueCount;
	}
	block->Retain();
	mQueue[mQueueCount++] = block;
	mLock.Unlock();
}

void CAudioBufferList::SetVolume(float gain) {
	mLock.Lock();
	if (!(gain == mTargetVolume)) { // a NaN differs from everything
		mTargetVolume = gain;
		mRampLength.store(kVolumeRampFrames, std::memory_order_release);
	}
	mLock.Unlock();
}

void CAudioBufferList::SetInitialVolume(float gain) {
	mLock.Lock();
	mTargetVolume = gain;
	mRampLength.store(1, std::memory_order_release); // a ramp of one frame: there at once
	mLock.Unlock();
}

void CAudioBufferList::AcquireNextBuffer() {
	if (mCurrent) {
		mCurrent->Release();
		mCurrent = nullptr;
	}
	mLock.Lock();
	if (mQueueCount > 0) {
		mCurrent = mQueue[0];
		memmove(mQueue, mQueue + 1, size_t(mQueueCount - 1) * sizeof(mQueue[0]));
		--mQueueCount;
	}
	mLock.Unlock();
}

bool CAudioBufferList::GetData(int channels, float* dest, int destBytes, int frames, int& framesDelivered,
                               bool fillSilence) {
	framesDelivered = 0;
	const int queueChannels = mChannels;
	if (!dest || queueChannels <= 0 || destBytes <= 0)
		return false;
	// Never write past what the caller says it has, whatever it asks for.
	frames = std::min(frames, int(destBytes / (int64_t(queueChannels) * int64_t(sizeof(float)))));
	if (frames <= 0)
		return false;

	if (!mCurrent)
		AcquireNextBuffer();
	float* out = dest;
	int wanted = frames;
	if (channels == queueChannels) {
		while (wanted > 0 && mCurrent) {
			const int copied = mCurrent->GetData(queueChannels, out, wanted);
			out += size_t(copied) * size_t(queueChannels);
			wanted -= copied;
			// A block that yields nothing more, drained or not in the queue's layout, goes at once.
			if (copied == 0 || mCurrent->GetReadPosition() >= mCurrent->GetFrames())
				AcquireNextBuffer();
		}
	}
	const int delivered = frames - wanted;
	if (delivered > 0)
		ApplyVolume(dest, delivered, queueChannels);
	if (wanted > 0 && fillSilence)
		std::fill(out, out + size_t(wanted) * size_t(queueChannels), 0.0f);
	framesDelivered = delivered;
	return delivered > 0;
}

void CAudioBufferList::GetReadState(int64_t& readPosition, int64_t& waiting, CDriftWriterState& writer) {
	int64_t current = 0;
	if (mCurrent)
		current = mCurrent->GetFrames() - mCurrent->GetReadPosition();
	mLock.Lock();
	writer = mDriftWriter.State();
	waiting = current;
	for (int i = 0; i < mQueueCount; ++i)
		waiting += mQueue[i]->GetFrames();
	if (mCurrent && current > 0)
		readPosition = mCurrent->GetStreamPosition() + mCurrent->GetReadPosition();
	else if (mQueueCount > 0)
		readPosition = mQueue[0]->GetStreamPosition();
	else
		readPosition = writer.mFramesAppended;
	mLock.Unlock();
}

int64_t CAudioBufferList::SkipData(int64_t frames) {
	int64_t skipped = 0;
	if (!mCurrent)
		AcquireNextBuffer();
	while (skipped < frames && mCurrent) {
		const int64_t left = mCurrent->GetFrames() - mCurrent->GetReadPosition();
		const int32_t taken = int32_t(std::min(left, frames - skipped));
		mCurrent->mReadPos += taken;
		skipped += taken;
		if (mCurrent->GetReadPosition() >= mCurrent->GetFrames())
			AcquireNextBuffer();
	}
	return skipped;
}

// Ramps over the first 64 delivered frames when a new gain is pending and the fill is long enough
// for the whole ramp; every other delivered frame takes the gain in force.
void CAudioBufferList::ApplyVolume(float* dest, int frames, int channels) {
	const float from = mCurrentVolume;
	float target = from;
	int ramp = 0;
	bool ramping = false;
	// With no ramp pending (the usual case) the gain in force is the reader's own and the lock is
	// not needed; a SetVolume landing meanwhile is seen by the next fill.
	if (mRampLength.load(std::memory_order_acquire) > 0) {
		mLock.Lock();
		target = mTargetVolume;
		ramp = mRampLength.load(std::memory_order_relaxed);
		ramping = ramp > 0 && frames >= ramp;
		if (ramping) {
			mCurrentVolume = target;
			mRampLength.store(0, std::memory_order_relaxed);
		}
		mLock.Unlock();
	}

	int rampFrames = 0;
	float gain = from;
	if (ramping) {
		const float step = (target - from) / float(ramp);
		float g = from;
		for (int f = 0; f < ramp; ++f) {
			g += step;
			float* frame = dest + size_t(f) * size_t(channels);
			for (int c = 0; c < channels; ++c)
				frame[c] *= g;
		}
		rampFrames = ramp;
		gain = target;
	}
	if (gain != 1.0f) {
		float* rest = dest + size_t(rampFrames) * size_t(channels);
		const size_t count = size_t(frames - rampFrames) * size_t(channels);
		for (size_t i = 0; i < count; ++i)
			rest[i] *= gain;
	}
}

// ---------------------------------------------------------------------------------------------
// CAudioContext

CAudioContext::CAudioContext(const std::string& persistentID, int channels, int sampleRate, int framesPerBuffer)
    : mBufferList(channels, sampleRate, framesPerBuffer), mPersistentID(persistentID), mStreamChannels(channels),
      mErrorLine(0) {}

CAudioContext::~CAudioContext() {}

bool CAudioContext::IsCompatible(const std::string& persistentID, int channels, int sampleRate,
                                 int framesPerBuffer) const {
	// A change of the channel count needs a context of its own as a change of rate does: kept,
	// the blocks would be built in the old layout (stereo turned mono plays on the left only).
	return persistentID == mPersistentID && channels == mStreamChannels && sampleRate == mBufferList.GetSampleRate()
	       && framesPerBuffer == mBufferList.GetFramesPerBuffer();
}

#ifndef _WIN32

// ---------------------------------------------------------------------------------------------
// CCoreAudioContext

#include "AudioDevices.h"

#include <Block.h>

namespace {

const int kCoreAudioBufferCount = 2;

// The output device among `devices`: the last device whose UID is the requested ID, else the
// default output. `requestedFound` tells which; `defaultDevice` gets the default output, if any.
bool ChooseDevice(const CDeviceDescList& devices, const std::string& persistentID, CDeviceDesc& chosen,
                  bool& requestedFound, CDeviceDesc& defaultDevice, bool& haveDefault) {
	requestedFound = false;
	if (!persistentID.empty()) {
		for (const CDeviceDesc& device : devices.GetDevices()) {
			if (device.mPersistentID == persistentID) {
				chosen = device;
				requestedFound = true;
			}
		}
	}
	haveDefault = devices.GetDefaultDevice(defaultDevice);
	if (!requestedFound && haveDefault)
		chosen = defaultDevice;
	return requestedFound || haveDefault;
}

// Whether an output device with this UID is listed, as ChooseDevice would find it; false when
// the walk was cut short by want of memory.
bool IsOutputListed(const std::string& persistentID, bool& listed) {
	CDeviceDescList devices(kDeviceTypeOutput);
	if (!CDeviceDescList::UpdateDeviceDescList(devices))
		return false;
	listed = false;
	for (const CDeviceDesc& device : devices.GetDevices())
		listed = listed || device.mPersistentID == persistentID;
	return true;
}

AudioObjectPropertyAddress GlobalAddress(AudioObjectPropertySelector selector) {
	return AudioObjectPropertyAddress{selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// The devices listed now, or false when the list cannot be read.
bool ReadDeviceIDs(AudioObjectID*& ids, UInt32& count) {
	ids = nullptr;
	count = 0;
	AudioObjectPropertyAddress address = GlobalAddress(kAudioHardwarePropertyDevices);
	UInt32 size = 0;
	if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size) != 0)
		return false;
	if (size < sizeof(AudioObjectID))
		return true;
	ids = new (std::nothrow) AudioObjectID[size / sizeof(AudioObjectID)];
	if (!ids)
		return false;
	if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, ids) != 0) {
		delete[] ids;
		ids = nullptr;
		return false;
	}
	count = size / UInt32(sizeof(AudioObjectID));
	return true;
}

// The object of the last listed device with this UID, as ChooseDevice picks it; 0 when none.
AudioObjectID FindDeviceID(const std::string& uid) {
	AudioObjectID* ids = nullptr;
	UInt32 count = 0;
	AudioObjectID found = 0;
	if (!ReadDeviceIDs(ids, count))
		return 0;
	for (UInt32 i = 0; i < count; ++i) {
		AudioObjectPropertyAddress address = GlobalAddress(kAudioDevicePropertyDeviceUID);
		CFStringRef text = nullptr;
		UInt32 size = sizeof(text);
		if (AudioObjectGetPropertyData(ids[i], &address, 0, nullptr, &size, &text) != 0 || !text)
			continue;
		char buffer[1024];
		if (CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8) && uid == buffer)
			found = ids[i];
		CFRelease(text);
	}
	delete[] ids;
	return found;
}

// ---- What the listeners hear ----
// The queue's listener may be called after its removal returned (until the queue is disposed):
// the system promises nothing more. So the client data is never the context but a ticket into
// this table, which is never freed: a slot holds a generation, an in-use bit and the changes
// marked, and a call whose ticket names an older generation (or a free slot) marks nothing. The
// audio objects' listeners carry the same ticket. Calls only set bits, lock-free: they never
// block and never take a lock a holder may hold.
const uint64_t kQueueRunningChanged = 1;
const uint64_t kDeviceAliveChanged = 2;
const uint64_t kDevicesChanged = 4;
const uint64_t kAllChanges = kQueueRunningChanged | kDeviceAliveChanged | kDevicesChanged;
const uint64_t kSlotInUse = uint64_t(1) << 31;
const uint64_t kSlotIndexMask = 0xFFFF;
const int kWatchSlots = 1024; // contexts watched at once; any more play on unwatched

std::atomic<uint64_t> gWatchSlots[kWatchSlots];

// A ticket (generation << 16 | slot, never 0) whose slot has every change marked, so that the
// first look reads every property; 0 when all slots are taken.
uint64_t AcquireWatchSlot() {
	for (uint64_t i = 0; i < uint64_t(kWatchSlots); ++i) {
		uint64_t state = gWatchSlots[i].load(std::memory_order_relaxed);
		while (!(state & kSlotInUse)) {
			uint32_t generation = uint32_t(state >> 32) + 1;
			if (generation == 0)
				generation = 1;
			const uint64_t taken = uint64_t(generation) << 32 | kSlotInUse | kAllChanges;
			if (gWatchSlots[i].compare_exchange_weak(state, taken, std::memory_order_acq_rel, std::memory_order_relaxed))
				return uint64_t(generation) << 16 | i;
		}
	}
	return 0;
}

void ReleaseWatchSlot(uint64_t ticket) {
	if (ticket)
		gWatchSlots[ticket & kSlotIndexMask].store((ticket >> 16) << 32, std::memory_order_release);
}

void MarkChanged(uint64_t ticket, uint64_t change) {
	if ((ticket & kSlotIndexMask) >= uint64_t(kWatchSlots))
		return;
	std::atomic<uint64_t>& slot = gWatchSlots[ticket & kSlotIndexMask];
	uint64_t state = slot.load(std::memory_order_relaxed);
	do {
		if (!(state & kSlotInUse) || (state >> 32) != (ticket >> 16))
			return; // a late call for a context that is gone
	} while (!slot.compare_exchange_weak(state, state | change, std::memory_order_acq_rel, std::memory_order_relaxed));
}

uint64_t PendingChanges(uint64_t ticket) {
	if (!ticket)
		return 0;
	return gWatchSlots[ticket & kSlotIndexMask].load(std::memory_order_acquire) & kAllChanges;
}

uint64_t TakeChanges(uint64_t ticket) {
	if (!ticket)
		return 0;
	return gWatchSlots[ticket & kSlotIndexMask].fetch_and(~kAllChanges, std::memory_order_acq_rel) & kAllChanges;
}

void* TicketData(uint64_t ticket) {
	return reinterpret_cast<void*>(uintptr_t(ticket));
}

void QueueRunningChanged(void* userData, AudioQueueRef, AudioQueuePropertyID) {
	MarkChanged(uint64_t(reinterpret_cast<uintptr_t>(userData)), kQueueRunningChanged);
}

} // namespace

int CCoreAudioContext::CreateCoreAudioContext(const std::string& persistentID, int channels, int sampleRate,
                                              int framesPerBuffer, CCoreAudioContext*& context) {
	try {
		context = new CCoreAudioContext(persistentID, channels, sampleRate, framesPerBuffer);
	} catch (...) {
		context = nullptr; // out of memory (the device walk or the context itself): no queue was made
		return kStatusNoQueue;
	}
	const int status = context->mStatus;
	if (status != 0) {
		context->Release();
		context = nullptr;
	}
	return status;
}

CCoreAudioContext::CCoreAudioContext(const std::string& persistentID, int channels, int sampleRate, int framesPerBuffer)
    : CAudioContext(persistentID, channels, sampleRate, framesPerBuffer), mRefCount(1), mAudioQueue(nullptr),
      mRunning(false), mStatus(0), mWatchTicket(0), mDeviceID(0), mHasDevice(false), mOnFallback(false),
      mListeningToQueue(false), mListenerQueue(nullptr), mDeviceListener(nullptr), mListListener(nullptr),
      mSeenRunning(false),
      mDeviceGone(false), mRequestedListed(false), mRequestedBack(false) {
	mStatus = Open(channels, sampleRate, framesPerBuffer);
}

int CCoreAudioContext::Open(int channels, int sampleRate, int framesPerBuffer) {
	// A walk cut short by want of memory would send the sound to whatever the system plays on:
	// no queue then, and the input tries again later.
	CDeviceDescList devices(kDeviceTypeOutput);
	if (!CDeviceDescList::UpdateDeviceDescList(devices))
		return kStatusNoQueue;
	CDeviceDesc device, defaultDevice;
	bool requestedFound = false, haveDefault = false;
	CFStringRef deviceUID = nullptr;
	if (ChooseDevice(devices, mPersistentID, device, requestedFound, defaultDevice, haveDefault))
		deviceUID = CFStringCreateWithCString(kCFAllocatorDefault, device.mPersistentID.c_str(), kCFStringEncodingUTF8);
	if (deviceUID && device.mChannels < unsigned(std::max(channels, 0)))
		channels = int(device.mChannels);

	// A queue without channels (a device whose stream has none) or without a rate could never be
	// filled: the fill divides by the channel count.
	if (channels <= 0 || sampleRate <= 0) {
		if (deviceUID)
			CFRelease(deviceUID);
		return kStatusNoQueue;
	}

	AudioStreamBasicDescription format{};
	format.mSampleRate = double(sampleRate);
	format.mFormatID = kAudioFormatLinearPCM;
	format.mFormatFlags = kAudioFormatFlagIsFloat; // native-endian, interleaved
	format.mBytesPerPacket = 4 * UInt32(channels);
	format.mFramesPerPacket = 1;
	format.mBytesPerFrame = 4 * UInt32(channels);
	format.mChannelsPerFrame = UInt32(channels);
	format.mBitsPerChannel = 32;
	format.mReserved = 0;
	if (AudioQueueNewOutput(&format, coreaudio_fill_buffer, this, nullptr, nullptr, 0, &mAudioQueue) != 0) {
		mAudioQueue = nullptr;
		if (deviceUID)
			CFRelease(deviceUID);
		return kStatusNoQueue;
	}
	bool onDevice = false;
	if (deviceUID) {
		// On failure the queue stays on the system's default output.
		onDevice = AudioQueueSetProperty(mAudioQueue, kAudioQueueProperty_CurrentDevice, &deviceUID, sizeof(deviceUID)) == 0;
		CFRelease(deviceUID);
	}
	// Standing in for a requested device that is missing (or refused the queue): the device list
	// tells when it is there again.
	mOnFallback = !mPersistentID.empty() && !(requestedFound && onDevice);
	mRequestedListed = requestedFound;
	Watch(onDevice ? device.mPersistentID : haveDefault ? defaultDevice.mPersistentID : std::string());

	// Two buffers of silence to start with; one that would not fit a buffer size is not made.
	const int64_t bytes = int64_t(framesPerBuffer) * channels * 4;
	for (int i = 0; i < kCoreAudioBufferCount; ++i) {
		AudioQueueBufferRef buffer = nullptr;
		if (bytes <= 0 || bytes > INT32_MAX || AudioQueueAllocateBuffer(mAudioQueue, UInt32(bytes), &buffer) != 0)
			return kStatusNoBuffer; // the buffers made so far go with the queue
		buffer->mAudioDataByteSize = UInt32(bytes);
		std::memset(buffer->mAudioData, 0, size_t(bytes));
		AudioQueueEnqueueBuffer(mAudioQueue, buffer, 0, nullptr);
	}

	// Every block built from now on, and every fill, has the device's layout.
	mBufferList.SetChannelCount(channels);
	// The fills never allocate: what they read through is made now.
	if (!mResampler.Prepare(mBufferList, sampleRate, framesPerBuffer))
		return kStatusNoBuffer;

	// Running before the start: the first callback may come before AudioQueueStart returns, and
	// a buffer it did not re-enqueue would be gone for good.
	mRunning = true;
	if (AudioQueueStart(mAudioQueue, nullptr) != 0) {
		mRunning = false;
		return kStatusNotStarted;
	}
	return 0;
}

void CCoreAudioContext::Watch(const std::string& deviceUID) {
	// Registered before anything is read: every slot starts with every change marked, so the
	// first look reads what happened before the listeners were there.
	mWatchTicket = AcquireWatchSlot();
	mHasDevice = !deviceUID.empty();
	if (!mWatchTicket)
		return;
	mListeningToQueue = AudioQueueAddPropertyListener(mAudioQueue, kAudioQueueProperty_IsRunning, QueueRunningChanged,
	                                                  TicketData(mWatchTicket)) == 0;
	mListenerQueue = dispatch_queue_create("NDI Vidrane device listeners", DISPATCH_QUEUE_SERIAL);
	if (!mListenerQueue)
		return;
	mListListener = Listen(kAudioObjectSystemObject, kAudioHardwarePropertyDevices, kDevicesChanged);
	if (mHasDevice) {
		// Not found: it went before it could be watched, which the first look at the list shows.
		mDeviceID = FindDeviceID(deviceUID);
		if (mDeviceID)
			mDeviceListener = Listen(mDeviceID, kAudioDevicePropertyDeviceIsAlive, kDeviceAliveChanged);
	}
}

AudioObjectPropertyListenerBlock CCoreAudioContext::Listen(AudioObjectID object, AudioObjectPropertySelector selector,
                                                           uint64_t change) {
	const uint64_t ticket = mWatchTicket;
	AudioObjectPropertyListenerBlock listener =
		Block_copy(^(UInt32, const AudioObjectPropertyAddress*) { MarkChanged(ticket, change); });
	AudioObjectPropertyAddress address = GlobalAddress(selector);
	if (listener && AudioObjectAddPropertyListenerBlock(object, &address, mListenerQueue, listener) == 0)
		return listener;
	if (listener)
		Block_release(listener);
	return nullptr;
}

void CCoreAudioContext::Unwatch() {
	if (mListeningToQueue)
		AudioQueueRemovePropertyListener(mAudioQueue, kAudioQueueProperty_IsRunning, QueueRunningChanged,
		                                 TicketData(mWatchTicket));
	mListeningToQueue = false;
	if (mListListener) {
		AudioObjectPropertyAddress devices = GlobalAddress(kAudioHardwarePropertyDevices);
		AudioObjectRemovePropertyListenerBlock(kAudioObjectSystemObject, &devices, mListenerQueue, mListListener);
	}
	if (mDeviceListener) {
		// Fails once the device has gone for good, and its listeners with it.
		AudioObjectPropertyAddress alive = GlobalAddress(kAudioDevicePropertyDeviceIsAlive);
		AudioObjectRemovePropertyListenerBlock(mDeviceID, &alive, mListenerQueue, mDeviceListener);
	}
	if (mListenerQueue) {
		// The system does not promise that a removal waits for a call under way, and a call it
		// submitted to the queue before the removal still runs after it. Once an empty block has
		// run on the queue, none is under way or to come: the plug-in may then be unloaded.
		dispatch_sync(mListenerQueue, ^{
		});
		dispatch_release(mListenerQueue);
		mListenerQueue = nullptr;
	}
	if (mListListener)
		Block_release(mListListener);
	if (mDeviceListener)
		Block_release(mDeviceListener);
	mListListener = mDeviceListener = nullptr;
}

bool CCoreAudioContext::DeviceNeedsLook() const {
	return PendingChanges(mWatchTicket) != 0;
}

bool CCoreAudioContext::LookAtDevice() {
	const uint64_t changes = TakeChanges(mWatchTicket);
	if ((changes & kQueueRunningChanged) && mAudioQueue) {
		// A queue stops by itself when its device goes. It runs some time after its start, so
		// only a queue seen running counts as stopped; one stopped here is no news.
		UInt32 running = 1;
		UInt32 size = sizeof(running);
		if (AudioQueueGetProperty(mAudioQueue, kAudioQueueProperty_IsRunning, &running, &size) == 0) {
			if (running)
				mSeenRunning = true;
			else if (mSeenRunning && mRunning)
				mDeviceGone = true;
		}
	}
	if ((changes & kDeviceAliveChanged) && mDeviceID) {
		// A device that cannot even say whether it lives is gone too.
		UInt32 alive = 0;
		UInt32 size = sizeof(alive);
		AudioObjectPropertyAddress address = GlobalAddress(kAudioDevicePropertyDeviceIsAlive);
		if (AudioObjectGetPropertyData(mDeviceID, &address, 0, nullptr, &size, &alive) != 0 || !alive)
			mDeviceGone = true;
	}
	if (changes & kDevicesChanged) {
		try {
			CheckDeviceList();
		} catch (...) {
			MarkChanged(mWatchTicket, kDevicesChanged); // out of memory: the next look tries again
		}
	}
	return mDeviceGone || mRequestedBack;
}

void CCoreAudioContext::CheckDeviceList() {
	if (mHasDevice && !mDeviceGone) {
		AudioObjectID* ids = nullptr;
		UInt32 count = 0;
		if (ReadDeviceIDs(ids, count)) {
			bool listed = false;
			for (UInt32 i = 0; i < count; ++i)
				listed = listed || (mDeviceID && ids[i] == mDeviceID);
			delete[] ids;
			if (!listed)
				mDeviceGone = true;
		}
	}
	if (mOnFallback) {
		// Back means listed again after a look that missed it: a device that is listed but
		// refused the queue does not make a new context at every frame.
		bool listed = false;
		if (!IsOutputListed(mPersistentID, listed)) {
			MarkChanged(mWatchTicket, kDevicesChanged); // the next look tries again
			return;
		}
		if (listed && !mRequestedListed)
			mRequestedBack = true;
		mRequestedListed = listed;
	}
}

CCoreAudioContext::~CCoreAudioContext() {
	if (mAudioQueue) {
		// The listeners go before the queue; a call still on its way finds the slot given up.
		Unwatch();
		// Both are synchronous: no fill runs once they return, so the blocks can go.
		if (mRunning) {
			AudioQueueStop(mAudioQueue, true);
			mRunning = false;
		}
		AudioQueueDispose(mAudioQueue, true);
		mAudioQueue = nullptr;
	}
	ReleaseWatchSlot(mWatchTicket);
}

void CCoreAudioContext::Release() {
	if (mRefCount-- <= 1)
		delete this;
}

void CCoreAudioContext::Stop() {
	if (!mRunning)
		return;
	// The listeners go first: the stop would be news to them, delivered perhaps after the
	// holder let go and the host unloaded the plug-in.
	Unwatch();
	if (mAudioQueue)
		AudioQueueStop(mAudioQueue, true);
	mRunning = false;
}

void CCoreAudioContext::FillBuffer(OpaqueAudioQueue* queue, AudioQueueBuffer* buffer) {
	// After Stop the buffers drop out of circulation one by one.
	if (!mRunning)
		return;
	const int channels = mBufferList.GetChannelCount();
	const UInt32 frames = buffer->mAudioDataByteSize / (4u * UInt32(channels));
	// The device holds the other buffer ahead of this one, just starting to play it.
	const int held = (kCoreAudioBufferCount - 1) * int(frames);
	if (mResampler.Fill(static_cast<float*>(buffer->mAudioData), int(frames), held, DriftClockNow()) < 0)
		std::memset(buffer->mAudioData, 0, buffer->mAudioDataByteSize);
	// What the queue lacked plays as silence; a refused enqueue takes the buffer out of play.
	AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
}

void coreaudio_fill_buffer(void* userData, AudioQueueRef queue, AudioQueueBufferRef buffer) {
	if (userData)
		static_cast<CCoreAudioContext*>(userData)->FillBuffer(queue, buffer);
}

#endif
