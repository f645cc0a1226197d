#pragma once
// Device kind "cameras": the feature registers of one camera of the live
// head (register map in register_map.h, GenICam file from cameraXml).
//
// Acquisition: frames flow between AcquisitionStart and AcquisitionStop (or
// until the controlling application loses control). The trigger in effect
// is FrameStart when its TriggerMode is On, else AcquisitionStart when its
// TriggerMode is On (one frame per trigger either way), else none: the camera
// free-runs. With source Software, TriggerSoftware sends one frame; with
// source Line1 or Hardware, every pattern the projector shows fires one frame
// of that pattern. TriggerSoftware is refused (access denied) when the
// trigger in effect has source Line1; with source Hardware it is accepted and
// does nothing.
//
// Each frame is the camera's image of the pattern shown (the textured image
// before the projector showed any), at the camera's exposure and gain (see
// applyExposure; ExposureTimeRaw 10000 and GainRaw 100 give the rendered
// image byte for byte). Width, Height and PixelFormat take only the served
// size and Mono8 (Mono16 is listed but refused with "invalid parameter"),
// and are locked (access denied) while TLParamsLocked is 1.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/gige/device.h"
#include "sim/head/frame_loop.h"
#include "sim/head/scene_images.h"

namespace sim {
class ProjectorState;
}

namespace sim::head {

class CameraFeatures : public sim::gige::RegisterSpace {
 public:
  // camera: 0 left, 1 right. freeRunFps <= 0: free-running frames back to back.
  CameraFeatures(int camera, const SceneImages& images, sim::ProjectorState& projector, double freeRunFps = 0);
  ~CameraFeatures() override;

  // Where the frames go (normally Device::sendFrame; unset: frames are made
  // and counted only). Call before start().
  void attach(FrameSink sink) { sink_ = std::move(sink); }
  void start();
  void stop();

  uint16_t readRegister(uint32_t address, uint32_t& value) override;
  uint16_t writeRegister(uint32_t address, uint32_t value) override;

  // The controlling application is gone: acquisition stops, TLParamsLocked clears.
  void controlLost();

  uint64_t framesMade() const;
  uint64_t triggersDropped() const { return loop_.triggersDropped(); }
  uint64_t cpuNs() const { return loop_.cpuNs(); }
  // The last frame made (for tests without a network).
  std::vector<uint8_t> lastFrame() const;

 private:
  void sendFrame(int pattern);
  void onPatternShown(int pattern);
  void updateLoop();             // with mutex_ held
  int effectiveTrigger() const;  // selector index, or -1 for free-running

  struct Trigger {
    uint32_t mode = 0, source = 0, activation = 0;
  };

  const int camera_;
  const SceneImages& images_;
  sim::ProjectorState& projector_;
  const double freeRunFps_;
  FrameSink sink_;
  int listener_ = 0;

  mutable std::mutex mutex_;
  uint32_t exposure_, gain_, selector_ = 0, tlLocked_ = 0;
  Trigger triggers_[2];
  bool acquiring_ = false;
  uint64_t frames_ = 0;
  std::vector<uint8_t> frame_, last_;

  FrameLoop loop_;
};

}  // namespace sim::head
