// NDI reception: received video frames shared by reference count, the lists of actors that
// subscribe to a shared input's frames, the shared input with its receive thread, and the manager
// that shares inputs between actors by source name.
#ifndef NDI_INPUT_H
#define NDI_INPUT_H

#include "AudioDevices.h"
#include "CMutex.h"
#include "NDIRuntime.h"
#include "VantrelHost.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One received video frame. The pixels stay lent by the NDI library until the last Release
// hands them back on the receiver that captured them. Used on the host's thread only.
class NDIFrame {
public:
	NDIFrame(void* recv, NDIlib_video_frame_v2_t frame);

	void Retain();
	void Release();

	void* mRecv;
	NDIlib_video_frame_v2_t mFrame;
	int mRefCount;

private:
	~NDIFrame();
	NDIFrame(const NDIFrame&) = delete;
	NDIFrame& operator=(const NDIFrame&) = delete;
};

typedef void (*NDIInputClientCallback)(void* userData, NDIFrame* frame);

// What one actor registers with one input. Owned by the actor, never by a list.
struct NDIInputClient {
	NDIInputClientCallback mCallback;
	void* mUserData;
};

// The subscribers of one input, in order of registration. The lock is held while the callbacks
// run, so a callback must not add or remove clients of the list that calls it.
class NDIInputClientList {
public:
	NDIInputClientList() = default;

	// False when the client could not be added (out of memory).
	bool AddClient(NDIInputClient* client);
	void RemoveClient(NDIInputClient* client);
	// The frame is lent to the callbacks: one that keeps it retains it.
	void NotifyClientsFrameReceived(NDIFrame* frame);

private:
	NDIInputClientList(const NDIInputClientList&) = delete;
	NDIInputClientList& operator=(const NDIInputClientList&) = delete;

	std::vector<NDIInputClient*> mClients;
	CMutex mLock;
};

// ---- The shared input and its manager ---------------------------------------------------------

#ifdef _WIN32
class CWASAPIAudioContext;
typedef CWASAPIAudioContext NDIAudioContext;
#else
class CCoreAudioContext;
typedef CCoreAudioContext NDIAudioContext;
#endif

typedef int32_t NDIBandwidth;
enum : NDIBandwidth { kNDIBandwidthLow = 0, kNDIBandwidthHigh = 1 };

class NDIInput;

// The audio output an input's received audio asks for: none, or a device and a stream shape.
struct NDIAudioRequest {
	bool mWanted = false;
	std::string mPersistentID;
	int mChannels = 0;
	int mSampleRate = 0;
	int mFramesPerBuffer = 0;

	bool operator==(const NDIAudioRequest& other) const;
	void swap(NDIAudioRequest& other);
};

// Told by an input when its last reference is gone.
class NDIInputOwner {
public:
	virtual void NotifyNDIInputRelease(VantrelParameters* parameters, NDIInput* input) = 0;
};

// One NDI source, received once for every actor that watches it. Its receive thread finds the
// source, connects and captures; video crosses to the host's thread through a one-frame slot,
// audio goes straight to the input's audio output context.
class NDIInput {
public:
	// Starts the receive thread. When no thread could be started the input is Dead from the
	// start (ThreadStarted is false) and the caller should release it.
	NDIInput(VantrelParameters* parameters, NDIInputOwner* owner, const std::string& sourceName,
	         NDIBandwidth bandwidth, const std::string& audioPersistentID);

	void Retain();
	// The last release takes the input out of its owner's list and ends its thread, which frees
	// the input (or frees it here when the thread has already ended).
	void Release();
	// Host's thread: hands the newest captured frame, if any, to every client.
	void Service();

	void SetVolume(float gain);
	void SetAudioOutputDeviceName(const std::string& name);
	void SetAudioOutputPersistentID(const std::string& persistentID);
	bool Matches(const std::string& sourceName) const;
	bool ThreadStarted() const { return mThreadStarted; }
	// The receive thread could not make its finder (or never started): it delivers nothing, ever.
	bool IsDead() const { return mDead.load(); }

	// Joins the receive threads that have finished; none of them runs plug-in code afterwards.
	// Host's thread: at each acquisition, and once every thread has ended, before the last
	// actor's disposal returns.
	static void JoinFinishedThreads();
	// The last actor's disposal, on the host's thread, every input released: waits up to `limit`
	// for every receive thread to end, and joins them. A thread still inside a device call that
	// never returned by then is let go, and the plug-in's code is kept mapped for the rest of the
	// process so that its return lands in code. Returns whether the NDI library may be released
	// (no thread will call it again), which it may unless a thread is stuck in the library itself.
	static bool EndThreads(std::chrono::milliseconds limit);

	// Starts the receive thread; a test may replace it to see what happens when no thread can
	// be had. Returns null (and throws nothing) when the thread cannot be started.
	static std::thread* (*sStartThread)(NDIInput* input);
	// Called by the last Release between ending the thread's run and the input's final hand-over
	// (null: nothing). A test may pause there to let the receive thread finish its side first.
	static void (*sBeforeReleaseHandOver)(NDIInput* input);

