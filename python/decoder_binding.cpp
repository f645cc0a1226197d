// PhaseShiftDecoder and SgbmDecoder: the decoder libraries driven through
// their factories and public headers only, exactly as a host drives them.
#include "python/bindings.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "dec_phsft.h"
#include "dec_sgbm.h"
#include "platform/output_capture.h"
#include "platform/text.h"
#include "python/array_checks.h"
#include "python/library_loader.h"

namespace zelcam_py {
namespace {

namespace fs = std::filesystem;

struct SettingKey {
  const char* section;
  const char* key;
};

const SettingKey kPhsftKeys[] = {
    {"PhaseShift", "nimage"},   {"PhaseShift", "image_width"}, {"PhaseShift", "image_height"},
    {"PhaseShift", "coord"},    {"PSLIB", "Q_evec"},           {"PSLIB", "search_div"},
    {"PSLIB", "bw_diff"},       {"PSLIB", "brightness"},       {"PSLIB", "darkness"},
    {"PSLIB", "step_diff"},     {"PSLIB", "max_step"},         {"PSLIB", "max_ph_diff"},
    {"PSLIB", "max_tex_diff"},  {"PSLIB", "max_parallax"},     {"PSLIB", "min_parallax"},
    {"PSLIB", "right_dup_cnt"}, {"PSLIB", "ls_points"},        {"PSLIB", "evec_error"},
};

const SettingKey kSgbmKeys[] = {
    {"StereoSGBM", "image_width"},
    {"StereoSGBM", "image_height"},
    {"StereoSGBM", "coord"},
    {"SGBMLIB", "Q_evec"},
    {"SGBMLIB", "min_disparity"},
    {"SGBMLIB", "num_disparities"},
    {"SGBMLIB", "block_size"},
    {"SGBMLIB", "P1"},
    {"SGBMLIB", "P2"},
    {"SGBMLIB", "disp_12_max_diff"},
    {"SGBMLIB", "pre_filter_cap"},
    {"SGBMLIB", "uniqueness_ratio"},
    {"SGBMLIB", "speckle_window_size"},
    {"SGBMLIB", "speckle_range"},
    {"SGBMLIB", "mode"},
    {"SGBMLIB", "evec_error"},
};

// A temporary file removed when this goes away.
struct TempFile {
  std::string path;
  explicit TempFile(const char* stem) {
    std::string pattern = (fs::temp_directory_path() / (std::string(stem) + "_XXXXXX")).string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = ::mkstemp(buf.data());
    if (fd < 0) throw std::runtime_error("cannot create a temporary file in " + fs::temp_directory_path().string());
    ::close(fd);
    path = buf.data();
  }
  ~TempFile() {
    if (!path.empty()) ::unlink(path.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
};

// One settings value as INI text, with the full precision of a double.
std::string settingText(py::handle value, const std::string& key) {
  if (py::isinstance<py::bool_>(value)) return value.cast<bool>() ? "1" : "0";
  if (py::isinstance<py::int_>(value)) return std::string(py::str(value));
  if (py::isinstance<py::float_>(value)) {
    const double v = value.cast<double>();
    if (!std::isfinite(v)) throw py::value_error("setting '" + key + "' must be finite");
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
  }
  if (py::isinstance<py::str>(value)) {
    std::string s = value.cast<std::string>();
    if (s.find_first_of("\r\n") != std::string::npos) {
      throw py::value_error("setting '" + key + "' must be one line");
    }
    return s;
  }
  throw py::type_error("setting '" + key + "' must be an int, float or str, not " +
                       std::string(py::str(py::type::handle_of(value).attr("__name__"))));
}

// The INI text of a settings dict: flat {"image_width": 320, ...}, keys as in
// the decoder's settings file (compared without case, as the INI reader does).
template <std::size_t N>
std::string settingsIni(const py::dict& settings, const SettingKey (&keys)[N], const char* decoderName) {
  std::vector<std::pair<std::string, std::string>> lines;  // section, "key=value"
  for (auto item : settings) {
    if (!py::isinstance<py::str>(item.first)) throw py::type_error("settings keys must be str");
    const std::string key = item.first.cast<std::string>();
    const SettingKey* found = nullptr;
    for (const SettingKey& k : keys) {
      if (platform::equalsNoCase(k.key, key)) found = &k;
    }
    if (!found) {
      std::string known;
      for (const SettingKey& k : keys) known += std::string(known.empty() ? "" : ", ") + k.key;
      throw py::key_error("unknown setting '" + key + "' for the " + decoderName + " (known: " + known + ")");
    }
    lines.emplace_back(found->section, std::string(found->key) + "=" + settingText(item.second, key));
  }
  std::string ini;
  std::vector<std::string> sections;
  for (const auto& l : lines) {
    bool seen = false;
    for (const auto& s : sections) seen = seen || s == l.first;
    if (!seen) sections.push_back(l.first);
  }
  for (const auto& s : sections) {
    ini += "[" + s + "]\n";
    for (const auto& l : lines) {
      if (l.first == s) ini += l.second + "\n";
    }
  }
  return ini;
}

std::string pathText(py::handle obj, const char* name) {
  py::object fspath = py::module_::import("os").attr("fspath");
  if (py::isinstance<py::str>(obj) || py::hasattr(obj, "__fspath__")) {
    py::object p = fspath(obj);
    if (py::isinstance<py::str>(p)) return p.cast<std::string>();
  }
  throw py::type_error(std::string(name) + " must be a str or os.PathLike path");
}

std::uintmax_t fileSize(const std::string& path) {
  std::error_code ec;
  auto s = fs::file_size(path, ec);
  return ec ? 0 : s;
}

// Lines starting at byte `from` of the log that carry "error:".
std::string errorLinesSince(const std::string& path, std::uintmax_t from) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  in.seekg(static_cast<std::streamoff>(from));
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.find("error:") != std::string::npos) out += (out.empty() ? "" : "\n") + line;
  }
  return out;
}

// Reads 8-bit grey images into one (count, H, W) array; every image must
// have the size of the first.
py::array_t<std::uint8_t> readImages(const std::vector<std::string>& files) {
  py::array_t<std::uint8_t> out;
  std::size_t frame = 0;
  int width = 0, height = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& file = files[i];
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
      throw py::value_error("no such image: " + file);  // turned into FileNotFoundError below
    }
    cv::Mat img = cv::imread(file, cv::IMREAD_UNCHANGED);
    if (img.empty()) throw py::value_error("not an image file: " + file);
    if (img.type() != CV_8UC1) throw py::value_error("not an 8-bit grey image: " + file);
    if (i == 0) {
      width = img.cols;
      height = img.rows;
      frame = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
      out = py::array_t<std::uint8_t>(
          {static_cast<py::ssize_t>(files.size()), static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)});
    } else if (img.cols != width || img.rows != height) {
      throw py::value_error(file + " is " + std::to_string(img.cols) + " x " + std::to_string(img.rows) +
                            ", the first image " + std::to_string(width) + " x " + std::to_string(height));
    }
    std::uint8_t* dst = out.mutable_data() + i * frame;
    for (int y = 0; y < height; ++y) {
      std::memcpy(dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(width), img.ptr(y),
                  static_cast<std::size_t>(width));
    }
  }
  return out;
}

