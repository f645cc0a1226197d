#pragma once
// The interface side of the common frame: maps every shared slot of
// IZelcam3D (or of its 23-slot revision) onto CameraCore. A back-end derives
// from Zelcam3DFrame25 or Zelcam3DFrame23 and implements getExposure,
// getGain, setExposure, setGain, setTriggerMode and the CameraCore hooks; it
// may override any other slot where it differs (capture, open, ...).
#include "camera/common/camera_core.h"
#include "zelcam3d.h"

namespace camera {

template <class Interface>
class Zelcam3DFrame : public Interface, protected CameraCore {
 public:
  explicit Zelcam3DFrame(const CameraCore::Config& config) : CameraCore(config) {}

  void setLog(unsigned flags, const char* path) override { coreSetLog(flags, path); }
  unsigned open(int format, int option) override { return coreOpen(format, option); }
  void close() override { coreClose(); }
  ZelcamImageSize getImageSize() override { return coreImageSize(); }
  bool capture() override { return coreCapture(); }
  bool projectorCommandP(int n) override { return coreProjectorCommandP(n); }
  int getTriggerMode() override { return coreTriggerMode(); }
  int setCallback(int camera, ZelcamFrameCallback callback, unsigned char* buffer) override {
    return coreSetCallback(camera, callback, buffer);
  }
  bool openProjector(unsigned address) override { return coreOpenProjector(address); }
  void closeProjector() override { coreCloseProjector(); }
  bool projectorCommandR() override { return coreProjectorCommandR(); }
  int projectorDiag() override { return coreProjectorDiag(); }
  bool projectorSetLight(unsigned level) override { return coreProjectorSetLight(level); }
  bool projectorCommandZ(int n) override { return coreProjectorCommandZ(n); }
  bool projectorCommandX(int n) override { return coreProjectorCommandX(n); }
  void resetFrameCount() override { coreResetFrameCount(); }
  std::uint32_t getFrameCount(int camera) override { return coreFrameCount(camera); }
};

// 25-slot revision; the analog-gain pair does nothing (only the stereo head
// of OrvCamKtds has an analog gain).
class Zelcam3DFrame25 : public Zelcam3DFrame<IZelcam3D> {
 public:
  using Zelcam3DFrame<IZelcam3D>::Zelcam3DFrame;
  int getAnalogGain(int) override { return 0; }
  bool setAnalogGain(int, int) override { return true; }
};

using Zelcam3DFrame23 = Zelcam3DFrame<IZelcam3DRev23>;

}  // namespace camera
