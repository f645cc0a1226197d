#include "camera/stcsb/cam_stcsb.h"

#include <new>
#include <string>
#include <vector>

#include "camera/common/plugin.h"
#include "camera/sdk/ordinal_library.h"
#include "diag/logger.h"

namespace camera::stcsb {
namespace {

using namespace sttrg;

// The layer's calls this plug-in uses, resolved once per process.
struct StTrg {
  const sdk::OrdinalLibrary* library = nullptr;
  OpenFn open = nullptr;
  HandleFn close = nullptr, startTransfer = nullptr, stopTransfer = nullptr, clearBuffer = nullptr;
  SetExposureEndCallbackFn setExposureEndCallback = nullptr;
  SetTransferEndCallbackFn setTransferEndCallback = nullptr;
  SetRcvErrorCallbackFn setRcvErrorCallback = nullptr;
  ReadCameraUserIDFn readCameraUserID = nullptr;
  SetScanModeFn setScanMode = nullptr;
  GetScanModeFn getScanMode = nullptr;
  SetU32Fn setExposureMode = nullptr, setClock = nullptr, setIOPinMode = nullptr, setIOPinPolarity = nullptr,
           softwareTrigger = nullptr, setExposureClock = nullptr;
  SetU32U32Fn setTimeOut = nullptr, setTriggerMode2 = nullptr, setTriggerSource = nullptr, setIOPinDirection = nullptr;
  GetU32Fn getExposureClock = nullptr, getMaxExposureClock = nullptr;
  TimeFromClockFn timeFromClock = nullptr;
  ClockFromTimeFn clockFromTime = nullptr;
  GetGainFn getGain = nullptr, getMaxGain = nullptr;
  SetGainFn setGain = nullptr;

