// vidrane-host: drives a plug-in file the way Vantrel would, from the command line.
//   vidrane-host [OPTIONS] PLUGIN info   the actor's identity, its inputs and outputs, and its help texts
//   vidrane-host [OPTIONS] PLUGIN watch  actors watching a source for a while; the picture and sound to files
//   vidrane-host [OPTIONS] sources       the NDI sources a finder sees
// --test-source runs a test-pattern source inside the process for as long as the verb runs.
#include "RefHost.h"
#include "Watch.h"
#include "PatternLink.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string FourCC(uint32_t code) {
	std::string text;
	for (int shift = 24; shift >= 0; shift -= 8) {
		char c = char((code >> shift) & 0xFF);
		text += (c >= 0x20 && c < 0x7F) ? c : '?';
	}
	return text;
}

uint32_t ReadU32(const std::vector<uint8_t>& record, size_t offset) {
	uint32_t v;
	memcpy(&v, record.data() + offset, sizeof(v));
	return v;
}

int Usage(FILE* to) {
	fprintf(to,
	        "usage: vidrane-host [OPTIONS] PLUGIN VERB\n"
	        "       vidrane-host [OPTIONS] sources\n"
	        "  PLUGIN  the plug-in: the .bundle folder (Apple flavour) or the .dll (Windows)\n"
	        "verbs:\n"
	        "  info    print the actor's identity, its inputs and outputs, and its help texts\n"
	        "  watch   create actors on a source, activate them and send them the service message 60 times a\n"
	        "          second; print a line a second (frames shown, sources seen, audio channels, alerts); then\n"
	        "          deactivate and dispose them and write actor 1's last picture and the device's sound\n"
	        "  sources list the NDI sources a finder sees (it looks for --wait milliseconds)\n"
	        "watch options:\n"
	        "  --source NAME       the full NDI name to watch (default: the --test-source's)\n"
	        "  --seconds N         how long to run (default 5)\n"
	        "  --actors N          how many actors, all with the same inputs (default 1)\n"
	        "  --bandwidth low|high  (default high)\n"
	        "  --audio-out DEVICE  the audio device, as the plug-in lists it (default None)\n"
	        "  --volume V          0 to 100 (default 100)\n"
	        "  --png FILE          write actor 1's last picture, from the host's copy of output 1\n"
	        "  --wav FILE          write what the audio device played while the actors ran: in the Apple\n"
	        "                      flavour from the Apple stand-in; otherwise from --monitor\n"
	        "  --monitor FILE      a raw recording of the device (32-bit float, interleaved) that another\n"
	        "                      program writes while the tool runs, e.g. parec --raw from a PulseAudio\n"
	        "                      sink's monitor; the WAV is made from what it recorded after activation\n"
	        "  --monitor-format HZ:CHANNELS  that recording's rate and channels (default 48000:2)\n"
	        "test source options:\n"
	        "  --test-source NAME  send a test pattern as the source \"MACHINE (NAME)\" while the verb runs\n"
	        "  --size WxH          its picture size (default 1280x720)\n"
	        "  --rate N[/D]        its frame rate (default 30/1)\n"
	        "  --alpha             send BGRA with alpha instead of BGRX\n"
	        "  --audio-rate HZ     its audio sample rate (default 48000)\n"
	        "  --channels N        its audio channels, a tone on each; 0 sends no audio (default 2)\n"
	        "  --samples N         samples per audio frame (default 1600)\n"
	        "  --wait MS           how long 'sources' looks (default 1000)\n"
	        "example:\n"
	        "  vidrane-host --test-source Bars \"NDI Vidrane.bundle\" watch --seconds 5 --audio-out \"Built-in Output\"\n"
	        "      --volume 50 --png last.png --wav played.wav\n"
	        "The host numbers help texts as Vantrel does: the actor (kind 0) 0, inputs (kind 1) 1 to 4,\n"
	        "outputs (kind 2) 5 to 7.\n");
	return to == stdout ? 0 : 2;
}

