// A scripted NDI runtime for the receive-path fuzzer: one source, and receivers whose captures
// hand out exactly the records the fuzzer pushed, field values and all. Every record's data lies
// at the end of its own mapping, right before a page that cannot be read, sized by what the
// record itself claims (planes x stride, rows x stride); the plug-in may read no further. Every
// lent record must come back once, on its receiver, by its kind: anything else aborts the run.
#ifndef FUZZ_RUNTIME_H
#define FUZZ_RUNTIME_H

#include "NDIRuntime.h"

#include <vector>

namespace fuzzrt {

constexpr const char* kSourceName = "FUZZ (Source)";

struct Record {
	NDIlib_frame_type_e type = NDIlib_frame_type_none;
	NDIlib_video_frame_v2_t video;
	NDIlib_audio_frame_v2_t audio;
	bool nullData = false; // hand the record out without any data
};

// Queues the records for the receiver, oldest first.
void Push(const std::vector<Record>& records);
// Waits until every pushed record was handed out and the receive thread came back for more;
// false when that takes longer than the time-out (a hang).
bool WaitDrained(int timeoutMs);
// Waits until a receiver is connected; false after the time-out.
bool WaitConnected(int timeoutMs);
// Waits until no finder and no receiver is alive (every receive thread has shut down).
bool WaitClosed(int timeoutMs);
// Records lent and not yet freed.
int Lent();

} // namespace fuzzrt

#endif
