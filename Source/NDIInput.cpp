#include "NDIInput.h"
#include "PluginCode.h"

#ifdef _WIN32
#include "AudioOut_Win.h"
#else
#include "AudioOut.h"
#endif

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <utility>

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

bool NDIInputClientList::AddClient(NDIInputClient* client) {
	CMutexLocker lock(mLock);
	if (std::find(mClients.begin(), mClients.end(), client) != mClients.end())
		return true;
	try {
		mClients.push_back(client);
	} catch (const std::bad_alloc&) {
		return false; // out of memory: the caller gives its input up and tries again later
	}
	return true;
}

void NDIInputClientList::RemoveClient(NDIInputClient* client) {
	CMutexLocker lock(mLock);
	auto it = std::find(mClients.begin(), mClients.end(), client);
	if (it != mClients.end())
		mClients.erase(it);
}

void NDIInputClientList::NotifyClientsFrameReceived(NDIFrame* frame) {
	if (!frame)
		return;
	CMutexLocker lock(mLock);
	for (NDIInputClient* client : mClients) {
		if (client && client->mCallback && client->mUserData)
			client->mCallback(client->mUserData, frame);
	}
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
std::atomic<int> NDIInput::sNDIInputThreadsInLibrary{0};
CMutex NDIInput::sThreadsLock;
std::vector<std::thread*> NDIInput::sFinishedThreads;
std::vector<NDIInput*> NDIInput::sRunningInputs;

namespace {

// Quiet time after which a connected receiver is connected again: a sender that was destroyed and
// made again is not followed by the library's receiver on its own.
constexpr std::chrono::seconds kReconnectAfter(5);
constexpr uint32_t kCaptureTimeoutMs = 25;

std::thread* StartJoinableThread(NDIInput* input) {
	try {
		return new std::thread(&NDIInput::ThreadMain, input);
	} catch (...) {
		return nullptr; // std::system_error or std::bad_alloc: nothing may reach the host
	}
}

} // namespace

std::thread* (*NDIInput::sStartThread)(NDIInput*) = StartJoinableThread;
void (*NDIInput::sBeforeReleaseHandOver)(NDIInput*) = nullptr;

NDIInput::NDIInput(VantrelParameters* parameters, NDIInputOwner* owner, const std::string& sourceName,
                   NDIBandwidth bandwidth, const std::string& audioPersistentID)
	: mParameters(parameters), mRefCount(1), mOwner(owner), mBandwidth(bandwidth), mThread(nullptr), mRunning(true),
	  mSourceName(sourceName), mFind(nullptr), mRecv(nullptr), mHaveFrame(false), mAudioPersistentID(audioPersistentID),
	  mAudioContext(nullptr), mVolume(1.0f), mAudioChannels(0), mConnected(false), mFinishedSides(0), mDead(false),
	  mThreadStarted(false), mAudioThread(nullptr), mAudioWork(false), mAudioStop(false) {
	sNDIInputThreadsRunning.fetch_add(1);
	sNDIInputThreadsInLibrary.fetch_add(1);
	{
		// The thread hands its object over under this lock, so it cannot look for it before it is
		// stored here; and room for the hand-over is made now, so that the thread's end allocates
		// nothing.
		CMutexLocker lock(sThreadsLock);
		try {
			sFinishedThreads.reserve(sFinishedThreads.size() + size_t(sNDIInputThreadsRunning.load()));
			sRunningInputs.push_back(this);
			mThread = sStartThread(this);
			if (!mThread)
				sRunningInputs.pop_back();
		} catch (...) {
			mThread = nullptr;
		}
		mThreadStarted = mThread != nullptr; // the thread may hand mThread over as soon as this is unlocked
	}
	if (!mThreadStarted) {
		// No thread: the input is Dead, and the thread's side of the hand-over is done already.
		mRunning.store(false);
		mDead.store(true);
		mFinishedSides.store(1);
		sNDIInputThreadsInLibrary.fetch_sub(1);
		sNDIInputThreadsRunning.fetch_sub(1);
	}
}

// Everything tied to a thread (the receiver, the finder, the audio output) was released by the
// receive thread before it finished its side, so this may run on any thread.
NDIInput::~NDIInput() {}

void NDIInput::JoinFinishedThreads() {
	CMutexLocker lock(sThreadsLock);
	for (std::thread* thread : sFinishedThreads) {
		try {
			if (thread->joinable())
				thread->join();
		} catch (...) {
		}
		delete thread;
	}
	sFinishedThreads.clear();
}

bool NDIInput::EndThreads(std::chrono::milliseconds limit) {
	const auto deadline = std::chrono::steady_clock::now() + limit;
	for (;;) {
		{
			CMutexLocker lock(sThreadsLock);
			if (sRunningInputs.empty())
				break;
		}
		if (std::chrono::steady_clock::now() >= deadline) {
			// Held in a device call that may never return: the host must not hang at close.
			KeepPluginCodeMapped();
			LetRunningThreadsGo();
			break;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(15));
	}
	JoinFinishedThreads();
	return sNDIInputThreadsInLibrary.load() == 0;
}

void NDIInput::LetRunningThreadsGo() {
	CMutexLocker lock(sThreadsLock);
	for (NDIInput* input : sRunningInputs) {
		// The input lives on until its own thread has left this list, which it now never does;
		// the thread frees the input itself at its end and touches nothing else of ours.
		if (input->mThread) {
			input->mThread->detach();
			delete input->mThread;
			input->mThread = nullptr;
		}
	}
	sRunningInputs.clear();
}

void NDIInput::EnterFinishedThreads() {
	CMutexLocker lock(sThreadsLock);
	auto running = std::find(sRunningInputs.begin(), sRunningInputs.end(), this);
	if (running != sRunningInputs.end())
		sRunningInputs.erase(running);
	if (!mThread)
		return; // let go: nobody joins it
	try {
		sFinishedThreads.push_back(mThread); // within the room made when the thread started
	} catch (...) {
		mThread->detach(); // cannot happen; a thread that nobody would join must not stay joinable
		delete mThread;
	}
	mThread = nullptr;
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
	CMutexLocker lock(mLock);
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
	return 0;
}

void NDIInput::ThreadMain() {
	if (Startup() == 0) {
		mConnected = false;
		while (mRunning.load(std::memory_order_acquire)) {
			try {
				if (!mConnected)
					Discover();
				if (mConnected)
					Capture();
			} catch (...) {
				// Out of memory or the like: this pass is given up and the next one tries again.
			}
		}
		// The library first: the audio thread never calls it, and may be held in a device call.
		Shutdown();
		sNDIInputThreadsInLibrary.fetch_sub(1);
		EndAudioThread(); // every device of the input is closed when it returns
	} else {
		mDead.store(true);
		sNDIInputThreadsInLibrary.fetch_sub(1);
	}
	mRunning.store(false, std::memory_order_release);
	// The host may unload the plug-in once the last actor is gone: whoever waits for the threads
	// joins this one, so that none still runs the plug-in's code by then.
	EnterFinishedThreads();
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
		// Kept for connecting again later, when the finder may no longer list the source.
		mSourceURL = sources[i].p_url_address ? sources[i].p_url_address : "";
		NDIlib_recv_create_v3_t settings;
		settings.source_to_connect_to = sources[i];
		settings.color_format = NDIlib_recv_color_format_BGRX_BGRA;
		settings.bandwidth = mBandwidth != 0 ? NDIlib_recv_bandwidth_highest : NDIlib_recv_bandwidth_lowest;
		settings.allow_video_fields = false;
		settings.p_ndi_recv_name = nullptr;
		NDIlib_recv_instance_t recv = NDIlib_recv_create_v3(&settings);
		if (recv) {
			NDIlib_recv_connect(recv, &sources[i]);
			{
				CMutexLocker lock(mLock);
				mRecv = recv;
			}
			mConnected = true; // one receiver per input: later entries of the same name are left alone
			mQuietSince = std::chrono::steady_clock::now();
		}
	}
}

