// The Apple stand-in itself: what the plug-in's macOS code relies on of CoreFoundation, the
// audio object properties and the AudioQueue.
#include "WaitUntil.h"
#include "apple_standin_control.h"

#include <Block.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string MakeTempFolder() {
	char pattern[] = "/tmp/apple-standin-XXXXXX";
	const char* made = mkdtemp(pattern);
	return made ? made : "";
}

// Every test starts from the stand-in's state at load, whichever tests ran before it.
class AppleStandin : public ::testing::Test {
protected:
	void SetUp() override {
		apple_standin_hold_listener_calls(false);
		apple_standin_set_manual_pump(false);
		apple_standin_reset_queues();
		apple_standin_clear_faults();
		apple_standin_reset_devices();
		apple_standin_reset_call_counts();
		apple_standin_clear_opened();
		apple_standin_set_misuse_fatal(true);
		misusesBefore = apple_standin_misuse_count();
		liveBefore = apple_standin_cf_live();
	}
	void TearDown() override {
		EXPECT_EQ(apple_standin_listeners_registered(), 0) << "a listener outlived its test";
		apple_standin_hold_listener_calls(false);
		EXPECT_TRUE(apple_standin_wait_listener_calls(10000));
	}
	long Misuses() const { return apple_standin_misuse_count() - misusesBefore; }
	long misusesBefore = 0;
	long liveBefore = 0;
};


std::string Text(CFStringRef text) {
	char buffer[256];
	return CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "<unreadable>";
}

// ---- CoreFoundation ------------------------------------------------------------------------

TEST_F(AppleStandin, AppleCoreFoundation_StringsCountTheirReferencesAndConvertExactly) {
	const long before = apple_standin_cf_live();
	CFStringRef text = CFStringCreateWithCString(kCFAllocatorDefault, "Gr\xC3\xBC\xC3\x9F" "e", kCFStringEncodingUTF8);
	ASSERT_NE(text, nullptr);
	EXPECT_EQ(apple_standin_cf_live(), before + 1);
	EXPECT_EQ(CFGetTypeID(text), CFStringGetTypeID());

	// "Grüße" is 7 bytes: a buffer of 8 holds it with its NUL, one of 7 does not.
	char exact[8];
	ASSERT_TRUE(CFStringGetCString(text, exact, sizeof exact, kCFStringEncodingUTF8));
	EXPECT_STREQ(exact, "Gr\xC3\xBC\xC3\x9F" "e");
	char shortBuffer[6];
	std::memset(shortBuffer, 'x', sizeof shortBuffer);
	EXPECT_FALSE(CFStringGetCString(text, shortBuffer, sizeof shortBuffer, kCFStringEncodingUTF8));
	// Whole characters only, and no terminator: "Grü" then the untouched rest.
	EXPECT_EQ(std::string(shortBuffer, 4), "Gr\xC3\xBC");
	EXPECT_EQ(shortBuffer[4], 'x');

	CFRelease(text);
	EXPECT_EQ(apple_standin_cf_live(), before);
	EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3(", kCFStringEncodingUTF8), nullptr) << "not UTF-8";
	EXPECT_EQ(Misuses(), 0);
}

TEST_F(AppleStandin, AppleCoreFoundation_ReleasingADeadReferenceIsCaught) {
	apple_standin_set_misuse_fatal(false);
	CFStringRef text = CFStringCreateWithCString(nullptr, "once", kCFStringEncodingUTF8);
	CFRelease(text);
	CFRelease(text);
	EXPECT_EQ(Misuses(), 1);
	char buffer[16];
	EXPECT_FALSE(CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8));
	EXPECT_EQ(Misuses(), 2);
	// The constant key is never freed, however often it is released.
	CFRelease(kCFBundleVersionKey);
	EXPECT_EQ(Text(kCFBundleVersionKey), "CFBundleVersion");
	EXPECT_EQ(Misuses(), 2);
}

TEST_F(AppleStandin, AppleCoreFoundation_BundleReadsItsVersionFromContentsInfoPlist) {
	const std::string folder = MakeTempFolder() + "/Some Plugin.bundle";
	ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
	ASSERT_EQ(mkdir((folder + "/Contents").c_str(), 0700), 0);
	std::ofstream(folder + "/Contents/Info.plist") <<
		"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
		"<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"x\">\n"
		"<plist version=\"1.0\">\n<dict>\n"
		"  <!-- <key>CFBundleVersion</key><string>commented</string> -->\n"
		"  <key>Nested</key><dict><key>CFBundleVersion</key><string>inner</string></dict>\n"
		"  <key>Flags</key><array><true/><integer>3</integer></array>\n"
		"  <key>CFBundleVersion</key>\n  <string>2.5 &amp; &#x41;</string>\n"
		"  <key>CFBundleNumber</key><integer>7</integer>\n"
		"</dict>\n</plist>\n";

	const long before = apple_standin_cf_live();
	CFStringRef path = CFStringCreateWithCString(nullptr, folder.c_str(), kCFStringEncodingUTF8);
	CFURLRef url = CFURLCreateWithFileSystemPath(nullptr, path, kCFURLPOSIXPathStyle, true);
	CFBundleRef bundle = CFBundleCreate(nullptr, url);
	ASSERT_NE(bundle, nullptr);
	CFTypeRef version = CFBundleGetValueForInfoDictionaryKey(bundle, kCFBundleVersionKey);
	ASSERT_NE(version, nullptr);
	ASSERT_EQ(CFGetTypeID(version), CFStringGetTypeID());
	EXPECT_EQ(Text(static_cast<CFStringRef>(version)), "2.5 & A");
	CFStringRef numberKey = CFStringCreateWithCString(nullptr, "CFBundleNumber", kCFStringEncodingUTF8);
	CFTypeRef number = CFBundleGetValueForInfoDictionaryKey(bundle, numberKey);
	ASSERT_NE(number, nullptr);
	EXPECT_NE(CFGetTypeID(number), CFStringGetTypeID());

	// The values belong to the bundle: releasing the four references frees everything.
	CFRelease(numberKey);
	CFRelease(bundle);
	CFRelease(url);
	CFRelease(path);
	EXPECT_EQ(apple_standin_cf_live(), before);
}