int Info(refhost::Host& host) {
	const auto& record = host.infoRecord();
	const char* name = nullptr;
	memcpy(&name, record.data() + refhost::off::kInfoName, sizeof(name));
	printf("actor:    %s\n", name ? name : "(none)");
	printf("class:    '%s'  id: '%s'  sub-id: '%s'  flags: 0x%08X  width: %u\n",
	       FourCC(ReadU32(record, refhost::off::kInfoClass)).c_str(), FourCC(ReadU32(record, refhost::off::kInfoID)).c_str(),
	       FourCC(ReadU32(record, refhost::off::kInfoSubID)).c_str(), ReadU32(record, refhost::off::kInfoFlags),
	       ReadU32(record, refhost::off::kInfoDefaultWidth));
	printf("plug-in:  %s\n\n", host.pluginPath().c_str());
	printf("%-4s %-3s %-12s %-5s %-7s %-11s %-4s %-4s %s\n", "dir", "#", "name", "id", "type", "editor", "min", "max",
	       "default");
	for (const auto& p : host.properties())
		printf("%-4s %-3d %-12s %-5s %-7s %-11s %-4s %-4s \"%s\"\n", p.input ? "in" : "out", p.index, p.name.c_str(),
		       p.id.c_str(), p.type.c_str(), p.editor.c_str(), p.min.c_str(), p.max.c_str(), p.def.c_str());
	printf("\nhelp:\n");
	printf("  actor: %s\n", host.HelpString(nullptr, refhost::kKindActor, 0, 4096).c_str());
	for (const auto& p : host.properties())
		printf("  %s: %s\n", p.name.c_str(),
		       host.HelpString(nullptr, p.input ? refhost::kKindInput : refhost::kKindOutput, uint16_t(p.index), 4096)
		           .c_str());
	return 0;
}

struct Options {
	std::vector<std::string> positional;
	WatchOptions watch;
	bool testSource = false;
	ndi_standin_pattern_settings_t pattern{};
	std::string patternName;
	int waitMs = 1000;
};

bool ParseInt(const char* text, int* out) {
	char* end = nullptr;
	long v = strtol(text, &end, 10);
	if (end == text || *end || v < 0 || v > 1000000000)
		return false;
	*out = int(v);
	return true;
}

bool ParseReal(const char* text, double min, double max, double* out) {
	char* end = nullptr;
	double v = strtod(text, &end);
	if (end == text || *end || !(v >= min && v <= max))
		return false;
	*out = v;
	return true;
}

bool ParsePair(const std::string& text, char separator, int* a, int* b, bool secondOptional) {
	size_t at = text.find(separator);
	if (at == std::string::npos)
		return secondOptional && ParseInt(text.c_str(), a) && (*b = 1, true);
	return ParseInt(text.substr(0, at).c_str(), a) && ParseInt(text.substr(at + 1).c_str(), b);
}

// False, having said why, on a malformed command line.
bool ParseOptions(int argc, char** argv, Options* o) {
	if (const refhost::PatternApi* patterns = refhost::FindPatternApi())
		patterns->defaults(&o->pattern);
	for (int i = 1; i < argc; ++i) {
		std::string arg = argv[i];
		if (arg.rfind("--", 0) != 0) {
			o->positional.push_back(arg);
			continue;
		}
		bool flag = arg == "--alpha";
		if (!flag && i + 1 >= argc) {
			fprintf(stderr, "vidrane-host: %s needs a value\n", arg.c_str());
			return false;
		}
		const char* value = flag ? "" : argv[++i];
		bool ok = true;
		if (arg == "--test-source")
			o->testSource = true, o->patternName = value, ok = *value != 0;
		else if (arg == "--size")
			ok = ParsePair(value, 'x', &o->pattern.xres, &o->pattern.yres, false);
		else if (arg == "--rate")
			ok = ParsePair(value, '/', &o->pattern.frame_rate_N, &o->pattern.frame_rate_D, true);
		else if (arg == "--alpha")
			o->pattern.alpha = true;
		else if (arg == "--audio-rate")
			ok = ParseInt(value, &o->pattern.sample_rate);
		else if (arg == "--channels")
			ok = ParseInt(value, &o->pattern.no_channels);
		else if (arg == "--samples")
			ok = ParseInt(value, &o->pattern.samples_per_frame);
		else if (arg == "--wait")
			ok = ParseInt(value, &o->waitMs);
		else if (arg == "--source")
			o->watch.source = value, ok = *value != 0;
		else if (arg == "--seconds")
			ok = ParseReal(value, 0.0, 86400.0, &o->watch.seconds);
		else if (arg == "--actors")
			ok = ParseInt(value, &o->watch.actors) && o->watch.actors >= 1 && o->watch.actors <= 64;
		else if (arg == "--bandwidth")
			ok = (!strcmp(value, "low") || !strcmp(value, "high")) && (o->watch.bandwidth = !strcmp(value, "high"), true);
		else if (arg == "--audio-out")
			o->watch.audioOut = value, ok = *value != 0;
		else if (arg == "--volume")
			ok = ParseReal(value, 0.0, 100.0, &o->watch.volume);
		else if (arg == "--png")
			o->watch.png = value, ok = *value != 0;
		else if (arg == "--wav")
			o->watch.wav = value, ok = *value != 0;
		else if (arg == "--monitor")
			o->watch.monitor = value, ok = *value != 0;
		else if (arg == "--monitor-format")
			ok = ParsePair(value, ':', &o->watch.monitorRate, &o->watch.monitorChannels, false) &&
			     o->watch.monitorRate > 0 && o->watch.monitorChannels >= 1 && o->watch.monitorChannels <= 64;
		else {
			fprintf(stderr, "vidrane-host: unknown option '%s'\n", arg.c_str());
			return false;
		}
		if (!ok) {
			fprintf(stderr, "vidrane-host: bad value '%s' for %s\n", value, arg.c_str());
			return false;
		}
	}
	o->pattern.name = o->patternName.c_str();
	return true;
}

