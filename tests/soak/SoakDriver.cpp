// The soak: four actors on two test sources for a long while (an hour unless told otherwise),
// each source restarted every minute, the actors' inputs changed now and then, the process's
// memory sampled every minute (resident size and heap in use, each the lowest over a few
// seconds). Memory must stay flat after the warm-up (within 1 MB; under wine the heap is judged,
// not the working set), and every account must be at zero at the end. Not a test: scripts/soak builds a tree without sanitizers
// and runs this.
//   vidrane-soak [--minutes N] [--warmup-minutes N] [--plugin PATH]
#include "RefHost.h"
#include "ndi_standin_control.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include "apple_standin_control.h"
#include <malloc.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSource = 1, kBandwidth = 2, kAudioOut = 3, kVolume = 4;
constexpr long kFlatLimitKB = 1024;

#ifdef _WIN32
// scripts/soak runs the Windows flavour beside a PulseAudio server with these two null sinks.
const char* const kDevices[] = {"None", "Studio_Speakers", "Desk_Six"};
#else
const char* const kDevices[] = {"None", "Built-in Output", "Studio Interface"};
#endif
constexpr int kDeviceCount = int(sizeof(kDevices) / sizeof(kDevices[0]));

long ResidentKB() {
#ifdef _WIN32
	PROCESS_MEMORY_COUNTERS counters{};
	if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
		return -1;
	return long(counters.WorkingSetSize / 1024);
#else
	FILE* f = fopen("/proc/self/status", "r");
	if (!f)
		return -1;
	char line[256];
	long kb = -1;
	while (fgets(line, sizeof(line), f))
		if (strncmp(line, "VmRSS:", 6) == 0)
			kb = strtol(line + 6, nullptr, 10);
	fclose(f);
	return kb;
#endif
}

// What the allocator has handed out and not had back, apart from what it keeps in reserve.
long HeapInUseKB() {
#if defined(__GLIBC__)
	struct mallinfo2 info = mallinfo2();
	return long((info.uordblks + info.hblkhd) / 1024);
#elif defined(_WIN32)
	// The busy blocks of every heap of the process (the C runtime's malloc among them).
	HANDLE heaps[64];
	const DWORD count = GetProcessHeaps(64, heaps);
	if (count == 0 || count > 64)
		return -1;
	unsigned long long busy = 0;
	for (DWORD i = 0; i < count; ++i) {
		if (!HeapLock(heaps[i]))
			continue;
		PROCESS_HEAP_ENTRY entry{};
		while (HeapWalk(heaps[i], &entry))
			if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
				busy += entry.cbData;
		HeapUnlock(heaps[i]);
	}
	return long(busy / 1024);
#else
	return -1;
#endif
}

long LiveQueues() {
#ifdef _WIN32
	return 0;
#else
	return apple_standin_queues_live();
#endif
}

ndi_standin_pattern_t* StartPattern(const char* name, int channels) {
	ndi_standin_pattern_settings_t settings;
	ndi_standin_pattern_defaults(&settings);
	settings.name = name;
	settings.xres = 640;
	settings.yres = 360;
	settings.frame_rate_N = 30;
	settings.frame_rate_D = 1;
	settings.no_channels = channels;
	settings.samples_per_frame = 1600;
	return ndi_standin_pattern_start(&settings);
}

struct Accounts {
	int receivers, finders, lent, runtime, faults;
	size_t allocations, textures, messageReceivers;
	long queues, cfObjects;
	bool Zero() const {
		return receivers == 0 && finders == 0 && lent == 0 && runtime == 0 && faults == 0 && allocations == 0 &&
		       textures == 0 && messageReceivers == 0 && queues == 0 && cfObjects == 0;
	}
};

} // namespace

