#include "Watch.h"

#include "Interrupt.h"

#include "MediaFiles.h"
#include "PatternLink.h"
#include "RefHost.h"

#ifndef _WIN32
#include "apple_standin_control.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Where the lines for people go: standard output, unless the JSON summary has it.
FILE* gSay = stdout;

#if defined(__MINGW32__)
__attribute__((format(gnu_printf, 1, 2))) // mingw's C++ stdio formats as C99 does
#elif defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void Say(const char* format, ...) {
	va_list args;
	va_start(args, format);
	vfprintf(gSay, format, args);
	va_end(args);
}

constexpr int kInputSource = 1, kInputBandwidth = 2, kInputAudioOut = 3, kInputVolume = 4;
constexpr uint32_t kOutputVideo = 1, kOutputSourceCount = 2, kOutputAudioChannels = 3;
// Vantrel sends the service message once a frame of its own; 60 a second is a typical display.
constexpr int kTicksPerSecond = 60;

// What the host has seen of one actor.
struct ActorView {
	refhost::Actor* actor = nullptr; // until it is disposed
	int64_t ref = 0;
	int64_t frames = 0;       // images shown in total
	int64_t framesReported = 0;
	int64_t image = 0;        // the image handle output 1 holds (0: none)
	int64_t sources = -1;     // the last value of output 2 (-1: none yet)
	int64_t channels = -1;    // the last value of output 3
};

// Reads the host's records past what it read before; the records only grow.
class Records {
public:
	explicit Records(refhost::Host& host) : mHost(host) {}

	void Update(std::vector<ActorView>& views) {
		std::vector<refhost::OutputEvent> outputs = mHost.outputs();
		for (size_t i = mOutputs; i < outputs.size(); ++i)
			if (ActorView* view = Find(views, outputs[i].actorRef))
				Apply(*view, outputs[i]);
		mOutputs = outputs.size();
		std::vector<refhost::ImageUpdate> images = mHost.imageUpdates();
		for (size_t i = mImages; i < images.size(); ++i)
			if (ActorView* view = Find(views, images[i].actorRef))
				++view->frames;
		mImages = images.size();
	}
	// Prints the alerts that came since the last call; returns how many there are in all.
	size_t PrintNewAlerts() {
		std::vector<refhost::Alert> alerts = mHost.alerts();
		for (size_t i = mAlerts; i < alerts.size(); ++i)
			Say("alert: %s\n       %s\n", alerts[i].message.c_str(), alerts[i].detail.c_str());
		mAlerts = alerts.size();
		return alerts.size();
	}

private:
	static ActorView* Find(std::vector<ActorView>& views, int64_t ref) {
		for (ActorView& view : views)
			if (view.ref == ref)
				return &view;
		return nullptr;
	}
	static void Apply(ActorView& view, const refhost::OutputEvent& event) {
		if (event.index == kOutputVideo)
			view.image = event.value.type == refhost::kTypeImage ? event.value.integer : 0;
		else if (event.index == kOutputSourceCount)
			view.sources = event.value.integer;
		else if (event.index == kOutputAudioChannels)
			view.channels = event.value.integer;
	}

	refhost::Host& mHost;
	size_t mOutputs = 0, mImages = 0, mAlerts = 0;
};

// The frame number a test-pattern picture carries, or -1 for any other picture.
int64_t PictureNumber(const refhost::Texture& texture) {
	if (texture.width == 0 || texture.height == 0)
		return -1;
	NDIlib_video_frame_v2_t frame{};
	frame.xres = int(texture.width);
	frame.yres = int(texture.height);
	frame.FourCC = NDIlib_FourCC_video_type_BGRA;
	frame.p_data = const_cast<uint8_t*>(texture.pixels.data());
	frame.line_stride_in_bytes = int(texture.width * 4);
	const refhost::PatternApi* patterns = refhost::FindPatternApi();
	return patterns ? patterns->frameNumber(&frame) : -1; // only the stand-in's pattern can be read back
}

