// What a PulseAudio null sink played, as wine offers it: the sink's monitor is a capture endpoint
// named "Monitor of <sink>". Shared by the tests that play for real under with-pulse.sh.
#ifndef MONITOR_RECORDER_H
#define MONITOR_RECORDER_H

#include <windows.h>
#include <mmdeviceapi.h>
#include <audioclient.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The active endpoint of that direction whose friendly name is `name`, or null (a reference the
// caller releases). COM must be initialised on the calling thread.
IMMDevice* FindEndpoint(EDataFlow flow, const std::wstring& name);

// Records a sink's monitor in its mix format (32-bit float, interleaved) on a thread of its own,
// so that the capture is drained at the sink's pace whatever the test does meanwhile. The thread
// makes and drops its COM objects itself, in the multithreaded apartment: the caller's thread
// and its apartment are left as they were (a host's thread, for the plug-in's sake).
class MonitorRecorder {
public:
	MonitorRecorder() = default;
	MonitorRecorder(const MonitorRecorder&) = delete;
	MonitorRecorder& operator=(const MonitorRecorder&) = delete;
	~MonitorRecorder();

	// Starts recording up to `seconds` of the monitor; false when the monitor cannot be opened.
	bool Start(const std::wstring& sinkName, double seconds);
	// Until the monitor has delivered `seconds` at its pace: a sink that was idle takes a moment
	// to run again, and what it plays meanwhile is not seen by its monitor.
	bool WaitRunning(double seconds);
	// Until what was recorded so far satisfies `done` (called under the recorder's lock, at once
	// and after each packet).
	bool WaitFor(const std::function<bool(const std::vector<float>&)>& done, std::chrono::milliseconds timeout);
	// Everything recorded, once the seconds asked for are in (or the thread gave up).
	const std::vector<float>& Wait();
	int Channels() const { return mChannels; }
	int Rate() const { return mRate; }
	// Where the recording's frames lie on this process's steady clock: the line through each
	// packet's arrival (seconds) against the frames recorded with it, past the first seconds;
	// frame f was captured about mStart + f / mRate. mRate is the sink's clock as the process's
	// sees it.
	struct Line {
		double mStart = 0.0, mRate = 0.0;
	};
	Line SteadyLine(double skipSeconds);

private:
	void Run(std::wstring sinkName, double seconds);
	bool Open(const std::wstring& sinkName);

	IAudioClient* mClient = nullptr; // the thread's own
	IAudioCaptureClient* mCapture = nullptr;
	HANDLE mEvent = nullptr;
	int mChannels = 0;
	int mRate = 0;
	std::vector<float> mSamples; // under the lock until the thread is joined
	std::vector<std::pair<double, size_t>> mTimeline; // steady seconds and frames, at each packet
	std::mutex mLock;
	std::condition_variable mChanged;
	int mOpened = 0; // under the lock: 0 while opening, 1 opened, -1 failed
	std::atomic<size_t> mCount{0}; // samples so far
	std::atomic<bool> mStop{false};
	std::thread mThread;
};

#endif
