// Actors of the loaded plug-in in the reference host, on the NDI stand-in's network, with the
// version file in a place of the test's own.
#ifndef ACTOR_FIXTURE_H
#define ACTOR_FIXTURE_H

#include "NdiNetwork.h"
#include "PluginFixture.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <shlobj.h>
#include <tlhelp32.h>
#else
#include "apple_standin_control.h"
#include <dirent.h>
#include <stdlib.h>
#endif

namespace actortest {

constexpr int kSource = 1, kBandwidth = 2, kAudioOut = 3, kVolume = 4;
constexpr uint32_t kVideo = 1, kSourceCount = 2, kAudioChannels = 3;

// What the running plug-in's version text is (and so what the version file ends up holding).
inline std::string CurrentVersionText() {
#ifdef _WIN32
	return std::string(VIDRANE_VERSION) + "\n";
#else
	return VIDRANE_VERSION;
#endif
}

// The threads of this process now: the host's, the plug-in's, the stand-ins' and the system's.
inline int ProcessThreads() {
	int count = 0;
#ifdef _WIN32
	HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
	if (snapshot == INVALID_HANDLE_VALUE)
		return -1;
	THREADENTRY32 entry;
	entry.dwSize = sizeof(entry);
	for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
		if (entry.th32OwnerProcessID == GetCurrentProcessId())
			++count;
	CloseHandle(snapshot);
#else
	if (DIR* tasks = opendir("/proc/self/task")) {
		while (dirent* entry = readdir(tasks))
			if (entry->d_name[0] != '.')
				++count;
		closedir(tasks);
	}
#endif
	return count;
}

// The audio system's notification thread, once started, lives as long as the process: started
// before the threads are counted, what is left at the end is the plug-in's.
#ifdef _WIN32
// Hears nothing: registered a moment, so that the system starts what it keeps for notifications.
struct DeafNotificationClient : IMMNotificationClient {
	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
		*object = this;
		return S_OK;
	}
	ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
	ULONG STDMETHODCALLTYPE Release() override { return 1; }
	HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
	HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
	HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
	HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow, ERole, LPCWSTR) override { return S_OK; }
	HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }
};
#endif

inline void StartTheAudioSystemsThreads() {
#ifdef _WIN32
	// A stream played a moment on the default endpoint, and a notification client registered, by
	// a thread of its own (COM and all).
	std::thread([] {
		if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
			return;
		IMMDeviceEnumerator* enumerator = nullptr;
		IMMDevice* device = nullptr;
		IAudioClient* client = nullptr;
		WAVEFORMATEX* mix = nullptr;
		if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
		                               reinterpret_cast<void**>(&enumerator)))
		    && SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device))
		    && SUCCEEDED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client)))
		    && SUCCEEDED(client->GetMixFormat(&mix))
		    && SUCCEEDED(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 1000000, 0, mix, nullptr))
		    && SUCCEEDED(client->Start()))
			client->Stop();
		DeafNotificationClient deaf;
		if (enumerator && SUCCEEDED(enumerator->RegisterEndpointNotificationCallback(&deaf)))
			enumerator->UnregisterEndpointNotificationCallback(&deaf);
		CoTaskMemFree(mix);
		if (client)
			client->Release();
		if (device)
			device->Release();
		if (enumerator)
			enumerator->Release();
		CoUninitialize();
	}).join();
#else
	const AudioObjectPropertyAddress devices = {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
	                                            kAudioObjectPropertyElementMain};
	auto noop = [](AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*) -> OSStatus { return 0; };
	AudioObjectAddPropertyListener(kAudioObjectSystemObject, &devices, noop, nullptr);
	apple_standin_reset_devices();
	apple_standin_wait_listener_calls(10000);
	AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &devices, noop, nullptr);
#endif
}

// A source of this machine sending what a test asks for, through the ordinary sending API.
using Sender = ndinet::Sender;

class ActorTest : public PluginTest {
protected:
	void SetUp() override {
		ndi_standin_set_machine_name("TEST");
		ndi_standin_reset_call_counts();
		ndi_standin_reset_faults();
		ndi_standin_set_null_for_empty_list(false);
		ndi_standin_set_padding(0, 0);
#ifndef _WIN32
		// A home of the test's own: the version file goes to its Library/Preferences.
		mHome = std::filesystem::temp_directory_path() / ("vidrane-home-" + std::to_string(getpid()));
		std::filesystem::create_directories(mHome / "Library" / "Preferences");
		setenv("HOME", mHome.c_str(), 1);
		apple_standin_reset_queues();
		apple_standin_clear_opened();
#endif
		WriteVersionFile(CurrentVersionText()); // no notice unless a test wants one
		PluginTest::SetUp();
		host.SetManualTime(10000);
	}
	void TearDown() override {
		PluginTest::TearDown();
		EXPECT_EQ(ndi_standin_live_receivers(), 0);
		EXPECT_EQ(ndi_standin_live_finders(), 0);
		EXPECT_EQ(ndi_standin_frames_outstanding(), 0);
		EXPECT_EQ(ndi_standin_initialize_depth(), 0);
		EXPECT_EQ(ndi_standin_fault_count(ndi_standin_fault_any), 0) << ndi_standin_last_fault();
		EXPECT_EQ(host.liveTextures(), 0u);
		ndi_standin_set_null_for_empty_list(false);
		ndi_standin_set_padding(0, 0);
#ifndef _WIN32
		EXPECT_EQ(apple_standin_queues_live(), 0);
		apple_standin_set_manual_pump(false);
		std::error_code ec;
		std::filesystem::remove_all(mHome, ec);
#endif
	}