	int Startup();
	int Shutdown();
	void ThreadMain();

	// Receive threads started and not yet ended, over all inputs.
	static std::atomic<int> sNDIInputThreadsRunning;
	// Receive threads that may still call the NDI library: a thread is done with it before it
	// waits for its audio thread, which may be held in a device call.
	static std::atomic<int> sNDIInputThreadsInLibrary;

	CMutex mLock;
	NDIInputClientList mClients;
	VantrelParameters* mParameters;
	int mRefCount;
	NDIInputOwner* mOwner;
	NDIBandwidth mBandwidth;
	std::thread* mThread;
	std::atomic<bool> mRunning;
	std::string mSourceName;
	NDIlib_find_instance_t mFind;
	NDIlib_recv_instance_t mRecv;
	bool mHaveFrame;
	NDIlib_video_frame_v2_t mFrame;
	std::string mAudioPersistentID;
	NDIAudioContext* mAudioContext;
	float mVolume;
	std::atomic<int> mAudioChannels;
	bool mConnected;

private:
	~NDIInput();
	NDIInput(const NDIInput&) = delete;
	NDIInput& operator=(const NDIInput&) = delete;

	void Discover();
	void Capture();
	void HandleVideoFrame(const NDIlib_video_frame_v2_t& video);
	void HandleAudioFrame(const NDIlib_audio_frame_v2_t& audio);
	void Reconnect();

	// The audio output. The receive thread decides at each audio frame what output the stream
	// needs and queues the frame when a fitting context is ready (dropping it while none is); a
	// thread of the input's own opens, replaces and closes the contexts, so that neither the
	// receive thread nor the host's thread ever waits for a device.
	// The audio thread's last attempt to open an output: the same request is tried again only a
	// while after its end, whether it failed or opened a device found unusable at once.
	struct AudioAttempt {
		bool mMade = false;
		bool mAnyRequest = false; // it ran out of memory: whatever is asked next waits too
		NDIAudioRequest mRequest;
		std::chrono::steady_clock::time_point mEnded;
	};
	// Receive thread, input lock held: true when the audio thread has work.
	bool RequestAudioOutput(const NDIlib_audio_frame_v2_t& audio);
	void QueueAudio(const NDIlib_audio_frame_v2_t& audio);
	// Starts the audio thread when it is first needed; false when it cannot be had.
	bool WakeAudioThread(bool stop);
	// Receive thread, at its end: the audio thread closes the device and ends.
	void EndAudioThread();
	void AudioThreadMain();
	// True, with `lookAgainAt`, when the request is to be tried again at that time.
	bool UpdateAudioOutput(AudioAttempt& last, std::chrono::steady_clock::time_point& lookAgainAt);
	void CloseAudioOutput();
	// The thread's last act with its own object: into the list of finished threads, unless it
	// was let go.
	void EnterFinishedThreads();
	static void LetRunningThreadsGo();
	// The thread's end and the last release each call this once; the second frees the input.
	void FinishOneSide();

	std::atomic<int> mFinishedSides;
	std::atomic<bool> mDead;
	bool mThreadStarted;
	// The receive thread's own: the URL the source was connected with, and since when nothing
	// has been captured (or since the last connection).
	std::string mSourceURL;
	std::chrono::steady_clock::time_point mQuietSince;

	NDIAudioRequest mAudioRequest; // under mLock: what the last audio frame asked for
	std::thread* mAudioThread;     // the receive thread's: started, woken and joined by it
	std::mutex mAudioWakeLock;     // guards the two flags below
	std::condition_variable mAudioWake;
	bool mAudioWork;
	bool mAudioStop;

	static CMutex sThreadsLock; // guards the two lists and every input's mThread hand-over
	static std::vector<std::thread*> sFinishedThreads;
	static std::vector<NDIInput*> sRunningInputs; // whose receive thread has not finished
};

// Shares inputs between actors by source name and owns the machine's audio output devices.
class NDIInputMgr : public NDIInputOwner, public std::vector<NDIInput*>, public CMutex {
public:
	NDIInputMgr();
	virtual ~NDIInputMgr();

	void NotifyNDIInputRelease(VantrelParameters* parameters, NDIInput* input) override;

	// The shared input for the name, with one reference for the caller. Null only when no
	// receive thread could be started; the caller then tries again later.
	NDIInput* AcquireNDIInput(VantrelParameters* parameters, const std::string& sourceName, NDIBandwidth bandwidth,
	                          const std::string& audioDeviceName);
	void RemoveNDIInput(VantrelParameters* parameters, NDIInput* input, bool release);
	std::string AudioDeviceNameToPersistentID(const std::string& name) const;

	// Fills the device list once, on the host's thread, before the first actor uses it. Never at
	// load: on Windows the device API must not run inside the loader lock.
	void PrepareAudioDevices();

	CDeviceDescList mAudioDevices;

	static NDIInputMgr sNDIInputMgr;

private:
	bool mAudioDevicesReady;
};

#endif
