#pragma once
// Device kind "stereo head": one device whose frames hold both camera images
// side by side (left camera in the left half), with the head registers, the
// GenICam features Width, Height, PayloadSize, TLParamsLocked,
// AcquisitionStart, AcquisitionStop (register map in register_map.h) and the
// projector serial channel (head_projector_channel.h).
//
// Frame size: Width x Height as the client sets them (Width even, 64..8192;
// Height 16..4096); at start twice the rendered width by the rendered height.
// Each half is the camera's rendered image, resized (area interpolation)
// when the half differs from the rendered size: after format 130 (2560 x
// 1024) a full-size head sends the rendered images as they are, after the
// other formats (1280 x 480) each half is its camera's image shrunk to
// 640 x 480.
// Exposure (0x00101004, us, 10000 = rendered), analog gain (0x00101008,
// 0..3 = x1, x2, x4, x8) and gain (0x0010100C, percent, 100 = x1) scale the
// grey levels (applyExposure).
// Trigger register 0: frames flow continuously from AcquisitionStart to
// AcquisitionStop (at the free-run rate); 1: one frame per pattern the
// projector shows. Transfer mode and pixel clock delay are stored only; the
// firmware register reads 0x01040207 (processor 1.4, logic 2.7); the
// stream-start register takes any value.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/gige/device.h"
#include "sim/head/frame_loop.h"
#include "sim/head/head_projector_channel.h"
#include "sim/head/scene_images.h"

namespace sim {
class ProjectorState;
}

namespace sim::head {

class StereoHeadFeatures : public sim::gige::RegisterSpace, private HeadProjectorActions {
 public:
  StereoHeadFeatures(const SceneImages& images, sim::ProjectorState& projector, double freeRunFps = 0,
                     int sequenceStepMs = 100);
  ~StereoHeadFeatures() override;

  void attach(FrameSink sink) { sink_ = std::move(sink); }
  void start();
  void stop();

  uint16_t readRegister(uint32_t address, uint32_t& value) override;
  uint16_t writeRegister(uint32_t address, uint32_t value) override;
  void controlLost();

  uint64_t framesMade() const;
  uint64_t cpuNs() const { return loop_.cpuNs(); }
  uint64_t refusedChannelWrites() const;
  uint64_t badProjectorCommands() const;
  std::vector<uint8_t> lastFrame() const;

 private:
  void showPattern(int pattern) override;
  void setLight(uint8_t red, uint8_t green, uint8_t blue) override;
  void runSequence(int count) override;
  void stopSequence();
  void sendFrame(int pattern);
  void onPatternShown(int pattern);
  void updateLoop();

  const SceneImages& images_;
  sim::ProjectorState& projector_;
  const double freeRunFps_;
  const int sequenceStepMs_;
  FrameSink sink_;
  int listener_ = 0;

  mutable std::mutex mutex_;
  uint32_t exposure_, analogGain_ = 0, gain_, trigger_ = 0, transferMode_ = 0, pixelClockDelay_ = 0;
  uint32_t streamStart_ = 0, width_, height_, tlLocked_ = 0;
  bool acquiring_ = false;
  uint64_t frames_ = 0;
  mutable std::mutex channelMutex_;  // guards channel_; taken before the projector's lock
  HeadProjectorChannel channel_;
  std::vector<uint8_t> frame_, half_, last_;

  std::thread sequence_;
  std::atomic<bool> sequenceCancel_{false};

  FrameLoop loop_;
};

}  // namespace sim::head