  std::uint32_t lastError() const { return library ? library->lastError() : 0u; }
};

StTrg gApi;
constexpr int kMaxBusCameras = 64;
std::mutex gBindMutex;
bool gBound = false;

const char* rcvErrorText(std::uint32_t code) {
  switch (code) {
    case kRcvExposureEndData: return "error: 露光終了データを受信中にエラーが発生しました";
    case kRcvImageData: return "error: 画像データ受信中にエラーが発生しました";
    case kRcvTimeoutST2EE:
      return "error: ソフトトリガー発行から露光終了検知の間でタイムアウトエラーが発生しました(ST2EE)";
    case kRcvTimeoutTE2EE:
      return "error: 前の画像データ転送終了から露光終了検知の間でタイムアウトエラーが発生しました(TE2EE)";
    case kRcvTimeoutEE2TE: return "error: 露光終了検知後、画像データ転送中にタイムアウトエラーが発生しました(EE2TE)";
    case kRcvTimeoutRO2TE:
      return "error: リードアウト命令発行後、画像データ転送中にタイムアウトエラーが発生しました(RO2TE)";
    case kRcvForbiddenDuringTransfer: return "error: 転送中には禁止されている関数が呼び出されました";
    default: return "error: 予期しないエラーが発生しました";
  }
}

}  // namespace

CamStcsb::CamStcsb() : Zelcam3DFrame23(CameraCore::Config{"OrvCamStcsb", "CamStcsb::setLog", nullptr, false, false}) {
  for (int i = 0; i < kCameraCount; ++i) {
    usb_[static_cast<std::size_t>(i)].owner = this;
    usb_[static_cast<std::size_t>(i)].index = i;
  }
}

bool CamStcsb::bindLayer() {
  std::lock_guard<std::mutex> lock(gBindMutex);
  if (gBound) return true;
  std::string error;
  const sdk::OrdinalLibrary* lib = sdk::OrdinalLibrary::load("ZELCAM_STTRG_LIBRARY", "libzel_sttrg.so", &error);
  if (!lib) {
    ZEL_LOG("error: StTrgAPI: %s\n", error.c_str());
    return false;
  }
  StTrg api;
  api.library = lib;
  bool ok = true;
  auto need = [&](unsigned ordinal, auto* fn) {
    if (!lib->resolve(ordinal, fn)) {
      ZEL_LOG("error: StTrgAPI ordinal %u missing in %s\n", ordinal, lib->path().c_str());
      ok = false;
    }
  };
  need(kOpen, &api.open);
  need(kClose, &api.close);
  need(kStartTransfer, &api.startTransfer);
  need(kStopTransfer, &api.stopTransfer);
  need(kSetExposureEndCallback, &api.setExposureEndCallback);
  need(kSetTransferEndCallback, &api.setTransferEndCallback);
  need(kSetRcvErrorCallback, &api.setRcvErrorCallback);
  need(kGetGain, &api.getGain);
  need(kSetGain, &api.setGain);
  need(kGetScanMode, &api.getScanMode);
  need(kSetScanMode, &api.setScanMode);
  need(kGetExposureClock, &api.getExposureClock);
  need(kSetExposureClock, &api.setExposureClock);
  need(kReadCameraUserID, &api.readCameraUserID);
  need(kClearBuffer, &api.clearBuffer);
  need(kSetIOPinMode, &api.setIOPinMode);
  need(kSetIOPinPolarity, &api.setIOPinPolarity);
  need(kSetIOPinDirection, &api.setIOPinDirection);
  need(kGetMaxExposureClock, &api.getMaxExposureClock);
  need(kGetMaxGain, &api.getMaxGain);
  need(kSetClock, &api.setClock);
  need(kGetExposureClockFromTime, &api.clockFromTime);
  need(kGetExposureTimeFromClock, &api.timeFromClock);
  need(kSetTriggerMode2, &api.setTriggerMode2);
  need(kSetExposureMode, &api.setExposureMode);
  need(kSetTriggerSource, &api.setTriggerSource);
  need(kSoftwareTrigger, &api.softwareTrigger);
  need(kSetTimeOut, &api.setTimeOut);
  if (!ok) return false;
  gApi = api;
  gBound = true;
  return true;
}

// --- callbacks, on the layer's threads ---

void CamStcsb::onTransferEnd(Handle, const std::uint8_t* image, std::uint32_t bytes, std::uint32_t, std::uint32_t,
                             void* context) {
  auto* cam = static_cast<UsbCamera*>(context);
  // deliverFrame checks the size against the camera's and drops a short frame.
  cam->owner->deliverFrame(cam->index, image, bytes);
  cam->pending = false;
}

void CamStcsb::onRcvError(Handle, std::uint32_t code, void* context) {
  auto* cam = static_cast<UsbCamera*>(context);
  cam->pending = false;
  unsigned count;
  {
    std::lock_guard<std::mutex> lock(cam->errorsMutex);
    count = ++cam->errors[code];
  }
  ZEL_LOG("camera-%d #%u: %s\n", cam->index + 1, count, rcvErrorText(code));
}

// --- opening and closing ---

bool CamStcsb::openCamera(CameraRecord& record, int, int) {
  if (!bindLayer()) return false;
  UsbCamera& cam = usb_[static_cast<std::size_t>(record.index())];
  if (openUsb(record, cam)) return true;
  if (cam.handle != kInvalidHandle) {
    gApi.stopTransfer(cam.handle);
    gApi.close(cam.handle);
    cam.handle = kInvalidHandle;
  }
  return false;
}

bool CamStcsb::openUsb(CameraRecord& record, UsbCamera& cam) {
  ZEL_LOG("try to open camera-%d\n", record.number);
  // The bus lists the cameras in no particular order: open them one after
  // the other until the one with our number turns up, closing the others.
  std::vector<Handle> others;
  char text[256];
  std::uint32_t id = 0;
  // A bus that never runs out of cameras (a library gone wrong) must not
  // keep open from returning.
  for (int listed = 0; listed < kMaxBusCameras; ++listed) {
    Handle h = gApi.open();
    if (h == kInvalidHandle) break;
    text[0] = '\0';
    const bool read = gApi.readCameraUserID(h, &id, text, sizeof text);
    text[sizeof text - 1] = '\0';
    if (!read) {
      ZEL_LOG("error: StTrg_ReadCameraUserID[%u]\n", gApi.lastError());
      others.push_back(h);
      continue;
    }
    if (id == static_cast<std::uint32_t>(record.number)) {
      cam.handle = h;
      break;
    }
    others.push_back(h);
  }
  for (Handle h : others) gApi.close(h);
  if (cam.handle == kInvalidHandle) {
    ZEL_LOG("error: open camera-%d\n", record.number);
    return false;
  }
  ZEL_LOG(" Camera ID(No) : %u\n", id);
  ZEL_LOG(" Camera ID(String) : %s\n", text);

  const Handle h = cam.handle;
  if (!gApi.setClock(h, 0)) ZEL_LOG("error: StTrg_SetClock[%u]\n", gApi.lastError());
  if (!gApi.setScanMode(h, 0, 0, 0)) {
    ZEL_LOG("error: StTrg_SetScanMode[%u]\n", gApi.lastError());
    return false;
  }
  std::uint16_t mode = 0;
  std::uint32_t offX = 0, offY = 0, width = 0, height = 0;
  if (!gApi.getScanMode(h, &mode, &offX, &offY, &width, &height)) {
    ZEL_LOG("error: StTrg_GetScanMode[%u]\n", gApi.lastError());
    return false;
  }
  ZEL_LOG(" Scan Mode : 0x%04X\n", static_cast<unsigned>(mode));
  ZEL_LOG(" OffsetX : %u / OffsetY : %u\n", offX, offY);
  ZEL_LOG(" Width : %u / Height : %u\n", width, height);
  // The host's buffer is width * height bytes: a size that does not fit an
  // int32 (or is empty) could never be delivered safely.
  if (width == 0 || height == 0 || width > 0x7FFFu || height > 0x7FFFu) {
    ZEL_LOG("error: open camera-%d\n", record.number);
    return false;
  }
  record.width = static_cast<std::int32_t>(width);
  record.height = static_cast<std::int32_t>(height);

  if (!gApi.setExposureMode(h, 1)) ZEL_LOG("error: StTrg_SetExposureMode[%u]\n", gApi.lastError());
  if (!gApi.setTimeOut(h, 0, 2)) ZEL_LOG("error: StTrg_SetTimeOut[%u]\n", gApi.lastError());
  record.frameCount = 0;
  clearPending(cam);

  if (!gApi.setExposureEndCallback(h, &CamStcsb::onExposureEnd, &cam)) {
    ZEL_LOG("error: StTrg_SetExposureEndCallback[%u]\n", gApi.lastError());
    return false;
  }
  if (!gApi.setTransferEndCallback(h, &CamStcsb::onTransferEnd, &cam)) {
    ZEL_LOG("error: StTrg_SetTransferEndCallback[%u]\n", gApi.lastError());
    return false;
  }
  if (!gApi.setRcvErrorCallback(h, &CamStcsb::onRcvError, &cam)) {
    ZEL_LOG("error: StTrg_SetRcvErrorCallback[%u]\n", gApi.lastError());
    return false;
  }

  if (!gApi.setTriggerMode2(h, kSelectorFrameStart, 1)) {
    ZEL_LOG("error: StTrg_SetTriggerMode2[%u]\n", gApi.lastError());
  } else if (!gApi.setTriggerSource(h, kSelectorFrameStart, kSourceSoftware)) {
    ZEL_LOG("error: StTrg_SetTriggerSource[%u]\n", gApi.lastError());
  } else {
    record.triggerMode = 1;
  }
  if (!gApi.startTransfer(h)) ZEL_LOG("error: StTrg_StartTransfer[%u]\n", gApi.lastError());
  return true;
}

bool CamStcsb::closeCamera(CameraRecord& record) {
  UsbCamera& cam = usb_[static_cast<std::size_t>(record.index())];
  if (cam.handle != kInvalidHandle) {
    // Stopping the transfer ends the layer's thread for this camera: no
    // callback runs after it.
    gApi.stopTransfer(cam.handle);
    gApi.close(cam.handle);
    cam.handle = kInvalidHandle;
  }
  return true;
}

void CamStcsb::releaseCamera(CameraRecord& record) {
  UsbCamera& cam = usb_[static_cast<std::size_t>(record.index())];
  std::lock_guard<std::mutex> lock(cam.errorsMutex);
  cam.errors.clear();
}

// --- capture and frame counters ---

void CamStcsb::clearPending(UsbCamera& cam) {
  if (cam.handle != kInvalidHandle) gApi.clearBuffer(cam.handle);
  cam.pending = false;
}

bool CamStcsb::capture() {
  for (int i = 0; i < kCameraCount; ++i) {
    record(i).frameCount = 0;
    clearPending(usb_[static_cast<std::size_t>(i)]);
  }
  bool both = true;
  for (int i = 0; i < kCameraCount; ++i) {
    CameraRecord* rec = openRecord(i);
    UsbCamera& cam = usb_[static_cast<std::size_t>(i)];
    if (!rec) {
      both = false;
      continue;
    }
    if (cam.pending.exchange(true)) {
      // A frame callback of the camera came in between and claimed nothing:
      // only a callback racing this very capture can hold the flag here.
      ZEL_LOG("error: excapture-%d[%d]\n", rec->number, static_cast<int>(gApi.lastError()));
      both = false;
      continue;
    }
    const int mode = rec->triggerMode.load();
    if (mode == 1) {
      if (!gApi.softwareTrigger(cam.handle, kSelectorFrameStart)) {
        ZEL_LOG("error: trigger-%d[%d]\n", rec->number, static_cast<int>(gApi.lastError()));
        cam.pending = false;  // no frame will come for it
        both = false;
      }
    } else if (mode != 0) {
      both = false;  // never set: nothing will start an exposure
    }
  }
  return both;
}

void CamStcsb::resetFrameCount() {
  for (int i = 0; i < kCameraCount; ++i) {
    record(i).frameCount = 0;
    clearPending(usb_[static_cast<std::size_t>(i)]);
  }
}

// --- settings ---

bool CamStcsb::applyTriggerMode(CameraRecord& record, UsbCamera& cam, int mode) {
  const Handle h = cam.handle;
  if (!gApi.setTriggerMode2(h, kSelectorFrameStart, 1)) {
    ZEL_LOG("error: StTrg_SetTriggerMode2[%u]\n", gApi.lastError());
    return false;
  }
  std::uint32_t source;
  if (mode == 1) {
    source = kSourceSoftware;
  } else if (mode == 0) {
    if (!gApi.setIOPinDirection(h, 1, 16)) {
      ZEL_LOG("error: StTrg_SetIOPinDirection[%u]\n", gApi.lastError());
      return false;
    }
    if (!gApi.setIOPinMode(h, 0)) {
      ZEL_LOG("error: StTrg_SetIOPinMode[%u]\n", gApi.lastError());
      return false;
    }
    if (!gApi.setIOPinPolarity(h, 0)) {
      ZEL_LOG("error: StTrg_SetIOPinPolarity[%u]\n", gApi.lastError());
      return false;
    }
    source = kSourceHardware;
  } else {
    ZEL_LOG("invalid trigger mode-%d: %d\n", record.number, mode);
    return false;
  }
  if (!gApi.setTriggerSource(h, kSelectorFrameStart, source)) {
    ZEL_LOG("error: StTrg_SetTriggerSource[%u]\n", gApi.lastError());
    return false;
  }
  record.triggerMode = mode;
  return true;
}

bool CamStcsb::setTriggerMode(int mode) {
  bool both = true;
  for (int i = 0; i < kCameraCount; ++i) {
    CameraRecord* rec = openRecord(i);
    if (!rec || !applyTriggerMode(*rec, usb_[static_cast<std::size_t>(i)], mode)) both = false;
  }
  return both;
}

int CamStcsb::getExposure(int camera) {
  if (!openRecord(camera)) return -1;
  const Handle h = usb_[static_cast<std::size_t>(camera)].handle;
  std::uint32_t clock = 0;
  if (!gApi.getExposureClock(h, &clock)) {
    ZEL_LOG("error: StTrg_GetExposureClock[%u]\n", gApi.lastError());
    return -1;
  }
  float seconds = 0;
  if (!gApi.timeFromClock(h, clock, &seconds)) {
    ZEL_LOG("error: StTrg_GetExposureTimeFromClock[%u]\n", gApi.lastError());
    return -1;
  }
  const double us = static_cast<double>(seconds) * 1000000.0 + 0.5;
  if (!(us >= 0.0 && us < 2147483647.0)) return -1;
  return static_cast<int>(us);
}

bool CamStcsb::setExposure(int camera, int value) {
  if (!openRecord(camera)) return false;
  UsbCamera& cam = usb_[static_cast<std::size_t>(camera)];
  std::uint32_t maxClock = 0, clock = 0;
  if (!gApi.getMaxExposureClock(cam.handle, &maxClock)) {
    ZEL_LOG("error: StTrg_GetMaxExposureClock[%u]\n", gApi.lastError());
    return false;
  }
  if (!gApi.clockFromTime(cam.handle, static_cast<float>(value * 0.000001), &clock)) {
    ZEL_LOG("error: StTrg_GetExposureClockFromTime[%u]\n", gApi.lastError());
    return false;
  }
  if (clock > maxClock) clock = maxClock;
  std::lock_guard<std::mutex> lock(cam.settings);
  if (!gApi.setExposureClock(cam.handle, clock)) {
    ZEL_LOG("error: StTrg_SetExposureClock[%u]\n", gApi.lastError());
    return false;
  }
  if (!gApi.setExposureMode(cam.handle, 1)) {
    ZEL_LOG("error: StTrg_SetExposureMode[%u]\n", gApi.lastError());
    return false;
  }
  return true;
}

int CamStcsb::getGain(int camera) {
  if (!openRecord(camera)) return -1;
  std::uint16_t gain = 0;
  if (!gApi.getGain(usb_[static_cast<std::size_t>(camera)].handle, &gain)) {
    ZEL_LOG("error: StTrg_GetGain[%u]\n", gApi.lastError());
    return -1;
  }
  return gain;
}

bool CamStcsb::setGain(int camera, int value) {
  if (!openRecord(camera)) return false;
  const Handle h = usb_[static_cast<std::size_t>(camera)].handle;
  std::uint16_t maxGain = 0;
  if (!gApi.getMaxGain(h, &maxGain)) {
    ZEL_LOG("error: StTrg_GetMaxGain[%u]\n", gApi.lastError());
    return false;
  }
  // A negative gain would wrap to a large 16-bit one: refused, not clamped.
  if (value < 0) {
    ZEL_LOG("error: StTrg_SetGain[%u]\n", kErrorInvalidParameter);
    return false;
  }
  const std::uint16_t gain = value > maxGain ? maxGain : static_cast<std::uint16_t>(value);
  if (!gApi.setGain(h, gain)) {
    ZEL_LOG("error: StTrg_SetGain[%u]\n", gApi.lastError());
    return false;
  }
  return true;
}

}  // namespace camera::stcsb

extern "C" ZELCAM_EXPORT IZelcam3DRev23* CreateIZelcam3DInstance() {
  try {
    return new camera::Plugin<camera::stcsb::CamStcsb>();
  } catch (...) {
    return nullptr;
  }
}
