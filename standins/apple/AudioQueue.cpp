// Output AudioQueues: each has its own thread that plays the enqueued buffers in order, paced
// by the stream's sample rate (or by a test's pump), records their samples for the device it
// plays on, and calls back once per played buffer. A queue whose device is removed stops for
// good.
#include "StandinCore.h"
#include "AudioObjects.h"
#include "Listeners.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace apple_standin;
using Clock = std::chrono::steady_clock;

// Recordings stop growing at this many samples per device (the count goes on).
static const size_t kMaxRecordedSamples = size_t(32) << 20;

struct OpaqueAudioQueue {
	int index = 0;
	AudioStreamBasicDescription format{};
	AudioQueueOutputCallback callback = nullptr;
	void* userData = nullptr;
	bool manual = false;
	std::string deviceUID;

	std::vector<AudioQueueBuffer*> buffers;    // owned, freed by the disposal
	std::deque<AudioQueueBuffer*> pending;     // enqueued, not yet played
	std::map<AudioQueueBuffer*, UInt32> sizes; // byte size of each pending buffer at enqueue

	bool running = false;
	bool reportedRunning = false; // kAudioQueueProperty_IsRunning: set by the queue's thread once it runs
	bool lost = false;            // its device was removed: it never runs again
	bool draining = false;       // a stop that is not immediate waits for the pending buffers
	bool resetting = false;      // an immediate stop is returning the pending buffers
	bool flushRequested = false;
	bool quit = false;
	bool inCallback = false;
	bool clockIdle = true;       // the timeline restarts with the next buffer
	Clock::time_point clockStart;
	double scheduledFrames = 0;
	int pumpWanted = 0;
	long long pumped = 0;
	int pumpers = 0; // tests inside apple_standin_pump on this queue: the disposal waits for them

	std::condition_variable wake;
	std::thread thread;
};