std::string Column(const std::vector<ActorView>& views, int64_t (*value)(const ActorView&)) {
	std::string text;
	for (const ActorView& view : views) {
		int64_t v = value(view);
		text += ' ';
		text += v < 0 ? "-" : std::to_string(v);
	}
	return text;
}

void PrintSecond(refhost::Host& host, int second, std::vector<ActorView>& views, size_t alerts) {
	std::string picture;
	refhost::Texture texture;
	if (views[0].image != 0 && host.textureOf(views[0].image, &texture)) {
		int64_t number = PictureNumber(texture);
		picture = "  picture " + std::to_string(texture.width) + "x" + std::to_string(texture.height);
		if (number >= 0)
			picture += " #" + std::to_string(number);
	}
	Say("%4d s  frames%s  sources%s  audio channels%s  alerts %zu%s\n", second,
	       Column(views, [](const ActorView& v) { return v.frames - v.framesReported; }).c_str(),
	       Column(views, [](const ActorView& v) { return v.sources; }).c_str(),
	       Column(views, [](const ActorView& v) { return v.channels; }).c_str(), alerts, picture.c_str());
	fflush(gSay);
	for (ActorView& view : views)
		view.framesReported = view.frames;
}

// Interleaved samples and their format.
struct Sound {
	int rate = 48000, channels = 2;
	std::vector<float> samples;
};

// The byte length of a file, or -1 when it cannot be read.
long long FileLength(const std::string& path) {
	FILE* f = fopen(refhost::NativePath(path).c_str(), "rb");
	if (!f)
		return -1;
	long long length = -1;
	if (fseek(f, 0, SEEK_END) == 0)
		length = ftell(f);
	fclose(f);
	return length;
}

// What another program recorded of the device since byte `from` of its recording.
bool ReadMonitor(const WatchOptions& options, long long from, Sound* sound, std::string* error) {
	sound->rate = options.monitorRate;
	sound->channels = options.monitorChannels;
	FILE* f = fopen(refhost::NativePath(options.monitor).c_str(), "rb");
	if (!f || fseek(f, long(from), SEEK_SET) != 0) {
		if (f)
			fclose(f);
		*error = "cannot read the recording " + options.monitor;
		return false;
	}
	std::vector<uint8_t> bytes;
	uint8_t buffer[65536];
	size_t n;
	while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
		bytes.insert(bytes.end(), buffer, buffer + n);
	fclose(f);
	// The recorder may be in the middle of writing a frame.
	size_t frameBytes = size_t(sound->channels) * 4;
	bytes.resize(bytes.size() / frameBytes * frameBytes);
	sound->samples.resize(bytes.size() / 4);
	memcpy(sound->samples.data(), bytes.data(), bytes.size());
	return true;
}

#ifndef _WIN32
std::string DeviceText(AudioObjectID device, AudioObjectPropertySelector selector) {
	AudioObjectPropertyAddress address = {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
	CFStringRef text = nullptr;
	UInt32 size = sizeof(text);
	if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &text) != 0 || !text)
		return std::string();
	char buffer[1024];
	bool ok = CFStringGetCString(text, buffer, sizeof(buffer), kCFStringEncodingUTF8);
	CFRelease(text);
	return ok ? buffer : "";
}

// What the Apple stand-in recorded as played on the device of that name.
void ReadPlayed(const std::string& deviceName, Sound* sound, std::string* note) {
	std::string uid;
	for (int i = 0; i < apple_standin_device_count() && uid.empty(); ++i) {
		AudioObjectID device = apple_standin_device_id(i);
		if (DeviceText(device, kAudioObjectPropertyName) == deviceName)
			uid = DeviceText(device, kAudioDevicePropertyDeviceUID);
	}
	UInt32 channels = 0;
	Float64 rate = 0;
	if (uid.empty() || !apple_standin_played_format(uid.c_str(), &channels, &rate)) {
		*note = "nothing was played on \"" + deviceName + "\"";
		return;
	}
	sound->channels = int(channels);
	sound->rate = int(rate);
	// The stand-in keeps at most this much of a device's sound.
	const size_t kMaxSamples = size_t(32) << 20;
	sound->samples.assign(std::min(apple_standin_played(uid.c_str(), nullptr, 0), kMaxSamples), 0.0f);
	apple_standin_played(uid.c_str(), sound->samples.data(), sound->samples.size());
}
#endif

