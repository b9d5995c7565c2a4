#include "NDIVidraneActor.h"

#include "NDIRuntime.h"

#include <cstdio>
#include <cstring>

const char kActorName[] = "NDI 4 Vidrane BETA";

namespace {

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

void ReportAssertion(VantrelParameters* ipParams, const char* inCondition, int inLine) {
	if (ipParams && ipParams->mCallbacks && ipParams->mCallbacks->ReportAssertion)
		ipParams->mCallbacks->ReportAssertion(inCondition, kActorName, inLine);
}

} // namespace

const char* GetNDIVersionString() {
	const char* text = NDIlib_version();
	if (!text)
		return "";
	const char* lastBlank = strrchr(text, ' ');
	return lastBlank ? lastBlank + 1 : "";
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

VIDRANE_EXPORT void GetActorInfo(void*, ActorInfo* outActorInfo) {
	if (!outActorInfo)
		return;
	outActorInfo->mClass = FourCharCode('v', 'i', 'd', 'e');
	outActorInfo->mID = FourCharCode('v', 'd', 'p', 'p');
	outActorInfo->mSubID = FourCharCode('_', 'n', 'd', 'A');
	outActorInfo->mFlags = 0x00000100;
	outActorInfo->mDefaultWidth = 128;
	outActorInfo->mName = kActorName;

	outActorInfo->mGetParameterString = GetParameterString;
	outActorInfo->mGetHelpString = GetHelpString;
	outActorInfo->mSlot680 = nullptr;
	outActorInfo->mSlot688 = nullptr;
	outActorInfo->mSlot736 = nullptr;
}
