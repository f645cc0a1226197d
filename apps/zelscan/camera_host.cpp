#include "apps/zelscan/camera_host.h"

#include <arpa/inet.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "apps/zelscan/decoder_host.h"

namespace zelscan {
namespace {

struct KnownPlugin {
  const char* file;
  int revision;
};

const std::map<std::string, KnownPlugin>& knownPlugins() {
  static const std::map<std::string, KnownPlugin> plugins {
      {"ace", {"libOrvCamAce.so", 25}},      {"stgige", {"libOrvCamStGigE.so", 23}},
      {"ebus", {"libOrvCameBUS.so", 25}},    {"stcsb", {"libOrvCamStcsb.so", 23}},
      {"ueye", {"libOrvCamuEye.so", 25}},    {"ktds", {"libOrvCamKtds.so", 25}},
  };
  return plugins;
}

// Destroys the instance, then closes the library its code lives in.
template <class Interface>
class CameraHostOf : public CameraHost {
 public:
  CameraHostOf(void* library, Interface* cam) : library_(library), cam_(cam) {}
  ~CameraHostOf() override {
    delete cam_;
    ::dlclose(library_);
  }
  void setLog(unsigned flags, const char* path) override { cam_->setLog(flags, path); }
  unsigned open(int format, int option) override { return cam_->open(format, option); }
  void close() override { cam_->close(); }
  ZelcamImageSize getImageSize() override { return cam_->getImageSize(); }
  bool capture() override { return cam_->capture(); }
  bool projectorCommandP(int n) override { return cam_->projectorCommandP(n); }
  bool setExposure(int camera, int value) override { return cam_->setExposure(camera, value); }
  bool setGain(int camera, int value) override { return cam_->setGain(camera, value); }
  bool setTriggerMode(int mode) override { return cam_->setTriggerMode(mode); }
  int setCallback(int camera, ZelcamFrameCallback callback, unsigned char* buffer) override {
    return cam_->setCallback(camera, callback, buffer);
  }
  bool openProjector(unsigned address) override { return cam_->openProjector(address); }
  void closeProjector() override { cam_->closeProjector(); }
  void resetFrameCount() override { cam_->resetFrameCount(); }

 private:
  void* library_;
  Interface* cam_;
};

}  // namespace

std::unique_ptr<CameraHost> CameraHost::load(const std::string& name, int revision, std::string* error) {
  void* library = nullptr;
  auto known = knownPlugins().find(name);
  if (name.find('/') != std::string::npos) {
    library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) *error = std::string("cannot load ") + name + ": " + ::dlerror();
    if (revision == 0) {
      revision = (name.find("StGigE") != std::string::npos || name.find("Stcsb") != std::string::npos) ? 23 : 25;
    }
  } else if (known != knownPlugins().end()) {
    library = openHostLibrary(known->second.file, error);
    if (revision == 0) revision = known->second.revision;
  } else {
    *error = "unknown camera '" + name + "' (use ace, stgige, ebus, stcsb, ueye, ktds or a library path)";
    return nullptr;
  }
  if (!library) return nullptr;
  void* factory = ::dlsym(library, "CreateIZelcam3DInstance");
  if (!factory) {
    *error = name + " exports no CreateIZelcam3DInstance";
    ::dlclose(library);
    return nullptr;
  }
  if (revision == 23) {
    IZelcam3DRev23* cam = reinterpret_cast<CreateIZelcam3DRev23InstanceFn>(factory)();
    if (cam) return std::make_unique<CameraHostOf<IZelcam3DRev23>>(library, cam);
  } else {
    IZelcam3D* cam = reinterpret_cast<CreateIZelcam3DInstanceFn>(factory)();
    if (cam) return std::make_unique<CameraHostOf<IZelcam3D>>(library, cam);
  }
  *error = name + ": the factory returned no instance";
  ::dlclose(library);
  return nullptr;
}

bool parseProjectorAddress(const std::string& text, unsigned* address, std::string* error) {
  if (text.size() > 3 && (text.compare(0, 3, "COM") == 0 || text.compare(0, 3, "com") == 0)) {
    char* end = nullptr;
    long port = std::strtol(text.c_str() + 3, &end, 10);
    if (*end == '\0' && port >= 1 && port <= 255) {
      *address = static_cast<unsigned>(port);
      return true;
    }
    *error = "serial port must be COM1..COM255, got '" + text + "'";
    return false;
  }
  in_addr a {};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) {
    *error = "projector address must be an IPv4 address or COMn, got '" + text + "'";
    return false;
  }
  // inet_pton leaves the first octet in the lowest byte in memory order;
  // the interface wants it there as a number.
  const auto* b = reinterpret_cast<const unsigned char*>(&a.s_addr);
  unsigned value = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<unsigned>(b[3]) << 24);
  if (value < 256) {
    *error = "IPv4 address " + text + " cannot be given to a plug-in (it would read as serial port " +
             std::to_string(value) + ")";
    return false;
  }
  *address = value;
  return true;
}

}  // namespace zelscan
