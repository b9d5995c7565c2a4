// The first-use notice: the version file decides, the notice is shown through the host, and the
// Read Me beside the plug-in is opened (recorded by the Apple stand-in; on Windows by the shell
// itself, through a file association the test registers for .html).
#include "ActorFixture.h"
#include "ReadMeRecorder.h"

#include <cstring>

using namespace actortest;

namespace {

const char kTitle[] = "Important Information About the NDI Vidrane Public Beta release";
const char kMessage[] =
	"The 'Read Me' file that is about to open contains important information and helpful tips to ensure you get "
	"the best results with this actor. This warning only appears the first time you use the plugin.";

class FirstUseTest : public ActorTest {
protected:
	void SetUp() override {
		ActorTest::SetUp();
#ifdef _WIN32
		readme_recorder::Register();
#endif
	}

	std::string ExpectedReadMe() const {
#ifdef _WIN32
		std::string path = host.pluginPath();
		return path.substr(0, path.rfind('\\') + 1) + "NDI Vidrane - Read Me.html";
#else
		return host.pluginPath() + "/Contents/Resources/NDI Vidrane - Read Me.html";
#endif
	}

	// The Read Me paths opened so far.
	std::vector<std::string> Opened() {
		std::vector<std::string> paths;
#ifdef _WIN32
		// The shell starts the recorder on its own; give it time to write.
		auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
		while (!std::filesystem::exists(readme_recorder::Record()) && std::chrono::steady_clock::now() < deadline)
			std::this_thread::sleep_for(std::chrono::milliseconds(50));
		FILE* f = fopen(readme_recorder::Record().string().c_str(), "rb");
		if (f) {
			char line[1024];
			while (fgets(line, sizeof(line), f)) {
				std::string text(line);
				while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
					text.pop_back();
				paths.push_back(text);
			}
			fclose(f);
		}
#else
		for (int i = 0; i < apple_standin_opened_count(); ++i) {
			char path[2048];
			if (apple_standin_opened_path(i, path, sizeof(path)))
				paths.push_back(path);
		}
#endif
		return paths;
	}
};

} // namespace

TEST_F(FirstUseTest, FirstActorShowsTheNoticeOpensTheReadMeAndRemembersTheVersion) {
	std::filesystem::remove(VersionFile());
#ifdef _WIN32
	std::filesystem::remove_all(VersionFolder()); // the plug-in makes the folder it needs
#endif
	host.CreateActor();
	ASSERT_EQ(host.alerts().size(), 1u);
	EXPECT_EQ(host.alerts()[0].message, kTitle);
	EXPECT_EQ(host.alerts()[0].detail, kMessage);
	EXPECT_EQ(ReadVersionFile(), CurrentVersionText());
	auto opened = Opened();
	ASSERT_EQ(opened.size(), 1u);
	EXPECT_EQ(opened[0], ExpectedReadMe());

	host.CreateActor();
	EXPECT_EQ(host.alerts().size(), 1u) << "once per version";
}

TEST_F(FirstUseTest, TheStoredVersionDecides) {
	struct Case {
		std::string stored;
		bool shown;
	};
	const std::string current = CurrentVersionText();
	const Case cases[] = {
		{current, false},
		{"0.9.0.0", true},
		{current + std::string(300, 'x'), true},                  // longer than 255: compared by its first 255
		{current + std::string(1, '\0') + "anything", false},     // ends at its first zero byte
		{"", true},
#ifdef _WIN32
		{std::string(VIDRANE_VERSION), true},                     // the line feed belongs to the version
#endif
	};
	size_t alerts = 0;
	for (const Case& c : cases) {
		SCOPED_TRACE("stored " + std::to_string(c.stored.size()) + " bytes");
		WriteVersionFile(c.stored);
		host.DisposeActor(host.CreateActor());
		alerts += c.shown ? 1 : 0;
		EXPECT_EQ(host.alerts().size(), alerts);
		EXPECT_EQ(ReadVersionFile(), current) << "rewritten whole with the running version";
	}
}

TEST_F(FirstUseTest, NoNoticeWithoutTheRightRuntime) {
	WriteVersionFile("0.9.0.0");
	ndi_standin_set_version("NDI SDK 9.9.9");
	host.CreateActor();
	ASSERT_EQ(host.alerts().size(), 1u);
	EXPECT_NE(host.alerts()[0].message, kTitle);
	EXPECT_EQ(ReadVersionFile(), "0.9.0.0");
}

#ifndef _WIN32 // Windows' version and shell calls take no path this long
// The path is inline in the host's record and ends at its field's end, whether or not a NUL does.
TEST_F(FirstUseTest, APathFillingItsFieldIsReadToTheFieldsEndOnly) {
	host.Unload();
	refhost::LoadOptions options;
	options.pathFillsField = true;
	std::string error;
	ASSERT_TRUE(host.Load(VIDRANE_PLUGIN_PATH, &error, options)) << error;
	ASSERT_EQ(host.recordPath().size(), size_t(refhost::off::kInfoPluginPathEnd - refhost::off::kInfoPluginPath));
	// Past the field lies the actor's record pointer: two actors, so that one of them has a pointer
	// whose first byte is not zero.
	for (int i = 0; i < 2; ++i) {
		std::filesystem::remove(VersionFile());
		host.CreateActor();
	}
	EXPECT_EQ(host.alerts().size(), 2u);
	const std::string expected = host.recordPath() + "/Contents/Resources/NDI Vidrane - Read Me.html";
	auto opened = Opened();
	ASSERT_EQ(opened.size(), 2u);
	EXPECT_EQ(opened[0], expected);
	EXPECT_EQ(opened[1], expected);
	EXPECT_EQ(ReadVersionFile(), CurrentVersionText()) << "the padded path names the plug-in";
}
#endif
