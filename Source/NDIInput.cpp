#include "NDIInput.h"

#include <algorithm>
#include <new>

// ---------------------------------------------------------------------------------------------
// CMutex

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

// ---------------------------------------------------------------------------------------------
// NDIFrame

NDIFrame::NDIFrame(void* recv, NDIlib_video_frame_v2_t frame) : mRecv(recv), mFrame(frame), mRefCount(1) {}

NDIFrame::~NDIFrame() {
	NDIlib_recv_free_video_v2(mRecv, &mFrame);
}

void NDIFrame::Retain() {
	++mRefCount;
}

void NDIFrame::Release() {
	if (--mRefCount == 0)
		delete this;
}

// ---------------------------------------------------------------------------------------------
// NDIInputClientList

void NDIInputClientList::AddClient(NDIInputClient* client) {
	mLock.Lock();
	if (std::find(mClients.begin(), mClients.end(), client) == mClients.end()) {
		try {
			mClients.push_back(client);
		} catch (const std::bad_alloc&) {
			// Out of memory: the actor stays unsubscribed rather than the lock staying taken.
		}
	}
	mLock.Unlock();
}

void NDIInputClientList::RemoveClient(NDIInputClient* client) {
	mLock.Lock();
	auto it = std::find(mClients.begin(), mClients.end(), client);
	if (it != mClients.end())
		mClients.erase(it);
	mLock.Unlock();
}

void NDIInputClientList::NotifyClientsFrameReceived(NDIFrame* frame) {
	if (!frame)
		return;
	mLock.Lock();
	for (NDIInputClient* client : mClients) {
		if (client && client->mCallback && client->mUserData)
			client->mCallback(client->mUserData, frame);
	}
	mLock.Unlock();
}
