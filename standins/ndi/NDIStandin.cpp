// The NDI runtime stand-in: the library the plug-in links by name, implemented in-process.
// Sources, finders, receivers and senders live in this process under one lock; receivers and
// finders wait on condition variables of that lock, so every wait is a real one.
#include "StandinInternal.h"
#include "VideoConvert.h"
#include "ndi_standin_control.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define NDI_STANDIN_POISON(p, n) __asan_poison_memory_region((p), (n))
#define NDI_STANDIN_UNPOISON(p, n) __asan_unpoison_memory_region((p), (n))
#else
#define NDI_STANDIN_POISON(p, n) ((void)(p), (void)(n))
#define NDI_STANDIN_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

using Clock = std::chrono::steady_clock;
using ndistandin::Picture;

#ifdef _WIN32
const char kDefaultVersion[] = "NDI SDK WIN64 12:00:00 Dec  1 2026 4.6.2";
#else
const char kDefaultVersion[] = "NDI SDK LINUX 12:00:00 Dec  1 2026 3.8.0";
#endif
const char kMetadataText[] = "<ndi_standin_metadata/>";
// What fills the padding after each channel of a padded audio delivery: far outside any sound,
// so that a reader that takes padding for samples shows.
const float kAudioPaddingSample = 1.0e9f;
const int kMaxLinePadding = 4096, kMaxChannelPadding = 65536;

// Freed frames are kept (and, under AddressSanitizer, poisoned) a while, so that their addresses
// are not handed out again at once: a second free is then told from a free of a new frame, and a
// read of freed pixels shows.
const size_t kQuarantineFrames = 32;
const size_t kQuarantineBytes = 64u << 20;

struct Frame {
	NDIlib_frame_type_e type = NDIlib_frame_type_none;
	NDIlib_video_frame_v2_t video{};
	NDIlib_audio_frame_v2_t audio{};
	std::vector<uint8_t> bytes; // pixels or samples; the records point into it
	std::string metadata;
	uint64_t receiverId = 0;
	const void* Key() const {
		return type == NDIlib_frame_type_video ? static_cast<const void*>(video.p_data)
		                                       : static_cast<const void*>(audio.p_data);
	}
};
using FramePtr = std::unique_ptr<Frame>;

struct Source {
	uint64_t id = 0;
	std::string name, url;
	std::vector<std::string> groups;
	bool local = true;     // announced by a sender of this process
	bool scripted = false; // added through the control calls
	bool online = true;
};

struct Receiver {
	uint64_t id = 0;
	NDIlib_recv_color_format_e colorFormat = NDIlib_recv_color_format_UYVY_BGRA;
	NDIlib_recv_bandwidth_e bandwidth = NDIlib_recv_bandwidth_highest;
	bool allowFields = true;
	bool wantsSource = false;
	std::string wantName, wantUrl;
	uint64_t boundSource = 0; // the source instance it receives from, which may be gone since; 0: none yet
	size_t limit = 16;
	std::deque<FramePtr> queue;
	std::unordered_map<const void*, FramePtr> lent;
	std::condition_variable wake;
	int capturing = 0;
	bool destroyed = false;
	int64_t dropped = 0, captures = 0;
	int64_t videoLent = 0, audioLent = 0, videoFreed = 0, audioFreed = 0;
};

// The array NDIlib_find_get_current_sources hands out: the entries, then one more that is no
// entry (so that even an empty list has an address), poisoned under AddressSanitizer so that a
// read past the count shows.
struct SourceArray {
	std::vector<std::string> names;
	std::vector<NDIlib_source_t> entries;
	explicit SourceArray(size_t count) : entries(count + 1) {
		NDI_STANDIN_POISON(&entries[count], sizeof(NDIlib_source_t));
	}
	~SourceArray() { NDI_STANDIN_UNPOISON(&entries.back(), sizeof(NDIlib_source_t)); }
	SourceArray(const SourceArray&) = delete;
	SourceArray& operator=(const SourceArray&) = delete;
};

struct Finder {
	bool showLocal = true;
	std::vector<std::string> groups;
	std::vector<uint64_t> reported; // the ids it last reported
	std::unique_ptr<SourceArray> array;
	int waiting = 0;
	bool destroyed = false;
};

struct Sender {
	uint64_t sourceId = 0;
	std::string name;
	bool clockVideo = false, clockAudio = false;
	std::mutex pacing; // the sender's clocks; a sender may be used from more than one thread
	Clock::time_point nextVideo, nextAudio;
	bool videoStarted = false, audioStarted = false;
};

struct Library {
	std::mutex lock;
	std::condition_variable sourcesChanged;
	std::string version = kDefaultVersion;
	std::string machine;
	std::map<std::string, int> calls;
	int initializeDepth = 0;
	int failInitialize = 0, failFindCreate = 0, failRecvCreate = 0;
	int failCapture = 0; // -1: every capture

	uint64_t nextId = 1;
	std::vector<Source> sources;
	std::vector<std::shared_ptr<Finder>> finders;
	std::vector<std::shared_ptr<Receiver>> receivers;
	std::vector<std::shared_ptr<Sender>> senders;
	size_t queueLimit = 16;
	bool nullForEmptyList = false;
	int linePadding = 0, channelPadding = 0; // bytes after each line of video, each channel of audio

	std::deque<FramePtr> quarantine;
	size_t quarantineBytes = 0;
	int64_t lentTotal = 0, freedTotal = 0;

	bool faultsFatal = true;
	int faults[ndi_standin_fault_count_] = {};
	std::string lastFault;

	std::vector<ndi_standin_find_create_call_t> findCreateCalls;
	std::vector<ndi_standin_recv_create_call_t> recvCreateCalls;
	std::vector<ndi_standin_recv_connect_call_t> recvConnectCalls;
	ndi_standin_timeouts_t timeouts = {-1, -1, -1, -1, false, false, false};
};

std::string HostMachineName() {
	char buffer[256] = {};
#ifdef _WIN32
	DWORD size = sizeof(buffer);
	if (!GetComputerNameA(buffer, &size))
		buffer[0] = 0;
#else
	if (gethostname(buffer, sizeof(buffer) - 1) != 0)
		buffer[0] = 0;
#endif
	std::string name(buffer);
	name = name.substr(0, name.find('.'));
	for (char& c : name)
		if (c >= 'a' && c <= 'z')
			c = char(c - 'a' + 'A');
	return name.empty() ? "LOCALHOST" : name;
}

