#include "camera/host/plugin_host.h"

#include <arpa/inet.h>
#include <dlfcn.h>

#include <cstdlib>
#include <type_traits>

namespace camera::host {
namespace {

constexpr KnownPlugin kPlugins[] = {
    {"ace", "OrvCamAce", 25},     {"stgige", "OrvCamStGigE", 23}, {"ebus", "OrvCameBUS", 25},
    {"stcsb", "OrvCamStcsb", 23}, {"ueye", "OrvCamuEye", 25},     {"ktds", "OrvCamKtds", 25},
};

template <class Interface>
class PluginOf final : public PluginApi {
 public:
  PluginOf(Interface* cam, void* library) : cam_(cam), library_(library) {}
  ~PluginOf() override {
    delete cam_;
    if (library_) ::dlclose(library_);
  }
  void setLog(unsigned flags, const char* path) override { cam_->setLog(flags, path); }
  unsigned open(int format, int option) override { return cam_->open(format, option); }
  void close() override { cam_->close(); }
  ZelcamImageSize getImageSize() override { return cam_->getImageSize(); }
  bool capture() override { return cam_->capture(); }
  bool projectorCommandP(int n) override { return cam_->projectorCommandP(n); }
  int getExposure(int camera) override { return cam_->getExposure(camera); }
  int getGain(int camera) override { return cam_->getGain(camera); }
  int getAnalogGain(int camera) override {
    if constexpr (std::is_same_v<Interface, IZelcam3D>) return cam_->getAnalogGain(camera);
    return 0;
  }
  bool setExposure(int camera, int value) override { return cam_->setExposure(camera, value); }
  bool setGain(int camera, int value) override { return cam_->setGain(camera, value); }
  bool setAnalogGain(int camera, int value) override {
    if constexpr (std::is_same_v<Interface, IZelcam3D>) return cam_->setAnalogGain(camera, value);
    return true;
  }
  int getTriggerMode() override { return cam_->getTriggerMode(); }
  bool setTriggerMode(int mode) override { return cam_->setTriggerMode(mode); }
  int setCallback(int camera, ZelcamFrameCallback callback, unsigned char* buffer) override {
    return cam_->setCallback(camera, callback, buffer);
  }
  bool openProjector(unsigned address) override { return cam_->openProjector(address); }
  void closeProjector() override { cam_->closeProjector(); }
  bool projectorCommandR() override { return cam_->projectorCommandR(); }
  int projectorDiag() override { return cam_->projectorDiag(); }
  bool projectorSetLight(unsigned level) override { return cam_->projectorSetLight(level); }
  bool projectorCommandZ(int n) override { return cam_->projectorCommandZ(n); }
  bool projectorCommandX(int n) override { return cam_->projectorCommandX(n); }
  void resetFrameCount() override { cam_->resetFrameCount(); }
  std::uint32_t getFrameCount(int camera) override { return cam_->getFrameCount(camera); }

 private:
  Interface* cam_;
  void* library_;
};

}  // namespace

const KnownPlugin* findPlugin(const std::string& name) {
  for (const KnownPlugin& p : kPlugins)
    if (name == p.name || name == p.deliverable) return &p;
  return nullptr;
}

namespace {

// The file name of a path: a folder named after another plug-in
// (/opt/OrvCamStGigE-build/libOrvCamAce.so) must not decide for the file.
std::string fileName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

const KnownPlugin* pluginOfFile(const std::string& path) {
  const std::string file = fileName(path);
  for (const KnownPlugin& p : kPlugins)
    if (file.find(p.deliverable) != std::string::npos) return &p;
  return nullptr;
}

}  // namespace

int revisionOfLibrary(const std::string& path) {
  const KnownPlugin* p = pluginOfFile(path);
  return p ? p->revision : 25;
}

bool projectorInHead(const std::string& nameOrPath) {
  const KnownPlugin* known = findPlugin(nameOrPath);
  if (!known && nameOrPath.find('/') != std::string::npos) known = pluginOfFile(nameOrPath);
  return known && std::string(known->name) == "ktds";
}

int defaultSettleMs(bool headProjector, bool hardTrigger) { return headProjector && !hardTrigger ? 100 : 0; }

std::unique_ptr<PluginApi> createPlugin(void* factory, int revision, void* closeLibrary) {
  if (revision == 23) {
    IZelcam3DRev23* cam = reinterpret_cast<CreateIZelcam3DRev23InstanceFn>(factory)();
    if (cam) return std::make_unique<PluginOf<IZelcam3DRev23>>(cam, closeLibrary);
  } else {
    IZelcam3D* cam = reinterpret_cast<CreateIZelcam3DInstanceFn>(factory)();
    if (cam) return std::make_unique<PluginOf<IZelcam3D>>(cam, closeLibrary);
  }
  return nullptr;
}

bool parseProjectorAddress(const std::string& text, unsigned* address, std::string* error) {
  if (text.size() > 3 && (text.compare(0, 3, "COM") == 0 || text.compare(0, 3, "com") == 0)) {
    // Digits only: "COM+3" or "COM 3" is no port name.
    const std::string digits = text.substr(3);
    if (digits.size() <= 3 && digits.find_first_not_of("0123456789") == std::string::npos) {
      const int port = std::atoi(digits.c_str());
      if (port >= 1 && port <= 255) {
        *address = static_cast<unsigned>(port);
        return true;
      }
    }
    *error = "serial port must be COM1..COM255, got '" + text + "'";
    return false;
  }
  in_addr a{};
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

}  // namespace camera::host
