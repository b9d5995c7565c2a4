#include "NDIVidraneActor.h"

#include "AudioDevices.h"
#include "FirstUseNotice.h"
#include "NDIInput.h"
#include "NDIRuntime.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

const char kActorName[] = "NDI 4 Vidrane BETA";

// The per-actor record, allocated from the host and reached through ActorInfo's mActorDataPtr.
struct ActorData {
	VantrelParameters* mParameters;
	ActorInfo* mInfo;
	int64_t mReceiverHandle;
	char mSourceName[512];
	NDIBandwidth mBandwidth;
	char mAudioDeviceName[512];
	bool mAudioDeviceChanged;
	bool mInputStale;
	uint32_t mNextSourcePoll;
	bool mSourcePolled; // since activation: the first poll is due at once
	uint32_t mLastSourceCount;
	NDIInput* mInput;
	NDIInputClient* mClient;
	ImageBufferDesc mImage;
	NDIFrame* mPendingFrame;
	NDIFrame* mCurrentFrame;
	int32_t mLastChannelCount;
	int64_t mImageBufferHandle;
	bool mVideoOutputSet;
	// The actor's own volume, handed to every input it acquires, so that a muted actor stays
	// muted when its source changes.
	float mVolume;
	// When the input held was acquired (steady clock, ms): a Dead input is given up at most once a
	// second.
	int64_t mInputAcquiredMs;
};

