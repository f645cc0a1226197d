// libzel_ueye.so: the uEye-shaped layer on simulated USB cameras.
//
// Configuration (read at each is_InitCamera):
//   ZELCAM_SIM_HEAD      shared-memory name of the published virtual head
//                        (default "zelsim-head"); no head, no camera.
//   ZELCAM_UEYE_CAMERAS  camera ids present, separated by commas (default
//                        "1,2"). Id 1 sees the head's left image, 2 the right.
//
// The cameras: a sensor of the head's image size; binning 3 (2 x 2, grey
// levels averaged and rounded) halves both sides; an area of interest from
// the top left corner; 8-bit monochrome only; pixel clock 5 to 128 MHz;
// exposure 0.001 to 2000 ms in steps of 1 us (10 ms is the head's reference
// exposure); master gain 0 to 100 (factor 1 + gain/25; 0 is the reference).
// Frames are written into the active image memory on the camera's own
// thread, then the registered frame event (an eventfd) gets a 1.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/sdk/ordinal_table.h"
#include "camera/sdk/simhead/head_images.h"
#include "camera/sdk/simhead/sim_sensor.h"
#include "camera/sdk/ueye/ueye_api.h"

namespace ueye {
namespace {

using camera::sdk::simhead::HeadImages;
using camera::sdk::simhead::SimSensor;

constexpr double kReferenceExposureMs = 10.0;
constexpr double kMaxExposureMs = 2000.0;
constexpr int kMaxGain = 100;

thread_local std::uint32_t tLastError = 0;
int result(int code) {
  tLastError = static_cast<std::uint32_t>(code);
  return code;
}

struct Camera {
  Hids id = 0;
  int sensorWidth = 0, sensorHeight = 0;

  std::mutex mutex;  // everything below; held by the frame hook
  int binning = 0;
  int aoiWidth = 0, aoiHeight = 0;
  int colorMode = kColorMono8;
  std::uint32_t pixelClock = 24;
  double exposureMs = kReferenceExposureMs;
  int gain = 0;
  int trigger = kTriggerOff;
  bool live = false;
  bool single = false;  // a frame asked for by is_FreezeVideo is on its way
  int eventFd = -1;
  bool eventEnabled = false;
  std::map<int, std::vector<char>> memories;
  int nextMemoryId = 1;
  int activeMemory = 0;
  std::vector<std::uint8_t> binned;

