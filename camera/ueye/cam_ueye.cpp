#include "camera/ueye/cam_ueye.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>

#include "camera/common/plugin.h"
#include "camera/sdk/ordinal_library.h"
#include "diag/logger.h"
#include "platform/named_event.h"

namespace camera::ueye_backend {
namespace {

using namespace ::ueye;

// The layer's calls this plug-in uses, resolved once per process.
struct Ueye {
  InitCameraFn initCamera = nullptr;
  HidsFn exitCamera = nullptr;
  GetCameraInfoFn getCameraInfo = nullptr;
  GetSensorInfoFn getSensorInfo = nullptr;
  HidsIntFn setBinning = nullptr, setColorMode = nullptr, stopLiveVideo = nullptr, setExternalTrigger = nullptr,
            freezeVideo = nullptr, captureVideo = nullptr, enableEvent = nullptr, disableEvent = nullptr,
            exitEvent = nullptr;
  CommandFn aoi = nullptr, deviceFeature = nullptr, pixelClock = nullptr, exposure = nullptr;
  AllocImageMemFn allocImageMem = nullptr;
  ImageMemFn setImageMem = nullptr, freeImageMem = nullptr;
  InitEventFn initEvent = nullptr;
  GetCaptureStateFn getCaptureState = nullptr;
  SetHardwareGainFn setHardwareGain = nullptr;
};

Ueye gApi;
std::mutex gBindMutex;
bool gBound = false;

constexpr std::uint32_t kPixelClockMHz = 45;
constexpr int kReducedFormat = 30;

}  // namespace

CamuEye::CamuEye() : Zelcam3DFrame25(CameraCore::Config{"OrvCamuEye", "CamuEye::setLog", kExitEventName, true, true}) {}

bool CamuEye::bindLayer() {
  std::lock_guard<std::mutex> lock(gBindMutex);
  if (gBound) return true;
  std::string error;
  const sdk::OrdinalLibrary* lib = sdk::OrdinalLibrary::load("ZELCAM_UEYE_LIBRARY", "libzel_ueye.so", &error);
  if (!lib) {
    ZEL_LOG("error: uEye: %s\n", error.c_str());
    return false;
  }
  Ueye api;
  bool ok = true;
  auto need = [&](unsigned ordinal, auto* fn) {
    if (!lib->resolve(ordinal, fn)) {
      ZEL_LOG("error: uEye ordinal %u missing in %s\n", ordinal, lib->path().c_str());
      ok = false;
    }
  };
  need(kInitCamera, &api.initCamera);
  need(kExitCamera, &api.exitCamera);
  need(kGetCameraInfo, &api.getCameraInfo);
  need(kGetSensorInfo, &api.getSensorInfo);
  need(kSetBinning, &api.setBinning);
  need(kSetColorMode, &api.setColorMode);
  need(kStopLiveVideo, &api.stopLiveVideo);
  need(kSetExternalTrigger, &api.setExternalTrigger);
  need(kFreezeVideo, &api.freezeVideo);
  need(kCaptureVideo, &api.captureVideo);
  need(kEnableEvent, &api.enableEvent);
  need(kDisableEvent, &api.disableEvent);
  need(kExitEvent, &api.exitEvent);
  need(kAoi, &api.aoi);
  need(kDeviceFeature, &api.deviceFeature);
  need(kPixelClock, &api.pixelClock);
  need(kExposure, &api.exposure);
  need(kAllocImageMem, &api.allocImageMem);
  need(kSetImageMem, &api.setImageMem);
  need(kFreeImageMem, &api.freeImageMem);
  need(kInitEvent, &api.initEvent);
  need(kGetCaptureState, &api.getCaptureState);
  need(kSetHardwareGain, &api.setHardwareGain);
  if (!ok) return false;
  gApi = api;
  gBound = true;
  return true;
}

// --- opening and closing ---

bool CamuEye::openCamera(CameraRecord& record, int format, int) {
  if (!bindLayer()) return false;
  UeyeCamera& cam = ueye_[static_cast<std::size_t>(record.index())];
  if (!openUeye(record, cam, format)) return false;
  startReceiver(record, cam);
  return true;
}

bool CamuEye::openUeye(CameraRecord& record, UeyeCamera& cam, int format) {
  ZEL_LOG("try to open camera-%d\n", record.number);
  Hids id = static_cast<Hids>(record.number);
  if (gApi.initCamera(&id, nullptr) != kSuccess) {
    ZEL_LOG("error: open camera-%d\n", record.number);
    return false;
  }
  cam.id = id;
  if (format == kReducedFormat) {
    int rc = gApi.setBinning(id, kBinning2x2);
    if (rc != kSuccess) ZEL_LOG("error set binning-%d[%d]\n", record.number, rc);
    Size2D size{640, 480};
    rc = gApi.aoi(id, kAoiSetSize, &size, sizeof size);
    if (rc != kSuccess) {
      ZEL_LOG("error set aoi-%d[%d]\n", record.number, rc);
      gApi.exitCamera(id);
      return false;
    }
  }
  for (unsigned feature : {kFeature8802, kFeature8800, kFeature8804}) {
    std::uint32_t off = 0;
    gApi.deviceFeature(id, feature, &off, sizeof off);
  }

  CameraInfo info{};
  SensorInfo sensor{};
  Size2D size{0, 0};
  gApi.getCameraInfo(id, &info);
  gApi.getSensorInfo(id, &sensor);
  // Without the size no frame could be handed over safely.
  const int rc = gApi.aoi(id, kAoiGetSize, &size, sizeof size);
  if (rc != kSuccess || size.width <= 0 || size.height <= 0 || size.width > 0x7FFF || size.height > 0x7FFF) {
    ZEL_LOG("error: open camera-%d\n", record.number);
    gApi.exitCamera(id);
    return false;
  }
  record.width = size.width;
  record.height = size.height;
  info.serNo[sizeof info.serNo - 1] = '\0';
  sensor.sensorName[sizeof sensor.sensorName - 1] = '\0';
  ZEL_LOG(" Model:\t%s\n", sensor.sensorName);
  ZEL_LOG(" SerNo:\t%s\n", info.serNo);
  ZEL_LOG(" ID:\t%d\n", static_cast<int>(info.select));

  if (gApi.allocImageMem(id, size.width, size.height, 8, &cam.memory, &cam.memoryId) == kSuccess) {
    gApi.setImageMem(id, cam.memory, cam.memoryId);
    gApi.setColorMode(id, kColorMono8);
    gApi.aoi(id, kAoiSetSize, &size, sizeof size);
  } else {
    cam.memory = nullptr;
  }

  std::uint32_t mhz = 0;
  int clockRc = gApi.pixelClock(id, kPixelClockGet, &mhz, sizeof mhz);
  if (clockRc != kSuccess) ZEL_LOG("error: get pixelclock-%d[%d]\n", record.number, clockRc);
  mhz = kPixelClockMHz;
  clockRc = gApi.pixelClock(id, kPixelClockSet, &mhz, sizeof mhz);
  if (clockRc != kSuccess) ZEL_LOG("error: set pixelclock-%d[%d]\n", record.number, clockRc);
  mhz = 0;
  gApi.pixelClock(id, kPixelClockGet, &mhz, sizeof mhz);
  ZEL_LOG("current pixelclock-%d[%dMHz]\n", record.number, static_cast<int>(mhz));
  return true;
}

void CamuEye::startReceiver(CameraRecord& record, UeyeCamera& cam) {
  cam.frameEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cam.frameEvent < 0) {
    ZEL_LOG("error: frame event-%d[%d]\n", record.number, errno);
    return;
  }
  gApi.initEvent(cam.id, cam.frameEvent, kFrameEvent);
  gApi.enableEvent(cam.id, kFrameEvent);
  cam.stopReceiving = false;
  std::promise<void> ended;
  cam.receiverEnded = ended.get_future();
  try {
    cam.receiver = std::thread(&CamuEye::receiveLoop, this, record.index(), std::move(ended));
  } catch (const std::exception& e) {
    ZEL_LOG("error: receive thread-%d: %s\n", record.number, e.what());
  }
}