std::vector<std::string> imageSetFiles(const std::string& folder, int camera, int perCamera) {
  std::vector<std::string> files;
  char name[32];
  if (perCamera == 1) {
    std::snprintf(name, sizeof name, "texture_cam%d.pgm", camera);
    files.push_back((fs::path(folder) / name).string());
  } else {
    for (int k = 0; k < perCamera; ++k) {
      std::snprintf(name, sizeof name, "cam%d_%02d.pgm", camera, k);
      files.push_back((fs::path(folder) / name).string());
    }
  }
  return files;
}

py::tuple readImageSet(const std::string& folder, int perCamera) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    PyErr_SetString(PyExc_FileNotFoundError, ("no such image folder: " + folder).c_str());
    throw py::error_already_set();
  }
  for (int c = 0; c < 2; ++c) {
    for (const std::string& f : imageSetFiles(folder, c, perCamera)) {
      if (!fs::is_regular_file(f, ec)) {
        PyErr_SetString(PyExc_FileNotFoundError, ("no such image: " + f).c_str());
        throw py::error_already_set();
      }
    }
  }
  py::array_t<std::uint8_t> left = readImages(imageSetFiles(folder, 0, perCamera));
  py::array_t<std::uint8_t> right = readImages(imageSetFiles(folder, 1, perCamera));
  if (perCamera == 1) {
    left = left.reshape({left.shape(1), left.shape(2)});
    right = right.reshape({right.shape(1), right.shape(2)});
  }
  return py::make_tuple(left, right);
}

