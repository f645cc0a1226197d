#include "apps/zelscan/decoder_host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>

#include "apps/zelscan/subprocess.h"
#include "dec_phsft.h"
#include "dec_sgbm.h"
#include "platform/output_capture.h"

namespace zelscan {
namespace {

// Closes the library when the host goes away (after the object is released).
struct LibraryHandle {
  void* handle = nullptr;
  ~LibraryHandle() {
    if (handle) ::dlclose(handle);
  }
};

void* openLibrary(const char* fileName, std::string* error) {
  std::string firstError;
  for (const std::string& folder : hostLibraryFolders()) {
    const std::string path = folder + "/" + fileName;
    if (!std::filesystem::exists(path)) continue;
    if (void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
    if (firstError.empty()) firstError = ::dlerror();
  }
  if (void* h = ::dlopen(fileName, RTLD_NOW | RTLD_LOCAL)) return h;
  if (firstError.empty()) firstError = ::dlerror();
  *error = std::string("cannot load ") + fileName + ": " + firstError;
  return nullptr;
}

// Runs f with the process's standard output and error captured (the
// calibration loaders write their progress lines, and OpenCV its complaints,
// there); the captured text is returned in *captured and appended to logPath
// when one is given.
template <typename F>
auto capturingOutput(const std::string& logPath, std::string* captured, F f) {
  auto result = platform::captureStandardOutput(captured, f);
  if (!logPath.empty()) {
    if (FILE* log = std::fopen(logPath.c_str(), "a")) {
      std::fwrite(captured->data(), 1, captured->size(), log);
      std::fclose(log);
    }
  }
  return result;
}

void copyCloud(int n, const float* points, const std::uint8_t* colours, const std::int32_t* pixels, Cloud& cloud) {
  cloud.count = n;
  cloud.points.assign(points, points + 3 * static_cast<std::size_t>(n));
  cloud.colours.assign(colours, colours + 3 * static_cast<std::size_t>(n));
  cloud.pixels.assign(pixels, pixels + n);
}

// The cause a loader wrote as "error: <prefix><cause>" among its captured
// lines, or empty.
std::string reportedCause(const std::string& said, const std::string& prefix) {
  const std::string marker = "error: " + prefix;
  std::size_t at = said.find(marker);
  if (at == std::string::npos) return {};
  at += marker.size();
  return said.substr(at, said.find('\n', at) - at);
}

// Why loadCalibration failed, in the words of the decoder's own lines: a bad
// setting names the settings file, a refused calibration file names itself.
std::string calibrationFailure(const std::string& said, const std::string& settingsPath, const std::string& calibDir,
                               const std::string& fallback) {
  if (std::string cause = reportedCause(said, "settings: "); !cause.empty())
    return "settings file " + (settingsPath.empty() ? std::string("(defaults)") : settingsPath) + ": " + cause;
  if (std::string cause = reportedCause(said, "calibration: "); !cause.empty())
    return "the calibration in " + calibDir + " does not load: " + cause;
  return fallback;
}

bool checkSets(const ImageSets& images, int width, int height, int perCamera, std::string* error) {
  if (images.width != width || images.height != height) {
    *error = "images are " + std::to_string(images.width) + " x " + std::to_string(images.height) +
             " but the decoder is set for " + std::to_string(width) + " x " + std::to_string(height) +
             " (\"image_width\", \"image_height\")";
    return false;
  }
  if (images.imagesPerCamera != perCamera) {
    *error = "the decoder takes " + std::to_string(perCamera) + " image(s) per camera, got " +
             std::to_string(images.imagesPerCamera);
    return false;
  }
  return true;
}

// What both decoders share: the object's life, settings, logging and exec.
template <typename Decoder>
class HostBase : public DecoderHost {
 public:
  HostBase(void* handle, Decoder* dec) : dec_(dec) { lib_.handle = handle; }
  ~HostBase() override {
    if (dec_) dec_->release();
  }
  int width() const override { return dec_->getImageWidth(); }
  int height() const override { return dec_->getImageHeight(); }
  void logTo(const std::string& path) override {
    quietLog_ = path;
    dec_->setLog(1, path.c_str());
  }

 protected:
  bool readSettings(const std::string& settingsPath, std::string* error) {
    if (dec_->setParamFromFile(settingsPath.empty() ? nullptr : settingsPath.c_str())) return true;
    *error = "settings file not found: " + settingsPath;
    return false;
  }
  // Runs exec; the rectify flag means "rectify the images" to SGBM and is
  // ignored by the phase-shift decoder.
  bool run(const ImageSets& images, bool rectify, Cloud& cloud, std::string* error) {
    if (!checkSets(images, width(), height(), imagesPerCamera(), error)) return false;
    ImagePair pair;
    pair.left = images.left.data();
    pair.right = images.right.data();
    dec_->setImages(pair);
    float* points = nullptr;
    std::uint8_t* colours = nullptr;
    std::int32_t* pixels = nullptr;
    auto t0 = std::chrono::steady_clock::now();
    int n = dec_->exec(&points, &colours, rectify, &pixels);
    cloud.execMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (n > 0) {
      copyCloud(n, points, colours, pixels, cloud);
    } else {
      cloud = Cloud{0, {}, {}, {}, cloud.execMs};
    }
    return true;
  }

  LibraryHandle lib_;
  Decoder* dec_;
  std::string quietLog_;
};

class PhsftHost : public HostBase<IDecPhsft> {
 public:
  using HostBase::HostBase;
  bool configure(const std::string& settingsPath, const std::string& calibDir, std::string* error) override {
    if (!readSettings(settingsPath, error)) return false;
    std::string said;
    if (!capturingOutput(quietLog_, &said, [&] { return dec_->loadCalibration(calibDir.c_str()); })) {
      *error = calibrationFailure(
          said, settingsPath, calibDir,
          "the calibration in " + calibDir +
              " does not load (\"coord\" 0 reads cam0_param.yaml and cam1_param.yaml, 1 reads hmat0.dat, "
              "hmat1.dat and rect.param)");
      return false;
    }
    return true;
  }
  int imagesPerCamera() const override { return dec_->getImageCount(); }
  bool decode(const ImageSets& images, Cloud& cloud, std::string* error) override {
    return run(images, false, cloud, error);
  }
};

class SgbmHost : public HostBase<IDecSgbm> {
 public:
  using HostBase::HostBase;
  bool configure(const std::string& settingsPath, const std::string& calibDir, std::string* error) override {
    if (!readSettings(settingsPath, error)) return false;
    // The SGBM decoder reports success even when no calibration file loads;
    // its loader's "baseline" line on standard output is the sign of success.
    std::string said;
    capturingOutput(quietLog_, &said, [&] { return dec_->loadCalibration(calibDir.c_str()); });
    if (said.find("baseline") == std::string::npos) {
      *error = calibrationFailure(said, settingsPath, calibDir, "the calibration in " + calibDir + " does not load");
      return false;
    }
    return true;
  }
  int imagesPerCamera() const override { return 1; }
  bool decode(const ImageSets& images, Cloud& cloud, std::string* error) override {
    return run(images, true, cloud, error);
  }
};

}  // namespace

// The build tree keeps programs in bin/ and libraries in lib/; an installed
// tree has them where the install rules put them, ZEL_LIBDIR_FROM_BINDIR
// apart ("../lib", or "../lib/<multiarch>" under /usr). Both are taken from
// the running program's own location, so no build or install path is baked
// in and an installed tree may be moved.
std::vector<std::string> hostLibraryFolders() {
  namespace fs = std::filesystem;
  std::vector<std::string> folders;
  auto add = [&folders](const fs::path& folder) {
    const std::string text = folder.lexically_normal().string();
    for (const std::string& f : folders)
      if (f == text) return;
    folders.push_back(text);
  };
  if (const char* dir = std::getenv("ZELSCAN_LIB_DIR"); dir && *dir) add(dir);
  const fs::path exeDir = executableDir();
#ifdef ZEL_LIBDIR_FROM_BINDIR
  add(exeDir / ZEL_LIBDIR_FROM_BINDIR);
#endif
  add(exeDir / ".." / "lib");
  return folders;
}

void* openHostLibrary(const char* fileName, std::string* error) { return openLibrary(fileName, error); }

bool parseDecoderKind(const std::string& text, DecoderKind& kind) {
  if (text == "phsft") {
    kind = DecoderKind::Phsft;
    return true;
  }
  if (text == "sgbm") {
    kind = DecoderKind::Sgbm;
    return true;
  }
  return false;
}

const char* decoderName(DecoderKind kind) { return kind == DecoderKind::Phsft ? "phsft" : "sgbm"; }

std::unique_ptr<DecoderHost> DecoderHost::load(DecoderKind kind, std::string* error) {
  const char* file = kind == DecoderKind::Phsft ? "libOrvDecPhsft.so" : "libOrvDecSgbm.so";
  const char* factory = kind == DecoderKind::Phsft ? "CreateIDecPhsftInstance" : "CreateIDecSgbmInstance";
  void* handle = openLibrary(file, error);
  if (!handle) return nullptr;
  void* sym = ::dlsym(handle, factory);
  if (!sym) {
    *error = std::string(file) + " has no " + factory;
    ::dlclose(handle);
    return nullptr;
  }
  if (kind == DecoderKind::Phsft) {
    IDecPhsft* dec = reinterpret_cast<IDecPhsft* (*)()>(sym)();
    if (dec) return std::make_unique<PhsftHost>(handle, dec);
  } else {
    IDecSgbm* dec = reinterpret_cast<IDecSgbm* (*)()>(sym)();
    if (dec) return std::make_unique<SgbmHost>(handle, dec);
  }
  *error = std::string(factory) + " returned no decoder";
  ::dlclose(handle);
  return nullptr;
}

bool loadImageSets(const std::vector<std::string>& leftFiles, const std::vector<std::string>& rightFiles, int width,
                   int height, ImageSets& sets, std::string* error) {
  if (leftFiles.empty() || leftFiles.size() != rightFiles.size()) {
    *error = "give the same number of left and right images (" + std::to_string(leftFiles.size()) + " left, " +
             std::to_string(rightFiles.size()) + " right)";
    return false;
  }
  sets = ImageSets{};
  sets.imagesPerCamera = static_cast<int>(leftFiles.size());
  for (int camera = 0; camera < 2; ++camera) {
    const std::vector<std::string>& files = camera == 0 ? leftFiles : rightFiles;
    std::vector<std::uint8_t>& out = camera == 0 ? sets.left : sets.right;
    for (const std::string& file : files) {
      std::error_code ec;
      if (!std::filesystem::is_regular_file(file, ec)) {
        *error = "no such image: " + file + (ec ? " (" + ec.message() + ")" : std::string());
        return false;
      }
      cv::Mat img;
      try {
        img = cv::imread(file, cv::IMREAD_UNCHANGED);
      } catch (const cv::Exception& e) {
        // OpenCV throws on headers beyond its size limits (65535 x 65535).
        *error = "not a readable image: " + file + " (" + e.err + ")";
        return false;
      } catch (const std::bad_alloc&) {
        *error = "not a readable image: " + file + " (too large for memory)";
        return false;
      }
      if (img.empty()) {
        *error = "not an image file: " + file;
        return false;
      }
      if (img.type() != CV_8UC1) {
        *error = "not an 8-bit grey image: " + file;
        return false;
      }
      if (width == 0) {
        width = img.cols;
        height = img.rows;
      }
      if (img.cols != width || img.rows != height) {
        *error = file + " is " + std::to_string(img.cols) + " x " + std::to_string(img.rows) + ", expected " +
                 std::to_string(width) + " x " + std::to_string(height);
        return false;
      }
      const std::size_t bytes = static_cast<std::size_t>(width) * height;
      std::size_t at = out.size();
      out.resize(at + bytes);
      for (int y = 0; y < height; ++y)
        std::memcpy(out.data() + at + static_cast<std::size_t>(y) * width, img.ptr(y), width);
    }
  }
  sets.width = width;
  sets.height = height;
  return true;
}

}  // namespace zelscan