  std::unique_ptr<SimSensor> sensor;  // made at init, ended at exit, outside the mutex
};

std::mutex gMutex;
std::map<Hids, std::shared_ptr<Camera>> gCameras;

std::vector<Hids> configuredIds() {
  std::vector<Hids> ids;
  const char* text = std::getenv("ZELCAM_UEYE_CAMERAS");
  std::string list = text && *text ? text : "1,2";
  std::size_t pos = 0;
  for (;;) {
    std::size_t comma = list.find(',', pos);
    std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    char* end = nullptr;
    unsigned long id = std::strtoul(item.c_str(), &end, 10);
    if (!item.empty() && end && *end == '\0' && id > 0 && id < 255) ids.push_back(static_cast<Hids>(id));
    if (comma == std::string::npos || ids.size() >= 16) break;
    pos = comma + 1;
  }
  return ids;
}

std::shared_ptr<Camera> find(Hids h) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gCameras.find(h);
  return it == gCameras.end() ? nullptr : it->second;
}

int binnedWidth(const Camera& c) { return c.binning == kBinning2x2 ? c.sensorWidth / 2 : c.sensorWidth; }
int binnedHeight(const Camera& c) { return c.binning == kBinning2x2 ? c.sensorHeight / 2 : c.sensorHeight; }

// The sensor's image becomes the camera's frame: binning, area of interest,
// exposure and gain, written into the active image memory.
void onFrame(Camera& cam, const std::uint8_t* image, std::size_t) {
  std::lock_guard<std::mutex> lock(cam.mutex);
  if (!cam.live && !cam.single) return;  // stopped while it was exposed
  const bool wasSingle = cam.single;
  cam.single = false;
  const std::uint8_t* source = image;
  int sourceWidth = cam.sensorWidth;
  if (cam.binning == kBinning2x2) {
    const int w = cam.sensorWidth / 2, h = cam.sensorHeight / 2;
    cam.binned.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y) {
      const std::uint8_t* r0 = image + static_cast<std::size_t>(2 * y) * static_cast<std::size_t>(cam.sensorWidth);
      const std::uint8_t* r1 = r0 + cam.sensorWidth;
      for (int x = 0; x < w; ++x)
        cam.binned[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] =
            static_cast<std::uint8_t>((r0[2 * x] + r0[2 * x + 1] + r1[2 * x] + r1[2 * x + 1] + 2) / 4);
    }
    source = cam.binned.data();
    sourceWidth = w;
  }
  auto mem = cam.memories.find(cam.activeMemory);
  const std::size_t bytes = static_cast<std::size_t>(cam.aoiWidth) * static_cast<std::size_t>(cam.aoiHeight);
  if (mem != cam.memories.end() && mem->second.size() >= bytes) {
    const double factor = (cam.exposureMs / kReferenceExposureMs) * (1.0 + cam.gain / 25.0);
    auto* out = reinterpret_cast<std::uint8_t*>(mem->second.data());
    for (int y = 0; y < cam.aoiHeight; ++y)
      camera::sdk::simhead::applyFactor(source + static_cast<std::size_t>(y) * static_cast<std::size_t>(sourceWidth),
                                        out + static_cast<std::size_t>(y) * static_cast<std::size_t>(cam.aoiWidth),
                                        static_cast<std::size_t>(cam.aoiWidth), factor);
    if (cam.eventFd >= 0 && cam.eventEnabled) {
      std::uint64_t one = 1;
      ssize_t n = ::write(cam.eventFd, &one, sizeof one);
      (void)n;  // a full counter (never in practice) loses nothing the reader needs
    }
  }
  if (wasSingle && cam.trigger == kTriggerRisingEdge && !cam.live) cam.sensor->setHardwareTrigger(false);
  // Live video without the trigger input runs free: the next frame at once.
  if (cam.live && cam.trigger != kTriggerRisingEdge) cam.sensor->softwareTrigger();
}

void onFrameLost(Camera& cam) {
  std::lock_guard<std::mutex> lock(cam.mutex);
  const bool wasSingle = cam.single;
  cam.single = false;
  if (wasSingle && cam.trigger == kTriggerRisingEdge && !cam.live) cam.sensor->setHardwareTrigger(false);
  if (cam.live && cam.trigger != kTriggerRisingEdge) cam.sensor->softwareTrigger();
}

// --- the calls ---

int isInitCamera(Hids* camera, void*) {
  if (!camera) return result(kInvalidParameter);
  const Hids id = *camera;
  bool present = false;
  for (Hids known : configuredIds()) present = present || known == id;
  if (!present || find(id)) return result(kCantOpenDevice);
  std::string why;
  auto head = HeadImages::open(camera::sdk::simhead::headObjectName(), &why);
  if (!head) return result(kCantOpenDevice);
  auto cam = std::make_shared<Camera>();
  cam->id = id;
  cam->sensorWidth = head->width();
  cam->sensorHeight = head->height();
  cam->aoiWidth = cam->sensorWidth;
  cam->aoiHeight = cam->sensorHeight;
  Camera* c = cam.get();
  cam->sensor = std::make_unique<SimSensor>(
      std::move(head), static_cast<int>((id - 1) % 2),
      [c](const std::uint8_t* image, std::size_t bytes) { onFrame(*c, image, bytes); },
      // A frame the sensor lost ends its single capture as a failed transfer
      // would: the camera must take the next is_FreezeVideo, not stay busy.
      [c](std::uint32_t) { onFrameLost(*c); });
  cam->sensor->setExposureUs(cam->exposureMs * 1000.0);
  std::lock_guard<std::mutex> lock(gMutex);
  if (gCameras.count(id)) return result(kCantOpenDevice);
  gCameras[id] = std::move(cam);
  return result(kSuccess);
}