TEST_F(AppleStandin, AppleCoreFoundation_BundleOfAMissingFolderIsNullAndOneWithoutPlistHasNoVersion) {
	const std::string folder = MakeTempFolder();
	for (const std::string& candidate : {folder + "/absent.bundle", folder}) {
		CFStringRef path = CFStringCreateWithCString(nullptr, candidate.c_str(), kCFStringEncodingUTF8);
		CFURLRef url = CFURLCreateWithFileSystemPath(nullptr, path, kCFURLPOSIXPathStyle, true);
		CFBundleRef bundle = CFBundleCreate(nullptr, url);
		if (candidate == folder) {
			ASSERT_NE(bundle, nullptr);
			EXPECT_EQ(CFBundleGetValueForInfoDictionaryKey(bundle, kCFBundleVersionKey), nullptr);
			CFRelease(bundle);
		} else {
			EXPECT_EQ(bundle, nullptr);
		}
		CFRelease(url);
		CFRelease(path);
	}
	EXPECT_EQ(apple_standin_cf_live(), liveBefore);
}

// ---- Audio objects -------------------------------------------------------------------------

OSStatus Size(AudioObjectID object, UInt32 selector, UInt32 scope, UInt32* size) {
	AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
	return AudioObjectGetPropertyDataSize(object, &address, 0, nullptr, size);
}

OSStatus Read(AudioObjectID object, UInt32 selector, UInt32 scope, UInt32* size, void* data) {
	AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
	return AudioObjectGetPropertyData(object, &address, 0, nullptr, size, data);
}

TEST_F(AppleStandin, AppleAudioObjects_DefaultMachineHasTwoOutputsAndTheBuiltInOneIsDefault) {
	UInt32 size = 0;
	ASSERT_EQ(Size(kAudioObjectSystemObject, kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, &size), 0);
	ASSERT_EQ(size, 8u);
	AudioObjectID ids[2] = {};
	ASSERT_EQ(Read(kAudioObjectSystemObject, kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, &size, ids), 0);
	AudioObjectID defaultOutput = 0;
	size = 4;
	ASSERT_EQ(Read(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal,
		&size, &defaultOutput), 0);
	EXPECT_EQ(defaultOutput, ids[0]);
	CFStringRef name = nullptr;
	size = sizeof name;
	ASSERT_EQ(Read(ids[1], kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, &size, &name), 0);
	EXPECT_EQ(Text(name), "Studio Interface");
	CFRelease(name);
	EXPECT_EQ(apple_standin_cf_live(), liveBefore);
}

TEST_F(AppleStandin, AppleAudioObjects_StreamPropertiesHaveCoreAudioSizesAndLayout) {
	AppleStandinDevice devices[] = {{"Three", "three", 0, 0, 3, 4, 44100.0, 24, false, true}};
	apple_standin_set_devices(devices, 1);
	const AudioObjectID id = apple_standin_device_id(0);
	UInt32 size = 0;
	ASSERT_EQ(Size(id, kAudioDevicePropertyStreamConfiguration, kAudioDevicePropertyScopeOutput, &size), 0);
	EXPECT_EQ(size, 8u + 3 * 16u);
	std::vector<unsigned char> raw(size, 0xEE);
	UInt32 tooSmall = size - 1;
	EXPECT_EQ(Read(id, kAudioDevicePropertyStreamConfiguration, kAudioDevicePropertyScopeOutput, &tooSmall, raw.data()),
		kAudioHardwareBadPropertySizeError);
	ASSERT_EQ(Read(id, kAudioDevicePropertyStreamConfiguration, kAudioDevicePropertyScopeOutput, &size, raw.data()), 0);
	const auto* list = reinterpret_cast<const AudioBufferList*>(raw.data());
	EXPECT_EQ(list->mNumberBuffers, 3u);
	EXPECT_EQ(list->mBuffers[2].mNumberChannels, 4u);
	ASSERT_EQ(Size(id, kAudioDevicePropertyStreamConfiguration, kAudioDevicePropertyScopeInput, &size), 0);
	EXPECT_EQ(size, 8u) << "no input streams: the bare count";

	AudioStreamBasicDescription format{};
	size = sizeof format;
	ASSERT_EQ(Read(id, kAudioDevicePropertyStreamFormat, kAudioDevicePropertyScopeOutput, &size, &format), 0);
	EXPECT_EQ(size, 40u);
	EXPECT_EQ(format.mBitsPerChannel, 24u);
	EXPECT_EQ(format.mChannelsPerFrame, 4u);
	EXPECT_EQ(format.mSampleRate, 44100.0);
	Float64 rate = 0;
	size = sizeof rate;
	ASSERT_EQ(Read(id, kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, &size, &rate), 0);
	EXPECT_EQ(rate, 44100.0);

	EXPECT_EQ(Size(id + 1, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, &size), kAudioHardwareBadObjectError);
	EXPECT_EQ(Size(id, 0x7a7a7a7a, kAudioObjectPropertyScopeGlobal, &size), kAudioHardwareUnknownPropertyError);
}

TEST_F(AppleStandin, AppleAudioObjects_InjectedFailuresAndSizeOverridesHitOnlyTheirCalls) {
	AppleStandinDevice devices[] = {{"A", "a", 0, 0, 1, 2, 48000.0, 32, false, true},
	                                {"B", "b", 0, 0, 1, 2, 48000.0, 32, false, false}};
	apple_standin_set_devices(devices, 2);
	const AudioObjectID b = apple_standin_device_id(1);
	apple_standin_fail_property(b, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, kAppleStandinDataRead, kAudioHardwareUnspecifiedError, 1);
	CFStringRef name = nullptr;
	UInt32 size = sizeof name;
	EXPECT_EQ(Read(apple_standin_device_id(0), kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, &size, &name), 0);
	CFRelease(name);
	EXPECT_EQ(Read(b, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, &size, &name), kAudioHardwareUnspecifiedError);
	EXPECT_EQ(Read(b, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, &size, &name), 0) << "once only";
	CFRelease(name);

	apple_standin_override_property_size(kAudioObjectSystemObject, kAudioHardwarePropertyDevices,
		kAudioObjectPropertyScopeGlobal, 6);
	ASSERT_EQ(Size(kAudioObjectSystemObject, kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, &size), 0);
	EXPECT_EQ(size, 6u);
	AudioObjectID ids[2] = {};
	size = 8;
	ASSERT_EQ(Read(kAudioObjectSystemObject, kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, &size, ids), 0);
	EXPECT_EQ(size, 8u) << "reads are not affected by a size override";
	apple_standin_clear_faults();
	EXPECT_EQ(apple_standin_cf_live(), liveBefore);
}