namespace {

struct Recording {
	std::vector<float> samples;
	size_t total = 0;
	UInt32 channels = 0;
	Float64 rate = 0;
};

struct Queues {
	std::mutex lock;
	std::condition_variable played; // every played buffer
	bool manual = false;
	std::set<OpaqueAudioQueue*> live;
	std::vector<AppleStandinQueueInfo> records;
	std::vector<OpaqueAudioQueue*> byIndex; // null once disposed or forgotten
	std::map<std::string, Recording> recordings;
};

Queues& TheQueues() {
	static Queues* sQueues = new Queues;
	return *sQueues;
}

// With the lock held: the record of a queue, or null when the records were reset since.
AppleStandinQueueInfo* Record(Queues& queues, OpaqueAudioQueue* q) {
	if (q->index < 0 || size_t(q->index) >= queues.records.size())
		return nullptr;
	return &queues.records[q->index];
}

// With the lock held: the queue no longer runs; its IsRunning listeners hear of it.
void ReportStopped(OpaqueAudioQueue* q) {
	if (q->reportedRunning) {
		q->reportedRunning = false;
		PostQueueChange(q, kAudioQueueProperty_IsRunning);
	}
}

bool IsLive(Queues& queues, AudioQueueRef q, const char* caller) {
	if (q && queues.live.count(q))
		return true;
	char text[160];
	std::snprintf(text, sizeof text, "%s given %p, which is not a live AudioQueue", caller, static_cast<void*>(q));
	Misuse(text);
	return false;
}

void RecordPlayed(Queues& queues, OpaqueAudioQueue* q, AudioQueueBuffer* buffer, UInt32 bytes) {
	Recording& recording = queues.recordings[q->deviceUID];
	recording.channels = q->format.mChannelsPerFrame;
	recording.rate = q->format.mSampleRate;
	size_t samples = bytes / q->format.mBytesPerFrame * q->format.mChannelsPerFrame;
	size_t room = kMaxRecordedSamples - std::min(kMaxRecordedSamples, recording.samples.size());
	const float* data = static_cast<const float*>(buffer->mAudioData);
	recording.samples.insert(recording.samples.end(), data, data + std::min(samples, room));
	recording.total += samples;
	if (AppleStandinQueueInfo* info = Record(queues, q))
		++info->buffersPlayed;
	queues.played.notify_all();
}

void Callback(std::unique_lock<std::mutex>& guard, Queues& queues, OpaqueAudioQueue* q, AudioQueueBuffer* buffer) {
	q->inCallback = true;
	guard.unlock();
	q->callback(q->userData, q, buffer);
	guard.lock();
	q->inCallback = false;
	if (AppleStandinQueueInfo* info = Record(queues, q))
		++info->callbacks;
	q->wake.notify_all();
}

// The queue's own thread.
void Play(OpaqueAudioQueue* q) {
	Queues& queues = TheQueues();
	std::unique_lock<std::mutex> guard(queues.lock);
	for (;;) {
		q->wake.wait(guard, [&] {
			if (q->quit || q->flushRequested)
				return true;
			if (q->running && !q->reportedRunning)
				return true;
			if (!q->running || q->pending.empty()) {
				q->clockIdle = true;
				return false;
			}
			return !q->manual || q->pumpWanted > 0;
		});
		if (q->quit)
			break;
		if (q->flushRequested) {
			// An immediate stop: every pending buffer goes back to its owner through the
			// callback, before AudioQueueStop returns.
			q->resetting = true;
			while (!q->pending.empty()) {
				AudioQueueBuffer* buffer = q->pending.front();
				q->pending.pop_front();
				q->sizes.erase(buffer);
				Callback(guard, queues, q, buffer);
			}
			q->resetting = false;
			q->flushRequested = false;
			q->wake.notify_all();
			continue;
		}
		if (q->running && !q->reportedRunning) {
			// As with a real device, the queue is running some time after AudioQueueStart
			// returned, and says so to its listeners.
			q->reportedRunning = true;
			PostQueueChange(q, kAudioQueueProperty_IsRunning);
			continue;
		}

		AudioQueueBuffer* buffer = q->pending.front();
		const UInt32 bytes = q->sizes[buffer];
		const double frames = double(bytes / q->format.mBytesPerFrame);
		if (!q->manual) {
			if (q->clockIdle) {
				q->clockStart = Clock::now();
				q->scheduledFrames = 0;
				q->clockIdle = false;
			}
			auto due = q->clockStart + std::chrono::duration_cast<Clock::duration>(
				std::chrono::duration<double>((q->scheduledFrames + frames) / q->format.mSampleRate));
			// The buffer plays for its duration; a stop or a disposal cuts it short.
			if (q->wake.wait_until(guard, due, [&] { return q->quit || q->flushRequested || !q->running; }))
				continue;
			q->scheduledFrames += frames;
		} else {
			--q->pumpWanted;
		}
		q->pending.pop_front();
		q->sizes.erase(buffer);
		RecordPlayed(queues, q, buffer, bytes);
		Callback(guard, queues, q, buffer);
		if (q->manual) {
			++q->pumped;
			q->wake.notify_all();
		}
		if (q->draining && q->pending.empty()) {
			q->running = false;
			q->draining = false;
			if (AppleStandinQueueInfo* info = Record(queues, q))
				info->running = false;
			ReportStopped(q);
		}
	}
}

bool IsSupportedFormat(const AudioStreamBasicDescription& f) {
	const AudioFormatFlags allowed = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
	return f.mFormatID == kAudioFormatLinearPCM && (f.mFormatFlags & kAudioFormatFlagIsFloat)
		&& (f.mFormatFlags & ~allowed) == 0 && f.mBitsPerChannel == 32 && f.mChannelsPerFrame > 0
		&& f.mBytesPerFrame == 4 * f.mChannelsPerFrame && f.mBytesPerPacket == f.mBytesPerFrame
		&& f.mFramesPerPacket == 1 && f.mSampleRate > 0;
}

unsigned long long ThisThread() {
	static std::atomic<unsigned long long> sNext{1};
	thread_local unsigned long long tThread = sNext.fetch_add(1);
	return tThread;
}

} // namespace