int isExitCamera(Hids h) {
  std::shared_ptr<Camera> cam;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto it = gCameras.find(h);
    if (it == gCameras.end()) return result(kInvalidCameraHandle);
    cam = it->second;
    gCameras.erase(it);
  }
  // The frame hook still reaches the sensor while the thread ends: stop it
  // before the object goes.
  cam->sensor->stop();
  cam->sensor.reset();
  return result(kSuccess);
}

int isGetCameraInfo(Hids h, CameraInfo* info) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (!info) return result(kInvalidParameter);
  std::memset(info, 0, sizeof *info);
  std::snprintf(info->serNo, sizeof info->serNo, "ZS%08u", static_cast<unsigned>(h));
  std::snprintf(info->id, sizeof info->id, "zelsim");
  std::snprintf(info->version, sizeof info->version, "1.0");
  info->select = static_cast<std::uint8_t>(h);
  return result(kSuccess);
}

int isGetSensorInfo(Hids h, SensorInfo* info) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (!info) return result(kInvalidParameter);
  std::memset(info, 0, sizeof *info);
  std::snprintf(info->sensorName, sizeof info->sensorName, "UI-ZELSIM-M");
  info->colorMode = 1;
  info->maxWidth = static_cast<std::uint32_t>(cam->sensorWidth);
  info->maxHeight = static_cast<std::uint32_t>(cam->sensorHeight);
  info->masterGain = 1;
  return result(kSuccess);
}

int isSetBinning(Hids h, int mode) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (mode != 0 && mode != kBinning2x2) return result(kInvalidParameter);
  std::lock_guard<std::mutex> lock(cam->mutex);
  if (cam->live) return result(kCaptureRunning);
  cam->binning = mode;
  cam->aoiWidth = binnedWidth(*cam);
  cam->aoiHeight = binnedHeight(*cam);
  return result(kSuccess);
}

int isAoi(Hids h, unsigned cmd, void* param, unsigned size) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (!param || size < sizeof(Size2D)) return result(kInvalidParameter);
  auto* s = static_cast<Size2D*>(param);
  std::lock_guard<std::mutex> lock(cam->mutex);
  if (cmd == kAoiGetSize) {
    s->width = cam->aoiWidth;
    s->height = cam->aoiHeight;
    return result(kSuccess);
  }
  if (cmd != kAoiSetSize) return result(kNotSupported);
  if (s->width < 1 || s->height < 1 || s->width > binnedWidth(*cam) || s->height > binnedHeight(*cam))
    return result(kInvalidParameter);
  if (cam->live) return result(kCaptureRunning);
  cam->aoiWidth = s->width;
  cam->aoiHeight = s->height;
  return result(kSuccess);
}

int isSetColorMode(Hids h, int mode) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (mode == 0x8000) return cam->colorMode;
  return result(mode == kColorMono8 ? kSuccess : kInvalidParameter);
}

int isAllocImageMem(Hids h, int width, int height, int bits, char** mem, int* id) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (!mem || !id || width < 1 || height < 1 || width > 16384 || height > 16384 || bits != 8)
    return result(kInvalidParameter);
  std::lock_guard<std::mutex> lock(cam->mutex);
  const int memId = cam->nextMemoryId++;
  auto& block = cam->memories[memId];
  block.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
  *mem = block.data();
  *id = memId;
  return result(kSuccess);
}

