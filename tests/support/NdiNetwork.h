// The NDI network as tests of the plug-in's own classes see it: senders in this process and the
// stand-in's accounts. Kept apart from the plug-in's NDI declarations (this side is built on the
// stand-in's), so the two sets of records never meet in one translation unit.
#ifndef NDI_NETWORK_H
#define NDI_NETWORK_H

#include <cstdint>
#include <string>
#include <vector>

namespace ndinet {

// A clean network: machine name "TEST", counts, call records and faults cleared, faults fatal.
void Reset();
// The announced name of a sender or scripted source called `name` on this machine.
std::string FullName(const std::string& name);

// A source sending what the test asks for. Video frames are BGRX, their first pixel's colour
// bytes holding `tag` (24 bits); audio frames are planar floats, sample n of channel c being base + c + n / 100000.
class Sender {
public:
	explicit Sender(const std::string& name);
	~Sender();
	Sender(const Sender&) = delete;
	Sender& operator=(const Sender&) = delete;

	void Video(uint32_t tag, int xres = 64, int yres = 16);
	// A BGRX frame of the pixels given (xres x yres, row after row, B in each one's low byte).
	void VideoPixels(const std::vector<uint32_t>& pixels, int xres, int yres);
	void Audio(int sampleRate, int channels, int samples, float base = 0.0f);
	// A frame of the samples given: `channels` channels of `samples` floats, one after the other.
	void AudioPlanar(int sampleRate, int channels, int samples, const float* planar);
	const std::string& fullName() const { return mFullName; }

private:
	void* mSender = nullptr;
	std::string mFullName;
};

// The stand-in's test pattern: video at 30 frames a second (and a tone when `channels` is not 0:
// channel c a sine of 250 x (c + 1) Hz at 0.5), sent on a thread of the stand-in's own that meets
// the test's thread nowhere, by a clock `clockPpm` fast (or slow) against the steady clock.
class PatternSource {
public:
	PatternSource(const std::string& name, int channels, double clockPpm = 0.0);
	~PatternSource();
	PatternSource(const PatternSource&) = delete;
	PatternSource& operator=(const PatternSource&) = delete;

	bool started() const { return mPattern != nullptr; }
	const std::string& fullName() const { return mFullName; }

private:
	void* mPattern = nullptr;
	std::string mFullName;
};

// A UYVY frame on every receiver connected to the source, whatever the receiver asked for.
void InjectForeignVideo(const std::string& fullName, int xres, int yres);

// Scripted sources of other machines (full names).
void AddSource(const std::string& fullName);
void RemoveSource(const std::string& fullName);

int LiveFinders();
int LiveReceivers();
int FramesOutstanding();
int QueuedFrames(); // waiting in live receivers' queues to be captured
int64_t VideoFreedTotal();
int64_t AudioFreedTotal();
int Faults();
int CallCount(const char* function);

struct RecvCreate {
	std::string sourceName;
	int colorFormat = -1;
	int bandwidth = -1;
	bool allowFields = true;
	bool recvNameNull = false;
};
int RecvCreateCalls();
bool RecvCreateCall(int index, RecvCreate* out);
bool ReceiverConnected(int index, std::string* sourceName);
int64_t WaitForSourcesMaxTimeout();
int64_t CaptureMaxTimeout();

void FailFindCreate(int times);
void FailRecvCreate(int times);
// The next `times` captures (-1: every one) fail at once with an error.
void FailCapture(int times);

} // namespace ndinet

#endif
