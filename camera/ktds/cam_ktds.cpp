#include "camera/ktds/cam_ktds.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "camera/common/plugin.h"
#include "camera/common/zpj_protocol.h"
#include "diag/logger.h"

namespace camera::ktds {
namespace {

CameraCore::Config ktdsConfig() {
  CameraCore::Config config;
  config.logIdent = "OrvCamKtds";
  config.setLogTag = "CamKtds::setLog";
  config.exitEventName = nullptr;
  config.triggerThreads = false;
  config.resetCountersAtCapture = false;
  return config;
}

// The head's projector answers within this time (ms).
constexpr int kDiagWaitMs = 100;
// At most this many characters of a diagnostic reply are read.
constexpr int kDiagMaxReads = 2048;

}  // namespace

CamKtds::CamKtds() : Zelcam3DFrame25(ktdsConfig()) {}

CamKtds::~CamKtds() { closeHead(); }

unsigned CamKtds::open(int format, int option) {
  std::lock_guard<std::mutex> lock(headMutex_);
  if (head_.opened()) {
    ZEL_LOG("already opened.\n");
    return 3;
  }
  if (!head_.open(format, static_cast<std::uint32_t>(option))) return 0;
  for (int i = 0; i < kCameraCount; ++i) {
    CameraRecord& cam = record(i);
    cam.width = head_.width() / 2;
    cam.height = head_.height();
    cam.opened = true;
  }
  captureEvent_ = false;
  head_.setReceiver(this);
  std::uint32_t value = 0;
  triggerValue_ = head_.readRegister(reg::kTrigger, &value) ? static_cast<std::int64_t>(value) : -1;
  return 3;
}

void CamKtds::closeHead() {
  std::lock_guard<std::mutex> lock(headMutex_);
  captureEvent_ = false;
  head_.close();
  head_.setReceiver(nullptr);
  for (int i = 0; i < kCameraCount; ++i) record(i).opened = false;
}

void CamKtds::close() { closeHead(); }

bool CamKtds::openCamera(CameraRecord&, int, int) { return head_.opened(); }

bool CamKtds::closeCamera(CameraRecord&) {
  closeHead();
  return true;
}

ZelcamImageSize CamKtds::getImageSize() {
  if (!head_.opened()) return {0, 0};
  return {head_.width() / 2, head_.height()};
}

bool CamKtds::capture() {
  // A head that stopped answering takes no exposure: no frame would come.
  if (!head_.opened() || head_.lost()) return false;
  captureEvent_ = true;
  return true;
}

void CamKtds::recvImage(std::int64_t index, const std::uint8_t* image, std::size_t bytes) {
  if (index < 0 || !image) return;
  // In software trigger each capture lets exactly one frame through. The
  // event is taken before the frame is handed on, so a capture issued
  // while this frame is being delivered lets the next one through.
  const bool software = triggerValue_.load() == 0;
  if (software ? !captureEvent_.exchange(false) : !captureEvent_.load()) return;
  const std::size_t full = static_cast<std::size_t>(head_.width());
  const std::size_t half = full / 2;
  deliverSideBySideAt(image, full, half, bytes, static_cast<std::uint32_t>(index));
}

// --- registers ---

int CamKtds::readHead(std::uint32_t address) {
  std::uint32_t value = 0;
  if (!head_.readRegister(address, &value)) return -1;
  return static_cast<int>(value);
}

bool CamKtds::writeHead(int camera, std::uint32_t address, int value) {
  if (!head_.opened() || !validIndex(camera)) return false;
  if (camera == 1) return true;
  return head_.writeRegister(address, static_cast<std::uint32_t>(value));
}

int CamKtds::getExposure(int) { return readHead(reg::kExposure); }
int CamKtds::getGain(int) { return readHead(reg::kGain); }
int CamKtds::getAnalogGain(int) { return readHead(reg::kAnalogGain); }
bool CamKtds::setExposure(int camera, int value) { return writeHead(camera, reg::kExposure, value); }
bool CamKtds::setGain(int camera, int value) { return writeHead(camera, reg::kGain, value); }
bool CamKtds::setAnalogGain(int camera, int value) { return writeHead(camera, reg::kAnalogGain, value); }

int CamKtds::getTriggerMode() {
  std::uint32_t value = 0;
  if (!head_.readRegister(reg::kTrigger, &value)) {
    triggerValue_ = -1;
    return -1;
  }
  triggerValue_ = value;
  return value == 0 ? 1 : 0;
}

bool CamKtds::setTriggerMode(int mode) {
  if (!head_.opened()) return false;
  const std::int64_t value = mode == 1 ? 0 : 1;
  bool started = false;
  if (triggerValue_.load() == value) {
    // The register already holds the mode (a head that powered up in it):
    // streaming, which starts only here, must start all the same.
    started = head_.startStreaming();
  } else {
    captureEvent_ = false;
    head_.stopStreaming();
    if (!head_.writeRegister(reg::kTrigger, static_cast<std::uint32_t>(value))) return false;
    triggerValue_ = value;
    started = head_.startStreaming();
  }
  for (int i = 0; i < kCameraCount; ++i) record(i).triggerMode = value == 0 ? 1 : 0;
  // In hardware trigger every frame the head sends is a triggered one.
  if (started && value == 1) captureEvent_ = true;
  return started;
}

// --- projector through the head's serial channel ---

bool CamKtds::openProjector(unsigned) { return true; }
void CamKtds::closeProjector() {}
bool CamKtds::projectorCommandR() { return true; }
bool CamKtds::projectorCommandP(int n) { return head_.sendProjector(zpj::headPatternCommand(n)); }
bool CamKtds::projectorSetLight(unsigned level) { return head_.sendProjector(zpj::lightCommand(level)); }
bool CamKtds::projectorCommandZ(int n) { return head_.sendProjector(zpj::sequenceCommand(n)); }
bool CamKtds::projectorCommandX(int n) { return head_.sendProjector(zpj::echoCommand(n)); }

int CamKtds::projectorDiag() {
  if (!head_.sendProjector(zpj::headDiagCommand())) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(kDiagWaitMs));
  // The first answer is read out and set aside: what counts is the second.
  std::string reply;
  for (int i = 0; i < kDiagMaxReads; ++i) {
    std::uint32_t value = 0;
    if (!head_.readRegister(reg::kProjectorChannel, &value)) return -1;
    if ((value & 0xFFu) == 0) break;
    reply.push_back(static_cast<char>(value & 0xFFu));
  }
  if (!head_.sendProjector(zpj::headDiagCommand())) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(kDiagWaitMs));
  std::uint32_t value = 0;
  if (!head_.readRegister(reg::kProjectorChannel, &value)) return -1;
  const int brightness = static_cast<int>(value & 0xFFu);
  std::printf("Brightness=%d", brightness);
  std::fflush(stdout);
  return brightness;
}

void CamKtds::resetFrameCount() { head_.resetFrameCount(); }
std::uint32_t CamKtds::getFrameCount(int) { return head_.frameCount(); }

}  // namespace camera::ktds

extern "C" ZELCAM_EXPORT IZelcam3D* CreateIZelcam3DInstance() {
  try {
    return new camera::Plugin<camera::ktds::CamKtds>();
  } catch (...) {
    return nullptr;
  }
}