// A malloc'd copy of one output array, handed to numpy as the owner of the
// array's memory (freed with the last view of it).
struct Block {
  void* data = nullptr;
  Block() = default;
  Block(Block&& o) noexcept : data(o.data) { o.data = nullptr; }
  Block& operator=(Block&& o) noexcept {
    std::swap(data, o.data);
    return *this;
  }
  ~Block() { std::free(data); }
  // Runs without the GIL: plain memory only.
  static Block allocate(std::size_t bytes) {
    Block b;
    b.data = std::malloc(bytes ? bytes : 1);
    return b;
  }
  template <typename T>
  py::array_t<T> toArray(std::vector<py::ssize_t> shape) {
    if (!data) return py::array_t<T>(shape);  // no points: an empty array of the right shape
    void* p = data;
    py::capsule owner(p, [](void* q) { std::free(q); });
    data = nullptr;  // the capsule frees it from now on
    return py::array_t<T>(shape, static_cast<T*>(p), owner);
  }
};

// Copies the three output arrays of n points (19 bytes a point) on two
// threads, as the decoders work: a million points are 18 MB, whose copy and
// first touch of fresh pages would otherwise add several per cent to a
// 100 ms exec. Small clouds are copied on the calling thread.
void copyOutputs(std::size_t n, const float* points, const std::uint8_t* colours, const std::int32_t* pixels,
                 void* outPoints, void* outColours, void* outPixels) {
  const std::size_t pointBytes = n * 3 * sizeof(float);
  // The helper takes the first 3/4 of the points (~8.6 bytes a point), this
  // thread the rest with colours and pixel indices (~10.4 bytes a point).
  const std::size_t split = n < 65536 ? 0 : (n * 3 / 4) * 3 * sizeof(float);
  std::thread helper;
  if (split > 0) {
    try {
      helper = std::thread([=] { std::memcpy(outPoints, points, split); });
    } catch (const std::system_error&) {
      helper = std::thread();
    }
  }
  const std::size_t from = helper.joinable() ? split : 0;
  std::memcpy(static_cast<char*>(outPoints) + from, reinterpret_cast<const char*>(points) + from, pointBytes - from);
  std::memcpy(outColours, colours, n * 3);
  std::memcpy(outPixels, pixels, n * sizeof(std::int32_t));
  if (helper.joinable()) helper.join();
}

// What both decoder bindings share; Api is IDecPhsft or IDecSgbm.
template <typename Api>
struct DecoderTraits;

template <>
struct DecoderTraits<IDecPhsft> {
  static constexpr const char* kLibrary = "libOrvDecPhsft.so";
  static constexpr const char* kFactory = "CreateIDecPhsftInstance";
  static constexpr const char* kClass = "PhaseShiftDecoder";
  static constexpr const char* kName = "phase-shift decoder";
  static const SettingKey (&keys())[std::size(kPhsftKeys)] { return kPhsftKeys; }
  static int perCamera(IDecPhsft* d) { return d->getImageCount(); }
};

template <>
struct DecoderTraits<IDecSgbm> {
  static constexpr const char* kLibrary = "libOrvDecSgbm.so";
  static constexpr const char* kFactory = "CreateIDecSgbmInstance";
  static constexpr const char* kClass = "SgbmDecoder";
  static constexpr const char* kName = "SGBM decoder";
  static const SettingKey (&keys())[std::size(kSgbmKeys)] { return kSgbmKeys; }
  static int perCamera(IDecSgbm*) { return 1; }
};

template <typename Api>
class Decoder {
  using Traits = DecoderTraits<Api>;

