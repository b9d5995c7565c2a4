// The audio queue under clock drift between the sender and the output device, in simulated time
// (nothing waits): one hour of the sender's audio through the real CAudioBufferList, for each
// backend's way of reading it and each drift, device clock against the sender's, of -200, -100,
// 0, +100 and +200 ppm (real devices stay within about 200 ppm).
//
// The sender: 1600-frame blocks of 48 kHz stereo, one every 1600/48000 s of sender time, the
// first at 0. The device starts 400 sender frames after the first block (a phase at which no
// fill meets an append at 0 ppm; at equal instants the block comes first; any drift walks the
// fills through every phase within minutes) and its fills follow its own clock:
// - AudioQueue: two 100 ms buffers primed with silence; each is refilled, 4800 frames, when it
//   has played, so the fills come every 4800 device frames from the 4800th on.
// - WASAPI: the render thread's first pass fills the empty 100 ms device buffer (4800 frames),
//   then every 10 ms event tops it up by what played, 480 frames.
// Time is counted in integers, so a run repeats exactly.
//
// Figures, per backend and drift, for the hour:
// - blocks dropped by the bound: appended while 17 were waiting, the oldest went unplayed (each
//   33.3 ms of audio skipped). Seen through the blocks' reference counts: the bench keeps a
//   reference of its own to every block, and one that is back to that reference alone without
//   having been read was dropped. Checked against what the hour's audio became: appended =
//   delivered + dropped + what is still queued at the end, and the delivered audio comes in the
//   sender's order, skipping exactly the dropped blocks.
// - underruns: fills that got fewer frames than they asked for (all come after the first block);
//   the rest of the buffer plays as silence, a gap the listener hears. Those in the device's
//   first second are the start's, shown apart: they come at any drift (WASAPI's first pass asks
//   for 100 ms when one block has come).
// - audio queued at a fill: what the fill finds waiting (unread frames of the queued blocks and
//   of the one being read), as it begins, in ms, min and max over the fills after the first minute.
// Each figure prints as "ROW <figure>|<value>|<measured against>|<aim>|<ok or NO>" for
// scripts/bench's table; the other lines are detail. Exits non-zero when the checks fail.
#include "AudioOut.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBlockFrames = 1600;
constexpr int64_t kHourFrames = int64_t(3600) * kRate;
constexpr int64_t kHourBlocks = kHourFrames / kBlockFrames;
constexpr int kDeviceStartFrames = 400;
constexpr int64_t kSettleFrames = int64_t(60) * kRate; // the range leaves the first minute out
constexpr int64_t kMillion = 1000000;

struct Backend {
	const char* name;
	int64_t firstFillAt; // device frames from the device's start to its first fill
	int firstFillFrames;
	int fillFrames; // every later fill asks this much, this many device frames after the one before
};

const Backend kBackends[] = {
	{"AudioQueue 4800-frame fills", 4800, 4800, 4800},
	{"WASAPI 10 ms top-ups", 0, 4800, 480},
};

const int kDriftsPPM[] = {-200, -100, 0, 100, 200};

struct Result {
	int64_t appended = 0; // frames
	int64_t asked = 0;
	int64_t delivered = 0;
	int64_t remaining = 0; // drained after the hour
	int64_t dropped = 0;   // blocks
	int64_t skippedInStream = 0; // blocks missing from the delivered audio
	int64_t underruns = 0, startUnderruns = 0;
	int64_t silence = 0, startSilence = 0; // frames the fills lacked
	int64_t firstDropAt = -1, firstUnderrunAt = -1; // sender frames
	int64_t minQueued = std::numeric_limits<int64_t>::max(), maxQueued = -1;
	bool inOrder = true;
};

double Ms(int64_t frames) {
	return double(frames) * 1000.0 / kRate;
}

