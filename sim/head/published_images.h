#pragma once
// The live head's current images in POSIX shared memory, for the simulated
// USB cameras (which run inside a plug-in's process) to serve the same head.
//
// Shared memory "/<name>" (mode 0600), laid out as
//   offset  size  field
//        0     8  magic "ZELHEAD1"
//        8     4  uint32 header size (64)
//       12     4  uint32 sequence: odd while the writer updates, +2 per update
//       16     4  int32 width  (of each image)
//       20     4  int32 height
//       24     4  int32 pattern shown (0..12), -1 for the textured image
//       28     4  uint32 reserved (0)
//       32     8  uint64 trigger counter: patterns shown so far (the
//                 hardware-trigger pulses of the head)
//       40     8  uint64 image bytes (width * height)
//       48    16  reserved (0)
//       64     w*h  camera 0 (left) image, rows top to bottom, 8 bits per pixel
//   64 + w*h   w*h  camera 1 (right) image
// All fields native byte order. The images are the rendered ones (reference
// exposure and gain); a reader applies its own camera's exposure. A reader
// copies what it needs and accepts the copy only when the sequence was even
// and unchanged before and after (ImagesReader does so).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim::head {

struct PublishedHeader {
  char magic[8];
  uint32_t headerSize;
  uint32_t sequence;
  int32_t width, height;
  int32_t pattern;
  uint32_t reserved0;
  uint64_t triggerCount;
  uint64_t imageBytes;
  uint8_t reserved1[16];
};
static_assert(sizeof(PublishedHeader) == 64, "the layout above");

class ImagesPublisher {
 public:
  // Creates (replaces) the shared memory for images of width x height.
  // Null with a reason on failure.
  static std::unique_ptr<ImagesPublisher> create(const std::string& name, int width, int height,
                                                 std::string* error = nullptr);
  ~ImagesPublisher();  // unlinks the name
  ImagesPublisher(const ImagesPublisher&) = delete;
  ImagesPublisher& operator=(const ImagesPublisher&) = delete;

  void publish(int pattern, uint64_t triggerCount, const uint8_t* left, const uint8_t* right);

 private:
  ImagesPublisher() = default;
  std::string shmName_;
  int fd_ = -1;
  void* map_ = nullptr;
  size_t size_ = 0;
};

struct PublishedImages {
  int width = 0, height = 0, pattern = 0;
  uint64_t triggerCount = 0;
  uint32_t sequence = 0;
  std::vector<uint8_t> left, right;
};

class ImagesReader {
 public:
  // Null when nothing valid is published under that name.
  static std::unique_ptr<ImagesReader> open(const std::string& name);
  ~ImagesReader();
  ImagesReader(const ImagesReader&) = delete;
  ImagesReader& operator=(const ImagesReader&) = delete;
  // A consistent copy; false when the writer kept changing it.
  bool read(PublishedImages* out) const;

 private:
  ImagesReader() = default;
  int fd_ = -1;
  void* map_ = nullptr;
  size_t size_ = 0;
};

}  // namespace sim::head