 public:
  Decoder(py::object settings, py::object calibration, py::object library, py::object log) {
    bool expected = false;
    if (!alive().compare_exchange_strong(expected, true)) {
      throw std::runtime_error(std::string("a ") + Traits::kClass +
                               " is already open in this process: the library's working buffers, "
                               "calibration and logger are process-wide, so only one decoder object of "
                               "each kind may exist at a time; close() the other one first");
    }
    try {
      const std::string where = library.is_none() ? std::string() : pathText(library, "library");
      void* handle = loadLibrary(Traits::kLibrary, where);
      auto create = reinterpret_cast<Api* (*)()>(findSymbol(handle, Traits::kFactory, Traits::kLibrary));
      dec_ = create();
      if (!dec_) throw std::runtime_error(std::string(Traits::kFactory) + " returned no decoder");
      if (log.is_none()) {
        ownLog_ = std::make_unique<TempFile>("zelcam_decoder_log");
        logPath_ = ownLog_->path;
      } else {
        logPath_ = pathText(log, "log");
      }
      dec_->setLog(1, logPath_.c_str());
      setSettings(settings);
      if (!calibration.is_none()) loadCalibration(calibration);
    } catch (...) {
      releaseDecoder();
      alive().store(false);  // also when no decoder was made: the slot is free again
      throw;
    }
  }
  ~Decoder() { releaseDecoder(); }

  void close() {
    std::unique_lock<std::mutex> lock = lockBusy();
    releaseDecoder();
  }

  void setSettings(py::object settings) {
    Api* d = need();
    bool ok;
    if (settings.is_none()) {
      ok = d->setParamFromFile(nullptr);
    } else if (py::isinstance<py::dict>(settings)) {
      const std::string ini = settingsIni(settings.cast<py::dict>(), Traits::keys(), Traits::kName);
      TempFile file("zelcam_settings");
      std::ofstream(file.path, std::ios::binary) << ini;
      ok = d->setParamFromFile(file.path.c_str());
    } else {
      std::string path = pathText(settings, "settings");
      std::error_code ec;
      if (!fs::is_regular_file(path, ec)) {
        PyErr_SetString(PyExc_FileNotFoundError, ("settings file not found: " + path).c_str());
        throw py::error_already_set();
      }
      // A path without a folder part would be taken relative to the current
      // directory by the decoder too; made absolute here so that the message
      // names the file that was read.
      path = fs::absolute(path).string();
      ok = d->setParamFromFile(path.c_str());
    }
    if (!ok) throw std::runtime_error(std::string("the ") + Traits::kName + " could not read its settings");
    // The thresholds only reach the decoding through loadCalibration.
    calibrated_ = false;
  }

