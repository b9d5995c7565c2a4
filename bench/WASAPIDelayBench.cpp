// The real path under wine: from a sender's frame to the PulseAudio sink that plays it. A sender
// of this process sends silence with a marker (20 ms of 1 kHz) every half second, in blocks of
// 1600 frames at its pace; the shared input plays it on Studio_Speakers (wine's endpoint of a null
// sink) and the sink's monitor is recorded, each packet placed on the steady clock as it comes.
// Once the output has settled (from 8 s on), each marker's onset in the recording is placed on
// the steady clock by the line through the packets' times, and its delay is that time less the
// time its block was sent. Against: the delay the output keeps to (its target: what the device
// buffer holds plus the queue's own), as the context reports it. What wine's capture adds to the
// recording's times (its period, about 10 ms) is in the figure too.
//   DELAY measured_ms <median> <min> <max>
//   DELAY target_ms <target>
#include "AudioOut_Win.h"
#include "MonitorRecorder.h"
#include "NDIInput.h"
#include "NdiNetwork.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const int kRate = 48000, kBlock = 1600, kMarkerFrames = 960, kMarkerEvery = 24000;
const double kSeconds = 24.0, kSettled = 8.0;

double Seconds(Clock::time_point t) {
	return std::chrono::duration<double>(t.time_since_epoch()).count();
}

} // namespace

int main() {
	ndinet::Reset();
	NDIInputMgr& manager = NDIInputMgr::sNDIInputMgr;
	manager.PrepareAudioDevices();
	MonitorRecorder recorder;
	if (!recorder.Start(L"Studio_Speakers", kSeconds + 1.0) || !recorder.WaitRunning(0.3)) {
		fprintf(stderr, "no monitor to record\n");
		return 1;
	}
	ndinet::Sender sender("Delay");
	NDIInput* input = manager.AcquireNDIInput(nullptr, sender.fullName(), kNDIBandwidthHigh, "Studio_Speakers");
	if (!input)
		return 1;
	std::vector<double> markersSent; // steady seconds each marker's block was sent
	std::vector<float> planar(size_t(kBlock) * 2);
	const auto start = Clock::now();
	auto next = start;
	for (int64_t frame = 0; Clock::now() - start < std::chrono::duration<double>(kSeconds); frame += kBlock) {
		for (int f = 0; f < kBlock; ++f) {
			const int64_t at = (frame + f) % kMarkerEvery;
			const float v = at < kMarkerFrames ? float(0.5 * std::sin(2 * 3.14159265358979 * 1000.0 * at / kRate)) : 0.0f;
			planar[size_t(f)] = planar[size_t(kBlock + f)] = v;
		}
		sender.AudioPlanar(kRate, 2, kBlock, planar.data());
		if (frame % kMarkerEvery == 0)
			markersSent.push_back(Seconds(Clock::now()));
		next += std::chrono::microseconds(1000000LL * kBlock / kRate); // the sender's pace
		std::this_thread::sleep_until(next);
	}
	double target = 0.0;
	input->mLock.Lock();
	if (input->mAudioContext)
		target = input->mAudioContext->GetTargetSeconds();
	input->mLock.Unlock();
	const std::vector<float>& samples = recorder.Wait();
	input->Release();

	// Onsets: a frame above a tenth after a tenth of a second without one.
	const int channels = recorder.Channels(), rate = recorder.Rate();
	const MonitorRecorder::Line line = recorder.SteadyLine(1.0);
	std::vector<double> delays;
	size_t lastLoud = 0;
	for (size_t f = 0; f < samples.size() / size_t(channels); ++f) {
		const float v = std::fabs(samples[f * size_t(channels)]);
		if (v <= 0.1f)
			continue;
		const bool onset = f > lastLoud + size_t(rate / 10);
		lastLoud = f;
		if (onset) {
			const double heardAt = line.mStart + double(f) / line.mRate;
			// The marker sent last before it was heard, and no longer ago than a second.
			double sentAt = -1.0;
			for (double s : markersSent)
				if (s < heardAt && heardAt - s < 1.0)
					sentAt = s;
			if (sentAt > 0.0 && sentAt - Seconds(start) > kSettled)
				delays.push_back(heardAt - sentAt);
		}
	}
	if (delays.empty()) {
		float peak = 0.0f;
		for (float v : samples)
			peak = std::max(peak, std::fabs(v));
		fprintf(stderr, "no marker was heard: %zu frames recorded, peak %.3f, %zu markers sent, line %.3f s + f / %.1f\n",
		        samples.size() / size_t(channels), peak, markersSent.size(), line.mStart, line.mRate);
		return 1;
	}
	std::sort(delays.begin(), delays.end());
	printf("%zu markers heard from %.0f s on\n", delays.size(), kSettled);
	printf("DELAY measured_ms %.1f %.1f %.1f\n", 1e3 * delays[delays.size() / 2], 1e3 * delays.front(), 1e3 * delays.back());
	printf("DELAY target_ms %.1f\n", 1e3 * target);
	return 0;
}
