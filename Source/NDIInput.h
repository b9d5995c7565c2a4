// NDI reception: the recursive lock every class uses, received video frames shared by reference
// count, and the lists of actors that subscribe to a shared input's frames.
#ifndef NDI_INPUT_H
#define NDI_INPUT_H

#include "NDIRuntime.h"

#include <vector>

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

	void AddClient(NDIInputClient* client);
	void RemoveClient(NDIInputClient* client);
	// The frame is lent to the callbacks: one that keeps it retains it.
	void NotifyClientsFrameReceived(NDIFrame* frame);

private:
	NDIInputClientList(const NDIInputClientList&) = delete;
	NDIInputClientList& operator=(const NDIInputClientList&) = delete;

	std::vector<NDIInputClient*> mClients;
	CMutex mLock;
};

#endif
