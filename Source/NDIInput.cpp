#include "NDIInput.h"

#ifdef _WIN32
#include "AudioOut_Win.h"
#else
#include "AudioOut.h"
#endif

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


namespace {

int CreatePlatformAudioContext(const std::string& persistentID, int channels, int sampleRate, int framesPerBuffer,
                               NDIAudioContext*& context) {
#ifdef _WIN32
	return CWASAPIAudioContext::CreateWASAPIAudioContext(persistentID, channels, sampleRate, framesPerBuffer, context);
#else
	return CCoreAudioContext::CreateCoreAudioContext(persistentID, channels, sampleRate, framesPerBuffer, context);
#endif
}

} // namespace

// ---- The shared input -----------------------------------------------------------------------

namespace {

// What a received record may claim before it is believed. Anything outside goes back unused.
constexpr int kMinAudioRate = 8000, kMaxAudioRate = 384000;
constexpr int kMaxAudioChannels = 64;
constexpr int kMaxAudioSamples = 384000; // one second at the highest rate

bool IsUsableAudioFrame(const NDIlib_audio_frame_v2_t& audio) {
	if (!audio.p_data || audio.sample_rate < kMinAudioRate || audio.sample_rate > kMaxAudioRate)
		return false;
	if (audio.no_channels < 1 || audio.no_channels > kMaxAudioChannels)
		return false;
	if (audio.no_samples < 1 || audio.no_samples > kMaxAudioSamples)
		return false;
	return audio.channel_stride_in_bytes % 4 == 0 && int64_t(audio.channel_stride_in_bytes) >= int64_t(audio.no_samples) * 4;
}

bool IsUsableVideoFrame(const NDIlib_video_frame_v2_t& video) {
	if (video.FourCC != NDIlib_FourCC_video_type_BGRX && video.FourCC != NDIlib_FourCC_video_type_BGRA)
		return false;
	return video.p_data && video.xres > 0 && video.yres > 0 &&
	       int64_t(video.line_stride_in_bytes) >= int64_t(video.xres) * 4;
}

} // namespace

std::atomic<int> NDIInput::sNDIInputThreadsRunning{0};

NDIInput::NDIInput(VantrelParameters* parameters, NDIInputOwner* owner, const std::string& sourceName,
                   NDIBandwidth bandwidth, const std::string& audioPersistentID)
	: mParameters(parameters), mRefCount(1), mOwner(owner), mBandwidth(bandwidth), mThread(nullptr), mRunning(true),
	  mSourceName(sourceName), mFind(nullptr), mRecv(nullptr), mHaveFrame(false), mAudioPersistentID(audioPersistentID),
	  mAudioContext(nullptr), mVolume(1.0f), mAudioChannels(0), mConnected(false), mFinishedSides(0) {
	sNDIInputThreadsRunning.fetch_add(1);
	mThread = sStartThread(this);
	if (!mThread) {
		// No thread: the input is Dead, and the thread's side of the hand-over is done already.
		mRunning.store(false);
		mFinishedSides.store(1);
		sNDIInputThreadsRunning.fetch_sub(1);
	}
}

namespace {
std::thread* StartDetachedThread(NDIInput* input) {
	try {
		std::thread* thread = new std::thread(&NDIInput::ThreadMain, input);
		thread->detach();
		return thread;
	} catch (...) {
		return nullptr; // std::system_error or std::bad_alloc: nothing may reach the host
	}
}
} // namespace

std::thread* (*NDIInput::sStartThread)(NDIInput*) = StartDetachedThread;
void (*NDIInput::sBeforeReleaseHandOver)(NDIInput*) = nullptr;

NDIInput::~NDIInput() {
	if (mAudioContext) {
		mAudioContext->Stop();
		ReleaseAudioContext();
	}
	delete mThread; // detached: deleting the object waits for nothing
}

void NDIInput::Retain() {
	++mRefCount;
}

void NDIInput::Release() {
	if (--mRefCount > 0)
		return;
	if (mOwner)
		mOwner->NotifyNDIInputRelease(mParameters, this);
	mRunning.store(false, std::memory_order_release);
	if (sBeforeReleaseHandOver)
		sBeforeReleaseHandOver(this);
	FinishOneSide();
}

void NDIInput::FinishOneSide() {
	if (mFinishedSides.fetch_add(1, std::memory_order_acq_rel) == 1)
		delete this;
}

