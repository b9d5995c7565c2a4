// What the stand-in's own modules share beyond the exported functions.
#ifndef NDI_STANDIN_INTERNAL_H
#define NDI_STANDIN_INTERNAL_H

#include "ndi_standin_abi.h"

#include <string>

namespace ndistandin {

// The name a sender's source was announced under ("" for a sender not alive).
std::string AnnouncedName(NDIlib_send_instance_t sender);

// Every call into the library notes its thread (ThreadExits.cpp); the test pattern's own threads
// mark themselves, so that they are never recorded as a caller's.
void NoteCallingThread();
void MarkOwnThread();

} // namespace ndistandin

#endif
