// Following the device's clock: the sender and the output device each run on a crystal of their
// own, and the audio waiting between them grows or shrinks by their difference (tens to hundreds
// of ppm). The follower measures how long a frame waits from its arrival to its playing and steers
// the resampling ratio so that this delay stays at a target: no gap, no drop, a steady delay.
//
// Time is passed in by the callers as steady-clock nanoseconds (DriftClockNow), never read here,
// so that simulations drive it.
#ifndef AUDIO_DRIFT_H
#define AUDIO_DRIFT_H

#include <cstdint>

// The steady clock in nanoseconds: what the fills and the queue's writer pass in.
int64_t DriftClockNow();

// A delay-locked loop that places a counter in time: given (time, count) events it yields the
// smoothed count at any time, without the sawtooth of the steps between events nor their jitter.
// Second order (it learns the rate), damping 0.707; for its first seconds its bandwidth is wider,
// narrowing to the one configured, so that it locks on quickly (a device's first periods after
// its start, or the first blocks, may sit well off the line the rest follow). An event later than
// the line by more than
// one limit (a gap) or earlier by more than the other (a burst) starts it again there, keeping
// the rate it learned.
class CFrameClock {
public:
	CFrameClock();
	void Configure(double nominalRate, double bandwidthHz, double lateRestartSeconds, double earlyRestartSeconds);
	void Reset();             // forgets the position and the rate
	void Update(int64_t nowNs, double count);
	bool IsRunning() const { return mRunning; }
	double CountAt(int64_t nowNs) const;
	// Seconds from `nowNs` to when the smoothed count reaches `count` (negative: in the past).
	double SecondsUntil(double count, int64_t nowNs) const;
	double Rate() const { return 1.0 / mPeriod; } // counts per second
	// Seconds since the line started (again): how far its rate can be trusted.
	double Age(int64_t nowNs) const { return mRunning ? double(nowNs - mStartNs) * 1e-9 : 0.0; }
	int64_t Restarts() const { return mRestarts; }
	// How far the latest event came after the smoothed line, in seconds (negative: before it).
	double LastError() const { return mLastError; }

private:
	double mNominalPeriod;
	double mBandwidth;
	double mLateRestart, mEarlyRestart;
	bool mRunning;
	int64_t mBaseNs;  // times are kept in seconds from here, for precision over days
	int64_t mStartNs; // of the line: its first seconds it locks on with a wider bandwidth
	double mTime;     // seconds from mBaseNs of the smoothed point...
	double mCount;    // ...and its count
	double mPeriod;   // seconds per count
	double mLastError;
	int64_t mRestarts;
};

// The largest value seen over the last one to two windows: a size that changes now and then (a
// sender's block size, a device's fill) without following each single value.
class CRecentPeak {
public:
	explicit CRecentPeak(double windowSeconds = 10.0) : mWindowNs(int64_t(windowSeconds * 1e9)) {}
	void Reset() { mStartNs = 0, mCurrent = mPrevious = 0.0, mStarted = false; }
	void Add(double value, int64_t nowNs);
	double Value() const { return mCurrent > mPrevious ? mCurrent : mPrevious; }

private:
	int64_t mWindowNs;
	int64_t mStartNs = 0;
	double mCurrent = 0.0, mPrevious = 0.0;
	bool mStarted = false;
};

// What the writer half knows, copied to the reader under the queue's lock.
struct CDriftWriterState {
	CFrameClock mArrivals;     // frames appended, against their arrival
	int64_t mFramesAppended;   // every frame ever appended (the stream position after the last)
	int64_t mLastArrivalNs;
	double mLargestBlock;      // frames, recently
	double mLatenessSpread;    // seconds the latest arrivals came after the smoothed line, recently
	bool mAny;                 // a block has come
};

// The writer half, owned by the queue and called under its lock for every block appended.
class CDriftWriter {
public:
	CDriftWriter();
	void SetRate(int sampleRate);
	void BlockArrived(int frames, int64_t nowNs);
	const CDriftWriterState& State() const { return mState; }

private:
	CDriftWriterState mState;
	CRecentPeak mBlocks;
	CRecentPeak mLateness;
};

// One fill as the reader sees it, in the queue's frames (input) and the device's (output).
struct CDriftFillInfo {
	int64_t mNowNs;
	int mFrames;              // output frames this fill writes
	int mDeviceHeld;          // output frames the device still holds ahead of this fill
	double mNextPosition;     // stream position of the next output frame's centre (playing only)
	int64_t mReadPosition;    // stream position of the next unread frame
	int64_t mWaiting;         // frames readable now from there on (queue and staging)
	double mLookahead;        // input frames the resampler reads beyond its centre
};

// What the reader is to do in this fill.
struct CDriftPlan {
	int mSilence;       // output frames of silence first
	int64_t mSkip;      // input frames to discard, from the read position, before reading
	bool mStart;        // real audio starts after the silence: the resampler begins afresh
	bool mPlay;         // read and resample after the silence
	double mRatio;      // input frames per output frame for the frames read
};

