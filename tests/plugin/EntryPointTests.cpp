// The plug-in as the host first meets it: GetActorInfo, the property text and the help texts.
#include "PluginFixture.h"

#include <cstring>
#include <set>

using refhost::kActorRecordCanary;
namespace off = refhost::off;

namespace {

uint32_t U32(const std::vector<uint8_t>& record, size_t offset) {
	uint32_t v;
	memcpy(&v, record.data() + offset, 4);
	return v;
}
uint64_t U64(const std::vector<uint8_t>& record, size_t offset) {
	uint64_t v;
	memcpy(&v, record.data() + offset, 8);
	return v;
}

const char kExpectedPropertyText[] =
	"INPROP\t\tndi_source\t\tsysv\tstring\t\t\ttext,popup\t\t\t*\t\t*\t\t\r"
	"INPROP\t\tbandwidth\t\tband\tint\t\t\t\tpropdef\t\t\t\t0\t\t1\t\t1\r"
	"INPROP\t\taudio_out\t\taudi\tstring\t\t\ttext,popup\t\t\t*\t\t*\t\tNone\r"
	"INPROP\t\tvolume\t\t\tvolu\tfloat\t\t\tnumber\t\t\t\t0\t\t100\t\t100\r"
	"OUTPROP\tvideo\t\t\tvido\tdata\t\t\ttexture\t\t\t\t*\t\t*\t\t0\r"
	"OUTPROP\tndi_sources\t\tsrcs\tint\t\t\t\tnumber\t\t\t\t0\t\t*\t\t0\r"
	"OUTPROP\taudio_chan\t\tachn\tint\t\t\t\tnumber\t\t\t\t0\t\t*\t\t0\r";

#ifdef _WIN32
const char kActorHelpFormat[] =
	"Outputs a video stream received from an NDI Server, optionally sending the NDI to the specified audio device. "
	"(This actor uses the library from NDI %s.)";
#else
const char kActorHelpFormat[] =
	"Outputs a video stream received from an NDI Server, optionally sending the NDI to the specified audio device. "
	"(This actor is requires NDI %s.)";
#endif

std::string ActorHelpWith(const std::string& label) {
	char text[1024];
	snprintf(text, sizeof(text), kActorHelpFormat, label.c_str());
	return text;
}

} // namespace

using EntryPoint = PluginTest;

TEST_F(EntryPoint, GetActorInfoWritesItsFieldsAndNothingElse) {
	const auto& before = host.infoRecordBefore();
	const auto& after = host.infoRecord();
	ASSERT_EQ(before.size(), after.size());

	EXPECT_EQ(U32(after, off::kInfoClass), 0x76696465u);
	EXPECT_EQ(U32(after, off::kInfoID), 0x76647070u);
	EXPECT_EQ(U32(after, off::kInfoSubID), 0x5F6E6441u);
	EXPECT_EQ(U32(after, off::kInfoFlags), 0x100u);
	EXPECT_EQ(U32(after, off::kInfoDefaultWidth), 128u);
	const char* name = reinterpret_cast<const char*>(uintptr_t(U64(after, off::kInfoName)));
	ASSERT_NE(name, nullptr);
	EXPECT_STREQ(name, "NDI 4 Vidrane BETA");

	// Callback slots the plug-in may write (registered or null); everything else stays the host's.
	const std::set<size_t> slots = {624, 632, 640, 648, 656, 672, 680, 688, 696, 704, 720, 728, 736, 816, 880};
	for (size_t i = 0; i < after.size(); ++i) {
		bool header = i < 20 || (i >= 24 && i < 32);
		bool slot = i >= 624 && i < 888 && slots.count(i - (i - 624) % 8);
		if (!header && !slot) {
			EXPECT_EQ(after[i], before[i]) << "byte " << i << " was written";
		}
	}
	EXPECT_EQ(U32(after, 20), U32(before, 20)) << "bytes 20 to 23 belong to the host";
	EXPECT_NE(U64(after, off::kInfoGetParameterString), 0u);
	EXPECT_NE(U64(after, off::kInfoGetHelpString), 0u);
	for (size_t nullSlot : {680, 688, 736})
		EXPECT_EQ(U64(after, nullSlot), 0u) << "slot " << nullSlot << " must be null";
	// The plug-in path the host wrote at 80 is still there, inline.
	EXPECT_STREQ(reinterpret_cast<const char*>(after.data() + off::kInfoPluginPath), host.pluginPath().c_str());
}

