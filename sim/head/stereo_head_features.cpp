#include "sim/head/stereo_head_features.h"

#include <chrono>

#include <opencv2/imgproc.hpp>

#include "sim/head/register_map.h"
#include "sim/projector/projector_state.h"

namespace sim::head {

StereoHeadFeatures::StereoHeadFeatures(const SceneImages& images, sim::ProjectorState& projector, double freeRunFps,
                                       int sequenceStepMs)
    : images_(images),
      projector_(projector),
      freeRunFps_(freeRunFps),
      sequenceStepMs_(sequenceStepMs),
      exposure_(headreg::kReferenceExposure),
      gain_(headreg::kReferenceGain),
      width_(static_cast<uint32_t>(2 * images.width)),
      height_(static_cast<uint32_t>(images.height)),
      channel_(*this),
      loop_([this](int pattern) { sendFrame(pattern); }) {}

StereoHeadFeatures::~StereoHeadFeatures() { stop(); }

void StereoHeadFeatures::start() {
  if (listener_ == 0)
    listener_ = projector_.addListener([this](const sim::ProjectorSnapshot& s) { onPatternShown(s.pattern); });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    updateLoop();
  }
  loop_.start();
}

void StereoHeadFeatures::stop() {
  stopSequence();
  if (listener_ != 0) {
    projector_.removeListener(listener_);
    listener_ = 0;
  }
  loop_.stop();
}

void StereoHeadFeatures::updateLoop() {
  loop_.setFreeRun(trigger_ == 0, freeRunFps_);
  loop_.setAcquiring(acquiring_);
}