Library& Lib() {
	ndistandin::NoteCallingThread();
	static Library* sLibrary = [] { // never destroyed: plug-in statics may call in at exit
		Library* library = new Library;
		library->machine = HostMachineName();
		return library;
	}();
	return *sLibrary;
}

void Count(Library& L, const char* function) {
	++L.calls[function];
}

void Fault(Library& L, ndi_standin_fault_e kind, const std::string& what) {
	++L.faults[kind];
	L.lastFault = what;
	fprintf(stderr, "NDI stand-in: FAULT: %s\n", what.c_str());
	if (L.faultsFatal) {
		fprintf(stderr, "NDI stand-in: faults are fatal (a test may call ndi_standin_set_faults_fatal(false))\n");
		fflush(stderr);
		abort();
	}
	fflush(stderr);
}

std::string Describe(const void* p) {
	char text[32];
	snprintf(text, sizeof(text), "%p", p);
	return text;
}

ndi_standin_text_t Text(const char* s) {
	ndi_standin_text_t t{};
	t.is_null = s == nullptr;
	if (s) {
		size_t n = 0;
		while (n < sizeof(t.text) - 1 && s[n])
			++n;
		memcpy(t.text, s, n);
	}
	return t;
}

// A C text from a caller, read at most `max` bytes far.
std::string Bounded(const char* s, size_t max = 1u << 16) {
	if (!s)
		return std::string();
	size_t n = 0;
	while (n < max && s[n])
		++n;
	return std::string(s, n);
}

// Groups are comma-separated and case-blind; none given means "public".
std::vector<std::string> ParseGroups(const char* text) {
	std::vector<std::string> groups;
	std::string all = Bounded(text), one;
	all += ',';
	for (char c : all) {
		if (c == ',') {
			size_t b = one.find_first_not_of(" \t"), e = one.find_last_not_of(" \t");
			if (b != std::string::npos)
				groups.push_back(one.substr(b, e - b + 1));
			one.clear();
		} else {
			one += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
		}
	}
	if (groups.empty())
		groups.push_back("public");
	return groups;
}

bool SharesGroup(const std::vector<std::string>& a, const std::vector<std::string>& b) {
	for (const auto& g : a)
		if (std::find(b.begin(), b.end(), g) != b.end())
			return true;
	return false;
}