// What a run showed, for the JSON summary.
struct Summary {
	std::string source;
	double seconds = 0;
	bool interrupted = false;
	std::vector<std::string> opened, faults;
	std::string picture, sound; // JSON objects, or "null"
};

// The faults of a plug-in that did something a host does not allow; none for a clean one.
std::vector<std::string> Misbehaviour(refhost::Host& host) {
	std::vector<std::string> faults;
	for (size_t offset : host.trapsCalled())
		faults.push_back("the plug-in called undefined service slot " + std::to_string(offset));
	for (const std::string& error : host.errors())
		faults.push_back(error);
	for (const refhost::Assertion& a : host.assertions())
		faults.push_back("assertion: " + a.condition + " (" + a.actorName + ", line " + std::to_string(a.line) + ")");
	if (size_t n = host.outstandingAllocations())
		faults.push_back(std::to_string(n) + " host allocations were not freed");
	if (size_t n = host.liveTextures())
		faults.push_back(std::to_string(n) + " image buffers were not released");
	return faults;
}

std::string Json(const std::string& text) {
	std::string out = "\"";
	for (unsigned char c : text) {
		if (c == '"' || c == '\\')
			out += '\\', out += char(c);
		else if (c < 0x20) {
			char escape[8];
			snprintf(escape, sizeof(escape), "\\u%04x", c);
			out += escape;
		} else
			out += char(c);
	}
	return out + "\"";
}

std::string Json(int64_t v) {
	return std::to_string(v);
}

// A count the host has not had yet is null.
std::string JsonCount(int64_t v) {
	return v < 0 ? "null" : std::to_string(v);
}

std::string Json(double v) {
	char text[32];
	snprintf(text, sizeof(text), "%.3f", v);
	return text;
}

std::string JsonList(const std::vector<std::string>& items) {
	std::string out = "[";
	for (size_t i = 0; i < items.size(); ++i)
		out += (i ? "," : "") + items[i];
	return out + "]";
}

void PrintJson(const Summary& summary, const WatchOptions& options, const std::vector<ActorView>& views,
               const std::vector<refhost::Alert>& alerts, int status) {
	std::vector<std::string> actors, alertItems, opened, faults;
	for (const ActorView& v : views)
		actors.push_back("{\"frames\":" + Json(v.frames) + ",\"sources\":" + JsonCount(v.sources) +
		                 ",\"audio_channels\":" + JsonCount(v.channels) + "}");
	for (const refhost::Alert& a : alerts)
		alertItems.push_back("{\"message\":" + Json(a.message) + ",\"detail\":" + Json(a.detail) + "}");
	for (const std::string& path : summary.opened)
		opened.push_back(Json(path));
	for (const std::string& fault : summary.faults)
		faults.push_back(Json(fault));
	printf("{\"source\":%s,\"seconds\":%s,\"interrupted\":%s,\"bandwidth\":%s,\"audio_out\":%s,\"volume\":%s,"
	       "\"actors\":%s,\"alerts\":%s,\"opened\":%s,\"picture\":%s,\"sound\":%s,\"faults\":%s,\"status\":%d}\n",
	       Json(summary.source).c_str(), Json(summary.seconds).c_str(), summary.interrupted ? "true" : "false",
	       Json(std::string(options.bandwidth ? "high" : "low")).c_str(), Json(options.audioOut).c_str(),
	       Json(options.volume).c_str(), JsonList(actors).c_str(), JsonList(alertItems).c_str(),
	       JsonList(opened).c_str(), summary.picture.c_str(), summary.sound.c_str(), JsonList(faults).c_str(), status);
	fflush(stdout);
}