void NDIInput::Reconnect() {
	NDIlib_source_t source;
	source.p_ndi_name = mSourceName.c_str();
	source.p_url_address = mSourceURL.empty() ? nullptr : mSourceURL.c_str();
	uint32_t count = 0;
	const NDIlib_source_t* sources = NDIlib_find_get_current_sources(mFind, &count);
	for (uint32_t i = 0; sources && i < count; ++i) {
		if (sources[i].p_ndi_name && mSourceName == sources[i].p_ndi_name) {
			source = sources[i]; // the sender as it is listed now: it may have come back elsewhere
			mSourceURL = source.p_url_address ? source.p_url_address : "";
			break;
		}
	}
	NDIlib_recv_connect(mRecv, &source);
}

void NDIInput::Capture() {
	NDIlib_video_frame_v2_t video;
	NDIlib_audio_frame_v2_t audio;
	const auto asked = std::chrono::steady_clock::now();
	const NDIlib_frame_type_e type = NDIlib_recv_capture_v2(mRecv, &video, &audio, nullptr, kCaptureTimeoutMs);
	switch (type) {
	case NDIlib_frame_type_video: {
		CMutexLocker lock(mLock);
		HandleVideoFrame(video);
		break;
	}
	case NDIlib_frame_type_audio:
		HandleAudioFrame(audio);
		break;
	case NDIlib_frame_type_none:
	case NDIlib_frame_type_error:
		// A runtime that answers at once (a lost connection may) would have this loop spin: the
		// time-out is waited out here instead.
		std::this_thread::sleep_until(asked + std::chrono::milliseconds(kCaptureTimeoutMs));
		break;
	default:
		break;
	}
	// The same receiver is connected again, never made anew: actors' frames still refer to it.
	const auto now = std::chrono::steady_clock::now();
	if (type == NDIlib_frame_type_video || type == NDIlib_frame_type_audio) {
		mQuietSince = now;
	} else if (now - mQuietSince >= kReconnectAfter) {
		mQuietSince = now;
		Reconnect();
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

// ---- The input's audio output: decided on the receive thread, opened on a thread of its own ----

namespace {
// A request that keeps failing is tried again this long after the end of its last attempt.
constexpr std::chrono::seconds kAudioRetryInterval(1);
} // namespace

void NDIAudioRequest::swap(NDIAudioRequest& other) {
	std::swap(mWanted, other.mWanted);
	mPersistentID.swap(other.mPersistentID);
	std::swap(mChannels, other.mChannels);
	std::swap(mSampleRate, other.mSampleRate);
	std::swap(mFramesPerBuffer, other.mFramesPerBuffer);
}

bool NDIAudioRequest::operator==(const NDIAudioRequest& other) const {
	return mWanted == other.mWanted && mPersistentID == other.mPersistentID && mChannels == other.mChannels
	       && mSampleRate == other.mSampleRate && mFramesPerBuffer == other.mFramesPerBuffer;
}

void NDIInput::HandleAudioFrame(const NDIlib_audio_frame_v2_t& audio) {
	if (IsUsableAudioFrame(audio)) {
		bool wake = false;
		{
			CMutexLocker lock(mLock);
			try {
				wake = RequestAudioOutput(audio);
			} catch (...) {
				// Out of memory: no audio for this frame; the next one tries again.
			}
			if (!mAudioPersistentID.empty())
				mAudioChannels.store(audio.no_channels); // no device: the count keeps its last value
		}
		if (wake && !WakeAudioThread(false)) {
			CMutexLocker lock(mLock);
			mAudioRequest = NDIAudioRequest(); // no thread to be had: asked again at the next frame
		}
	}
	NDIlib_recv_free_audio_v2(mRecv, &audio);
}

bool NDIInput::RequestAudioOutput(const NDIlib_audio_frame_v2_t& audio) {
	const bool wanted = !mAudioPersistentID.empty();
	const int framesPerBuffer = audio.sample_rate / 10;
	const bool ready = wanted && mAudioContext
	                   && mAudioContext->IsCompatible(mAudioPersistentID, audio.no_channels, audio.sample_rate,
	                                                  framesPerBuffer);
	if (ready)
		QueueAudio(audio);
	// Compared in place: the frames of a steady stream ask for nothing new and allocate nothing.
	const NDIAudioRequest& last = mAudioRequest;
	const bool same = last.mWanted == wanted
	                  && (!wanted
	                      || (last.mPersistentID == mAudioPersistentID && last.mChannels == audio.no_channels
	                          && last.mSampleRate == audio.sample_rate && last.mFramesPerBuffer == framesPerBuffer));
	if (same) // a device of the context's that asks for a look (it may have gone) is new work
		return mAudioContext && (!ready || mAudioContext->DeviceNeedsLook());
	NDIAudioRequest request;
	if (wanted) {
		request.mWanted = true;
		request.mPersistentID = mAudioPersistentID;
		request.mChannels = audio.no_channels;
		request.mSampleRate = audio.sample_rate;
		request.mFramesPerBuffer = framesPerBuffer;
	}
	mAudioRequest = std::move(request);
	return true;
}

void NDIInput::QueueAudio(const NDIlib_audio_frame_v2_t& audio) {
	CAudioBufferList& queue = mAudioContext->GetBufferList();
	queue.SetVolume(mVolume);
	CAudioBuffer* block = new (std::nothrow) CAudioBuffer(queue.GetChannelCount(), audio.p_data, audio.no_channels,
	                                                      audio.no_samples, false, audio.channel_stride_in_bytes / 4);
	if (block) {
		queue.AppendBuffer(block);
		block->Release();
	}
}

bool NDIInput::WakeAudioThread(bool stop) {
	{
		std::lock_guard<std::mutex> guard(mAudioWakeLock);
		if (stop)
			mAudioStop = true;
		else
			mAudioWork = true;
	}
	mAudioWake.notify_one();
	if (mAudioThread || stop)
		return true;
	try {
		mAudioThread = new std::thread(&NDIInput::AudioThreadMain, this);
	} catch (...) {
		return false;
	}
	return true;
}

void NDIInput::EndAudioThread() {
	if (!mAudioThread)
		return;
	WakeAudioThread(true);
	try {
		mAudioThread->join();
	} catch (...) {
	}
	delete mAudioThread;
	mAudioThread = nullptr;
}

void NDIInput::AudioThreadMain() {
	AudioAttempt last;
	bool timed = false;
	std::chrono::steady_clock::time_point lookAgainAt;
	std::unique_lock<std::mutex> wake(mAudioWakeLock);
	for (;;) {
		const auto woken = [this] { return mAudioWork || mAudioStop; };
		if (timed)
			mAudioWake.wait_until(wake, lookAgainAt, woken);
		else
			mAudioWake.wait(wake, woken);
		if (mAudioStop)
			break;
		mAudioWork = false;
		wake.unlock();
		try {
			timed = UpdateAudioOutput(last, lookAgainAt);
		} catch (...) {
			// Out of memory: whatever is asked by then is tried again after the interval.
			last.mMade = true;
			last.mAnyRequest = true;
			last.mEnded = std::chrono::steady_clock::now();
			lookAgainAt = last.mEnded + kAudioRetryInterval;
			timed = true;
		}
		wake.lock();
	}
	wake.unlock();
	CloseAudioOutput();
}

bool NDIInput::UpdateAudioOutput(AudioAttempt& last, std::chrono::steady_clock::time_point& lookAgainAt) {
	NDIAudioRequest request;
	NDIAudioContext* current = nullptr;
	{
		CMutexLocker lock(mLock);
		request = mAudioRequest;
		current = mAudioContext;
	}
	// Only this thread reads device properties: the receive thread and the host's thread never
	// wait for a device.
	if (current && request.mWanted
	    && current->IsCompatible(request.mPersistentID, request.mChannels, request.mSampleRate,
	                             request.mFramesPerBuffer)
	    && !current->LookAtDevice())
		return false;
	CloseAudioOutput();
	if (!request.mWanted)
		return false;
	// The same request again within the interval after the end of its last attempt, whether that
	// failed or opened a device found unusable at once: its turn comes at the timed wake.
	const auto now = std::chrono::steady_clock::now();
	if (last.mMade && (last.mAnyRequest || last.mRequest == request) && now < last.mEnded + kAudioRetryInterval) {
		lookAgainAt = last.mEnded + kAudioRetryInterval;
		return true;
	}

	NDIAudioContext* made = nullptr;
	CreatePlatformAudioContext(request.mPersistentID, request.mChannels, request.mSampleRate,
	                           request.mFramesPerBuffer, made);
	last.mMade = true;
	last.mAnyRequest = false;
	last.mRequest.swap(request); // allocates nothing: a context just made must not be lost
	last.mEnded = std::chrono::steady_clock::now();
	if (!made) {
		lookAgainAt = last.mEnded + kAudioRetryInterval;
		return true;
	}
	CMutexLocker lock(mLock);
	made->GetBufferList().SetInitialVolume(mVolume); // a new output never starts louder than asked
	mAudioContext = made;
	return false;
}

void NDIInput::CloseAudioOutput() {
	NDIAudioContext* context = nullptr;
	{
		CMutexLocker lock(mLock);
		context = mAudioContext;
		mAudioContext = nullptr;
	}
	if (context) {
		context->Stop();
		context->Release();
	}
}

void NDIInput::Service() {
	NDIFrame* frame = nullptr;
	{
		CMutexLocker lock(mLock);
		if (mRunning.load(std::memory_order_acquire) && mHaveFrame) {
			frame = new (std::nothrow) NDIFrame(mRecv, mFrame);
			if (!frame)
				NDIlib_recv_free_video_v2(mRecv, &mFrame);
			mHaveFrame = false;
		}
	}
	if (frame) {
		mClients.NotifyClientsFrameReceived(frame);
		frame->Release();
	}
}

void NDIInput::SetVolume(float gain) {
	CMutexLocker lock(mLock);
	mVolume = gain;
	if (mAudioContext)
		mAudioContext->GetBufferList().SetVolume(gain);
}

void NDIInput::SetAudioOutputDeviceName(const std::string& name) {
	std::string persistentID = NDIInputMgr::sNDIInputMgr.AudioDeviceNameToPersistentID(name);
	SetAudioOutputPersistentID(persistentID);
}

void NDIInput::SetAudioOutputPersistentID(const std::string& persistentID) {
	CMutexLocker lock(mLock);
	mAudioPersistentID = persistentID;
}

// ---- The manager ----------------------------------------------------------------------------

NDIInputMgr NDIInputMgr::sNDIInputMgr;

NDIInputMgr::NDIInputMgr() : mAudioDevices(kDeviceTypeOutput), mAudioDevicesReady(false) {}

NDIInputMgr::~NDIInputMgr() {}

void NDIInputMgr::PrepareAudioDevices() {
	// A walk that ran out of memory is made again by the next actor's creation.
	if (!mAudioDevicesReady)
		mAudioDevicesReady = CDeviceDescList::UpdateDeviceDescList(mAudioDevices);
}

NDIInput* NDIInputMgr::AcquireNDIInput(VantrelParameters* parameters, const std::string& sourceName,
                                       NDIBandwidth bandwidth, const std::string& audioDeviceName) {
	NDIInput::JoinFinishedThreads();
	CMutexLocker lock(*this);
	std::string persistentID = AudioDeviceNameToPersistentID(audioDeviceName);
	for (auto it = begin(); it != end(); ++it) {
		NDIInput* input = *it;
		if (!input->Matches(sourceName))
			continue;
		if (input->IsDead()) {
			// Its holders drop it in their own time; whoever asks now gets a new input.
			erase(it);
			break;
		}
		input->SetAudioOutputPersistentID(persistentID); // may throw: before the reference is taken
		input->Retain();
		return input;
	}
	NDIInput* made = new (std::nothrow) NDIInput(parameters, this, sourceName, bandwidth, persistentID);
	if (!made)
		return nullptr;
	if (!made->ThreadStarted()) {
		made->Release(); // frees it: it never had a thread
		return nullptr;
	}
	try {
		push_back(made);
	} catch (...) {
		made->Release();
		return nullptr;
	}
	return made;
}

void NDIInputMgr::RemoveNDIInput(VantrelParameters*, NDIInput* input, bool release) {
	CMutexLocker lock(*this);
	if (std::find(begin(), end(), input) == end())
		return;
	if (release)
		input->Release(); // the last reference re-enters through NotifyNDIInputRelease
	auto it = std::find(begin(), end(), input);
	if (it != end())
		erase(it);
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