int main(int argc, char** argv) {
	double minutes = 60;
	double warmup = 10;
	std::string plugin = VIDRANE_PLUGIN_PATH;
	for (int i = 1; i + 1 < argc; i += 2) {
		if (!strcmp(argv[i], "--minutes"))
			minutes = atof(argv[i + 1]);
		else if (!strcmp(argv[i], "--warmup-minutes"))
			warmup = atof(argv[i + 1]);
		else if (!strcmp(argv[i], "--plugin"))
			plugin = argv[i + 1];
	}
#ifndef _WIN32
	// The version file goes to a home of the soak's own.
	const std::filesystem::path home = std::filesystem::temp_directory_path() / ("vidrane-soak-" + std::to_string(getpid()));
	std::filesystem::create_directories(home / "Library" / "Preferences");
	setenv("HOME", home.c_str(), 1);
	const long cfBefore = apple_standin_cf_live();
#endif
#if defined(__GLIBC__)
	// A fixed threshold: the stand-in's video frames (900 KB each) are then always mapped and
	// unmapped as they come and go. With glibc's sliding threshold they move into the heap,
	// whose free space the allocator keeps resident, and the resident size creeps up in
	// steps of a frame with nothing held; the heap in use shows that, but cannot show a leak of
	// memory mapped by other means.
	mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
	ndi_standin_set_machine_name("SOAK");
	// Frames waiting in the library's queues are the library's memory; a short queue keeps them
	// from blurring the plug-in's figures (the plug-in holds at most one frame per input anyway).
	ndi_standin_set_queue_limit(2);

	refhost::Host host;
	std::string error;
	if (!host.Load(plugin, &error)) {
		fprintf(stderr, "soak: cannot load %s: %s\n", plugin.c_str(), error.c_str());
		return 2;
	}
	ndi_standin_pattern_t* patterns[2] = {StartPattern("Soak A", 2), StartPattern("Soak B", 6)};
	const std::string sources[2] = {ndi_standin_pattern_source_name(patterns[0]),
	                                ndi_standin_pattern_source_name(patterns[1])};
	// The configuration every minute starts from: two actors on each source, each pair with a
	// device and without; every input change of a minute is undone ten seconds before the next
	// sample, so that each sample is taken in the same configuration.
	std::vector<refhost::Actor*> actors;
	auto setBase = [&](int i) {
		host.SetInput(actors[size_t(i)], kSource, refhost::HostValue::Text(sources[i % 2]));
		host.SetInput(actors[size_t(i)], kBandwidth, refhost::HostValue::Integer(1));
		host.SetInput(actors[size_t(i)], kAudioOut, refhost::HostValue::Text(kDevices[(i / 2 + 1) % kDeviceCount]));
		host.SetInput(actors[size_t(i)], kVolume, refhost::HostValue::Real(50));
	};
	for (int i = 0; i < 4; ++i) {
		actors.push_back(host.CreateActor());
		setBase(i);
		host.Activate(actors.back(), true);
	}
	host.ClearRecords();

	std::mt19937 random(20261208);
	const auto start = Clock::now();
	// Each minute: the sample over its first 3 s, source A restarted at 15 s and B at 45 s, an
	// input change every 7 s from 5 s to 50 s, and at 50 s every actor back to the base
	// configuration. The run ends once the sample of its last minute is taken.
	const auto window = std::chrono::seconds(3);
	const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60)) +
	                 window + std::chrono::seconds(1);
	auto nextTick = start, minuteStart = start, nextChange = start + std::chrono::seconds(5), nextForget = start;
	bool sampled = false, restartedA = false, restartedB = false, restored = false;
	// A sample is the lowest of the readings over its window: frames in flight come and go
	// (each is most of a megabyte), what is kept for good raises the floor.
	long lowestResident = -1, lowestHeap = -1;
	auto nextReading = start;
	int sampleMinute = 0, changes = 0, restarts = 0;
	long long frames = 0;
	std::vector<long> samples, heapSamples;
	printf("soak: %.1f minutes, 4 actors on 2 sources, memory sampled every minute\n", minutes);
	fflush(stdout);

	while (Clock::now() < end) {
		const auto now = Clock::now();
		if (now >= nextForget) {
#ifndef _WIN32
			// The Apple stand-in records every sample played, for tests to read back: its memory,
			// not the plug-in's, and a minute of it is tens of megabytes. Forgotten every second.
			apple_standin_reset_queues();
#endif
			nextForget += std::chrono::seconds(1);
		}
		if (now - minuteStart >= std::chrono::minutes(1)) {
			minuteStart += std::chrono::minutes(1);
			sampled = restartedA = restartedB = restored = false;
			nextChange = minuteStart + std::chrono::seconds(5);
		}
		const auto phase = now - minuteStart;
		if (!sampled && phase < window && now >= nextReading) {
			const long resident = ResidentKB(), heap = HeapInUseKB();
			lowestResident = lowestResident < 0 ? resident : std::min(lowestResident, resident);
			lowestHeap = lowestHeap < 0 ? heap : std::min(lowestHeap, heap);
			nextReading = now + std::chrono::milliseconds(100);
		}
		if (!sampled && phase >= window) {
			const long kb = lowestResident;
			samples.push_back(kb);
			heapSamples.push_back(lowestHeap);
			lowestResident = lowestHeap = -1;
			printf("soak: minute %d: resident %ld KB (heap in use %ld KB), frames shown %lld, restarts %d, input "
			       "changes %d; live: receivers %d, finders %d, senders %d, lent frames %d, textures %zu, audio "
			       "queues %ld\n",
			       sampleMinute, kb, heapSamples.back(), frames, restarts, changes, ndi_standin_live_receivers(),
			       ndi_standin_live_finders(), ndi_standin_live_senders(), ndi_standin_frames_outstanding(),
			       host.liveTextures(), LiveQueues());
			fflush(stdout);
			++sampleMinute;
			sampled = true;
		}
		for (int which = 0; which < 2; ++which) {
			bool& restarted = which == 0 ? restartedA : restartedB;
			if (!restarted && phase >= std::chrono::seconds(which == 0 ? 15 : 45)) {
				// The source goes away and comes back under the same name, a new sender with a new URL:
				// receivers reach it only by connecting again.
				ndi_standin_pattern_stop(patterns[which]);
				patterns[which] = StartPattern(which == 0 ? "Soak A" : "Soak B", which == 0 ? 2 : 6);
				restarted = true;
				++restarts;
			}
		}
		if (!restored && phase >= std::chrono::seconds(50)) {
			// Everything let go and taken up again, as after a host's scene change.
			for (refhost::Actor* actor : actors)
				host.Activate(actor, false);
			for (int i = 0; i < 4; ++i) {
				setBase(i);
				host.Activate(actors[size_t(i)], true);
			}
			restored = true;
		}
		if (phase < std::chrono::seconds(50) && now >= nextChange) {
			refhost::Actor* actor = actors[random() % actors.size()];
			switch (random() % 5) {
			case 0:
				host.SetInput(actor, kSource, refhost::HostValue::Text(sources[random() % 2]));
				break;
			case 1:
				host.SetInput(actor, kBandwidth, refhost::HostValue::Integer(random() % 2));
				break;
			case 2:
				host.SetInput(actor, kAudioOut, refhost::HostValue::Text(kDevices[random() % kDeviceCount]));
				break;
			case 3:
				host.SetInput(actor, kVolume, refhost::HostValue::Real(random() % 101));
				break;
			default:
				host.Activate(actor, false);
				host.Activate(actor, true);
				break;
			}
			++changes;
			nextChange += std::chrono::seconds(7);
		}
		host.AdvanceTime(16);
		host.Tick();
		frames += (long long)host.imageUpdates().size();
		host.ClearRecords(); // the records of an hour would be memory of the soak's own
		nextTick += std::chrono::milliseconds(16);
		std::this_thread::sleep_until(nextTick); // a paced host, not a test's wait
	}
