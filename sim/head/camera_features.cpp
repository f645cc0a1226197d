#include "sim/head/camera_features.h"

#include "sim/head/register_map.h"
#include "sim/projector/projector_state.h"

namespace sim::head {

CameraFeatures::CameraFeatures(int camera, const SceneImages& images, sim::ProjectorState& projector, double freeRunFps)
    : camera_(camera),
      images_(images),
      projector_(projector),
      freeRunFps_(freeRunFps),
      exposure_(camreg::kReferenceExposure),
      gain_(camreg::kReferenceGain),
      loop_([this](int pattern) { sendFrame(pattern); }) {
  // A camera comes up in software trigger on FrameStart, as the plug-ins
  // expect before they configure it.
  triggers_[0].mode = 1;
}

CameraFeatures::~CameraFeatures() { stop(); }

void CameraFeatures::start() {
  if (listener_ == 0)
    listener_ = projector_.addListener([this](const sim::ProjectorSnapshot& s) { onPatternShown(s.pattern); });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    updateLoop();
  }
  loop_.start();
}

void CameraFeatures::stop() {
  if (listener_ != 0) {
    projector_.removeListener(listener_);
    listener_ = 0;
  }
  loop_.stop();
}

int CameraFeatures::effectiveTrigger() const {
  if (triggers_[0].mode) return 0;
  if (triggers_[1].mode) return 1;
  return -1;
}

void CameraFeatures::updateLoop() {
  loop_.setFreeRun(effectiveTrigger() < 0, freeRunFps_);
  loop_.setAcquiring(acquiring_);
}

uint16_t CameraFeatures::readRegister(uint32_t address, uint32_t& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Trigger& t = triggers_[selector_];
  switch (address) {
    case camreg::kWidth: value = static_cast<uint32_t>(images_.width); break;
    case camreg::kHeight: value = static_cast<uint32_t>(images_.height); break;
    case camreg::kPixelFormat: value = camreg::kMono8; break;
    case camreg::kPayloadSize: value = static_cast<uint32_t>(images_.frameBytes()); break;
    case camreg::kExposureTimeRaw: value = exposure_; break;
    case camreg::kGainRaw: value = gain_; break;
    case camreg::kTriggerSelector: value = selector_; break;
    case camreg::kTriggerMode: value = t.mode; break;
    case camreg::kTriggerSource: value = t.source; break;
    case camreg::kTriggerActivation: value = t.activation; break;
    case camreg::kAcquisitionMode: value = 0; break;
    case camreg::kAcquisitionStart:
    case camreg::kAcquisitionStop:
    case camreg::kTriggerSoftware: value = 0; break;  // commands read as done
    case camreg::kTLParamsLocked: value = tlLocked_; break;
    default: return kStatusInvalidAddress;
  }
  return kStatusSuccess;
}

uint16_t CameraFeatures::writeRegister(uint32_t address, uint32_t value) {
  int softwarePattern = kTexturePattern - 1;  // none
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Trigger& t = triggers_[selector_];
    switch (address) {
      case camreg::kWidth:
      case camreg::kHeight:
      case camreg::kPixelFormat: {
        if (tlLocked_) return kStatusAccessDenied;
        uint32_t allowed = address == camreg::kWidth    ? static_cast<uint32_t>(images_.width)
                           : address == camreg::kHeight ? static_cast<uint32_t>(images_.height)
                                                        : camreg::kMono8;
        if (value != allowed) return kStatusInvalidParameter;
        return kStatusSuccess;
      }
      case camreg::kPayloadSize: return kStatusWriteProtect;
      case camreg::kExposureTimeRaw:
        if (value < 1 || value > camreg::kMaxExposure) return kStatusInvalidParameter;
        exposure_ = value;
        return kStatusSuccess;
      case camreg::kGainRaw:
        if (value > camreg::kMaxGain) return kStatusInvalidParameter;
        gain_ = value;
        return kStatusSuccess;
      case camreg::kTriggerSelector:
        if (value > 1) return kStatusInvalidParameter;
        selector_ = value;
        return kStatusSuccess;
      case camreg::kTriggerMode:
        if (value > 1) return kStatusInvalidParameter;
        t.mode = value;
        updateLoop();
        return kStatusSuccess;
      case camreg::kTriggerSource:
        if (value > camreg::kSourceHardware) return kStatusInvalidParameter;
        t.source = value;
        return kStatusSuccess;
      case camreg::kTriggerActivation:
      case camreg::kAcquisitionMode: return value == 0 ? kStatusSuccess : kStatusInvalidParameter;
      case camreg::kAcquisitionStart:
        acquiring_ = true;
        updateLoop();
        return kStatusSuccess;
      case camreg::kAcquisitionStop:
        acquiring_ = false;
        updateLoop();
        return kStatusSuccess;
      case camreg::kTLParamsLocked:
        if (value > 1) return kStatusInvalidParameter;
        tlLocked_ = value;
        return kStatusSuccess;
      case camreg::kTriggerSoftware: {
        int sel = effectiveTrigger();
        if (sel < 0) return kStatusSuccess;  // free-running: nothing to release
        uint32_t source = triggers_[sel].source;
        if (source == camreg::kSourceLine1) return kStatusAccessDenied;
        if (source == camreg::kSourceHardware) return kStatusSuccess;
        sim::ProjectorSnapshot s = projector_.snapshot();
        softwarePattern = s.generation == 0 ? kTexturePattern : s.pattern;
        break;
      }
      default: return kStatusInvalidAddress;
    }
  }
  loop_.trigger(softwarePattern);  // outside mutex_: the loop may be making a frame under it
  return kStatusSuccess;
}

void CameraFeatures::controlLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  acquiring_ = false;
  tlLocked_ = 0;  // a client that died locked must not lock out the next one
  updateLoop();
}

void CameraFeatures::onPatternShown(int pattern) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    int sel = effectiveTrigger();
    if (!acquiring_ || sel < 0 || triggers_[sel].source == camreg::kSourceSoftware) return;
  }
  loop_.trigger(pattern);
}

void CameraFeatures::sendFrame(int pattern) {
  double factor;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    factor = exposureFactor(exposure_, camreg::kReferenceExposure, gain_, camreg::kReferenceGain);
  }
  if (pattern == FrameLoop::kPatternNow) {
    sim::ProjectorSnapshot s = projector_.snapshot();
    pattern = s.generation == 0 ? kTexturePattern : s.pattern;
  }
  if (pattern < kTexturePattern || pattern >= kHeadPatterns) return;
  const size_t bytes = images_.frameBytes();
  frame_.resize(bytes);
  applyExposure(images_.image(camera_, pattern), frame_.data(), bytes, factor);
  if (sink_) sink_(frame_.data(), static_cast<uint32_t>(images_.width), static_cast<uint32_t>(images_.height));
  std::lock_guard<std::mutex> lock(mutex_);
  ++frames_;
  if (!sink_) last_ = frame_;
}

uint64_t CameraFeatures::framesMade() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

std::vector<uint8_t> CameraFeatures::lastFrame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

}  // namespace sim::head
