#include "AudioDrift.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

const double kPi = 3.14159265358979323846;
// The arrivals' loop: slow enough to smooth blocks that come up to a few ms late into a line
// that moves by microseconds, fast enough to learn a sender's rate within seconds. A block a
// tenth of a second late ends a gap; one 20 ms early is part of a burst (blocks come late, never
// that early), and the line starts again at each, so that it ends on the burst's last block.
const double kArrivalsHz = 0.05;
const double kArrivalsLateRestart = 0.1;
const double kArrivalsEarlyRestart = 0.02;
// The playhead's loop: fills are timed by the device, give or take the scheduler.
const double kPlayheadHz = 0.05;
const double kPlayheadRestart = 0.05;
// A line locks on with a bandwidth this many times its own, narrowing with this time constant.
const double kAcquireWidening = 20.0;
const double kAcquireSeconds = 2.0;
// Nothing from the writer for this long beyond its largest block: its line runs on past what came.
const double kWriterQuietSeconds = 0.1;

} // namespace

int64_t DriftClockNow() {
	return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
	    .count();
}

// ---------------------------------------------------------------------------------------------
// CFrameClock

CFrameClock::CFrameClock()
    : mNominalPeriod(1.0 / 48000.0), mBandwidth(0.05), mLateRestart(0.1), mEarlyRestart(0.1), mRunning(false), mBaseNs(0),
      mStartNs(0), mTime(0.0), mCount(0.0), mPeriod(0.0), mLastError(0.0), mRestarts(0) {}

void CFrameClock::Configure(double nominalRate, double bandwidthHz, double lateRestartSeconds,
                            double earlyRestartSeconds) {
	mNominalPeriod = nominalRate > 0.0 ? 1.0 / nominalRate : 1.0 / 48000.0;
	mBandwidth = bandwidthHz;
	mLateRestart = lateRestartSeconds;
	mEarlyRestart = earlyRestartSeconds;
	Reset();
}

void CFrameClock::Reset() {
	mRunning = false;
	mPeriod = 0.0;
	mLastError = 0.0;
}

void CFrameClock::Update(int64_t nowNs, double count) {
	if (!mRunning) {
		mRunning = true;
		mBaseNs = mStartNs = nowNs;
		mTime = 0.0;
		mCount = count;
		if (mPeriod <= 0.0)
			mPeriod = mNominalPeriod;
		mLastError = 0.0;
		return;
	}
	const double now = double(nowNs - mBaseNs) * 1e-9;
	const double step = count - mCount;
	const double predicted = mTime + step * mPeriod;
	const double error = now - predicted;
	mLastError = error;
	if (error > mLateRestart || -error > mEarlyRestart) {
		// A gap or a burst: the line starts again here, at the rate it had.
		mBaseNs = mStartNs = nowNs;
		mTime = 0.0;
		mCount = count;
		++mRestarts;
		return;
	}
	if (step <= 0.0)
		return; // nothing counted: no rate to learn from it
	// Gains for this step's share of the bandwidth: b = sqrt(2) w, c = w^2.
	const double age = double(nowNs - mStartNs) * 1e-9;
	const double bandwidth = mBandwidth * (1.0 + (kAcquireWidening - 1.0) * std::exp(-age / kAcquireSeconds));
	const double w = std::min(2.0 * kPi * bandwidth * step * mPeriod, 0.5);
	mTime = predicted + std::sqrt(2.0) * w * error;
	mCount = count;
	mPeriod += w * w * error / step;
	// Never more than 1% off the nominal rate: a clock that says more is broken, not drifting.
	mPeriod = std::min(std::max(mPeriod, mNominalPeriod * 0.99), mNominalPeriod * 1.01);
	if (mTime > 1000.0) {
		const int64_t shift = int64_t(mTime * 1e9);
		mBaseNs += shift;
		mTime -= double(shift) * 1e-9;
	}
}

