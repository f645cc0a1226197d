#pragma once
// The live virtual head: the GigE Vision devices of one device kind, fed
// with a scene's rendered images and following the virtual projector, plus
// the shared-memory publication of the current images. `zelsim serve` runs
// one; tests run one inside a private network namespace.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/gige/device.h"
#include "sim/head/scene_images.h"

namespace sim {
class ProjectorState;
}

namespace sim::head {

class CameraFeatures;
class StereoHeadFeatures;
class ImagesPublisher;

enum class HeadKind { Cameras, Stereo };

struct LiveHeadOptions {
  HeadKind kind = HeadKind::Cameras;
  // Device addresses: cameras 127.0.0.2 and 127.0.0.3, head 127.0.0.2 when empty.
  std::vector<std::string> addresses;
  // User-defined names: "11" and "12" for the cameras, "head" for the head,
  // when empty.
  std::vector<std::string> names;
  uint16_t gvcpPort = 3956;
  double freeRunFps = 0;     // free-running frame rate; <= 0 as fast as the link takes them
  int sequenceStepMs = 100;  // the head projector's "z" sequence step
  std::string publishName;   // shared memory for the current images; empty: none
  sim::gige::DeviceFaults faults;
};

class LiveHead {
 public:
  // Both must outlive the head.
  LiveHead(const SceneImages& images, sim::ProjectorState& projector);
  ~LiveHead();
  LiveHead(const LiveHead&) = delete;
  LiveHead& operator=(const LiveHead&) = delete;

  // Starts every device; false with a reason (nothing left running).
  bool start(const LiveHeadOptions& options, std::string* error = nullptr);
  void stop();

  size_t deviceCount() const { return devices_.size(); }
  sim::gige::Device& device(size_t i) { return *devices_[i]; }
  // Faults for one device, or every device when index is negative.
  void setFaults(int index, const sim::gige::DeviceFaults& faults);
  uint64_t framesMade(size_t i) const;
  // CPU time device i's frame thread spent making and sending frames.
  uint64_t frameCpuNs(size_t i) const;
  // The stereo head's projector channel counters (0 for the cameras kind).
  uint64_t refusedChannelWrites() const;

 private:
  void publish(int pattern, uint64_t generation);

  const SceneImages& images_;
  sim::ProjectorState& projector_;
  std::vector<std::unique_ptr<CameraFeatures>> cameras_;
  std::unique_ptr<StereoHeadFeatures> head_;
  std::vector<std::unique_ptr<sim::gige::Device>> devices_;
  std::mutex publishMutex_;  // a projector listener may still run while stop() resets the publisher
  std::unique_ptr<ImagesPublisher> publisher_;
  int listener_ = 0;
};

}  // namespace sim::head
