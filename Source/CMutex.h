// The recursive lock every class of the plug-in uses.
#ifndef CMUTEX_H
#define CMUTEX_H

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

// One recursive lock: the thread that holds it may take it again, and it is free once every
// Lock has been matched by an Unlock.
class CMutex {
public:
	CMutex();
	~CMutex();

	void Lock();
	void Unlock();

private:
	CMutex(const CMutex&) = delete;
	CMutex& operator=(const CMutex&) = delete;

#ifdef _WIN32
	CRITICAL_SECTION mMutex;
#else
	pthread_mutex_t mMutex;
#endif
};

// Holds a lock for the rest of a scope, so that nothing thrown under it can leave it taken.
class CMutexLocker {
public:
	explicit CMutexLocker(CMutex& mutex) : mMutex(mutex) { mMutex.Lock(); }
	~CMutexLocker() { mMutex.Unlock(); }

private:
	CMutexLocker(const CMutexLocker&) = delete;
	CMutexLocker& operator=(const CMutexLocker&) = delete;

	CMutex& mMutex;
};

#endif