void CamuEye::receiveLoop(int index, std::promise<void> ended) {
  UeyeCamera& cam = ueye_[static_cast<std::size_t>(index)];
  CameraRecord& rec = record(index);
  // Its own handle on the exit event, as another component would open it.
  std::unique_ptr<platform::NamedEvent> exitEvent = platform::NamedEvent::open(kExitEventName);
  const std::size_t bytes = static_cast<std::size_t>(rec.width) * static_cast<std::size_t>(rec.height);
  // The exit event cannot be polled together with the frame event: the
  // frame event is waited for in slices of kExitPollMs, the exit event looked
  // at between them. A missing exit event counts as a failed wait.
  while (exitEvent && !exitEvent->isSet() && !cam.stopReceiving.load()) {
    pollfd p{cam.frameEvent, POLLIN, 0};
    int r = ::poll(&p, 1, kExitPollMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) continue;
    std::uint64_t frames = 0;
    if (::read(cam.frameEvent, &frames, sizeof frames) != static_cast<ssize_t>(sizeof frames)) continue;
    if (cam.stopReceiving.load()) break;
    // The image memory holds the last frame; one hand-over per wake-up.
    if (cam.memory) deliverFrame(index, cam.memory, bytes);
  }
  exitEvent.reset();
  ZEL_LOG("end of thread\n");
  ended.set_value();
}

void CamuEye::stopReceiver(UeyeCamera& cam) {
  if (!cam.receiver.joinable()) return;
  cam.stopReceiving = true;
  if (cam.frameEvent >= 0) {
    std::uint64_t one = 1;
    ssize_t n = ::write(cam.frameEvent, &one, sizeof one);
    (void)n;  // the thread also looks at the flag every kExitPollMs
  }
  if (cam.receiverEnded.valid() &&
      cam.receiverEnded.wait_for(std::chrono::milliseconds(kReceiveEndWaitMs)) != std::future_status::ready) {
    // Only a host callback that does not return holds it up; ending the
    // thread from outside would leave the frame half copied and locks held,
    // so it is waited for.
    ZEL_LOG("time out\n");
  }
  cam.receiver.join();
}