uint16_t StereoHeadFeatures::readRegister(uint32_t address, uint32_t& value) {
  if (address == headreg::kProjectorChannel) {
    std::lock_guard<std::mutex> lock(channelMutex_);
    value = channel_.read();
    return kStatusSuccess;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  switch (address) {
    case headreg::kStreamStart: value = streamStart_; break;
    case headreg::kExposure: value = exposure_; break;
    case headreg::kAnalogGain: value = analogGain_; break;
    case headreg::kGain: value = gain_; break;
    case headreg::kTrigger: value = trigger_; break;
    case headreg::kTransferMode: value = transferMode_; break;
    case headreg::kPixelClockDelay: value = pixelClockDelay_; break;
    case headreg::kFirmware: value = headreg::kFirmwareVersion; break;
    case headreg::kWidth: value = width_; break;
    case headreg::kHeight: value = height_; break;
    case headreg::kPayloadSize: value = width_ * height_; break;
    case headreg::kTLParamsLocked: value = tlLocked_; break;
    case headreg::kAcquisitionStart:
    case headreg::kAcquisitionStop: value = 0; break;
    default: return kStatusInvalidAddress;
  }
  return kStatusSuccess;
}

uint16_t StereoHeadFeatures::writeRegister(uint32_t address, uint32_t value) {
  if (address == headreg::kProjectorChannel) {
    // The channel's actions take the projector's lock and may stop a
    // sequence thread: run them outside mutex_.
    std::lock_guard<std::mutex> lock(channelMutex_);
    return channel_.write(value);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  switch (address) {
    case headreg::kStreamStart: streamStart_ = value; break;
    case headreg::kExposure:
      if (value < 1 || value > 1000000) return kStatusInvalidParameter;
      exposure_ = value;
      break;
    case headreg::kAnalogGain:
      if (value > headreg::kMaxAnalogGain) return kStatusInvalidParameter;
      analogGain_ = value;
      break;
    case headreg::kGain:
      if (value > 1000) return kStatusInvalidParameter;
      gain_ = value;
      break;
    case headreg::kTrigger:
      if (value > 1) return kStatusInvalidParameter;
      trigger_ = value;
      updateLoop();
      break;
    case headreg::kTransferMode: transferMode_ = value; break;
    case headreg::kPixelClockDelay: pixelClockDelay_ = value; break;
    case headreg::kFirmware:
    case headreg::kPayloadSize: return kStatusWriteProtect;
    case headreg::kWidth:
    case headreg::kHeight: {
      if (tlLocked_) return kStatusAccessDenied;
      bool isWidth = address == headreg::kWidth;
      if (isWidth ? (value < 64 || value > 8192 || value % 2 != 0) : (value < 16 || value > 4096))
        return kStatusInvalidParameter;
      (isWidth ? width_ : height_) = value;
      break;
    }
    case headreg::kTLParamsLocked:
      if (value > 1) return kStatusInvalidParameter;
      tlLocked_ = value;
      break;
    case headreg::kAcquisitionStart:
      acquiring_ = true;
      updateLoop();
      break;
    case headreg::kAcquisitionStop:
      acquiring_ = false;
      updateLoop();
      break;
    default: return kStatusInvalidAddress;
  }
  return kStatusSuccess;
}

void StereoHeadFeatures::controlLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  acquiring_ = false;
  tlLocked_ = 0;  // a client that died locked must not lock out the next one
  updateLoop();
}

void StereoHeadFeatures::showPattern(int pattern) {
  stopSequence();
  projector_.showPattern(pattern);
}

void StereoHeadFeatures::setLight(uint8_t red, uint8_t green, uint8_t blue) { projector_.setLight(red, green, blue); }

void StereoHeadFeatures::runSequence(int count) {
  stopSequence();
  sequenceCancel_ = false;
  sequence_ = std::thread([this, count] {
    for (int k = 0; k < count && !sequenceCancel_; ++k) {
      projector_.showPattern(k);
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(sequenceStepMs_);
      while (!sequenceCancel_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
}

void StereoHeadFeatures::stopSequence() {
  sequenceCancel_ = true;
  if (sequence_.joinable()) sequence_.join();
}

void StereoHeadFeatures::onPatternShown(int pattern) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!acquiring_ || trigger_ != 1) return;
  }
  loop_.trigger(pattern);
}

void StereoHeadFeatures::sendFrame(int pattern) {
  double factor;
  uint32_t w, h;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    factor = exposureFactor(exposure_, headreg::kReferenceExposure, gain_, headreg::kReferenceGain) *
             static_cast<double>(1u << analogGain_);
    w = width_;
    h = height_;
  }
  if (pattern == FrameLoop::kPatternNow) {
    sim::ProjectorSnapshot s = projector_.snapshot();
    pattern = s.generation == 0 ? kTexturePattern : s.pattern;
  }
  if (pattern < kTexturePattern || pattern >= kHeadPatterns) return;
  const int half = static_cast<int>(w / 2);
  frame_.resize(static_cast<size_t>(w) * h);
  half_.resize(static_cast<size_t>(half) * h);
  for (int c = 0; c < 2; ++c) {
    const uint8_t* src = images_.image(c, pattern);
    if (half != images_.width || static_cast<int>(h) != images_.height) {
      cv::Mat in(images_.height, images_.width, CV_8U, const_cast<uint8_t*>(src));
      cv::Mat out(static_cast<int>(h), half, CV_8U, half_.data());
      cv::resize(in, out, out.size(), 0, 0, cv::INTER_AREA);
      src = half_.data();
    }
    for (uint32_t y = 0; y < h; ++y)
      applyExposure(src + static_cast<size_t>(y) * half, frame_.data() + static_cast<size_t>(y) * w + c * half,
                    static_cast<size_t>(half), factor);
  }
  if (sink_) sink_(frame_.data(), w, h);
  std::lock_guard<std::mutex> lock(mutex_);
  ++frames_;
  if (!sink_) last_ = frame_;
}

uint64_t StereoHeadFeatures::framesMade() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

uint64_t StereoHeadFeatures::refusedChannelWrites() const {
  std::lock_guard<std::mutex> lock(channelMutex_);
  return channel_.refusedWrites();
}

uint64_t StereoHeadFeatures::badProjectorCommands() const {
  std::lock_guard<std::mutex> lock(channelMutex_);
  return channel_.badCommands();
}

std::vector<uint8_t> StereoHeadFeatures::lastFrame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

}  // namespace sim::head
