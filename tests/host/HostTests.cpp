// The reference host's own checks: if these could not fail, no plug-in test could either.
#include "RefHost.h"

#include <gtest/gtest.h>

#include <cstring>

using refhost::Host;

namespace {

template <typename Fn>
Fn Slot(const Host& host, size_t offset) {
	return reinterpret_cast<Fn>(host.serviceTable()[offset / 8]);
}

const char kGoodLine[] = "INPROP\t\tname\t\tabcd\tint\t\t\tnumber\t\t0\t\t1\t\t1\r";

} // namespace

TEST(HostPropertyText, AcceptsWellFormedLinesWithAnEmptyLastField) {
	std::vector<refhost::PropertyDef> defs;
	std::string error;
	ASSERT_TRUE(refhost::ParsePropertyText("INPROP\tsrc\tsysv\tstring\ttext\t*\t*\t\t\r"
	                                       "OUTPROP\t\tout\t\tvido\tdata\t\ttexture\t*\t*\t0\r",
	                                       &defs, &error))
		<< error;
	ASSERT_EQ(defs.size(), 2u);
	EXPECT_EQ(defs[0].def, "");
	EXPECT_EQ(defs[1].index, 1);
	EXPECT_FALSE(defs[1].input);
}

TEST(HostPropertyText, RejectsMalformedText) {
	const char* bad[] = {
		"",                                                           // nothing
		"INPROP\t\tname\t\tabcd\tint\t\t\tnumber\t\t0\t\t1\t\t1",      // no final carriage return
		"INPROP\t\tname\t\tabcd\tint\t\t\tnumber\t\t0\t\t1\r",         // seven fields
		"INPUT\t\tname\t\tabcd\tint\t\t\tnumber\t\t0\t\t1\t\t1\r",     // unknown direction
		"INPROP\t\tname\t\tabc\tint\t\t\tnumber\t\t0\t\t1\t\t1\r",     // three-character identifier
		"INPROP\t\tname\t\tabcd\tbool\t\t\tnumber\t\t0\t\t1\t\t1\r",   // unknown type
		"INPROP\t\tname\t\tabcd\tint\t\t\tnumber\t\t0\t\t1\t\tone\r",  // default not a number
		"INPROP\t\tname\t\tabcd\tint\t\t\tnumber\t\tlow\t\t1\t\t1\r",  // limit not a number
		"INPROP\t\tname\t\tabcd\tint\t\t\tnumber\t\t0\t\t1\t\t1\r\n",  // line feed
	};
	for (const char* text : bad) {
		std::vector<refhost::PropertyDef> defs;
		std::string error;
		EXPECT_FALSE(refhost::ParsePropertyText(text, &defs, &error)) << "accepted: " << text;
		EXPECT_FALSE(error.empty());
	}
	std::vector<refhost::PropertyDef> defs;
	std::string error;
	EXPECT_TRUE(refhost::ParsePropertyText(kGoodLine, &defs, &error)) << error;
}

TEST(HostPopup, EntriesAreTheCarriageReturnEndedPieces) {
	refhost::Host::Popup popup;
	EXPECT_TRUE(popup.entries().empty());
	popup.text = "None\r\rStudio Interface\r";
	EXPECT_EQ(popup.entries(), (std::vector<std::string>{"None", "", "Studio Interface"}));
	// What follows the last carriage return is not an entry.
	popup.text = "None\rBuilt-in Out";
	EXPECT_EQ(popup.entries(), std::vector<std::string>{"None"});
}

TEST(HostServices, UndefinedSlotsAreTrapsThatRecordTheirOffset) {
	Host host;
	Slot<int64_t (*)()>(host, 32)();
	Slot<int64_t (*)()>(host, 2040)();
	EXPECT_EQ(host.trapsCalled(), (std::vector<size_t>{32, 2040}));
	// Defined services are not traps.
	Slot<void (*)(const char*, const char*)>(host, 0)("message", "detail");
	EXPECT_EQ(host.trapsCalled().size(), 2u);
	ASSERT_EQ(host.alerts().size(), 1u);
	EXPECT_EQ(host.alerts()[0].detail, "detail");
}

TEST(HostServices, AllocationsAreTrackedAndForeignFreesReported) {
	Host host;
	auto allocate = Slot<void* (*)(uint64_t, uint8_t)>(host, 280);
	auto release = Slot<void (*)(void*)>(host, 288);
	void* a = allocate(100, 1);
	void* b = allocate(8, 1);
	EXPECT_EQ(host.outstandingAllocations(), 2u);
	release(a);
	EXPECT_EQ(host.outstandingAllocations(), 1u);
	release(a); // twice
	int local = 0;
	release(&local); // never allocated
	EXPECT_EQ(host.errors().size(), 2u);
	host.FailNextAllocations(1);
	EXPECT_EQ(allocate(16, 1), nullptr);
	release(b);
	EXPECT_EQ(host.outstandingAllocations(), 0u);
}

