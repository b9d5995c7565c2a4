// What the host tool's watch verb left behind (run by watch.sh): the last picture of actor 1 must
// be the test pattern with a readable frame number, the sound must be the pattern's tones at the
// chosen volume, and the tool's per-second lines must show the outputs moving.
// The run's settings come in the environment:
//   VIDRANE_DEMO_DIR     the folder with last.png, played.wav and watch.log
//   VIDRANE_DEMO_SIZE    the picture size the actor was given, "WxH"
//   VIDRANE_DEMO_VOLUME  the actors' volume, 0 to 100
//   VIDRANE_DEMO_RATE    the rate the device's sound was recorded at
//   VIDRANE_DEMO_ACTORS  how many actors watched
#include "MediaFiles.h"
#include "RefHost.h"
#include "ndi_standin_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

const double kPi = 3.14159265358979323846;

std::string Setting(const char* name) {
	const char* value = getenv(name);
	return value ? value : "";
}
std::string DemoFile(const char* name) {
	return refhost::NativePath(Setting("VIDRANE_DEMO_DIR") + "/" + name);
}
double Volume() {
	return atof(Setting("VIDRANE_DEMO_VOLUME").c_str());
}

// ---- The picture ------------------------------------------------------------------------------

class DemoPicture : public ::testing::Test {
protected:
	void SetUp() override {
		ASSERT_TRUE(refhost::ReadPNG(DemoFile("last.png"), &width, &height, &rgb)) << DemoFile("last.png");
		ASSERT_EQ(rgb.size(), size_t(width) * height * 3);
	}
	const uint8_t* Pixel(uint32_t x, uint32_t y) const { return &rgb[(size_t(y) * width + x) * 3]; }

	uint32_t width = 0, height = 0;
	std::vector<uint8_t> rgb;
};

TEST_F(DemoPicture, HasTheSizeTheActorWasGiven) {
	unsigned w = 0, h = 0;
	ASSERT_EQ(sscanf(Setting("VIDRANE_DEMO_SIZE").c_str(), "%ux%u", &w, &h), 2);
	EXPECT_EQ(width, w);
	EXPECT_EQ(height, h);
}

