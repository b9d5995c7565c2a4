// Pixel conversions, BT.601 studio range for UYVY as the SDK uses it.
#include "VideoConvert.h"

#include <cstring>

namespace ndistandin {

namespace {

const uint32_t kBGRA = NDIlib_FourCC_video_type_BGRA, kBGRX = NDIlib_FourCC_video_type_BGRX;
const uint32_t kRGBA = NDIlib_FourCC_video_type_RGBA, kRGBX = NDIlib_FourCC_video_type_RGBX;
const uint32_t kUYVY = NDIlib_FourCC_video_type_UYVY, kUYVA = NDIlib_FourCC_video_type_UYVA;

bool IsYUV(uint32_t fourcc) {
	return fourcc == kUYVY || fourcc == kUYVA;
}

int MinStride(uint32_t fourcc, int xres) {
	return IsYUV(fourcc) ? (xres + 1) / 2 * 4 : xres * 4;
}

uint8_t Clip(int v) {
	return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

void ToYUV(const uint8_t* bgra, int* y, int* u, int* v) {
	int b = bgra[0], g = bgra[1], r = bgra[2];
	*y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
	*u = ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
	*v = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
}

void FromYUV(int y, int u, int v, uint8_t* bgra) {
	int c = y - 16, d = u - 128, e = v - 128;
	bgra[0] = Clip((298 * c + 516 * d + 128) >> 8);
	bgra[1] = Clip((298 * c - 100 * d - 208 * e + 128) >> 8);
	bgra[2] = Clip((298 * c + 409 * e + 128) >> 8);
}

void ReadRow(uint32_t fourcc, const uint8_t* src, const uint8_t* alphaRow, int xres, uint8_t* dst) {
	if (fourcc == kBGRA || fourcc == kBGRX) { // the usual case, kept cheap for large pictures
		memcpy(dst, src, size_t(xres) * 4);
		if (fourcc == kBGRX)
			for (int x = 0; x < xres; ++x)
				dst[x * 4 + 3] = 255;
		return;
	}
	if (IsYUV(fourcc)) {
		for (int x = 0; x < xres; ++x) {
			const uint8_t* pair = src + x / 2 * 4;
			FromYUV(pair[(x & 1) ? 3 : 1], pair[0], pair[2], dst + x * 4);
			dst[x * 4 + 3] = alphaRow ? alphaRow[x] : 255;
		}
		return;
	}
	bool rgb = fourcc == kRGBA || fourcc == kRGBX, opaque = fourcc == kBGRX || fourcc == kRGBX;
	for (int x = 0; x < xres; ++x) {
		const uint8_t* s = src + x * 4;
		uint8_t* d = dst + x * 4;
		d[0] = rgb ? s[2] : s[0];
		d[1] = s[1];
		d[2] = rgb ? s[0] : s[2];
		d[3] = opaque ? 255 : s[3];
	}
}

} // namespace

bool KnownFourCC(uint32_t fourcc) {
	return fourcc == kBGRA || fourcc == kBGRX || fourcc == kRGBA || fourcc == kRGBX || fourcc == kUYVY ||
	       fourcc == kUYVA;
}

bool ReadPicture(const NDIlib_video_frame_v2_t& frame, Picture* out, std::string* why) {
	uint32_t fourcc = uint32_t(frame.FourCC);
	if (!frame.p_data)
		return *why = "no pixel data", false;
	if (frame.xres < 1 || frame.yres < 1 || frame.xres > kMaxPictureSide || frame.yres > kMaxPictureSide)
		return *why = "size " + std::to_string(frame.xres) + " x " + std::to_string(frame.yres) + " out of range", false;
	if (!KnownFourCC(fourcc))
		return *why = "FourCC not supported", false;
	int stride = frame.line_stride_in_bytes ? frame.line_stride_in_bytes : MinStride(fourcc, frame.xres);
	if (stride < MinStride(fourcc, frame.xres) || stride > 8 * kMaxPictureSide)
		return *why = "line stride " + std::to_string(stride) + " does not fit the width", false;

	out->xres = frame.xres;
	out->yres = frame.yres;
	out->alpha = fourcc == kBGRA || fourcc == kRGBA || fourcc == kUYVA;
	out->bgra.resize(size_t(frame.xres) * size_t(frame.yres) * 4);
	const uint8_t* alphaPlane = fourcc == kUYVA ? frame.p_data + size_t(stride) * size_t(frame.yres) : nullptr;
	for (int y = 0; y < frame.yres; ++y)
		ReadRow(fourcc, frame.p_data + size_t(stride) * size_t(y),
		        alphaPlane ? alphaPlane + size_t(frame.xres) * size_t(y) : nullptr, frame.xres,
		        out->bgra.data() + size_t(frame.xres) * 4 * size_t(y));
	return true;
}

void LowestBandwidthSize(int xres, int yres, int* outX, int* outY) {
	if (xres <= kLowestBandwidthWidth) {
		*outX = xres;
		*outY = yres;
		return;
	}
	const int64_t scaled = (int64_t(yres) * kLowestBandwidthWidth * 2 + xres) / (int64_t(xres) * 2); // nearest
	*outX = kLowestBandwidthWidth;
	*outY = scaled > 0 ? int(scaled) : 1;
}

Picture ScaleDown(const Picture& in, int xres, int yres) {
	Picture out;
	out.xres = xres;
	out.yres = yres;
	out.alpha = in.alpha;
	out.bgra.resize(size_t(xres) * size_t(yres) * 4);
	// Each output pixel covers source columns [x0, x1) and rows [y0, y1), never an empty block.
	std::vector<int> columns(size_t(xres) + 1);
	for (int x = 0; x <= xres; ++x)
		columns[size_t(x)] = int(int64_t(x) * in.xres / xres);
	for (int y = 0; y < yres; ++y) {
		int y0 = int(int64_t(y) * in.yres / yres), y1 = int(int64_t(y + 1) * in.yres / yres);
		if (y1 <= y0)
			y1 = y0 + 1;
		for (int x = 0; x < xres; ++x) {
			int x0 = columns[size_t(x)], x1 = columns[size_t(x) + 1] > x0 ? columns[size_t(x) + 1] : x0 + 1;
			uint32_t sum[4] = {0, 0, 0, 0};
			for (int sy = y0; sy < y1; ++sy) {
				const uint8_t* p = &in.bgra[(size_t(sy) * size_t(in.xres) + size_t(x0)) * 4];
				for (int sx = x0; sx < x1; ++sx, p += 4)
					for (int c = 0; c < 4; ++c)
						sum[c] += p[c];
			}
			uint32_t n = uint32_t((x1 - x0) * (y1 - y0));
			uint8_t* d = &out.bgra[(size_t(y) * size_t(xres) + size_t(x)) * 4];
			for (int c = 0; c < 4; ++c)
				d[c] = uint8_t((sum[c] + n / 2) / n);
		}
	}
	return out;
}

int WritePicture(const Picture& in, NDIlib_FourCC_video_type_e fourccIn, int padding, std::vector<uint8_t>* bytes) {
	uint32_t fourcc = uint32_t(fourccIn);
	int stride = MinStride(fourcc, in.xres) + padding;
	size_t plane = size_t(stride) * size_t(in.yres);
	// Every byte that is not written below is padding.
	bytes->assign(plane + (fourcc == kUYVA ? size_t(in.xres) * size_t(in.yres) : 0), kPaddingByte);
	for (int y = 0; y < in.yres; ++y) {
		const uint8_t* src = in.bgra.data() + size_t(in.xres) * 4 * size_t(y);
		uint8_t* dst = bytes->data() + size_t(stride) * size_t(y);
		if (IsYUV(fourcc)) {
			for (int x = 0; x < in.xres; x += 2) {
				const uint8_t* second = x + 1 < in.xres ? src + (x + 1) * 4 : src + x * 4;
				int y0, u0, v0, y1, u1, v1;
				ToYUV(src + x * 4, &y0, &u0, &v0);
				ToYUV(second, &y1, &u1, &v1);
				uint8_t* pair = dst + x / 2 * 4;
				pair[0] = Clip((u0 + u1 + 1) / 2);
				pair[1] = Clip(y0);
				pair[2] = Clip((v0 + v1 + 1) / 2);
				pair[3] = Clip(y1);
			}
			if (fourcc == kUYVA) {
				uint8_t* alpha = bytes->data() + plane + size_t(in.xres) * size_t(y);
				for (int x = 0; x < in.xres; ++x)
					alpha[x] = src[x * 4 + 3];
			}
			continue;
		}
		if (fourcc == kBGRA || (fourcc == kBGRX && !in.alpha)) { // opaque pictures hold 255 in alpha already
			memcpy(dst, src, size_t(in.xres) * 4);
			continue;
		}
		bool rgb = fourcc == kRGBA || fourcc == kRGBX, opaque = fourcc == kBGRX || fourcc == kRGBX;
		for (int x = 0; x < in.xres; ++x) {
			const uint8_t* s = src + x * 4;
			uint8_t* d = dst + x * 4;
			d[0] = rgb ? s[2] : s[0];
			d[1] = s[1];
			d[2] = rgb ? s[0] : s[2];
			d[3] = opaque ? 255 : s[3];
		}
	}
	return stride;
}

} // namespace ndistandin
