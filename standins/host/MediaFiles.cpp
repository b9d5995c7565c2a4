#include "MediaFiles.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace refhost {

namespace {

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
	static uint32_t table[256];
	static bool ready = false;
	if (!ready) {
		for (uint32_t n = 0; n < 256; ++n) {
			uint32_t c = n;
			for (int k = 0; k < 8; ++k)
				c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
			table[n] = c;
		}
		ready = true;
	}
	crc = ~crc;
	for (size_t i = 0; i < size; ++i)
		crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
	return ~crc;
}

void PutBE32(std::vector<uint8_t>& out, uint32_t v) {
	for (int shift = 24; shift >= 0; shift -= 8)
		out.push_back(uint8_t(v >> shift));
}
uint32_t GetBE32(const uint8_t* p) {
	return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
	PutBE32(out, uint32_t(data.size()));
	size_t start = out.size();
	out.insert(out.end(), type, type + 4);
	out.insert(out.end(), data.begin(), data.end());
	PutBE32(out, Crc32(out.data() + start, out.size() - start));
}

// A zlib stream of stored (uncompressed) deflate blocks.
std::vector<uint8_t> StoredZlib(const std::vector<uint8_t>& raw) {
	std::vector<uint8_t> z = {0x78, 0x01};
	size_t pos = 0;
	do {
		size_t n = std::min<size_t>(65535, raw.size() - pos);
		bool last = pos + n == raw.size();
		z.push_back(last ? 1 : 0);
		z.push_back(uint8_t(n));
		z.push_back(uint8_t(n >> 8));
		z.push_back(uint8_t(~n));
		z.push_back(uint8_t(~n >> 8));
		z.insert(z.end(), raw.begin() + long(pos), raw.begin() + long(pos + n));
		pos += n;
	} while (pos < raw.size());
	uint32_t a = 1, b = 0;
	for (uint8_t byte : raw) {
		a = (a + byte) % 65521;
		b = (b + a) % 65521;
	}
	PutBE32(z, b << 16 | a);
	return z;
}

bool WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
	FILE* f = fopen(path.c_str(), "wb");
	if (!f)
		return false;
	bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
	return fclose(f) == 0 && ok;
}

bool ReadAll(const std::string& path, std::vector<uint8_t>* bytes) {
	FILE* f = fopen(path.c_str(), "rb");
	if (!f)
		return false;
	uint8_t buffer[65536];
	size_t n;
	bytes->clear();
	while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
		bytes->insert(bytes->end(), buffer, buffer + n);
	fclose(f);
	return true;
}

void PutLE(std::vector<uint8_t>& out, uint32_t v, int bytes) {
	for (int i = 0; i < bytes; ++i)
		out.push_back(uint8_t(v >> (8 * i)));
}
uint32_t GetLE(const uint8_t* p, int bytes) {
	uint32_t v = 0;
	for (int i = bytes - 1; i >= 0; --i)
		v = v << 8 | p[i];
	return v;
}

} // namespace

bool WritePNG(const std::string& path, uint32_t width, uint32_t height, const std::vector<uint8_t>& bgra) {
	if (width == 0 || height == 0 || bgra.size() < size_t(width) * height * 4)
		return false;
	std::vector<uint8_t> raw;
	raw.reserve((size_t(width) * 3 + 1) * height);
	for (uint32_t y = 0; y < height; ++y) {
		raw.push_back(0); // filter: none
		const uint8_t* row = bgra.data() + size_t(y) * width * 4;
		for (uint32_t x = 0; x < width; ++x) {
			raw.push_back(row[x * 4 + 2]);
			raw.push_back(row[x * 4 + 1]);
			raw.push_back(row[x * 4 + 0]);
		}
	}
	std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
	std::vector<uint8_t> header;
	PutBE32(header, width);
	PutBE32(header, height);
	header.insert(header.end(), {8, 2, 0, 0, 0}); // 8-bit RGB, deflate, no filter set, no interlace
	PutChunk(png, "IHDR", header);
	PutChunk(png, "IDAT", StoredZlib(raw));
	PutChunk(png, "IEND", {});
	return WriteAll(path, png);
}

