// zelscan shot: one 13-pattern shot through a camera plug-in, written as the
// image set `zelscan decode` reads.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "apps/zelscan/camera_host.h"
#include "apps/zelscan/commands.h"

namespace zelscan {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kPatterns = 13;

const char kShotHelp[] =
    "Usage: zelscan shot --camera NAME|PATH --out DIR [--trigger soft|hard]\n"
    "                    [--projector ADDR|COMn] [--exposure N] [--gain N]\n"
    "                    [--timeout MS] [--settle MS] [--log FILE] [--format N] [--option N]\n"
    "                    [--revision 23|25]\n"
    "                    [--decode --calib DIR --cloud FILE [--settings FILE]]\n"
    "\n"
    "Takes one 13-pattern shot: for each pattern the projector shows it (\"p<n>\")\n"
    "and the cameras are triggered by capture (soft) or by the projector through\n"
    "their trigger input (hard); both frames must arrive within the time-out.\n"
    "The ktds head has its projector inside: its commands go through the plug-in\n"
    "and need no --projector.\n"
    "  --camera    ace, stgige, ebus, stcsb, ueye, ktds, or a plug-in library path\n"
    "  --out       folder for cam0_00.pgm..cam0_12.pgm and cam1_00.pgm..cam1_12.pgm;\n"
    "              written only when the whole set arrived\n"
    "  --trigger   soft (default: capture) or hard (needs --projector, except ktds)\n"
    "  --projector IPv4 address of the projector (TCP port 5073) or COMn\n"
    "  --exposure, --gain  set on both cameras, in the plug-in's units\n"
    "  --timeout   how long to wait for the frames of one pattern (default 5000 ms)\n"
    "  --settle    wait between a pattern command and capture (default 0; ktds 100 ms:\n"
    "              its head streams all the time, and a frame begun before the\n"
    "              pattern changed must not be the one captured)\n"
    "  --log       the plug-in's log file\n"
    "  --format, --option  passed to open (sensor mode; head address for ktds)\n"
    "  --revision  interface revision of a plug-in given by path (default: from its name)\n"
    "  --decode    decode the set with the phase-shift decoder and write --cloud\n";

bool isOption(const char* a) { return a[0] == '-' && a[1] == '-'; }

bool parseInt(const std::string& text, int* value) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

// Frames from the plug-in's threads. The callback only copies the frame into
// the slot of the pattern being shot and releases a semaphore: it never waits
// for the host's thread, so the plug-in's thread is never held up.
class ShotReceiver {
 public:
  static ShotReceiver& instance() {
    static ShotReceiver receiver;
    return receiver;
  }

  void prepare(int width, int height) {
    width_ = width;
    height_ = height;
    const std::size_t frame = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    for (int c = 0; c < 2; ++c) {
      // The interface tells the size of camera-1 only; a second camera with
      // larger frames must not write past the buffer, so there is room for
      // four times the size, and such a frame is reported as wrong.
      hostBuffers_[c].assign(4 * frame, 0);
      images_[c].assign(kPatterns * frame, 0);
      for (int p = 0; p < kPatterns; ++p) {
        claimed_[c][p] = false;
        done_[c][p] = false;
      }
      extra_[c] = 0;
      wrongSize_[c] = 0;
      stray_[c] = 0;
    }
  }

  unsigned char* hostBuffer(int camera) { return hostBuffers_[camera].data(); }
  const std::uint8_t* image(int camera, int pattern) const {
    return images_[camera].data() + static_cast<std::size_t>(pattern) * frameBytes();
  }
  void expect(int pattern) { current_.store(pattern); }
  bool done(int camera, int pattern) const { return done_[camera][pattern].load(); }
  std::uint32_t frameIndex(int camera, int pattern) const { return frameIndex_[camera][pattern]; }
  int extra(int camera) const { return extra_[camera].load(); }
  int wrongSize(int camera) const { return wrongSize_[camera].load(); }
  std::pair<int, int> lastWrongSize(int camera) const {
    return {wrongWidth_[camera].load(), wrongHeight_[camera].load()};
  }
  // Waits for any callback until the deadline.
  bool waitUntil(Clock::time_point deadline) { return arrived_.try_acquire_until(deadline); }

