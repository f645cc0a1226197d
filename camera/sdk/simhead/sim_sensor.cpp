#include "camera/sdk/simhead/sim_sensor.h"

#include <chrono>

namespace camera::sdk::simhead {

SimSensor::SimSensor(std::unique_ptr<HeadImages> head, int headCamera, FrameSink frame, ErrorSink error)
    : head_(std::move(head)),
      headCamera_(headCamera),
      frame_(std::move(frame)),
      error_(std::move(error)),
      image_(head_->frameBytes()) {
  thread_ = std::thread(&SimSensor::run, this);
}

SimSensor::~SimSensor() { stop(); }

void SimSensor::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SimSensor::setExposureUs(double us) {
  std::lock_guard<std::mutex> lock(mutex_);
  exposureUs_ = us < 0 ? 0 : us;
}

void SimSensor::setHardwareTrigger(bool armed) {
  std::uint64_t now = 0;
  // Pulses before arming are history, not triggers.
  bool known = armed && head_->triggerCount(&now);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hardware_ = armed;
    if (known) lastPulse_ = now;
  }
  cv_.notify_all();
}

void SimSensor::softwareTrigger() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++triggers_;
  }
  cv_.notify_all();
}

void SimSensor::clearPending() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    triggers_ = 0;
    ++clearGeneration_;
  }
  cv_.notify_all();
}

bool SimSensor::busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exposing_ || triggers_ > 0;
}

void SimSensor::injectError(std::uint32_t code) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back(code);
  }
  cv_.notify_all();
}

void SimSensor::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (!errors_.empty()) {
      std::uint32_t code = errors_.front();
      errors_.pop_front();
      lock.unlock();
      error_(code);
      lock.lock();
      continue;
    }
    bool fire = false;
    if (triggers_ > 0) {
      --triggers_;
      fire = true;
    } else if (hardware_) {
      lock.unlock();
      std::uint64_t count = 0;
      bool known = head_->triggerCount(&count);
      lock.lock();
      // One frame per change of the counter: pulses that came faster than
      // the poll are one pulse to this sensor.
      if (hardware_ && known && count != lastPulse_) {
        lastPulse_ = count;
        fire = true;
      }
    }
    if (!fire) {
      if (hardware_) {
        cv_.wait_for(lock, std::chrono::milliseconds(kPulsePollMs));
      } else {
        cv_.wait(lock, [&] { return stop_ || triggers_ > 0 || hardware_ || !errors_.empty(); });
      }
      continue;
    }

    // The image is taken when the exposure starts; the frame leaves when it ends.
    exposing_ = true;
    const std::uint64_t generation = clearGeneration_;
    const auto exposure = std::chrono::microseconds(static_cast<std::int64_t>(exposureUs_));
    lock.unlock();
    bool read = head_->read(headCamera_, image_.data(), nullptr);
    lock.lock();
    const auto end = std::chrono::steady_clock::now() + exposure;
    cv_.wait_until(lock, end, [&] { return stop_ || clearGeneration_ != generation; });
    const bool cancelled = stop_ || clearGeneration_ != generation;
    exposing_ = false;
    if (cancelled) continue;
    lock.unlock();
    if (read) {
      frame_(image_.data(), image_.size());
    } else {
      error_(kFrameLost);
    }
    lock.lock();
  }
}

}  // namespace camera::sdk::simhead
