// Scripted MMDevice and WASAPI objects for the output context's tests: endpoints with chosen mix
// formats, format answers and failures, and a device buffer that the test plays out by hand.
// As with real devices, a started stream signals its buffer event every period, calls on an
// endpoint that went away fail with AUDCLNT_E_DEVICE_INVALIDATED, opening and closing a device
// can take long (held or delayed by the test), and endpoint notifications arrive on a thread of
// the system's. While a FakeSystem lives, every context gets its enumerator from it.
#ifndef FAKE_WASAPI_H
#define FAKE_WASAPI_H

#include "AudioOut_Win.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fakewasapi {

WAVEFORMATEXTENSIBLE MakeFormat(bool isFloat, int bits, bool extensible, int channels, int sampleRate);
// Same header fields (and, for extensible headers, the same sub-format and valid bits).
bool SameFormat(const WAVEFORMATEX* a, const WAVEFORMATEX* b);
// "EXT FLOAT 2x32 48000" / "STD PCM 2x16 44100": what the log records of a format.
std::string Describe(const WAVEFORMATEX* format);

// A call that a test can hold until it opens the gate, or delay by a set time.
struct Gate {
	bool mHeld = false;
	std::chrono::milliseconds mDelay{0};
	int mWaiting = 0; // calls waiting at the gate now
};

enum GatedCall {
	kInitializeCall,    // IAudioClient::Initialize
	kClientReleaseCall, // the audio client's last Release, before it is destroyed
	kGetBufferCall,     // IAudioRenderClient::GetBuffer, on the render thread
};

struct Endpoint {
	std::wstring mID;
	std::wstring mName;
	WAVEFORMATEXTENSIBLE mMix;
	// Found by GetDevice (and as the default). When it goes, calls on its clients fail with
	// AUDCLNT_E_DEVICE_INVALIDATED and its stream signals no more events.
	bool mPresent = true;
	// A started stream on it signals its buffer event every 10 ms; false: a device that stalls,
	// its calls still succeeding.
	bool mSignals = true;
	Gate mInitializeGate;
	Gate mReleaseGate;
	Gate mGetBufferGate;
	HRESULT mActivate = S_OK;
	HRESULT mGetMixFormat = S_OK;
	HRESULT mGetBufferSize = S_OK;
	HRESULT mGetService = S_OK;
	HRESULT mSetEventHandle = S_OK;
	HRESULT mStart = S_OK;
	// IsFormatSupported: by default S_OK for the mix format and a refusal for anything else. A
	// closest match is handed out when the answer is S_FALSE.
	std::function<HRESULT(const WAVEFORMATEX* format, WAVEFORMATEXTENSIBLE& closest)> mSupports;
	// Initialize: by default every format is taken.
	std::function<bool(const WAVEFORMATEX* format)> mAccepts;
};

struct BufferRelease {
	UINT32 mFrames;
	DWORD mFlags;
};

// COM initialisation as the contexts ask for it, counted per thread; the system's functions still
// do the work. While one lives, every context initialises and uninitialises COM through it.
// COM's rule: each successful initialisation on a thread is matched by one uninitialisation on
// that same thread, and a thread never uninitialises what it did not initialise.
class ComCalls {
public:
	ComCalls();  // installs itself in the contexts' platform operations
	~ComCalls(); // puts back what it found there

	// Empty when every thread kept the rule so far and none still has COM initialised;
	// otherwise one line per thread that did not.
	std::string Unpaired();
	// Successful initialisations and uninitialisations made on one thread.
	int Initializations(uint64_t thread);
	int Uninitializations(uint64_t thread);

	// The calling thread's number: never 0, never handed to another thread of the process, so
	// the counts of a thread that ended stay apart from those of later threads.
	static uint64_t ThisThread();

private:
	struct Counts {
		int mInitialized = 0;
		int mUninitialized = 0;
		bool mOverdrawn = false; // uninitialised once more than it had initialised
	};
	static HRESULT WINAPI RecordInitialize(LPVOID reserved, DWORD coInit);
	static void WINAPI RecordUninitialize();

	std::mutex mLock;
	std::map<uint64_t, Counts> mThreads;
	HRESULT (WINAPI* mSavedInitialize)(LPVOID, DWORD);
	void (WINAPI* mSavedUninitialize)();

	static std::atomic<ComCalls*> sCurrent;
};

class FakeSystem {
public:
	// Installs itself as the contexts' enumerator factory and counts their COM calls.
	FakeSystem();
	// Restores the system's operations; a test fails when COM calls did not pair up on some
	// thread (every context must be gone by then).
	~FakeSystem();

	// Set-up, before a context is made (or under Change while one runs).
	Endpoint& AddEndpoint(const std::wstring& id, const std::wstring& name, const WAVEFORMATEXTENSIBLE& mix);
	void SetDefault(const std::wstring& id); // empty: no default endpoint
	void FailEnumerator(HRESULT hr) { mEnumeratorResult = hr; }
	// Runs `change` under the system's lock, for changes while the render thread runs.
	void Change(const std::function<void(FakeSystem&)>& change);
	Endpoint* Find(const std::wstring& id);

