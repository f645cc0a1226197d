// libzel_sttrg.so: the StTrgAPI-shaped layer on simulated USB cameras.
//
// Configuration (read at each StTrg_Open):
//   ZELCAM_SIM_HEAD      shared-memory name of the published virtual head
//                        (default "zelsim-head"); no head, no camera.
//   ZELCAM_STTRG_CAMERAS user IDs of the cameras in the order the bus lists
//                        them, separated by commas (default "1,2"). User ID 1
//                        sees the head's left image, 2 the right one.
//
// The cameras: scan mode 0 (the whole sensor, the head's image size),
// exposure clock of 10 us (1 to 100000 clocks; 1000 clocks, 10 ms, is the
// head's reference exposure), gain 0 to 1000 (factor 1 + gain/100; 0 is the
// reference), frames on a thread per camera from the start of the transfer,
// software trigger (StTrg_SoftwareTrigger) or hardware trigger (a pulse per
// pattern the projector shows).
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/sdk/ordinal_table.h"
#include "camera/sdk/simhead/head_images.h"
#include "camera/sdk/simhead/sim_sensor.h"
#include "camera/sdk/sttrg/sttrg_api.h"

namespace sttrg {
namespace {

using camera::sdk::simhead::HeadImages;
using camera::sdk::simhead::SimSensor;

constexpr double kClockSeconds = 1e-5;
constexpr std::uint32_t kMaxClock = 100000;
constexpr std::uint32_t kReferenceClock = 1000;
constexpr std::uint16_t kMaxGain = 1000;
constexpr std::size_t kMaxCameras = 8;

thread_local std::uint32_t tLastError = 0;

int fail(std::uint32_t code) {
  tLastError = code;
  return 0;
}
int ok() {
  tLastError = 0;
  return 1;
}

struct Camera {
  std::uint32_t userId = 0;
  int headCamera = 0;
  int width = 0, height = 0;

  std::mutex mutex;  // settings and callbacks
  std::uint32_t clock = kReferenceClock;
  std::uint16_t gain = 0;
  std::uint32_t triggerOn = 1, source = kSourceSoftware, exposureMode = 1;
  ExposureEndFn exposureEnd = nullptr;
  void* exposureEndContext = nullptr;
  TransferEndFn transferEnd = nullptr;
  void* transferEndContext = nullptr;
  RcvErrorFn rcvError = nullptr;
  void* rcvErrorContext = nullptr;
  std::vector<std::uint8_t> frame;  // only the sensor's thread touches it

