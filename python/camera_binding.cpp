// Camera: a camera plug-in loaded through its factory (either interface
// revision), driven from Python; shot() takes the 13 pattern images.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/host/plugin_host.h"
#include "python/array_checks.h"
#include "python/bindings.h"
#include "python/library_loader.h"
#include "zelcam3d.h"

namespace zelcam_py {
namespace {

constexpr int kPatterns = 13;

using camera::host::PluginApi;

// An int is taken as the plug-in's own number (a serial port below 256,
// else an IPv4 address with the first octet in the lowest byte); a text as
// "COMn" or "a.b.c.d".
unsigned parseProjectorAddress(py::handle obj) {
  if (py::isinstance<py::int_>(obj)) {
    const long long v = obj.cast<long long>();
    if (v < 1 || v > 0xFFFFFFFFLL) throw py::value_error("projector address out of range");
    return static_cast<unsigned>(v);
  }
  unsigned address = 0;
  std::string error;
  if (!camera::host::parseProjectorAddress(py::str(obj), &address, &error)) throw py::value_error(error);
  return address;
}

class Camera;
std::atomic<Camera*> gCamera{nullptr};  // one plug-in instance per process

class Camera {
 public:
  Camera(const std::string& plugin, int revision, py::object library, py::object log) {
    Camera* expected = nullptr;
    if (!gCamera.compare_exchange_strong(expected, this)) {
      throw std::runtime_error(
          "a Camera is already open in this process: a plug-in's logger, trigger threads and exit event are "
          "process-wide, so only one instance may exist; release() the other one first");
    }
    try {
      std::string file = plugin, where;
      int rev = 25;
      if (plugin.find('/') != std::string::npos) {
        where = plugin;
        rev = camera::host::revisionOfLibrary(plugin);
      } else {
        const camera::host::KnownPlugin* known = camera::host::findPlugin(plugin);
        if (!known) {
          throw py::value_error("unknown camera plug-in '" + plugin +
                                "': ace, stgige, ebus, stcsb, ueye, ktds, or the path of a plug-in library");
        }
        file = std::string("lib") + known->deliverable + ".so";
        rev = known->revision;
        if (!library.is_none()) where = py::str(py::module_::import("os").attr("fspath")(library));
      }
      if (revision != 0 && revision != 23 && revision != 25) throw py::value_error("revision must be 0, 23 or 25");
      if (revision != 0) rev = revision;
      void* handle = loadLibrary(file, where);
      void* factory = findSymbol(handle, "CreateIZelcam3DInstance", file);
      api_ = camera::host::createPlugin(factory, rev);
      if (!api_) throw std::runtime_error("CreateIZelcam3DInstance returned no instance");
      revision_ = rev;
      headProjector_ = camera::host::projectorInHead(plugin);
      if (!log.is_none()) {
        logPath_ = py::str(py::module_::import("os").attr("fspath")(log));
        api_->setLog(1, logPath_.c_str());
      }
    } catch (...) {
      gCamera.store(nullptr);
      throw;
    }
  }

  // No shot can be running here: shot() holds a reference to the object.
  ~Camera() { release(); }

  void release() {
    if (!api_) return;
    if (shooting_.load()) throw std::runtime_error("a shot is running on this Camera (in another thread)");
    {
      py::gil_scoped_release unlocked;
      api_.reset();  // the plug-in stops its threads: no callback after this
    }
    gCamera.store(nullptr);
  }

  unsigned open(int format, int option) {
    PluginApi& a = need();
    unsigned mask;
    ZelcamImageSize size{};
    {
      py::gil_scoped_release unlocked;
      mask = a.open(format, option);
      size = a.getImageSize();
    }
    openMask_ = mask;
    if (mask == 0) return 0;
    if (size.width <= 0 || size.height <= 0 || size.width > 16384 || size.height > 16384) {
      throw std::runtime_error("the plug-in reports an image size of " + std::to_string(size.width) + " x " +
                               std::to_string(size.height));
    }
    {
      std::lock_guard<std::mutex> lock(m_);
      width_ = size.width;
      height_ = size.height;
    }
    const std::size_t frame = frameBytes();
    for (int c = 0; c < 2; ++c) {
      // The interface tells camera-1's size only; room for four frames keeps
      // a larger frame of camera-2 inside the buffer (it is then refused).
      // A buffer once registered is never freed while the plug-in lives (a
      // frame may be on its way into it), only replaced by a larger one.
      if (hostBuffers_[c].size() < 4 * frame) {
        retired_.push_back(std::move(hostBuffers_[c]));
        hostBuffers_[c].assign(4 * frame, 0);
      }
      // Not under m_: the plug-in may hold its own lock around the callback,
      // which takes m_.
      a.setCallback(c, &Camera::onFrame, hostBuffers_[c].data());
    }
    return mask;
  }