	static std::filesystem::path VersionFolder() {
#ifdef _WIN32
		PWSTR roaming = nullptr;
		SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming);
		std::filesystem::path folder = std::filesystem::path(roaming) / "Stavrik";
		CoTaskMemFree(roaming);
		return folder;
#else
		return std::filesystem::path(getenv("HOME")) / "Library" / "Preferences";
#endif
	}
	static std::filesystem::path VersionFile() { return VersionFolder() / "com.stavrik.ndi-vidrane.txt"; }
	static void WriteVersionFile(const std::string& bytes) {
		std::filesystem::create_directories(VersionFolder());
		FILE* f = fopen(VersionFile().string().c_str(), "wb");
		ASSERT_NE(f, nullptr);
		fwrite(bytes.data(), 1, bytes.size(), f);
		fclose(f);
	}
	static std::string ReadVersionFile() {
		FILE* f = fopen(VersionFile().string().c_str(), "rb");
		if (!f)
			return "(missing)";
		std::string bytes;
		char buffer[512];
		size_t n;
		while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
			bytes.append(buffer, n);
		fclose(f);
		return bytes;
	}

	// An actor with the given inputs, activated (the host delivers them right after).
	refhost::Actor* ActiveActor(const std::string& source, int64_t bandwidth = 1, const std::string& audio = "None",
	                            double volume = 100) {
		refhost::Actor* actor = host.CreateActor();
		host.SetInput(actor, kSource, refhost::HostValue::Text(source));
		host.SetInput(actor, kBandwidth, refhost::HostValue::Integer(bandwidth));
		host.SetInput(actor, kAudioOut, refhost::HostValue::Text(audio));
		host.SetInput(actor, kVolume, refhost::HostValue::Real(volume));
		host.Activate(actor, true);
		return actor;
	}

	// Services every actor until the condition holds; generous, in host time steps of 16 ms.
	bool ServiceUntil(const std::function<bool()>& condition, int timeoutMs = 15000) {
		auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
		while (!condition()) {
			if (std::chrono::steady_clock::now() > deadline)
				return false;
			host.AdvanceTime(16);
			host.Tick();
			std::this_thread::yield();
		}
		return true;
	}
	// Services while sending video until the actor has shown `count` more frames.
	bool ShowFrames(refhost::Actor* actor, Sender& sender, size_t count, uint32_t firstTag = 1) {
		size_t target = ImagesOf(actor).size() + count;
		uint32_t tag = firstTag;
		return ServiceUntil([&] {
			sender.Video(tag++);
			return ImagesOf(actor).size() >= target;
		});
	}
	std::vector<refhost::ImageUpdate> ImagesOf(const refhost::Actor* actor) const {
		std::vector<refhost::ImageUpdate> mine;
		for (const auto& u : host.imageUpdates())
			if (u.actorRef == actor->ref)
				mine.push_back(u);
		return mine;
	}
	std::vector<int64_t> IntegersOf(const refhost::Actor* actor, uint32_t output) const {
		std::vector<int64_t> values;
		for (const auto& e : host.outputsOf(actor, output))
			values.push_back(e.value.integer);
		return values;
	}

	std::filesystem::path mHome;
};

// A small test pattern with its tones (250 Hz on channel 0, 500 Hz on channel 1); sources of
// different widths tell apart whose frames an actor shows.
inline ndi_standin_pattern_t* StartTone(const char* name, int xres = 160) {
	ndi_standin_pattern_settings_t settings;
	ndi_standin_pattern_defaults(&settings);
	settings.name = name;
	settings.xres = xres;
	settings.yres = 16;
	settings.samples_per_frame = 480;
	return ndi_standin_pattern_start(&settings);
}

#ifndef _WIN32
// A text property of the index-th listed device ("" when it cannot be read). The stand-in's
// default machine: "Built-in Output" (default) and "Studio Interface".
inline std::string DeviceText(int index, AudioObjectPropertySelector selector) {
	AudioObjectPropertyAddress address = {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
	CFStringRef text = nullptr;
	UInt32 size = sizeof(text);
	char bytes[1024] = {};
	if (AudioObjectGetPropertyData(apple_standin_device_id(index), &address, 0, nullptr, &size, &text) != 0)
		return "";
	CFStringGetCString(text, bytes, sizeof(bytes), kCFStringEncodingUTF8);
	CFRelease(text);
	return bytes;
}
inline std::string DeviceUID(int index) {
	return DeviceText(index, kAudioDevicePropertyDeviceUID);
}
inline std::string DeviceName(int index) {
	return DeviceText(index, kAudioObjectPropertyName);
}

// The AudioQueue live now that plays on the device, if any.
inline int LiveQueueOn(const std::string& uid) {
	for (int i = apple_standin_queues_created() - 1; i >= 0; --i) {
		AppleStandinQueueInfo info;
		if (apple_standin_queue_info(i, &info) && !info.disposed && info.running && uid == info.deviceUID)
			return i;
	}
	return -1;
}

// Whether anything but silence was played on the device so far.
inline bool SoundOn(const std::string& uid) {
	std::vector<float> samples(apple_standin_played(uid.c_str(), nullptr, 0));
	apple_standin_played(uid.c_str(), samples.data(), samples.size());
	for (float s : samples)
		if (s != 0.0f)
			return true;
	return false;
}
#endif

} // namespace actortest

#endif
