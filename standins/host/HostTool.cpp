// vidrane-host: drives a plug-in file the way Vantrel would, from the command line.
//   vidrane-host [OPTIONS] PLUGIN info      the actor's identity, its inputs and outputs, and its help texts
//   vidrane-host [OPTIONS] PLUGIN devices   the audio outputs the plug-in offers
//   vidrane-host [OPTIONS] PLUGIN watch     actors watching a source; the picture and sound to files
//   vidrane-host [OPTIONS] sources          the NDI sources a finder sees, live
//   vidrane-host --help | help VERB | VERB --help
// --test-source runs a test-pattern source inside the process for as long as the verb runs.
#include "Interrupt.h"
#include "PatternLink.h"
#include "RefHost.h"
#include "Watch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Exit statuses.
constexpr int kExitDone = 0;
constexpr int kExitFault = 1;     // the plug-in misbehaved, or a file could not be written
constexpr int kExitUsage = 2;     // the command line is malformed
constexpr int kExitNoPlugin = 3;  // the plug-in could not be loaded

constexpr int kInputAudioOut = 3;

enum Verb { kInfo, kDevices, kWatch, kSources, kVerbCount };
constexpr unsigned Bit(Verb v) { return 1u << v; }
constexpr unsigned kAnyVerb = (1u << kVerbCount) - 1;

struct VerbDoc {
	const char* name;
	bool needsPlugin;
	const char* help; // after the usage line
};

const VerbDoc kVerbs[kVerbCount] = {
    {"info", true,
     "Loads the plug-in and prints the actor's identity, its inputs and outputs (types, ranges and\n"
     "defaults) and every help text, numbered as Vantrel numbers them: the actor (kind 0) 0, inputs\n"
     "(kind 1) 1 to 4, outputs (kind 2) 5 to 7. Alerts the plug-in raised follow.\n"},
    {"devices", true,
     "Prints how many audio outputs the plug-in offers for its audio_out input and their names, as\n"
     "Vantrel's menu shows them; * marks the one a new actor has selected. Devices come from the\n"
     "platform's audio system as the plug-in saw it when it was loaded.\n"},
    {"watch", true,
     "Creates actors on a source, activates them and sends them the service message 60 times a\n"
     "second, printing a line a second (frames shown per actor, sources seen, audio channels, alerts).\n"
     "At the end, or at the first Ctrl-C, deactivates and disposes them and writes actor 1's last\n"
     "picture and the device's sound. A second Ctrl-C ends the tool at once.\n"
     "  --source NAME       the full NDI name to watch (default: the --test-source's)\n"
     "  --seconds N         how long to run (default 5)\n"
     "  --actors N          how many actors, 1 to 64, all with the same inputs (default 1)\n"
     "  --bandwidth low|high  (default high)\n"
     "  --audio-out DEVICE  the audio device, as 'devices' lists it (default None)\n"
     "  --volume V          0 to 100 (default 100)\n"
     "  --png FILE          write actor 1's last picture, from the host's copy of output 1\n"
     "  --wav FILE          write what the audio device played while the actors ran: in the Apple\n"
     "                      flavour from the Apple stand-in; otherwise from --monitor\n"
     "  --monitor FILE      a raw recording of the device (32-bit float, interleaved) that another\n"
     "                      program writes while the tool runs, e.g. parec --raw from a PulseAudio\n"
     "                      sink's monitor; the WAV is made from what it recorded after activation\n"
     "  --monitor-format HZ:CHANNELS  that recording's rate and channels (default 48000:2)\n"
     "  --json              print a summary as one JSON object on standard output at the end (the\n"
     "                      lines a second go to standard error then): source, seconds, interrupted,\n"
     "                      actors (frames, sources, audio_channels), alerts, opened, picture, sound,\n"
     "                      faults, status\n"
     "example:\n"
     "  vidrane-host --test-source Bars \"NDI Vidrane.bundle\" watch --seconds 5 \\\n"
     "      --audio-out \"Built-in Output\" --volume 50 --png last.png --wav played.wav\n"},
    {"sources", false,
     "Looks for NDI sources as a finder with the default settings does, printing each source as it\n"
     "appears (+) or goes away (-) with the new count, and at the end the count and the list.\n"
     "  --wait MS           how long to look (default 1000); 0 looks until Ctrl-C\n"},
};