  std::mutex sensorMutex;  // start/stop of the transfer; never held by a callback
  std::unique_ptr<SimSensor> sensor;
  Handle handle = kInvalidHandle;
};

std::mutex gMutex;
std::shared_ptr<Camera> gCameras[kMaxCameras];  // slot i: handle i + 1

std::vector<std::uint32_t> configuredIds() {
  std::vector<std::uint32_t> ids;
  const char* text = std::getenv("ZELCAM_STTRG_CAMERAS");
  std::string list = text && *text ? text : "1,2";
  std::size_t pos = 0;
  while (pos <= list.size() && ids.size() < kMaxCameras) {
    std::size_t comma = list.find(',', pos);
    std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    char* end = nullptr;
    unsigned long id = std::strtoul(item.c_str(), &end, 10);
    if (!item.empty() && end && *end == '\0' && id > 0 && id <= 0xFFFFFFFFul)
      ids.push_back(static_cast<std::uint32_t>(id));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return ids;
}

std::shared_ptr<Camera> find(Handle h) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (h < 1 || h > static_cast<Handle>(kMaxCameras)) return nullptr;
  return gCameras[h - 1];
}

// What the sensor's frame becomes: the camera's exposure and gain applied.
void onFrame(Camera& cam, const std::uint8_t* image, std::size_t bytes) {
  ExposureEndFn exposureEnd;
  TransferEndFn transferEnd;
  void *exposureContext, *transferContext;
  double factor;
  {
    std::lock_guard<std::mutex> lock(cam.mutex);
    exposureEnd = cam.exposureEnd;
    exposureContext = cam.exposureEndContext;
    transferEnd = cam.transferEnd;
    transferContext = cam.transferEndContext;
    factor = (static_cast<double>(cam.clock) / kReferenceClock) * (1.0 + cam.gain / 100.0);
  }
  if (exposureEnd) exposureEnd(cam.handle, exposureContext);
  cam.frame.resize(bytes);
  camera::sdk::simhead::applyFactor(image, cam.frame.data(), bytes, factor);
  if (transferEnd)
    transferEnd(cam.handle, cam.frame.data(), static_cast<std::uint32_t>(bytes), static_cast<std::uint32_t>(cam.width),
                static_cast<std::uint32_t>(cam.height), transferContext);
}

void onError(Camera& cam, std::uint32_t code) {
  RcvErrorFn rcvError;
  void* context;
  {
    std::lock_guard<std::mutex> lock(cam.mutex);
    rcvError = cam.rcvError;
    context = cam.rcvErrorContext;
  }
  if (code == SimSensor::kFrameLost) code = kRcvImageData;
  if (rcvError) rcvError(cam.handle, code, context);
}

// The sensor follows the trigger settings: armed for pulses in hardware mode.
void applyTrigger(Camera& cam) {
  std::lock_guard<std::mutex> sensorLock(cam.sensorMutex);
  if (!cam.sensor) return;
  bool hardware;
  double exposureUs;
  {
    std::lock_guard<std::mutex> lock(cam.mutex);
    hardware = cam.triggerOn && cam.source == kSourceHardware;
    exposureUs = cam.clock * kClockSeconds * 1e6;
  }
  cam.sensor->setExposureUs(exposureUs);
  cam.sensor->setHardwareTrigger(hardware);
}

// --- the calls ---

Handle stOpen() {
  std::string why;
  std::vector<std::uint32_t> ids = configuredIds();
  std::lock_guard<std::mutex> lock(gMutex);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (gCameras[i]) continue;  // bus position i is open already
    auto head = HeadImages::open(camera::sdk::simhead::headObjectName(), &why);
    if (!head) {
      tLastError = kErrorDeviceNotConnected;
      return kInvalidHandle;
    }
    auto cam = std::make_shared<Camera>();
    cam->userId = ids[i];
    cam->headCamera = static_cast<int>((ids[i] - 1) % 2);
    cam->width = head->width();
    cam->height = head->height();
    cam->handle = static_cast<Handle>(i + 1);
    gCameras[i] = cam;
    tLastError = 0;
    return cam->handle;
  }
  tLastError = kErrorNoMoreItems;
  return kInvalidHandle;
}

int stStopTransfer(Handle h) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  std::unique_ptr<SimSensor> sensor;
  {
    std::lock_guard<std::mutex> lock(cam->sensorMutex);
    sensor = std::move(cam->sensor);
  }
  sensor.reset();  // joins the camera's thread, outside every lock its callbacks take
  return ok();
}

int stClose(Handle h) {
  if (!find(h)) return fail(kErrorInvalidHandle);
  stStopTransfer(h);
  std::lock_guard<std::mutex> lock(gMutex);
  gCameras[h - 1].reset();
  return ok();
}

int stStartTransfer(Handle h) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  {
    std::lock_guard<std::mutex> lock(cam->sensorMutex);
    if (cam->sensor) return ok();
    std::string why;
    auto head = HeadImages::open(camera::sdk::simhead::headObjectName(), &why);
    if (!head) return fail(kErrorDeviceNotConnected);
    if (head->width() != cam->width || head->height() != cam->height) return fail(kErrorDeviceNotConnected);
    Camera* c = cam.get();
    cam->sensor = std::make_unique<SimSensor>(
        std::move(head), cam->headCamera,
        [c](const std::uint8_t* image, std::size_t bytes) { onFrame(*c, image, bytes); },
        [c](std::uint32_t code) { onError(*c, code); });
  }
  applyTrigger(*cam);
  return ok();
}

template <class Fn>
int setCallback(Handle h, Fn fn, void* context, Fn Camera::*slot, void* Camera::*contextSlot) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  std::lock_guard<std::mutex> lock(cam->mutex);
  (*cam).*slot = fn;
  (*cam).*contextSlot = context;
  return ok();
}
int stSetExposureEndCallback(Handle h, ExposureEndFn fn, void* c) {
  return setCallback(h, fn, c, &Camera::exposureEnd, &Camera::exposureEndContext);
}
int stSetTransferEndCallback(Handle h, TransferEndFn fn, void* c) {
  return setCallback(h, fn, c, &Camera::transferEnd, &Camera::transferEndContext);
}
int stSetRcvErrorCallback(Handle h, RcvErrorFn fn, void* c) {
  return setCallback(h, fn, c, &Camera::rcvError, &Camera::rcvErrorContext);
}

