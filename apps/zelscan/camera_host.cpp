#include "apps/zelscan/camera_host.h"

#include <dlfcn.h>

#include "apps/zelscan/decoder_host.h"

namespace zelscan {

std::unique_ptr<CameraHost> loadCameraHost(const std::string& name, int revision, std::string* error) {
  void* library = nullptr;
  const camera::host::KnownPlugin* known = camera::host::findPlugin(name);
  if (name.find('/') != std::string::npos) {
    library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) *error = std::string("cannot load ") + name + ": " + ::dlerror();
    if (revision == 0) revision = camera::host::revisionOfLibrary(name);
  } else if (known) {
    const std::string file = std::string("lib") + known->deliverable + ".so";
    library = openHostLibrary(file.c_str(), error);
    if (revision == 0) revision = known->revision;
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
  if (std::unique_ptr<CameraHost> cam = camera::host::createPlugin(factory, revision, library)) return cam;
  *error = name + ": the factory returned no instance";
  ::dlclose(library);
  return nullptr;
}

}  // namespace zelscan