  void loadCalibration(py::object folder) {
    Api* d = need();
    const std::string dir = pathText(folder, "calibration");
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
      PyErr_SetString(PyExc_FileNotFoundError, ("calibration folder not found: " + dir).c_str());
      throw py::error_already_set();
    }
    calibrated_ = false;
    std::string said;
    const std::uintmax_t logStart = fileSize(logPath_);
    // The loader prints its progress and complaints on the standard output
    // and error; the GIL is held, so no Python thread writes there meanwhile.
    const bool ok = platform::captureStandardOutput(&said, [&] { return d->loadCalibration(dir.c_str()); });
    calibrationOutput_ = said;
    // The SGBM decoder reports success even without calibration files; its
    // loader's "baseline" line is the sign that they loaded.
    const bool loaded = ok && (std::is_same_v<Api, IDecPhsft> || said.find("baseline") != std::string::npos);
    if (!loaded) {
      std::string why = errorLinesSince(logPath_, logStart);
      if (!said.empty()) why += (why.empty() ? "" : "\n") + said;
      throw std::runtime_error("the calibration in " + dir +
                               " does not load (\"coord\" 0 reads cam0_param.yaml and cam1_param.yaml, 1 reads "
                               "hmat0.dat, hmat1.dat and rect.param)" +
                               (why.empty() ? std::string() : ":\n" + why));
    }
    calibrated_ = true;
  }

  // The decoder's image layout for one camera: (count, H, W), or (H, W) for SGBM.
  std::vector<py::ssize_t> cameraShape() {
    Api* d = need();
    const py::ssize_t h = d->getImageHeight(), w = d->getImageWidth(), count = Traits::perCamera(d);
    if (h <= 0 || w <= 0 || count <= 0) {
      throw std::runtime_error("the settings give " + std::to_string(count) + " images of " + std::to_string(w) +
                               " x " + std::to_string(h) + " pixels per camera; nothing can be decoded");
    }
    if constexpr (std::is_same_v<Api, IDecSgbm>) return {h, w};
    return {count, h, w};
  }

  py::object decode(py::object left, py::object right, bool rectified) {
    Api* d = need();
    if (std::is_same_v<Api, IDecPhsft> && rectified) {
      throw py::value_error("rectified=True is for SgbmDecoder: the phase-shift decoder always rectifies");
    }
    if (right.is_none()) {
      const std::string folder = pathText(left, "left (a folder when right is not given)");
      py::tuple pair = readImageSet(folder, Traits::perCamera(d));
      return decode(pair[0], pair[1], rectified);
    }
    py::array l = checkedImages(left, "left");
    py::array r = checkedImages(right, "right");
    if (!calibrated_) {
      throw std::runtime_error(std::string("the ") + Traits::kName +
                               " has no calibration: call load_calibration(folder) first (also after "
                               "changing the settings)");
    }
    std::unique_lock<std::mutex> lock = lockBusy();
    d = need();
    ImagePair pair;
    pair.left = static_cast<const std::uint8_t*>(l.data());
    pair.right = static_cast<const std::uint8_t*>(r.data());
    float* points = nullptr;
    std::uint8_t* colours = nullptr;
    std::int32_t* pixels = nullptr;
    std::int32_t n = 0;
    const std::uintmax_t logStart = fileSize(logPath_);
    // The decoder's arrays live until its next exec: each is copied once, into
    // memory that the returned numpy arrays own, still without the GIL (one
    // hand-over of the GIL per call, not two).
    Block outPoints, outColours, outPixels;
    {
      py::gil_scoped_release release;
      const auto t0 = std::chrono::steady_clock::now();
      if constexpr (std::is_same_v<Api, IDecSgbm>) {
        if (rectified) {
          d->setRectifiedImages(pair);
        } else {
          d->setImages(pair);
        }
        n = d->exec(&points, &colours, !rectified, &pixels);
      } else {
        (void)rectified;
        d->setImages(pair);
        n = d->exec(&points, &colours, false, &pixels);
      }
      lastExecMs_ = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      if (n > 0 && points && colours && pixels) {
        const std::size_t count = static_cast<std::size_t>(n);
        outPoints = Block::allocate(count * 3 * sizeof(float));
        outColours = Block::allocate(count * 3);
        outPixels = Block::allocate(count * sizeof(std::int32_t));
        if (outPoints.data && outColours.data && outPixels.data) {
          copyOutputs(count, points, colours, pixels, outPoints.data, outColours.data, outPixels.data);
        }
      }
    }
    if (n > 0 && !(outPoints.data && outColours.data && outPixels.data)) {
      throw std::runtime_error(std::string("the ") + Traits::kName + " returned " + std::to_string(n) +
                               " points but not all of its arrays");
    }
    if (n <= 0) {
      const std::string errors = errorLinesSince(logPath_, logStart);
      if (!errors.empty()) throw std::runtime_error(std::string("the ") + Traits::kName + " failed: " + errors);
      n = 0;
    }
    const py::ssize_t rows = n;
    return decodeResultType()(outPoints.toArray<float>({rows, 3}), outColours.toArray<std::uint8_t>({rows, 3}),
                              outPixels.toArray<std::int32_t>({rows}));
  }

  // SGBM only: copies of the decoder's rectified image buffers (slot 9).
  py::tuple rectifiedImages() {
    std::unique_lock<std::mutex> lock = lockBusy();
    Api* d = need();
    const py::ssize_t h = d->getImageHeight(), w = d->getImageWidth();
    py::list out;
    for (int c = 0; c < 2; ++c) {
      const std::uint8_t* src = nullptr;
      if constexpr (std::is_same_v<Api, IDecSgbm>) src = d->getRectifiedImage(c);
      if (!src || h <= 0 || w <= 0) throw std::runtime_error("the decoder has no rectified images");
      py::array_t<std::uint8_t> img({h, w});
      std::memcpy(img.mutable_data(), src, static_cast<std::size_t>(h) * static_cast<std::size_t>(w));
      out.append(img);
    }
    return py::tuple(out);
  }

  int width() { return need()->getImageWidth(); }
  int height() { return need()->getImageHeight(); }
  int imageCount() { return Traits::perCamera(need()); }
  double lastExecMs() const { return lastExecMs_; }
  const std::string& calibrationOutput() const { return calibrationOutput_; }
  const std::string& logPath() const { return logPath_; }
  bool calibrated() const { return calibrated_; }

 private:
  static std::atomic<bool>& alive() {
    static std::atomic<bool> flag{false};
    return flag;
  }

  Api* need() {
    if (!dec_) throw std::runtime_error(std::string("this ") + Traits::kClass + " is closed");
    return dec_;
  }

  // Takes the object's lock without holding the GIL, so that a thread that
  // holds the lock and waits for the GIL never deadlocks with one that holds
  // the GIL and waits for the lock.
  std::unique_lock<std::mutex> lockBusy() {
    std::unique_lock<std::mutex> lock(busy_, std::defer_lock);
    if (PyGILState_Check()) {
      py::gil_scoped_release release;
      lock.lock();
    } else {
      lock.lock();
    }
    return lock;
  }

  void releaseDecoder() {
    if (dec_) {
      dec_->setLog(0, nullptr);
      dec_->release();
      dec_ = nullptr;
      alive().store(false);
    }
  }

  py::array checkedImages(py::object obj, const char* name) {
    py::array a = asArray(obj, name);
    requireDtype<std::uint8_t>(a, name, "uint8");
    std::vector<py::ssize_t> shape = cameraShape();
    if constexpr (std::is_same_v<Api, IDecSgbm>) {
      if (a.ndim() == 3) shape.insert(shape.begin(), 1);  // (1, H, W) is one image too
      requireShape(a, name, shape, "one 8-bit image per camera of \"image_height\" x \"image_width\"");
    } else {
      requireShape(a, name, shape, "\"nimage\" images of \"image_height\" x \"image_width\" per camera");
    }
    requireContiguous(a, name);
    return a;
  }

  Api* dec_ = nullptr;
  std::unique_ptr<TempFile> ownLog_;
  std::string logPath_;
  std::string calibrationOutput_;
  bool calibrated_ = false;
  double lastExecMs_ = 0;
  std::mutex busy_;
};

