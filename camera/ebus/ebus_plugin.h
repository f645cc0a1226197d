#pragma once
// An eBUS plug-in on either interface revision: the frame of camera/common
// plus the shared EbusCameras.
#include <array>

#include "camera/ebus/ebus_cameras.h"

namespace camera::ebus_backend {

template <class Frame>
class EbusPlugin : public Frame {
 public:
  EbusPlugin(const CameraCore::Config& config, const Variant& variant)
      : Frame(config), cameras_(variant, [this](int index, const std::uint8_t* data, std::size_t bytes) {
          return this->deliverFrame(index, data, bytes);
        }) {}

  // "ExposureTimeRaw" / "GainRaw": -1 (get) or false (set) when the camera
  // is not open or the access fails.
  int getExposure(int camera) override {
    return this->openRecord(camera) ? cameras_.getInteger(camera, "ExposureTimeRaw", "exposure time") : -1;
  }
  int getGain(int camera) override {
    return this->openRecord(camera) ? cameras_.getInteger(camera, "GainRaw", "gain") : -1;
  }
  bool setExposure(int camera, int value) override {
    return this->openRecord(camera) && cameras_.setInteger(camera, "ExposureTimeRaw", value, "exposure time");
  }
  bool setGain(int camera, int value) override {
    return this->openRecord(camera) && cameras_.setInteger(camera, "GainRaw", value, "gain");
  }
  bool setTriggerMode(int mode) override { return cameras_.setTriggerMode({&this->record(0), &this->record(1)}, mode); }

 protected:
  bool openCamera(CameraRecord& camera, int, int option) override { return cameras_.open(camera, option); }
  bool closeCamera(CameraRecord& camera) override { return cameras_.close(camera); }
  void triggerCamera(CameraRecord& camera) override { cameras_.trigger(camera); }
  void releaseCamera(CameraRecord& camera) override { cameras_.release(camera); }

 private:
  EbusCameras cameras_;
};

}  // namespace camera::ebus_backend
