#pragma once
// The simulated USB cameras' view of the virtual head: `zelsim serve`
// publishes its current images in POSIX shared memory "/<name>", where
// <name> is $ZELCAM_SIM_HEAD (default "zelsim-head"):
//   offset  size  field (native byte order)
//        0     8  magic "ZELHEAD1"
//        8     4  uint32 header size (64)
//       12     4  uint32 sequence: odd while the writer updates, +2 per update
//       16     4  int32 width of each image
//       20     4  int32 height
//       24     4  int32 pattern shown (0..12), -1 for the textured image
//       28     4  reserved
//       32     8  uint64 trigger counter: patterns shown so far, one
//                 hardware-trigger pulse each
//       40     8  uint64 image bytes (width * height)
//       48    16  reserved
//       64   w*h  camera 0 (left) image, rows top to bottom, 8 bits per pixel
//   64+w*h   w*h  camera 1 (right) image
// The images are what a camera sees at the reference exposure and gain.
// A restarted head publishes a fresh object under the name; a reader whose
// object has been removed opens the name again (same image size only).
//
// This reader is the layers' own: it reads with pread, never through a
// mapping, so a head that shrinks or replaces the object under it gives a
// failed read, not a SIGBUS; every size is checked against the object's
// size, and a copy counts only when the sequence was even and unchanged
// around it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace camera::sdk::simhead {

inline constexpr std::size_t kHeaderSize = 64;
inline constexpr int kMaxSide = 16384;  // pixels; a bigger head is refused

struct HeadHeader {
  std::uint32_t sequence = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t pattern = 0;
  std::uint64_t triggerCount = 0;
  std::uint64_t imageBytes = 0;
};

// Parses and checks the header bytes of an object of objectSize bytes: magic,
// header size, 0 < width, height <= kMaxSide, image bytes = width * height,
// both images inside the object. False for anything else.
bool parseHeader(const std::uint8_t* bytes, std::size_t size, std::uint64_t objectSize, HeadHeader* out);

// "/" + $ZELCAM_SIM_HEAD, or "/zelsim-head".
std::string headObjectName();

class HeadImages {
 public:
  // Opens the published head; null with *why when none is published or its
  // header is not valid.
  static std::unique_ptr<HeadImages> open(const std::string& objectName, std::string* why);
  ~HeadImages();
  HeadImages(const HeadImages&) = delete;
  HeadImages& operator=(const HeadImages&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  std::size_t frameBytes() const { return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_); }

  // The trigger counter now; false when the head is gone or changed size.
  bool triggerCount(std::uint64_t* count) const;
  // A consistent copy of one camera's image (0 left, 1 right) into out
  // (frameBytes() bytes) with the trigger counter it belongs to.
  bool read(int camera, std::uint8_t* out, std::uint64_t* triggerCount) const;

 private:
  HeadImages(std::string name, int fd, int width, int height)
      : name_(std::move(name)), fd_(fd), width_(width), height_(height) {}
  // The header of the object now; follows a restarted head first. mutex_ held.
  bool readHeader(HeadHeader* h) const;
  void followRestart() const;

  const std::string name_;
  mutable std::mutex mutex_;  // the sensor's thread and the host's share the reader
  mutable int fd_;
  const int width_;
  const int height_;
};

// Exposure model shared with the virtual head: every grey level times factor,
// rounded to nearest, saturated at 255; factor 1 copies byte for byte.
void applyFactor(const std::uint8_t* in, std::uint8_t* out, std::size_t count, double factor);

}  // namespace camera::sdk::simhead
