#pragma once
// OrvCamKtds: the stereo head that is one GigE Vision device (KtdsHead),
// both cameras in one side-by-side frame, settings in head registers, the
// projector behind the head's serial channel. No trigger threads and no exit
// event: capture opens the capture event, through which the receive thread
// lets frames pass to the host.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "camera/common/zelcam3d_frame.h"
#include "camera/ktds/ktds_head.h"

namespace camera::ktds {

class CamKtds : public Zelcam3DFrame25, private cb_recvimg {
 public:
  CamKtds();
  ~CamKtds() override;

  // format: 130 = 2560 x 1024 frames, other non-zero = 1280 x 480, 0 = as
  // the head is; option: the head's IPv4 address (first octet lowest), 0 =
  // the first head found. 3 when open, 0 otherwise.
  unsigned open(int format, int option) override;
  void close() override;
  ZelcamImageSize getImageSize() override;
  bool capture() override;

  // Head registers; the camera index is not used for reading (-1 on
  // failure); writing with index 1 succeeds without writing (both cameras
  // share the head's settings).
  int getExposure(int camera) override;
  int getGain(int camera) override;
  int getAnalogGain(int camera) override;
  bool setExposure(int camera, int value) override;
  bool setGain(int camera, int value) override;
  bool setAnalogGain(int camera, int value) override;
  // 1 software, 0 hardware, as the head's register says; -1 when it
  // cannot be read.
  int getTriggerMode() override;
  bool setTriggerMode(int mode) override;

  // The projector is the head's: nothing to open or close.
  bool openProjector(unsigned address) override;
  void closeProjector() override;
  bool projectorCommandP(int n) override;
  bool projectorCommandR() override;
  int projectorDiag() override;
  bool projectorSetLight(unsigned level) override;
  bool projectorCommandZ(int n) override;
  bool projectorCommandX(int n) override;

  void resetFrameCount() override;
  std::uint32_t getFrameCount(int camera) override;

 protected:
  bool openCamera(CameraRecord& camera, int format, int option) override;
  bool closeCamera(CameraRecord& camera) override;

 private:
  void recvImage(std::int64_t index, const std::uint8_t* image, std::size_t bytes) override;
  int readHead(std::uint32_t address);
  bool writeHead(int camera, std::uint32_t address, int value);
  void closeHead();

  KtdsHead head_;
  // The capture event (manual reset): frames pass to the host while it is set.
  std::atomic<bool> captureEvent_{false};
  // The head's trigger register as last read or written; -1 unknown.
  std::atomic<std::int64_t> triggerValue_{-1};
  std::mutex headMutex_;  // open/close against tear-down
};

}  // namespace camera::ktds
