// The PGM reader of examples/host/decode_to_ply.cpp, which reads whatever
// files a user hands the example. The first two bytes choose the image size
// the reader expects (1..8 x 1..8), the rest is the file; the file lives in
// memory (memfd) and is opened by its /proc path as any file is.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#define main decode_to_ply_main
#include "examples/host/decode_to_ply.cpp"
#undef main

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("example_pgm", 0);
  if (fd < 0 || size < 2) return 0;
  const int width = 1 + data[0] % 8, height = 1 + data[1] % 8;
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data + 2, size - 2, 0) != static_cast<ssize_t>(size - 2)) return 0;
  std::vector<std::uint8_t> images(5, 7);  // earlier images stay as they are
  const bool read = appendPgm("/proc/self/fd/" + std::to_string(fd), width, height, images);
  const std::size_t expected = 5 + (read ? static_cast<std::size_t>(width * height) : 0);
  if (images.size() != expected || images[0] != 7 || images[4] != 7) std::abort();
  return 0;
}