const char kTestSourceHelp[] =
    "test source options (any verb; the stand-in NDI runtime only):\n"
    "  --test-source NAME  send a test pattern as the source \"MACHINE (NAME)\" while the verb runs\n"
    "  --size WxH          its picture size (default 1280x720)\n"
    "  --rate N[/D]        its frame rate (default 30/1)\n"
    "  --alpha             send BGRA with alpha instead of BGRX\n"
    "  --audio-rate HZ     its audio sample rate (default 48000)\n"
    "  --channels N        its audio channels, a tone on each; 0 sends no audio (default 2)\n"
    "  --samples N         samples per audio frame (default 1600)\n"
    "  --clock-ppm PPM     its clock against this machine's, fast (positive) or slow (negative), as a\n"
    "                      real sender's crystal runs; -10000 to 10000 (default 0)\n";

const char kExitHelp[] =
    "exit status: 0 done; 1 the plug-in misbehaved or a file could not be written; 2 a malformed\n"
    "command line; 3 the plug-in could not be loaded (no such file, not loadable, no GetActorInfo,\n"
    "or a property text the host rejects)\n";

void Synopsis(FILE* to, const VerbDoc& verb) {
	fprintf(to, "usage: vidrane-host [TEST SOURCE OPTIONS] %s%s [OPTIONS]\n", verb.needsPlugin ? "PLUGIN " : "",
	        verb.name);
}

int Usage(FILE* to) {
	fprintf(to,
	        "usage: vidrane-host [OPTIONS] PLUGIN info|devices|watch\n"
	        "       vidrane-host [OPTIONS] sources\n"
	        "       vidrane-host --help | help VERB | VERB --help\n"
	        "  PLUGIN  the plug-in: the .bundle folder (Apple flavour) or the .dll (Windows)\n"
	        "verbs:\n"
	        "  info     the actor's identity, its inputs and outputs, and its help texts\n"
	        "  devices  the audio outputs the plug-in offers, with their count\n"
	        "  watch    actors watching a source for a while, a status line a second; the last picture\n"
	        "           and the sound to files, a JSON summary with --json\n"
	        "  sources  the NDI sources a finder sees, live, with their count\n"
	        "'vidrane-host help VERB' tells a verb's options.\n");
	fputs(kTestSourceHelp, to);
	fputs(kExitHelp, to);
	return to == stdout ? kExitDone : kExitUsage;
}

// After the message that says what is wrong with the command line.
int UsageError() {
	fprintf(stderr, "(vidrane-host --help tells the verbs and their options)\n");
	return kExitUsage;
}

int VerbUsage(Verb verb) {
	Synopsis(stdout, kVerbs[verb]);
	fputs(kVerbs[verb].help, stdout);
	fputs(kTestSourceHelp, stdout);
	fputs(kExitHelp, stdout);
	return kExitDone;
}

int FindVerb(const std::string& name) {
	for (int v = 0; v < kVerbCount; ++v)
		if (name == kVerbs[v].name)
			return v;
	return -1;
}

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

