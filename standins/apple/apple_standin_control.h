// Control of the Apple stand-in, for tests and tools only (never for the plug-in): the machine's
// audio devices (and their removal and return), fault injection, slow and stuck calls, what the
// AudioQueues played, a manual pump for AudioQueue callbacks, property listener calls,
// CoreFoundation object counts, and the workspace operations it recorded.
// Safe to call from any thread.
#ifndef APPLE_STANDIN_CONTROL_H
#define APPLE_STANDIN_CONTROL_H

#include <AudioToolbox/AudioToolbox.h>

#define APPLE_STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

// ---- Devices -------------------------------------------------------------------------------
// One audio device of the machine. Device ids are handed out in table order from
// kAppleStandinFirstDeviceID on; the system's device array lists them in that order.
// Without a table set here the stand-in reads the file named by APPLE_STANDIN_DEVICES (see
// README.md beside this header), and without that it presents a small default machine:
// "Built-in Output" (2 channels, 48000 Hz, the default output) and "Studio Interface"
// (6 channels, 48000 Hz).
struct AppleStandinDevice {
	const char* name;        // kAudioObjectPropertyName; null: the property cannot be read
	const char* uid;         // kAudioDevicePropertyDeviceUID; null: the property cannot be read
	UInt32 inputStreams;     // streams in the input scope
	UInt32 inputChannels;    // channels of each input stream
	UInt32 outputStreams;    // streams in the output scope
	UInt32 outputChannels;   // channels of each output stream (0 is allowed)
	Float64 nominalRate;     // kAudioDevicePropertyNominalSampleRate
	UInt32 outputBits;       // mBitsPerChannel of the output stream format (32: float)
	Boolean isDefaultInput;
	Boolean isDefaultOutput;
};

enum { kAppleStandinFirstDeviceID = 50 };

// Replaces the machine's devices (copied). count 0 makes a machine without devices.
APPLE_STANDIN_EXPORT void apple_standin_set_devices(const AppleStandinDevice* devices, int count);
// Back to what the stand-in presents without a table (environment file or the default machine).
APPLE_STANDIN_EXPORT void apple_standin_reset_devices(void);
// The devices listed now (removed ones excluded), and the id of the index-th of them
// (kAudioObjectUnknown past the end).
APPLE_STANDIN_EXPORT int apple_standin_device_count(void);
APPLE_STANDIN_EXPORT AudioObjectID apple_standin_device_id(int index);

// Unplugs every listed device with this UID and returns how many went. At once: the device
// leaves kAudioHardwarePropertyDevices; the queues playing on it stop for good (no callback
// starts any more, kAudioQueueProperty_IsRunning reads 0, AudioQueueStart fails); its object
// answers kAudioDevicePropertyDeviceIsAlive with 0 and everything else with
// kAudioHardwareBadObjectError; a default device that went is replaced by the first listed
// device of that direction. Then, on the stand-in's listener thread, the listeners of the
// queues' IsRunning, of the devices' DeviceIsAlive, of kAudioHardwarePropertyDevices and of a
// default that changed are called, in that order.
APPLE_STANDIN_EXPORT int apple_standin_remove_device(const char* uid);
// Plugs the removed devices with this UID back in, at their place in the table but under new
// object ids (the old ids are then unknown objects, and their listeners are dropped); a device
// that was a default is the default again. Queues stopped by the removal stay stopped. The
// listeners of kAudioHardwarePropertyDevices (and of a default that changed) are called.
// Returns how many came back.
APPLE_STANDIN_EXPORT int apple_standin_restore_device(const char* uid);

// ---- Fault injection -----------------------------------------------------------------------
// Property reads: the next `times` (−1: every) matching calls fail with `status`. object
// kAudioObjectUnknown matches every object; `calls` is a set of the flags below.
enum { kAppleStandinSizeQuery = 1, kAppleStandinDataRead = 2 };
APPLE_STANDIN_EXPORT void apple_standin_fail_property(AudioObjectID object, AudioObjectPropertySelector selector,
	AudioObjectPropertyScope scope, int calls, OSStatus status, int times);
// Size queries of the property report `size` instead of the true size (data reads unchanged).
APPLE_STANDIN_EXPORT void apple_standin_override_property_size(AudioObjectID object, AudioObjectPropertySelector selector,
	AudioObjectPropertyScope scope, UInt32 size);
