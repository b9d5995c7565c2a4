#include "AudioResampler.h"

#include "AudioOut.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// Ratios near 1 with a denominator the resampler handles in one step are 15 ppm apart: finer
// ones take this denominator (0.24 ppm apart).
const uint32_t kFineDenominator = 1u << 22;
// A ratio of small terms that is this close is taken as it is (rate changes live there).
const double kRatioTolerance = 0.05e-6;
const uint32_t kOneStepDenominator = 65535;

uint32_t Gcd(uint32_t a, uint32_t b) {
	while (b) {
		const uint32_t t = a % b;
		a = b;
		b = t;
	}
	return a;
}

// The closest fraction to `x` with a denominator of at most `maxDen` (continued fractions).
void ClosestFraction(double x, uint32_t maxDen, uint32_t& num, uint32_t& den) {
	uint64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
	double r = x;
	for (int i = 0; i < 64; ++i) {
		const double a = std::floor(r);
		const uint64_t ai = uint64_t(a);
		const uint64_t q2 = q0 + ai * q1;
		if (q2 > maxDen) {
			// The best semi-convergent under the bound, or the last convergent.
			const uint64_t k = (maxDen - q0) / q1;
			const uint64_t pk = p0 + k * p1, qk = q0 + k * q1;
			if (std::fabs(double(pk) / double(qk) - x) < std::fabs(double(p1) / double(q1) - x))
				p1 = pk, q1 = qk;
			break;
		}
		const uint64_t p2 = p0 + ai * p1;
		p0 = p1, q0 = q1, p1 = p2, q1 = q2;
		if (r - a < 1e-12)
			break;
		r = 1.0 / (r - a);
	}
	num = uint32_t(std::max<uint64_t>(p1, 1));
	den = uint32_t(q1);
}

} // namespace

CAudioResampler::CAudioResampler()
    : mQueue(nullptr), mResampler(nullptr), mChannels(0), mInputRate(0), mOutputRate(0), mMaxFrames(0), mQuality(0),
      mHalfFilter(0), mStaging(nullptr), mStagingFrames(0), mStaged(0), mPhase(0.0), mAppliedRatio(0.0) {}

CAudioResampler::~CAudioResampler() {
	Destroy();
}

void CAudioResampler::Destroy() {
	if (mResampler)
		speex_resampler_destroy(mResampler);
	mResampler = nullptr;
	free(mStaging);
	mStaging = nullptr;
	mStagingFrames = mStaged = 0;
	mQueue = nullptr;
}

bool CAudioResampler::IsPreparedFor(const CAudioBufferList& queue, int outputRate, int maxFrames) const {
	return mResampler && mQueue == &queue && mChannels == queue.GetChannelCount()
	       && mInputRate == queue.GetSampleRate() && mOutputRate == outputRate && mMaxFrames >= maxFrames;
}

bool CAudioResampler::Prepare(CAudioBufferList& queue, int outputRate, int maxFrames) {
	Destroy();
	const int channels = queue.GetChannelCount(), inputRate = queue.GetSampleRate();
	if (channels <= 0 || inputRate <= 0 || outputRate <= 0 || maxFrames <= 0)
		return false;
	mChannels = channels;
	mInputRate = inputRate;
	mOutputRate = outputRate;
	mMaxFrames = maxFrames;
	mQuality = inputRate == outputRate ? kDriftQuality : kRateChangeQuality;
	int error = 0;
	mResampler = speex_resampler_init(uint32_t(channels), uint32_t(inputRate), uint32_t(outputRate), mQuality, &error);
	if (error != 0 || !mResampler) {
		if (mResampler)
			speex_resampler_destroy(mResampler);
		mResampler = nullptr;
		return false;
	}
	// A ratio above 1 (taking more input per output frame) lengthens the filter, and with it the
	// resampler's tables: set the largest it will ever take now, so that no fill grows them.
	const double nominal = double(inputRate) / outputRate;
	mAppliedRatio = 0.0;
	if (!SetRatio(nominal * (1.0 + 2.0 * CDriftFollower::kMaxCorrection)) || !SetRatio(nominal)) {
		Destroy();
		return false;
	}
	mHalfFilter = speex_resampler_get_input_latency(mResampler);
	const double largest = nominal * (1.0 + 2.0 * CDriftFollower::kMaxCorrection);
	mStagingFrames = int64_t(std::ceil(maxFrames * largest)) + 2 * mHalfFilter + 16;
	if (double(mStagingFrames) * channels * sizeof(float) > double(INT_MAX)) {
		Destroy();
		return false;
	}
	mStaging = static_cast<float*>(malloc(size_t(mStagingFrames) * size_t(channels) * sizeof(float)));
	if (!mStaging) {
		Destroy();
		return false;
	}
	mStaged = 0;
	mPhase = 0.0;
	mQueue = &queue;
	mFollower.Configure(inputRate, outputRate);
	return true;
}

void CAudioResampler::DeviceRestarted() {
	mFollower.Restart(true);
}