// Service messages at a steady rate until the time is up or Ctrl-C comes; a stalled machine
// skips the ticks it missed. Returns the seconds it ran.
double Service(refhost::Host& host, const WatchOptions& options, Records& records, std::vector<ActorView>& views) {
	const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / kTicksPerSecond));
	const auto start = Clock::now();
	const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
	auto nextTick = start;
	int reported = 0;
	for (;;) {
		auto now = Clock::now();
		if (now >= end || refhost::Interrupted())
			break;
		host.Tick();
		nextTick += period;
		if (now - nextTick > std::chrono::seconds(1))
			nextTick = now + period;
		now = Clock::now();
		if (now >= start + std::chrono::seconds(reported + 1)) {
			records.Update(views);
			PrintSecond(host, ++reported, views, records.PrintNewAlerts());
		}
		std::this_thread::sleep_until(std::min(nextTick, end));
	}
	const double ran = std::chrono::duration<double>(Clock::now() - start).count();
	records.Update(views);
	size_t alertsSoFar = records.PrintNewAlerts();
	if (reported < int(ran))
		PrintSecond(host, ++reported, views, alertsSoFar);
	return ran;
}

// Writes actor 1's last picture; false when it cannot.
bool WritePicture(const WatchOptions& options, bool havePicture, const refhost::Texture& last, Summary* summary) {
	if (!havePicture) {
		Say("picture: none, actor 1 showed no frame\n");
		return false;
	}
	if (!refhost::WritePNG(refhost::NativePath(options.png), last.width, last.height, last.pixels)) {
		Say("picture: cannot write %s\n", options.png.c_str());
		return false;
	}
	int64_t number = PictureNumber(last);
	Say("picture: %s (%ux%u%s)\n", options.png.c_str(), last.width, last.height,
	    number >= 0 ? (", frame #" + std::to_string(number)).c_str() : "");
	summary->picture = "{\"path\":" + Json(options.png) + ",\"width\":" + Json(int64_t(last.width)) +
	                   ",\"height\":" + Json(int64_t(last.height)) + ",\"frame\":" + Json(number) + "}";
	return true;
}

// Writes what the device played; false when it cannot.
bool WriteSound(const WatchOptions& options, long long monitorFrom, Summary* summary) {
	Sound sound; // a device that played nothing gives a WAV without samples, in this format
	std::string note;
	bool ok = true;
	if (!options.monitor.empty())
		ok = ReadMonitor(options, monitorFrom, &sound, &note);
#ifndef _WIN32
	else if (options.audioOut != "None")
		ReadPlayed(options.audioOut, &sound, &note);
	else
		note = "nothing is played on \"None\"";
#endif
	if (!ok) {
		Say("sound: %s\n", note.c_str());
		return false;
	}
	if (!refhost::WriteWAV(refhost::NativePath(options.wav), sound.rate, sound.channels, sound.samples)) {
		Say("sound: cannot write %s\n", options.wav.c_str());
		return false;
	}
	const double seconds =
	    sound.channels > 0 && sound.rate > 0 ? double(sound.samples.size()) / sound.channels / sound.rate : 0.0;
	Say("sound: %s (%d channels at %d Hz, %.1f s)%s%s\n", options.wav.c_str(), sound.channels, sound.rate, seconds,
	    note.empty() ? "" : "; ", note.c_str());
	summary->sound = "{\"path\":" + Json(options.wav) + ",\"channels\":" + Json(int64_t(sound.channels)) +
	                 ",\"rate\":" + Json(int64_t(sound.rate)) + ",\"seconds\":" + Json(seconds) + "}";
	return true;
}

} // namespace