int64_t NowTicks() { // 100 ns units since the epoch, as the SDK's times are
	using namespace std::chrono;
	return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

template <typename T>
std::shared_ptr<T> FindHandle(const std::vector<std::shared_ptr<T>>& list, const void* handle) {
	for (const auto& item : list)
		if (item.get() == handle)
			return item;
	return nullptr;
}

std::shared_ptr<Receiver> LiveReceiver(Library& L, const void* handle, const char* function) {
	auto r = FindHandle(L.receivers, handle);
	if (!r)
		Fault(L, ndi_standin_fault_bad_handle, std::string(function) + " on " + Describe(handle) + ", which is not a live receiver");
	return r;
}

std::shared_ptr<Finder> LiveFinder(Library& L, const void* handle, const char* function) {
	auto f = FindHandle(L.finders, handle);
	if (!f)
		Fault(L, ndi_standin_fault_bad_handle, std::string(function) + " on " + Describe(handle) + ", which is not a live finder");
	return f;
}

std::shared_ptr<Sender> LiveSender(Library& L, const void* handle, const char* function) {
	auto s = FindHandle(L.senders, handle);
	if (!s)
		Fault(L, ndi_standin_fault_bad_handle, std::string(function) + " on " + Describe(handle) + ", which is not a live sender");
	return s;
}

std::vector<const Source*> Visible(const Library& L, const Finder& f) {
	std::vector<const Source*> list;
	for (const auto& s : L.sources)
		if (s.online && (f.showLocal || !s.local) && SharesGroup(f.groups, s.groups))
			list.push_back(&s);
	return list;
}

std::vector<uint64_t> VisibleIds(const Library& L, const Finder& f) {
	std::vector<uint64_t> ids;
	for (const Source* s : Visible(L, f))
		ids.push_back(s->id);
	return ids;
}

const Source* FindSource(const Library& L, uint64_t id) {
	for (const auto& s : L.sources)
		if (s.id == id)
			return &s;
	return nullptr;
}

// The online source of the name a receiver asked for, the one with the same URL when there are several.
const Source* Pick(const Library& L, const Receiver& r) {
	const Source* pick = nullptr;
	if (r.wantsSource)
		for (const auto& s : L.sources)
			if (s.online && s.name == r.wantName && (!pick || (s.url == r.wantUrl && pick->url != r.wantUrl)))
				pick = &s;
	return pick;
}

// A receiver is bound to one source instance when it connects, as with the real runtime: a sender
// destroyed and made again under the same name is another instance, which it reaches only after
// another connect. One that finds nothing online binds to the first of that name to come online.
void Bind(const Library& L, Receiver& r) {
	const Source* pick = Pick(L, r);
	r.boundSource = pick ? pick->id : 0;
}

// Binds receivers still waiting for their source, and tells waiting finders that the list may
// have changed.
void SourcesChanged(Library& L) {
	for (auto& r : L.receivers)
		if (r->boundSource == 0)
			Bind(L, *r);
	L.sourcesChanged.notify_all();
}

uint64_t AddSource(Library& L, Source source) {
	source.id = L.nextId++;
	if (source.url.empty())
		source.url = (source.local ? "127.0.0.1:" : "10.0.0." + std::to_string(source.id % 250 + 1) + ":") +
		             std::to_string(5960 + source.id);
	L.sources.push_back(std::move(source));
	SourcesChanged(L);
	return L.sources.back().id;
}

void Quarantine(Library& L, FramePtr frame) {
	NDI_STANDIN_POISON(frame->bytes.data(), frame->bytes.size());
	L.quarantineBytes += frame->bytes.size();
	L.quarantine.push_back(std::move(frame));
	while (L.quarantine.size() > kQuarantineFrames || (L.quarantineBytes > kQuarantineBytes && L.quarantine.size() > 4)) {
		FramePtr& old = L.quarantine.front();
		NDI_STANDIN_UNPOISON(old->bytes.data(), old->bytes.size());
		L.quarantineBytes -= old->bytes.size();
		L.quarantine.pop_front();
	}
}

// Each kind of frame has its own bound, so that a slow reader loses its oldest video (or audio)
// frames and never the newest of either kind; the queue keeps the order frames came in.
void Enqueue(Receiver& r, FramePtr frame) {
	NDIlib_frame_type_e type = frame->type;
	auto sameKind = [type](const FramePtr& f) { return f->type == type; };
	if (size_t(std::count_if(r.queue.begin(), r.queue.end(), sameKind)) >= r.limit) {
		r.queue.erase(std::find_if(r.queue.begin(), r.queue.end(), sameKind));
		++r.dropped;
	}
	r.queue.push_back(std::move(frame));
	r.wake.notify_all();
}

NDIlib_FourCC_video_type_e DeliveredFourCC(NDIlib_recv_color_format_e format, bool alpha) {
	switch (format) {
	case NDIlib_recv_color_format_BGRX_BGRA:
		return alpha ? NDIlib_FourCC_video_type_BGRA : NDIlib_FourCC_video_type_BGRX;
	case NDIlib_recv_color_format_RGBX_RGBA:
		return alpha ? NDIlib_FourCC_video_type_RGBA : NDIlib_FourCC_video_type_RGBX;
	case NDIlib_recv_color_format_UYVY_BGRA:
		return alpha ? NDIlib_FourCC_video_type_BGRA : NDIlib_FourCC_video_type_UYVY;
	case NDIlib_recv_color_format_UYVY_RGBA:
		return alpha ? NDIlib_FourCC_video_type_RGBA : NDIlib_FourCC_video_type_UYVY;
	default:
		return alpha ? NDIlib_FourCC_video_type_UYVA : NDIlib_FourCC_video_type_UYVY;
	}
}

bool WantsVideo(NDIlib_recv_bandwidth_e b) {
	return b != NDIlib_recv_bandwidth_metadata_only && b != NDIlib_recv_bandwidth_audio_only;
}
bool WantsAudio(NDIlib_recv_bandwidth_e b) {
	return b != NDIlib_recv_bandwidth_metadata_only;
}

FramePtr MakeVideo(const Picture& picture, NDIlib_FourCC_video_type_e fourcc, const NDIlib_video_frame_v2_t& sent,
                   bool allowFields, int64_t timestamp, int linePadding) {
	FramePtr f(new Frame);
	f->type = NDIlib_frame_type_video;
	NDIlib_video_frame_v2_t& v = f->video;
	v.xres = picture.xres;
	v.yres = picture.yres;
	v.FourCC = fourcc;
	v.frame_rate_N = sent.frame_rate_N;
	v.frame_rate_D = sent.frame_rate_D;
	v.picture_aspect_ratio = sent.picture_aspect_ratio > 0.0f ? sent.picture_aspect_ratio
	                                                          : float(sent.xres) / float(sent.yres);
	bool knownFormat = sent.frame_format_type >= NDIlib_frame_format_type_interleaved &&
	                   sent.frame_format_type <= NDIlib_frame_format_type_field_1;
	v.frame_format_type = allowFields && knownFormat ? sent.frame_format_type : NDIlib_frame_format_type_progressive;
	v.timecode = sent.timecode == NDIlib_send_timecode_synthesize ? timestamp : sent.timecode;
	v.line_stride_in_bytes = ndistandin::WritePicture(picture, fourcc, linePadding, &f->bytes);
	v.p_data = f->bytes.data();
	if (sent.p_metadata) {
		f->metadata = Bounded(sent.p_metadata);
		v.p_metadata = f->metadata.c_str();
	}
	v.timestamp = timestamp;
	return f;
}

FramePtr MakeAudio(const NDIlib_audio_frame_v2_t& sent, int stride, int64_t timestamp, int channelPadding) {
	FramePtr f(new Frame);
	f->type = NDIlib_frame_type_audio;
	NDIlib_audio_frame_v2_t& a = f->audio;
	a.sample_rate = sent.sample_rate;
	a.no_channels = sent.no_channels;
	a.no_samples = sent.no_samples;
	a.timecode = sent.timecode == NDIlib_send_timecode_synthesize ? timestamp : sent.timecode;
	a.channel_stride_in_bytes = sent.no_samples * 4 + channelPadding;
	size_t plane = size_t(sent.no_samples) * 4, out = size_t(a.channel_stride_in_bytes);
	f->bytes.resize(out * size_t(sent.no_channels));
	for (int c = 0; c < sent.no_channels; ++c) {
		uint8_t* channel = f->bytes.data() + out * size_t(c);
		memcpy(channel, reinterpret_cast<const uint8_t*>(sent.p_data) + size_t(stride) * size_t(c), plane);
		for (size_t pad = plane; pad < out; pad += 4)
			memcpy(channel + pad, &kAudioPaddingSample, 4);
	}
	a.p_data = reinterpret_cast<float*>(f->bytes.data());
	if (sent.p_metadata) {
		f->metadata = Bounded(sent.p_metadata);
		a.p_metadata = f->metadata.c_str();
	}
	a.timestamp = timestamp;
	return f;
}

// A sender's clock: when asked to, sending waits until the frame is due, as a clocked sender does.
void Pace(bool enabled, bool* started, Clock::time_point* next, double seconds) {
	if (!enabled || !(seconds > 0.0) || seconds > 10.0)
		return;
	Clock::time_point now = Clock::now();
	if (*started && now < *next) {
		std::this_thread::sleep_until(*next);
		now = *next;
	}
	*started = true;
	*next = std::max(now, *next) + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

struct Target {
	std::shared_ptr<Receiver> receiver;
	NDIlib_recv_color_format_e format;
	bool lowest, allowFields;
};

// The receivers a sender's frame goes to, with what each asked for.
std::vector<Target> Targets(Library& L, uint64_t sourceId, bool video) {
	std::vector<Target> targets;
	const Source* source = FindSource(L, sourceId);
	if (!source || !source->online)
		return targets; // off the network: it reaches nobody
	for (auto& r : L.receivers)
		if (r->boundSource == sourceId && (video ? WantsVideo(r->bandwidth) : WantsAudio(r->bandwidth)))
			targets.push_back({r, r->colorFormat, r->bandwidth == NDIlib_recv_bandwidth_lowest, r->allowFields});
	return targets;
}

void Deliver(Library& L, uint64_t sourceId, std::vector<Target>& targets, std::vector<FramePtr>& frames) {
	const Source* source = FindSource(L, sourceId);
	if (!source || !source->online)
		return;
	for (size_t i = 0; i < targets.size(); ++i) {
		Receiver& r = *targets[i].receiver;
		if (!r.destroyed && r.boundSource == sourceId) {
			frames[i]->receiverId = r.id;
			Enqueue(r, std::move(frames[i]));
		}
	}
}

void FreeFrame(NDIlib_recv_instance_t handle, const void* key, bool video, const char* function) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, function);
	auto r = LiveReceiver(L, handle, function);
	if (!r)
		return;
	const char* kind = video ? "video" : "audio";
	auto it = r->lent.find(key);
	if (it != r->lent.end()) {
		if ((it->second->type == NDIlib_frame_type_video) != video) {
			Fault(L, ndi_standin_fault_unknown_free,
			      std::string(function) + ": " + Describe(key) + " was lent as another kind of frame");
			return;
		}
		FramePtr frame = std::move(it->second);
		r->lent.erase(it);
		++(video ? r->videoFreed : r->audioFreed);
		++L.freedTotal;
		Quarantine(L, std::move(frame));
		return;
	}
	for (auto& other : L.receivers)
		if (other != r && other->lent.count(key)) {
			Fault(L, ndi_standin_fault_foreign_free,
			      std::string(function) + ": " + kind + " frame " + Describe(key) + " freed on receiver " +
			          Describe(r.get()) + " but lent by receiver " + Describe(other.get()));
			return;
		}
	for (auto& old : L.quarantine)
		if (old->Key() == key) {
			Fault(L, ndi_standin_fault_double_free,
			      std::string(function) + ": " + kind + " frame " + Describe(key) + " freed twice");
			return;
		}
	Fault(L, ndi_standin_fault_unknown_free,
	      std::string(function) + ": " + Describe(key) + " is no frame receiver " + Describe(r.get()) + " lent");
}