TEST_F(AppleStandin, AppleAudioObjects_TableFileNamedByTheEnvironment) {
	const std::string file = MakeTempFolder() + "/devices.txt";
	std::ofstream(file) << "# name | uid | inputs | outputs | rate | bits | defaults\n"
	                       "Mic | mic-1 | 1x1 | - | 44100 | 32 | input\n"
	                       "  Desk Speakers  | desk | - | 2x8 | 96000 | 24 | output\n";
	setenv("APPLE_STANDIN_DEVICES", file.c_str(), 1);
	apple_standin_reset_devices();
	ASSERT_EQ(apple_standin_device_count(), 2);
	const AudioObjectID desk = apple_standin_device_id(1);
	CFStringRef name = nullptr;
	UInt32 size = sizeof name;
	ASSERT_EQ(Read(desk, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, &size, &name), 0);
	EXPECT_EQ(Text(name), "Desk Speakers");
	CFRelease(name);
	AudioObjectID defaultOutput = 0, defaultInput = 0;
	size = 4;
	Read(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, &size, &defaultOutput);
	Read(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, &size, &defaultInput);
	EXPECT_EQ(defaultOutput, desk);
	EXPECT_EQ(defaultInput, apple_standin_device_id(0));
	unsetenv("APPLE_STANDIN_DEVICES");
}

// ---- AudioQueue ----------------------------------------------------------------------------

AudioStreamBasicDescription FloatFormat(UInt32 channels, Float64 rate) {
	return AudioStreamBasicDescription{rate, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 4 * channels, 1,
	                                   4 * channels, channels, 32, 0};
}

// A producer that writes a running sample counter into every buffer it gets back.
struct Counter {
	AudioQueueRef queue = nullptr;
	float next = 0;
	bool refill = true;
	std::thread::id thread;
	bool oneThread = true;
	static void Callback(void* user, AudioQueueRef queue, AudioQueueBufferRef buffer) {
		auto* self = static_cast<Counter*>(user);
		if (self->thread == std::thread::id())
			self->thread = std::this_thread::get_id();
		self->oneThread = self->oneThread && self->thread == std::this_thread::get_id();
		if (self->refill)
			self->Fill(queue, buffer);
	}
	void Fill(AudioQueueRef q, AudioQueueBufferRef buffer) {
		float* samples = static_cast<float*>(buffer->mAudioData);
		buffer->mAudioDataByteSize = buffer->mAudioDataBytesCapacity;
		for (UInt32 i = 0; i < buffer->mAudioDataByteSize / 4; ++i)
			samples[i] = next++;
		AudioQueueEnqueueBuffer(q, buffer, 0, nullptr);
	}
};

TEST_F(AppleStandin, AppleAudioQueue_PlaysBuffersInOrderAtTheStreamsPaceOnItsOwnThread) {
	Counter counter;
	AudioStreamBasicDescription format = FloatFormat(2, 48000.0);
	ASSERT_EQ(AudioQueueNewOutput(&format, Counter::Callback, &counter, nullptr, nullptr, 0, &counter.queue), 0);
	for (int i = 0; i < 2; ++i) {
		AudioQueueBufferRef buffer = nullptr;
		ASSERT_EQ(AudioQueueAllocateBuffer(counter.queue, 480 * 8, &buffer), 0); // 10 ms
		counter.Fill(counter.queue, buffer);
	}
	const auto start = std::chrono::steady_clock::now();
	ASSERT_EQ(AudioQueueStart(counter.queue, nullptr), 0);
	ASSERT_TRUE(apple_standin_wait_played(0, 20, 20000));
	const auto elapsed = std::chrono::steady_clock::now() - start;
	EXPECT_GE(elapsed, std::chrono::milliseconds(200)) << "20 buffers of 10 ms cannot play faster than 200 ms";
	ASSERT_EQ(AudioQueueStop(counter.queue, true), 0);
	AppleStandinQueueInfo stopped{};
	apple_standin_queue_info(0, &stopped);
	ASSERT_EQ(AudioQueueDispose(counter.queue, true), 0);

	AppleStandinQueueInfo info{};
	ASSERT_TRUE(apple_standin_queue_info(0, &info));
	EXPECT_TRUE(info.disposed);
	EXPECT_EQ(info.callbacks, stopped.callbacks) << "no callback after AudioQueueStop returned";
	EXPECT_TRUE(counter.oneThread);
	EXPECT_NE(counter.thread, std::this_thread::get_id());
	std::vector<float> played(apple_standin_played("BuiltInOutput", nullptr, 0));
	apple_standin_played("BuiltInOutput", played.data(), played.size());
	ASSERT_GE(played.size(), 20u * 960);
	ASSERT_EQ(played.size() % 960, 0u);
	for (size_t i = 0; i < played.size(); ++i)
		ASSERT_EQ(played[i], float(i)) << "sample " << i;
	EXPECT_EQ(apple_standin_queues_live(), 0);
}

TEST_F(AppleStandin, AppleAudioQueue_ImmediateStopReturnsPendingBuffersBeforeItReturnsAndRefusesTheirEnqueue) {
	apple_standin_set_manual_pump(true);
	Counter counter;
	AudioStreamBasicDescription format = FloatFormat(1, 8000.0);
	ASSERT_EQ(AudioQueueNewOutput(&format, Counter::Callback, &counter, nullptr, nullptr, 0, &counter.queue), 0);
	for (int i = 0; i < 2; ++i) {
		AudioQueueBufferRef buffer = nullptr;
		ASSERT_EQ(AudioQueueAllocateBuffer(counter.queue, 64, &buffer), 0);
		counter.Fill(counter.queue, buffer);
	}
	ASSERT_EQ(AudioQueueStart(counter.queue, nullptr), 0);
	EXPECT_EQ(apple_standin_pump(counter.queue, 5), 5) << "each callback re-enqueues its buffer";
	ASSERT_EQ(AudioQueueStop(counter.queue, true), 0);
	AppleStandinQueueInfo info{};
	apple_standin_queue_info(0, &info);
	EXPECT_EQ(info.buffersPlayed, 5);
	EXPECT_EQ(info.callbacks, 7) << "the two pending buffers come back through the callback";
	EXPECT_EQ(info.enqueueFailures, 2) << "enqueueing during the reset is refused";
	EXPECT_EQ(apple_standin_pump(counter.queue, 1), 0) << "a stopped queue plays nothing";
	ASSERT_EQ(AudioQueueDispose(counter.queue, true), 0);
	EXPECT_EQ(apple_standin_played("BuiltInOutput", nullptr, 0), 5u * 16);
}