bool NDIInput::Matches(const std::string& sourceName) const {
	return sourceName == mSourceName;
}

int NDIInput::Startup() {
	mFind = NDIlib_find_create_v2(nullptr);
	return mFind ? 0 : -1;
}

int NDIInput::Shutdown() {
	mLock.Lock();
	if (mHaveFrame) {
		NDIlib_recv_free_video_v2(mRecv, &mFrame);
		mHaveFrame = false;
	}
	if (mRecv) {
		NDIlib_recv_destroy(mRecv);
		mRecv = nullptr;
	}
	if (mFind) {
		NDIlib_find_destroy(mFind);
		mFind = nullptr;
	}
	mLock.Unlock();
	return 0;
}

void NDIInput::ThreadMain() {
	bool started = Startup() == 0;
	if (started) {
		mConnected = false;
		while (mRunning.load(std::memory_order_acquire)) {
			if (!mConnected)
				Discover();
			if (mConnected)
				Capture();
		}
		Shutdown();
	}
	mRunning.store(false, std::memory_order_release);
	FinishOneSide(); // may free the input: nothing below touches it
	sNDIInputThreadsRunning.fetch_sub(1);
}

void NDIInput::Discover() {
	// Waits inside the library, also with no name to look for, so the thread never spins.
	NDIlib_find_wait_for_sources(mFind, 50);
	if (mSourceName.empty())
		return;
	uint32_t count = 0;
	const NDIlib_source_t* sources = NDIlib_find_get_current_sources(mFind, &count);
	if (!sources || count == 0)
		return;
	for (uint32_t i = 0; i < count && !mConnected; ++i) {
		if (!sources[i].p_ndi_name || mSourceName != sources[i].p_ndi_name)
			continue;
		NDIlib_recv_create_v3_t settings;
		settings.source_to_connect_to = sources[i];
		settings.color_format = NDIlib_recv_color_format_BGRX_BGRA;
		settings.bandwidth = mBandwidth != 0 ? NDIlib_recv_bandwidth_highest : NDIlib_recv_bandwidth_lowest;
		settings.allow_video_fields = false;
		settings.p_ndi_recv_name = nullptr;
		NDIlib_recv_instance_t recv = NDIlib_recv_create_v3(&settings);
		if (recv) {
			NDIlib_recv_connect(recv, &sources[i]);
			mLock.Lock();
			mRecv = recv;
			mLock.Unlock();
			mConnected = true; // one receiver per input: later entries of the same name are left alone
		}
	}
}

void NDIInput::Capture() {
	NDIlib_video_frame_v2_t video;
	NDIlib_audio_frame_v2_t audio;
	switch (NDIlib_recv_capture_v2(mRecv, &video, &audio, nullptr, 25)) {
	case NDIlib_frame_type_video:
		mLock.Lock();
		HandleVideoFrame(video);
		mLock.Unlock();
		break;
	case NDIlib_frame_type_audio:
		mLock.Lock();
		HandleAudioFrame(audio);
		mLock.Unlock();
		break;
	default:
		break;
	}
}

void NDIInput::HandleVideoFrame(const NDIlib_video_frame_v2_t& video) {
	if (mHaveFrame) {
		NDIlib_recv_free_video_v2(mRecv, &mFrame);
		mHaveFrame = false;
	}
	if (!IsUsableVideoFrame(video)) {
		NDIlib_recv_free_video_v2(mRecv, &video);
		return;
	}
	mFrame = video;
	mHaveFrame = true;
}

void NDIInput::ReleaseAudioContext() {
	if (mAudioContext) {
		mAudioContext->Release();
		mAudioContext = nullptr;
	}
}