struct Options {
	int verb = -1;
	std::string plugin;
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

bool NotEmpty(const char* value, std::string* out) {
	*out = value;
	return *value != 0;
}

// One option: the verbs it applies to, whether it takes a value, and what it does with it.
struct OptionDef {
	const char* name;
	unsigned verbs;
	bool takesValue;
	bool (*apply)(const char* value, Options* o);
};

const OptionDef kOptions[] = {
    {"--test-source", kAnyVerb, true,
     [](const char* v, Options* o) { return o->testSource = true, NotEmpty(v, &o->patternName); }},
    {"--size", kAnyVerb, true,
     [](const char* v, Options* o) { return ParsePair(v, 'x', &o->pattern.xres, &o->pattern.yres, false); }},
    {"--rate", kAnyVerb, true,
     [](const char* v, Options* o) {
	     return ParsePair(v, '/', &o->pattern.frame_rate_N, &o->pattern.frame_rate_D, true);
     }},
    {"--alpha", kAnyVerb, false, [](const char*, Options* o) { return o->pattern.alpha = true, true; }},
    {"--audio-rate", kAnyVerb, true, [](const char* v, Options* o) { return ParseInt(v, &o->pattern.sample_rate); }},
    {"--channels", kAnyVerb, true, [](const char* v, Options* o) { return ParseInt(v, &o->pattern.no_channels); }},
    {"--samples", kAnyVerb, true,
     [](const char* v, Options* o) { return ParseInt(v, &o->pattern.samples_per_frame); }},
    {"--clock-ppm", kAnyVerb, true,
     [](const char* v, Options* o) { return ParseReal(v, -10000.0, 10000.0, &o->pattern.clock_ppm); }},
    {"--wait", Bit(kSources), true, [](const char* v, Options* o) { return ParseInt(v, &o->waitMs); }},
    {"--source", Bit(kWatch), true, [](const char* v, Options* o) { return NotEmpty(v, &o->watch.source); }},
    {"--seconds", Bit(kWatch), true,
     [](const char* v, Options* o) { return ParseReal(v, 0.0, 86400.0, &o->watch.seconds); }},
    {"--actors", Bit(kWatch), true,
     [](const char* v, Options* o) { return ParseInt(v, &o->watch.actors) && o->watch.actors >= 1 && o->watch.actors <= 64; }},
    {"--bandwidth", Bit(kWatch), true,
     [](const char* v, Options* o) {
	     o->watch.bandwidth = !strcmp(v, "high");
	     return !strcmp(v, "low") || !strcmp(v, "high");
     }},
    {"--audio-out", Bit(kWatch), true, [](const char* v, Options* o) { return NotEmpty(v, &o->watch.audioOut); }},
    {"--volume", Bit(kWatch), true, [](const char* v, Options* o) { return ParseReal(v, 0.0, 100.0, &o->watch.volume); }},
    {"--png", Bit(kWatch), true, [](const char* v, Options* o) { return NotEmpty(v, &o->watch.png); }},
    {"--wav", Bit(kWatch), true, [](const char* v, Options* o) { return NotEmpty(v, &o->watch.wav); }},
    {"--monitor", Bit(kWatch), true, [](const char* v, Options* o) { return NotEmpty(v, &o->watch.monitor); }},
    {"--monitor-format", Bit(kWatch), true,
     [](const char* v, Options* o) {
	     return ParsePair(v, ':', &o->watch.monitorRate, &o->watch.monitorChannels, false) && o->watch.monitorRate > 0 &&
	            o->watch.monitorChannels >= 1 && o->watch.monitorChannels <= 64;
     }},
    {"--json", Bit(kWatch), false, [](const char*, Options* o) { return o->watch.json = true, true; }},
};

const OptionDef* FindOption(const std::string& name) {
	for (const OptionDef& option : kOptions)
		if (name == option.name)
			return &option;
	return nullptr;
}

bool IsHelp(const std::string& arg) {
	return arg == "--help" || arg == "-h";
}

// The words that are not options or their values.
bool Positionals(int argc, char** argv, std::vector<std::string>* out) {
	for (int i = 1; i < argc; ++i) {
		std::string arg = argv[i];
		if (arg.rfind("-", 0) != 0 || arg == "-") {
			out->push_back(arg);
			continue;
		}
		const OptionDef* option = FindOption(arg);
		if (!option && !IsHelp(arg)) {
			fprintf(stderr, "vidrane-host: unknown option '%s'\n", arg.c_str());
			return false;
		}
		if (option && option->takesValue && ++i >= argc) {
			fprintf(stderr, "vidrane-host: %s needs a value\n", arg.c_str());
			return false;
		}
	}
	return true;
}

// Which verb the words name, and the plug-in, or false having said what is wrong.
bool ParseWords(const std::vector<std::string>& words, Options* o) {
	if (words.empty()) {
		fprintf(stderr, "vidrane-host: no verb given\n");
		return false;
	}
	if (words.size() > 2) {
		fprintf(stderr, "vidrane-host: too many words: '%s' (a plug-in path with blanks needs quotes)\n",
		        words[2].c_str());
		return false;
	}
	const std::string& verbWord = words.back();
	o->verb = FindVerb(verbWord);
	if (o->verb < 0) {
		if (words.size() == 1)
			fprintf(stderr, "vidrane-host: '%s' is not a verb; a plug-in is followed by info, devices or watch\n",
			        verbWord.c_str());
		else
			fprintf(stderr, "vidrane-host: unknown verb '%s'\n", verbWord.c_str());
		return false;
	}
	if (kVerbs[o->verb].needsPlugin && words.size() == 1) {
		fprintf(stderr, "vidrane-host: %s needs the plug-in: vidrane-host PLUGIN %s\n", verbWord.c_str(),
		        verbWord.c_str());
		return false;
	}
	if (!kVerbs[o->verb].needsPlugin && words.size() == 2) {
		fprintf(stderr, "vidrane-host: %s takes no plug-in: vidrane-host %s\n", verbWord.c_str(), verbWord.c_str());
		return false;
	}
	if (words.size() == 2)
		o->plugin = words[0];
	return true;
}

// False, having said why, on a malformed command line.
bool ParseOptions(int argc, char** argv, Options* o) {
	if (const refhost::PatternApi* patterns = refhost::FindPatternApi())
		patterns->defaults(&o->pattern);
	for (int i = 1; i < argc; ++i) {
		std::string arg = argv[i];
		const OptionDef* option = FindOption(arg);
		if (!option)
			continue; // a word, already read
		const char* value = option->takesValue ? argv[++i] : "";
		if (!(option->verbs & Bit(Verb(o->verb)))) {
			fprintf(stderr, "vidrane-host: %s is not an option of %s\n", arg.c_str(), kVerbs[o->verb].name);
			return false;
		}
		if (!option->apply(value, o)) {
			fprintf(stderr, "vidrane-host: bad value '%s' for %s\n", value, arg.c_str());
			return false;
		}
	}
	o->pattern.name = o->patternName.c_str();
	return true;
}

bool LoadPlugin(refhost::Host& host, const std::string& plugin) {
	std::string error;
	if (host.Load(plugin, &error, refhost::LoadOptions{false}))
		return true;
	fprintf(stderr, "vidrane-host: %s\n", error.c_str());
	return false;
}

void PrintLoadReport(refhost::Host& host) {
	for (const auto& a : host.alerts())
		printf("alert: %s / %s\n", a.message.c_str(), a.detail.c_str());
	for (const auto& a : host.assertions())
		printf("assertion: %s (%s, line %d)\n", a.condition.c_str(), a.actorName.c_str(), a.line);
	for (const auto& t : host.trapsCalled())
		printf("trap: the plug-in called undefined service slot %zu\n", t);
}

int RunInfo(const std::string& plugin) {
	refhost::Host host;
	if (!LoadPlugin(host, plugin))
		return kExitNoPlugin;
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
	PrintLoadReport(host);
	return kExitDone;
}

// The audio_out menu of a fresh actor, as the host would show it.
int RunDevices(const std::string& plugin) {
	refhost::Host host;
	if (!LoadPlugin(host, plugin))
		return kExitNoPlugin;
	refhost::Actor* actor = host.CreateActor();
	refhost::Host::Popup popup = host.PopupMenu(actor, refhost::kKindInput, kInputAudioOut, 16384);
	host.DisposeActor(actor);
	const std::vector<std::string> entries = popup.entries();
	printf("audio outputs: %zu\n", entries.size());
	for (size_t i = 0; i < entries.size(); ++i)
		printf("%s %s\n", i + 1 == popup.selected ? "*" : " ", entries[i].c_str()); // counted from 1
	PrintLoadReport(host);
	return host.errors().empty() && host.trapsCalled().empty() && host.assertions().empty() ? kExitDone : kExitFault;
}

std::vector<std::string> SourceNames(const NDIlib_source_t* list, uint32_t count) {
	std::vector<std::string> names;
	for (uint32_t i = 0; list && i < count; ++i)
		names.push_back(list[i].p_ndi_name ? list[i].p_ndi_name : "(no name)");
	return names;
}

// What a finder with the default settings sees while it looks for `waitMs` (0: until Ctrl-C).
int RunSources(int waitMs) {
	NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
	if (!finder) {
		fprintf(stderr, "vidrane-host: no NDI finder could be created\n");
		return kExitFault;
	}
	printf("looking for NDI sources %s (Ctrl-C stops)\n",
	       waitMs ? ("for " + std::to_string(waitMs) + " ms").c_str() : "until Ctrl-C");
	fflush(stdout);
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
	std::vector<std::string> seen;
	while (!refhost::Interrupted()) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
		if (waitMs && left.count() <= 0)
			break;
		// Short waits, so that Ctrl-C is heard.
		uint32_t slice = uint32_t(waitMs ? std::min<long long>(left.count(), 100) : 100);
		NDIlib_find_wait_for_sources(finder, slice);
		uint32_t count = 0;
		const NDIlib_source_t* list = NDIlib_find_get_current_sources(finder, &count);
		std::vector<std::string> now = SourceNames(list, count);
		if (now == seen)
			continue;
		for (const std::string& name : now)
			if (std::find(seen.begin(), seen.end(), name) == seen.end())
				printf("+ %s\n", name.c_str());
		for (const std::string& name : seen)
			if (std::find(now.begin(), now.end(), name) == now.end())
				printf("- %s\n", name.c_str());
		printf("  (%zu now)\n", now.size());
		fflush(stdout);
		seen = now;
	}
	uint32_t count = 0;
	const NDIlib_source_t* list = NDIlib_find_get_current_sources(finder, &count);
	printf("sources: %u\n", count);
	for (uint32_t i = 0; list && i < count; ++i)
		printf("  %s\t%s\n", list[i].p_ndi_name ? list[i].p_ndi_name : "(no name)",
		       list[i].p_url_address ? list[i].p_url_address : "");
	NDIlib_find_destroy(finder);
	return kExitDone;
}

