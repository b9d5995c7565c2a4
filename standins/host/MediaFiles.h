// Writing what the host saw and heard, for people to look at: PNG pictures and WAV sound.
#ifndef REFHOST_MEDIA_FILES_H
#define REFHOST_MEDIA_FILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace refhost {

// `bgra` holds width x height pixels, 4 bytes each in B, G, R, A order, rows top to bottom.
// Written as an 8-bit RGB PNG (alpha dropped), uncompressed.
bool WritePNG(const std::string& path, uint32_t width, uint32_t height, const std::vector<uint8_t>& bgra);

// Interleaved 32-bit float samples, written as 16-bit PCM (clipped).
bool WriteWAV(const std::string& path, int sampleRate, int channels, const std::vector<float>& interleaved);

// Reads a 16-bit PCM WAV back into floats; false when the file is not one.
bool ReadWAV(const std::string& path, int* sampleRate, int* channels, std::vector<float>* interleaved);

// Reads back an uncompressed RGB PNG written by WritePNG (for tests); false otherwise.
bool ReadPNG(const std::string& path, uint32_t* width, uint32_t* height, std::vector<uint8_t>* rgb);

} // namespace refhost

#endif
