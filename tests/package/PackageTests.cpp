// The plug-in as a user installs it, loaded in place: on Windows the DLL unpacked from the package
// into a fresh folder (and a wine prefix of its own, so a first install is a first install), in the
// Apple flavour the bundle as built. The first-use notice must open the Read Me that came with it,
// and that Read Me must describe this plug-in: its actor, its properties, its messages, its version.
#include "plugin/PluginFixture.h"
#include "plugin/ReadMeRecorder.h"

#include <cstdio>
#include <filesystem>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include "apple_standin_control.h"
#include <stdlib.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const char kReadMeName[] = "NDI Vidrane - Read Me.html";
const char kNoticeTitle[] = "Important Information About the NDI Vidrane Public Beta release";

std::string ReadFile(const fs::path& path) {
	std::string bytes;
	FILE* f = fopen(path.string().c_str(), "rb");
	if (!f)
		return bytes;
	char buffer[4096];
	size_t n;
	while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
		bytes.append(buffer, n);
	fclose(f);
	return bytes;
}

// The page's text as a reader sees it: tags gone, runs of white space made one blank. (By hand:
// std::regex recurses per character and runs out of stack on a page this long.)
std::string VisibleText(const std::string& html) {
	std::string text;
	bool inTag = false, blank = false;
	for (char c : html) {
		if (c == '<')
			inTag = true;
		bool space = inTag || c == '>' || isspace(static_cast<unsigned char>(c));
		if (c == '>')
			inTag = false;
		if (space) {
			blank = true;
		} else {
			if (blank && !text.empty())
				text += ' ';
			blank = false;
			text += c;
		}
	}
	return text;
}

// The text of the element with the given id, up to its first tag.
std::string TextOfId(const std::string& html, const std::string& id) {
	size_t at = html.find("id=\"" + id + "\"");
	if (at == std::string::npos || (at = html.find('>', at)) == std::string::npos)
		return "(no element with id " + id + ")";
	return html.substr(at + 1, html.find('<', at) - at - 1);
}

#ifdef _WIN32
fs::path VersionFolder() {
	PWSTR roaming = nullptr;
	SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming);
	fs::path folder = fs::path(roaming) / "Stavrik";
	CoTaskMemFree(roaming);
	return folder;
}

// The fixed file version of a DLL, or nothing when it has none.
bool FixedVersion(const std::string& path, VS_FIXEDFILEINFO* out, std::vector<char>* data) {
	DWORD ignored = 0;
	DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
	if (size == 0)
		return false;
	data->resize(size);
	VS_FIXEDFILEINFO* info = nullptr;
	UINT length = 0;
	if (!GetFileVersionInfoA(path.c_str(), 0, size, data->data()) ||
	    !VerQueryValueA(data->data(), "\\", reinterpret_cast<void**>(&info), &length) || length < sizeof(*info))
		return false;
	*out = *info;
	return true;
}
#else
fs::path VersionFolder() { return fs::path(getenv("HOME")) / "Library" / "Preferences"; }
#endif

class InstalledPlugin : public PluginTest {
protected:
	void SetUp() override {
#ifdef _WIN32
		mPlugin = refhost::NativePath(VIDRANE_UNPACKED_DIR) + "\\NDI Vidrane.dll";
		readme_recorder::Register();
		std::error_code ec;
		fs::remove_all(VersionFolder(), ec); // as on a machine that never ran the plug-in
#else
		mPlugin = VIDRANE_PLUGIN_PATH;
		mHome = fs::temp_directory_path() / ("vidrane-package-home-" + std::to_string(getpid()));
		fs::create_directories(mHome / "Library" / "Preferences");
		setenv("HOME", mHome.c_str(), 1);
		apple_standin_clear_opened();
#endif
		ndi_standin_set_version(nullptr);
		std::string error;
		ASSERT_TRUE(host.Load(mPlugin, &error, refhost::LoadOptions{false})) << error;
	}
	void TearDown() override {
		PluginTest::TearDown();
#ifndef _WIN32
		std::error_code ec;
		fs::remove_all(mHome, ec);
#endif
	}

	// The Read Me the plug-in is meant to open: beside the DLL, or in the bundle's resources.
	fs::path ReadMe() const {
#ifdef _WIN32
		return fs::path(refhost::NativePath(VIDRANE_UNPACKED_DIR)) / kReadMeName;
#else
		return fs::path(VIDRANE_PLUGIN_PATH) / "Contents" / "Resources" / kReadMeName;
#endif
	}

	// The paths the plug-in asked the system to open, waiting for the first one on Windows, where
	// the shell starts the recorder as a process of its own.
	std::vector<std::string> Opened() {
		std::vector<std::string> paths;
#ifdef _WIN32
		HANDLE change = FindFirstChangeNotificationW(readme_recorder::Record().parent_path().wstring().c_str(), FALSE,
		                                             FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE |
		                                                 FILE_NOTIFY_CHANGE_LAST_WRITE);
		const ULONGLONG deadline = GetTickCount64() + 30000;
		std::string record;
		for (;;) {
			record = ReadFile(readme_recorder::Record());
			ULONGLONG now = GetTickCount64();
			if ((!record.empty() && record.back() == '\n') || now >= deadline)
				break;
			// Woken by the recorder's write; the bound only guards a change the notice missed.
			if (change != INVALID_HANDLE_VALUE) {
				WaitForSingleObject(change, DWORD(std::min<ULONGLONG>(deadline - now, 1000)));
				FindNextChangeNotification(change);
			} else {
				Sleep(50);
			}
		}
		if (change != INVALID_HANDLE_VALUE)
			FindCloseChangeNotification(change);
		size_t start = 0;
		for (size_t end; (end = record.find('\n', start)) != std::string::npos; start = end + 1)
			paths.push_back(record.substr(start, end - start));
#else
		for (int i = 0; i < apple_standin_opened_count(); ++i) {
			char path[2048];
			if (apple_standin_opened_path(i, path, sizeof(path)))
				paths.push_back(path);
		}
#endif
		return paths;
	}

