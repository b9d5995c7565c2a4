// Pixel formats of the stand-in: what a sender may give, and what a receiver is handed.
// Inside the library every picture travels as tight BGRA, 4 bytes a pixel.
#ifndef NDI_STANDIN_VIDEO_CONVERT_H
#define NDI_STANDIN_VIDEO_CONVERT_H

#include "ndi_standin_abi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ndistandin {

constexpr int kMaxPictureSide = 16384;

struct Picture {
	int xres = 0, yres = 0;
	bool alpha = false; // sent with an alpha channel (BGRA, RGBA, UYVA); without, every alpha byte is 255
	std::vector<uint8_t> bgra;
};

// Reads a sent frame; false, saying why, when the record cannot be read safely.
bool ReadPicture(const NDIlib_video_frame_v2_t& frame, Picture* out, std::string* why);

// The size a picture arrives at on a receiver of the lowest bandwidth: wider than
// kLowestBandwidthWidth, it is scaled to that width keeping its aspect (the height rounded to the
// nearest whole, at least 1); narrower or as wide, as sent.
constexpr int kLowestBandwidthWidth = 640;
void LowestBandwidthSize(int xres, int yres, int* outX, int* outY);

// The picture made smaller (never larger): each pixel the mean of the block of pixels it covers.
Picture ScaleDown(const Picture& in, int xres, int yres);

// What fills the padding at the end of each line of a padded delivery: never zero, so that a
// reader that takes padding for picture shows.
constexpr uint8_t kPaddingByte = 0xA5;

// The picture in `fourcc` (BGRA, BGRX, RGBA, RGBX, UYVY or UYVA), each line followed by `padding`
// bytes of kPaddingByte; returns the line stride in bytes (UYVA: of the UYVY plane, the alpha
// plane follows it, xres bytes a row). BGRX and RGBX carry 0xFF in every pixel's fourth byte.
int WritePicture(const Picture& in, NDIlib_FourCC_video_type_e fourcc, int padding, std::vector<uint8_t>* bytes);

// Whether the stand-in reads and writes this FourCC.
bool KnownFourCC(uint32_t fourcc);

} // namespace ndistandin

#endif