int RunWatch(const std::string& plugin, const WatchOptions& options, const ndi_standin_pattern_t* pattern) {
	std::string source = options.source;
	if (source.empty() && pattern)
		source = refhost::FindPatternApi()->sourceName(pattern);
	if (source.empty()) {
		fprintf(stderr, "vidrane-host: watch needs --source NAME (or --test-source NAME)\n");
		return 2;
	}
#ifdef _WIN32
	if (!options.wav.empty() && options.monitor.empty()) {
		fprintf(stderr, "vidrane-host: this build cannot hear the audio device itself: --wav needs --monitor FILE, "
		                "a recording of the device made while the tool runs\n");
		return 2;
	}
#endif
	gSay = options.json ? stderr : stdout;

	refhost::Host host;
	std::string error;
	if (!host.Load(plugin, &error, refhost::LoadOptions{false})) {
		fprintf(stderr, "vidrane-host: %s\n", error.c_str());
		return 3;
	}
	Records records(host);

	std::vector<ActorView> views(size_t(options.actors));
	for (ActorView& view : views) {
		view.actor = host.CreateActor();
		view.ref = view.actor->ref;
		host.SetInput(view.actor, kInputSource, refhost::HostValue::Text(source));
		host.SetInput(view.actor, kInputBandwidth, refhost::HostValue::Integer(options.bandwidth));
		host.SetInput(view.actor, kInputAudioOut, refhost::HostValue::Text(options.audioOut));
		host.SetInput(view.actor, kInputVolume, refhost::HostValue::Real(options.volume));
	}
	Say("watching \"%s\" with %d actor%s for %g s: bandwidth %s, audio out \"%s\" at volume %g\n", source.c_str(),
	    options.actors, options.actors == 1 ? "" : "s", options.seconds, options.bandwidth ? "high" : "low",
	    options.audioOut.c_str(), options.volume);
	const std::vector<std::string> devices =
	    host.PopupMenu(views[0].actor, refhost::kKindInput, kInputAudioOut, 8192).entries();
	std::string joined;
	for (const std::string& device : devices)
		joined += (joined.empty() ? "" : ", ") + device;
	Say("audio devices: %s\n", joined.c_str());
	if (std::find(devices.begin(), devices.end(), options.audioOut) == devices.end())
		Say("note: the plug-in lists no audio device \"%s\"\n", options.audioOut.c_str());
	records.PrintNewAlerts();

	long long monitorFrom = 0;
	if (!options.monitor.empty()) {
		// Only what is played from now on; the recorder started earlier.
		size_t frameBytes = size_t(options.monitorChannels) * 4;
		monitorFrom = std::max(FileLength(options.monitor), 0LL) / (long long)frameBytes * (long long)frameBytes;
	}
	for (ActorView& view : views)
		host.Activate(view.actor, true);

	Summary summary;
	summary.source = source;
	summary.picture = summary.sound = "null";
	summary.seconds = Service(host, options, records, views);
	summary.interrupted = refhost::Interrupted();
	if (summary.interrupted)
		Say("interrupted after %.1f s: stopping the actors\n", summary.seconds);

	// The host's own copy of the last picture, taken before deactivation releases the buffer.
	refhost::Texture last;
	bool havePicture = views[0].image != 0 && host.textureOf(views[0].image, &last);

	for (ActorView& view : views)
		host.Activate(view.actor, false);
	for (ActorView& view : views) {
		host.DisposeActor(view.actor);
		view.actor = nullptr;
	}
	records.Update(views);
	size_t alerts = records.PrintNewAlerts();

#ifndef _WIN32
	// The first-use notice's Read Me, as the Apple stand-in's workspace was asked to open it.
	for (int i = 0; i < apple_standin_opened_count(); ++i) {
		char path[4096];
		if (apple_standin_opened_path(i, path, sizeof(path))) {
			Say("opened: %s\n", path);
			summary.opened.push_back(path);
		}
	}
#endif
	std::string frames;
	for (const ActorView& view : views)
		frames += " " + std::to_string(view.frames);
	Say("shown in all: frames%s; alerts %zu\n", frames.c_str(), alerts);

	int status = 0;
	if (!options.png.empty() && !WritePicture(options, havePicture, last, &summary))
		status = 1;
	if (!options.wav.empty() && !WriteSound(options, monitorFrom, &summary))
		status = 1;
	summary.faults = Misbehaviour(host);
	for (const std::string& fault : summary.faults)
		Say("fault: %s\n", fault.c_str());
	if (!summary.faults.empty())
		status = 1;
	if (options.json)
		PrintJson(summary, options, views, host.alerts(), status);
	return status;
}
