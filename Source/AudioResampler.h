// The reader side of an output's queue on both platforms: frames read through one speexdsp
// resampler that follows the device's clock (AudioDrift.h), and changes the stream's rate to the
// device's in the same pass when they differ.
#ifndef AUDIO_RESAMPLER_H
#define AUDIO_RESAMPLER_H

#include "AudioDrift.h"

#include <cstdint>

class CAudioBufferList;
typedef struct SpeexResamplerState_ SpeexResamplerState;

class CAudioResampler {
public:
	// Where the rates differ, the quality the rate change has always had; where only the clocks
	// do, the cheapest that stays clean (bench/DriftBench.cpp measures both).
	static constexpr int kRateChangeQuality = 10;
	static constexpr int kDriftQuality = 5;

	CAudioResampler();
	~CAudioResampler();

	// Outside the fills (it allocates): makes the resampler for the queue's channel count and
	// rate and the device's rate, with room for fills of up to `maxFrames` at any ratio it may
	// take, so that no fill allocates. Again (before the next fill) whenever one of those
	// changes. False when out of memory: fills then write silence.
	bool Prepare(CAudioBufferList& queue, int outputRate, int maxFrames);
	bool IsPreparedFor(const CAudioBufferList& queue, int outputRate, int maxFrames) const;
	// The device dropped what it held (its stream was opened again): the level is waited for
	// again and the device's clock learned anew; the correction learned stays.
	void DeviceRestarted();

	// The fill, on the device's thread. Writes exactly `frames` frames of the queue's channel
	// layout into `dest` at the device's rate and returns how many of them are audio from the
	// queue (the rest is silence: before the level is reached, or when the queue ran dry).
	// `deviceHeld`: output frames the device still holds ahead of this fill, and `nowNs` when
	// that was so (DriftClockNow). Not prepared for the queue as it is (or for that many frames),
	// it writes nothing and returns -1.
	int Fill(float* dest, int frames, int deviceHeld, int64_t nowNs);

	// The fill thread's own view (underruns, ratio, delay and target), for diagnosis and tests.
	const CDriftFollower& Follower() const { return mFollower; }
	int Quality() const { return mQuality; }
	double AppliedRatio() const { return mAppliedRatio; } // what the resampler runs at

private:
	CAudioResampler(const CAudioResampler&) = delete;
	CAudioResampler& operator=(const CAudioResampler&) = delete;

	void Destroy();
	bool SetRatio(double ratio);
	void Skip(int64_t frames);

	CAudioBufferList* mQueue;
	SpeexResamplerState* mResampler;
	int mChannels, mInputRate, mOutputRate, mMaxFrames, mQuality;
	int mHalfFilter;          // input frames the resampler reads beyond the frame it makes
	float* mStaging;          // input read from the queue, not yet taken by the resampler
	int64_t mStagingFrames;   // its capacity
	int64_t mStaged;
	double mPhase;            // the next output frame's position beyond the next input frame
	double mAppliedRatio;
	CDriftFollower mFollower;
};

#endif
