#pragma once
// OrvCamuEye: two IDS uEye cameras (ids 1 and 2) through the uEye-shaped
// layer (camera/sdk/ueye), which this library loads at run time and binds by
// ordinal. Per camera a trigger thread (the frame's) starts acquisitions and
// a receive thread of this back-end waits for the layer's frame event and
// hands the frame over; receive threads end on the exit event
// "ZELCAM_UEYE_EXIT_EVENT" (destruction) or when close stops them.
#include <array>
#include <atomic>
#include <cstdint>
#include <future>
#include <string>
#include <thread>

#include "camera/common/zelcam3d_frame.h"
#include "camera/sdk/ueye/ueye_api.h"

namespace camera::ueye_backend {

inline constexpr const char* kExitEventName = "ZELCAM_UEYE_EXIT_EVENT";

class CamuEye : public Zelcam3DFrame25 {
 public:
  CamuEye();
  ~CamuEye() override = default;

  // Microseconds (rounded); 0 on failure or for a closed camera.
  int getExposure(int camera) override;
  // The master hardware gain; 0 on failure or for a closed camera.
  int getGain(int camera) override;
  bool setExposure(int camera, int value) override;
  bool setGain(int camera, int value) override;
  // 0 external trigger (rising edge; continuous capture starts at once),
  // 1 software trigger; other modes are refused with a message.
  bool setTriggerMode(int mode) override;

  // How long a receive thread may go without looking at the exit event.
  static constexpr int kExitPollMs = 10;
  // How long close waits for a receive thread before it says so.
  static constexpr int kReceiveEndWaitMs = 1000;

 protected:
  // format 30: binning 2 x 2 and a 640 x 480 area of interest.
  bool openCamera(CameraRecord& camera, int format, int option) override;
  bool closeCamera(CameraRecord& camera) override;
  void triggerCamera(CameraRecord& camera) override;

 private:
  struct UeyeCamera {
    ::ueye::Hids id = 0;
    char* memory = nullptr;
    int memoryId = 0;
    int frameEvent = -1;  // eventfd, auto-reset by the read
    std::thread receiver;
    std::atomic<bool> stopReceiving{false};
    std::future<void> receiverEnded;
  };

  static bool bindLayer();
  bool openUeye(CameraRecord& record, UeyeCamera& cam, int format);
  void startReceiver(CameraRecord& record, UeyeCamera& cam);
  void receiveLoop(int index, std::promise<void> ended);
  void stopReceiver(UeyeCamera& cam);
  int startCapture(CameraRecord& record, UeyeCamera& cam, int mode);

  std::array<UeyeCamera, kCameraCount> ueye_;
};

}  // namespace camera::ueye_backend
