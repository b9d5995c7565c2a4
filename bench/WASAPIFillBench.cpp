// Speed of the Windows render thread's fill, under wine: the straight fill of a 4800-frame
// stereo device buffer from the queue (stream and device at 48 kHz) against the resampled fill
// of the same 100 ms for a device at 44.1 kHz (speexdsp at quality 10), with memcpy of the same
// bytes as the baseline, all measured in this run. Contexts play on scripted endpoints whose
// render thread stays parked, so that only the fill is timed.
//   RATIO resampled_vs_straight  time of a resampled fill / time of a straight fill
//   RATIO straight_vs_memcpy     time of a straight fill / memcpy of its bytes
//   RTF   resampler_q10          time of a resampled fill / the 100 ms of audio it makes
#include "FakeWASAPI.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace fakewasapi;

namespace {

const int kStreamRate = 48000;
const int kFrames = 4800;
const int kChannels = 2;
const int kFillsPerRun = 200;
const int kRuns = 7;

double Now() {
	LARGE_INTEGER counter, frequency;
	QueryPerformanceCounter(&counter);
	QueryPerformanceFrequency(&frequency);
	return static_cast<double>(counter.QuadPart) / frequency.QuadPart;
}

void QueueBlock(CWASAPIAudioContext* context, const std::vector<float>& samples, int64_t nowNs) {
	CAudioBuffer* block = new CAudioBuffer(kChannels, samples.data(), kChannels, kFrames, true);
	context->GetBufferList().AppendBuffer(block, nowNs);
	block->Release();
}

// Seconds per fill of `deviceFrames` frames, best of kRuns runs; the queue gets one stream
// block before each fill, outside the timing.
double TimeFills(int deviceRate, int deviceFrames, const std::vector<float>& block) {
	FakeSystem system;
	system.AddEndpoint(L"bench", L"Bench", MakeFormat(true, 32, true, kChannels, deviceRate));
	system.SetDefault(L"bench");
	CWASAPIAudioContext* context = nullptr;
	if (CWASAPIAudioContext::CreateWASAPIAudioContext("", kChannels, kStreamRate, kFrames, context) != 0) {
		fprintf(stderr, "no context\n");
		return 0.0;
	}
	// The render thread has filled the device buffer; the device plays nothing, so the thread's
	// passes on its period's events find the buffer full and leave the queue to this loop.
	system.WaitUntil([&] { return system.CountLog("Start") == 1; });
	std::vector<float> out(static_cast<size_t>(deviceFrames) * kChannels);
	// The fills' times are the device's, one fill's length apart, whatever the bench's own pace:
	// the follower sees a device playing in real time, with a block arriving for each fill.
	int64_t deviceNs = DriftClockNow();
	QueueBlock(context, block, deviceNs);
	const int64_t fillNs = int64_t(1e9 * deviceFrames / deviceRate);
	double best = 1e9;
	for (int run = 0; run < kRuns; ++run) {
		double total = 0.0;
		for (int i = 0; i < kFillsPerRun; ++i) {
			deviceNs += fillNs;
			QueueBlock(context, block, deviceNs);
			const double start = Now();
			context->FillBuffer(out.data(), deviceFrames, deviceFrames, deviceNs);
			total += Now() - start;
		}
		best = std::min(best, total / kFillsPerRun);
	}
	context->Release();
	return best;
}

double TimeMemcpy(const std::vector<float>& block) {
	std::vector<float> out(block.size());
	double best = 1e9;
	for (int run = 0; run < kRuns; ++run) {
		const double start = Now();
		for (int i = 0; i < kFillsPerRun; ++i) {
			memcpy(out.data(), block.data(), block.size() * sizeof(float));
			__asm__ __volatile__("" : : "r"(out.data()) : "memory");
		}
		best = std::min(best, (Now() - start) / kFillsPerRun);
	}
	return best;
}

} // namespace

int main() {
	CoInitializeEx(nullptr, COINIT_MULTITHREADED);
	std::vector<float> block(static_cast<size_t>(kFrames) * kChannels);
	for (int f = 0; f < kFrames; ++f)
		for (int c = 0; c < kChannels; ++c)
			block[static_cast<size_t>(f) * kChannels + c] = static_cast<float>(0.5 * std::sin(2 * 3.14159265358979 * 1000 * f / kStreamRate));

	const double copy = TimeMemcpy(block);
	const double straight = TimeFills(48000, kFrames, block);
	const double resampled = TimeFills(44100, 4410, block);
	printf("memcpy of %d stereo frames  %9.2f us\n", kFrames, copy * 1e6);
	printf("straight fill, 48 kHz        %9.2f us\n", straight * 1e6);
	printf("resampled fill, 48 -> 44.1   %9.2f us\n", resampled * 1e6);
	printf("RATIO resampled_vs_straight %.2f\n", resampled / straight);
	printf("RATIO straight_vs_memcpy %.2f\n", straight / copy);
	printf("RTF resampler_q10 %.4f\n", resampled / 0.1);
	CoUninitialize();
	return 0;
}
