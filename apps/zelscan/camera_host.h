#pragma once
// Loads a camera plug-in through its exported factory, exactly as a host
// does, and drives it through either interface revision behind one face
// (camera/host/plugin_host.h).
#include <memory>
#include <string>

#include "camera/host/plugin_host.h"

namespace zelscan {

using CameraHost = camera::host::PluginApi;
using camera::host::parseProjectorAddress;

// name: ace, stgige, ebus, stcsb, ueye, ktds (libOrvCam<...>.so found as the
// decoders are), or a path to a plug-in library (anything with a '/').
// revision: 25, 23, or 0 to take it from the name (23 for stgige, stcsb and
// library files named after them). The library closes after the instance is
// destroyed. Null with *error on failure.
std::unique_ptr<CameraHost> loadCameraHost(const std::string& name, int revision, std::string* error);

}  // namespace zelscan