TEST_F(EntryPoint, PropertyTextIsExactAndParsesToSevenProperties) {
	ASSERT_NE(host.propertyText(), nullptr);
	EXPECT_EQ(strlen(host.propertyText()), 361u);
	EXPECT_STREQ(host.propertyText(), kExpectedPropertyText);

	struct Expect {
		bool input;
		int index;
		const char *name, *id, *type, *editor, *min, *max, *def;
	};
	const Expect expected[] = {
		{true, 1, "ndi_source", "sysv", "string", "text,popup", "*", "*", ""},
		{true, 2, "bandwidth", "band", "int", "propdef", "0", "1", "1"},
		{true, 3, "audio_out", "audi", "string", "text,popup", "*", "*", "None"},
		{true, 4, "volume", "volu", "float", "number", "0", "100", "100"},
		{false, 1, "video", "vido", "data", "texture", "*", "*", "0"},
		{false, 2, "ndi_sources", "srcs", "int", "number", "0", "*", "0"},
		{false, 3, "audio_chan", "achn", "int", "number", "0", "*", "0"},
	};
	const auto& parsed = host.properties();
	ASSERT_EQ(parsed.size(), 7u);
	for (size_t i = 0; i < parsed.size(); ++i) {
		const Expect& e = expected[i];
		const auto& p = parsed[i];
		SCOPED_TRACE(e.name);
		EXPECT_EQ(p.input, e.input);
		EXPECT_EQ(p.index, e.index);
		EXPECT_EQ(p.name, e.name);
		EXPECT_EQ(p.id, e.id);
		EXPECT_EQ(p.type, e.type);
		EXPECT_EQ(p.editor, e.editor);
		EXPECT_EQ(p.min, e.min);
		EXPECT_EQ(p.max, e.max);
		EXPECT_EQ(p.def, e.def);
	}
}

TEST_F(EntryPoint, HelpTextsForEveryProperty) {
	const char* expected[] = {
		"The identifier of the NDI source from which to receive video. When you click this input, a list of currently "
		"available sources will be shown; pick the server you to which you wish to connect from this list.",
		"The bandwidth requested when creating the receiver. Choose 'low' for maximum compatibility and efficiency. For "
		"the highest quality, choose 'high'.",
		"Selects the system audio output device used to play audio received from the selected NDI source. Set this to "
		"'Nnone' if you do not wish to hear the NDI audio. (Note that ASIO outputs are not supported at this time.)",
		"For NDI streams with audio, controls the volume of the audio as sent to the output device specified by the "
		"'audio out' property.",
		"The received video stream from the NDI server.",
		"The current number of NDI sources seen by this actor.",
		"When receiving an NDI stream that contains audio, reports the number of audio channels in the source stream. "
		"If no NDI stream is currently being received or if the stream has no audio channels, this output will be zero.",
	};
	for (uint16_t i = 1; i <= 4; ++i)
		EXPECT_EQ(host.HelpString(nullptr, refhost::kKindInput, i, 2048), expected[i - 1]) << "input " << i;
	for (uint16_t i = 1; i <= 3; ++i)
		EXPECT_EQ(host.HelpString(nullptr, refhost::kKindOutput, i, 2048), expected[3 + i]) << "output " << i;
}

