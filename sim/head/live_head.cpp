#include "sim/head/live_head.h"

#include "sim/head/camera_features.h"
#include "sim/head/genicam_xml.h"
#include "sim/head/published_images.h"
#include "sim/head/register_map.h"
#include "sim/head/stereo_head_features.h"
#include "sim/projector/projector_state.h"

namespace sim::head {
namespace {

// index: 0 and 1 for the cameras, 2 for the head (distinct MAC and serial
// when both kinds run side by side).
sim::gige::DeviceConfig deviceConfig(const std::string& address, uint16_t port, int index, const std::string& name,
                                     const std::string& model, std::shared_ptr<sim::gige::TimestampClock> clock) {
  sim::gige::DeviceConfig c;
  c.address = address;
  c.gvcpPort = port;
  // Locally administered MAC addresses, one per device.
  c.identity.mac = {0x02, 0x5a, 0x45, 0x4c, 0x00, static_cast<uint8_t>(index + 1)};
  c.identity.manufacturer = "zelcam";
  c.identity.model = model;
  c.identity.deviceVersion = "1.0";
  c.identity.manufacturerInfo = "zelsim virtual head";
  c.identity.serialNumber = "ZELSIM" + std::to_string(index + 1);
  c.identity.userName = name;
  c.clock = std::move(clock);
  return c;
}

}  // namespace

LiveHead::LiveHead(const SceneImages& images, sim::ProjectorState& projector)
    : images_(images), projector_(projector) {}

LiveHead::~LiveHead() { stop(); }

bool LiveHead::start(const LiveHeadOptions& o, std::string* error) {
  stop();
  // 125 MHz, the tick of the cameras the plug-ins were written for: their
  // inter-packet delay (packet / 100 MiB/s in ticks) comes out as on the
  // real cameras (1788 for 1500-byte packets).
  auto clock = std::make_shared<sim::gige::TimestampClock>(125'000'000);
  const bool cameras = o.kind == HeadKind::Cameras;
  const size_t count = cameras ? 2 : 1;
  std::vector<std::string> addresses = o.addresses, names = o.names;
  if (addresses.empty())
    addresses = cameras ? std::vector<std::string>{"127.0.0.2", "127.0.0.3"} : std::vector<std::string>{"127.0.0.2"};
  if (names.empty()) names = cameras ? std::vector<std::string>{"11", "12"} : std::vector<std::string>{"head"};
  if (addresses.size() != count || names.size() != count) {
    if (error)
      *error = cameras ? "the cameras need two addresses and two names" : "the head needs one address and one name";
    return false;
  }
  for (const std::string& n : names) {
    if (n.size() > 15) {
      if (error) *error = "user-defined name '" + n + "' is longer than 15 characters";
      return false;
    }
  }
  if (cameras) {
    const std::string xml = cameraXml(images_.width, images_.height);
    for (size_t i = 0; i < count; ++i) {
      auto features = std::make_unique<CameraFeatures>(static_cast<int>(i), images_, projector_, o.freeRunFps);
      sim::gige::DeviceConfig c =
          deviceConfig(addresses[i], o.gvcpPort, static_cast<int>(i), names[i], "ZelsimCamera", clock);
      c.xmlFileName = "zelsim_camera.xml";
      c.xmlFile.assign(xml.begin(), xml.end());
      auto device = std::make_unique<sim::gige::Device>(std::move(c), *features);
      sim::gige::Device* d = device.get();
      features->attach(
          [d](const uint8_t* image, uint32_t w, uint32_t h) { d->sendFrame(image, w, h, camreg::kMono8); });
      CameraFeatures* f = features.get();
      device->onControlLost([f] { f->controlLost(); });
      cameras_.push_back(std::move(features));
      devices_.push_back(std::move(device));
    }
  } else {
    head_ = std::make_unique<StereoHeadFeatures>(images_, projector_, o.freeRunFps, o.sequenceStepMs);
    sim::gige::DeviceConfig c = deviceConfig(addresses[0], o.gvcpPort, 2, names[0], "ZelsimStereoHead", clock);
    c.xmlFileName = "zelsim_head.zip";
    c.xmlFile = zipOneFile("zelsim_head.xml", stereoHeadXml());
    auto device = std::make_unique<sim::gige::Device>(std::move(c), *head_);
    sim::gige::Device* d = device.get();
    head_->attach([d](const uint8_t* image, uint32_t w, uint32_t h) { d->sendFrame(image, w, h, camreg::kMono8); });
    StereoHeadFeatures* f = head_.get();
    device->onControlLost([f] { f->controlLost(); });
    devices_.push_back(std::move(device));
  }
  for (auto& d : devices_) d->setFaults(o.faults);

  if (!o.publishName.empty()) {
    publisher_ = ImagesPublisher::create(o.publishName, images_.width, images_.height, error);
    if (!publisher_) {
      stop();
      return false;
    }
    sim::ProjectorSnapshot s = projector_.snapshot();
    publish(s.generation == 0 ? kTexturePattern : s.pattern, s.generation);
    listener_ =
        projector_.addListener([this](const sim::ProjectorSnapshot& snap) { publish(snap.pattern, snap.generation); });
  }
  for (auto& f : cameras_) f->start();
  if (head_) head_->start();
  for (size_t i = 0; i < devices_.size(); ++i) {
    std::string why;
    if (!devices_[i]->start(&why)) {
      if (error) *error = "device at " + addresses[i] + ": " + why;
      stop();
      return false;
    }
  }
  return true;
}

void LiveHead::stop() {
  if (listener_ != 0) {
    projector_.removeListener(listener_);
    listener_ = 0;
  }
  for (auto& d : devices_) d->stop();
  for (auto& f : cameras_) f->stop();
  if (head_) head_->stop();
  devices_.clear();
  cameras_.clear();
  head_.reset();
  std::lock_guard<std::mutex> lock(publishMutex_);
  publisher_.reset();
}

void LiveHead::setFaults(int index, const sim::gige::DeviceFaults& faults) {
  for (size_t i = 0; i < devices_.size(); ++i)
    if (index < 0 || static_cast<size_t>(index) == i) devices_[i]->setFaults(faults);
}

uint64_t LiveHead::framesMade(size_t i) const {
  if (head_) return head_->framesMade();
  return i < cameras_.size() ? cameras_[i]->framesMade() : 0;
}

uint64_t LiveHead::frameCpuNs(size_t i) const {
  if (head_) return head_->cpuNs();
  return i < cameras_.size() ? cameras_[i]->cpuNs() : 0;
}

uint64_t LiveHead::refusedChannelWrites() const { return head_ ? head_->refusedChannelWrites() : 0; }

void LiveHead::publish(int pattern, uint64_t generation) {
  std::lock_guard<std::mutex> lock(publishMutex_);
  if (!publisher_) return;
  publisher_->publish(pattern, generation, images_.image(0, pattern), images_.image(1, pattern));
}

}  // namespace sim::head
