// The two Foundation and AppKit operations of the macOS build: the user's Library folder is
// $HOME/Library here, and opening a file in its default application is recorded.
#include "StandinCore.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

using namespace apple_standin;

namespace {

struct Workspace {
	std::mutex lock;
	std::vector<std::string> opened;
	int failOpen = 0;
};

Workspace& TheWorkspace() {
	static Workspace* sWorkspace = new Workspace;
	return *sWorkspace;
}

} // namespace

APPLE_STANDIN_EXPORT bool GetUserLibraryFolder(char* buffer, size_t bufferSize) {
	CountCall("GetUserLibraryFolder");
	const char* home = std::getenv("HOME");
	if (!home || !*home || !buffer)
		return false;
	std::string folder = std::string(home) + "/Library";
	if (folder.size() >= bufferSize)
		return false;
	std::memcpy(buffer, folder.c_str(), folder.size() + 1);
	return true;
}

APPLE_STANDIN_EXPORT bool OpenFileWithDefaultApplication(const char* utf8Path) {
	CountCall("OpenFileWithDefaultApplication");
	if (!utf8Path) {
		Misuse("OpenFileWithDefaultApplication(NULL)");
		return false;
	}
	Workspace& workspace = TheWorkspace();
	std::lock_guard<std::mutex> guard(workspace.lock);
	workspace.opened.push_back(utf8Path);
	if (workspace.failOpen > 0) {
		--workspace.failOpen;
		return false;
	}
	return true;
}

APPLE_STANDIN_EXPORT int apple_standin_opened_count(void) {
	Workspace& workspace = TheWorkspace();
	std::lock_guard<std::mutex> guard(workspace.lock);
	return int(workspace.opened.size());
}

APPLE_STANDIN_EXPORT Boolean apple_standin_opened_path(int index, char* buffer, size_t bufferSize) {
	Workspace& workspace = TheWorkspace();
	std::lock_guard<std::mutex> guard(workspace.lock);
	if (index < 0 || size_t(index) >= workspace.opened.size() || !buffer || bufferSize == 0)
		return false;
	std::snprintf(buffer, bufferSize, "%s", workspace.opened[index].c_str());
	return true;
}

APPLE_STANDIN_EXPORT void apple_standin_clear_opened(void) {
	Workspace& workspace = TheWorkspace();
	std::lock_guard<std::mutex> guard(workspace.lock);
	workspace.opened.clear();
	workspace.failOpen = 0;
}

APPLE_STANDIN_EXPORT void apple_standin_fail_open(int times) {
	Workspace& workspace = TheWorkspace();
	std::lock_guard<std::mutex> guard(workspace.lock);
	workspace.failOpen = times;
}