int Inject(const char* sourceName, const std::function<FramePtr()>& make);

} // namespace

namespace ndistandin {

std::string AnnouncedName(NDIlib_send_instance_t handle) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	auto s = FindHandle(L.senders, handle);
	return s ? s->name : std::string();
}

} // namespace ndistandin

extern "C" {

// ---- The library ---------------------------------------------------------------------------

NDI_STANDIN_EXPORT bool NDIlib_initialize(void) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, "NDIlib_initialize");
	if (L.failInitialize > 0) {
		--L.failInitialize;
		return false;
	}
	++L.initializeDepth;
	return true;
}

NDI_STANDIN_EXPORT void NDIlib_destroy(void) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, "NDIlib_destroy");
	if (L.initializeDepth > 0 && --L.initializeDepth == 0) {
		size_t lent = 0;
		for (auto& r : L.receivers)
			lent += r->lent.size();
		if (lent || !L.receivers.empty() || !L.finders.empty())
			Fault(L, ndi_standin_fault_destroy_library,
			      "NDIlib_destroy released the library with " + std::to_string(L.receivers.size()) + " receivers, " +
			          std::to_string(L.finders.size()) + " finders and " + std::to_string(lent) + " lent frames alive");
	}
}

NDI_STANDIN_EXPORT const char* NDIlib_version(void) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, "NDIlib_version");
	return L.version.c_str(); // valid until the next ndi_standin_set_version
}

// ---- Finders -------------------------------------------------------------------------------

NDI_STANDIN_EXPORT NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* settings) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, "NDIlib_find_create_v2");
	ndi_standin_find_create_call_t call{};
	call.settings_null = settings == nullptr;
	call.show_local_sources = settings ? settings->show_local_sources : true;
	call.groups = Text(settings ? settings->p_groups : nullptr);
	call.extra_ips = Text(settings ? settings->p_extra_ips : nullptr);
	if (L.failFindCreate > 0) {
		--L.failFindCreate;
		L.findCreateCalls.push_back(call);
		return nullptr;
	}
	auto f = std::make_shared<Finder>();
	f->showLocal = call.show_local_sources;
	f->groups = ParseGroups(settings ? settings->p_groups : nullptr);
	L.finders.push_back(f);
	call.result = f.get();
	L.findCreateCalls.push_back(call);
	return f.get();
}

NDI_STANDIN_EXPORT void NDIlib_find_destroy(NDIlib_find_instance_t handle) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, "NDIlib_find_destroy");
	auto f = LiveFinder(L, handle, "NDIlib_find_destroy");
	if (!f)
		return;
	if (f->waiting > 0)
		Fault(L, ndi_standin_fault_busy_destroy, "NDIlib_find_destroy while another thread waits on the finder");
	f->destroyed = true;
	L.finders.erase(std::find(L.finders.begin(), L.finders.end(), f));
	L.sourcesChanged.notify_all();
}

NDI_STANDIN_EXPORT bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t handle, uint32_t timeout_in_ms) {
	Library& L = Lib();
	std::unique_lock<std::mutex> lock(L.lock);
	Count(L, "NDIlib_find_wait_for_sources");
	L.timeouts.wait_for_sources_last = timeout_in_ms;
	L.timeouts.wait_for_sources_max = std::max<int64_t>(L.timeouts.wait_for_sources_max, timeout_in_ms);
	auto f = LiveFinder(L, handle, "NDIlib_find_wait_for_sources");
	if (!f)
		return false;
	// Up to the time-out on the steady clock, and never less: a wait the platform ends early is
	// waited again for the rest.
	Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_in_ms);
	auto changed = [&] { return f->destroyed || VisibleIds(L, *f) != f->reported; };
	++f->waiting;
	while (!changed() && Clock::now() < deadline)
		L.sourcesChanged.wait_until(lock, deadline);
	--f->waiting;
	if (!changed() || f->destroyed)
		return false;
	f->reported = VisibleIds(L, *f);
	return true;
}

