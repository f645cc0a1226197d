#pragma once
// OrvCamStcsb: two Sentech USB cameras, picked by their user IDs 1 and 2,
// through the StTrgAPI-shaped layer (camera/sdk/sttrg), which this library
// loads at run time and binds by ordinal. Frames come through the layer's
// transfer-end callback; there are no trigger threads. A frame-pending flag
// per camera hands each frame over between capture (host thread) and the
// layer's callbacks.
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#define ZELCAM3D_REVISION_23
#include "camera/common/zelcam3d_frame.h"
#include "camera/sdk/sttrg/sttrg_api.h"

namespace camera::stcsb {

class CamStcsb : public Zelcam3DFrame23 {
 public:
  CamStcsb();
  ~CamStcsb() override = default;

  // Per camera: counter 0, pending image state cleared, pending flag
  // released; then each open camera claims its flag and, in mode 1, is
  // triggered (mode 0 waits for the hardware trigger). True when both were.
  bool capture() override;
  // Microseconds (rounded); -1 on failure or for a closed camera.
  int getExposure(int camera) override;
  // The library's 16-bit gain; -1 on failure.
  int getGain(int camera) override;
  // Microseconds, clamped to the camera's longest exposure clock.
  bool setExposure(int camera, int value) override;
  // Gain units, clamped to the camera's maximum; a negative value fails.
  bool setGain(int camera, int value) override;
  // 0 hardware trigger (I/O pin, rising edge), 1 software trigger.
  bool setTriggerMode(int mode) override;
  void resetFrameCount() override;

 protected:
  bool openCamera(CameraRecord& camera, int format, int option) override;
  bool closeCamera(CameraRecord& camera) override;
  void releaseCamera(CameraRecord& camera) override;

 private:
  struct UsbCamera {
    CamStcsb* owner = nullptr;
    int index = 0;
    sttrg::Handle handle = sttrg::kInvalidHandle;
    std::mutex settings;  // exposure clock and mode are written together
    // Claimed by capture, released by the frame, a receive error, open,
    // capture and resetFrameCount.
    std::atomic<bool> pending{false};
    std::mutex errorsMutex;                    // the receive-error callback's thread against tear-down
    std::map<std::uint32_t, unsigned> errors;  // occurrences per receive-error code
  };

  static void onExposureEnd(sttrg::Handle, void*) {}
  static void onTransferEnd(sttrg::Handle, const std::uint8_t* image, std::uint32_t bytes, std::uint32_t width,
                            std::uint32_t height, void* context);
  static void onRcvError(sttrg::Handle, std::uint32_t code, void* context);

  // Resolves the layer's ordinals once per process; false (logged) when the
  // layer or one of its ordinals is missing.
  static bool bindLayer();
  bool openUsb(CameraRecord& record, UsbCamera& cam);
  void clearPending(UsbCamera& cam);
  bool applyTriggerMode(CameraRecord& record, UsbCamera& cam, int mode);

  std::array<UsbCamera, kCameraCount> usb_;
};

}  // namespace camera::stcsb