TEST_F(AppleStandin, AppleAudioQueue_PumpStopsWhenTheQueueRunsDry) {
	apple_standin_set_manual_pump(true);
	Counter counter;
	counter.refill = false;
	AudioStreamBasicDescription format = FloatFormat(2, 48000.0);
	ASSERT_EQ(AudioQueueNewOutput(&format, Counter::Callback, &counter, nullptr, nullptr, 0, &counter.queue), 0);
	for (int i = 0; i < 2; ++i) {
		AudioQueueBufferRef buffer = nullptr;
		ASSERT_EQ(AudioQueueAllocateBuffer(counter.queue, 64, &buffer), 0);
		counter.Fill(counter.queue, buffer);
		EXPECT_EQ(AudioQueueEnqueueBuffer(counter.queue, buffer, 0, nullptr), kAudioQueueErr_BufferInQueue);
	}
	EXPECT_EQ(apple_standin_pump(counter.queue, 1), 0) << "not started";
	ASSERT_EQ(AudioQueueStart(counter.queue, nullptr), 0);
	EXPECT_EQ(apple_standin_pump(counter.queue, 5), 2);
	ASSERT_EQ(AudioQueueDispose(counter.queue, true), 0);
}

// The input's tests tell by these records which thread made and took down each queue.
TEST_F(AppleStandin, AppleAudioQueue_RecordsTheThreadsThatMadeAndDisposedEachQueue) {
	Counter counter;
	AudioStreamBasicDescription format = FloatFormat(2, 48000.0);
	unsigned long long maker = 0;
	AudioQueueRef handedOver = nullptr;
	std::thread([&] {
		maker = apple_standin_thread_id();
		AudioQueueNewOutput(&format, Counter::Callback, &counter, nullptr, nullptr, 0, &handedOver);
	}).join();
	ASSERT_NE(handedOver, nullptr);
	ASSERT_EQ(AudioQueueDispose(handedOver, true), 0);
	AppleStandinQueueInfo info{};
	ASSERT_TRUE(apple_standin_queue_info(0, &info));
	EXPECT_EQ(info.createdOnThread, maker);
	EXPECT_EQ(info.disposedOnThread, apple_standin_thread_id());
	EXPECT_NE(info.createdOnThread, info.disposedOnThread) << "made on one thread, disposed on another";
}

TEST_F(AppleStandin, AppleAudioQueue_ChecksItsArgumentsAndTakesInjectedFailures) {
	Counter counter;
	AudioStreamBasicDescription silentFormat = FloatFormat(0, 48000.0);
	AudioQueueRef queue = nullptr;
	EXPECT_EQ(AudioQueueNewOutput(&silentFormat, Counter::Callback, &counter, nullptr, nullptr, 0, &queue),
		kAudioFormatUnsupportedDataFormatError);
	AudioStreamBasicDescription format = FloatFormat(2, 48000.0);
	ASSERT_EQ(AudioQueueNewOutput(&format, Counter::Callback, &counter, nullptr, nullptr, 0, &queue), 0);

	CFStringRef studio = CFStringCreateWithCString(nullptr, "StudioInterface", kCFStringEncodingUTF8);
	CFStringRef nowhere = CFStringCreateWithCString(nullptr, "nowhere", kCFStringEncodingUTF8);
	EXPECT_EQ(AudioQueueSetProperty(queue, kAudioQueueProperty_CurrentDevice, &nowhere, sizeof nowhere),
		kAudioQueueErr_InvalidDevice);
	EXPECT_EQ(AudioQueueSetProperty(queue, kAudioQueueProperty_CurrentDevice, &studio, 4), kAudioQueueErr_InvalidPropertySize);
	EXPECT_EQ(AudioQueueSetProperty(queue, kAudioQueueProperty_CurrentDevice, &studio, sizeof studio), 0);
	CFRelease(studio);
	CFRelease(nowhere);

	apple_standin_fail_call("AudioQueueAllocateBuffer", 1, 1, -50);
	AudioQueueBufferRef first = nullptr, second = nullptr;
	EXPECT_EQ(AudioQueueAllocateBuffer(queue, 128, &first), 0);
	EXPECT_EQ(AudioQueueAllocateBuffer(queue, 128, &second), -50);
	EXPECT_EQ(AudioQueueAllocateBuffer(queue, 128, &second), 0);
	EXPECT_EQ(AudioQueueEnqueueBuffer(queue, first, 0, nullptr), kAudioQueueErr_BufferEmpty);

	AppleStandinQueueInfo info{};
	ASSERT_TRUE(apple_standin_queue_info(0, &info));
	EXPECT_STREQ(info.deviceUID, "StudioInterface");
	EXPECT_TRUE(info.deviceWasSet);
	EXPECT_EQ(info.buffersAllocated, 2);
	ASSERT_EQ(AudioQueueDispose(queue, true), 0);
	EXPECT_EQ(apple_standin_cf_live(), liveBefore);
	EXPECT_EQ(apple_standin_call_count("AudioQueueAllocateBuffer"), 3);
}

// ---- Slow and stuck calls ------------------------------------------------------------------

// A call made on a thread of its own, so that a test can see it held.
struct Call {
	std::atomic<bool> returned{false};
	OSStatus status = -1;
	std::thread thread;
	explicit Call(std::function<OSStatus()> call) : thread([this, call] { status = call(); returned = true; }) {}
	~Call() {
		if (thread.joinable())
			thread.join();
	}
	OSStatus Wait() {
		thread.join();
		return status;
	}
};

