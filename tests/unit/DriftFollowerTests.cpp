// The drift follower in simulated time, without audio: a sender's blocks placed by its clock, a
// device's fills by another, and the frames the resampler would take, followed exactly. Over
// the drifts it must follow, a step, a stall and a burst: the queue never runs dry once playing,
// the delay holds its target, the ratio ends on the clocks' ratio and never jumps.
#include "AudioDrift.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 1600;
constexpr int kBuffer = 4800, kTopUp = 480;
constexpr double kLookahead = 40.0; // frames the resampler reads beyond the frame it makes

struct Case {
	const char* name;
	bool audioQueue;     // 4800-frame fills, else 10 ms top-ups of a 100 ms buffer
	double ppm, stepTo;  // the device against the sender; stepTo from half time on
	double stallAt;      // the sender sends nothing for 2 s from then (0: never)
	double burstAt;      // the sender sends 0.5 s of audio at once then (0: never)
	double seconds;
	int startDry;        // fills allowed to run dry in the first minute, while the loop learns
	double settled = 90.0; // from then on the delay holds the target
};

struct Outcome {
	int64_t starved = 0, starvedLater = 0, underruns = 0, skips = 0, starts = 0;
	double worstDelayError = 0.0; // ms, after settling, away from the stall and the burst
	double endPpm = 0.0, expectedPpm = 0.0;
	double largestChangeInASecond = 0.0, largestUpdate = 0.0; // ppm
	double ppmBeforeStall = 0.0, ppmAfterStall = 0.0;
	double delayErrorAfterBurst = 1e9; // ms, 2 s after it
};