extern "C" {

OSStatus AudioQueueNewOutput(const AudioStreamBasicDescription* inFormat, AudioQueueOutputCallback inCallbackProc,
	void* inUserData, CFRunLoopRef inCallbackRunLoop, CFStringRef inCallbackRunLoopMode, UInt32 inFlags,
	AudioQueueRef* outAQ) {
	OSStatus injected;
	const bool fails = CountCall("AudioQueueNewOutput", &injected);
	PassGate("AudioQueueNewOutput"); // opening a device takes its time
	if (fails)
		return injected;
	if (!inFormat || !inCallbackProc || !outAQ || inFlags != 0)
		return kAudioQueueErr_InvalidParameter;
	if (inCallbackRunLoop || inCallbackRunLoopMode) {
		Misuse("AudioQueueNewOutput: callbacks on a run loop are not supported by the stand-in");
		return kAudioQueueErr_InvalidParameter;
	}
	if (!IsSupportedFormat(*inFormat))
		return kAudioFormatUnsupportedDataFormatError;

	auto* q = new OpaqueAudioQueue;
	q->format = *inFormat;
	q->callback = inCallbackProc;
	q->userData = inUserData;
	q->deviceUID = DefaultOutputUID();
	Queues& queues = TheQueues();
	{
		std::lock_guard<std::mutex> guard(queues.lock);
		q->manual = queues.manual;
		q->index = int(queues.records.size());
		AppleStandinQueueInfo info{};
		info.format = *inFormat;
		info.createdOnThread = ThisThread();
		std::snprintf(info.deviceUID, sizeof info.deviceUID, "%s", q->deviceUID.c_str());
		queues.records.push_back(info);
		queues.byIndex.push_back(q);
		queues.live.insert(q);
	}
	q->thread = std::thread(Play, q);
	*outAQ = q;
	return 0;
}

OSStatus AudioQueueSetProperty(AudioQueueRef inAQ, AudioQueuePropertyID inID, const void* inData, UInt32 inDataSize) {
	OSStatus injected;
	if (CountCall("AudioQueueSetProperty", &injected))
		return injected;
	std::string uid;
	if (inID == kAudioQueueProperty_CurrentDevice && inData && inDataSize == sizeof(CFStringRef)) {
		CFStringRef value = *static_cast<const CFStringRef*>(inData);
		if (value && !CFStringText(value, "AudioQueueSetProperty", &uid))
			return kAudioQueueErr_InvalidPropertyValue;
		if (!value) {
			uid = DefaultOutputUID(); // null: the system's default output
		} else {
			bool known = false;
			for (const DeviceRecord& device : CurrentDevices())
				known = known || (device.hasUID && device.uid == uid && device.outputStreams > 0);
			if (!known)
				return kAudioQueueErr_InvalidDevice;
		}
	}
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	if (!IsLive(queues, inAQ, "AudioQueueSetProperty"))
		return kAudioQueueErr_InvalidParameter;
	if (inID != kAudioQueueProperty_CurrentDevice)
		return kAudioQueueErr_InvalidProperty;
	if (!inData || inDataSize != sizeof(CFStringRef))
		return kAudioQueueErr_InvalidPropertySize;
	inAQ->deviceUID = uid;
	if (AppleStandinQueueInfo* info = Record(queues, inAQ)) {
		std::snprintf(info->deviceUID, sizeof info->deviceUID, "%s", uid.c_str());
		info->deviceWasSet = true;
	}
	return 0;
}

OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, UInt32 inBufferByteSize, AudioQueueBufferRef* outBuffer) {
	OSStatus injected;
	if (CountCall("AudioQueueAllocateBuffer", &injected))
		return injected;
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	if (!IsLive(queues, inAQ, "AudioQueueAllocateBuffer"))
		return kAudioQueueErr_InvalidParameter;
	if (!outBuffer || inBufferByteSize == 0)
		return kAudioQueueErr_InvalidParameter;
	// The data is not cleared, as with the real allocation: whoever enqueues it fills it.
	void* data = ::operator new(inBufferByteSize);
	std::memset(data, 0xA5, inBufferByteSize);
	auto* buffer = new AudioQueueBuffer{inBufferByteSize, data, 0, nullptr, 0, nullptr, 0};
	inAQ->buffers.push_back(buffer);
	if (AppleStandinQueueInfo* info = Record(queues, inAQ)) {
		if (info->buffersAllocated < 8)
			info->bufferSizes[info->buffersAllocated] = inBufferByteSize;
		++info->buffersAllocated;
	}
	*outBuffer = buffer;
	return 0;
}

OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer, UInt32 inNumPacketDescs,
	const AudioStreamPacketDescription* inPacketDescs) {
	(void)inNumPacketDescs; // linear PCM needs no packet descriptions
	(void)inPacketDescs;
	Queues& queues = TheQueues();
	OSStatus status = 0;
	if (!CountCall("AudioQueueEnqueueBuffer", &status)) {
		std::lock_guard<std::mutex> guard(queues.lock);
		if (!IsLive(queues, inAQ, "AudioQueueEnqueueBuffer"))
			return kAudioQueueErr_InvalidParameter;
		bool ours = false;
		for (AudioQueueBuffer* buffer : inAQ->buffers)
			ours = ours || buffer == inBuffer;
		if (!ours)
			status = kAudioQueueErr_InvalidBuffer;
		else if (inAQ->resetting)
			status = kAudioQueueErr_EnqueueDuringReset;
		else if (inAQ->sizes.count(inBuffer))
			status = kAudioQueueErr_BufferInQueue;
		else if (inBuffer->mAudioDataByteSize == 0)
			status = kAudioQueueErr_BufferEmpty;
		else if (inBuffer->mAudioDataByteSize > inBuffer->mAudioDataBytesCapacity)
			status = kAudioQueueErr_InvalidParameter;
		if (status == 0) {
			inAQ->pending.push_back(inBuffer);
			inAQ->sizes[inBuffer] = inBuffer->mAudioDataByteSize;
			inAQ->wake.notify_all();
			return 0;
		}
	}
	std::lock_guard<std::mutex> guard(queues.lock);
	if (queues.live.count(inAQ))
		if (AppleStandinQueueInfo* info = Record(queues, inAQ))
			++info->enqueueFailures;
	return status;
}

OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp* inStartTime) {
	(void)inStartTime; // as soon as possible either way
	OSStatus injected;
	const bool fails = CountCall("AudioQueueStart", &injected);
	PassGate("AudioQueueStart");
	if (fails)
		return injected;
	Queues& queues = TheQueues();
	{
		std::lock_guard<std::mutex> guard(queues.lock);
		if (!IsLive(queues, inAQ, "AudioQueueStart"))
			return kAudioQueueErr_InvalidParameter;
		if (inAQ->lost)
			return kAudioQueueErr_InvalidDevice;
		inAQ->running = true;
		inAQ->draining = false;
		inAQ->clockIdle = true;
		if (AppleStandinQueueInfo* info = Record(queues, inAQ)) {
			info->started = true;
			info->running = true;
		}
		inAQ->wake.notify_all();
	}
	// The queue plays from here on, whether or not its caller has got the answer yet.
	PassGate("AudioQueueStart returning");
	return 0;
}

namespace {
OSStatus StopQueue(AudioQueueRef inAQ, Boolean inImmediate) {
	Queues& queues = TheQueues();
	std::unique_lock<std::mutex> guard(queues.lock);
	if (!IsLive(queues, inAQ, "AudioQueueStop"))
		return kAudioQueueErr_InvalidParameter;
	if (!inImmediate) {
		if (inAQ->running)
			inAQ->draining = true;
		inAQ->wake.notify_all();
		return 0;
	}
	inAQ->running = false;
	inAQ->draining = false;
	if (AppleStandinQueueInfo* info = Record(queues, inAQ))
		info->running = false;
	ReportStopped(inAQ);
	if (std::this_thread::get_id() == inAQ->thread.get_id()) {
		// From the queue's own callback: the pending buffers are dropped without callbacks.
		inAQ->pending.clear();
		inAQ->sizes.clear();
		return 0;
	}
	// Synchronous: the callback in progress ends and the pending buffers are returned before
	// this returns; no callback runs afterwards.
	inAQ->flushRequested = true;
	inAQ->wake.notify_all();
	inAQ->wake.wait(guard, [&] { return !inAQ->flushRequested && !inAQ->inCallback; });
	return 0;
}
} // namespace

OSStatus AudioQueueStop(AudioQueueRef inAQ, Boolean inImmediate) {
	OSStatus injected;
	if (CountCall("AudioQueueStop", &injected))
		return injected;
	const OSStatus status = StopQueue(inAQ, inImmediate);
	// Its listeners may hear of the stop before its caller has got the answer.
	PassGate("AudioQueueStop returning");
	return status;
}