// Any exported function, by name ("AudioQueueStart", ...): after `skip` more successful calls,
// the next `times` (−1: every) calls fail with `status`. Only the AudioQueue functions and the
// property listener functions take it.
APPLE_STANDIN_EXPORT void apple_standin_fail_call(const char* function, int skip, int times, OSStatus status);
// Clears every injected fault and size override, opens every gate and ends every delay.
APPLE_STANDIN_EXPORT void apple_standin_clear_faults(void);

// ---- Slow and stuck calls ------------------------------------------------------------------
// A real device takes its time to open, start and close. AudioQueueNewOutput, AudioQueueStart
// and AudioQueueDispose each pass a gate and a delay before doing anything (a failure injected
// for the call is returned after them). A closed gate holds every call until it is opened; the
// delay is a real wait. Default: gates open, no delay. AudioQueueStart passes a second gate, named
// "AudioQueueStart returning", once the queue runs: its caller is held there (as a thread may be
// put off right after the call did its work) while the queue plays; AudioQueueStop likewise passes
// "AudioQueueStop returning" once the queue stopped, while its listeners hear of the stop.
// AudioObjectGetPropertyData and AudioObjectGetPropertyDataSize pass the gate "property reads" (a busy audio system answers
// late), and every listener call passes "listener call" as it starts, on the thread it runs on.
// The functions return false for any other name.
APPLE_STANDIN_EXPORT Boolean apple_standin_close_gate(const char* function);
APPLE_STANDIN_EXPORT Boolean apple_standin_open_gate(const char* function);
// Waits (up to timeoutMs) until at least `calls` calls are held at the function's gate.
APPLE_STANDIN_EXPORT Boolean apple_standin_wait_at_gate(const char* function, int calls, int timeoutMs);
APPLE_STANDIN_EXPORT Boolean apple_standin_set_call_delay(const char* function, int milliseconds);

// Calls of an exported function, by its name, since load or the last reset.
APPLE_STANDIN_EXPORT int apple_standin_call_count(const char* function);
APPLE_STANDIN_EXPORT void apple_standin_reset_call_counts(void);

// ---- AudioQueues ---------------------------------------------------------------------------
// Queues created from now on are paced by the test: their thread plays a buffer only when
// apple_standin_pump asks for it, without waiting for the buffer's duration.
APPLE_STANDIN_EXPORT void apple_standin_set_manual_pump(Boolean manual);
// Has the queue's own thread play up to `buffers` enqueued buffers now, each followed by its
// callback, and returns once they are done: the number played (fewer when the queue ran dry,
// is not running, or does not exist).
APPLE_STANDIN_EXPORT int apple_standin_pump(AudioQueueRef queue, int buffers);

// What became of a queue; queues are numbered in creation order from 0 since the last reset,
// and their records outlive their disposal.
struct AppleStandinQueueInfo {
	AudioStreamBasicDescription format; // as given to AudioQueueNewOutput
	char deviceUID[256];                // the device it plays on ("" for no device at all)
	Boolean deviceWasSet;               // kAudioQueueProperty_CurrentDevice was set successfully
	int buffersAllocated;
	UInt32 bufferSizes[8];              // of the first eight buffers, in allocation order
	Boolean started;
	Boolean running;
	Boolean disposed;
	long long buffersPlayed;
	long long callbacks;                // callbacks that have returned
	long long enqueueFailures;
	// apple_standin_thread_id() of the thread that made the queue, and of the one whose
	// AudioQueueDispose took it down (0 while it lives).
	unsigned long long createdOnThread;
	unsigned long long disposedOnThread;
	Boolean deviceLost;        // its device was removed while the queue lived
	int listenersAtDispose;    // property listeners still registered when it was disposed
};
// The calling thread's number: never 0, and never reused by another thread of the process, so a
// record still names the right thread after that thread has ended.
APPLE_STANDIN_EXPORT unsigned long long apple_standin_thread_id(void);
APPLE_STANDIN_EXPORT int apple_standin_queues_created(void);
APPLE_STANDIN_EXPORT int apple_standin_queues_live(void);
APPLE_STANDIN_EXPORT Boolean apple_standin_queue_info(int index, AppleStandinQueueInfo* info);
// The queue itself while it lives (for apple_standin_pump); null once disposed.
APPLE_STANDIN_EXPORT AudioQueueRef apple_standin_queue(int index);
// Waits (real waits, up to timeoutMs) until queue `index` has played at least `buffers` buffers.
APPLE_STANDIN_EXPORT Boolean apple_standin_wait_played(int index, long long buffers, int timeoutMs);

