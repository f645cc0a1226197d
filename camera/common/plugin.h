#pragma once
// The only way to make a camera plug-in instance: the factory of a back-end
// returns `new camera::Plugin<CamAce>` (for example). Plugin is final and its
// destructor runs the frame's tear-down before the back-end's members go, so
// the trigger and SDK threads never call a hook of a half-destroyed object.
#include "camera/common/camera_core.h"

namespace camera {

template <class Backend>
class Plugin final : public Backend {
 public:
  using Backend::Backend;
  ~Plugin() override { this->tearDown(); }

 private:
  void sealedByPlugin() override {}
};

}  // namespace camera