OSStatus AudioQueueDispose(AudioQueueRef inAQ, Boolean inImmediate) {
	OSStatus injected;
	const bool fails = CountCall("AudioQueueDispose", &injected);
	PassGate("AudioQueueDispose"); // closing a device takes its time too; the queue plays on meanwhile
	if (fails)
		return injected;
	Queues& queues = TheQueues();
	std::unique_lock<std::mutex> guard(queues.lock);
	if (!IsLive(queues, inAQ, "AudioQueueDispose"))
		return kAudioQueueErr_InvalidParameter;
	if (std::this_thread::get_id() == inAQ->thread.get_id()) {
		Misuse("AudioQueueDispose called from the queue's own callback");
		return kAudioQueueErr_InvalidRunState;
	}
	if (!inImmediate && !inAQ->manual) {
		// The pending buffers play out first.
		if (inAQ->running)
			inAQ->draining = true;
		inAQ->wake.notify_all();
		inAQ->wake.wait(guard, [&] { return !inAQ->running || inAQ->pending.empty(); });
	}
	queues.live.erase(inAQ);
	inAQ->running = false;
	inAQ->quit = true;
	inAQ->wake.notify_all();
	// Its listeners go with it, without a word; changes not yet delivered never are.
	const int listeners = DropQueueListeners(inAQ);
	if (AppleStandinQueueInfo* info = Record(queues, inAQ)) {
		info->running = false;
		info->disposed = true;
		info->disposedOnThread = ThisThread();
		info->listenersAtDispose = listeners;
	}
	if (size_t(inAQ->index) < queues.byIndex.size() && queues.byIndex[inAQ->index] == inAQ)
		queues.byIndex[inAQ->index] = nullptr;
	// A test pumping the queue from another thread leaves its wait on the queue's condition first.
	queues.played.wait(guard, [&] { return inAQ->pumpers == 0; });
	guard.unlock();
	WaitForQueueListenerCalls(inAQ);
	inAQ->thread.join(); // waits for a callback in progress
	for (AudioQueueBuffer* buffer : inAQ->buffers) {
		::operator delete(buffer->mAudioData);
		delete buffer;
	}
	delete inAQ;
	return 0;
}

OSStatus AudioQueueGetProperty(AudioQueueRef inAQ, AudioQueuePropertyID inID, void* outData, UInt32* ioDataSize) {
	OSStatus injected;
	if (CountCall("AudioQueueGetProperty", &injected))
		return injected;
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	if (!IsLive(queues, inAQ, "AudioQueueGetProperty"))
		return kAudioQueueErr_InvalidParameter;
	if (!outData || !ioDataSize)
		return kAudioQueueErr_InvalidParameter;
	if (inID == kAudioQueueProperty_IsRunning) {
		if (*ioDataSize < sizeof(UInt32))
			return kAudioQueueErr_InvalidPropertySize;
		*static_cast<UInt32*>(outData) = inAQ->reportedRunning ? 1 : 0;
		*ioDataSize = sizeof(UInt32);
		return 0;
	}
	if (inID == kAudioQueueProperty_CurrentDevice) {
		if (*ioDataSize < sizeof(CFStringRef))
			return kAudioQueueErr_InvalidPropertySize;
		// A new string, the caller's to release; null for a queue without a device.
		*static_cast<CFStringRef*>(outData) = inAQ->deviceUID.empty() ? nullptr : NewCFString(inAQ->deviceUID);
		*ioDataSize = sizeof(CFStringRef);
		return 0;
	}
	return kAudioQueueErr_InvalidProperty;
}

OSStatus AudioQueueAddPropertyListener(AudioQueueRef inAQ, AudioQueuePropertyID inID, AudioQueuePropertyListenerProc inProc,
	void* inUserData) {
	OSStatus injected;
	if (CountCall("AudioQueueAddPropertyListener", &injected))
		return injected;
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	if (!IsLive(queues, inAQ, "AudioQueueAddPropertyListener"))
		return kAudioQueueErr_InvalidParameter;
	if (!inProc)
		return kAudioQueueErr_InvalidParameter;
	if (inID != kAudioQueueProperty_IsRunning && inID != kAudioQueueProperty_CurrentDevice)
		return kAudioQueueErr_InvalidProperty;
	AddQueueListener(inAQ, inID, inProc, inUserData);
	return 0;
}

OSStatus AudioQueueRemovePropertyListener(AudioQueueRef inAQ, AudioQueuePropertyID inID,
	AudioQueuePropertyListenerProc inProc, void* inUserData) {
	OSStatus injected;
	if (CountCall("AudioQueueRemovePropertyListener", &injected))
		return injected;
	Queues& queues = TheQueues();
	{
		std::lock_guard<std::mutex> guard(queues.lock);
		if (!IsLive(queues, inAQ, "AudioQueueRemovePropertyListener"))
			return kAudioQueueErr_InvalidParameter;
	}
	// Stops the calls of changes not yet delivered; a call under way goes on (the queue's
	// disposal waits for it).
	if (!RemoveQueueListener(inAQ, inID, inProc, inUserData))
		return kAudioQueueErr_InvalidParameter;
	return 0;
}

} // extern "C"