NDI_STANDIN_EXPORT const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t handle,
                                                                           uint32_t* p_no_sources) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, "NDIlib_find_get_current_sources");
	if (p_no_sources)
		*p_no_sources = 0;
	auto f = LiveFinder(L, handle, "NDIlib_find_get_current_sources");
	if (!f)
		return nullptr;
	std::vector<const Source*> list = Visible(L, *f);
	// A fresh array each time, and the old one freed: a caller that keeps it too long reads freed memory.
	auto array = std::make_unique<SourceArray>(list.size());
	array->names.reserve(list.size() * 2);
	f->reported.clear();
	for (size_t i = 0; i < list.size(); ++i) {
		array->names.push_back(list[i]->name);
		array->names.push_back(list[i]->url);
		f->reported.push_back(list[i]->id);
	}
	for (size_t i = 0; i < list.size(); ++i) {
		array->entries[i].p_ndi_name = array->names[2 * i].c_str();
		array->entries[i].p_url_address = array->names[2 * i + 1].c_str();
	}
	f->array = std::move(array);
	if (p_no_sources)
		*p_no_sources = uint32_t(list.size());
	return list.empty() && L.nullForEmptyList ? nullptr : f->array->entries.data();
}

// ---- Receivers -----------------------------------------------------------------------------

NDI_STANDIN_EXPORT NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t* settings) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, "NDIlib_recv_create_v3");
	ndi_standin_recv_create_call_t call{};
	call.settings_null = settings == nullptr;
	call.source_name = Text(settings ? settings->source_to_connect_to.p_ndi_name : nullptr);
	call.source_url = Text(settings ? settings->source_to_connect_to.p_url_address : nullptr);
	call.recv_name = Text(settings ? settings->p_ndi_recv_name : nullptr);
	call.color_format = settings ? settings->color_format : NDIlib_recv_color_format_UYVY_BGRA;
	call.bandwidth = settings ? settings->bandwidth : NDIlib_recv_bandwidth_highest;
	call.allow_video_fields = settings ? settings->allow_video_fields : true;
	if (L.failRecvCreate > 0) {
		--L.failRecvCreate;
		L.recvCreateCalls.push_back(call);
		return nullptr;
	}
	auto r = std::make_shared<Receiver>();
	r->id = L.nextId++;
	r->colorFormat = call.color_format;
	r->bandwidth = call.bandwidth;
	r->allowFields = call.allow_video_fields;
	r->limit = L.queueLimit;
	if (settings && settings->source_to_connect_to.p_ndi_name) {
		r->wantsSource = true;
		r->wantName = Bounded(settings->source_to_connect_to.p_ndi_name);
		r->wantUrl = Bounded(settings->source_to_connect_to.p_url_address);
	}
	Bind(L, *r);
	L.receivers.push_back(r);
	SourcesChanged(L);
	call.result = r.get();
	L.recvCreateCalls.push_back(call);
	return r.get();
}

NDI_STANDIN_EXPORT void NDIlib_recv_destroy(NDIlib_recv_instance_t handle) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, "NDIlib_recv_destroy");
	auto r = LiveReceiver(L, handle, "NDIlib_recv_destroy");
	if (!r)
		return;
	if (r->capturing > 0)
		Fault(L, ndi_standin_fault_busy_destroy, "NDIlib_recv_destroy while another thread captures on the receiver");
	if (!r->lent.empty())
		Fault(L, ndi_standin_fault_destroy_with_lent,
		      "NDIlib_recv_destroy on receiver " + Describe(handle) + " with " + std::to_string(r->lent.size()) +
		          " frames still lent");
	// Their memory goes, as the real runtime's would; under AddressSanitizer a later read shows.
	for (auto& entry : r->lent)
		Quarantine(L, std::move(entry.second));
	r->lent.clear();
	r->queue.clear();
	r->destroyed = true;
	r->wake.notify_all();
	L.receivers.erase(std::find(L.receivers.begin(), L.receivers.end(), r));
}

NDI_STANDIN_EXPORT void NDIlib_recv_connect(NDIlib_recv_instance_t handle, const NDIlib_source_t* source) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, "NDIlib_recv_connect");
	ndi_standin_recv_connect_call_t call{};
	call.receiver = handle;
	call.source_null = source == nullptr;
	call.source_name = Text(source ? source->p_ndi_name : nullptr);
	call.source_url = Text(source ? source->p_url_address : nullptr);
	L.recvConnectCalls.push_back(call);
	auto r = LiveReceiver(L, handle, "NDIlib_recv_connect");
	if (!r)
		return;
	bool wants = source && source->p_ndi_name;
	std::string name = wants ? Bounded(source->p_ndi_name) : std::string();
	if (wants != r->wantsSource || name != r->wantName) {
		r->dropped += int64_t(r->queue.size()); // what came from the old source is not delivered
		r->queue.clear();
	}
	r->wantsSource = wants;
	r->wantName = name;
	r->wantUrl = wants ? Bounded(source->p_url_address) : std::string();
	Bind(L, *r); // a connect is what reaches a sender made again under the same name
	SourcesChanged(L);
}