int Run(const Options& options, const ndi_standin_pattern_t* pattern) {
	switch (options.verb) {
	case kInfo:
		return RunInfo(options.plugin);
	case kDevices:
		return RunDevices(options.plugin);
	case kSources:
		return RunSources(options.waitMs);
	default:
		return RunWatch(options.plugin, options.watch, pattern);
	}
}

} // namespace

int main(int argc, char** argv) {
	if (argc < 2)
		return Usage(stderr);
	std::vector<std::string> words;
	if (!Positionals(argc, argv, &words))
		return UsageError();
	const bool help = std::any_of(argv + 1, argv + argc, [](const char* a) { return IsHelp(a); });
	if (!words.empty() && words[0] == "help") {
		if (words.size() == 1)
			return Usage(stdout);
		int verb = FindVerb(words[1]);
		if (verb < 0 || words.size() > 2) {
			fprintf(stderr, "vidrane-host: no help on '%s'; the verbs are info, devices, watch and sources\n",
			        words[1].c_str());
			return UsageError();
		}
		return VerbUsage(Verb(verb));
	}
	if (help) {
		int verb = words.empty() ? -1 : FindVerb(words.back());
		return verb < 0 ? Usage(stdout) : VerbUsage(Verb(verb));
	}
	Options options;
	if (!ParseWords(words, &options) || !ParseOptions(argc, argv, &options))
		return UsageError();

	ndi_standin_pattern_t* pattern = nullptr;
	const refhost::PatternApi* patterns = refhost::FindPatternApi();
	if (options.testSource && !patterns) {
		fprintf(stderr, "vidrane-host: --test-source needs the NDI runtime stand-in; this runtime has none\n");
		return kExitUsage;
	}
	if (options.testSource) {
		pattern = patterns->start(&options.pattern);
		if (!pattern) {
			fprintf(stderr, "vidrane-host: the test source's settings are out of range (at least 160x16)\n");
			return kExitUsage;
		}
		fprintf(stderr, "vidrane-host: sending test source \"%s\"\n", patterns->sourceName(pattern));
	}
	refhost::CatchInterrupt();
	int status = Run(options, pattern);
	if (pattern)
		patterns->stop(pattern);
	return status;
}