namespace apple_standin {

void StopQueuesOfLostDevice(const std::string& uid) {
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	for (OpaqueAudioQueue* q : queues.live) {
		if (q->deviceUID != uid)
			continue;
		// A callback in progress finishes; none starts any more, and a pump waiting returns.
		q->lost = true;
		q->running = false;
		q->draining = false;
		q->wake.notify_all();
		if (AppleStandinQueueInfo* info = Record(queues, q)) {
			info->running = false;
			info->deviceLost = true;
		}
		ReportStopped(q);
	}
}

} // namespace apple_standin

APPLE_STANDIN_EXPORT void apple_standin_set_manual_pump(Boolean manual) {
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	queues.manual = manual != 0;
}

APPLE_STANDIN_EXPORT int apple_standin_pump(AudioQueueRef queue, int buffers) {
	Queues& queues = TheQueues();
	std::unique_lock<std::mutex> guard(queues.lock);
	if (!queues.live.count(queue) || !queue->manual)
		return 0;
	++queue->pumpers;
	int played = 0;
	while (played < buffers && queues.live.count(queue) && queue->running && !queue->pending.empty()) {
		long long before = queue->pumped;
		queue->pumpWanted = 1;
		queue->wake.notify_all();
		// The queue may be disposed meanwhile, by another thread: its disposal waits for this.
		queue->wake.wait(guard, [&] { return !queues.live.count(queue) || queue->pumped != before || !queue->running; });
		if (!queues.live.count(queue) || queue->pumped == before)
			break;
		++played;
	}
	if (queues.live.count(queue))
		queue->pumpWanted = 0;
	--queue->pumpers;
	queues.played.notify_all();
	return played;
}

APPLE_STANDIN_EXPORT unsigned long long apple_standin_thread_id(void) {
	return ThisThread();
}

APPLE_STANDIN_EXPORT int apple_standin_queues_created(void) {
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	return int(queues.records.size());
}

APPLE_STANDIN_EXPORT int apple_standin_queues_live(void) {
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	return int(queues.live.size());
}

APPLE_STANDIN_EXPORT Boolean apple_standin_queue_info(int index, AppleStandinQueueInfo* info) {
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	if (index < 0 || size_t(index) >= queues.records.size() || !info)
		return false;
	*info = queues.records[index];
	return true;
}

APPLE_STANDIN_EXPORT AudioQueueRef apple_standin_queue(int index) {
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	if (index < 0 || size_t(index) >= queues.byIndex.size())
		return nullptr;
	return queues.byIndex[index];
}

APPLE_STANDIN_EXPORT Boolean apple_standin_wait_played(int index, long long buffers, int timeoutMs) {
	Queues& queues = TheQueues();
	std::unique_lock<std::mutex> guard(queues.lock);
	return queues.played.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
		return index >= 0 && size_t(index) < queues.records.size() && queues.records[index].buffersPlayed >= buffers;
	});
}

APPLE_STANDIN_EXPORT size_t apple_standin_played(const char* deviceUID, float* samples, size_t maxSamples) {
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	auto found = queues.recordings.find(deviceUID ? deviceUID : "");
	if (found == queues.recordings.end())
		return 0;
	const std::vector<float>& recorded = found->second.samples;
	if (samples)
		std::memcpy(samples, recorded.data(), std::min(maxSamples, recorded.size()) * sizeof(float));
	return found->second.total;
}

APPLE_STANDIN_EXPORT Boolean apple_standin_played_format(const char* deviceUID, UInt32* channels, Float64* rate) {
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	auto found = queues.recordings.find(deviceUID ? deviceUID : "");
	if (found == queues.recordings.end())
		return false;
	if (channels)
		*channels = found->second.channels;
	if (rate)
		*rate = found->second.rate;
	return true;
}

APPLE_STANDIN_EXPORT void apple_standin_reset_queues(void) {
	Queues& queues = TheQueues();
	std::lock_guard<std::mutex> guard(queues.lock);
	queues.recordings.clear();
	queues.records.clear();
	queues.byIndex.clear();
	// Live queues keep playing; their records are gone, and they no longer count.
	for (OpaqueAudioQueue* q : queues.live)
		q->index = -1;
}