  static int callback(int camera, std::uint32_t frameIndex, std::int32_t width, std::int32_t height,
                      unsigned char* buffer) {
    ShotReceiver& r = instance();
    if (camera < 0 || camera > 1) return 0;
    const int pattern = r.current_.load();
    if (pattern < 0) {
      r.stray_[camera].fetch_add(1);
    } else if (width != r.width_ || height != r.height_) {
      r.wrongWidth_[camera] = width;
      r.wrongHeight_[camera] = height;
      r.wrongSize_[camera].fetch_add(1);
    } else if (r.claimed_[camera][pattern].exchange(true)) {
      r.extra_[camera].fetch_add(1);
    } else {
      std::memcpy(r.images_[camera].data() + static_cast<std::size_t>(pattern) * r.frameBytes(), buffer,
                  r.frameBytes());
      r.frameIndex_[camera][pattern] = frameIndex;
      r.done_[camera][pattern].store(true);
    }
    r.arrived_.release();
    return 0;
  }

 private:
  std::size_t frameBytes() const { return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_); }

  int width_ = 0, height_ = 0;
  std::vector<std::uint8_t> hostBuffers_[2];
  std::vector<std::uint8_t> images_[2];
  std::atomic<int> current_{-1};
  std::atomic<bool> claimed_[2][kPatterns]{};
  std::atomic<bool> done_[2][kPatterns]{};
  std::uint32_t frameIndex_[2][kPatterns]{};
  std::atomic<int> extra_[2]{}, wrongSize_[2]{}, stray_[2]{};
  std::atomic<int> wrongWidth_[2]{}, wrongHeight_[2]{};
  std::counting_semaphore<1 << 20> arrived_{0};
};

struct ShotOptions {
  std::string camera, out, projector, log, calib, cloud, settings;
  bool hardTrigger = false, decode = false, headProjector = false;
  bool hasExposure = false, hasGain = false;
  int exposure = 0, gain = 0, timeoutMs = 5000, settleMs = -1, format = 0, option = 0, revision = 0;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "zelscan shot: %s\n", message.c_str());
  return 1;
}

// Writes the set into a staging folder beside out, then moves it in: a
// failure leaves no partial set under the names decode reads.
bool writeImageSet(const ShotReceiver& r, int width, int height, const fs::path& out, std::string* error) {
  std::error_code ec;
  fs::path stage = out;
  stage += ".partial";
  fs::remove_all(stage, ec);
  if (!fs::create_directories(stage, ec)) {
    *error = "cannot make " + stage.string() + ": " + ec.message();
    return false;
  }
  std::vector<std::string> names;
  for (int c = 0; c < 2; ++c) {
    for (int p = 0; p < kPatterns; ++p) {
      char name[32];
      std::snprintf(name, sizeof name, "cam%d_%02d.pgm", c, p);
      names.push_back(name);
      cv::Mat image(height, width, CV_8UC1, const_cast<std::uint8_t*>(r.image(c, p)));
      bool ok = false;
      try {
        ok = cv::imwrite((stage / name).string(), image);
      } catch (const cv::Exception&) {
        ok = false;
      }
      if (!ok) {
        fs::remove_all(stage, ec);
        *error = "cannot write " + (out / name).string();
        return false;
      }
    }
  }
  if (!fs::exists(out, ec)) {
    fs::rename(stage, out, ec);
    if (!ec) return true;
  }
  fs::create_directories(out, ec);
  for (const std::string& name : names) {
    fs::rename(stage / name, out / name, ec);
    if (ec) {
      // Names already moved would form a mixed set with older files: none
      // of the set stays.
      for (const std::string& n : names) fs::remove(out / n, ec);
      fs::remove_all(stage, ec);
      *error = "cannot move the images into " + out.string();
      return false;
    }
  }
  fs::remove_all(stage, ec);
  return true;
}