TEST_F(DemoPicture, ShowsTheEightColourBars) {
	// R, G, B from left to right: white, yellow, cyan, green, magenta, red, blue, black.
	static const uint8_t kBars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
	                                    {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
	// Rows between the code band and the moving square, and below the square.
	for (uint32_t y : {height * 3 / 16, height * 13 / 16})
		for (int bar = 0; bar < 8; ++bar) {
			uint32_t x = uint32_t((2 * bar + 1) * width / 16);
			for (int c = 0; c < 3; ++c)
				EXPECT_NEAR(Pixel(x, y)[c], kBars[bar][c], 16) << "bar " << bar << " at (" << x << ", " << y << ")";
		}
}

TEST_F(DemoPicture, CarriesAFrameNumberInItsCodeBand) {
	// Each of the 40 cells of the top rows is all white or all black.
	for (int cell = 0; cell < 40; ++cell) {
		uint32_t x = uint32_t((2 * cell + 1) * width / 80);
		uint8_t v = Pixel(x, 0)[0];
		EXPECT_TRUE(v < 32 || v > 223) << "cell " << cell << " is neither white nor black: " << int(v);
		for (int c = 0; c < 3; ++c)
			EXPECT_EQ(Pixel(x, 1)[c], v) << "cell " << cell;
	}
	// The stand-in's own reader agrees that the band holds a number.
	std::vector<uint8_t> rgbx(size_t(width) * height * 4, 255);
	for (size_t i = 0; i < size_t(width) * height; ++i)
		std::copy_n(&rgb[i * 3], 3, &rgbx[i * 4]);
	NDIlib_video_frame_v2_t frame{};
	frame.xres = int(width);
	frame.yres = int(height);
	frame.FourCC = NDIlib_FourCC_video_type_RGBX;
	frame.p_data = rgbx.data();
	frame.line_stride_in_bytes = int(width * 4);
	EXPECT_GE(ndi_standin_pattern_frame_number(&frame), 0);
}

// ---- The tool's lines ---------------------------------------------------------------------------

// One per-second line of the watch verb: "   3 s  frames 29 29  sources 1 1  audio channels 2 2
// alerts 0  picture 640x360 #87".
struct Second {
	std::vector<long long> frames, sources, channels;
	long long picture = -1;
};

// The `count` values after the label, one an actor; "-" (no value yet) reads as -1.
std::vector<long long> NumbersAfter(const std::string& line, const std::string& label, size_t count) {
	std::vector<long long> numbers;
	size_t at = line.find("  " + label + " ");
	if (at == std::string::npos)
		return numbers;
	std::istringstream words(line.substr(at + label.size() + 3));
	std::string word;
	while (numbers.size() < count && words >> word)
		numbers.push_back(word == "-" ? -1 : atoll(word.c_str()));
	return numbers;
}

class DemoLog : public ::testing::Test {
protected:
	void SetUp() override {
		actors = size_t(atoi(Setting("VIDRANE_DEMO_ACTORS").c_str()));
		ASSERT_GE(actors, 1u);
		FILE* f = fopen(DemoFile("watch.log").c_str(), "rb");
		ASSERT_NE(f, nullptr) << DemoFile("watch.log");
		char buffer[4096];
		while (fgets(buffer, sizeof(buffer), f)) {
			std::string line(buffer);
			lines.push_back(line);
			if (line.find(" s  frames ") == std::string::npos)
				continue;
			Second s;
			s.frames = NumbersAfter(line, "frames", actors);
			s.sources = NumbersAfter(line, "sources", actors);
			s.channels = NumbersAfter(line, "audio channels", actors);
			size_t hash = line.find('#');
			if (hash != std::string::npos)
				s.picture = atoll(line.c_str() + hash + 1);
			seconds.push_back(s);
		}
		fclose(f);
		ASSERT_GE(seconds.size(), 3u) << "the tool printed too few lines a second";
	}

	size_t actors = 0;
	std::vector<std::string> lines;
	std::vector<Second> seconds;
};

TEST_F(DemoLog, EveryActorShowsFramesAndReportsTheSourceAndItsChannels) {
	std::vector<long long> shown(actors, 0);
	for (const Second& s : seconds)
		for (size_t a = 0; a < actors && a < s.frames.size(); ++a)
			shown[a] += std::max(0LL, s.frames[a]);
	const Second& last = seconds.back();
	for (size_t a = 0; a < actors; ++a) {
		EXPECT_GT(shown[a], 0) << "actor " << a + 1;
		ASSERT_EQ(last.sources.size(), actors);
		EXPECT_EQ(last.sources[a], 1) << "actor " << a + 1 << " sees only the test source";
		EXPECT_EQ(last.channels[a], 2) << "actor " << a + 1 << " reports the stream's channels";
	}
}

TEST_F(DemoLog, PictureNumbersIncreaseUpToTheOneWritten) {
	std::vector<long long> numbers;
	for (const Second& s : seconds)
		if (s.picture >= 0)
			numbers.push_back(s.picture);
	ASSERT_GE(numbers.size(), 2u) << "frame numbers are readable from the host's copy of output 1";
	EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
	EXPECT_LT(numbers.front(), numbers.back());

	// The tool names the number of the picture it wrote; nothing it showed before was newer.
	long long written = -1;
	for (const std::string& line : lines)
		if (line.rfind("picture: ", 0) == 0 && line.find("frame #") != std::string::npos)
			written = atoll(line.c_str() + line.find("frame #") + 7);
	EXPECT_GE(written, numbers.back());
}

// ---- The sound ----------------------------------------------------------------------------------

// Windows of 20 ms whose every eighth holds sound: their spectrum's peak (in 50 Hz bins) and
// their peak level. A window across a gap or the start of the sound is left out.
struct ToneAnalysis {
	size_t windows = 0;
	std::vector<int> peakBins;
	std::vector<double> levels;
};

ToneAnalysis Analyse(const std::vector<float>& interleaved, int channels, int channel, int rate, double threshold) {
	ToneAnalysis result;
	const size_t n = size_t(rate / 50), part = n / 8, frames = interleaved.size() / size_t(channels);
	std::vector<double> x(n);
	for (size_t start = 0; start + n <= frames; start += n) {
		for (size_t i = 0; i < n; ++i)
			x[i] = interleaved[(start + i) * size_t(channels) + size_t(channel)];
		// An eighth of the window is longer than half a period of either tone: one with sound
		// reaches the tone's peak.
		bool sounding = true;
		double peak = 0;
		for (size_t p = 0; p < 8 && sounding; ++p) {
			double partPeak = 0;
			for (size_t i = p * part; i < (p + 1) * part; ++i)
				partPeak = std::max(partPeak, std::fabs(x[i]));
			sounding = partPeak > threshold;
			peak = std::max(peak, partPeak);
		}
		if (!sounding)
			continue;
		++result.windows;
		int best = 0;
		double bestMagnitude = -1;
		for (int bin = 1; bin <= 100; ++bin) { // 50 Hz to 5 kHz
			double re = 0, im = 0;
			for (size_t i = 0; i < n; ++i) {
				double phase = 2 * kPi * double(bin) * double(i) / double(n);
				re += x[i] * std::cos(phase);
				im -= x[i] * std::sin(phase);
			}
			double magnitude = re * re + im * im;
			if (magnitude > bestMagnitude)
				bestMagnitude = magnitude, best = bin;
		}
		result.peakBins.push_back(best);
		result.levels.push_back(peak);
	}
	return result;
}

double Median(std::vector<double> values) {
	std::sort(values.begin(), values.end());
	return values.empty() ? 0.0 : values[values.size() / 2];
}

TEST(DemoSound, EachChannelCarriesItsToneAtTheChosenVolume) {
	int rate = 0, channels = 0;
	std::vector<float> samples;
	ASSERT_TRUE(refhost::ReadWAV(DemoFile("played.wav"), &rate, &channels, &samples)) << DemoFile("played.wav");
	EXPECT_EQ(rate, atoi(Setting("VIDRANE_DEMO_RATE").c_str()));
	ASSERT_EQ(channels, 2) << "the device plays the stream's two channels";

	const double amplitude = 0.5 * Volume() / 100.0;
	for (int c = 0; c < channels; ++c) {
		SCOPED_TRACE("channel " + std::to_string(c));
		ToneAnalysis tone = Analyse(samples, channels, c, rate, amplitude / 4);
		// A loaded machine plays with gaps; a fifth of a second of sound is plenty to judge.
		ASSERT_GE(tone.windows, 10u) << "too little sound in " << double(samples.size()) / channels / rate << " s";
		const int expectedBin = int(std::lround(ndi_standin_pattern_tone_hz(c) / 50.0));
		size_t right = size_t(std::count(tone.peakBins.begin(), tone.peakBins.end(), expectedBin));
		EXPECT_GE(right * 10, tone.windows * 9) << right << " of " << tone.windows << " windows peak at "
		                                        << ndi_standin_pattern_tone_hz(c) << " Hz";
		EXPECT_NEAR(Median(tone.levels), amplitude, amplitude * 0.1);
	}
}

} // namespace