bool CamuEye::closeCamera(CameraRecord& record) {
  UeyeCamera& cam = ueye_[static_cast<std::size_t>(record.index())];
  // The layer stops signalling before the event goes, and the receive thread
  // ends before the image memory it copies from is released.
  gApi.disableEvent(cam.id, kFrameEvent);
  gApi.exitEvent(cam.id, kFrameEvent);
  stopReceiver(cam);
  if (cam.frameEvent >= 0) {
    ::close(cam.frameEvent);
    cam.frameEvent = -1;
  }
  if (cam.memory) {
    gApi.freeImageMem(cam.id, cam.memory, cam.memoryId);
    cam.memory = nullptr;
  }
  gApi.exitCamera(cam.id);
  return true;
}

// --- trigger thread and trigger mode ---

int CamuEye::startCapture(CameraRecord& record, UeyeCamera& cam, int mode) {
  int rc = kSuccess;
  if (mode == 1) {
    int state[2] = {0, 0};
    rc = gApi.getCaptureState(cam.id, state, 2);
    // A frame still on its way: this capture is not queued.
    if (rc == kSuccess && state[0] == 0) rc = gApi.freezeVideo(cam.id, kDontWait);
  } else if (mode == 0) {
    rc = gApi.captureVideo(cam.id, kDontWait);
  }
  if (rc != kSuccess) ZEL_LOG("error: capture-%d[%d]\n", record.number, rc);
  return rc;
}

void CamuEye::triggerCamera(CameraRecord& record) {
  startCapture(record, ueye_[static_cast<std::size_t>(record.index())], record.triggerMode.load());
}

bool CamuEye::setTriggerMode(int mode) {
  bool both = true;
  for (int i = 0; i < kCameraCount; ++i) {
    CameraRecord* rec = openRecord(i);
    if (!rec) {
      both = false;
      continue;
    }
    UeyeCamera& cam = ueye_[static_cast<std::size_t>(i)];
    gApi.stopLiveVideo(cam.id, kForceVideoStop);
    int trigger;
    if (mode == 0) {
      trigger = kTriggerRisingEdge;
    } else if (mode == 1) {
      trigger = kTriggerSoftware;
    } else {
      ZEL_LOG("invalid trigger mode-%d: %d\n", rec->number, mode);
      both = false;
      continue;
    }
    rec->triggerMode = mode;
    int rc = gApi.setExternalTrigger(cam.id, trigger);
    if (rc != kSuccess) {
      ZEL_LOG("error: set trigger-%d[%d]\n", rec->number, rc);
      both = false;
      continue;
    }
    if (mode == 0 && startCapture(*rec, cam, 0) != kSuccess) both = false;
  }
  return both;
}

// --- exposure and gain ---

int CamuEye::getExposure(int camera) {
  if (!openRecord(camera)) return 0;
  double ms = 0;
  int rc = gApi.exposure(ueye_[static_cast<std::size_t>(camera)].id, kExposureGet, &ms, sizeof ms);
  if (rc != kSuccess) {
    ZEL_LOG("error: get exposure time[%d]\n", rc);
    return 0;
  }
  const double us = ms * 1000.0 + 0.5;
  if (!(us >= 0.0 && us < 2147483647.0)) return 0;
  return static_cast<int>(us);
}

bool CamuEye::setExposure(int camera, int value) {
  if (!openRecord(camera)) return false;
  double ms = value / 1000.0;
  int rc = gApi.exposure(ueye_[static_cast<std::size_t>(camera)].id, kExposureSet, &ms, sizeof ms);
  if (rc != kSuccess) {
    ZEL_LOG("error: set exposure time[%d] %d\n", rc, value);
    return false;
  }
  return true;
}

int CamuEye::getGain(int camera) {
  if (!openRecord(camera)) return 0;
  return gApi.setHardwareGain(ueye_[static_cast<std::size_t>(camera)].id, kGetMasterGain, kIgnoreParameter,
                              kIgnoreParameter, kIgnoreParameter);
}

bool CamuEye::setGain(int camera, int value) {
  if (!openRecord(camera)) return false;
  // The master-gain argument doubles as the query code (and -1 as "leave
  // it"): such a value would report success without setting anything.
  int rc = value < 0 || value == kGetMasterGain
               ? kInvalidParameter
               : gApi.setHardwareGain(ueye_[static_cast<std::size_t>(camera)].id, value, kIgnoreParameter,
                                      kIgnoreParameter, kIgnoreParameter);
  if (rc != kSuccess) {
    ZEL_LOG("error: set gain[%d] %d\n", rc, value);
    return false;
  }
  return true;
}

}  // namespace camera::ueye_backend

extern "C" ZELCAM_EXPORT IZelcam3D* CreateIZelcam3DInstance() {
  try {
    return new camera::Plugin<camera::ueye_backend::CamuEye>();
  } catch (...) {
    return nullptr;
  }
}
