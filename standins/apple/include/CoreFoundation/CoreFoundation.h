// CoreFoundation as the plug-in's macOS code uses it: strings, file-system URLs and bundles.
// Declared with the framework's own names, types and values; implemented on Linux by the
// Apple stand-in library.
#ifndef APPLE_STANDIN_COREFOUNDATION_H
#define APPLE_STANDIN_COREFOUNDATION_H

#include <stddef.h>
#include <stdint.h>

#define CF_EXPORT extern "C" __attribute__((visibility("default")))

typedef uint8_t UInt8;
typedef int16_t SInt16;
typedef uint16_t UInt16;
typedef int32_t SInt32;
typedef uint32_t UInt32;
typedef int64_t SInt64;
typedef uint64_t UInt64;
typedef float Float32;
typedef double Float64;
typedef unsigned char Boolean;
typedef SInt32 OSStatus;

typedef signed long CFIndex;
typedef unsigned long CFTypeID;
typedef UInt32 CFStringEncoding;

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFURL* CFURLRef;
typedef struct __CFBundle* CFBundleRef;
typedef struct __CFRunLoop* CFRunLoopRef;

typedef CFIndex CFURLPathStyle;
enum {
	kCFURLPOSIXPathStyle = 0,
	kCFURLHFSPathStyle = 1,
	kCFURLWindowsPathStyle = 2,
};

enum : CFStringEncoding {
	kCFStringEncodingUTF8 = 0x08000100,
};

static_assert(sizeof(Boolean) == 1, "Boolean is one byte");
static_assert(sizeof(CFIndex) == 8, "CFIndex is a signed long");
static_assert(sizeof(CFStringEncoding) == 4, "CFStringEncoding is a UInt32");
static_assert(sizeof(CFURLPathStyle) == 8, "CFURLPathStyle is a CFIndex");
static_assert(sizeof(CFStringRef) == 8 && sizeof(CFTypeRef) == 8, "references are pointers");

CF_EXPORT const CFAllocatorRef kCFAllocatorDefault; // null: the default allocator
CF_EXPORT const CFStringRef kCFBundleVersionKey;     // "CFBundleVersion"

CF_EXPORT void CFRelease(CFTypeRef cf);
CF_EXPORT CFTypeID CFGetTypeID(CFTypeRef cf);

CF_EXPORT CFTypeID CFStringGetTypeID(void);
CF_EXPORT CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);
CF_EXPORT Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);

CF_EXPORT CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath,
	CFURLPathStyle pathStyle, Boolean isDirectory);

CF_EXPORT CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL);
CF_EXPORT CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);

#endif
