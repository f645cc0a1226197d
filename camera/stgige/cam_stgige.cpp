// OrvCamStGigE: two GigE Vision cameras "1" and "2" through the eBUS-shaped
// layer's constructed device and stream; the 23-slot interface revision.
#define ZELCAM3D_REVISION_23
#include "camera/common/plugin.h"
#include "camera/common/zelcam3d_frame.h"
#include "camera/ebus/ebus_plugin.h"

namespace camera::ebus_backend {
namespace {

CameraCore::Config stGigEConfig() {
  CameraCore::Config config;
  config.logIdent = "OrvCamStGigE";
  config.setLogTag = "CamStGigE::setLog";
  config.triggerThreads = true;
  config.resetCountersAtCapture = true;
  return config;
}

constexpr Variant kStGigEVariant{false, 32, true, false};

}  // namespace

using DevStGigE = EbusDevice;

class CamStGigE : public EbusPlugin<Zelcam3DFrame23> {
 public:
  CamStGigE() : EbusPlugin(stGigEConfig(), kStGigEVariant) {}
};

}  // namespace camera::ebus_backend

extern "C" ZELCAM_EXPORT IZelcam3DRev23* CreateIZelcam3DInstance() {
  try {
    return new camera::Plugin<camera::ebus_backend::CamStGigE>();
  } catch (...) {
    return nullptr;
  }
}