void NDIInput::HandleAudioFrame(const NDIlib_audio_frame_v2_t& audio) {
	if (!IsUsableAudioFrame(audio)) {
		NDIlib_recv_free_audio_v2(mRecv, &audio);
		return;
	}
	if (mAudioPersistentID.empty()) {
		ReleaseAudioContext();
		NDIlib_recv_free_audio_v2(mRecv, &audio);
		return;
	}
	int framesPerBuffer = audio.sample_rate / 10;
	if (mAudioContext &&
	    !mAudioContext->IsCompatible(mAudioPersistentID, audio.no_channels, audio.sample_rate, framesPerBuffer))
		ReleaseAudioContext();
	if (!mAudioContext) {
		CreatePlatformAudioContext(mAudioPersistentID, audio.no_channels, audio.sample_rate, framesPerBuffer,
		                           mAudioContext);
		if (mAudioContext)
			mAudioContext->GetBufferList().SetInitialVolume(mVolume);
	}
	if (mAudioContext) {
		CAudioBufferList& queue = mAudioContext->GetBufferList();
		queue.SetVolume(mVolume);
		CAudioBuffer* block = new (std::nothrow) CAudioBuffer(queue.GetChannelCount(), audio.p_data, audio.no_channels,
		                                                      audio.no_samples, false, audio.channel_stride_in_bytes / 4);
		if (block) {
			queue.AppendBuffer(block);
			block->Release();
		}
	}
	mAudioChannels.store(audio.no_channels);
	NDIlib_recv_free_audio_v2(mRecv, &audio);
}

void NDIInput::Service() {
	NDIFrame* frame = nullptr;
	mLock.Lock();
	if (mRunning.load(std::memory_order_acquire) && mHaveFrame) {
		frame = new (std::nothrow) NDIFrame(mRecv, mFrame);
		if (!frame)
			NDIlib_recv_free_video_v2(mRecv, &mFrame);
		mHaveFrame = false;
	}
	mLock.Unlock();
	if (frame) {
		mClients.NotifyClientsFrameReceived(frame);
		frame->Release();
	}
}

void NDIInput::SetVolume(float gain) {
	mLock.Lock();
	mVolume = gain;
	if (mAudioContext)
		mAudioContext->GetBufferList().SetVolume(gain);
	mLock.Unlock();
}

void NDIInput::SetAudioOutputDeviceName(const std::string& name) {
	std::string persistentID = NDIInputMgr::sNDIInputMgr.AudioDeviceNameToPersistentID(name);
	SetAudioOutputPersistentID(persistentID);
}

void NDIInput::SetAudioOutputPersistentID(const std::string& persistentID) {
	mLock.Lock();
	mAudioPersistentID = persistentID;
	mLock.Unlock();
}

// ---- The manager ----------------------------------------------------------------------------

NDIInputMgr NDIInputMgr::sNDIInputMgr;

NDIInputMgr::NDIInputMgr() : mAudioDevices(kDeviceTypeOutput), mAudioDevicesReady(false) {}

NDIInputMgr::~NDIInputMgr() {}

void NDIInputMgr::PrepareAudioDevices() {
	if (mAudioDevicesReady)
		return;
	mAudioDevicesReady = true;
	CDeviceDescList::UpdateDeviceDescList(mAudioDevices);
}

NDIInput* NDIInputMgr::AcquireNDIInput(VantrelParameters* parameters, const std::string& sourceName,
                                       NDIBandwidth bandwidth, const std::string& audioDeviceName) {
	Lock();
	std::string persistentID = AudioDeviceNameToPersistentID(audioDeviceName);
	NDIInput* result = nullptr;
	for (NDIInput* input : *this) {
		if (input->Matches(sourceName)) {
			result = input;
			result->Retain();
			result->SetAudioOutputPersistentID(persistentID);
			break;
		}
	}
	if (!result) {
		NDIInput* made = new (std::nothrow) NDIInput(parameters, this, sourceName, bandwidth, persistentID);
		if (made && made->ThreadStarted()) {
			try {
				push_back(made);
				result = made;
			} catch (...) {
				made->Release();
			}
		} else if (made) {
			made->Release(); // frees it: it never had a thread
		}
	}
	Unlock();
	return result;
}

void NDIInputMgr::RemoveNDIInput(VantrelParameters*, NDIInput* input, bool release) {
	Lock();
	if (std::find(begin(), end(), input) != end()) {
		if (release)
			input->Release(); // the last reference re-enters through NotifyNDIInputRelease
		auto it = std::find(begin(), end(), input);
		if (it != end())
			erase(it);
	}
	Unlock();
}

void NDIInputMgr::NotifyNDIInputRelease(VantrelParameters* parameters, NDIInput* input) {
	RemoveNDIInput(parameters, input, false);
}

std::string NDIInputMgr::AudioDeviceNameToPersistentID(const std::string& name) const {
	unsigned long index = 0;
	CDeviceDesc device;
	if (mAudioDevices.FindByName(name, index) && mAudioDevices.GetDevice(index, device))
		return device.mPersistentID;
	return std::string();
}
