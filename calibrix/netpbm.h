#pragma once
// Binary PGM (P5) and PPM (P6) files with 8-bit samples, read and written
// without OpenCV for the rectification converters.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace calibrix {

struct NetpbmImage {
  int width = 0;
  int height = 0;
  int channels = 1;                // 1 for P5, 3 for P6
  std::vector<std::uint8_t> data;  // rows top to bottom, no padding
};

// Reads a P5/P6 file. Fails (false) on a missing file, a wrong magic, a
// width or height that is not positive, or fewer pixel bytes than the header
// announces; the allocation never exceeds what the file holds.
bool readNetpbm(const std::string& path, NetpbmImage& image);
// The same from an open, seekable stream (read from its current position).
bool readNetpbm(std::FILE* file, NetpbmImage& image);

// Writes "P5" (1 channel) or "P6" (otherwise) with maximum value 255.
// False when the file can't be opened or not every byte reached it.
bool writeNetpbm(const std::string& path, const NetpbmImage& image);

}  // namespace calibrix