  void close() {
    PluginApi& a = need();
    py::gil_scoped_release unlocked;
    a.close();
  }

  py::tuple shot(double timeoutSeconds, py::object settle) {
    PluginApi& a = need();
    if (!(timeoutSeconds > 0) || timeoutSeconds > 3600) throw py::value_error("timeout must be 0 < t <= 3600 s");
    double settleSeconds = 0;
    if (!settle.is_none()) {
      settleSeconds = settle.cast<double>();
      if (!(settleSeconds >= 0) || settleSeconds > 60) throw py::value_error("settle must be 0 <= t <= 60 s");
    }
    if (width_ == 0) throw std::runtime_error("open() the cameras first");
    if (openMask_ != 3) {
      throw std::runtime_error(std::string(openMask_ & 1 ? "camera-2" : "camera-1") + " is not open (open() returned " +
                               std::to_string(openMask_) + "): a shot needs both cameras");
    }
    int mode = a.getTriggerMode();
    if (settle.is_none()) settleSeconds = camera::host::defaultSettleMs(headProjector_, mode == 0) / 1000.0;
    if (mode == 0 && !projectorOpen_) {
      throw std::runtime_error("hardware trigger (mode 0) fires through the projector: open_projector() first");
    }
    const py::ssize_t h = height_, w = width_;
    py::array_t<std::uint8_t> left({py::ssize_t{kPatterns}, h, w});
    py::array_t<std::uint8_t> right({py::ssize_t{kPatterns}, h, w});
    std::uint8_t* dst[2] = {left.mutable_data(), right.mutable_data()};
    bool idle = false;
    if (!shooting_.compare_exchange_strong(idle, true)) {
      throw std::runtime_error("a shot is already running on this Camera (from another thread)");
    }
    struct Idle {
      std::atomic<bool>& flag;
      ~Idle() { flag.store(false); }
    } idleAgain{shooting_};
    std::string error;
    {
      py::gil_scoped_release unlocked;
      error = runShot(a, mode, dst, std::chrono::duration<double>(timeoutSeconds),
                      std::chrono::duration<double>(settleSeconds));
    }
    if (!error.empty()) throw std::runtime_error(error);
    return py::make_tuple(left, right);
  }

  PluginApi& need() {
    if (!api_) throw std::runtime_error("this Camera is released");
    return *api_;
  }
  bool openProjector(py::handle address) {
    // A head with the projector inside (ktds) needs no address.
    if (address.is_none() && !headProjector_) {
      throw py::value_error("open_projector needs the projector's address ('a.b.c.d' or 'COMn')");
    }
    const unsigned a = address.is_none() ? 0u : parseProjectorAddress(address);
    bool ok;
    {
      py::gil_scoped_release unlocked;
      if (projectorOpen_) need().closeProjector();
      ok = need().openProjector(a);
    }
    projectorOpen_ = ok;
    if (!ok) throw std::runtime_error("the projector at " + std::string(py::str(address)) + " did not open");
    return ok;
  }
  void closeProjector() {
    py::gil_scoped_release unlocked;
    need().closeProjector();
    projectorOpen_ = false;
  }
  int revision() const { return revision_; }
  py::tuple imageSize() {
    ZelcamImageSize s = need().getImageSize();
    return py::make_tuple(s.width, s.height);
  }

 private:
  std::size_t frameBytes() const { return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_); }

  // Runs without the GIL. For each pattern: point the receiver at the
  // pattern's slot, let the projector show it, trigger, wait for both frames.
  std::string runShot(PluginApi& a, int mode, std::uint8_t* dst[2], std::chrono::duration<double> timeout,
                      std::chrono::duration<double> settle) {
    struct Disarm {
      Camera* self;
      ~Disarm() {
        std::lock_guard<std::mutex> lock(self->m_);
        self->target_[0] = self->target_[1] = nullptr;
      }
    } disarm{this};
    a.resetFrameCount();
    for (int p = 0; p < kPatterns; ++p) {
      {
        std::lock_guard<std::mutex> lock(m_);
        for (int c = 0; c < 2; ++c) {
          target_[c] = dst[c] + static_cast<std::size_t>(p) * frameBytes();
          got_[c] = false;
          extra_[c] = 0;
          wrongSize_[c] = 0;
        }
      }
      if (projectorOpen_ && !a.projectorCommandP(p)) return "the projector did not show pattern " + std::to_string(p);
      if (mode != 0 && settle.count() > 0) std::this_thread::sleep_for(settle);
      if (mode != 0 && !a.capture()) return "capture failed at pattern " + std::to_string(p);
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
      std::unique_lock<std::mutex> lock(m_);
      const bool both = cv_.wait_until(lock, deadline, [&] {
        return (got_[0] && got_[1]) || wrongSize_[0] || wrongSize_[1] || extra_[0] || extra_[1];
      });
      for (int c = 0; c < 2; ++c) {
        if (wrongSize_[c]) {
          return "camera-" + std::to_string(c + 1) + " sent a frame of " + std::to_string(wrongWidth_) + " x " +
                 std::to_string(wrongHeight_) + " at pattern " + std::to_string(p) + ", expected " +
                 std::to_string(width_) + " x " + std::to_string(height_);
        }
        if (extra_[c]) {
          return "camera-" + std::to_string(c + 1) + " sent more than one frame for pattern " + std::to_string(p) +
                 " (is it running free of the trigger?)";
        }
      }
      if (!both) {
        const char* which = !got_[0] && !got_[1] ? "no frame from either camera"
                            : !got_[0]           ? "no frame from camera-1"
                                                 : "no frame from camera-2";
        return std::string(which) + " for pattern " + std::to_string(p) + " within " +
               std::to_string(static_cast<long long>(timeout.count() * 1000.0)) + " ms";
      }
    }
    return {};
  }