NDI_STANDIN_EXPORT NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t handle,
                                                              NDIlib_video_frame_v2_t* video,
                                                              NDIlib_audio_frame_v2_t* audio,
                                                              NDIlib_metadata_frame_t* metadata,
                                                              uint32_t timeout_in_ms) {
	Library& L = Lib();
	std::unique_lock<std::mutex> lock(L.lock);
	Count(L, "NDIlib_recv_capture_v2");
	ndi_standin_timeouts_t& t = L.timeouts;
	t.capture_last = timeout_in_ms;
	t.capture_max = std::max<int64_t>(t.capture_max, timeout_in_ms);
	t.capture_video_record = video != nullptr;
	t.capture_audio_record = audio != nullptr;
	t.capture_metadata_record = metadata != nullptr;
	auto r = LiveReceiver(L, handle, "NDIlib_recv_capture_v2");
	if (!r)
		return NDIlib_frame_type_none;
	if (L.failCapture != 0) {
		// A lost connection, as a runtime may report it: at once, without waiting.
		if (L.failCapture > 0)
			--L.failCapture;
		++r->captures;
		return NDIlib_frame_type_error;
	}

	Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_in_ms);
	FramePtr got;
	bool timedOut = false;
	++r->capturing;
	for (;;) {
		while (!r->queue.empty() && !got) {
			FramePtr f = std::move(r->queue.front());
			r->queue.pop_front();
			// Frames of a kind the caller gave no record for are not for this caller; injected
			// results always come out.
			bool wanted = f->type == NDIlib_frame_type_video ? video != nullptr
			              : f->type == NDIlib_frame_type_audio ? audio != nullptr
			                                                   : true;
			if (wanted)
				got = std::move(f);
			else
				++r->dropped;
		}
		if (got || r->destroyed || timedOut)
			break;
		// The time-out is judged on the steady clock, not by the wait's own report: a wait the
		// platform ends early is waited again for the rest.
		r->wake.wait_until(lock, deadline);
		timedOut = Clock::now() >= deadline;
	}
	--r->capturing;
	if (!got)
		return NDIlib_frame_type_none;

	++r->captures;
	NDIlib_frame_type_e type = got->type;
	if (type == NDIlib_frame_type_video || type == NDIlib_frame_type_audio) {
		if (type == NDIlib_frame_type_video) {
			*video = got->video;
			++r->videoLent;
		} else {
			*audio = got->audio;
			++r->audioLent;
		}
		++L.lentTotal;
		const void* key = got->Key();
		r->lent[key] = std::move(got);
	} else if (type == NDIlib_frame_type_metadata && metadata) {
		metadata->length = int(sizeof(kMetadataText) - 1);
		metadata->timecode = NowTicks();
		metadata->p_data = const_cast<char*>(kMetadataText);
	}
	return type;
}

NDI_STANDIN_EXPORT void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t handle, const NDIlib_video_frame_v2_t* frame) {
	FreeFrame(handle, frame ? static_cast<const void*>(frame->p_data) : nullptr, true, "NDIlib_recv_free_video_v2");
}

NDI_STANDIN_EXPORT void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t handle, const NDIlib_audio_frame_v2_t* frame) {
	FreeFrame(handle, frame ? static_cast<const void*>(frame->p_data) : nullptr, false, "NDIlib_recv_free_audio_v2");
}

// ---- Senders -------------------------------------------------------------------------------

NDI_STANDIN_EXPORT NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* settings) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, "NDIlib_send_create");
	if (!settings || !settings->p_ndi_name || !settings->p_ndi_name[0])
		return nullptr;
	auto s = std::make_shared<Sender>();
	s->name = L.machine + " (" + Bounded(settings->p_ndi_name, 1024) + ")";
	s->clockVideo = settings->clock_video;
	s->clockAudio = settings->clock_audio;
	Source source;
	source.name = s->name;
	source.groups = ParseGroups(settings->p_groups);
	s->sourceId = AddSource(L, std::move(source));
	L.senders.push_back(s);
	return s.get();
}

NDI_STANDIN_EXPORT void NDIlib_send_destroy(NDIlib_send_instance_t handle) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Count(L, "NDIlib_send_destroy");
	auto s = LiveSender(L, handle, "NDIlib_send_destroy");
	if (!s)
		return;
	L.sources.erase(std::remove_if(L.sources.begin(), L.sources.end(), [&](const Source& x) { return x.id == s->sourceId; }),
	                L.sources.end());
	L.senders.erase(std::find(L.senders.begin(), L.senders.end(), s));
	SourcesChanged(L);
}

NDI_STANDIN_EXPORT void NDIlib_send_send_video_v2(NDIlib_send_instance_t handle, const NDIlib_video_frame_v2_t* frame) {
	Library& L = Lib();
	std::shared_ptr<Sender> s;
	{
		std::lock_guard<std::mutex> guard(L.lock);
		Count(L, "NDIlib_send_send_video_v2");
		s = LiveSender(L, handle, "NDIlib_send_send_video_v2");
		if (!s)
			return;
		if (!frame) {
			Fault(L, ndi_standin_fault_bad_frame, "NDIlib_send_send_video_v2 without a frame");
			return;
		}
	}
	Picture full;
	std::string why;
	if (!ndistandin::ReadPicture(*frame, &full, &why)) {
		std::lock_guard<std::mutex> guard(L.lock);
		Fault(L, ndi_standin_fault_bad_frame, "NDIlib_send_send_video_v2: " + why);
		return;
	}
	{
		std::lock_guard<std::mutex> pacing(s->pacing);
		double seconds = frame->frame_rate_N > 0 && frame->frame_rate_D > 0 ? double(frame->frame_rate_D) / frame->frame_rate_N : 0.0;
		Pace(s->clockVideo, &s->videoStarted, &s->nextVideo, seconds);
	}
	std::vector<Target> targets;
	int linePadding = 0;
	{
		std::lock_guard<std::mutex> guard(L.lock);
		targets = Targets(L, s->sourceId, true);
		linePadding = L.linePadding;
	}
	// Converted outside the lock: finders and captures go on meanwhile.
	int64_t timestamp = NowTicks();
	int lowX = 0, lowY = 0;
	ndistandin::LowestBandwidthSize(full.xres, full.yres, &lowX, &lowY);
	std::unique_ptr<Picture> small;
	std::vector<FramePtr> frames;
	for (const Target& t : targets) {
		bool scaled = t.lowest && (lowX != full.xres || lowY != full.yres);
		if (scaled && !small)
			small.reset(new Picture(ndistandin::ScaleDown(full, lowX, lowY)));
		const Picture& picture = scaled ? *small : full;
		frames.push_back(
		    MakeVideo(picture, DeliveredFourCC(t.format, full.alpha), *frame, t.allowFields, timestamp, linePadding));
	}
	std::lock_guard<std::mutex> guard(L.lock);
	Deliver(L, s->sourceId, targets, frames);
}