// The reader half, used by one fill thread only: places the device's playhead in time, keeps the
// state (waiting for the level, or playing), and steers the ratio.
class CDriftFollower {
public:
	// Gains of the loop: critically damped, natural frequency 2 pi x 0.01 Hz.
	static constexpr double kLoopHz = 0.01;
	// The ratio follows drifts up to 1000 ppm either way, with room beyond to bring the delay
	// back to its target at that drift.
	static constexpr double kMaxCorrection = 1100e-6;
	static constexpr double kUpdateSeconds = 0.1;      // the ratio changes at most this often...
	static constexpr double kMaxStep = 4.5e-6;         // ...by at most this much...
	// ...and at most this much a second (with updates 100 ms apart, give or take a device's clock,
	// no second sees more than 50 ppm)
	static constexpr double kMaxSlewPerSecond = 45e-6;
	static constexpr double kSkipAboveSeconds = 0.1;   // a delay this far above the target is cut at once
	// The delay is smoothed over a few seconds before it steers: late blocks leave the arrivals'
	// line a wander of a tenth of a millisecond over seconds, which the loop's gain would make
	// into ratio changes of tens of ppm.
	static constexpr double kErrorSmoothingSeconds = 3.0;
	// The two lines' rates say the clocks' ratio directly, long before the delay has moved enough
	// to tell it: once both are this old, the loop's integrator is drawn to what they say, with
	// this time constant, so that it need not learn the drift from errors of the delay (a device's
	// start, or a jump of the measured delay, would otherwise swing the ratio far off it).
	// Within a few tens of ppm the loop itself is the better judge (the rates wander with late
	// blocks): only a larger disagreement draws the integrator.
	static constexpr double kRatesTrustedAfterSeconds = 4.0;
	static constexpr double kRatesPullSeconds = 5.0;
	static constexpr double kRatesDisagreement = 80e-6;
	// Beyond the measured needs: what the loop lets the delay fall below its target when the
	// clocks' ratio jumps by 400 ppm at once (3.4 ms in bench/DriftBench.cpp's step), and a little.
	static constexpr double kMarginSeconds = 0.004;
	// The target moves at most this fast: a step of it would kick the loop.
	static constexpr double kTargetSlewPerSecond = 0.0001;
	// At its first start the loop has yet to learn the clocks: at 45 ppm a second a drift of
	// 600 ppm takes 13 s to follow, and the delay sinks meanwhile. So the first start places the
	// audio this much later, for half a minute, and then gives it back over 200 s (the ratio
	// leans 20 ppm, which nobody hears). Later starts keep the ratio learned and need none.
	static constexpr double kStartAllowanceSeconds = 0.004;
	static constexpr double kAllowanceHoldSeconds = 30.0;
	static constexpr double kAllowanceReturnPerSecond = 0.00002;

	CDriftFollower();
	// The stream's rate and the device's; the nominal ratio is their quotient.
	void Configure(int inputRate, int outputRate);
	// Starts over: waits for the level again, keeps the correction learned. `deviceLost`: the
	// device dropped what it held (a re-opened stream), so its playhead is learned anew too.
	void Restart(bool deviceLost);

	CDriftPlan Plan(const CDriftWriterState& writer, const CDriftFillInfo& fill);
	// After the fill: `starved` when the queue ran dry while playing (an underrun).
	void FillDone(const CDriftFillInfo& fill, bool starved);

	bool IsPlaying() const { return mPlaying; }
	double Correction() const { return mCorrection; } // ratio / nominal ratio - 1
	double Ratio() const { return mNominalRatio * (1.0 + mCorrection); }
	double TargetSeconds() const { return mTarget; }
	double DelaySeconds() const { return mDelay; } // at the last fill, smoothed, arrival to playing
	int64_t Underruns() const { return mUnderruns; }
	int64_t Skips() const { return mSkips; }
	int64_t Starts() const { return mStarts; }

private:
	void UpdateTarget(const CDriftWriterState& writer, const CDriftFillInfo& fill);
	// `measured`: the correction the two lines' rates say, NaN while they are too young.
	void Steer(int64_t nowNs, double error, double measured);

	double mInputRate, mOutputRate, mNominalRatio;
	CFrameClock mPlayhead;   // output frames played, against time
	CRecentPeak mCapacity;   // device-held plus fill, output frames
	CRecentPeak mEarliness;  // seconds fills came before the device's smoothed line
	int64_t mWritten;        // output frames written so far
	bool mPlaying;
	double mCorrection;      // applied
	double mIntegral;        // the loop's integrator, in ratio units
	double mSmoothedError;   // seconds
	double mErrorSum;        // delay errors since the last update...
	int mErrorCount;
	int64_t mLastUpdateNs;
	bool mUpdated;
	double mTarget, mDelay;
	int64_t mTargetNs;       // when the target last moved
	int64_t mFirstStartNs;   // for the start's allowance
	int64_t mUnderruns, mSkips, mStarts;
};

#endif