  // Runs on the plug-in's thread. It never touches Python and never waits
  // for the GIL: it copies the frame into the slot of the pattern being shot
  // under a lock that the host side only holds for a few instructions, and
  // wakes the waiting shot().
  static int onFrame(int camera, std::uint32_t /*frameIndex*/, std::int32_t width, std::int32_t height,
                     unsigned char* buffer) {
    Camera* self = gCamera.load();
    if (!self || camera < 0 || camera > 1 || !buffer) return 0;
    {
      std::lock_guard<std::mutex> lock(self->m_);
      if (!self->target_[camera]) return 0;  // no shot running: dropped
      if (width != self->width_ || height != self->height_) {
        self->wrongWidth_ = width;
        self->wrongHeight_ = height;
        self->wrongSize_[camera] = true;
      } else if (self->got_[camera]) {
        self->extra_[camera] = true;
      } else {
        std::memcpy(self->target_[camera], buffer, self->frameBytes());
        self->got_[camera] = true;
      }
    }
    self->cv_.notify_all();
    return 0;
  }

  std::unique_ptr<PluginApi> api_;
  int revision_ = 25;
  std::string logPath_;
  bool projectorOpen_ = false;
  bool headProjector_ = false;  // the plug-in reaches the projector through its head
  unsigned openMask_ = 0;
  std::atomic<bool> shooting_{false};
  int width_ = 0, height_ = 0;
  std::vector<std::uint8_t> hostBuffers_[2];
  std::vector<std::vector<std::uint8_t>> retired_;
  std::mutex m_;
  std::condition_variable cv_;
  std::uint8_t* target_[2] = {nullptr, nullptr};
  bool got_[2] = {false, false};
  bool extra_[2] = {false, false};
  bool wrongSize_[2] = {false, false};
  int wrongWidth_ = 0, wrongHeight_ = 0;
};

// Wraps a plug-in call that may block (device I/O) so that it runs without the GIL.
template <typename R, typename... A>
auto unlocked(R (PluginApi::*f)(A...)) {
  return [f](Camera& c, A... args) {
    PluginApi& a = c.need();
    py::gil_scoped_release release;
    return (a.*f)(args...);
  };
}

template <typename... A>
auto checked(bool (PluginApi::*f)(A...), const char* what) {
  return [f, what](Camera& c, A... args) {
    PluginApi& a = c.need();
    bool ok;
    {
      py::gil_scoped_release release;
      ok = (a.*f)(args...);
    }
    if (!ok) throw std::runtime_error(std::string("the plug-in refused ") + what);
  };
}

}  // namespace