const char kDecodeDoc[] = R"(Decodes one image set and returns DecodeResult(points, colors, pixel_indices).

left, right: the images of each camera as C-contiguous uint8 numpy arrays,
{shape};
or left alone as a folder in the layout `zelscan decode --images` reads:
{files}.
Anything else raises TypeError (not an array, wrong dtype) or ValueError
(wrong shape, not C-contiguous); nothing is converted silently.

Returns numpy arrays owned by Python (the decoder's own arrays are copied
once, without the GIL): points (N, 3) float32 x, y, z in the calibration's
unit and the left rectified frame; colors (N, 3) uint8 (the white reference
grey three times); pixel_indices (N,) int32, row * width + column in the left
rectified image, ascending. N is 0 when no pixel decodes. The GIL is released
while the decoder runs; calls on one object are serialised.)";

template <typename Api>
void bindDecoder(py::module_& m, const char* doc, const char* decodeDoc) {
  using D = Decoder<Api>;
  py::class_<D> cls(m, DecoderTraits<Api>::kClass, doc);
  if constexpr (std::is_same_v<Api, IDecSgbm>) {
    cls.def("rectified_images", &D::rectifiedImages,
            "Copies of the left and right images the last decode() rectified: two (height, width)\n"
            "uint8 arrays (zero before the first decode that rectified).");
  }
  cls.def(py::init<py::object, py::object, py::object, py::object>(), py::arg("settings") = py::none(),
          py::arg("calibration") = py::none(), py::kw_only(), py::arg("library") = py::none(),
          py::arg("log") = py::none())
      .def("decode", &D::decode, py::arg("left"), py::arg("right") = py::none(), py::kw_only(),
           py::arg("rectified") = false, decodeDoc)
      .def("set_settings", &D::setSettings, py::arg("settings") = py::none(),
           "Reads new settings (None: the defaults; a dict; or an INI path). The decoding only takes\n"
           "them over at the next load_calibration(), which is then required before decode().")
      .def("load_calibration", &D::loadCalibration, py::arg("folder"),
           "Loads the calibration files from a folder (cam0_param.yaml and cam1_param.yaml with\n"
           "\"coord\" 0; hmat0.dat, hmat1.dat and rect.param with \"coord\" 1). RuntimeError with the\n"
           "loader's messages when they do not load; FileNotFoundError for a missing folder.")
      .def("close", &D::close,
           "Releases the decoder object (the library stays loaded). Another decoder of this kind\n"
           "may be created afterwards. Further calls on this object raise RuntimeError.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](D& d, py::args) { d.close(); })
      .def_property_readonly("width", &D::width, "\"image_width\" of the settings (pixels).")
      .def_property_readonly("height", &D::height, "\"image_height\" of the settings (pixels).")
      .def_property_readonly("image_count", &D::imageCount, "Images per camera that decode() takes.")
      .def_property_readonly("calibrated", &D::calibrated, "True after a successful load_calibration().")
      .def_property_readonly("last_exec_ms", &D::lastExecMs,
                             "Wall time of the decoder's exec in the last decode() (milliseconds).")
      .def_property_readonly("calibration_output", &D::calibrationOutput,
                             "What the calibration loader printed at the last load_calibration().")
      .def_property_readonly("log_path", &D::logPath,
                             "The decoder's log file (stage times, error lines); a private temporary\n"
                             "file removed at close() unless log= was given.");
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
  return s;
}

}  // namespace