int stGetGain(Handle h, std::uint16_t* gain) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  if (!gain) return fail(kErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(cam->mutex);
  *gain = cam->gain;
  return ok();
}
int stSetGain(Handle h, std::uint16_t gain) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  if (gain > kMaxGain) return fail(kErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(cam->mutex);
  cam->gain = gain;
  return ok();
}
int stGetMaxGain(Handle h, std::uint16_t* gain) {
  if (!find(h)) return fail(kErrorInvalidHandle);
  if (!gain) return fail(kErrorInvalidParameter);
  *gain = kMaxGain;
  return ok();
}

int stGetScanMode(Handle h, std::uint16_t* mode, std::uint32_t* offX, std::uint32_t* offY, std::uint32_t* w,
                  std::uint32_t* hgt) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  if (!mode || !offX || !offY || !w || !hgt) return fail(kErrorInvalidParameter);
  *mode = 0;
  *offX = 0;
  *offY = 0;
  *w = static_cast<std::uint32_t>(cam->width);
  *hgt = static_cast<std::uint32_t>(cam->height);
  return ok();
}
int stSetScanMode(Handle h, std::uint16_t mode, std::uint32_t offX, std::uint32_t offY) {
  if (!find(h)) return fail(kErrorInvalidHandle);
  // Only the whole sensor: partial scans are not simulated.
  if (mode != 0 || offX != 0 || offY != 0) return fail(kErrorInvalidParameter);
  return ok();
}

int stGetExposureClock(Handle h, std::uint32_t* clock) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  if (!clock) return fail(kErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(cam->mutex);
  *clock = cam->clock;
  return ok();
}
int stSetExposureClock(Handle h, std::uint32_t clock) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  if (clock < 1 || clock > kMaxClock) return fail(kErrorInvalidParameter);
  {
    std::lock_guard<std::mutex> lock(cam->mutex);
    cam->clock = clock;
  }
  applyTrigger(*cam);
  return ok();
}
int stGetMaxExposureClock(Handle h, std::uint32_t* clock) {
  if (!find(h)) return fail(kErrorInvalidHandle);
  if (!clock) return fail(kErrorInvalidParameter);
  *clock = kMaxClock;
  return ok();
}
int stClockFromTime(Handle h, float seconds, std::uint32_t* clock) {
  if (!find(h)) return fail(kErrorInvalidHandle);
  if (!clock || !std::isfinite(seconds)) return fail(kErrorInvalidParameter);
  double clocks = std::floor(static_cast<double>(seconds) / kClockSeconds + 0.5);
  *clock = clocks <= 0 ? 0u : clocks >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(clocks);
  return ok();
}
int stTimeFromClock(Handle h, std::uint32_t clock, float* seconds) {
  if (!find(h)) return fail(kErrorInvalidHandle);
  if (!seconds) return fail(kErrorInvalidParameter);
  *seconds = static_cast<float>(clock * kClockSeconds);
  return ok();
}

int stReadCameraUserID(Handle h, std::uint32_t* id, char* text, std::uint32_t size) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  if (!id || !text || size == 0) return fail(kErrorInvalidParameter);
  *id = cam->userId;
  std::string name = "ZELSIM-STC-" + std::to_string(cam->userId);
  std::size_t n = std::min<std::size_t>(name.size(), size - 1);
  std::memcpy(text, name.data(), n);
  text[n] = '\0';
  return ok();
}

int stClearBuffer(Handle h) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  std::lock_guard<std::mutex> lock(cam->sensorMutex);
  if (cam->sensor) cam->sensor->clearPending();
  return ok();
}

int stAccept(Handle h, std::uint32_t) { return find(h) ? ok() : fail(kErrorInvalidHandle); }
int stAccept2(Handle h, std::uint32_t, std::uint32_t) { return find(h) ? ok() : fail(kErrorInvalidHandle); }

int stSetClock(Handle h, std::uint32_t mode) {
  if (!find(h)) return fail(kErrorInvalidHandle);
  return mode == 0 ? ok() : fail(kErrorInvalidParameter);
}

