#include "calibrix/netpbm.h"

#include "decoder/common/calib_files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace calibrix {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Largest accepted side: far beyond any camera, small enough that
// width * height * 3 stays exact in 64 bits.
constexpr long kMaxSide = 1 << 20;

}  // namespace

bool readNetpbm(const std::string& path, NetpbmImage& image) {
  File f(std::fopen(path.c_str(), "rb"));
  return f && readNetpbm(f.get(), image);
}

bool readNetpbm(std::FILE* file, NetpbmImage& image) {
  std::FILE* f = file;
  char line[256];
  if (!std::fgets(line, sizeof line, f)) return false;
  int channels;
  if (std::strncmp(line, "P5", 2) == 0)
    channels = 1;
  else if (std::strncmp(line, "P6", 2) == 0)
    channels = 3;
  else
    return false;
  do {
    if (!std::fgets(line, sizeof line, f)) return false;
  } while (line[0] == '#');
  const long width = std::strtol(line, nullptr, 10);
  const char* blank = std::strchr(line, ' ');
  const long height = blank ? std::strtol(blank + 1, nullptr, 10) : 0;
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;
  if (!std::fgets(line, sizeof line, f)) return false;  // maximum value, 255 assumed

  // The header must not make us allocate more than the file can hold.
  const long start = std::ftell(f);
  if (start < 0 || std::fseek(f, 0, SEEK_END) != 0) return false;
  const long end = std::ftell(f);
  if (end < 0 || std::fseek(f, start, SEEK_SET) != 0) return false;
  const unsigned long long bytes = static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height) *
                                   static_cast<unsigned long long>(channels);
  if (bytes > static_cast<unsigned long long>(end - start)) return false;

  std::vector<std::uint8_t> data(static_cast<std::size_t>(bytes));
  if (std::fread(data.data(), 1, data.size(), f) != data.size()) return false;
  image.width = static_cast<int>(width);
  image.height = static_cast<int>(height);
  image.channels = channels;
  image.data = std::move(data);
  return true;
}

bool writeNetpbm(const std::string& path, const NetpbmImage& image) {
  const std::size_t bytes = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) *
                            static_cast<std::size_t>(image.channels);
  if (image.width < 0 || image.height < 0 || image.data.size() < bytes) return false;
  // Written whole through a temporary and a rename: a full disk leaves the
  // earlier image, never a truncated one.
  std::string text = std::string(image.channels == 1 ? "P5" : "P6") + "\n" + std::to_string(image.width) + " " +
                     std::to_string(image.height) + "\n255\n";
  text.append(reinterpret_cast<const char*>(image.data.data()), bytes);
  return calibfiles::writeFileAtomically(path, text);
}

}  // namespace calibrix