double CFrameClock::CountAt(int64_t nowNs) const {
	return mCount + (double(nowNs - mBaseNs) * 1e-9 - mTime) / mPeriod;
}

double CFrameClock::SecondsUntil(double count, int64_t nowNs) const {
	return mTime + (count - mCount) * mPeriod - double(nowNs - mBaseNs) * 1e-9;
}

// ---------------------------------------------------------------------------------------------
// CRecentPeak

void CRecentPeak::Add(double value, int64_t nowNs) {
	if (!mStarted) {
		mStarted = true;
		mStartNs = nowNs;
	} else if (nowNs - mStartNs >= mWindowNs) {
		mPrevious = nowNs - mStartNs >= 2 * mWindowNs ? 0.0 : mCurrent;
		mCurrent = 0.0;
		mStartNs = nowNs;
	}
	mCurrent = std::max(mCurrent, value);
}

// ---------------------------------------------------------------------------------------------
// CDriftWriter

CDriftWriter::CDriftWriter() : mState() {
	SetRate(48000);
}

void CDriftWriter::SetRate(int sampleRate) {
	mState.mArrivals.Configure(sampleRate > 0 ? sampleRate : 48000, kArrivalsHz, kArrivalsLateRestart, kArrivalsEarlyRestart);
	mState.mFramesAppended = 0;
	mState.mLastArrivalNs = 0;
	mState.mLargestBlock = 0.0;
	mState.mLatenessSpread = 0.0;
	mState.mAny = false;
	mBlocks.Reset();
	mLateness.Reset();
}

void CDriftWriter::BlockArrived(int frames, int64_t nowNs) {
	if (frames <= 0)
		return;
	CFrameClock& arrivals = mState.mArrivals;
	const int64_t restarts = arrivals.Restarts();
	// The count after the block: a frame has arrived once its whole block has.
	mState.mFramesAppended += frames;
	arrivals.Update(nowNs, double(mState.mFramesAppended));
	if (arrivals.Restarts() == restarts)
		mLateness.Add(std::max(0.0, arrivals.LastError()), nowNs);
	mBlocks.Add(double(frames), nowNs);
	mState.mLargestBlock = mBlocks.Value();
	mState.mLatenessSpread = mLateness.Value();
	mState.mLastArrivalNs = nowNs;
	mState.mAny = true;
}

// ---------------------------------------------------------------------------------------------
// CDriftFollower

CDriftFollower::CDriftFollower()
    : mInputRate(48000.0), mOutputRate(48000.0), mNominalRatio(1.0), mWritten(0), mPlaying(false), mCorrection(0.0),
      mIntegral(0.0), mSmoothedError(0.0), mErrorSum(0.0), mErrorCount(0), mLastUpdateNs(0), mUpdated(false),
      mTarget(0.0), mDelay(0.0), mTargetNs(0), mFirstStartNs(0), mUnderruns(0), mSkips(0), mStarts(0) {
	Configure(48000, 48000);
}

void CDriftFollower::Configure(int inputRate, int outputRate) {
	mInputRate = inputRate > 0 ? inputRate : 48000.0;
	mOutputRate = outputRate > 0 ? outputRate : 48000.0;
	mNominalRatio = mInputRate / mOutputRate;
	mPlayhead.Configure(mOutputRate, kPlayheadHz, kPlayheadRestart, kPlayheadRestart);
	mCapacity.Reset();
	mEarliness.Reset();
	mWritten = 0;
	mPlaying = false;
	mCorrection = mIntegral = mSmoothedError = 0.0;
	mStarts = mUnderruns = mSkips = 0; // a new stream: its first start has the allowance again
	mErrorSum = 0.0;
	mErrorCount = 0;
	mUpdated = false;
}

void CDriftFollower::Restart(bool deviceLost) {
	mPlaying = false;
	mUpdated = false;
	mErrorSum = 0.0;
	mErrorCount = 0;
	if (deviceLost) {
		mPlayhead.Reset();
		mCapacity.Reset();
		mEarliness.Reset();
	}
}