py::object& decodeResultType() {
  static py::object* type = nullptr;
  if (!type) {
    type = new py::object(py::module_::import("collections")
                              .attr("namedtuple")("DecodeResult", py::make_tuple("points", "colors", "pixel_indices"),
                                                  py::arg("module") = "zelcam"));
    type->attr("__doc__") =
        "Result of a decoder: points (N, 3) float32, colors (N, 3) uint8, pixel_indices (N,) int32.";
  }
  return *type;
}

void bindDecoders(py::module_& m) {
  m.attr("DecodeResult") = decodeResultType();
  static const std::string phsftDecode =
      replaceAll(replaceAll(kDecodeDoc, "{shape}", "shape (image_count, height, width) each (13 images by default)"),
                 "{files}", "cam0_00.pgm..cam0_12.pgm, cam1_00.pgm..cam1_12.pgm");
  static const std::string sgbmDecode =
      replaceAll(replaceAll(kDecodeDoc, "{shape}", "shape (height, width) or (1, height, width) each"), "{files}",
                 "texture_cam0.pgm, texture_cam1.pgm") +
      "\n\nrectified=True: the images are already rectified and are matched as they are.";
  bindDecoder<IDecPhsft>(m,
                         R"(The phase-shift decoder (libOrvDecPhsft.so), loaded through its factory.

PhaseShiftDecoder(settings=None, calibration=None, *, library=None, log=None)

settings: None (the built-in defaults), a dict of settings keys ("image_width",
"image_height", "nimage", "coord", "max_ph_diff", ... as in the INI file's
"PhaseShift" and "PSLIB" sections), or the path of an INI file.
calibration: a folder with the calibration files; may be loaded later with
load_calibration().
library: the folder holding libOrvDecPhsft.so, or the library file itself.
By default $ZELCAM_LIB_DIR, this package's folder, the build tree's lib
folder and the loader's path are searched.
log: the decoder's log file (stage times); by default a private temporary file.

One decoder object of each kind per process: the library keeps its working
buffers, calibration and logger process-wide, so creating a second one while
the first is open raises RuntimeError. Use close() or a with block.)",
                         phsftDecode.c_str());
  bindDecoder<IDecSgbm>(m,
                        R"(The SGBM decoder (libOrvDecSgbm.so), loaded through its factory.

SgbmDecoder(settings=None, calibration=None, *, library=None, log=None)

As PhaseShiftDecoder, with one image per camera and the settings of the
"StereoSGBM" and "SGBMLIB" sections ("min_disparity", "num_disparities",
"block_size", "P1", "P2", ...). One SGBM decoder object per process.)",
                        sgbmDecode.c_str());
  m.def(
      "read_image_set",
      [](py::object folder, int imagesPerCamera) {
        if (imagesPerCamera < 1 || imagesPerCamera > 99) {
          throw py::value_error("images_per_camera must be 1..99");
        }
        return readImageSet(pathText(folder, "folder"), imagesPerCamera);
      },
      py::arg("folder"), py::arg("images_per_camera") = 13,
      R"(Reads the image set of a folder in the layout `zelscan decode --images` reads.

images_per_camera=13: cam0_00.pgm..cam0_12.pgm and cam1_00.pgm..cam1_12.pgm,
returned as two (13, H, W) uint8 arrays; 1: texture_cam0.pgm and
texture_cam1.pgm, returned as two (H, W) arrays. FileNotFoundError for a
missing file, ValueError for a file that is no 8-bit grey image or has
another size than the first.)");
}

}  // namespace zelcam_py
