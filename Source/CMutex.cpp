#include "CMutex.h"

#ifdef _WIN32

// InitializeCriticalSection cannot fail on any Windows the plug-in runs on.
CMutex::CMutex() {
	InitializeCriticalSection(&mMutex);
}

CMutex::~CMutex() {
	DeleteCriticalSection(&mMutex);
}

void CMutex::Lock() {
	EnterCriticalSection(&mMutex);
}

void CMutex::Unlock() {
	LeaveCriticalSection(&mMutex);
}

#else

CMutex::CMutex() {
	bool made = false;
	pthread_mutexattr_t attr;
	if (pthread_mutexattr_init(&attr) == 0) {
		made = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
		       pthread_mutex_init(&mMutex, &attr) == 0;
		pthread_mutexattr_destroy(&attr);
	}
	if (!made) {
		// Out of resources: the static initialiser needs none, so the lock still works and
		// nobody has to check for a lock that does not exist.
#if defined(PTHREAD_RECURSIVE_MUTEX_INITIALIZER)
		mMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER;
#else
		mMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
#endif
	}
}

CMutex::~CMutex() {
	pthread_mutex_destroy(&mMutex);
}

void CMutex::Lock() {
	pthread_mutex_lock(&mMutex);
}

void CMutex::Unlock() {
	pthread_mutex_unlock(&mMutex);
}

#endif
