// Foundation and AppKit, for the macOS build only (manual reference counting, no ARC).
#include "MacWorkspace.h"

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <cstring>

bool GetUserLibraryFolder(char* buffer, size_t bufferSize) {
	if (!buffer || bufferSize == 0)
		return false;
	// The host's thread may have no pool of its own at this point.
	NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
	bool found = false;
	NSArray* folders = NSSearchPathForDirectoriesInDomains(NSLibraryDirectory, NSUserDomainMask, YES);
	if ([folders count] > 0) {
		const char* path = [[folders objectAtIndex:0] UTF8String];
		if (path && std::strlen(path) < bufferSize) {
			std::memcpy(buffer, path, std::strlen(path) + 1);
			found = true;
		}
	}
	[pool drain];
	return found;
}

bool OpenFileWithDefaultApplication(const char* utf8Path) {
	if (!utf8Path)
		return false;
	NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
	NSString* path = [NSString stringWithCString:utf8Path encoding:NSUTF8StringEncoding];
	// A path that is not valid UTF-8 yields no string and is not opened.
	bool opened = path && [[NSWorkspace sharedWorkspace] openFile:path];
	[pool drain];
	return opened;
}