TEST(HostServices, FindStringInListIsCaseInsensitiveOnTheWholeText) {
	Host host;
	auto find = Slot<int32_t (*)(int32_t, const char* const*, const char*)>(host, 296);
	const char* list[] = {"low", "high"};
	EXPECT_EQ(find(2, list, "HIGH"), 1);
	EXPECT_EQ(find(2, list, "low"), 0);
	EXPECT_LT(find(2, list, "hig"), 0);
	EXPECT_LT(find(2, list, "highest"), 0);
	EXPECT_EQ(host.findStringCalls(), 4);
}

TEST(HostServices, ImageBuffersKeepTheirOwnCopyOfThePixels) {
	Host host;
	auto update = Slot<int64_t (*)(int64_t, int64_t, uint8_t, uint32_t, const void*, const void*, int64_t, int64_t,
	                               void*)>(host, 1752);
	auto releaseImage = Slot<void (*)(int64_t, int64_t)>(host, 1744);

	uint32_t pixels[2 * 3] = {1, 2, 0xAAAA, 3, 4, 0xBBBB}; // 2 x 2 image, rows of 3 pixels
	uint8_t desc[80] = {};
	uint32_t width = 2, height = 2, rowBytes = 12;
	uint64_t address = uint64_t(uintptr_t(pixels));
	memcpy(desc + 16, &width, 4);
	memcpy(desc + 20, &height, 4);
	memcpy(desc + 32, &address, 8);
	memcpy(desc + 40, &rowBytes, 4);
	uint8_t value[16] = {};
	int64_t handle = update(7, 0, 2, 0, desc, nullptr, 0, 0, value);
	ASSERT_NE(handle, 0);
	pixels[0] = 99; // the plug-in's frame goes away or changes: the texture must not
	refhost::Texture texture;
	ASSERT_TRUE(host.textureOf(handle, &texture));
	ASSERT_EQ(texture.pixels.size(), 16u);
	uint32_t copied[4];
	memcpy(copied, texture.pixels.data(), 16);
	EXPECT_EQ(copied[0], 1u);
	EXPECT_EQ(copied[2], 3u) << "rows are read at the row stride";
	ASSERT_EQ(host.imageUpdates().size(), 1u);
	EXPECT_EQ(host.imageUpdates()[0].pixelAddress(), address);

	uint32_t shortRow = 4; // shorter than width x 4
	memcpy(desc + 40, &shortRow, 4);
	EXPECT_EQ(update(7, handle, 2, 0, desc, nullptr, 0, 0, value), handle);
	EXPECT_EQ(host.errors().size(), 1u);

	releaseImage(7, handle);
	EXPECT_EQ(host.liveTextures(), 0u);
	releaseImage(7, handle);
	EXPECT_EQ(host.errors().size(), 2u);
}

#include "MediaFiles.h"

#include <cmath>
#include <cstdio>

TEST(HostMediaFiles, PictureAndSoundRoundTrip) {
	std::vector<uint8_t> bgra;
	for (int y = 0; y < 3; ++y)
		for (int x = 0; x < 70000 / 3 + 1; ++x) // rows long enough to need two stored blocks
			bgra.insert(bgra.end(), {uint8_t(x), uint8_t(y), uint8_t(x + y), 255});
	uint32_t width = 70000 / 3 + 1;
	std::string png = testing::TempDir() + "refhost-roundtrip.png";
	ASSERT_TRUE(refhost::WritePNG(png, width, 3, bgra));
	uint32_t w = 0, h = 0;
	std::vector<uint8_t> rgb;
	ASSERT_TRUE(refhost::ReadPNG(png, &w, &h, &rgb));
	ASSERT_EQ(w, width);
	ASSERT_EQ(h, 3u);
	ASSERT_EQ(rgb.size(), size_t(width) * 3 * 3);
	EXPECT_EQ(rgb[3 * (width + 5) + 0], bgra[4 * (width + 5) + 2]) << "red comes from the third byte";
	EXPECT_EQ(rgb[3 * (width + 5) + 2], bgra[4 * (width + 5) + 0]);
	remove(png.c_str());

	std::vector<float> tone;
	for (int i = 0; i < 4800; ++i) {
		tone.push_back(0.5f * std::sin(i * 0.1f));
		tone.push_back(i == 7 ? 3.0f : 0.0f); // clipped
	}
	std::string wav = testing::TempDir() + "refhost-roundtrip.wav";
	ASSERT_TRUE(refhost::WriteWAV(wav, 48000, 2, tone));
	int rate = 0, channels = 0;
	std::vector<float> back;
	ASSERT_TRUE(refhost::ReadWAV(wav, &rate, &channels, &back));
	EXPECT_EQ(rate, 48000);
	EXPECT_EQ(channels, 2);
	ASSERT_EQ(back.size(), tone.size());
	EXPECT_NEAR(back[200], tone[200], 1.0 / 32767);
	EXPECT_FLOAT_EQ(back[15], 1.0f);
	remove(wav.c_str());
}
