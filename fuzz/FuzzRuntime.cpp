#include "FuzzRuntime.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace fuzzrt {
namespace {

struct Mapping {
	void* base;
	size_t size;
	void* recv;
	NDIlib_frame_type_e kind;
};

struct Runtime {
	std::mutex lock;
	std::condition_variable changed;
	std::deque<Record> queue;
	uint64_t pushed = 0, handed = 0, drainedAt = 0;
	std::map<const void*, Mapping> lent; // by data pointer
	std::map<std::pair<void*, int>, int> lentWithoutData; // (receiver, kind) -> count
	int finders = 0, receivers = 0;
	bool connected = false;
	NDIlib_source_t source;
};

Runtime& R() {
	static Runtime* runtime = new Runtime(); // outlives every receive thread at exit
	return *runtime;
}

[[noreturn]] void Fault(const char* what) {
	fprintf(stderr, "fuzz runtime: %s\n", what);
	abort();
}

constexpr int64_t kMaxExtent = int64_t(1) << 38;

// The bytes a record claims to have: what a reader that believes it may touch.
int64_t Extent(const Record& r) {
	if (r.type == NDIlib_frame_type_video) {
		const int64_t rows = r.video.yres, stride = r.video.line_stride_in_bytes;
		return rows > 0 && stride > 0 ? rows * stride : 0;
	}
	const int64_t planes = r.audio.no_channels, stride = r.audio.channel_stride_in_bytes;
	return planes > 0 && stride > 0 ? planes * stride : 0;
}

// Data ending right before an unreadable page; its first bytes carry a pattern.
uint8_t* MapData(int64_t extent, Mapping& mapping) {
	const size_t page = size_t(sysconf(_SC_PAGESIZE));
	if (extent <= 0)
		extent = 16; // nothing claimed: a few bytes, all of which are wrong to read
	if (extent > kMaxExtent)
		extent = kMaxExtent;
	const size_t rounded = (size_t(extent) + page - 1) / page * page;
	void* base = mmap(nullptr, rounded + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	if (base == MAP_FAILED)
		Fault("mmap failed");
	mprotect(static_cast<uint8_t*>(base) + rounded, page, PROT_NONE);
	mapping.base = base;
	mapping.size = rounded + page;
	uint8_t* data = static_cast<uint8_t*>(base) + ((rounded - size_t(extent)) & ~size_t(3));
	const size_t fill = std::min<size_t>(size_t(extent), 256);
	for (size_t i = 0; i < fill; ++i)
		data[i] = uint8_t(0x3C + i); // small positive floats
	return data;
}

void Free(void* recv, const void* data, NDIlib_frame_type_e kind) {
	Runtime& rt = R();
	std::lock_guard<std::mutex> guard(rt.lock);
	if (!data) {
		int& count = rt.lentWithoutData[{recv, kind}];
		if (count <= 0)
			Fault("a record without data freed more often than it was lent");
		--count;
		return;
	}
	auto it = rt.lent.find(data);
	if (it == rt.lent.end())
		Fault("freed a record never lent, or freed it twice");
	if (it->second.recv != recv)
		Fault("freed on another receiver than the one that lent it");
	if (it->second.kind != kind)
		Fault("freed as another kind of frame");
	munmap(it->second.base, it->second.size);
	rt.lent.erase(it);
}

} // namespace

void Push(const std::vector<Record>& records) {
	Runtime& rt = R();
	std::lock_guard<std::mutex> guard(rt.lock);
	for (const Record& r : records)
		rt.queue.push_back(r);
	rt.pushed += records.size();
	rt.changed.notify_all();
}

bool WaitDrained(int timeoutMs) {
	Runtime& rt = R();
	std::unique_lock<std::mutex> guard(rt.lock);
	return rt.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return rt.drainedAt == rt.pushed; });
}

bool WaitConnected(int timeoutMs) {
	Runtime& rt = R();
	std::unique_lock<std::mutex> guard(rt.lock);
	return rt.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return rt.connected; });
}

bool WaitClosed(int timeoutMs) {
	Runtime& rt = R();
	std::unique_lock<std::mutex> guard(rt.lock);
	return rt.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
	                           [&] { return rt.finders == 0 && rt.receivers == 0; });
}

int Lent() {
	Runtime& rt = R();
	std::lock_guard<std::mutex> guard(rt.lock);
	int count = int(rt.lent.size());
	for (const auto& entry : rt.lentWithoutData)
		count += entry.second;
	return count;
}

} // namespace fuzzrt