	// The stream: the endpoint's device plays `frames` (less when fewer are queued) and signals
	// the buffer event; FailPadding makes GetCurrentPadding fail from now on (S_OK: not).
	// Besides, the device signals its event every period while the stream runs, playing nothing.
	void Play(UINT32 frames);
	void SignalEvent();
	void FailPadding(HRESULT hr);
	// From now on the running stream's device also plays on its own, at its rate, as a real one
	// does: a render thread held up for longer than the buffer lets it run dry.
	void PlayInRealTime(bool on) { std::lock_guard<std::recursive_mutex> guard(mLock); mRealTime = on; }
	// Frames the device found nothing to play for, playing in real time.
	uint64_t DryFrames() { std::lock_guard<std::recursive_mutex> guard(mLock); return mDryFrames; }

	// Slow devices: calls of one endpoint wait at its gate until Open, or for the delay set.
	void Hold(const std::wstring& id, GatedCall call);
	void Open(const std::wstring& id, GatedCall call);
	void Delay(const std::wstring& id, GatedCall call, std::chrono::milliseconds delay);
	void OpenEveryGate();
	// Until a call waits at the gate (generously).
	bool WaitHeld(const std::wstring& id, GatedCall call, std::chrono::milliseconds timeout = std::chrono::seconds(10));

	// Endpoint notifications, delivered to every registered client on a thread of the system's,
	// as the system does. True when every callback returned within the time-out; they are
	// logged ("notify ..." before, "notified" after). As with the system, a callback holds no
	// reference of its own: the unregistration waits for a callback in progress (from another
	// thread than the notifications') and drops those still queued ("dropped ..."); a callback
	// for a client after its unregistration returned fails the test and is not made.
	bool NotifyStateChanged(const std::wstring& id, DWORD state);
	bool NotifyAdded(const std::wstring& id);
	bool NotifyRemoved(const std::wstring& id);
	bool NotifyDefaultChanged(EDataFlow flow, ERole role, const std::wstring& id);
	size_t RegisteredClients();
	// A callback in progress is held at its start until released (the system's thread may be put
	// off there); until one is held, or an unregistration waits for one (generously).
	void HoldCallbacks(bool hold);
	bool WaitCallbackHeld();
	bool WaitUnregistrationWaiting();

	// Waits (generously) until `done` holds, checked under the lock after every change.
	bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

	// What happened, under the lock.
	std::vector<std::string> Log();
	std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> TimedLog();
	size_t CountLog(const std::string& entry);
	std::vector<uint8_t> Played();      // bytes of every released frame, silent ones as zeros
	std::vector<BufferRelease> Releases();
	UINT32 BufferFrames();               // of the stream last initialised
	WAVEFORMATEXTENSIBLE StreamFormat(); // of the stream last initialised
	int LiveObjects();                   // fake COM objects not yet destroyed

	// Used by the fake objects; the lock is held by the caller.
	void PassGate(const std::wstring& id, GatedCall call); // called without the lock
	void WaitForCallbackOf(IMMNotificationClient* client);  // called without the lock
	std::recursive_mutex mLock;
	std::condition_variable_any mChanged;
	void Record(const std::string& entry); // also notifies
	std::deque<Endpoint> mEndpoints; // references stay valid as endpoints are added
	std::wstring mDefaultID;
	HRESULT mEnumeratorResult = S_OK;
	HRESULT mPaddingResult = S_OK;
	bool mRealTime = false;
	uint64_t mDryFrames = 0;
	int mLive = 0;
	std::vector<IMMNotificationClient*> mClients; // registered, one reference each
	std::vector<IMMNotificationClient*> mUnregistered; // whose unregistration returned
	IMMNotificationClient* mCalling = nullptr;         // whose callback is in progress
	Gate mCallbackGate;
	int mUnregistrationsWaiting = 0;
	// The stream of the last client that initialised.
	void* mStreamOwner = nullptr;
	std::wstring mStreamEndpoint;
	bool mStreamStarted = false;
	WAVEFORMATEXTENSIBLE mStreamFormat = {};
	UINT32 mBufferFrames = 0;
	UINT32 mPadding = 0;
	UINT32 mLent = 0; // frames handed out by GetBuffer and not yet released
	HANDLE mEvent = nullptr;
	std::vector<uint8_t> mLentBytes;
	std::vector<uint8_t> mPlayed;
	std::vector<BufferRelease> mReleases;
	std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> mLog;

	static FakeSystem* sCurrent;

private:
	bool Notify(const std::string& entry, const std::function<void(IMMNotificationClient*)>& call);
	void Callback(IMMNotificationClient* client, const std::string& entry,
	              const std::function<void(IMMNotificationClient*)>& call);
	void RunClock();
	void RunNotifier();
	Gate* GateOf(const std::wstring& id, GatedCall call);

	WASAPIPlatform mSavedPlatform;
	ComCalls mCom;
	bool mClockQuit = false;
	std::condition_variable_any mClockWake;
	std::thread mClock;
	// The system's notification thread, made with the system: starting a thread per notification
	// was seen to take over ten seconds under wine.
	std::mutex mNotifyLock;
	std::condition_variable mNotifyWake;
	std::deque<std::function<void()>> mNotifyJobs;
	bool mNotifyQuit = false;
	bool mNotifyStuck = false; // a callback did not return: the thread is left behind
	std::thread mNotifier;
};

// What a device buffer holds before the context writes it: a fill that leaves bytes unwritten
// shows up as this pattern instead of silence.
const uint8_t kStaleByte = 0xA5;

} // namespace fakewasapi

#endif
