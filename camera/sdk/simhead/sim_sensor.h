#pragma once
// The sensor of one simulated USB camera: a thread of its own that takes the
// camera's image from the virtual head when it is triggered (a software
// trigger, or a pulse of the head's trigger counter while the hardware
// trigger is armed), lets the exposure time pass and hands the image on.
// Both SDK-shaped layers build their cameras on it.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/sdk/simhead/head_images.h"

namespace camera::sdk::simhead {

class SimSensor {
 public:
  // Both run on the sensor's thread, with no lock of the sensor held, so they
  // may call back into the sensor. image: the head's image of this camera at
  // the reference exposure, frameBytes() bytes.
  using FrameSink = std::function<void(const std::uint8_t* image, std::size_t bytes)>;
  // code: an injected receive error, or kFrameLost when the head could not
  // be read for a triggered frame.
  using ErrorSink = std::function<void(std::uint32_t code)>;
  static constexpr std::uint32_t kFrameLost = 0;
  // How often the armed hardware trigger looks at the head's counter.
  static constexpr int kPulsePollMs = 1;

  // headCamera: 0 left, 1 right. Starts the thread.
  SimSensor(std::unique_ptr<HeadImages> head, int headCamera, FrameSink frame, ErrorSink error);
  // Ends the thread; a frame being exposed is dropped. Never call it from
  // inside a sink.
  ~SimSensor();
  SimSensor(const SimSensor&) = delete;
  SimSensor& operator=(const SimSensor&) = delete;

  // Ends the thread (the destructor does it too); no sink runs after it.
  void stop();

  const HeadImages& head() const { return *head_; }
  // Time from trigger to frame, in microseconds.
  void setExposureUs(double us);
  // Armed: every pulse from now on makes one frame (a pulse that comes while
  // a frame is being exposed is lost, as on a real sensor).
  void setHardwareTrigger(bool armed);
  void softwareTrigger();
  // Cancels frames triggered but not yet handed on.
  void clearPending();
  // A trigger is waiting or a frame is being exposed.
  bool busy() const;
  // Reports code through the error sink on the sensor's thread.
  void injectError(std::uint32_t code);

 private:
  void run();

  std::unique_ptr<HeadImages> head_;
  const int headCamera_;
  FrameSink frame_;
  ErrorSink error_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool hardware_ = false;
  bool exposing_ = false;
  std::uint64_t lastPulse_ = 0;
  int triggers_ = 0;
  std::uint64_t clearGeneration_ = 0;
  double exposureUs_ = 10000.0;
  std::deque<std::uint32_t> errors_;
  std::vector<std::uint8_t> image_;
  std::thread thread_;
};

}  // namespace camera::sdk::simhead
