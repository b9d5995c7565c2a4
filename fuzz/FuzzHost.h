// The plug-in loaded once into a reference host, with one active actor, for the fuzzers that
// hand its callbacks outside bytes. After every input the host's records are checked and
// cleared: a trap slot called or a service misused by the plug-in ends the run like a crash.
#ifndef FUZZ_HOST_H
#define FUZZ_HOST_H

#include "RefHost.h"
#include "apple_standin_control.h"
#include "ndi_standin_control.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fuzzhost {

constexpr int kSource = 1, kBandwidth = 2, kAudioOut = 3, kVolume = 4;

struct State {
	refhost::Host* host = nullptr;
	refhost::Actor* actor = nullptr;
	// A context record of our own that points at the host's service table, for the callbacks
	// called here directly with records the host would never make.
	uint8_t params[64] = {};
};

inline State& S() {
	static State state;
	return state;
}

inline std::filesystem::path Home() {
	return std::filesystem::temp_directory_path() / ("vidrane-fuzz-home-" + std::to_string(getpid()));
}

inline void Unload() {
	std::error_code ec;
	std::filesystem::remove_all(Home(), ec);
	if (S().host) {
		S().host->Unload(); // every actor disposed, every receive thread ended
		delete S().host;
		S().host = nullptr;
	}
}

// Loads the plug-in and makes the actor; the version file is in a home of our own.
inline void Start() {
	const std::filesystem::path home = Home();
	std::filesystem::create_directories(home / "Library" / "Preferences");
	setenv("HOME", home.c_str(), 1);
	ndi_standin_set_machine_name("FUZZ");
	S().host = new refhost::Host();
	std::string error;
	if (!S().host->Load(VIDRANE_PLUGIN_PATH, &error)) {
		fprintf(stderr, "cannot load the plug-in: %s\n", error.c_str());
		abort();
	}
	S().host->SetManualTime(10000);
	S().actor = S().host->CreateActor();
	S().host->Activate(S().actor, true);
	void* const* table = S().host->serviceTable();
	memcpy(S().params + refhost::off::kParamsServiceTable, &table, sizeof(table));
	atexit(Unload);
}

inline uint8_t* Params() {
	const uint32_t now = S().host->time();
	memcpy(S().params + refhost::off::kParamsTime, &now, sizeof(now));
	return S().params;
}

// The callback the plug-in registered at `offset` of its ActorInfo.
template <typename Fn>
Fn Callback(size_t offset) {
	uint64_t address = 0;
	memcpy(&address, S().host->infoRecord().data() + offset, sizeof(address));
	return reinterpret_cast<Fn>(uintptr_t(address));
}

inline void Check() {
	refhost::Host& host = *S().host;
	for (size_t offset : host.trapsCalled()) {
		fprintf(stderr, "the plug-in called undefined service slot %zu\n", offset);
		abort();
	}
	for (const std::string& e : host.errors()) {
		fprintf(stderr, "host service misused: %s\n", e.c_str());
		abort();
	}
	if (ndi_standin_fault_count(ndi_standin_fault_any) != 0) {
		fprintf(stderr, "NDI stand-in fault: %s\n", ndi_standin_last_fault());
		abort();
	}
	host.ClearRecords();
}

} // namespace fuzzhost

#endif