TEST_F(AppleStandin, AppleAudioQueue_ClosedGatesHoldNewStartAndDisposeUntilOpened) {
	apple_standin_set_manual_pump(true);
	Counter counter;
	AudioStreamBasicDescription format = FloatFormat(2, 48000.0);

	// Opening: there is no queue while the call is held.
	ASSERT_TRUE(apple_standin_close_gate("AudioQueueNewOutput"));
	{
		Call open([&] { return AudioQueueNewOutput(&format, Counter::Callback, &counter, nullptr, nullptr, 0, &counter.queue); });
		ASSERT_TRUE(apple_standin_wait_at_gate("AudioQueueNewOutput", 1, 10000));
		EXPECT_FALSE(open.returned);
		EXPECT_EQ(apple_standin_queues_created(), 0);
		ASSERT_TRUE(apple_standin_open_gate("AudioQueueNewOutput"));
		ASSERT_EQ(open.Wait(), 0);
	}
	for (int i = 0; i < 2; ++i) {
		AudioQueueBufferRef buffer = nullptr;
		ASSERT_EQ(AudioQueueAllocateBuffer(counter.queue, 64, &buffer), 0);
		counter.Fill(counter.queue, buffer);
	}

	// Starting: the queue does not run while the call is held.
	ASSERT_TRUE(apple_standin_close_gate("AudioQueueStart"));
	{
		Call start([&] { return AudioQueueStart(counter.queue, nullptr); });
		ASSERT_TRUE(apple_standin_wait_at_gate("AudioQueueStart", 1, 10000));
		EXPECT_EQ(apple_standin_pump(counter.queue, 1), 0) << "playing before the start returned";
		ASSERT_TRUE(apple_standin_open_gate("AudioQueueStart"));
		ASSERT_EQ(start.Wait(), 0);
	}
	EXPECT_EQ(apple_standin_pump(counter.queue, 1), 1);

	// Disposing: the queue lives on, and plays, while the call is held.
	ASSERT_TRUE(apple_standin_close_gate("AudioQueueDispose"));
	{
		Call dispose([&] { return AudioQueueDispose(counter.queue, true); });
		ASSERT_TRUE(apple_standin_wait_at_gate("AudioQueueDispose", 1, 10000));
		EXPECT_EQ(apple_standin_queues_live(), 1);
		EXPECT_EQ(apple_standin_pump(counter.queue, 1), 1) << "still calling back while the disposal is held";
		ASSERT_TRUE(apple_standin_open_gate("AudioQueueDispose"));
		ASSERT_EQ(dispose.Wait(), 0);
	}
	EXPECT_EQ(apple_standin_queues_live(), 0);
}

// ---- Devices that go away and come back ----------------------------------------------------

// Keeps every listener call it gets, and the threads they came on.
struct Heard {
	std::mutex lock;
	std::vector<AudioObjectPropertySelector> selectors; // of object listener calls, in order
	std::vector<AudioObjectID> objects;
	int queueCalls = 0;
	std::vector<unsigned long long> threads;

	static OSStatus Object(AudioObjectID object, UInt32 count, const AudioObjectPropertyAddress* addresses, void* data) {
		auto* self = static_cast<Heard*>(data);
		std::lock_guard<std::mutex> guard(self->lock);
		for (UInt32 i = 0; i < count; ++i) {
			self->selectors.push_back(addresses[i].mSelector);
			self->objects.push_back(object);
		}
		self->threads.push_back(apple_standin_thread_id());
		return 0;
	}
	static void Queue(void* data, AudioQueueRef, AudioQueuePropertyID id) {
		auto* self = static_cast<Heard*>(data);
		std::lock_guard<std::mutex> guard(self->lock);
		self->queueCalls += id == kAudioQueueProperty_IsRunning ? 1 : 1000;
		self->threads.push_back(apple_standin_thread_id());
	}
	std::vector<AudioObjectPropertySelector> Selectors() {
		std::lock_guard<std::mutex> guard(lock);
		return selectors;
	}
	int QueueCalls() {
		std::lock_guard<std::mutex> guard(lock);
		return queueCalls;
	}
	bool OnlyOn(unsigned long long thread) {
		std::lock_guard<std::mutex> guard(lock);
		for (unsigned long long t : threads)
			if (t != thread)
				return false;
		return true;
	}
	bool NeverOn(unsigned long long thread) {
		std::lock_guard<std::mutex> guard(lock);
		for (unsigned long long t : threads)
			if (t == thread)
				return false;
		return !threads.empty();
	}
};

AudioObjectPropertyAddress Global(AudioObjectPropertySelector selector) {
	return AudioObjectPropertyAddress{selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

std::vector<AudioObjectID> ListedDevices() {
	AudioObjectID ids[16] = {};
	UInt32 size = sizeof ids;
	AudioObjectPropertyAddress address = Global(kAudioHardwarePropertyDevices);
	if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, ids) != 0)
		return {};
	return std::vector<AudioObjectID>(ids, ids + size / sizeof(AudioObjectID));
}

OSStatus ReadAlive(AudioObjectID device, UInt32* alive) {
	UInt32 size = sizeof *alive;
	return Read(device, kAudioDevicePropertyDeviceIsAlive, kAudioObjectPropertyScopeGlobal, &size, alive);
}

AudioObjectID DefaultOutput() {
	AudioObjectID id = 0;
	UInt32 size = sizeof id;
	Read(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, &size, &id);
	return id;
}

TEST_F(AppleStandin, AppleAudioObjects_ARemovedDeviceLeavesTheListDiesAndReturnsUnderANewID) {
	AppleStandinDevice devices[] = {{"A", "a", 0, 0, 1, 2, 48000.0, 32, false, true},
	                                {"B", "b", 1, 2, 1, 6, 48000.0, 32, false, false}};
	apple_standin_set_devices(devices, 2);
	const AudioObjectID a = apple_standin_device_id(0), b = apple_standin_device_id(1);
	UInt32 alive = 7;
	ASSERT_EQ(ReadAlive(b, &alive), 0);
	EXPECT_EQ(alive, 1u);

	Heard heard;
	const AudioObjectPropertyAddress devicesAddress = Global(kAudioHardwarePropertyDevices);
	const AudioObjectPropertyAddress aliveAddress = Global(kAudioDevicePropertyDeviceIsAlive);
	const AudioObjectPropertyAddress defaultAddress = Global(kAudioHardwarePropertyDefaultOutputDevice);
	ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &devicesAddress, Heard::Object, &heard), 0);
	ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &defaultAddress, Heard::Object, &heard), 0);
	ASSERT_EQ(AudioObjectAddPropertyListener(b, &aliveAddress, Heard::Object, &heard), 0);
	EXPECT_EQ(apple_standin_listeners_registered(), 3);

	ASSERT_EQ(apple_standin_remove_device("b"), 1);
	// All at once, before any listener hears of it.
	EXPECT_EQ(ListedDevices(), std::vector<AudioObjectID>{a});
	EXPECT_EQ(apple_standin_device_count(), 1);
	ASSERT_EQ(ReadAlive(b, &alive), 0) << "the object may still be asked whether it lives";
	EXPECT_EQ(alive, 0u);
	CFStringRef name = nullptr;
	UInt32 size = sizeof name;
	EXPECT_EQ(Read(b, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, &size, &name), kAudioHardwareBadObjectError);
	EXPECT_EQ(AudioObjectAddPropertyListener(b, &aliveAddress, Heard::Object, &heard), kAudioHardwareBadObjectError);
	EXPECT_EQ(DefaultOutput(), a);

	ASSERT_TRUE(apple_standin_wait_listener_calls(10000));
	using Selectors = std::vector<AudioObjectPropertySelector>;
	EXPECT_EQ(heard.Selectors(), (Selectors{kAudioDevicePropertyDeviceIsAlive, kAudioHardwarePropertyDevices}))
		<< "the device dies, then the list changes; the default stays";
	EXPECT_TRUE(heard.NeverOn(apple_standin_thread_id())) << "listeners run on the stand-in's own thread";

	ASSERT_EQ(apple_standin_restore_device("b"), 1);
	const std::vector<AudioObjectID> listed = ListedDevices();
	ASSERT_EQ(listed.size(), 2u);
	EXPECT_EQ(listed[0], a);
	EXPECT_NE(listed[1], b) << "a device that returns is a new object";
	EXPECT_EQ(ReadAlive(b, &alive), kAudioHardwareBadObjectError) << "the old object is gone for good";
	ASSERT_EQ(ReadAlive(listed[1], &alive), 0);
	EXPECT_EQ(alive, 1u);
	size = sizeof name;
	ASSERT_EQ(Read(listed[1], kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, &size, &name), 0);
	EXPECT_EQ(Text(name), "B");
	CFRelease(name);
	ASSERT_TRUE(apple_standin_wait_listener_calls(10000));
	EXPECT_EQ(heard.Selectors().size(), 3u);
	EXPECT_EQ(heard.Selectors().back(), kAudioHardwarePropertyDevices);

	// The old object's listener went with it.
	EXPECT_EQ(apple_standin_listeners_registered(), 2);
	EXPECT_EQ(AudioObjectRemovePropertyListener(b, &aliveAddress, Heard::Object, &heard), kAudioHardwareBadObjectError);
	EXPECT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &devicesAddress, Heard::Object, &heard), 0);
	EXPECT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &devicesAddress, Heard::Object, &heard),
		kAudioHardwareUnknownPropertyError) << "removed once already";
	EXPECT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &defaultAddress, Heard::Object, &heard), 0);
	EXPECT_EQ(apple_standin_restore_device("b"), 0) << "listed already";
	EXPECT_EQ(apple_standin_remove_device("nowhere"), 0);
	EXPECT_EQ(apple_standin_cf_live(), liveBefore);
}

