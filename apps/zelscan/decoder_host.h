#pragma once
// Loads a decoder library through its exported factory, as any host would,
// and drives it: settings, calibration, images, exec.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelscan {

enum class DecoderKind { Phsft, Sgbm };

// Parses "phsft" / "sgbm". False for anything else.
bool parseDecoderKind(const std::string& text, DecoderKind& kind);
const char* decoderName(DecoderKind kind);

// One image set per camera, images of width x height bytes back to back.
struct ImageSets {
  int width = 0;
  int height = 0;
  int imagesPerCamera = 0;
  std::vector<std::uint8_t> left;
  std::vector<std::uint8_t> right;
};

struct Cloud {
  int count = 0;
  std::vector<float> points;          // 3 per point
  std::vector<std::uint8_t> colours;  // 3 per point
  std::vector<std::int32_t> pixels;   // row * width + column, left rectified grid
  double execMs = 0;
};

class DecoderHost {
 public:
  virtual ~DecoderHost() = default;

  // dlopen's the decoder library as openHostLibrary does. Null with *error
  // on failure.
  static std::unique_ptr<DecoderHost> load(DecoderKind kind, std::string* error);

  // Reads the settings (empty path: the built-in defaults) and loads the
  // calibration folder. False with *error when either fails.
  virtual bool configure(const std::string& settingsPath, const std::string& calibDir, std::string* error) = 0;
  virtual int width() const = 0;
  virtual int height() const = 0;
  // 13 for the phase-shift decoder, 1 for SGBM.
  virtual int imagesPerCamera() const = 0;
  // Decodes; the cloud holds copies of the decoder's arrays.
  virtual bool decode(const ImageSets& images, Cloud& cloud, std::string* error) = 0;
  // Sends the decoder's log to a file (flags 1).
  virtual void logTo(const std::string& path) = 0;
};

// The folders a library the host loads (a decoder or a camera plug-in) is
// looked for in, in order: $ZELSCAN_LIB_DIR when set, the installed library
// folder relative to this executable, ../lib beside this executable (the
// build tree). Duplicates are left out.
std::vector<std::string> hostLibraryFolders();

// dlopen's a library the host loads (a decoder or a camera plug-in): from the
// first of hostLibraryFolders() that holds it, else through the loader's
// search path. Null with *error on failure.
void* openHostLibrary(const char* fileName, std::string* error);

// Reads 8-bit grey images (PGM, PNG, ...) into image sets. Every image must be
// width x height (taken from the first image when width is 0).
bool loadImageSets(const std::vector<std::string>& leftFiles, const std::vector<std::string>& rightFiles, int width,
                   int height, ImageSets& sets, std::string* error);

}  // namespace zelscan