bool ReadPNG(const std::string& path, uint32_t* width, uint32_t* height, std::vector<uint8_t>* rgb) {
	std::vector<uint8_t> png;
	if (!ReadAll(path, &png) || png.size() < 33 || memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8) != 0)
		return false;
	std::vector<uint8_t> zlib;
	size_t pos = 8;
	while (pos + 12 <= png.size()) {
		uint32_t length = GetBE32(&png[pos]);
		if (pos + 12 + length > png.size())
			return false;
		const uint8_t* type = &png[pos + 4];
		const uint8_t* data = &png[pos + 8];
		if (Crc32(type, length + 4) != GetBE32(data + length))
			return false;
		if (!memcmp(type, "IHDR", 4)) {
			*width = GetBE32(data);
			*height = GetBE32(data + 4);
			if (data[8] != 8 || data[9] != 2)
				return false;
		} else if (!memcmp(type, "IDAT", 4)) {
			zlib.insert(zlib.end(), data, data + length);
		}
		pos += 12 + length;
	}
	// Stored blocks only, as WritePNG makes them.
	std::vector<uint8_t> raw;
	size_t z = 2;
	bool last = false;
	while (!last && z + 5 <= zlib.size()) {
		last = zlib[z] & 1;
		if ((zlib[z] & 6) != 0)
			return false;
		size_t n = zlib[z + 1] | size_t(zlib[z + 2]) << 8;
		if (z + 5 + n > zlib.size())
			return false;
		raw.insert(raw.end(), zlib.begin() + long(z + 5), zlib.begin() + long(z + 5 + n));
		z += 5 + n;
	}
	size_t stride = size_t(*width) * 3 + 1;
	if (raw.size() != stride * *height)
		return false;
	rgb->clear();
	for (uint32_t y = 0; y < *height; ++y)
		rgb->insert(rgb->end(), raw.begin() + long(y * stride + 1), raw.begin() + long((y + 1) * stride));
	return true;
}

bool WriteWAV(const std::string& path, int sampleRate, int channels, const std::vector<float>& interleaved) {
	if (sampleRate <= 0 || channels <= 0)
		return false;
	uint32_t dataBytes = uint32_t(interleaved.size() * 2);
	std::vector<uint8_t> wav = {'R', 'I', 'F', 'F'};
	PutLE(wav, 36 + dataBytes, 4);
	wav.insert(wav.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
	PutLE(wav, 16, 4);
	PutLE(wav, 1, 2); // PCM
	PutLE(wav, uint32_t(channels), 2);
	PutLE(wav, uint32_t(sampleRate), 4);
	PutLE(wav, uint32_t(sampleRate * channels * 2), 4);
	PutLE(wav, uint32_t(channels * 2), 2);
	PutLE(wav, 16, 2);
	wav.insert(wav.end(), {'d', 'a', 't', 'a'});
	PutLE(wav, dataBytes, 4);
	for (float s : interleaved) {
		float clipped = std::isfinite(s) ? std::max(-1.0f, std::min(1.0f, s)) : 0.0f;
		PutLE(wav, uint32_t(uint16_t(int16_t(std::lround(clipped * 32767.0f)))), 2);
	}
	return WriteAll(path, wav);
}

bool ReadWAV(const std::string& path, int* sampleRate, int* channels, std::vector<float>* interleaved) {
	std::vector<uint8_t> wav;
	if (!ReadAll(path, &wav) || wav.size() < 12 || memcmp(wav.data(), "RIFF", 4) || memcmp(&wav[8], "WAVE", 4))
		return false;
	size_t pos = 12;
	bool haveFormat = false;
	while (pos + 8 <= wav.size()) {
		uint32_t size = GetLE(&wav[pos + 4], 4);
		const uint8_t* data = &wav[pos + 8];
		if (pos + 8 + size > wav.size())
			return false;
		if (!memcmp(&wav[pos], "fmt ", 4) && size >= 16) {
			if (GetLE(data, 2) != 1 || GetLE(data + 14, 2) != 16)
				return false;
			*channels = int(GetLE(data + 2, 2));
			*sampleRate = int(GetLE(data + 4, 4));
			haveFormat = true;
		} else if (!memcmp(&wav[pos], "data", 4) && haveFormat) {
			interleaved->clear();
			for (uint32_t i = 0; i + 1 < size; i += 2)
				interleaved->push_back(float(int16_t(GetLE(data + i, 2))) / 32767.0f);
			return true;
		}
		pos += 8 + size + (size & 1);
	}
	return false;
}

} // namespace refhost