#ifndef _WIN32
	apple_standin_reset_queues();
#endif
	printf("soak: end: resident %ld KB (heap in use %ld KB), frames shown %lld, restarts %d, input changes %d\n",
	       samples.back(), heapSamples.back(), frames, restarts, changes);

	for (refhost::Actor* actor : actors)
		host.DisposeActor(actor);
	ndi_standin_pattern_stop(patterns[0]);
	ndi_standin_pattern_stop(patterns[1]);
	Accounts a{};
	a.allocations = host.outstandingAllocations();
	a.textures = host.liveTextures();
	a.messageReceivers = host.activeReceivers();
	const size_t misuse = host.errors().size() + host.trapsCalled().size();
	host.Unload();
	a.receivers = ndi_standin_live_receivers();
	a.finders = ndi_standin_live_finders();
	a.lent = ndi_standin_frames_outstanding();
	a.runtime = ndi_standin_initialize_depth();
	a.faults = ndi_standin_fault_count(ndi_standin_fault_any);
#ifndef _WIN32
	a.queues = apple_standin_queues_live();
	a.cfObjects = apple_standin_cf_live() - cfBefore;
	std::error_code ec;
	std::filesystem::remove_all(home, ec);
#endif
	printf("soak: accounts: receivers %d, finders %d, lent frames %d, runtime %d, NDI faults %d, host allocations %zu, "
	       "textures %zu, message receivers %zu, AudioQueues %ld, CF objects %ld, host misuse %zu\n",
	       a.receivers, a.finders, a.lent, a.runtime, a.faults, a.allocations, a.textures, a.messageReceivers, a.queues,
	       a.cfObjects, misuse);

	// Flat after the warm-up: the floor of the first five samples after it against the floor of
	// the last five. A sample taken while the machine lagged holds the frames queued meanwhile;
	// what is kept for good raises both floors. The heap in use is what the process holds; the
	// resident size adds what the allocator keeps in reserve and, under wine, pages that wine's
	// own paging moves in and out, so there it is shown only.
	const size_t first = std::min(samples.size() - 1, size_t(warmup + 0.5));
	const size_t span = std::max<size_t>(1, std::min<size_t>(5, (samples.size() - first) / 2));
	auto judge = [&](const char* what, const std::vector<long>& series, bool judged) {
		const long early = *std::min_element(series.begin() + long(first), series.begin() + long(first + span));
		const long late = *std::min_element(series.end() - long(span), series.end());
		const long growth = late - early;
		const bool within = growth <= kFlatLimitKB;
		printf("soak: %s, lowest of minutes %zu-%zu (%ld KB) against the lowest of the last %zu (%ld KB): %+ld KB, "
		       "limit %ld KB: %s\n",
		       what, first, first + span - 1, early, span, late, growth, kFlatLimitKB,
		       !judged ? "shown only" : within ? "flat" : "GROWING");
		return within || !judged;
	};
#ifdef _WIN32
	const bool residentJudged = false;
#else
	const bool residentJudged = true;
#endif
	const bool heapFlat = heapSamples[first] < 0 || judge("heap in use", heapSamples, true);
	const bool flat = judge("resident", samples, residentJudged) && heapFlat;
	const bool ok = flat && a.Zero() && misuse == 0;
	printf("soak: %s\n", ok ? "passed" : "FAILED");
	return ok ? 0 : 1;
}