Outcome Simulate(const Case& c) {
	Outcome o;
	const double half = c.seconds / 2.0;
	auto senderRate = [&](double t) { return kRate * (1.0 - (t < half ? c.ppm : c.stepTo) * 0.5e-6); };
	auto deviceRate = [&](double t) { return kRate * (1.0 + (t < half ? c.ppm : c.stepTo) * 0.5e-6); };
	CDriftWriter writer;
	writer.SetRate(int(kRate));
	CDriftFollower follower;
	follower.Configure(int(kRate), int(kRate));

	std::vector<double> arrivals; // of each block's last frame
	int64_t appended = 0, read = 0, written = 0;
	double position = 0.0; // of the next output frame's centre
	double nextBlock = kBlock / kRate, nextFill = nextBlock + 0.010;
	double played = 0.0, lastFill = nextFill; // device frames played by lastFill
	if (c.audioQueue)
		nextFill += kBuffer / kRate;
	bool burstDone = false;
	double lastSecond = 0.0, ppmAtLastSecond = 0.0, lastPpm = 0.0;
	while (nextFill < c.seconds) {
		if (nextBlock <= nextFill) {
			int blocks = 1;
			if (c.burstAt > 0 && !burstDone && nextBlock >= c.burstAt) {
				blocks += int(0.5 * kRate / kBlock);
				burstDone = true;
			}
			for (int b = 0; b < blocks; ++b) {
				appended += kBlock;
				writer.BlockArrived(kBlock, int64_t(nextBlock * 1e9));
				arrivals.push_back(nextBlock);
			}
			nextBlock += kBlock / senderRate(nextBlock);
			if (c.stallAt > 0 && nextBlock >= c.stallAt && nextBlock < c.stallAt + 2.0)
				nextBlock += 2.0;
			continue;
		}
		const double now = nextFill;
		played += (now - lastFill) * deviceRate(now);
		lastFill = now;
		int frames = kBuffer, held = kBuffer;
		if (!c.audioQueue) {
			held = int(std::max<int64_t>(0, written - int64_t(played)));
			frames = kBuffer - held;
		}
		CDriftFillInfo fill{int64_t(now * 1e9), frames, held, position, read, appended - read, kLookahead};
		const CDriftPlan plan = follower.Plan(writer.State(), fill);
		const bool wasPlaying = !plan.mStart && plan.mPlay;
		if (plan.mStart)
			position = double(read);
		position += double(plan.mSkip);
		read += plan.mSkip;
		bool starved = false;
		if (plan.mPlay) {
			const int made = frames - plan.mSilence;
			// When the fill's first made frame plays, and when it arrived.
			const double plays = now + (double(held) + plan.mSilence) / deviceRate(now);
			const size_t block = size_t(position) / kBlock;
			if (block < arrivals.size() && now > c.settled && std::fabs(now - c.stallAt - 1.0) > 2.0
			    && std::fabs(now - c.burstAt) > 1.0 && !(c.stepTo != c.ppm && now > half && now < half + 90.0)) {
				const double arrived = arrivals[block] - (double((block + 1) * kBlock) - position) / kRate;
				const double error = (plays - arrived - follower.TargetSeconds()) * 1000.0;
				o.worstDelayError = std::max(o.worstDelayError, std::fabs(error));
				if (c.burstAt > 0 && now > c.burstAt + 2.0 && o.delayErrorAfterBurst > 1e8)
					o.delayErrorAfterBurst = error;
			}
			const double end = position + made * plan.mRatio;
			starved = end + kLookahead > double(appended);
			position = starved ? std::max(position, double(appended) - kLookahead) : end;
			read = std::max(read, std::min(appended, int64_t(std::ceil(position + kLookahead))));
			if (starved && wasPlaying) {
				++o.starved;
				o.starvedLater += now > 60.0;
			}
		}
		follower.FillDone(fill, starved);
		written += frames;

		const double ppm = follower.Correction() * 1e6;
		o.largestUpdate = std::max(o.largestUpdate, std::fabs(ppm - lastPpm));
		lastPpm = ppm;
		if (now - lastSecond >= 1.0) {
			o.largestChangeInASecond = std::max(o.largestChangeInASecond, std::fabs(ppm - ppmAtLastSecond));
			ppmAtLastSecond = ppm;
			lastSecond = now;
		}
		if (c.stallAt > 0 && now < c.stallAt)
			o.ppmBeforeStall = ppm;
		if (c.stallAt > 0 && now < c.stallAt + 4.0)
			o.ppmAfterStall = ppm;
		nextFill = c.audioQueue ? nextFill + kBuffer / deviceRate(now) : nextFill + kTopUp / deviceRate(now);
	}
	o.underruns = follower.Underruns();
	o.skips = follower.Skips();
	o.starts = follower.Starts();
	o.endPpm = follower.Correction() * 1e6;
	o.expectedPpm = ((1.0 - c.stepTo * 0.5e-6) / (1.0 + c.stepTo * 0.5e-6) - 1.0) * 1e6;
	return o;
}