using namespace fuzzrt;

// ---- The runtime's functions, as the shared input calls them -------------------------------------

extern "C" {

bool NDIlib_initialize(void) {
	return true;
}
void NDIlib_destroy(void) {}
const char* NDIlib_version(void) {
	return "NDI SDK LINUX 3.8.0";
}

NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t*) {
	std::lock_guard<std::mutex> guard(R().lock);
	++R().finders;
	return new int(1);
}

void NDIlib_find_destroy(NDIlib_find_instance_t finder) {
	std::lock_guard<std::mutex> guard(R().lock);
	--R().finders;
	R().changed.notify_all();
	delete static_cast<int*>(finder);
}

bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t, uint32_t) {
	return true; // the one source is always there
}

const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t, uint32_t* count) {
	R().source.p_ndi_name = kSourceName;
	R().source.p_url_address = "fuzz://source";
	if (count)
		*count = 1;
	return &R().source;
}

NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t*) {
	std::lock_guard<std::mutex> guard(R().lock);
	++R().receivers;
	return new int(2);
}

void NDIlib_recv_destroy(NDIlib_recv_instance_t recv) {
	Runtime& rt = R();
	std::lock_guard<std::mutex> guard(rt.lock);
	for (const auto& entry : rt.lent)
		if (entry.second.recv == recv)
			Fault("receiver destroyed with records still lent");
	for (const auto& entry : rt.lentWithoutData)
		if (entry.first.first == recv && entry.second > 0)
			Fault("receiver destroyed with records still lent");
	--rt.receivers;
	rt.connected = false;
	rt.changed.notify_all();
	delete static_cast<int*>(recv);
}

void NDIlib_recv_connect(NDIlib_recv_instance_t, const NDIlib_source_t*) {
	std::lock_guard<std::mutex> guard(R().lock);
	R().connected = true;
	R().changed.notify_all();
}

NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t recv, NDIlib_video_frame_v2_t* video,
                                           NDIlib_audio_frame_v2_t* audio, NDIlib_metadata_frame_t* metadata,
                                           uint32_t timeout) {
	Runtime& rt = R();
	std::unique_lock<std::mutex> guard(rt.lock);
	// Back for more after the last record: everything pushed has been dealt with.
	if (rt.handed == rt.pushed && rt.drainedAt != rt.pushed) {
		rt.drainedAt = rt.pushed;
		rt.changed.notify_all();
	}
	for (;;) {
		if (rt.queue.empty() &&
		    !rt.changed.wait_for(guard, std::chrono::milliseconds(timeout), [&] { return !rt.queue.empty(); }))
			return NDIlib_frame_type_none;
		Record r = rt.queue.front();
		rt.queue.pop_front();
		++rt.handed;
		switch (r.type) {
		case NDIlib_frame_type_video:
		case NDIlib_frame_type_audio: {
			const bool isVideo = r.type == NDIlib_frame_type_video;
			if ((isVideo && !video) || (!isVideo && !audio))
				break; // no record for it: dropped, as the library does
			uint8_t* data = nullptr;
			if (!r.nullData) {
				Mapping mapping{nullptr, 0, recv, r.type};
				data = MapData(Extent(r), mapping);
				rt.lent[data] = mapping;
			} else {
				++rt.lentWithoutData[{recv, r.type}];
			}
			if (isVideo) {
				*video = r.video;
				video->p_data = data;
			} else {
				*audio = r.audio;
				audio->p_data = reinterpret_cast<float*>(data);
			}
			return r.type;
		}
		case NDIlib_frame_type_metadata:
			if (!metadata)
				break;
			metadata->length = 0;
			metadata->timecode = 0;
			metadata->p_data = nullptr;
			return r.type;
		default:
			return r.type; // none, error, status or source change
		}
		if (rt.handed == rt.pushed) {
			rt.drainedAt = rt.pushed;
			rt.changed.notify_all();
		}
	}
}

void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t recv, const NDIlib_video_frame_v2_t* frame) {
	if (!frame)
		Fault("free of a null video record");
	Free(recv, frame->p_data, NDIlib_frame_type_video);
}

void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t recv, const NDIlib_audio_frame_v2_t* frame) {
	if (!frame)
		Fault("free of a null audio record");
	Free(recv, frame->p_data, NDIlib_frame_type_audio);
}

} // extern "C"