TEST_F(AppleStandin, AppleAudioObjects_ARemovedDefaultIsStoodInForUntilItReturns) {
	AppleStandinDevice devices[] = {{"Mic", "mic", 1, 1, 0, 0, 48000.0, 32, true, false},
	                                {"A", "a", 0, 0, 1, 2, 48000.0, 32, false, true},
	                                {"B", "b", 0, 0, 1, 2, 48000.0, 32, false, false}};
	apple_standin_set_devices(devices, 3);
	const AudioObjectID b = apple_standin_device_id(2);
	Heard heard;
	const AudioObjectPropertyAddress defaultAddress = Global(kAudioHardwarePropertyDefaultOutputDevice);
	ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &defaultAddress, Heard::Object, &heard), 0);

	ASSERT_EQ(apple_standin_remove_device("a"), 1);
	EXPECT_EQ(DefaultOutput(), b) << "the first output device left stands in";
	ASSERT_EQ(apple_standin_restore_device("a"), 1);
	EXPECT_EQ(DefaultOutput(), apple_standin_device_id(1)) << "the default is the default again";
	ASSERT_EQ(apple_standin_remove_device("b"), 1);
	ASSERT_EQ(apple_standin_restore_device("b"), 1);
	EXPECT_EQ(DefaultOutput(), apple_standin_device_id(1)) << "a former stand-in comes back as an ordinary device";
	ASSERT_TRUE(apple_standin_wait_listener_calls(10000));
	EXPECT_EQ(heard.Selectors().size(), 2u) << "once when it went, once when it came back";
	EXPECT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &defaultAddress, Heard::Object, &heard), 0);

	// Without any output left there is no default output at all.
	ASSERT_EQ(apple_standin_remove_device("a"), 1);
	ASSERT_EQ(apple_standin_remove_device("b"), 1);
	EXPECT_EQ(DefaultOutput(), kAudioObjectUnknown);
	ASSERT_EQ(apple_standin_restore_device("b"), 1);
	EXPECT_EQ(DefaultOutput(), apple_standin_device_id(1)) << "the only output stands in";
}

TEST_F(AppleStandin, AppleAudioQueue_IsRunningFollowsStartAndStopAndItsListenersHearOfIt) {
	apple_standin_set_manual_pump(true);
	Counter counter;
	AudioStreamBasicDescription format = FloatFormat(2, 48000.0);
	ASSERT_EQ(AudioQueueNewOutput(&format, Counter::Callback, &counter, nullptr, nullptr, 0, &counter.queue), 0);
	Heard heard;
	ASSERT_EQ(AudioQueueAddPropertyListener(counter.queue, kAudioQueueProperty_IsRunning, Heard::Queue, &heard), 0);
	EXPECT_EQ(AudioQueueAddPropertyListener(counter.queue, 0x7a7a7a7a, Heard::Queue, &heard), kAudioQueueErr_InvalidProperty);
	auto isRunning = [&] {
		UInt32 running = 7, size = sizeof running;
		EXPECT_EQ(AudioQueueGetProperty(counter.queue, kAudioQueueProperty_IsRunning, &running, &size), 0);
		EXPECT_EQ(size, 4u);
		return running;
	};
	EXPECT_EQ(isRunning(), 0u);

	ASSERT_EQ(AudioQueueStart(counter.queue, nullptr), 0);
	// Running some time after the start, as a real device starts.
	ASSERT_TRUE(WaitUntil([&] { return heard.QueueCalls() == 1; }));
	EXPECT_EQ(isRunning(), 1u);
	ASSERT_EQ(AudioQueueStop(counter.queue, true), 0);
	EXPECT_EQ(isRunning(), 0u) << "an immediate stop is done when it returns";
	ASSERT_TRUE(WaitUntil([&] { return heard.QueueCalls() == 2; }));
	EXPECT_TRUE(heard.NeverOn(apple_standin_thread_id()));

	CFStringRef device = nullptr;
	UInt32 size = sizeof device;
	ASSERT_EQ(AudioQueueGetProperty(counter.queue, kAudioQueueProperty_CurrentDevice, &device, &size), 0);
	EXPECT_EQ(Text(device), "BuiltInOutput");
	CFRelease(device);
	UInt32 small = 2;
	EXPECT_EQ(AudioQueueGetProperty(counter.queue, kAudioQueueProperty_IsRunning, &device, &small),
		kAudioQueueErr_InvalidPropertySize);
	EXPECT_EQ(AudioQueueGetProperty(counter.queue, 0x7a7a7a7a, &device, &size), kAudioQueueErr_InvalidProperty);

	ASSERT_EQ(AudioQueueRemovePropertyListener(counter.queue, kAudioQueueProperty_IsRunning, Heard::Queue, &heard), 0);
	EXPECT_NE(AudioQueueRemovePropertyListener(counter.queue, kAudioQueueProperty_IsRunning, Heard::Queue, &heard), 0);
	ASSERT_EQ(AudioQueueDispose(counter.queue, true), 0);
	AppleStandinQueueInfo info{};
	ASSERT_TRUE(apple_standin_queue_info(0, &info));
	EXPECT_EQ(info.listenersAtDispose, 0);
	EXPECT_EQ(apple_standin_cf_live(), liveBefore);
}