void CDriftFollower::UpdateTarget(const CDriftWriterState& writer, const CDriftFillInfo& fill) {
	// At a fill the device takes what it holds plus the fill (the capacity) ahead of its
	// playhead; blocks come whole, so the queue needs one block more than that on average; the
	// resampler reads ahead of what it plays; and blocks that come late or fills that come early
	// take from what is there.
	const double returned = mStarts == 0 ? 0.0
	                        : std::max(double(fill.mNowNs - mFirstStartNs) * 1e-9 - kAllowanceHoldSeconds, 0.0);
	const double allowance = std::max(0.0, kStartAllowanceSeconds - kAllowanceReturnPerSecond * returned);
	// The first start's allowance also stands in for the late blocks and early fills not seen yet.
	const double timing = std::max(writer.mLatenessSpread + mEarliness.Value(), allowance);
	const double target = mCapacity.Value() / mOutputRate + writer.mLargestBlock / mInputRate
	                      + fill.mLookahead / mInputRate + timing + kMarginSeconds;
	// While playing it moves gently: the loop takes a step of it for an error.
	if (mPlaying) {
		const double limit = kTargetSlewPerSecond * double(fill.mNowNs - mTargetNs) * 1e-9;
		mTarget += std::min(std::max(target - mTarget, -limit), limit);
	} else
		mTarget = target;
	mTargetNs = fill.mNowNs;
}

CDriftPlan CDriftFollower::Plan(const CDriftWriterState& writer, const CDriftFillInfo& fill) {
	CDriftPlan plan{0, 0, false, false, Ratio()};
	const int64_t now = fill.mNowNs;
	const int64_t restarts = mPlayhead.Restarts();
	const bool wasRunning = mPlayhead.IsRunning();
	mPlayhead.Update(now, double(mWritten - fill.mDeviceHeld));
	if (wasRunning && mPlayhead.Restarts() == restarts)
		mEarliness.Add(std::max(0.0, -mPlayhead.LastError()), now);
	mCapacity.Add(double(fill.mDeviceHeld + fill.mFrames), now);
	UpdateTarget(writer, fill);

	if (!writer.mAny) {
		plan.mSilence = fill.mFrames;
		return plan;
	}
	// Output frames still ahead of the playhead, and the stream position arrived by now, both
	// from their smoothed lines.
	const double held = double(mWritten) - mPlayhead.CountAt(now);
	const double arrived = writer.mArrivals.CountAt(now);

	if (mPlaying) {
		const double playing = fill.mNextPosition - held * Ratio();
		mDelay = (arrived - playing) / mInputRate;
		double error = mDelay - mTarget;
		if (error > kSkipAboveSeconds) {
			// A burst far above the target: cut it once rather than play it late for minutes.
			const double keep = fill.mFrames * Ratio() + fill.mLookahead + 2.0;
			const int64_t skip = std::min(int64_t(error * mInputRate), fill.mWaiting - int64_t(std::ceil(keep)));
			if (skip > 0) {
				plan.mSkip = skip;
				++mSkips;
				error -= double(skip) / mInputRate;
			}
		}
		// A writer gone quiet: its line runs on past what came, so it says nothing worth steering by.
		const double quiet = writer.mLargestBlock / mInputRate + kWriterQuietSeconds;
		if (double(now - writer.mLastArrivalNs) * 1e-9 <= quiet) {
			const bool trusted = writer.mArrivals.Age(now) >= kRatesTrustedAfterSeconds
			                     && mPlayhead.Age(now) >= kRatesTrustedAfterSeconds;
			const double measured = writer.mArrivals.Rate() / mPlayhead.Rate() / mNominalRatio - 1.0;
			Steer(now, error, trusted ? measured : std::nan(""));
		}
		plan.mPlay = true;
		plan.mRatio = Ratio();
		return plan;
	}

	// Waiting for the level: the next unread frame would play once the device has played what it
	// holds (and any silence before it); it should play the target's time after it arrived.
	const double arrivedAt = writer.mArrivals.SecondsUntil(double(fill.mReadPosition), now);
	const double silence = (arrivedAt + mTarget - held / mOutputRate) * mOutputRate;
	mDelay = mTarget - silence / mOutputRate;
	if (silence >= fill.mFrames) {
		plan.mSilence = fill.mFrames;
		return plan;
	}
	int pad = 0;
	int64_t skip = 0;
	if (silence > 0.0)
		pad = int(std::lround(silence));
	else
		skip = std::llround(-silence * Ratio());
	// Start only with the whole rest of this fill at hand; otherwise the next fill places it again.
	const double needed = (fill.mFrames - pad) * Ratio() + fill.mLookahead + 2.0;
	if (double(fill.mWaiting - skip) < needed) {
		plan.mSilence = fill.mFrames;
		return plan;
	}
	plan.mSilence = pad;
	plan.mSkip = skip;
	plan.mStart = true;
	plan.mPlay = true;
	mPlaying = true;
	mDelay = mTarget;
	if (mStarts++ == 0)
		mFirstStartNs = now;
	// The correction in force is what the loop learned: the error it also answered is gone.
	mIntegral = mCorrection;
	mSmoothedError = 0.0;
	mUpdated = false;
	mErrorSum = 0.0;
	mErrorCount = 0;
	return plan;
}