int isSetImageMem(Hids h, char* mem, int id) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  std::lock_guard<std::mutex> lock(cam->mutex);
  auto it = cam->memories.find(id);
  if (it == cam->memories.end() || it->second.data() != mem) return result(kInvalidMemoryPointer);
  cam->activeMemory = id;
  return result(kSuccess);
}

int isFreeImageMem(Hids h, char* mem, int id) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  std::lock_guard<std::mutex> lock(cam->mutex);
  auto it = cam->memories.find(id);
  if (it == cam->memories.end() || it->second.data() != mem) return result(kInvalidMemoryPointer);
  cam->memories.erase(it);
  if (cam->activeMemory == id) cam->activeMemory = 0;
  return result(kSuccess);
}

int isDeviceFeature(Hids h, unsigned cmd, void* param, unsigned size) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (cmd != kFeature8800 && cmd != kFeature8802 && cmd != kFeature8804) return result(kNotSupported);
  if (!param || size < sizeof(std::uint32_t)) return result(kInvalidParameter);
  return result(kSuccess);
}

int isPixelClock(Hids h, unsigned cmd, void* param, unsigned size) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (!param || size < sizeof(std::uint32_t)) return result(kInvalidParameter);
  auto* mhz = static_cast<std::uint32_t*>(param);
  std::lock_guard<std::mutex> lock(cam->mutex);
  if (cmd == kPixelClockGet) {
    *mhz = cam->pixelClock;
    return result(kSuccess);
  }
  if (cmd != kPixelClockSet) return result(kNotSupported);
  if (*mhz < 5 || *mhz > 128) return result(kInvalidParameter);
  cam->pixelClock = *mhz;
  return result(kSuccess);
}

int isInitEvent(Hids h, int fd, int which) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (which != kFrameEvent || fd < 0) return result(kInvalidParameter);
  std::lock_guard<std::mutex> lock(cam->mutex);
  cam->eventFd = fd;
  return result(kSuccess);
}

int isExitEvent(Hids h, int which) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (which != kFrameEvent) return result(kInvalidParameter);
  std::lock_guard<std::mutex> lock(cam->mutex);
  cam->eventFd = -1;
  cam->eventEnabled = false;
  return result(kSuccess);
}

int setEventEnabled(Hids h, int which, bool enabled) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (which != kFrameEvent) return result(kInvalidParameter);
  std::lock_guard<std::mutex> lock(cam->mutex);
  if (enabled && cam->eventFd < 0) return result(kNoSuccess);
  cam->eventEnabled = enabled;
  return result(kSuccess);
}
int isEnableEvent(Hids h, int which) { return setEventEnabled(h, which, true); }
int isDisableEvent(Hids h, int which) { return setEventEnabled(h, which, false); }

int isStopLiveVideo(Hids h, int) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  std::lock_guard<std::mutex> lock(cam->mutex);
  cam->live = false;
  cam->single = false;
  cam->sensor->setHardwareTrigger(false);
  cam->sensor->clearPending();
  return result(kSuccess);
}

int isSetExternalTrigger(Hids h, int mode) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  std::lock_guard<std::mutex> lock(cam->mutex);
  if (mode == kGetExternalTrigger) return cam->trigger;
  if (mode != kTriggerOff && mode != kTriggerRisingEdge && mode != kTriggerSoftware) return result(kInvalidParameter);
  if (cam->live || cam->single) return result(kCaptureRunning);
  cam->trigger = mode;
  return result(kSuccess);
}

int isGetCaptureState(Hids h, int* values, int count) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (!values || count < 1) return result(kInvalidParameter);
  std::lock_guard<std::mutex> lock(cam->mutex);
  values[0] = cam->single ? 1 : 0;
  if (count > 1) values[1] = cam->live ? 1 : 0;
  return result(kSuccess);
}