// What a finder with the default settings sees after looking for `waitMs`.
int Sources(int waitMs) {
	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	if (!finder) {
		fprintf(stderr, "vidrane-host: no NDI finder could be created\n");
		return 1;
	}
	auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
	for (;;) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
		if (left.count() <= 0 || !NDIlib_find_wait_for_sources(finder, uint32_t(left.count())))
			break;
	}
	uint32_t count = 0;
	const NDIlib_source_t* list = NDIlib_find_get_current_sources(finder, &count);
	printf("sources: %u\n", count);
	for (uint32_t i = 0; list && i < count; ++i)
		printf("  %s\t%s\n", list[i].p_ndi_name ? list[i].p_ndi_name : "(no name)",
		       list[i].p_url_address ? list[i].p_url_address : "");
	NDIlib_find_destroy(finder);
	return 0;
}

int RunInfo(const std::string& plugin) {
	refhost::Host host;
	std::string error;
	if (!host.Load(plugin.c_str(), &error, refhost::LoadOptions{false})) {
		fprintf(stderr, "vidrane-host: %s\n", error.c_str());
		return 1;
	}
	int status = Info(host);
	for (const auto& a : host.alerts())
		printf("alert: %s / %s\n", a.message.c_str(), a.detail.c_str());
	for (const auto& a : host.assertions())
		printf("assertion: %s (%s, line %d)\n", a.condition.c_str(), a.actorName.c_str(), a.line);
	for (const auto& t : host.trapsCalled())
		printf("trap: the plug-in called undefined service slot %zu\n", t);
	return status;
}

} // namespace

int main(int argc, char** argv) {
	if (argc >= 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")))
		return Usage(stdout);
	Options options;
	if (!ParseOptions(argc, argv, &options))
		return Usage(stderr);
	const auto& args = options.positional;
	bool sources = args.size() == 1 && args[0] == "sources";
	if (!sources && args.size() != 2)
		return Usage(stderr);
	if (!sources && args[1] != "info" && args[1] != "watch") {
		fprintf(stderr, "vidrane-host: unknown verb '%s'\n", args[1].c_str());
		return Usage(stderr);
	}
	ndi_standin_pattern_t* pattern = nullptr;
	const refhost::PatternApi* patterns = refhost::FindPatternApi();
	if (options.testSource && !patterns) {
		fprintf(stderr, "vidrane-host: --test-source needs the NDI runtime stand-in; this runtime has none\n");
		return 2;
	}
	if (options.testSource) {
		pattern = patterns->start(&options.pattern);
		if (!pattern) {
			fprintf(stderr, "vidrane-host: the test source's settings are out of range (at least 160x16)\n");
			return 2;
		}
		fprintf(stderr, "vidrane-host: sending test source \"%s\"\n", patterns->sourceName(pattern));
	}
	int status = sources            ? Sources(options.waitMs)
	             : args[1] == "info" ? RunInfo(args[0])
	                                 : RunWatch(args[0], options.watch, pattern);
	if (pattern)
		patterns->stop(pattern);
	return status;
}