namespace {

// Every callback reaches the host through this: nothing thrown inside may cross the boundary.
// A failed callback does what a callback that found nothing to do would do.
template <auto Fn>
struct HostCallback;
template <typename R, typename... Args, R (*Fn)(Args...)>
struct HostCallback<Fn> {
	static R Call(Args... args) {
		try {
			return Fn(args...);
		} catch (...) {
			return R();
		}
	}
};


// Fields separated by runs of tabs, each property ended by a carriage return.
const char kPropertyDefinitions[] =
	"INPROP\t\tndi_source\t\tsysv\tstring\t\t\ttext,popup\t\t\t*\t\t*\t\t\r"
	"INPROP\t\tbandwidth\t\tband\tint\t\t\t\tpropdef\t\t\t\t0\t\t1\t\t1\r"
	"INPROP\t\taudio_out\t\taudi\tstring\t\t\ttext,popup\t\t\t*\t\t*\t\tNone\r"
	"INPROP\t\tvolume\t\t\tvolu\tfloat\t\t\tnumber\t\t\t\t0\t\t100\t\t100\r"
	"OUTPROP\tvideo\t\t\tvido\tdata\t\t\ttexture\t\t\t\t*\t\t*\t\t0\r"
	"OUTPROP\tndi_sources\t\tsrcs\tint\t\t\t\tnumber\t\t\t\t0\t\t*\t\t0\r"
	"OUTPROP\taudio_chan\t\tachn\tint\t\t\t\tnumber\t\t\t\t0\t\t*\t\t0\r";
static_assert(sizeof(kPropertyDefinitions) - 1 == 361, "the property text is 361 characters");

enum : uint16_t { kInputSource = 1, kInputBandwidth = 2, kInputAudioOut = 3, kInputVolume = 4 };
enum : uint32_t { kOutputVideo = 1, kOutputSourceCount = 2, kOutputAudioChannels = 3 };

constexpr uint32_t FourCharCode(char a, char b, char c, char d) {
	return uint32_t(uint8_t(a)) << 24 | uint32_t(uint8_t(b)) << 16 | uint32_t(uint8_t(c)) << 8 | uint32_t(uint8_t(d));
}

// Indexed by the host's GetHelpStringIndex: the actor, inputs 1 to 4, outputs 1 to 3.
const char* const sHelpStrings[] = {
#ifdef _WIN32
	"Outputs a video stream received from an NDI Server, optionally sending the NDI to the specified audio "
	"device. (This actor uses the library from NDI %s.)",
#else
	"Outputs a video stream received from an NDI Server, optionally sending the NDI to the specified audio "
	"device. (This actor is requires NDI %s.)",
#endif
	"The identifier of the NDI source from which to receive video. When you click this input, a list of "
	"currently available sources will be shown; pick the server you to which you wish to connect from this list.",
	"The bandwidth requested when creating the receiver. Choose 'low' for maximum compatibility and efficiency. "
	"For the highest quality, choose 'high'.",
	"Selects the system audio output device used to play audio received from the selected NDI source. Set this "
	"to 'Nnone' if you do not wish to hear the NDI audio. (Note that ASIO outputs are not supported at this time.)",
	"For NDI streams with audio, controls the volume of the audio as sent to the output device specified by the "
	"'audio out' property.",
	"The received video stream from the NDI server.",
	"The current number of NDI sources seen by this actor.",
	"When receiving an NDI stream that contains audio, reports the number of audio channels in the source stream. "
	"If no NDI stream is currently being received or if the stream has no audio channels, this output will be zero.",
};
constexpr uint32_t kNumHelpStrings = sizeof(sHelpStrings) / sizeof(sHelpStrings[0]);
static_assert(kNumHelpStrings == 8, "one help text per property and one for the actor");

const char* const sBandwidth[] = {"low", "high"};

#ifdef _WIN32
constexpr int kRequiredNDIMajor = 4;
#else
constexpr int kRequiredNDIMajor = 3;
#endif

// How long the last disposal waits for the plug-in's threads: within the ten seconds a host gives
// a plug-in at close, with room for the rest of the disposal.
constexpr std::chrono::milliseconds kThreadsEndLimit(8000);

// Plug-in-wide state, one copy per loaded plug-in.
int32_t sNDILibInitCount = 0;
bool sNDILibInitialized = false;
bool sNDIVersionOK = false;
// Whether the runtime started by the current initialisation is of the required major: an actor
// told it is disabled acquires no input, so no thread calls a runtime it was not built for.
bool sNDIVersionMatches = false;
NDIlib_find_instance_t sNDIFind = nullptr;
int32_t sNDIInputActorsInstantiated = 0;

// Actors whose record the host could not allocate: created and counted, with nothing to act on.
std::vector<ActorInfo*> sActorsWithoutRecord;

// The host's picture record for the actor-defined area: loaded flag first, two sizes at 24 and 26.
uint8_t gPictInfo[256];
constexpr size_t kPictWidthOffset = 24, kPictHeightOffset = 26;

void ReportAssertion(VantrelParameters* ipParams, const char* inCondition, int inLine) {
	if (ipParams && ipParams->mCallbacks && ipParams->mCallbacks->ReportAssertion)
		ipParams->mCallbacks->ReportAssertion(inCondition, kActorName, inLine);
}

ActorData* DataOf(ActorInfo* ipActorInfo) {
	if (!ipActorInfo)
		return nullptr;
	if (std::find(sActorsWithoutRecord.begin(), sActorsWithoutRecord.end(), ipActorInfo) != sActorsWithoutRecord.end())
		return nullptr;
	return ipActorInfo->mActorDataPtr;
}

// The text of a host string value, or null when the value carries none. Only a string value's
// payload points to a host string: any other payload is a number, never to be read through.
const char* StringOf(const Value* inValue) {
	if (!inValue || inValue->mType != kValueTypeString || !inValue->mPayload.mPointer)
		return nullptr;
	return static_cast<const char*>(inValue->mPayload.mPointer) + kHostStringTextOffset;
}

void SetIntegerOutput(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint32_t inIndex, int64_t inCount) {
	Value value;
	memset(&value, 0, sizeof(value));
	value.mType = kValueTypeInteger;
	value.mPayload.mInt = inCount;
	ipParams->mCallbacks->SetOutputPropertyValue(ipActorInfo->mActorRef, inIndex, &value);
}

// Stores a host text into a 512-byte name; true when the stored name changed.
bool StoreName(char (&ioName)[512], const char* inText) {
	char candidate[512];
	strncpy(candidate, inText, sizeof(candidate));
	candidate[sizeof(candidate) - 1] = '\0';
	if (strcmp(candidate, ioName) == 0)
		return false;
	memcpy(ioName, candidate, sizeof(ioName));
	return true;
}

int64_t SteadyMilliseconds() {
	using namespace std::chrono;
	return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void AcquireInput(ActorData* ioData) {
	// The actor was announced disabled: no thread may call a runtime it was not built for.
	if (!sNDIVersionMatches)
		return;
	NDIInput* input = NDIInputMgr::sNDIInputMgr.AcquireNDIInput(ioData->mParameters, ioData->mSourceName,
	                                                             ioData->mBandwidth, ioData->mAudioDeviceName);
	if (!input)
		return; // no receive thread could be started: tried again at the next service message
	if (!input->mClients.AddClient(ioData->mClient)) {
		input->Release(); // out of memory: tried again at the next service message
		return;
	}
	input->SetVolume(ioData->mVolume);
	ioData->mInput = input;
	ioData->mInputAcquiredMs = SteadyMilliseconds();
}

// Active from activation to deactivation. The receiver handle tells, and the client and the input
// too, for an activation whose registration or client record failed.
bool IsActive(const ActorData* inData) {
	return inData->mReceiverHandle != 0 || inData->mClient || inData->mInput;
}

// A Dead input never delivers: give it up, at most once a second, so that the next service message
// acquires the source afresh.
void DropDeadInput(VantrelParameters* ipParams, ActorInfo* ipActorInfo, ActorData* ioData) {
	if (ioData->mInput && ioData->mInput->IsDead() && SteadyMilliseconds() - ioData->mInputAcquiredMs >= 1000)
		ReleaseInputClient(ipParams, ipActorInfo);
}

void InitImageDescription(ImageBufferDesc& outImage) {
	memset(&outImage, 0, sizeof(outImage));
	outImage.mTag = FourCharCode('i', 'm', 'g', 'b');
	outImage.mVersion = 1;
	outImage.mHeaderSize = 32;
	outImage.mPixelFormat = FourCharCode('B', 'G', 'R', 'A');
	outImage.mFlag68 = 1;
	outImage.mMagic = 0x12345678;
	outImage.mFlag76 = 1;
}

// Writes the entries, each followed by a carriage return, and one NUL; an entry that does not
// fit with its return and the NUL is reported and ends the list.
void WritePopupList(VantrelParameters* ipParams, const std::vector<const char*>& inEntries, char* outBuffer,
                    uint32_t inSize) {
	if (!outBuffer || inSize == 0)
		return;
	size_t written = 0;
	for (const char* entry : inEntries) {
		size_t length = strlen(entry);
		if (written + length + 2 > inSize) {
			ReportAssertion(ipParams, "\"Insufficient Buffer for Popup String List\" == NULL", __LINE__);
			break;
		}
		memcpy(outBuffer + written, entry, length);
		written += length;
		outBuffer[written++] = '\r';
	}
	outBuffer[written] = '\0';
}

} // namespace

// ---- Entry point, property text and help ----------------------------------------------------

const char* GetNDIVersionString() {
	const char* text = NDIlib_version();
	if (!text)
		return "";
	const char* lastBlank = strrchr(text, ' ');
	return lastBlank ? lastBlank + 1 : "";
}

int32_t GetNDIMajorVersionFromVersionString(const char* inText) {
	const char* dot = inText ? strchr(inText, '.') : nullptr;
	if (!dot)
		return 0;
	// Like "%d" on the text before the dot: white space, a sign, then digits.
	const char* p = inText;
	while (p < dot && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
		++p;
	bool negative = false;
	if (p < dot && (*p == '+' || *p == '-'))
		negative = *p++ == '-';
	int64_t major = 0;
	for (; p < dot && *p >= '0' && *p <= '9'; ++p)
		major = std::min<int64_t>(major * 10 + (*p - '0'), INT32_MAX);
	if (negative)
		major = -major;
	return major >= 3 ? int32_t(major) : 0;
}

const char* GetParameterString(VantrelParameters*, ActorInfo*) {
	return kPropertyDefinitions;
}

void GetHelpString(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint8_t inKind, uint16_t inIndex,
                   char* outBuffer, uint32_t inSize) {
	uint32_t position = ipParams->mCallbacks->GetHelpStringIndex(ipActorInfo->mActorRef, inKind, inIndex);
	// The host promises a position below 8; a wrong one must not read past the table.
	const char* text = "";
	if (position < kNumHelpStrings)
		text = sHelpStrings[position];
	else
		ReportAssertion(ipParams, "helpIndex < kNumHelpStrings", __LINE__);

	char work[2048];
	if (inKind == kPropertyKindActor && inIndex == 0 && position < kNumHelpStrings) {
		const char* version = GetNDIVersionString();
		char label[256];
		if (version[0] != '\0')
			snprintf(label, sizeof(label), "v%s", version);
		else
			snprintf(label, sizeof(label), "[UNKNOWN]");
		snprintf(work, sizeof(work), text, label);
		text = work;
	}

	if (inSize != 0 && outBuffer) {
		strncpy(outBuffer, text, inSize);
		outBuffer[inSize - 1] = '\0';
	}
}

// ---- Lifecycle ------------------------------------------------------------------------------

void CreateActor(VantrelParameters* ipParams, ActorInfo* ipActorInfo) {
	// The device list is filled here, on the host's thread, never while the plug-in file loads.
	NDIInputMgr::sNDIInputMgr.PrepareAudioDevices();

	if (sNDILibInitCount == 0) {
		sNDILibInitialized = NDIlib_initialize();
		int32_t major = GetNDIMajorVersionFromVersionString(GetNDIVersionString());
		sNDIVersionMatches = major == kRequiredNDIMajor;
		if (sNDIVersionMatches) {
			sNDIVersionOK = true;
		} else {
			char message[1024];
			snprintf(message, sizeof(message),
			         "Vantrel is running NDI %d but this version of the NDI Vidrane requires NDI v%d. The actor has "
			         "been disabled.",
			         major, kRequiredNDIMajor);
			ipParams->mCallbacks->ShowAlert(message,
			                                "Please install the correct NDI Vidrane for this version of Vantrel.");
		}
		if (sNDIVersionOK && !sNDIFind) {
			NDIlib_find_create_t settings;
			settings.show_local_sources = true;
			settings.p_groups = nullptr;
			settings.p_extra_ips = nullptr;
			sNDIFind = NDIlib_find_create_v2(&settings);
		}
	}
	++sNDILibInitCount;

	ActorData* data = static_cast<ActorData*>(ipParams->mCallbacks->AllocateMemory(sizeof(ActorData), 1));
	if (!data) {
		ReportAssertion(ipParams, "info != nil", __LINE__);
		// Counted like any actor so that DisposeActor stays balanced; the host's record is left alone.
		++sNDIInputActorsInstantiated;
		try {
			sActorsWithoutRecord.push_back(ipActorInfo);
		} catch (...) {
			ipActorInfo->mActorDataPtr = nullptr; // out of memory too: no stale record may be taken for ours
		}
		return;
	}
	memset(data, 0, sizeof(*data));
	ipActorInfo->mActorDataPtr = data;
	data->mParameters = ipParams;
	data->mInfo = ipActorInfo;
	++sNDIInputActorsInstantiated;

	if (sNDIVersionOK)
		ShowPluginFirstUseDialog(ipParams, ipActorInfo, kShowPluginReleasePublicBeta, "NDI Vidrane", "ndi-vidrane");
}

void ActivateActor(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint8_t inActivate) {
	ActorData* data = DataOf(ipActorInfo);
	if (!data)
		return;
	if (inActivate) {
		// A second activation without a deactivation would leak the input held, and its thread
		// would keep the last disposal waiting for ever.
		if (IsActive(data))
			ActivateActor(ipParams, ipActorInfo, 0);
		data->mReceiverHandle = ipParams->mCallbacks->RegisterMessageReceiver(
			HostCallback<ReceiveMessage>::Call, 0, kServiceMessage | kTeardownMessage, ipActorInfo, 0, ipActorInfo);
		data->mSourceName[0] = '\0';
		data->mAudioDeviceName[0] = '\0';
		data->mBandwidth = kNDIBandwidthHigh;
		data->mAudioDeviceChanged = false;
		data->mInputStale = false;
		data->mInput = nullptr;
		data->mNextSourcePoll = 0;
		data->mSourcePolled = false;
		data->mLastSourceCount = 0xFFFFFFFF;
		data->mVolume = 1.0f;
		data->mClient = new (std::nothrow) NDIInputClient{NDIInputCallback, data};
		InitImageDescription(data->mImage);
		data->mPendingFrame = nullptr;
		data->mCurrentFrame = nullptr;
		data->mLastChannelCount = -1;
		data->mImageBufferHandle = 0;
		data->mVideoOutputSet = false;
	} else {
		TearDownVideoOutput(ipParams, ipActorInfo);
		if (data->mReceiverHandle != 0) {
			ipParams->mCallbacks->UnregisterMessageReceiver(data->mReceiverHandle);
			data->mReceiverHandle = 0;
		}
		ReleaseInputClient(ipParams, ipActorInfo);
		delete data->mClient;
		data->mClient = nullptr;
	}
}

void DisposeActor(VantrelParameters* ipParams, ActorInfo* ipActorInfo) {
	// An actor disposed while still active would keep its input, and the wait below would never end.
	if (ActorData* data = DataOf(ipActorInfo))
		if (IsActive(data))
			ActivateActor(ipParams, ipActorInfo, 0);

	auto recordless = std::find(sActorsWithoutRecord.begin(), sActorsWithoutRecord.end(), ipActorInfo);
	bool hasRecord = recordless == sActorsWithoutRecord.end();
	if (!hasRecord)
		sActorsWithoutRecord.erase(recordless);

	if (sNDIInputActorsInstantiated <= 0)
		ReportAssertion(ipParams, "sNDIInputActorsInstantiated > 0", __LINE__);
	--sNDIInputActorsInstantiated;
	bool libraryFree = true;
	if (sNDIInputActorsInstantiated == 0) {
		// Every input has been released by now. The host may unload the plug-in as soon as this
		// returns, so no thread may still run its code; but a device that never returns from a
		// call must not hang the host at close either: such a thread is let go, with the code
		// kept mapped for it.
		libraryFree = NDIInput::EndThreads(kThreadsEndLimit);
	}

	if (hasRecord) {
		if (!ipActorInfo->mActorDataPtr)
			ReportAssertion(ipParams, "ioActorInfo->mActorDataPtr != nil", __LINE__);
		else
			ipParams->mCallbacks->FreeMemory(ipActorInfo->mActorDataPtr);
	}

	--sNDILibInitCount;
	if (sNDILibInitCount == 0) {
		if (sNDIFind) {
			NDIlib_find_destroy(sNDIFind);
			sNDIFind = nullptr;
		}
		// A thread still inside the library would be pulled from under: it stays initialised then.
		if (libraryFree)
			NDIlib_destroy();
		sNDILibInitialized = false;
	}
}

// ---- Property changes and video output ------------------------------------------------------

void HandlePropertyChangeValue(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint16_t inIndex,
                               const Value* /*inOldValue*/, const Value* inNewValue, uint8_t inFlag) {
	ActorData* data = DataOf(ipActorInfo);
	if (!data)
		return;
	switch (inIndex) {
	case kInputSource:
		if (const char* text = StringOf(inNewValue))
			if (StoreName(data->mSourceName, text))
				data->mInputStale = true;
		break;
	case kInputBandwidth:
		if (inNewValue) {
			NDIBandwidth bandwidth = NDIBandwidth(int32_t(uint32_t(uint64_t(inNewValue->mPayload.mInt))));
			if (bandwidth != data->mBandwidth) {
				data->mBandwidth = bandwidth;
				data->mInputStale = true;
			}
		}
		break;
	case kInputAudioOut:
		if (const char* text = StringOf(inNewValue)) {
			StoreName(data->mAudioDeviceName, text);
			data->mAudioDeviceChanged = true;
		}
		break;
	case kInputVolume:
		if (inNewValue && std::isfinite(inNewValue->mPayload.mFloat)) {
			data->mVolume = float(inNewValue->mPayload.mFloat / 100.0);
			if (data->mInput)
				data->mInput->SetVolume(data->mVolume);
		}
		break;
	default:
		ReportAssertion(ipParams, "false", __LINE__);
		break;
	}

	if (inFlag != 0 && inIndex == kInputAudioOut && !data->mInput && data->mClient) {
		if (data->mSourceName[0] != '\0') {
			AcquireInput(data);
			data->mAudioDeviceChanged = false;
		}
		data->mInputStale = false;
	}
}

void ReceiveMessage(VantrelParameters* ipParams, uint32_t inMessage, uint16_t, void*, uint32_t, void* inRefCon) {
	ActorInfo* info = static_cast<ActorInfo*>(inRefCon);
	ActorData* data = DataOf(info);
	if (!data || !data->mClient)
		return;
	if (inMessage & kTeardownMessage) {
		TearDownVideoOutput(ipParams, info);
		return;
	}

	// Due at the first message after activation, then 1000 units after the last poll, across the
	// counter's wrap.
	uint32_t now = ipParams->mTime;
	if (sNDILibInitialized && (!data->mSourcePolled || int32_t(now - data->mNextSourcePoll) > 0)) {
		// The library answers an empty list with no array: that is a count of 0, not a failure, or
		// the output would keep its last count forever once every source has gone.
		uint32_t count = 0;
		if (sNDIFind) {
			if (!NDIlib_find_get_current_sources(sNDIFind, &count))
				count = 0;
			if (count != data->mLastSourceCount) {
				data->mLastSourceCount = count;
				SetIntegerOutput(ipParams, info, kOutputSourceCount, count);
			}
		}
		data->mNextSourcePoll = now + 1000;
		data->mSourcePolled = true;
	}

	if (data->mInputStale) {
		ReleaseInputClient(ipParams, info);
		data->mInputStale = false;
	}
	DropDeadInput(ipParams, info, data);

	int32_t channels = 0;
	if (!data->mInput && data->mSourceName[0] != '\0') {
		AcquireInput(data);
		data->mAudioDeviceChanged = false;
	}
	if (data->mInput) {
		if (data->mAudioDeviceChanged) {
			data->mInput->SetAudioOutputDeviceName(data->mAudioDeviceName);
			data->mAudioDeviceChanged = false;
		}
		data->mInput->Service();
		if (!data->mPendingFrame)
			return;

		const NDIlib_video_frame_v2_t& frame = data->mPendingFrame->mFrame;
		data->mImage.mFrameCounter += 1;
		data->mImage.mWidth = uint32_t(frame.xres);
		data->mImage.mHeight = uint32_t(frame.yres);
		data->mImage.mPixels = frame.p_data;
		data->mImage.mRowBytes = uint32_t(frame.line_stride_in_bytes);
		Value video;
		memset(&video, 0, sizeof(video));
		data->mImageBufferHandle = ipParams->mCallbacks->UpdateImageBuffer(info->mActorRef, data->mImageBufferHandle, 2,
		                                                                   0, &data->mImage, nullptr, 0, 0, &video);
		SetColorBufferOutput(ipParams, info, &video);
		NDIFrame* previous = data->mCurrentFrame;
		data->mCurrentFrame = data->mPendingFrame;
		data->mPendingFrame = nullptr;
		if (previous)
			previous->Release();
		channels = data->mInput->mAudioChannels.load();
	}

	if (channels != data->mLastChannelCount) {
		SetIntegerOutput(ipParams, info, kOutputAudioChannels, channels);
		data->mLastChannelCount = channels;
	}
}

void NDIInputCallback(void* inUserData, NDIFrame* inFrame) {
	ActorData* data = static_cast<ActorData*>(inUserData);
	NDIFrame* previous = data->mPendingFrame;
	data->mPendingFrame = inFrame;
	if (inFrame)
		inFrame->Retain();
	if (previous)
		previous->Release();
}

void SetColorBufferOutput(VantrelParameters* ipParams, ActorInfo* ipActorInfo, Value* inValue) {
	ActorData* data = DataOf(ipActorInfo);
	ipParams->mCallbacks->SetOutputPropertyValue(ipActorInfo->mActorRef, kOutputVideo, inValue);
	if (data)
		data->mVideoOutputSet = inValue->mPayload.mPointer != nullptr;
}

void InvalidateColorBufferOutput(VantrelParameters* ipParams, ActorInfo* ipActorInfo) {
	ActorData* data = DataOf(ipActorInfo);
	if (!data || !data->mVideoOutputSet)
		return;
	Value empty;
	memset(&empty, 0, sizeof(empty));
	empty.mType = kValueTypeNone;
	SetColorBufferOutput(ipParams, ipActorInfo, &empty);
}

void TearDownVideoOutput(VantrelParameters* ipParams, ActorInfo* ipActorInfo) {
	InvalidateColorBufferOutput(ipParams, ipActorInfo);
	ActorData* data = DataOf(ipActorInfo);
	if (data && data->mImageBufferHandle != 0) {
		ipParams->mCallbacks->ReleaseImageBuffer(ipActorInfo->mActorRef, data->mImageBufferHandle);
		data->mImageBufferHandle = 0;
	}
}

void ReleaseInputClient(VantrelParameters*, ActorInfo* ipActorInfo) {
	ActorData* data = DataOf(ipActorInfo);
	if (!data)
		return;
	if (data->mPendingFrame) {
		data->mPendingFrame->Release();
		data->mPendingFrame = nullptr;
	}
	if (data->mCurrentFrame) {
		data->mCurrentFrame->Release();
		data->mCurrentFrame = nullptr;
	}
	if (data->mInput) {
		data->mInput->mClients.RemoveClient(data->mClient);
		data->mInput->Release();
		data->mInput = nullptr;
	}
}

// ---- Popup menus and value text -------------------------------------------------------------

void PropertyGetPopupMenuInfo(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint8_t, uint16_t inIndex,
                              char* outBuffer, uint32_t inSize, uint32_t* outSelected) {
	if (outSelected)
		*outSelected = 0;
	std::vector<const char*> entries;
	std::vector<CDeviceDesc> devices;
	if (inIndex == kInputSource) {
		uint32_t count = 0;
		const NDIlib_source_t* sources =
			sNDILibInitialized && sNDIFind ? NDIlib_find_get_current_sources(sNDIFind, &count) : nullptr;
		if (sources)
			for (uint32_t i = 0; i < count; ++i)
				entries.push_back(sources[i].p_ndi_name ? sources[i].p_ndi_name : "");
	} else if (inIndex == kInputAudioOut) {
		entries.push_back("None");
		devices = NDIInputMgr::sNDIInputMgr.mAudioDevices.GetDevices();
		for (const CDeviceDesc& device : devices)
			entries.push_back(device.mName.c_str());
	} else {
		return;
	}

	const char* current = "";
	Value* value = ipParams->mCallbacks->GetInputPropertyValue(ipActorInfo->mActorRef, inIndex);
	if (value && value->mType == kValueTypeString && StringOf(value))
		current = StringOf(value);
	if (current[0] != '\0' && outSelected) {
		for (size_t i = 0; i < entries.size(); ++i)
			if (strcmp(entries[i], current) == 0) {
				*outSelected = uint32_t(i + 1);
				break;
			}
	}
	WritePopupList(ipParams, entries, outBuffer, inSize);
}

uint8_t PropertyPopupMenuSelectionToValue(VantrelParameters* ipParams, ActorInfo*, uint8_t, uint16_t inIndex,
                                          int32_t, const char* inText, Value* outValue) {
	if (inIndex != kInputSource && inIndex != kInputAudioOut)
		return false;
	ipParams->mCallbacks->PopupStringToValue(inText, outValue);
	return true;
}

uint8_t PropertyValueToString(VantrelParameters* ipParams, ActorInfo*, uint8_t inKind, uint16_t inIndex,
                              const Value* inValue, char* outText) {
	if (inKind != kPropertyKindInput || inIndex != kInputBandwidth || !inValue)
		return false;
	uint64_t number = uint64_t(inValue->mPayload.mInt);
	if (number <= 1) {
		if (outText)
			strcpy(outText, sBandwidth[number]);
	} else {
		ReportAssertion(ipParams, "false", __LINE__);
	}
	return true;
}

uint8_t PropertyStringToValue(VantrelParameters* ipParams, ActorInfo*, uint8_t inKind, uint16_t inIndex,
                              const char* inText, Value* outValue) {
	if (inKind != kPropertyKindInput || inIndex != kInputBandwidth || !inText || !outValue)
		return false;
	int32_t position = -1;
	if ((inText[0] == '0' || inText[0] == '1') && inText[1] == '\0')
		position = inText[0] - '0';
	else
		position = ipParams->mCallbacks->FindStringInList(2, sBandwidth, inText);
	if (position < 0)
		return false;
	outValue->mType = kValueTypeInteger;
	outValue->mPayload.mInt = position;
	return true;
}

uint8_t GetActorDefinedArea(VantrelParameters* ipParams, ActorInfo* ipActorInfo, int16_t* outWidth,
                            int16_t* outHeight, int16_t* outThird, int16_t* outFourth) {
	if (gPictInfo[0] == 0)
		ipParams->mCallbacks->LoadActorPicture(ipActorInfo, 0, gPictInfo);
	int16_t width, height;
	memcpy(&width, gPictInfo + kPictWidthOffset, sizeof(width));
	memcpy(&height, gPictInfo + kPictHeightOffset, sizeof(height));
	if (outWidth)
		*outWidth = width;
	if (outHeight)
		*outHeight = height;
	if (outThird)
		*outThird = 0;
	if (outFourth)
		*outFourth = 0;
	return true;
}

void DrawActorDefinedArea(VantrelParameters* ipParams, ActorInfo* ipActorInfo, void*, uint16_t inWhich, uint16_t,
                          const HostRect* inArea, const HostRect*, uint8_t inFlag) {
	if (inWhich == 1 && gPictInfo[0] != 0)
		ipParams->mCallbacks->DrawActorPicture(ipActorInfo, inFlag, inArea, gPictInfo);
}

// ---- The export -----------------------------------------------------------------------------


VIDRANE_EXPORT void GetActorInfo(void*, ActorInfo* outActorInfo) {
	if (!outActorInfo)
		return;
	outActorInfo->mClass = FourCharCode('v', 'i', 'd', 'e');
	outActorInfo->mID = FourCharCode('v', 'd', 'p', 'p');
	outActorInfo->mSubID = FourCharCode('_', 'n', 'd', 'A');
	outActorInfo->mFlags = 0x00000100;
	outActorInfo->mDefaultWidth = 128;
	outActorInfo->mName = kActorName;

	outActorInfo->mGetParameterString = HostCallback<GetParameterString>::Call;
	outActorInfo->mGetHelpString = HostCallback<GetHelpString>::Call;
	outActorInfo->mCreateActor = HostCallback<CreateActor>::Call;
	outActorInfo->mDisposeActor = HostCallback<DisposeActor>::Call;
	outActorInfo->mActivateActor = HostCallback<ActivateActor>::Call;
	outActorInfo->mHandlePropertyChangeValue = HostCallback<HandlePropertyChangeValue>::Call;
	outActorInfo->mSlot680 = nullptr;
	outActorInfo->mSlot688 = nullptr;
	outActorInfo->mPropertyValueToString = HostCallback<PropertyValueToString>::Call;
	outActorInfo->mPropertyStringToValue = HostCallback<PropertyStringToValue>::Call;
	outActorInfo->mGetActorDefinedArea = HostCallback<GetActorDefinedArea>::Call;
	outActorInfo->mDrawActorDefinedArea = HostCallback<DrawActorDefinedArea>::Call;
	outActorInfo->mSlot736 = nullptr;
	outActorInfo->mPropertyGetPopupMenuInfo = HostCallback<PropertyGetPopupMenuInfo>::Call;
	outActorInfo->mPropertyPopupMenuSelectionToValue = HostCallback<PropertyPopupMenuSelectionToValue>::Call;
}