NDI_STANDIN_EXPORT void NDIlib_send_send_audio_v2(NDIlib_send_instance_t handle, const NDIlib_audio_frame_v2_t* frame) {
	Library& L = Lib();
	std::shared_ptr<Sender> s;
	{
		std::lock_guard<std::mutex> guard(L.lock);
		Count(L, "NDIlib_send_send_audio_v2");
		s = LiveSender(L, handle, "NDIlib_send_send_audio_v2");
		if (!s)
			return;
		std::string why;
		if (!frame)
			why = "no frame";
		else if (!frame->p_data)
			why = "no sample data";
		else if (frame->sample_rate < 1 || frame->sample_rate > 1000000)
			why = "sample rate " + std::to_string(frame->sample_rate) + " out of range";
		else if (frame->no_channels < 1 || frame->no_channels > 256)
			why = std::to_string(frame->no_channels) + " channels out of range";
		else if (frame->no_samples < 1 || frame->no_samples > (1 << 22))
			why = std::to_string(frame->no_samples) + " samples out of range";
		else if (frame->channel_stride_in_bytes != 0 && frame->channel_stride_in_bytes < frame->no_samples * 4)
			why = "channel stride " + std::to_string(frame->channel_stride_in_bytes) + " shorter than a channel";
		if (!why.empty()) {
			Fault(L, ndi_standin_fault_bad_frame, "NDIlib_send_send_audio_v2: " + why);
			return;
		}
	}
	int stride = frame->channel_stride_in_bytes ? frame->channel_stride_in_bytes : frame->no_samples * 4;
	{
		std::lock_guard<std::mutex> pacing(s->pacing);
		Pace(s->clockAudio, &s->audioStarted, &s->nextAudio, double(frame->no_samples) / frame->sample_rate);
	}
	std::vector<Target> targets;
	int channelPadding = 0;
	{
		std::lock_guard<std::mutex> guard(L.lock);
		targets = Targets(L, s->sourceId, false);
		channelPadding = L.channelPadding;
	}
	int64_t timestamp = NowTicks();
	std::vector<FramePtr> frames;
	for (size_t i = 0; i < targets.size(); ++i)
		frames.push_back(MakeAudio(*frame, stride, timestamp, channelPadding));
	std::lock_guard<std::mutex> guard(L.lock);
	Deliver(L, s->sourceId, targets, frames);
}

// ---- Control: the library --------------------------------------------------------------------

NDI_STANDIN_EXPORT void ndi_standin_set_version(const char* text) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().version = text ? text : kDefaultVersion;
}

NDI_STANDIN_EXPORT void ndi_standin_set_machine_name(const char* name) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().machine = name ? Bounded(name, 1024) : HostMachineName();
}

NDI_STANDIN_EXPORT const char* ndi_standin_machine_name(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	return Lib().machine.c_str();
}

NDI_STANDIN_EXPORT int ndi_standin_initialize_depth(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	return Lib().initializeDepth;
}

// ---- Control: calls --------------------------------------------------------------------------

NDI_STANDIN_EXPORT int ndi_standin_call_count(const char* function_name) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	auto it = Lib().calls.find(function_name ? function_name : "");
	return it == Lib().calls.end() ? 0 : it->second;
}

NDI_STANDIN_EXPORT void ndi_standin_reset_call_counts(void) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	L.calls.clear();
	L.findCreateCalls.clear();
	L.recvCreateCalls.clear();
	L.recvConnectCalls.clear();
	L.timeouts = {-1, -1, -1, -1, false, false, false};
}

NDI_STANDIN_EXPORT bool ndi_standin_find_create_call(int index, ndi_standin_find_create_call_t* out) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	const auto& log = Lib().findCreateCalls;
	if (index < 0 || size_t(index) >= log.size() || !out)
		return false;
	*out = log[size_t(index)];
	return true;
}

NDI_STANDIN_EXPORT bool ndi_standin_recv_create_call(int index, ndi_standin_recv_create_call_t* out) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	const auto& log = Lib().recvCreateCalls;
	if (index < 0 || size_t(index) >= log.size() || !out)
		return false;
	*out = log[size_t(index)];
	return true;
}

NDI_STANDIN_EXPORT bool ndi_standin_recv_connect_call(int index, ndi_standin_recv_connect_call_t* out) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	const auto& log = Lib().recvConnectCalls;
	if (index < 0 || size_t(index) >= log.size() || !out)
		return false;
	*out = log[size_t(index)];
	return true;
}

NDI_STANDIN_EXPORT void ndi_standin_timeouts(ndi_standin_timeouts_t* out) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	if (out)
		*out = Lib().timeouts;
}

// ---- Control: live objects and lent frames -----------------------------------------------------

NDI_STANDIN_EXPORT int ndi_standin_live_finders(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	return int(Lib().finders.size());
}

NDI_STANDIN_EXPORT int ndi_standin_live_receivers(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	return int(Lib().receivers.size());
}

NDI_STANDIN_EXPORT int ndi_standin_live_senders(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	return int(Lib().senders.size());
}

NDI_STANDIN_EXPORT int ndi_standin_receivers(NDIlib_recv_instance_t* out, int max) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	const auto& list = Lib().receivers;
	for (int i = 0; out && i < max && size_t(i) < list.size(); ++i)
		out[i] = list[size_t(i)].get();
	return int(list.size());
}

NDI_STANDIN_EXPORT bool ndi_standin_receiver_info(NDIlib_recv_instance_t handle, ndi_standin_receiver_info_t* out) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	auto r = FindHandle(Lib().receivers, handle);
	if (!r || !out)
		return false;
	*out = ndi_standin_receiver_info_t{};
	out->connected_to = Text(r->wantsSource ? r->wantName.c_str() : nullptr);
	const Source* bound = FindSource(Lib(), r->boundSource);
	out->source_online = bound && bound->online;
	out->color_format = r->colorFormat;
	out->bandwidth = r->bandwidth;
	out->queued = int(r->queue.size());
	out->dropped = r->dropped;
	for (const auto& entry : r->lent)
		++(entry.second->type == NDIlib_frame_type_video ? out->video_lent : out->audio_lent);
	out->video_lent_total = r->videoLent;
	out->audio_lent_total = r->audioLent;
	out->video_freed_total = r->videoFreed;
	out->audio_freed_total = r->audioFreed;
	out->captures = r->captures;
	out->capturing = r->capturing;
	return true;
}

NDI_STANDIN_EXPORT int ndi_standin_frames_outstanding(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	size_t n = 0;
	for (const auto& r : Lib().receivers)
		n += r->lent.size();
	return int(n);
}

NDI_STANDIN_EXPORT bool ndi_standin_is_lent_video(const void* p_data) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	for (const auto& r : Lib().receivers) {
		auto it = r->lent.find(p_data);
		if (it != r->lent.end() && it->second->type == NDIlib_frame_type_video)
			return true;
	}
	return false;
}