// The blocks the queue may still hold, each with the bench's own reference.
class HeldBlocks {
public:
	~HeldBlocks() {
		for (CAudioBuffer* b : mBlocks)
			b->Release();
	}
	void Add(CAudioBuffer* b) { mBlocks.push_back(b); } // takes the creator's reference
	// Lets go of the blocks the queue has released; returns how many it released unread.
	int Sweep() {
		int dropped = 0;
		auto kept = std::remove_if(mBlocks.begin(), mBlocks.end(), [&](CAudioBuffer* b) {
			if (b->GetRefCount() > 1)
				return false;
			if (b->GetReadPosition() < b->GetFrames())
				++dropped;
			b->Release();
			return true;
		});
		mBlocks.erase(kept, mBlocks.end());
		return dropped;
	}
	int64_t Queued() const {
		int64_t frames = 0;
		for (const CAudioBuffer* b : mBlocks)
			frames += b->GetFrames() - b->GetReadPosition();
		return frames;
	}

private:
	std::vector<CAudioBuffer*> mBlocks;
};

// Every frame of block k holds k + 1 (exact in a float), so that silence (0) stands apart.
class StreamCheck {
public:
	void Take(const float* frames, int count, Result& r) {
		for (int f = 0; f < count; ++f) {
			const int64_t tag = int64_t(frames[size_t(f) * kChannels]);
			if (tag < mLast || frames[size_t(f) * kChannels + 1] != frames[size_t(f) * kChannels])
				r.inOrder = false;
			else if (tag > mLast + 1)
				r.skippedInStream += tag - mLast - 1;
			mLast = std::max(mLast, tag);
		}
	}
	int64_t Last() const { return mLast; }

private:
	int64_t mLast = 0;
};

Result Run(const Backend& backend, int ppm) {
	// One unit is 1 / (48000 * (1e6 + ppm)) s of sender time: a sender frame is 1e6 + ppm units
	// and a device frame, its clock faster by ppm, 1e6 units.
	const int64_t senderFrame = kMillion + ppm;
	const int64_t deviceFrame = kMillion;
	const int64_t end = kHourFrames * senderFrame;
	const int64_t deviceStart = kDeviceStartFrames * senderFrame;
	constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

	Result r;
	CAudioBufferList queue(kChannels, kRate, backend.firstFillFrames);
	HeldBlocks held;
	StreamCheck stream;
	std::vector<float> samples(size_t(kBlockFrames) * kChannels);
	std::vector<float> out(size_t(std::max(backend.firstFillFrames, backend.fillFrames)) * kChannels);
	int64_t block = 0, fill = 0;
	for (;;) {
		const int64_t blockAt = block < kHourBlocks ? block * kBlockFrames * senderFrame : kNever;
		const int64_t fillDevice = backend.firstFillAt + fill * int64_t(backend.fillFrames);
		int64_t fillAt = deviceStart + fillDevice * deviceFrame;
		if (fillAt >= end)
			fillAt = kNever;
		if (blockAt == kNever && fillAt == kNever)
			break;
		if (blockAt <= fillAt) {
			std::fill(samples.begin(), samples.end(), float(block + 1));
			CAudioBuffer* b = new CAudioBuffer(kChannels, samples.data(), kChannels, kBlockFrames, true);
			queue.AppendBuffer(b);
			held.Add(b);
			r.appended += kBlockFrames;
			if (const int dropped = held.Sweep()) {
				if (r.firstDropAt < 0)
					r.firstDropAt = block * kBlockFrames;
				r.dropped += dropped;
			}
			++block;
			continue;
		}
		const int asked = fill == 0 ? backend.firstFillFrames : backend.fillFrames;
		const int64_t queued = held.Queued();
		if (fillAt >= kSettleFrames * senderFrame) {
			r.minQueued = std::min(r.minQueued, queued);
			r.maxQueued = std::max(r.maxQueued, queued);
		}
		int delivered = 0;
		queue.GetData(kChannels, out.data(), int(out.size() * sizeof(float)), asked, delivered, true);
		r.asked += asked;
		stream.Take(out.data(), delivered, r);
		r.delivered += delivered;
		if (delivered < asked && fillDevice < kRate) {
			++r.startUnderruns;
			r.startSilence += asked - delivered;
		} else if (delivered < asked) {
			if (r.firstUnderrunAt < 0)
				r.firstUnderrunAt = fillAt / senderFrame;
			++r.underruns;
			r.silence += asked - delivered;
		}
		held.Sweep(); // drained blocks go back, read
		++fill;
	}
	// What is left plays after the hour: drained, in order, to close the account.
	for (;;) {
		int delivered = 0;
		queue.GetData(kChannels, out.data(), int(out.size() * sizeof(float)), backend.fillFrames, delivered, false);
		if (delivered == 0)
			break;
		stream.Take(out.data(), delivered, r);
		r.remaining += delivered;
	}
	held.Sweep();
	if (stream.Last() != kHourBlocks)
		r.inOrder = false; // the newest block must be heard last
	return r;
}