void CDriftFollower::FillDone(const CDriftFillInfo& fill, bool starved) {
	mWritten += fill.mFrames;
	if (starved && mPlaying) {
		// The queue ran dry: the sender paused or fell behind. Wait for the level again; the
		// correction learned stays.
		++mUnderruns;
		mPlaying = false;
	}
}

void CDriftFollower::Steer(int64_t nowNs, double error, double measured) {
	mErrorSum += error;
	++mErrorCount;
	if (!mUpdated) {
		mUpdated = true;
		mLastUpdateNs = nowNs;
		return;
	}
	// A device's 100 ms fills come a little sooner when its clock is fast: they count.
	double dt = double(nowNs - mLastUpdateNs) * 1e-9;
	if (dt < kUpdateSeconds * 0.95)
		return;
	dt = std::min(dt, 1.0); // after a pause the integrator takes no leap
	mSmoothedError += (mErrorSum / mErrorCount - mSmoothedError) * (1.0 - std::exp(-dt / kErrorSmoothingSeconds));
	const double mean = mSmoothedError;
	mErrorSum = 0.0;
	mErrorCount = 0;
	mLastUpdateNs = nowNs;

	// A delay above the target wants the input consumed faster: a larger ratio. Proportional
	// and integral gains of a critically damped second-order loop: 2 w and w^2.
	const double w = 2.0 * kPi * kLoopHz;
	// Drawn to the measured ratio whether or not the step below is cut: that is no wind-up.
	if (!std::isnan(measured) && std::fabs(measured - mIntegral) > kRatesDisagreement) {
		const double toward = measured - std::copysign(kRatesDisagreement, measured - mIntegral);
		mIntegral += (toward - mIntegral) * (1.0 - std::exp(-dt / kRatesPullSeconds));
	}
	const double integral = std::min(std::max(mIntegral + w * w * mean * dt, -kMaxCorrection), kMaxCorrection);
	const double wanted = std::min(std::max(2.0 * w * mean + integral, -kMaxCorrection), kMaxCorrection);
	const double limit = std::min(kMaxStep, kMaxSlewPerSecond * dt);
	const double step = std::min(std::max(wanted - mCorrection, -limit), limit);
	// While the step is cut short the integrator holds, so that it does not wind up and overshoot.
	if (step == wanted - mCorrection || (integral - mIntegral) * step < 0.0)
		mIntegral = integral;
	mCorrection += step;
}