int stSetExposureMode(Handle h, std::uint32_t mode) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  if (mode > 2) return fail(kErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(cam->mutex);
  cam->exposureMode = mode;
  return ok();
}

int stSetTriggerMode2(Handle h, std::uint32_t selector, std::uint32_t on) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  if (selector != kSelectorFrameStart || on > 1) return fail(kErrorInvalidParameter);
  {
    std::lock_guard<std::mutex> lock(cam->mutex);
    cam->triggerOn = on;
  }
  applyTrigger(*cam);
  return ok();
}

int stSetTriggerSource(Handle h, std::uint32_t selector, std::uint32_t source) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  if (selector != kSelectorFrameStart || (source != kSourceSoftware && source != kSourceHardware))
    return fail(kErrorInvalidParameter);
  {
    std::lock_guard<std::mutex> lock(cam->mutex);
    cam->source = source;
  }
  applyTrigger(*cam);
  return ok();
}

int stSoftwareTrigger(Handle h, std::uint32_t selector) {
  auto cam = find(h);
  if (!cam) return fail(kErrorInvalidHandle);
  if (selector != kSelectorFrameStart) return fail(kErrorInvalidParameter);
  {
    std::lock_guard<std::mutex> lock(cam->mutex);
    if (!cam->triggerOn || cam->source != kSourceSoftware) return fail(kErrorNotReady);
  }
  std::lock_guard<std::mutex> lock(cam->sensorMutex);
  if (!cam->sensor) return fail(kErrorNotReady);  // the transfer is not running
  cam->sensor->softwareTrigger();
  return ok();
}

std::uint32_t stLastError() { return tLastError; }

struct Table : ZelOrdinalEntries<kOrdinalCount> {
  Table() {
    set<kZelOrdinalLastError>(&stLastError);
    set<kOpen>(&stOpen);
    set<kClose>(&stClose);
    set<kStartTransfer>(&stStartTransfer);
    set<kStopTransfer>(&stStopTransfer);
    set<kSetExposureEndCallback>(&stSetExposureEndCallback);
    set<kSetTransferEndCallback>(&stSetTransferEndCallback);
    set<kSetRcvErrorCallback>(&stSetRcvErrorCallback);
    set<kGetGain>(&stGetGain);
    set<kSetGain>(&stSetGain);
    set<kGetScanMode>(&stGetScanMode);
    set<kSetScanMode>(&stSetScanMode);
    set<kGetExposureClock>(&stGetExposureClock);
    set<kSetExposureClock>(&stSetExposureClock);
    set<kReadCameraUserID>(&stReadCameraUserID);
    set<kClearBuffer>(&stClearBuffer);
    set<kSetIOPinMode>(&stAccept);
    set<kSetIOPinPolarity>(&stAccept);
    set<kSetIOPinDirection>(&stAccept2);
    set<kGetMaxExposureClock>(&stGetMaxExposureClock);
    set<kGetMaxGain>(&stGetMaxGain);
    set<kSetClock>(&stSetClock);
    set<kGetExposureClockFromTime>(&stClockFromTime);
    set<kGetExposureTimeFromClock>(&stTimeFromClock);
    set<kSetTriggerMode2>(&stSetTriggerMode2);
    set<kSetExposureMode>(&stSetExposureMode);
    set<kSetTriggerSource>(&stSetTriggerSource);
    set<kSoftwareTrigger>(&stSoftwareTrigger);
    set<kSetTimeOut>(&stAccept2);
  }
};

const Table gTable;

}  // namespace
}  // namespace sttrg

ZEL_EXPORT_ORDINAL_TABLE((ZelOrdinalTable{kZelOrdinalTableMagic, sttrg::kOrdinalCount, "StTrgAPI",
                                          sttrg::gTable.entries}));

extern "C" int zel_sttrg_sim_inject_rcv_error(std::uint32_t userId, std::uint32_t code) {
  using namespace sttrg;
  std::shared_ptr<Camera> cam;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    for (auto& c : gCameras)
      if (c && c->userId == userId) cam = c;
  }
  if (!cam) return 0;
  std::lock_guard<std::mutex> lock(cam->sensorMutex);
  if (!cam->sensor) return 0;
  cam->sensor->injectError(code);
  return 1;
}
