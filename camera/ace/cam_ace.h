#pragma once
// OrvCamAce: two GigE Vision cameras named "11" (camera-1) and "12"
// (camera-2) driven through the pylon-shaped layer. What it holds is its own:
// the instant cameras, their trigger configurations and the feature access;
// frame delivery, trigger threads, exit event and projector are the frame's.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "camera/common/zelcam3d_frame.h"
#include "camera/sdk/pylon/pylon.h"

namespace camera::ace {

// The plug-in's hardware-trigger configuration: the chosen trigger
// (FrameStart, else AcquisitionStart) on "Line1", rising edge; every other
// trigger type off; continuous acquisition.
class HardwareTriggerConfiguration : public Pylon::CConfigurationEventHandler {
 public:
  static void ApplyConfiguration(GenApi::INodeMap& nodemap);
  void OnOpened(Pylon::CInstantCamera& camera) override;
};

class CamAce : public Zelcam3DFrame25 {
 public:
  CamAce();
  ~CamAce() override;

  // "ExposureTimeRaw" / "GainRaw" in the camera's raw units; -1 (get) or
  // false (set) when the camera is not open or the access fails.
  int getExposure(int camera) override;
  int getGain(int camera) override;
  bool setExposure(int camera, int value) override;
  bool setGain(int camera, int value) override;
  // 0 hardware trigger (Line1, rising edge), 1 software trigger.
  bool setTriggerMode(int mode) override;

 protected:
  bool openCamera(CameraRecord& camera, int format, int option) override;
  bool closeCamera(CameraRecord& camera) override;
  void triggerCamera(CameraRecord& camera) override;
  void releaseCamera(CameraRecord& camera) override;

 private:
  class ImageHandler;
  struct AceCamera {
    std::mutex mutex;  // the instant camera's life against the trigger thread
    std::unique_ptr<Pylon::CInstantCamera> camera;
    std::unique_ptr<Pylon::CSoftwareTriggerConfiguration> software;
    std::unique_ptr<HardwareTriggerConfiguration> hardware;
    bool pylonInitialized = false;
  };

  // Integer feature access: the value (read back after a write), or -1 when
  // there is no camera object, no integer node of that name, or the SDK
  // fails (logged "error: %s"). The camera's mutex is held by the caller.
  std::int64_t readInteger(AceCamera& cam, const char* name);
  std::int64_t writeInteger(AceCamera& cam, const char* name, std::int64_t value);
  int readFeature(int camera, const char* name);
  bool writeFeature(int camera, const char* name, int value);
  bool setTriggerModeOf(CameraRecord& record, int mode);
  void discard(AceCamera& cam);
  void imageGrabbed(int index, const Pylon::CGrabResultPtr& grab);

  std::array<AceCamera, kCameraCount> cams_;
};

}  // namespace camera::ace