TEST_F(AppleStandin, AppleAudioQueue_AQueueWhoseDeviceGoesStopsForGoodAndSaysSo) {
	apple_standin_set_manual_pump(true);
	AppleStandinDevice devices[] = {{"A", "a", 0, 0, 1, 2, 48000.0, 32, false, true},
	                                {"B", "b", 0, 0, 1, 2, 48000.0, 32, false, false}};
	apple_standin_set_devices(devices, 2);
	AudioStreamBasicDescription format = FloatFormat(1, 8000.0);
	Counter onA, onB;
	Heard heardA, heardB;
	for (Counter* counter : {&onA, &onB}) {
		ASSERT_EQ(AudioQueueNewOutput(&format, Counter::Callback, counter, nullptr, nullptr, 0, &counter->queue), 0);
		Heard* heard = counter == &onA ? &heardA : &heardB;
		ASSERT_EQ(AudioQueueAddPropertyListener(counter->queue, kAudioQueueProperty_IsRunning, Heard::Queue, heard), 0);
		for (int i = 0; i < 2; ++i) {
			AudioQueueBufferRef buffer = nullptr;
			ASSERT_EQ(AudioQueueAllocateBuffer(counter->queue, 64, &buffer), 0);
			counter->Fill(counter->queue, buffer);
		}
	}
	CFStringRef uidB = CFStringCreateWithCString(nullptr, "b", kCFStringEncodingUTF8);
	ASSERT_EQ(AudioQueueSetProperty(onB.queue, kAudioQueueProperty_CurrentDevice, &uidB, sizeof uidB), 0);
	CFRelease(uidB);
	for (Counter* counter : {&onA, &onB}) {
		ASSERT_EQ(AudioQueueStart(counter->queue, nullptr), 0);
		ASSERT_EQ(apple_standin_pump(counter->queue, 2), 2);
	}
	ASSERT_TRUE(WaitUntil([&] { return heardB.QueueCalls() == 1; }));

	ASSERT_EQ(apple_standin_remove_device("b"), 1);
	UInt32 running = 7, size = sizeof running;
	ASSERT_EQ(AudioQueueGetProperty(onB.queue, kAudioQueueProperty_IsRunning, &running, &size), 0);
	EXPECT_EQ(running, 0u);
	EXPECT_EQ(apple_standin_pump(onB.queue, 1), 0) << "no callback any more";
	EXPECT_EQ(AudioQueueStart(onB.queue, nullptr), kAudioQueueErr_InvalidDevice);
	EXPECT_EQ(apple_standin_pump(onA.queue, 1), 1) << "the other device's queue plays on";
	AppleStandinQueueInfo info{};
	ASSERT_TRUE(apple_standin_queue_info(1, &info));
	EXPECT_TRUE(info.deviceLost);
	EXPECT_FALSE(info.running);
	ASSERT_TRUE(WaitUntil([&] { return heardB.QueueCalls() == 2; }));

	ASSERT_EQ(apple_standin_restore_device("b"), 1);
	EXPECT_EQ(AudioQueueStart(onB.queue, nullptr), kAudioQueueErr_InvalidDevice) << "a stopped queue stays stopped";
	EXPECT_EQ(apple_standin_pump(onB.queue, 1), 0);
	ASSERT_TRUE(apple_standin_wait_listener_calls(10000));
	EXPECT_EQ(heardA.QueueCalls(), 1) << "only the lost queue stopped";
	EXPECT_EQ(heardB.QueueCalls(), 2);

	// A queue disposed with its listener still registered loses it without a word.
	ASSERT_EQ(AudioQueueRemovePropertyListener(onA.queue, kAudioQueueProperty_IsRunning, Heard::Queue, &heardA), 0);
	ASSERT_EQ(AudioQueueDispose(onA.queue, true), 0);
	ASSERT_EQ(AudioQueueDispose(onB.queue, true), 0);
	ASSERT_TRUE(apple_standin_queue_info(0, &info));
	EXPECT_EQ(info.listenersAtDispose, 0);
	ASSERT_TRUE(apple_standin_queue_info(1, &info));
	EXPECT_EQ(info.listenersAtDispose, 1);
	EXPECT_EQ(apple_standin_listeners_registered(), 0);
}

TEST_F(AppleStandin, AppleListeners_AChangeReturnsBeforeAnyListenerRuns) {
	// A listener that waits for the test: were it called within the change, the change could
	// not return before the listener gave up.
	struct Blocking {
		std::atomic<bool> entered{false};
		std::atomic<bool> released{false};
		std::atomic<bool> releasedInTime{false};
		static OSStatus Listener(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* data) {
			auto* self = static_cast<Blocking*>(data);
			self->entered = true;
			self->releasedInTime = WaitUntil([self] { return self->released.load(); }, 10000);
			return 0;
		}
	} blocking;
	const AudioObjectPropertyAddress devicesAddress = Global(kAudioHardwarePropertyDevices);
	ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &devicesAddress, Blocking::Listener, &blocking), 0);
	ASSERT_EQ(apple_standin_remove_device("StudioInterface"), 1);
	ASSERT_TRUE(WaitUntil([&] { return blocking.entered.load(); }));
	blocking.released = true;
	ASSERT_TRUE(apple_standin_wait_listener_calls(20000));
	EXPECT_TRUE(blocking.releasedInTime);
	EXPECT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &devicesAddress, Blocking::Listener, &blocking), 0);
}

