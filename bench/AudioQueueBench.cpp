// Speed of the audio queue's two sides, each as a ratio to memcpy of the same number of bytes
// measured in the same run (1.0: as fast as memcpy; higher is faster):
// - the producer's planar-to-interleaved build of one received block (1600 frames, 2 and 8
//   channels), allocation and release included;
// - the reader's 4800-frame stereo fill from 1600-frame blocks, at gain 1.0 and at gain 0.5,
//   against memcpy of the same blocks.
// After Google Benchmark's own table, one line per ratio: "RATIO <name> <value> (aim <aim>)",
// each from the best of the repetitions of the benchmark and of its baseline.
#include "AudioOut.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kBlockFrames = 1600; // one received audio frame of 48 kHz audio at 30 frames a second
constexpr int kFillFrames = 4800;  // one 100 ms device buffer at 48 kHz
constexpr int kFillChannels = 2;
constexpr int kRepetitions = 10;

std::vector<float> Samples(size_t count) {
	std::vector<float> samples(count);
	for (size_t i = 0; i < count; ++i)
		samples[i] = float(i % 1000) / 1000.0f - 0.5f;
	return samples;
}

// memcpy of `bytes` from and to memory in the cache.
void Memcpy(benchmark::State& state, size_t bytes) {
	std::vector<float> src = Samples(bytes / sizeof(float));
	std::vector<float> dst(src.size());
	for (auto _ : state) {
		memcpy(dst.data(), src.data(), bytes);
		benchmark::DoNotOptimize(dst.data());
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void PlanarBlock(benchmark::State& state, int channels) {
	std::vector<float> planar = Samples(size_t(channels) * kBlockFrames);
	for (auto _ : state) {
		CAudioBuffer* block = new CAudioBuffer(channels, planar.data(), channels, kBlockFrames, false);
		benchmark::DoNotOptimize(block->GetSamples());
		block->Release();
	}
	state.SetBytesProcessed(int64_t(state.iterations()) * channels * kBlockFrames * int64_t(sizeof(float)));
}

// Only the fill is timed; queueing the three blocks it drains is the producer's work. Its
// baseline (`gain` 0) copies the same blocks, made the same way just before, with three memcpy
// calls instead, so that both read memory in the same state.
void Fill(benchmark::State& state, float gain) {
	const bool baseline = gain == 0.0f;
	CAudioBufferList list(kFillChannels, 48000, kFillFrames);
	std::vector<float> interleaved = Samples(size_t(kFillChannels) * kBlockFrames);
	std::vector<float> out(size_t(kFillChannels) * kFillFrames);
	const int bytes = int(out.size() * sizeof(float));
	const size_t blockBytes = size_t(kFillChannels) * kBlockFrames * sizeof(float);
	int delivered = 0;
	// Settle the volume first, so that every timed fill runs at the steady gain.
	list.SetVolume(gain);
	CAudioBuffer* settle = new CAudioBuffer(kFillChannels, interleaved.data(), kFillChannels, kBlockFrames, true);
	list.AppendBuffer(settle);
	settle->Release();
	list.GetData(kFillChannels, out.data(), bytes, kBlockFrames, delivered, true);

	CAudioBuffer* blocks[kFillFrames / kBlockFrames];
	for (auto _ : state) {
		for (CAudioBuffer*& block : blocks) {
			block = new CAudioBuffer(kFillChannels, interleaved.data(), kFillChannels, kBlockFrames, true);
			if (!baseline) {
				list.AppendBuffer(block);
				block->Release();
			}
		}
		const auto start = std::chrono::steady_clock::now();
		if (baseline) {
			for (size_t i = 0; i < kFillFrames / kBlockFrames; ++i)
				memcpy(out.data() + i * blockBytes / sizeof(float), blocks[i]->GetSamples(), blockBytes);
		} else {
			list.GetData(kFillChannels, out.data(), bytes, kFillFrames, delivered, true);
		}
		benchmark::DoNotOptimize(out.data());
		benchmark::ClobberMemory();
		state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
		if (baseline) {
			for (CAudioBuffer* block : blocks)
				block->Release();
		} else if (delivered != kFillFrames) {
			state.SkipWithError("the fill came up short");
			break;
		}
	}
	state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
}

// The console table as usual, and the best repetition of every benchmark kept by name: other
// work on the machine only ever makes a repetition slower.
class RatioReporter : public benchmark::ConsoleReporter {
public:
	void ReportRuns(const std::vector<Run>& runs) override {
		ConsoleReporter::ReportRuns(runs);
		for (const Run& run : runs)
			if (!run.error_occurred && run.run_type == Run::RT_Aggregate && run.aggregate_name == "min")
				mBest[run.run_name.function_name] = run.GetAdjustedRealTime();
	}
	double Best(const std::string& name) const {
		auto it = mBest.find(name);
		return it == mBest.end() ? 0.0 : it->second;
	}

private:
	std::map<std::string, double> mBest;
};

struct Ratio {
	const char* name;
	const char* measured;
	const char* baseline;
	double aim; // 0: none
};

const size_t kBlock2Bytes = size_t(2) * kBlockFrames * sizeof(float);
const size_t kBlock8Bytes = size_t(8) * kBlockFrames * sizeof(float);

const Ratio kRatios[] = {
	{"planar_block_2ch", "planar_block/2ch", "memcpy/12800", 0.5},
	{"planar_block_8ch", "planar_block/8ch", "memcpy/51200", 0.5},
	{"fill_gain_1.0", "fill/gain_1.0", "memcpy_blocks/38400", 0.8},
	{"fill_gain_0.5", "fill/gain_0.5", "memcpy_blocks/38400", 0.0},
};

template <class F>
void Register(const char* name, F&& f, bool manual) {
	auto* b = benchmark::RegisterBenchmark(name, std::forward<F>(f));
	b->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
	b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
	if (manual)
		b->UseManualTime();
}

} // namespace

int main(int argc, char** argv) {
	Register("memcpy/12800", [](benchmark::State& s) { Memcpy(s, kBlock2Bytes); }, false);
	Register("memcpy/51200", [](benchmark::State& s) { Memcpy(s, kBlock8Bytes); }, false);
	Register("memcpy_blocks/38400", [](benchmark::State& s) { Fill(s, 0.0f); }, true);
	Register("planar_block/2ch", [](benchmark::State& s) { PlanarBlock(s, 2); }, false);
	Register("planar_block/8ch", [](benchmark::State& s) { PlanarBlock(s, 8); }, false);
	Register("fill/gain_1.0", [](benchmark::State& s) { Fill(s, 1.0f); }, true);
	Register("fill/gain_0.5", [](benchmark::State& s) { Fill(s, 0.5f); }, true);

	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	RatioReporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	benchmark::Shutdown();

	// On a line of its own, after whatever the table's colours left behind.
	std::cout << "\nSpeed relative to memcpy of the same bytes, best of " << kRepetitions << " repetitions:\n";
	for (const Ratio& r : kRatios) {
		const double measured = reporter.Best(r.measured), baseline = reporter.Best(r.baseline);
		if (measured <= 0.0 || baseline <= 0.0)
			continue; // filtered out or failed
		std::cout << "RATIO " << r.name << " " << std::fixed << std::setprecision(3) << baseline / measured;
		if (r.aim > 0.0)
			std::cout << " (aim " << std::setprecision(1) << r.aim << ")";
		std::cout << "\n";
	}
	std::cout << std::flush;
	return 0;
}
