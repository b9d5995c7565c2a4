// Video frames really lent by the NDI stand-in, for tests of the plug-in's frames. Kept apart
// from the plug-in's own NDI declarations: this side uses the stand-in's, so the frame record
// crosses between the two as the 72 bytes both sides declare.
#ifndef STANDIN_FRAMES_H
#define STANDIN_FRAMES_H

#include <cstdint>

namespace standin_frames {

// A receiver connected to a scripted source of its own; the library is initialised around it.
class Receiver {
public:
	explicit Receiver(const char* sourceName);
	~Receiver(); // the receiver must have no frame lent any more

	void* handle() const { return mHandle; }
	// Has the source send one BGRX frame of xres x yres and captures it into `record`, a video
	// frame record of the runtime's layout. False when nothing arrived.
	bool CaptureVideo(void* record, int xres, int yres);

	int videoLent() const;        // outstanding now
	int64_t videoFreed() const;   // given back since the receiver was made

private:
	const char* mSourceName;
	void* mHandle = nullptr;
};

// Faults the stand-in detected (double or foreign frees, receivers destroyed with frames lent).
int Faults();

} // namespace standin_frames

#endif
