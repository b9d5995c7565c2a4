// The host tool's watch verb: actors of the plug-in watching one NDI source for a while, as
// Vantrel would run them, with what they showed and played written to files at the end.
#ifndef REFHOST_WATCH_H
#define REFHOST_WATCH_H

#include "ndi_standin_control.h"

#include <string>

struct WatchOptions {
	std::string source;           // the full NDI name; empty: the test source's
	double seconds = 5.0;
	int actors = 1;
	int bandwidth = 1;            // 0 low, 1 high
	std::string audioOut = "None";
	double volume = 100.0;
	std::string png, wav;         // empty: not written
	// A raw recording of the audio device (interleaved 32-bit float, little-endian) that another
	// program makes while the tool runs, for a device the tool cannot hear itself (a PulseAudio
	// null sink under wine, recorded by parec from its monitor).
	std::string monitor;
	int monitorRate = 48000, monitorChannels = 2;
	// A summary as one JSON object on standard output at the end; the lines a second go to
	// standard error instead.
	bool json = false;
};

// Runs the verb until its time is up or Ctrl-C comes; `pattern` is the test source the tool
// started, or null. Returns the exit status: 0; 1 when the plug-in misbehaved or a file could not
// be written; 2 when the options do not make a watch; 3 when the plug-in could not be loaded.
int RunWatch(const std::string& plugin, const WatchOptions& options, const ndi_standin_pattern_t* pattern);

#endif