TEST(DriftFollower, HoldsTheDelayThroughDriftsStepsStallsAndBursts) {
	const Case cases[] = {
		{"AudioQueue, 0 ppm", true, 0, 0, 0, 0, 300, 0},
		{"AudioQueue, +200 ppm", true, 200, 200, 0, 0, 300, 0},
		{"AudioQueue, -200 ppm", true, -200, -200, 0, 0, 300, 0},
		{"WASAPI, +200 ppm", false, 200, 200, 0, 0, 300, 0},
		{"WASAPI, -200 ppm", false, -200, -200, 0, 0, 300, 0},
		// The first start's allowance covers the loop's learning up to 700 ppm. At 45 ppm a second
		// the ratio takes 20 s to reach 1000 ppm, meanwhile the delay drifts by up to 10 ms: so
		// there the start may run dry (a device that fast), or the delay rise by 13 ms and come
		// back within 3 minutes.
		{"AudioQueue, +700 ppm", true, 700, 700, 0, 0, 300, 0},
		{"WASAPI, -700 ppm", false, -700, -700, 0, 0, 300, 0},
		{"WASAPI, +1000 ppm", false, 1000, 1000, 0, 0, 500, 2, 200},
		{"WASAPI, -1000 ppm", false, -1000, -1000, 0, 0, 500, 2, 200},
		{"AudioQueue, -200 to +200 ppm", true, -200, 200, 0, 0, 600, 0},
		{"WASAPI, -200 to +200 ppm", false, -200, 200, 0, 0, 600, 0},
		{"WASAPI, +300 ppm, stall", false, 300, 300, 150, 0, 300, 0},
		{"AudioQueue, -300 ppm, stall", true, -300, -300, 150, 0, 300, 0},
		{"WASAPI, +100 ppm, burst", false, 100, 100, 0, 150, 300, 0},
		{"AudioQueue, +100 ppm, burst", true, 100, 100, 0, 150, 300, 0},
	};
	for (const Case& c : cases) {
		SCOPED_TRACE(c.name);
		const Outcome o = Simulate(c);
		const bool stall = c.stallAt > 0, burst = c.burstAt > 0;
		EXPECT_EQ(o.starvedLater, stall ? 1 : 0) << "fills that ran dry while playing, after the first minute";
		EXPECT_LE(o.starved - o.starvedLater, c.startDry) << "in the first minute";
		EXPECT_EQ(o.underruns, o.starved);
		EXPECT_EQ(o.starts, 1 + o.starved);
		EXPECT_EQ(o.skips, burst ? 1 : 0) << "a burst is cut once, and nothing else is";
		EXPECT_LE(o.worstDelayError, 2.0) << "ms off the target after settling";
		EXPECT_NEAR(o.endPpm, o.expectedPpm, 1.0);
		EXPECT_LE(o.largestUpdate, CDriftFollower::kMaxStep * 1e6 + 1e-6);
		EXPECT_LE(o.largestChangeInASecond, 50.0);
		if (stall) {
			EXPECT_NEAR(o.ppmAfterStall, o.ppmBeforeStall, 5.0) << "the ratio learned is kept through the stall";
		}
		if (burst) {
			EXPECT_LE(std::fabs(o.delayErrorAfterBurst), 2.0) << "ms off the target 2 s after the burst";
		}
	}
}

// The arrivals' line: through blocks of any size, late by a little, it lands on the sender's
// rate; a gap or a burst starts it again there, keeping the rate.
TEST(DriftFollower, ArrivalsLineLearnsTheRateAndRestartsAtJumps) {
	CFrameClock clock;
	clock.Configure(kRate, 0.05, 0.1, 0.02);
	const double rate = kRate * (1.0 + 300e-6);
	double t = 0.0;
	double count = 0.0;
	unsigned noise = 1;
	for (int i = 0; i < 6000; ++i) {
		const int block = (i % 3 == 0) ? 1024 : 1025; // sizes vary, as with some senders
		count += block;
		t += block / rate;
		noise = noise * 1103515245u + 12345u;
		const double late = double((noise >> 16) % 2000) * 1e-6; // up to 2 ms
		clock.Update(int64_t((t + late) * 1e9), count);
	}
	EXPECT_NEAR(clock.Rate() / kRate - 1.0, 300e-6, 20e-6);
	EXPECT_NEAR(clock.CountAt(int64_t(t * 1e9)), count - 0.001 * rate, 0.0005 * rate) << "a line through the mean lateness";
	EXPECT_EQ(clock.Restarts(), 0);

	t += 1.0; // a second's gap
	count += 1024;
	clock.Update(int64_t(t * 1e9), count);
	EXPECT_EQ(clock.Restarts(), 1);
	EXPECT_NEAR(clock.CountAt(int64_t(t * 1e9)), count, 1.0);
	const double learned = clock.Rate();
	EXPECT_NEAR(learned / kRate - 1.0, 300e-6, 20e-6);

	for (int i = 0; i < 8; ++i) { // a burst: eight blocks at once
		count += 1024;
		clock.Update(int64_t(t * 1e9), count);
	}
	EXPECT_NEAR(clock.CountAt(int64_t(t * 1e9)), count, 1.0) << "the line ends on the burst's last block";
	EXPECT_EQ(clock.Rate(), learned);
}

} // namespace