int isFreezeVideo(Hids h, int) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  std::lock_guard<std::mutex> lock(cam->mutex);
  if (cam->live || cam->single) return result(kCaptureRunning);
  cam->single = true;
  if (cam->trigger == kTriggerRisingEdge) {
    cam->sensor->setHardwareTrigger(true);
  } else {
    cam->sensor->softwareTrigger();
  }
  return result(kSuccess);
}

int isCaptureVideo(Hids h, int) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  std::lock_guard<std::mutex> lock(cam->mutex);
  if (cam->live) return result(kSuccess);
  if (cam->single) return result(kCaptureRunning);
  cam->live = true;
  if (cam->trigger == kTriggerRisingEdge) {
    cam->sensor->setHardwareTrigger(true);
  } else {
    cam->sensor->softwareTrigger();
  }
  return result(kSuccess);
}

int isExposure(Hids h, unsigned cmd, void* param, unsigned size) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  if (!param || size < sizeof(double)) return result(kInvalidParameter);
  auto* ms = static_cast<double*>(param);
  std::lock_guard<std::mutex> lock(cam->mutex);
  if (cmd == kExposureGet) {
    *ms = cam->exposureMs;
    return result(kSuccess);
  }
  if (cmd != kExposureSet) return result(kNotSupported);
  if (!std::isfinite(*ms) || *ms <= 0.0 || *ms > kMaxExposureMs) return result(kInvalidParameter);
  double us = std::floor(*ms * 1000.0 + 0.5);
  if (us < 1.0) us = 1.0;
  cam->exposureMs = us / 1000.0;
  *ms = cam->exposureMs;
  cam->sensor->setExposureUs(us);
  return result(kSuccess);
}

int isSetHardwareGain(Hids h, int master, int red, int green, int blue) {
  auto cam = find(h);
  if (!cam) return result(kInvalidCameraHandle);
  std::lock_guard<std::mutex> lock(cam->mutex);
  if (master == kGetMasterGain) return cam->gain;
  auto valid = [](int v) { return v == kIgnoreParameter || (v >= 0 && v <= kMaxGain); };
  if (!valid(master) || !valid(red) || !valid(green) || !valid(blue)) return result(kInvalidParameter);
  if (master != kIgnoreParameter) cam->gain = master;
  return result(kSuccess);
}

std::uint32_t lastError() { return tLastError; }

struct Table : ZelOrdinalEntries<kOrdinalCount> {
  Table() {
    set<kZelOrdinalLastError>(&lastError);
    set<kStopLiveVideo>(&isStopLiveVideo);
    set<kFreezeVideo>(&isFreezeVideo);
    set<kCaptureVideo>(&isCaptureVideo);
    set<kSetColorMode>(&isSetColorMode);
    set<kAllocImageMem>(&isAllocImageMem);
    set<kSetImageMem>(&isSetImageMem);
    set<kFreeImageMem>(&isFreeImageMem);
    set<kGetCaptureState>(&isGetCaptureState);
    set<kInitEvent>(&isInitEvent);
    set<kExitEvent>(&isExitEvent);
    set<kEnableEvent>(&isEnableEvent);
    set<kDisableEvent>(&isDisableEvent);
    set<kSetExternalTrigger>(&isSetExternalTrigger);
    set<kGetSensorInfo>(&isGetSensorInfo);
    set<kSetHardwareGain>(&isSetHardwareGain);
    set<kInitCamera>(&isInitCamera);
    set<kExitCamera>(&isExitCamera);
    set<kGetCameraInfo>(&isGetCameraInfo);
    set<kDeviceFeature>(&isDeviceFeature);
    set<kSetBinning>(&isSetBinning);
    set<kAoi>(&isAoi);
    set<kExposure>(&isExposure);
    set<kPixelClock>(&isPixelClock);
  }
};

const Table gTable;

}  // namespace
}  // namespace ueye

ZEL_EXPORT_ORDINAL_TABLE((ZelOrdinalTable{kZelOrdinalTableMagic, ueye::kOrdinalCount, "uEye", ueye::gTable.entries}));