void bindCamera(py::module_& m) {
  py::class_<Camera>(m, "Camera", R"(A camera plug-in (IZelcam3D), loaded through its factory as a host does.

Camera(plugin, *, revision=0, library=None, log=None)

plugin: ace, stgige, ebus, stcsb, ueye, ktds (or the deliverable names
OrvCamAce, ...): lib<deliverable>.so is searched in `library` (a folder),
$ZELCAM_LIB_DIR, this package's folder, the build tree's lib folder and the
loader's path; or the path of a plug-in library. revision: 25 or 23 slots;
0 takes it from the name (23 for stgige and stcsb). log: the plug-in's log file.

One Camera per process (the plug-ins keep their logger and trigger threads
process-wide): a second one raises RuntimeError until release().

Frames arrive on the plug-in's threads; its callback never takes the GIL (it
copies the frame into the numpy array of the running shot under a short lock
and wakes shot(), which waits with the GIL released). Device operations that
may block release the GIL too.

Typical use:
    with zelcam.Camera("ace") as cam:
        cam.open()
        cam.trigger_mode = 1          # software trigger by capture
        cam.open_projector("192.168.0.10")
        left, right = cam.shot()     # two (13, H, W) uint8 arrays)")
      .def(py::init<const std::string&, int, py::object, py::object>(), py::arg("plugin"), py::kw_only(),
           py::arg("revision") = 0, py::arg("library") = py::none(), py::arg("log") = py::none())
      .def("open", &Camera::open, py::arg("format") = 0, py::arg("option") = 0,
           "Opens both cameras; returns the mask of open ones (bit 0 camera-1, bit 1 camera-2).\n"
           "format and option go to the plug-in (sensor mode; the head's IPv4 address for ktds).")
      .def("close", &Camera::close, "Closes both cameras.")
      .def("release", &Camera::release,
           "Destroys the plug-in instance (cameras, threads, projector). The library stays loaded.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](Camera& c, py::args) { c.release(); })
      .def("shot", &Camera::shot, py::arg("timeout") = 5.0, py::arg("settle") = py::none(),
           R"(Takes one 13-pattern shot and returns (left, right), two (13, H, W) uint8 arrays.

For each pattern n = 0..12: the projector shows it ("p<n>", when a projector
is open), the cameras are triggered (capture() in software trigger mode; in
hardware mode 0 the projector fires them), and both frames must arrive within
`timeout` seconds. In software trigger, `settle` seconds pass between the
pattern and capture() (default 0; 0.1 for ktds, whose head streams all the
time, so that no frame begun before the pattern changed is taken). RuntimeError naming the pattern and the camera when a frame
is missing, has another size, or comes twice.)")
      .def("capture", unlocked(&PluginApi::capture), "One exposure of both cameras; True when both took part.")
      .def_property_readonly("image_size", &Camera::imageSize, "(width, height) of the first open camera.")
      .def_property_readonly("revision", &Camera::revision, "The interface revision in use (25 or 23).")
      .def_property(
          "trigger_mode", [](Camera& c) { return c.need().getTriggerMode(); },
          checked(&PluginApi::setTriggerMode, "the trigger mode"),
          "0 hardware trigger input, 1 software trigger by capture(); -1 before it was set.")
      .def("get_exposure", unlocked(&PluginApi::getExposure), py::arg("camera"),
           "Exposure of camera 0 or 1 in the plug-in's units.")
      .def("set_exposure", checked(&PluginApi::setExposure, "the exposure"), py::arg("camera"), py::arg("value"),
           "Sets the exposure; RuntimeError when the plug-in refuses it.")
      .def("get_gain", unlocked(&PluginApi::getGain), py::arg("camera"),
           "Gain of camera 0 or 1 in the plug-in's units.")
      .def("set_gain", checked(&PluginApi::setGain, "the gain"), py::arg("camera"), py::arg("value"),
           "Sets the gain; RuntimeError when the plug-in refuses it.")
      .def("get_analog_gain", unlocked(&PluginApi::getAnalogGain), py::arg("camera"),
           "The head's analog gain (OrvCamKtds); 0 for the other plug-ins.")
      .def("set_analog_gain", checked(&PluginApi::setAnalogGain, "the analog gain"), py::arg("camera"),
           py::arg("value"))
      .def("open_projector", &Camera::openProjector, py::arg("address") = py::none(),
           "Opens the projector: 'a.b.c.d' (TCP port 5073), 'COMn', or the interface's 32-bit value;\n"
           "no address for ktds, whose projector is reached through the camera head.")
      .def("close_projector", &Camera::closeProjector, "Closes and forgets the projector.")
      .def("projector_command_p", checked(&PluginApi::projectorCommandP, "projector command p"), py::arg("n"),
           "Shows pattern n.")
      .def("projector_command_r", checked(&PluginApi::projectorCommandR, "projector command r"))
      .def("projector_command_z", checked(&PluginApi::projectorCommandZ, "projector command z"), py::arg("n"))
      .def("projector_command_x", checked(&PluginApi::projectorCommandX, "projector command x"), py::arg("n"))
      .def("projector_set_light", checked(&PluginApi::projectorSetLight, "the light level"), py::arg("level"))
      .def("projector_diag", unlocked(&PluginApi::projectorDiag), "The projector's status; -1 without one.")
      .def("reset_frame_count", unlocked(&PluginApi::resetFrameCount), "Sets both frame counters to 0.")
      .def("frame_count", unlocked(&PluginApi::getFrameCount), py::arg("camera"),
           "Frames camera 0 or 1 delivered since the last reset (some plug-ins reset it at capture).");
}

}  // namespace zelcam_py