// Everything played on a device (by UID; "" for queues without a device), as 32-bit floats in
// play order. Returns the number of samples recorded; copies at most maxSamples of them.
APPLE_STANDIN_EXPORT size_t apple_standin_played(const char* deviceUID, float* samples, size_t maxSamples);
// Channel count and rate of the last queue that played on the device; false when none did.
APPLE_STANDIN_EXPORT Boolean apple_standin_played_format(const char* deviceUID, UInt32* channels, Float64* rate);
// Forgets recordings and queue records (live queues go on playing and recording).
APPLE_STANDIN_EXPORT void apple_standin_reset_queues(void);

// ---- Property listeners --------------------------------------------------------------------
// Function listeners (AudioQueueAddPropertyListener, AudioObjectAddPropertyListener) are called on
// one thread of the stand-in's own, never on the thread that made the change and never under a
// lock of the stand-in; block listeners (AudioObjectAddPropertyListenerBlock) run on the dispatch
// queue they were registered with, where the stand-in submits each call. A change calls the
// listeners registered when it happened that are still registered when its delivery begins.
// The system promises no more than that: a removal does not wait for a call already under way
// (held at the "listener call" gate, say, or submitted to the listener's queue), which then runs
// after the removal returned: a late call. A disposed queue's listeners are dropped with it, and
// its disposal waits for a call of theirs under way: once AudioQueueDispose returns, none runs.
// While held, changes wait to be delivered (a hold takes effect between two changes).
APPLE_STANDIN_EXPORT void apple_standin_hold_listener_calls(Boolean hold);
// Waits (up to timeoutMs) until every change made so far has been delivered and every block call
// submitted has returned.
APPLE_STANDIN_EXPORT Boolean apple_standin_wait_listener_calls(int timeoutMs);
// Registrations now; listener calls made so far; those of them that began after their
// registration had been removed (late calls).
APPLE_STANDIN_EXPORT int apple_standin_listeners_registered(void);
APPLE_STANDIN_EXPORT long long apple_standin_listener_calls(void);
APPLE_STANDIN_EXPORT long long apple_standin_late_listener_calls(void);
// Dispatch queues made and not yet ended (released and drained); callers waiting in dispatch_sync.
APPLE_STANDIN_EXPORT int apple_standin_dispatch_queues_live(void);
APPLE_STANDIN_EXPORT int apple_standin_dispatch_sync_waiting(void);

// ---- CoreFoundation ------------------------------------------------------------------------
// Objects created and not yet released to zero (constants such as kCFBundleVersionKey excluded).
APPLE_STANDIN_EXPORT long apple_standin_cf_live(void);
APPLE_STANDIN_EXPORT long apple_standin_cf_created(void);
// Misuse seen: a release of a dead or foreign reference, a string call on a non-string, ...
// Each is reported on stderr; it is fatal (abort) unless a test turns that off.
APPLE_STANDIN_EXPORT long apple_standin_misuse_count(void);
APPLE_STANDIN_EXPORT void apple_standin_set_misuse_fatal(Boolean fatal);

// ---- Workspace (the Foundation and AppKit operations of the macOS build) --------------------
// These two are the plug-in's own C functions on the Mac (an Objective-C++ file there); here
// the stand-in provides them. The Library folder is $HOME/Library; opening is only recorded.
APPLE_STANDIN_EXPORT bool GetUserLibraryFolder(char* buffer, size_t bufferSize);
APPLE_STANDIN_EXPORT bool OpenFileWithDefaultApplication(const char* utf8Path);

APPLE_STANDIN_EXPORT int apple_standin_opened_count(void);
// The path of the index-th open request (copied, NUL-terminated); false when there is none.
APPLE_STANDIN_EXPORT Boolean apple_standin_opened_path(int index, char* buffer, size_t bufferSize);
APPLE_STANDIN_EXPORT void apple_standin_clear_opened(void);
// The next `times` open requests are refused (and still recorded).
APPLE_STANDIN_EXPORT void apple_standin_fail_open(int times);

#endif