	std::string mPlugin;
	fs::path mHome;
};

} // namespace

TEST_F(InstalledPlugin, FirstActorOpensTheReadMeThatCameWithIt) {
	host.CreateActor();
	ASSERT_EQ(host.alerts().size(), 1u);
	EXPECT_EQ(host.alerts()[0].message, kNoticeTitle);

	auto opened = Opened();
	ASSERT_EQ(opened.size(), 1u);
	EXPECT_EQ(fs::path(opened[0]), ReadMe());
	EXPECT_TRUE(fs::is_regular_file(fs::path(opened[0]))) << opened[0] << " is not there";

	// The version the plug-in remembers is the one its own file states.
	std::string remembered = ReadFile(VersionFolder() / "com.stavrik.ndi-vidrane.txt");
#ifdef _WIN32
	VS_FIXEDFILEINFO info{};
	std::vector<char> data;
	ASSERT_TRUE(FixedVersion(mPlugin, &info, &data));
	char expected[64];
	snprintf(expected, sizeof(expected), "%d.%d.%d.%d\n", int(HIWORD(info.dwFileVersionMS)),
	         int(LOWORD(info.dwFileVersionMS)), int(HIWORD(info.dwFileVersionLS)), int(LOWORD(info.dwFileVersionLS)));
	EXPECT_EQ(remembered, expected);
	EXPECT_EQ(remembered, std::string(VIDRANE_VERSION) + "\n");
#else
	EXPECT_EQ(remembered, VIDRANE_VERSION);
#endif
}

TEST_F(InstalledPlugin, TheReadMeDescribesThisPlugin) {
	const std::string page = ReadFile(ReadMe());
	ASSERT_FALSE(page.empty()) << ReadMe();
	const std::string text = VisibleText(page);

	const char* actorName = nullptr;
	memcpy(&actorName, host.infoRecord().data() + refhost::off::kInfoName, sizeof(actorName));
	ASSERT_NE(actorName, nullptr);
	EXPECT_NE(text.find(actorName), std::string::npos) << "the actor's name";
	for (const auto& property : host.properties())
		EXPECT_NE(page.find("<code>" + property.name + "</code>"), std::string::npos)
			<< (property.input ? "input " : "output ") << property.name << " is not described";

	EXPECT_EQ(TextOfId(page, "version"), VIDRANE_VERSION);

	// It quotes what the user sees: the notice's title, and the alert for a runtime of the wrong major.
	refhost::Actor* first = host.CreateActor();
	ndi_standin_set_version("NDI SDK LINUX 5.0.1");
	host.DisposeActor(first); // the next actor starts the runtime again, and checks it again
	host.CreateActor();
	ASSERT_GE(host.alerts().size(), 2u);
	EXPECT_NE(text.find(kNoticeTitle), std::string::npos) << "the notice's title";
	const refhost::Alert wrongRuntime = host.alerts().back();
	EXPECT_NE(text.find(wrongRuntime.detail), std::string::npos) << wrongRuntime.detail;
#ifdef _WIN32
	EXPECT_NE(text.find(wrongRuntime.message), std::string::npos) << wrongRuntime.message;
#endif
	Opened(); // the notice's open of the Read Me finishes before the folder is left
}

#ifdef _WIN32
TEST_F(InstalledPlugin, ThePackagedDllCarriesTheProjectVersion) {
	VS_FIXEDFILEINFO info{};
	std::vector<char> data;
	ASSERT_TRUE(FixedVersion(mPlugin, &info, &data));
	EXPECT_EQ(info.dwSignature, 0xFEEF04BDu);
	EXPECT_EQ(HIWORD(info.dwFileVersionMS), VIDRANE_VERSION_MAJOR);
	EXPECT_EQ(LOWORD(info.dwFileVersionMS), VIDRANE_VERSION_MINOR);
	EXPECT_EQ(HIWORD(info.dwFileVersionLS), VIDRANE_VERSION_PATCH);
	EXPECT_EQ(LOWORD(info.dwFileVersionLS), VIDRANE_VERSION_TWEAK);
	EXPECT_EQ(info.dwProductVersionMS, info.dwFileVersionMS);
	EXPECT_EQ(info.dwProductVersionLS, info.dwFileVersionLS);
	for (const char* key : {"FileVersion", "ProductVersion"}) {
		char* value = nullptr;
		UINT length = 0;
		std::string query = std::string("\\StringFileInfo\\040904b0\\") + key;
		ASSERT_TRUE(VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) << key;
		EXPECT_STREQ(value, VIDRANE_VERSION) << key;
	}
}
#endif