TEST_F(EntryPoint, ActorHelpCarriesTheRuntimeVersion) {
	// The stand-in's default text ends in a version of the major this flavour requires.
	std::string help = host.HelpString(nullptr, refhost::kKindActor, 0, 2048);
	std::string ownVersion = NDIlib_version();
	EXPECT_EQ(help, ActorHelpWith("v" + ownVersion.substr(ownVersion.rfind(' ') + 1)));

	ndi_standin_set_version("NDI SDK WIN64 10:44:01 Mar 14 2025 5.5.3");
	EXPECT_EQ(host.HelpString(nullptr, refhost::kKindActor, 0, 2048), ActorHelpWith("v5.5.3"));

	ndi_standin_set_version("5.5.3");
	EXPECT_EQ(host.HelpString(nullptr, refhost::kKindActor, 0, 2048), ActorHelpWith("[UNKNOWN]"));

	ndi_standin_set_version("NDI SDK 5.5.3 "); // a final blank leaves nothing after it
	EXPECT_EQ(host.HelpString(nullptr, refhost::kKindActor, 0, 2048), ActorHelpWith("[UNKNOWN]"));

	// A label that does not fit the work buffer is cut, never overrun.
	std::string longVersion = "NDI " + std::string(4000, '9');
	ndi_standin_set_version(longVersion.c_str());
	std::string cut = host.HelpString(nullptr, refhost::kKindActor, 0, 4096);
	EXPECT_LT(cut.size(), 2048u);
	EXPECT_EQ(cut.compare(0, 20, ActorHelpWith("").substr(0, 20)), 0);
}

TEST_F(EntryPoint, HelpIsCutToTheHostsBuffer) {
	EXPECT_EQ(host.HelpString(nullptr, refhost::kKindInput, 4, 10), "For NDI s");

	char buffer[16];
	memset(buffer, 'x', sizeof(buffer));
	host.HelpStringRaw(nullptr, refhost::kKindInput, 4, buffer, 10);
	EXPECT_EQ(std::string(buffer, 9), "For NDI s");
	EXPECT_EQ(buffer[9], '\0');
	EXPECT_EQ(buffer[10], 'x') << "nothing past the buffer's size";

	// A short text fills the rest of the buffer with NULs.
	memset(buffer, 'x', sizeof(buffer));
	char big[256];
	memset(big, 'x', sizeof(big));
	host.HelpStringRaw(nullptr, refhost::kKindOutput, 1, big, sizeof(big));
	size_t len = strlen("The received video stream from the NDI server.");
	for (size_t i = len; i < sizeof(big); ++i)
		ASSERT_EQ(big[i], '\0') << "byte " << i;

	memset(buffer, 'x', sizeof(buffer));
	host.HelpStringRaw(nullptr, refhost::kKindInput, 4, buffer, 0);
	for (char c : buffer)
		EXPECT_EQ(c, 'x') << "size 0 writes nothing";

	host.HelpStringRaw(nullptr, refhost::kKindInput, 4, buffer, 1);
	EXPECT_EQ(buffer[0], '\0');
	EXPECT_EQ(buffer[1], 'x');
}

TEST_F(EntryPoint, HelpPositionOutsideTheTableIsNotRead) {
	host.OverrideNextHelpIndex(8);
	EXPECT_EQ(host.HelpString(nullptr, refhost::kKindInput, 1, 64), "");
	auto reported = TakeAssertions();
	ASSERT_EQ(reported.size(), 1u);
	EXPECT_EQ(reported[0].actorName, "NDI 4 Vidrane BETA");
}

#ifdef _WIN32
#include <windows.h>
TEST_F(EntryPoint, DllCarriesTheProjectVersion) {
	std::string path = refhost::NativePath(VIDRANE_PLUGIN_PATH);
	DWORD ignored = 0;
	DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
	ASSERT_GT(size, 0u);
	std::vector<char> data(size);
	ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));
	VS_FIXEDFILEINFO* info = nullptr;
	UINT length = 0;
	ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length));
	EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
	EXPECT_EQ(HIWORD(info->dwFileVersionMS), VIDRANE_VERSION_MAJOR);
	EXPECT_EQ(LOWORD(info->dwFileVersionMS), VIDRANE_VERSION_MINOR);
	EXPECT_EQ(HIWORD(info->dwFileVersionLS), VIDRANE_VERSION_PATCH);
	EXPECT_EQ(LOWORD(info->dwFileVersionLS), VIDRANE_VERSION_TWEAK);
}
#endif