TEST_F(AppleStandin, AppleListeners_ARemovedListenerHearsNothingMore) {
	apple_standin_set_manual_pump(true);
	Heard heard;
	const AudioObjectID studio = apple_standin_device_id(1);
	const AudioObjectPropertyAddress devicesAddress = Global(kAudioHardwarePropertyDevices);
	const AudioObjectPropertyAddress aliveAddress = Global(kAudioDevicePropertyDeviceIsAlive);
	ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &devicesAddress, Heard::Object, &heard), 0);
	ASSERT_EQ(AudioObjectAddPropertyListener(studio, &aliveAddress, Heard::Object, &heard), 0);
	Counter counter;
	AudioStreamBasicDescription format = FloatFormat(2, 48000.0);
	ASSERT_EQ(AudioQueueNewOutput(&format, Counter::Callback, &counter, nullptr, nullptr, 0, &counter.queue), 0);
	ASSERT_EQ(AudioQueueAddPropertyListener(counter.queue, kAudioQueueProperty_IsRunning, Heard::Queue, &heard), 0);
	const long long lateBefore = apple_standin_late_listener_calls();

	apple_standin_hold_listener_calls(true);
	ASSERT_EQ(AudioQueueStart(counter.queue, nullptr), 0);
	ASSERT_TRUE(WaitUntil([&] {
		UInt32 running = 0, size = sizeof running;
		return AudioQueueGetProperty(counter.queue, kAudioQueueProperty_IsRunning, &running, &size) == 0 && running == 1;
	}));
	ASSERT_EQ(apple_standin_remove_device("StudioInterface"), 1);
	// Every registration removed (the queue's with the queue itself) before anything is delivered.
	EXPECT_EQ(AudioObjectRemovePropertyListener(studio, &aliveAddress, Heard::Object, &heard), 0)
		<< "a removed device's listeners can still be removed";
	EXPECT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &devicesAddress, Heard::Object, &heard), 0);
	ASSERT_EQ(AudioQueueDispose(counter.queue, true), 0);
	EXPECT_EQ(apple_standin_listeners_registered(), 0);
	EXPECT_TRUE(heard.Selectors().empty());

	apple_standin_hold_listener_calls(false);
	ASSERT_TRUE(apple_standin_wait_listener_calls(10000));
	EXPECT_EQ(heard.QueueCalls(), 0) << "the start, made before the queue was disposed, is not heard after it";
	EXPECT_TRUE(heard.Selectors().empty()) << "the removal, made before the listeners went, is not heard after";
	EXPECT_EQ(apple_standin_late_listener_calls(), lateBefore);

	// Nor is a change made after the removal.
	ASSERT_EQ(apple_standin_restore_device("StudioInterface"), 1);
	ASSERT_TRUE(apple_standin_wait_listener_calls(10000));
	EXPECT_TRUE(heard.Selectors().empty());
}

// The system promises no more than this, and the plug-in must cope: a removal does not wait for a
// call already under way, which runs after the removal returned (a late call). A block listener's
// call runs on the listener's own queue, so an empty block run synchronously on that queue after
// the removal returns only once that call has.
TEST_F(AppleStandin, AppleListeners_ACallUnderWayRunsAfterItsRemovalUntilItsQueueIsDrained) {
	const AudioObjectPropertyAddress devicesAddress = Global(kAudioHardwarePropertyDevices);
	Heard heard;
	std::atomic<int> blockCalls{0};
	std::atomic<int>* calls = &blockCalls;
	dispatch_queue_t queue = dispatch_queue_create("listeners", DISPATCH_QUEUE_SERIAL);
	AudioObjectPropertyListenerBlock listener = Block_copy(^(UInt32, const AudioObjectPropertyAddress*) {
		++*calls;
	});
	ASSERT_EQ(AudioObjectAddPropertyListenerBlock(kAudioObjectSystemObject, &devicesAddress, queue, listener), 0);
	ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &devicesAddress, Heard::Object, &heard), 0);
	const long long lateBefore = apple_standin_late_listener_calls();

	ASSERT_TRUE(apple_standin_close_gate("listener call"));
	ASSERT_EQ(apple_standin_remove_device("StudioInterface"), 1);
	ASSERT_TRUE(apple_standin_wait_at_gate("listener call", 2, 10000))
		<< "both calls began: the block's on its queue, the function's on the listener thread";
	EXPECT_EQ(AudioObjectRemovePropertyListenerBlock(kAudioObjectSystemObject, &devicesAddress, queue, listener), 0);
	EXPECT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &devicesAddress, Heard::Object, &heard), 0);
	EXPECT_EQ(blockCalls.load(), 0);
	std::atomic<int> callsWhenDrained{-1};
	std::atomic<int>* drained = &callsWhenDrained;
	std::thread drain([&] { dispatch_sync(queue, ^{ drained->store(calls->load()); }); });
	// The drain waits behind the call held at its start, however long that call takes.
	EXPECT_TRUE(WaitUntil([] { return apple_standin_dispatch_sync_waiting() == 1; }));
	ASSERT_TRUE(apple_standin_open_gate("listener call"));
	drain.join();
	EXPECT_EQ(callsWhenDrained.load(), 1) << "the drain came after the block's call under way";
	EXPECT_TRUE(WaitUntil([&] { return heard.Selectors().size() == 1; })) << "called after its removal returned";
	EXPECT_EQ(apple_standin_late_listener_calls(), lateBefore + 2);
	EXPECT_EQ(apple_standin_listeners_registered(), 0);
	dispatch_release(queue);
	Block_release(listener);
	EXPECT_TRUE(WaitUntil([] { return apple_standin_dispatch_queues_live() == 0; })) << "released and drained, it ends";
	ASSERT_EQ(apple_standin_restore_device("StudioInterface"), 1);
	ASSERT_TRUE(apple_standin_wait_listener_calls(10000));
}

// ---- Workspace -----------------------------------------------------------------------------

TEST_F(AppleStandin, AppleWorkspace_LibraryFolderIsUnderHomeAndOpeningIsRecorded) {
	setenv("HOME", "/home/someone", 1);
	char folder[64];
	ASSERT_TRUE(GetUserLibraryFolder(folder, sizeof folder));
	EXPECT_STREQ(folder, "/home/someone/Library");
	char tiny[8];
	EXPECT_FALSE(GetUserLibraryFolder(tiny, sizeof tiny));

	EXPECT_TRUE(OpenFileWithDefaultApplication("/a/Read Me.html"));
	apple_standin_fail_open(1);
	EXPECT_FALSE(OpenFileWithDefaultApplication("/b/x.html"));
	ASSERT_EQ(apple_standin_opened_count(), 2);
	char path[64];
	ASSERT_TRUE(apple_standin_opened_path(0, path, sizeof path));
	EXPECT_STREQ(path, "/a/Read Me.html");
	EXPECT_FALSE(apple_standin_opened_path(2, path, sizeof path));
}

} // namespace