void Row(const std::string& figure, const std::string& value) {
	printf("ROW %s|%s|1 h of simulated audio (sender time)|(reported)|ok\n", figure.c_str(), value.c_str());
}

std::string Fmt(const char* format, double a, double b = 0.0) {
	char text[128];
	snprintf(text, sizeof(text), format, a, b);
	return text;
}

std::string At(int64_t frames) {
	return frames < 0 ? "" : Fmt("; first at %.1f min", double(frames) / kRate / 60.0);
}

} // namespace

int main() {
	bool ok = true;
	for (const Backend& backend : kBackends) {
		for (const int ppm : kDriftsPPM) {
			const Result r = Run(backend, ppm);
			const std::string name = std::string("clock drift ") + (ppm > 0 ? "+" : "") + std::to_string(ppm) + " ppm, "
			                         + backend.name;
			const bool balanced = r.appended == r.delivered + r.remaining + r.dropped * kBlockFrames;
			const bool played = r.asked == r.delivered + r.silence + r.startSilence;
			const bool checked = balanced && played && r.inOrder && r.skippedInStream == r.dropped;
			printf("%s: appended %lld, delivered %lld, left at the end %lld, dropped %lld blocks (%lld missing from "
			       "what played), underruns %lld (%lld frames of silence) and %lld at the start (%lld), queued at fills %lld..%lld frames, "
			       "in order %s: %s\n",
			       name.c_str(), (long long)r.appended, (long long)r.delivered, (long long)r.remaining,
			       (long long)r.dropped, (long long)r.skippedInStream, (long long)r.underruns, (long long)r.silence,
			       (long long)r.startUnderruns, (long long)r.startSilence,
			       (long long)r.minQueued, (long long)r.maxQueued, r.inOrder ? "yes" : "NO",
			       checked ? "accounts balance" : "ACCOUNTS DO NOT BALANCE");
			ok = ok && checked;
			Row(name + ": blocks dropped by the bound",
			    std::to_string(r.dropped) + Fmt(" (%.0f ms of audio skipped", Ms(r.dropped * kBlockFrames))
			        + At(r.firstDropAt) + ")");
			std::string start;
			if (r.startUnderruns > 0)
				start = ", and " + std::to_string(r.startUnderruns)
				        + Fmt(" in the first second (%.0f ms)", Ms(r.startSilence));
			Row(name + ": underruns",
			    std::to_string(r.underruns) + Fmt(" (%.0f ms of silence", Ms(r.silence)) + At(r.firstUnderrunAt)
			        + ")" + start);
			Row(name + ": audio queued at a fill, after 1 min",
			    Fmt("%.1f to %.1f ms", Ms(r.minQueued), Ms(r.maxQueued)));
		}
	}
	fflush(stdout);
	if (!ok)
		fprintf(stderr, "drift_bench: the queue's accounts do not balance (see above)\n");
	return ok ? 0 : 1;
}
