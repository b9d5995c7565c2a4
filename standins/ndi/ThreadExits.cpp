// The threads that call into the library: noted on their first call, their very end delayed when a
// test asks, and, while a test records, kept so that it can ask whether they have all ended.
// A caller that says it is done with its threads (by joining them) must have waited out that end
// too; one that only counts them down while they still run is found out.
//
// On Linux the end is a thread_local object's destructor, the last thing a thread runs of this
// library; under Windows it is DLL_THREAD_DETACH, which the loader sends after the thread's own code.
#include "StandinInternal.h"
#include "ndi_standin_control.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <algorithm>
#else
#include <mutex>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

std::atomic<int> gExitDelayMs{0};
std::atomic<int> gOtherExitDelayMs{0}; // Windows: threads that never called in
// Bumped by every ndi_standin_record_threads: a thread records itself once per round.
std::atomic<uint64_t> gRound{1};

void SleepOutTheDelay(const std::atomic<int>& delay = gExitDelayMs) {
	int ms = delay.load();
	if (ms > 0)
		std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

#ifdef _WIN32

using ThreadId = DWORD;
ThreadId CurrentThreadId() {
	return GetCurrentThreadId();
}

// A slim lock, never a library mutex: it is also taken in DllMain, under the loader's lock.
SRWLOCK gLock = SRWLOCK_INIT;
struct Guard {
	Guard() { AcquireSRWLockExclusive(&gLock); }
	~Guard() { ReleaseSRWLockExclusive(&gLock); }
};

struct Recorded {
	ThreadId id;
	HANDLE handle; // our own handle keeps the thread object, and its end, observable
};

std::vector<ThreadId>* gSeen;      // threads that called in and have not detached yet
std::vector<Recorded>* gRecorded;

thread_local bool tSeen = false;
thread_local bool tOwn = false;
thread_local uint64_t tRecordedIn = 0;

#else

using ThreadId = pid_t;
ThreadId CurrentThreadId() {
	return pid_t(syscall(SYS_gettid));
}

std::mutex gMutex;
struct Guard {
	Guard() { gMutex.lock(); }
	~Guard() { gMutex.unlock(); }
};

struct Recorded {
	ThreadId id;
	std::shared_ptr<std::atomic<bool>> exitDone;
};

std::vector<Recorded>* gRecorded;

// The thread's last act in this library: its destructor runs among the thread's exit destructors,
// after the thread's own function has returned.
struct ThreadMark {
	ThreadId id = CurrentThreadId();
	std::shared_ptr<std::atomic<bool>> exitDone = std::make_shared<std::atomic<bool>>(false);
	bool own = false;
	uint64_t recordedIn = 0;
	~ThreadMark() {
		SleepOutTheDelay();
		exitDone->store(true);
	}
};
thread_local ThreadMark tMark;

bool TaskListed(ThreadId id) {
	struct stat info;
	return stat(("/proc/self/task/" + std::to_string(id)).c_str(), &info) == 0;
}

#endif

bool gRecording = false;
ThreadId gRecorder = 0; // the thread that turned recording on: never recorded

std::vector<Recorded>& RecordedList() {
	if (!gRecorded)
		gRecorded = new std::vector<Recorded>; // never freed: threads may call in at exit
	return *gRecorded;
}

void ForgetRecorded() {
#ifdef _WIN32
	for (const Recorded& r : RecordedList())
		CloseHandle(r.handle);
#endif
	RecordedList().clear();
}

} // namespace

namespace ndistandin {

void NoteCallingThread() {
#ifdef _WIN32
	uint64_t round = gRound.load();
	if (tSeen && tRecordedIn == round)
		return;
	Guard guard;
	ThreadId id = CurrentThreadId();
	if (!tSeen) {
		tSeen = true;
		if (!gSeen)
			gSeen = new std::vector<ThreadId>;
		gSeen->push_back(id);
	}
	if (tRecordedIn == round)
		return;
	tRecordedIn = round;
	if (!gRecording || tOwn || id == gRecorder)
		return;
	HANDLE handle = nullptr;
	if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle,
	                    SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0))
		RecordedList().push_back({id, handle});
#else
	ThreadMark& mark = tMark; // made on the thread's first call
	uint64_t round = gRound.load();
	if (mark.recordedIn == round)
		return;
	Guard guard;
	mark.recordedIn = round;
	if (gRecording && !mark.own && mark.id != gRecorder)
		RecordedList().push_back({mark.id, mark.exitDone});
#endif
}

void MarkOwnThread() {
#ifdef _WIN32
	tOwn = true;
#else
	tMark.own = true;
#endif
	NoteCallingThread();
}

} // namespace ndistandin

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
	if (reason == DLL_THREAD_DETACH) {
		bool calledIn = false;
		{
			Guard guard;
			ThreadId id = CurrentThreadId();
			if (gSeen) {
				auto it = std::find(gSeen->begin(), gSeen->end(), id);
				if (it != gSeen->end()) {
					gSeen->erase(it);
					calledIn = true;
				}
			}
		}
		SleepOutTheDelay(calledIn ? gExitDelayMs : gOtherExitDelayMs);
	}
	return TRUE;
}
#endif

extern "C" {

NDI_STANDIN_EXPORT void ndi_standin_set_thread_exit_delay(int milliseconds) {
	gExitDelayMs.store(milliseconds > 0 ? milliseconds : 0);
}

NDI_STANDIN_EXPORT void ndi_standin_set_other_thread_exit_delay(int milliseconds) {
	gOtherExitDelayMs.store(milliseconds > 0 ? milliseconds : 0);
}

NDI_STANDIN_EXPORT void ndi_standin_record_threads(bool record) {
	ThreadId self = CurrentThreadId();
	{
		Guard guard;
		ForgetRecorded();
		gRecording = record;
		gRecorder = self;
		gRound.fetch_add(1);
	}
	// This call into the library is the caller's too: it is now counted in this round, unrecorded.
	ndistandin::NoteCallingThread();
}

NDI_STANDIN_EXPORT int ndi_standin_recorded_threads(void) {
	Guard guard;
	return int(RecordedList().size());
}

NDI_STANDIN_EXPORT int ndi_standin_threads_not_ended(char* which, int size) {
	std::vector<Recorded> list;
	{
		Guard guard;
		list = RecordedList();
	}
	int notEnded = 0;
	std::string first;
	for (const Recorded& r : list) {
		std::string why;
#ifdef _WIN32
		if (WaitForSingleObject(r.handle, 0) != WAIT_OBJECT_0)
			why = "thread " + std::to_string(r.id) + " is still running";
#else
		if (!r.exitDone->load()) {
			why = "thread " + std::to_string(r.id) + " has not finished its exit";
		} else {
			// Its exit is over; the kernel may take a moment more to drop it from the task list.
			auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
			while (TaskListed(r.id) && std::chrono::steady_clock::now() < deadline)
				std::this_thread::sleep_for(std::chrono::milliseconds(1));
			if (TaskListed(r.id))
				why = "thread " + std::to_string(r.id) + " finished its exit but is still a task of this process";
		}
#endif
		if (!why.empty() && notEnded++ == 0)
			first = why;
	}
	if (which && size > 0)
		snprintf(which, size_t(size), "%s", first.c_str());
	return notEnded;
}

} // extern "C"