int runShot(const ShotOptions& o) {
  unsigned projectorAddress = 0;
  std::string error;
  if (!o.projector.empty() && !parseProjectorAddress(o.projector, &projectorAddress, &error)) {
    std::fprintf(stderr, "zelscan shot: %s\n", error.c_str());
    return 2;
  }
  std::unique_ptr<CameraHost> cam = loadCameraHost(o.camera, o.revision, &error);
  if (!cam) return fail(error);
  if (!o.log.empty()) cam->setLog(1, o.log.c_str());
  ShotReceiver& r = ShotReceiver::instance();
  r.expect(-1);
  // Callbacks first, without buffers: nothing is delivered until the buffers
  // of the opened cameras' size are registered below.
  for (int c = 0; c < 2; ++c) cam->setCallback(c, &ShotReceiver::callback, nullptr);

  const unsigned mask = cam->open(o.format, o.option);
  if (mask != 3) {
    std::string which = mask == 0 ? "no camera" : mask == 1 ? "camera-2" : "camera-1";
    return fail(which + (mask == 0 ? " opened" : " did not open") + " (open returned " + std::to_string(mask) +
                (o.log.empty() ? "; --log FILE tells why)" : "; see " + o.log + ")"));
  }
  const ZelcamImageSize size = cam->getImageSize();
  if (size.width <= 0 || size.height <= 0 || size.width > 16384 || size.height > 16384) {
    return fail("the cameras report an image size of " + std::to_string(size.width) + " x " +
                std::to_string(size.height));
  }
  r.prepare(size.width, size.height);
  for (int c = 0; c < 2; ++c) cam->setCallback(c, &ShotReceiver::callback, r.hostBuffer(c));

  if (!cam->setTriggerMode(o.hardTrigger ? 0 : 1)) {
    return fail(std::string("the cameras refused ") + (o.hardTrigger ? "hardware" : "software") + " trigger mode");
  }
  for (int c = 0; c < 2; ++c) {
    if (o.hasExposure && !cam->setExposure(c, o.exposure)) {
      return fail("camera-" + std::to_string(c + 1) + " refused exposure " + std::to_string(o.exposure));
    }
    if (o.hasGain && !cam->setGain(c, o.gain)) {
      return fail("camera-" + std::to_string(c + 1) + " refused gain " + std::to_string(o.gain));
    }
  }
  // The head's projector needs no address: opening it only says it is used.
  const bool useProjector = o.headProjector || !o.projector.empty();
  if (useProjector && !cam->openProjector(projectorAddress)) {
    return fail("cannot open the projector at " + o.projector);
  }
  const int settleMs = o.settleMs >= 0 ? o.settleMs : camera::host::defaultSettleMs(o.headProjector, o.hardTrigger);

  std::printf("zelscan shot: %d x %d, %s trigger\n", size.width, size.height, o.hardTrigger ? "hardware" : "software");
  std::fflush(stdout);
  cam->resetFrameCount();
  const Clock::time_point shotStart = Clock::now();
  for (int p = 0; p < kPatterns; ++p) {
    const Clock::time_point start = Clock::now();
    r.expect(p);
    if (useProjector && !cam->projectorCommandP(p)) {
      return fail("the projector did not show pattern " + std::to_string(p));
    }
    if (!o.hardTrigger && settleMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    if (!o.hardTrigger && !cam->capture()) return fail("capture failed at pattern " + std::to_string(p));
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(o.timeoutMs);
    for (;;) {
      for (int c = 0; c < 2; ++c) {
        if (r.wrongSize(c) > 0) {
          auto [w, h] = r.lastWrongSize(c);
          return fail("camera-" + std::to_string(c + 1) + " sent a frame of " + std::to_string(w) + " x " +
                      std::to_string(h) + " at pattern " + std::to_string(p) + ", expected " +
                      std::to_string(size.width) + " x " + std::to_string(size.height));
        }
        if (r.extra(c) > 0) {
          return fail("camera-" + std::to_string(c + 1) + " sent more than one frame for pattern " + std::to_string(p) +
                      " (is it running free of the trigger?)");
        }
      }
      if (r.done(0, p) && r.done(1, p)) break;
      if (!r.waitUntil(deadline) && Clock::now() >= deadline) {
        std::string missing = !r.done(0, p) && !r.done(1, p) ? "no frame from either camera"
                              : !r.done(0, p)                ? "no frame from camera-1"
                                                             : "no frame from camera-2";
        return fail(missing + " for pattern " + std::to_string(p) + " within " + std::to_string(o.timeoutMs) + " ms");
      }
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("zelscan shot: pattern %2d: camera-1 frame %u, camera-2 frame %u (%.0f ms)\n", p, r.frameIndex(0, p),
                r.frameIndex(1, p), ms);
    std::fflush(stdout);
  }
  r.expect(-1);
  const double shotMs = std::chrono::duration<double, std::milli>(Clock::now() - shotStart).count();
  cam->close();
  cam->closeProjector();
  cam.reset();

  if (!writeImageSet(r, size.width, size.height, o.out, &error)) return fail(error);
  std::printf("zelscan shot: 26 images in %.0f ms -> %s\n", shotMs, o.out.c_str());
  std::fflush(stdout);
  if (!o.decode) return 0;
  std::vector<std::string> args = {"--decoder", "phsft", "--calib", o.calib, "--images", o.out, "--out", o.cloud};
  if (!o.settings.empty()) {
    args.push_back("--settings");
    args.push_back(o.settings);
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return decodeCommand(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

int shotCommand(int argc, char** argv) {
  ShotOptions o;
  std::string trigger = "soft";
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc || isOption(argv[i + 1])) {
        std::fprintf(stderr, "zelscan shot: %s needs a value\n", a.c_str());
        return false;
      }
      into = argv[++i];
      return true;
    };
    auto number = [&](int& into, bool* given = nullptr) {
      std::string text;
      if (!value(text)) return false;
      if (!parseInt(text, &into)) {
        std::fprintf(stderr, "zelscan shot: %s needs a number, got '%s'\n", a.c_str(), text.c_str());
        return false;
      }
      if (given) *given = true;
      return true;
    };
    bool ok = true;
    if (a == "--help" || a == "-h") {
      std::fputs(kShotHelp, stdout);
      return 0;
    } else if (a == "--camera") {
      ok = value(o.camera);
    } else if (a == "--out") {
      ok = value(o.out);
    } else if (a == "--trigger") {
      ok = value(trigger);
    } else if (a == "--projector") {
      ok = value(o.projector);
    } else if (a == "--exposure") {
      ok = number(o.exposure, &o.hasExposure);
    } else if (a == "--gain") {
      ok = number(o.gain, &o.hasGain);
    } else if (a == "--timeout") {
      ok = number(o.timeoutMs);
    } else if (a == "--settle") {
      ok = number(o.settleMs);
    } else if (a == "--log") {
      ok = value(o.log);
    } else if (a == "--format") {
      ok = number(o.format);
    } else if (a == "--option") {
      ok = number(o.option);
    } else if (a == "--revision") {
      ok = number(o.revision);
    } else if (a == "--decode") {
      o.decode = true;
    } else if (a == "--calib") {
      ok = value(o.calib);
    } else if (a == "--cloud") {
      ok = value(o.cloud);
    } else if (a == "--settings") {
      ok = value(o.settings);
    } else {
      std::fprintf(stderr, "zelscan shot: unknown option '%s' (try 'zelscan shot --help')\n", a.c_str());
      return 2;
    }
    if (!ok) return 2;
  }
  if (o.camera.empty() || o.out.empty()) {
    std::fprintf(stderr, "zelscan shot: --camera and --out are required (try 'zelscan shot --help')\n");
    return 2;
  }
  if (trigger != "soft" && trigger != "hard") {
    std::fprintf(stderr, "zelscan shot: --trigger must be soft or hard, got '%s'\n", trigger.c_str());
    return 2;
  }
  o.hardTrigger = trigger == "hard";
  o.headProjector = camera::host::projectorInHead(o.camera);
  if (o.hardTrigger && o.projector.empty() && !o.headProjector) {
    std::fprintf(stderr, "zelscan shot: --trigger hard needs --projector (the projector fires the cameras)\n");
    return 2;
  }
  if (o.settleMs < -1 || o.settleMs > 60000) {
    std::fprintf(stderr, "zelscan shot: --settle must be 0..60000 ms\n");
    return 2;
  }
  if (o.timeoutMs <= 0) {
    std::fprintf(stderr, "zelscan shot: --timeout must be positive\n");
    return 2;
  }
  if (o.revision != 0 && o.revision != 23 && o.revision != 25) {
    std::fprintf(stderr, "zelscan shot: --revision must be 23 or 25\n");
    return 2;
  }
  if (o.decode && (o.calib.empty() || o.cloud.empty())) {
    std::fprintf(stderr, "zelscan shot: --decode needs --calib and --cloud\n");
    return 2;
  }
  return runShot(o);
}

}  // namespace zelscan
