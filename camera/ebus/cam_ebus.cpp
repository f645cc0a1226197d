// OrvCameBUS: two GigE Vision cameras "1" and "2" through the eBUS-shaped
// layer's factory-created GigE Vision device and stream; 25-slot interface.
#include "camera/common/plugin.h"
#include "camera/common/zelcam3d_frame.h"
#include "camera/ebus/ebus_plugin.h"

namespace camera::ebus_backend {
namespace {

CameraCore::Config ebusConfig() {
  CameraCore::Config config;
  config.logIdent = "OrvCameBUS";
  config.setLogTag = "CameBUS::setLog";
  config.triggerThreads = true;
  config.resetCountersAtCapture = true;
  return config;
}

constexpr Variant kEbusVariant{true, 16, false, true};

}  // namespace

using DeveBUS = EbusDevice;

class CameBUS : public EbusPlugin<Zelcam3DFrame25> {
 public:
  CameBUS() : EbusPlugin(ebusConfig(), kEbusVariant) {}
};

}  // namespace camera::ebus_backend

extern "C" ZELCAM_EXPORT IZelcam3D* CreateIZelcam3DInstance() {
  try {
    return new camera::Plugin<camera::ebus_backend::CameBUS>();
  } catch (...) {
    return nullptr;
  }
}
