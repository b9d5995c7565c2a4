// The two Foundation and AppKit services of the macOS build, behind plain C functions so that the
// rest of the plug-in stays C++. Implemented in MacWorkspace.mm on the Mac.
#ifndef MAC_WORKSPACE_H
#define MAC_WORKSPACE_H

#ifndef _WIN32

#include <cstddef>

extern "C" {

// The user's Library folder, tilde expanded, as NUL-terminated UTF-8 in `buffer`. False when
// there is none or it does not fit in `bufferSize` bytes.
bool GetUserLibraryFolder(char* buffer, size_t bufferSize);

// Asks the workspace to open the file at `utf8Path` in its default application; true when the
// workspace accepted the request.
bool OpenFileWithDefaultApplication(const char* utf8Path);

}

#endif

#endif