NDI_STANDIN_EXPORT int64_t ndi_standin_frames_lent_total(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	return Lib().lentTotal;
}

NDI_STANDIN_EXPORT int64_t ndi_standin_frames_freed_total(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	return Lib().freedTotal;
}

NDI_STANDIN_EXPORT void ndi_standin_set_queue_limit(int frames) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().queueLimit = size_t(frames > 0 ? frames : 1);
}

NDI_STANDIN_EXPORT bool ndi_standin_set_padding(int line_padding_bytes, int channel_padding_bytes) {
	if (line_padding_bytes < 0 || line_padding_bytes > kMaxLinePadding || channel_padding_bytes < 0 ||
	    channel_padding_bytes > kMaxChannelPadding || channel_padding_bytes % 4 != 0)
		return false;
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().linePadding = line_padding_bytes;
	Lib().channelPadding = channel_padding_bytes;
	return true;
}

NDI_STANDIN_EXPORT void ndi_standin_set_null_for_empty_list(bool null_array) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().nullForEmptyList = null_array;
}

// ---- Control: faults -------------------------------------------------------------------------

NDI_STANDIN_EXPORT void ndi_standin_set_faults_fatal(bool fatal) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().faultsFatal = fatal;
}

NDI_STANDIN_EXPORT int ndi_standin_fault_count(ndi_standin_fault_e kind) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	if (kind == ndi_standin_fault_any) {
		int n = 0;
		for (int c : Lib().faults)
			n += c;
		return n;
	}
	return kind >= 0 && kind < ndi_standin_fault_count_ ? Lib().faults[kind] : 0;
}

NDI_STANDIN_EXPORT const char* ndi_standin_last_fault(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	return Lib().lastFault.c_str();
}

NDI_STANDIN_EXPORT void ndi_standin_reset_faults(void) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	for (int& c : Lib().faults)
		c = 0;
	Lib().lastFault.clear();
}

// ---- Control: fault injection ----------------------------------------------------------------

NDI_STANDIN_EXPORT void ndi_standin_fail_initialize(int times) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().failInitialize = times > 0 ? times : 0;
}

NDI_STANDIN_EXPORT void ndi_standin_fail_find_create(int times) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().failFindCreate = times > 0 ? times : 0;
}

NDI_STANDIN_EXPORT void ndi_standin_fail_recv_create(int times) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().failRecvCreate = times > 0 ? times : 0;
}

NDI_STANDIN_EXPORT void ndi_standin_fail_capture(int times) {
	std::lock_guard<std::mutex> guard(Lib().lock);
	Lib().failCapture = times < 0 ? -1 : times;
}

NDI_STANDIN_EXPORT int ndi_standin_inject_result(const char* source_name, NDIlib_frame_type_e type) {
	if (type == NDIlib_frame_type_video || type == NDIlib_frame_type_audio || type == NDIlib_frame_type_none)
		return 0;
	return Inject(source_name, [type] {
		FramePtr f(new Frame);
		f->type = type;
		return f;
	});
}

NDI_STANDIN_EXPORT int ndi_standin_inject_video(const char* source_name, NDIlib_FourCC_video_type_e fourcc, int xres,
                                                int yres) {
	if (!ndistandin::KnownFourCC(uint32_t(fourcc)) || xres < 1 || yres < 1 || xres > 8192 || yres > 8192)
		return 0;
	Picture picture;
	picture.xres = xres;
	picture.yres = yres;
	picture.alpha = fourcc == NDIlib_FourCC_video_type_BGRA || fourcc == NDIlib_FourCC_video_type_RGBA ||
	                fourcc == NDIlib_FourCC_video_type_UYVA;
	picture.bgra.resize(size_t(xres) * size_t(yres) * 4);
	for (size_t i = 0; i < picture.bgra.size(); ++i)
		picture.bgra[i] = !picture.alpha && i % 4 == 3 ? 255 : uint8_t(i * 7); // an opaque picture is opaque
	NDIlib_video_frame_v2_t sent{};
	sent.xres = xres;
	sent.yres = yres;
	sent.frame_rate_N = 30000;
	sent.frame_rate_D = 1001;
	sent.frame_format_type = NDIlib_frame_format_type_progressive;
	sent.timecode = NDIlib_send_timecode_synthesize;
	int64_t timestamp = NowTicks();
	int linePadding = 0;
	{
		std::lock_guard<std::mutex> guard(Lib().lock);
		linePadding = Lib().linePadding;
	}
	return Inject(source_name, [&] { return MakeVideo(picture, fourcc, sent, false, timestamp, linePadding); });
}

// ---- Control: scripted sources ---------------------------------------------------------------

NDI_STANDIN_EXPORT bool ndi_standin_add_source(const char* full_name, const char* url) {
	if (!full_name || !full_name[0])
		return false;
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	Source source;
	source.name = Bounded(full_name, 1024);
	source.url = Bounded(url, 1024);
	source.groups = ParseGroups(nullptr);
	source.local = false;
	source.scripted = true;
	AddSource(L, std::move(source));
	return true;
}

NDI_STANDIN_EXPORT bool ndi_standin_remove_source(const char* full_name) {
	if (!full_name)
		return false;
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	for (auto it = L.sources.begin(); it != L.sources.end(); ++it)
		if (it->scripted && it->name == full_name) {
			L.sources.erase(it);
			SourcesChanged(L);
			return true;
		}
	return false;
}

NDI_STANDIN_EXPORT int ndi_standin_set_source_online(const char* full_name, bool online) {
	if (!full_name)
		return 0;
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	int changed = 0;
	for (auto& s : L.sources)
		if (s.name == full_name && s.online != online) {
			s.online = online;
			++changed;
		}
	if (changed)
		SourcesChanged(L);
	return changed;
}

} // extern "C"

namespace {

int Inject(const char* sourceName, const std::function<FramePtr()>& make) {
	Library& L = Lib();
	std::lock_guard<std::mutex> guard(L.lock);
	int reached = 0;
	for (auto& r : L.receivers)
		if (!sourceName || (r->wantsSource && r->wantName == sourceName)) {
			FramePtr f = make();
			f->receiverId = r->id;
			Enqueue(*r, std::move(f));
			++reached;
		}
	return reached;
}

} // namespace
