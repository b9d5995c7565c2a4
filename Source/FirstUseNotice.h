// The first-use notice: shown once after installation and once after every update of the
// plug-in, remembered by a small version file in the user's preferences folder.
#ifndef FIRST_USE_NOTICE_H
#define FIRST_USE_NOTICE_H

#include "VantrelHost.h"

#include <cstdio>
#include <string>

enum ShowPluginReleaseLevel : int32_t {
	kShowPluginReleasePublicAlpha = 0,
	kShowPluginReleasePublicBeta = 1,
	kShowPluginReleaseFinal = 2,
};

// Shows the notice and opens the Read Me when the version file holds another version than the
// one running; the file then holds the running version.
void ShowPluginFirstUseDialog(VantrelParameters* ipParams, ActorInfo* ipActorInfo, ShowPluginReleaseLevel inLevel,
                              const char* inDisplayName, const char* inFileStem);

void GetVersionNumberFromPreferencesFile(const std::string& inPluginPath, const std::string& inFileName,
                                         bool inCreateIfMissing, bool inUpdateIfPresent, std::string& outCurrent,
                                         std::string& outStored);
// The plug-in's version text (macOS: the bundle's CFBundleVersion; Windows: "%d.%d.%d.%d\n" of
// the DLL's file version); empty when it cannot be read.
std::string GetModuleVersionNumberString(const std::string& inPluginPath);
// At most the first 255 bytes count, up to the first zero byte.
std::string ReadStringFromFile(FILE* inFile);
void WriteStringToFile(FILE* inFile, const std::string& inText);
#ifndef _WIN32
void LaunchResourceFileInDefaultApplication(const std::string& inPath);
#endif

#endif