// Sets the resampler's ratio of input to output frames as a fraction. Its fine-grained setting
// rescales the phase through a 32-bit product of the old and new denominators, which would
// overflow (and leave it half changed) for the fine ratios near 1: such a change goes through a
// fraction with a denominator small enough for both products, chosen near the ratio so that the
// filter keeps its length.
bool CAudioResampler::SetRatio(double ratio) {
	if (!mResampler || !(ratio > 0.0))
		return false;
	uint32_t num = 0, den = 0;
	ClosestFraction(ratio, kOneStepDenominator, num, den);
	if (std::fabs(double(num) / den - ratio) > kRatioTolerance * ratio) {
		den = kFineDenominator;
		num = uint32_t(std::llround(ratio * den));
	}
	const uint32_t common = Gcd(num, den);
	num /= common;
	den /= common;
	uint32_t oldNum = 0, oldDen = 0;
	speex_resampler_get_ratio(mResampler, &oldNum, &oldDen);
	if (num == oldNum && den == oldDen)
		return true;
	const uint32_t in = uint32_t(mInputRate), out = uint32_t(mOutputRate);
	if (oldDen > 1 && uint64_t(oldDen - 1) * den > UINT32_MAX) {
		uint32_t stepDen = uint32_t(UINT32_MAX / std::max(oldDen, den));
		uint32_t stepNum = uint32_t(std::max<int64_t>(1, std::llround(ratio * stepDen)));
		// Coprime, or it would shrink to a coarser denominator and lose the phase.
		while (Gcd(stepNum, stepDen) != 1)
			++stepNum;
		if (speex_resampler_set_rate_frac(mResampler, stepNum, stepDen, in, out) != RESAMPLER_ERR_SUCCESS)
			return false;
	}
	if (speex_resampler_set_rate_frac(mResampler, num, den, in, out) != RESAMPLER_ERR_SUCCESS)
		return false;
	mAppliedRatio = double(num) / den;
	return true;
}

void CAudioResampler::Skip(int64_t frames) {
	const int64_t fromStaging = std::min(frames, mStaged);
	if (fromStaging > 0) {
		mStaged -= fromStaging;
		const size_t channels = size_t(mChannels);
		memmove(mStaging, mStaging + size_t(fromStaging) * channels, size_t(mStaged) * channels * sizeof(float));
	}
	if (frames > fromStaging)
		mQueue->SkipData(frames - fromStaging);
}

int CAudioResampler::Fill(float* dest, int frames, int deviceHeld, int64_t nowNs) {
	if (!dest || frames <= 0)
		return 0;
	if (!mResampler || !mQueue || frames > mMaxFrames || mQueue->GetChannelCount() != mChannels)
		return -1;
	const size_t channels = size_t(mChannels);
	int64_t readPosition = 0, waiting = 0;
	CDriftWriterState writer;
	mQueue->GetReadState(readPosition, waiting, writer);

	CDriftFillInfo fill;
	fill.mNowNs = nowNs;
	fill.mFrames = frames;
	fill.mDeviceHeld = std::max(deviceHeld, 0);
	fill.mReadPosition = readPosition - mStaged; // the next frame the resampler takes
	fill.mWaiting = waiting + mStaged;
	fill.mNextPosition = double(fill.mReadPosition) - mHalfFilter + mPhase;
	fill.mLookahead = mHalfFilter;
	const CDriftPlan plan = mFollower.Plan(writer, fill);

	float* out = dest;
	int left = frames;
	const int silence = std::min(plan.mSilence, left);
	std::fill(out, out + size_t(silence) * channels, 0.0f);
	out += size_t(silence) * channels;
	left -= silence;
	if (plan.mStart) {
		// From silence: nothing of the old stream stays in the filter.
		speex_resampler_reset_mem(mResampler);
		speex_resampler_skip_zeros(mResampler);
		mPhase = mHalfFilter; // the first frame made is centred on the first frame taken
	}
	if (plan.mSkip > 0)
		Skip(plan.mSkip);

	bool starved = false;
	int made = 0;
	if (plan.mPlay && left > 0) {
		if (plan.mRatio != mAppliedRatio)
			SetRatio(plan.mRatio);
		const double ratio = mAppliedRatio;
		// Enough for every frame asked (right after a start the phase holds half the filter).
		const int64_t needed = std::min<int64_t>(int64_t(std::ceil(mPhase + left * ratio)) + 2, mStagingFrames);
		if (mStaged < needed) {
			const int64_t wanted = needed - mStaged;
			int delivered = 0;
			mQueue->GetData(mChannels, mStaging + size_t(mStaged) * channels, int(wanted * int64_t(channels) * 4),
			                int(wanted), delivered, false);
			mStaged += delivered;
		}
		spx_uint32_t consumed = spx_uint32_t(mStaged), produced = spx_uint32_t(left);
		speex_resampler_process_interleaved_float(mResampler, mStaging, &consumed, out, &produced);
		consumed = std::min(consumed, spx_uint32_t(mStaged));
		produced = std::min(produced, spx_uint32_t(left));
		mStaged -= consumed;
		if (mStaged > 0)
			memmove(mStaging, mStaging + size_t(consumed) * channels, size_t(mStaged) * channels * sizeof(float));
		// The output frames advanced the position by `ratio` each; what the resampler took is
		// the whole part.
		mPhase = std::min(std::max(mPhase + produced * ratio - double(consumed), 0.0), 0.999999);
		made = int(produced);
		out += size_t(produced) * channels;
		left -= int(produced);
		starved = left > 0;
	}
	std::fill(out, out + size_t(left) * channels, 0.0f);
	mFollower.FillDone(fill, starved);
	return made;
}
