#include "camera/common/camera_core.h"

#include <chrono>
#include <cstring>
#include <exception>

#include "diag/logger.h"

namespace camera {

CameraCore::CameraCore(const Config& config) : config_(config) {
  for (int i = 0; i < kCameraCount; ++i) cameras_[static_cast<std::size_t>(i)] = std::make_unique<CameraRecord>(i);
  // The logger lives with the instance: a new, silent one.
  diag::resetLibraryLogger(config_.logIdent);
  if (config_.exitEventName) {
    exitEvent_ = platform::NamedEvent::create(config_.exitEventName);
    // Another process may still hold the event of an earlier instance,
    // signalled; a new instance starts with it not signalled.
    if (exitEvent_) exitEvent_->reset();
  }
  if (config_.triggerThreads) {
    for (int i = 0; i < kCameraCount; ++i) {
      try {
        threads_[static_cast<std::size_t>(i)] = std::thread(&CameraCore::triggerLoop, this, i);
      } catch (const std::exception& e) {
        ZEL_LOG("error: trigger thread-%d: %s\n", i + 1, e.what());
        threadEnded_[static_cast<std::size_t>(i)] = true;
      }
    }
  }
}

CameraCore::~CameraCore() {
  // Only when a back-end's constructor threw (Plugin's destructor then never
  // ran): stop the threads the frame started and signal the event; there is
  // no open camera to close.
  if (!tornDown_) {
    if (exitEvent_) exitEvent_->set();
    stopTriggerThreads();
    for (int i = 0; i < kCameraCount; ++i) endTriggerThread(i);
    exitEvent_.reset();
    diag::resetLibraryLogger(config_.logIdent);
    projector_.reset();
  }
}

void CameraCore::triggerCamera(CameraRecord&) {}
void CameraCore::releaseCamera(CameraRecord&) {}

std::unique_ptr<IZpj> CameraCore::makeProjector(unsigned address) { return createProjector(address, projectorWaits_); }

void CameraCore::tearDown() {
  if (tornDown_) return;
  tornDown_ = true;
  if (exitEvent_) exitEvent_->set();
  stopTriggerThreads();
  for (int i = 0; i < kCameraCount; ++i) {
    CameraRecord& cam = record(i);
    try {
      if (cam.opened.load() && closeCamera(cam)) {
        cam.opened = false;
        ZEL_LOG("camera-%d closed\n", cam.number);
      }
      releaseCamera(cam);
    } catch (const std::exception& e) {
      ZEL_LOG("error: %s\n", e.what());
    } catch (...) {
      ZEL_LOG("error: close camera-%d\n", cam.number);
    }
    endTriggerThread(i);
  }
  exitEvent_.reset();
  diag::resetLibraryLogger(config_.logIdent);
  projector_.reset();
}

// --- trigger threads ---

void CameraCore::triggerLoop(int index) {
  CameraRecord& cam = record(index);
  std::unique_lock<std::mutex> lock(triggerMutex_);
  // Captures count from construction: one issued before this thread first
  // ran is still seen.
  std::uint64_t seen = 0;
  for (;;) {
    triggerCv_.wait(lock, [&] { return stop_ || captureGeneration_.load() != seen; });
    if (stop_) break;
    wakeups_.fetch_add(1);
    if (cam.opened.load()) {
      try {
        triggerCamera(cam);
      } catch (const std::exception& e) {
        ZEL_LOG("error: %s\n", e.what());
      } catch (...) {
        ZEL_LOG("error: trigger camera-%d\n", cam.number);
      }
    }
    // A capture that came while this camera was being triggered is not
    // queued: the next trigger waits for the next capture.
    seen = captureGeneration_.load();
  }
  threadEnded_[static_cast<std::size_t>(index)] = true;
  threadEndCv_.notify_all();
}

void CameraCore::wakeTriggerThreads() {
  captureGeneration_.fetch_add(1);
  // Taking the lock once makes sure a thread that has just tested for a new
  // capture is asleep before it is woken, so no wake-up is lost; a thread busy
  // triggering lets this wait for it.
  { std::lock_guard<std::mutex> lock(triggerMutex_); }
  triggerCv_.notify_all();
}

void CameraCore::stopTriggerThreads() {
  {
    std::lock_guard<std::mutex> lock(triggerMutex_);
    stop_ = true;
  }
  triggerCv_.notify_all();
}

void CameraCore::endTriggerThread(int index) {
  std::thread& t = threads_[static_cast<std::size_t>(index)];
  if (!t.joinable()) return;
  {
    std::unique_lock<std::mutex> lock(triggerMutex_);
    threadEndCv_.wait_for(lock, std::chrono::milliseconds(kThreadEndWaitMs),
                          [&] { return threadEnded_[static_cast<std::size_t>(index)]; });
  }
  // A thread still inside a trigger after the wait is joined all the same:
  // leaving it running would let it touch a camera that no longer exists.
  t.join();
}

// --- shared operations ---

void CameraCore::coreSetLog(unsigned flags, const char* path) {
  diag::libraryLogger().setLog(flags, path);
  ZEL_LOG("%s: 0x%x [%s]\n", config_.setLogTag, flags, path ? path : "(null)");
}

unsigned CameraCore::coreOpen(int format, int option) {
  unsigned mask = 0;
  for (int i = 0; i < kCameraCount; ++i) {
    CameraRecord& cam = record(i);
    if (!cam.opened.load()) {
      bool ok = false;
      try {
        ok = openCamera(cam, format, option);
      } catch (const std::exception& e) {
        ZEL_LOG("error: open camera-%d: %s", cam.number, e.what());
      } catch (...) {
        ZEL_LOG("error: open camera-%d\n", cam.number);
      }
      if (ok) cam.opened = true;
    }
    if (cam.opened.load()) mask |= 1u << i;
  }
  return mask;
}

void CameraCore::coreClose() {
  for (int i = 0; i < kCameraCount; ++i) {
    CameraRecord& cam = record(i);
    if (!cam.opened.load()) continue;
    bool ok = false;
    try {
      ok = closeCamera(cam);
    } catch (const std::exception& e) {
      ZEL_LOG("error: %s", e.what());
    } catch (...) {
      ZEL_LOG("error: close camera-%d\n", cam.number);
    }
    if (ok) {
      cam.opened = false;
      ZEL_LOG("camera-%d closed\n", cam.number);
    }
  }
}

ZelcamImageSize CameraCore::coreImageSize() const {
  for (const auto& cam : cameras_) {
    if (cam->opened.load()) return {cam->width, cam->height};
  }
  return {0, 0};
}

bool CameraCore::coreCapture() {
  bool any = false;
  bool both = true;
  for (auto& cam : cameras_) {
    if (cam->opened.load()) {
      any = true;
      if (config_.resetCountersAtCapture) cam->frameCount = 0;
    } else {
      both = false;
    }
  }
  if (any && config_.triggerThreads) wakeTriggerThreads();
  return any && both;
}

int CameraCore::coreSetCallback(int camera, ZelcamFrameCallback callback, unsigned char* buffer) {
  if (!validIndex(camera)) return -1;
  CameraRecord& cam = record(camera);
  // Buffer first: a frame arriving in between must never see the new
  // callback with the old (or no) buffer.
  cam.buffer = buffer;
  cam.callback = callback;
  return camera;
}

void CameraCore::coreResetFrameCount() {
  for (auto& cam : cameras_) cam->frameCount = 0;
}

std::uint32_t CameraCore::coreFrameCount(int camera) const {
  if (!validIndex(camera)) return 0;
  return cameras_[static_cast<std::size_t>(camera)]->frameCount.load();
}

bool CameraCore::copyRows(int index, const unsigned char* firstRow, std::size_t rowStride, std::size_t bytes,
                          ZelcamFrameCallback* callback, unsigned char** buffer) {
  if (!validIndex(index) || !firstRow) return false;
  CameraRecord& cam = record(index);
  *callback = cam.callback.load();
  *buffer = cam.buffer.load();
  if (!*callback || !*buffer || cam.width <= 0 || cam.height <= 0) return false;
  const std::size_t width = static_cast<std::size_t>(cam.width);
  const std::size_t height = static_cast<std::size_t>(cam.height);
  if (rowStride < width) return false;
  // The host's buffer holds exactly one frame: never write past it, and
  // never hand over a frame that is only partly there.
  if (bytes < (height - 1) * rowStride + width) return false;
  if (rowStride == width) {
    std::memcpy(*buffer, firstRow, width * height);
  } else {
    for (std::size_t row = 0; row < height; ++row) {
      std::memcpy(*buffer + row * width, firstRow + row * rowStride, width);
    }
  }
  return true;
}

bool CameraCore::deliverFrame(int index, const void* data, std::size_t bytes) {
  if (!validIndex(index)) return false;
  return deliverFrameRows(index, static_cast<const unsigned char*>(data),
                          static_cast<std::size_t>(record(index).width > 0 ? record(index).width : 0), bytes);
}

bool CameraCore::deliverFrameRows(int index, const unsigned char* firstRow, std::size_t rowStride, std::size_t bytes) {
  ZelcamFrameCallback callback = nullptr;
  unsigned char* buffer = nullptr;
  if (!copyRows(index, firstRow, rowStride, bytes, &callback, &buffer)) return false;
  CameraRecord& cam = record(index);
  std::uint32_t frameIndex = cam.frameCount.fetch_add(1);
  callback(index, frameIndex, cam.width, cam.height, buffer);
  return true;
}

bool CameraCore::deliverFrameRowsAt(int index, const unsigned char* firstRow, std::size_t rowStride, std::size_t bytes,
                                    std::uint32_t frameIndex) {
  ZelcamFrameCallback callback = nullptr;
  unsigned char* buffer = nullptr;
  if (!copyRows(index, firstRow, rowStride, bytes, &callback, &buffer)) return false;
  CameraRecord& cam = record(index);
  callback(index, frameIndex, cam.width, cam.height, buffer);
  return true;
}

void CameraCore::deliverSideBySideAt(const unsigned char* frame, std::size_t rowStride, std::size_t secondOffset,
                                     std::size_t bytes, std::uint32_t frameIndex) {
  ZelcamFrameCallback callbacks[kCameraCount] = {};
  unsigned char* buffers[kCameraCount] = {};
  bool copied[kCameraCount] = {};
  copied[0] = copyRows(0, frame, rowStride, bytes, &callbacks[0], &buffers[0]);
  copied[1] = frame && bytes > secondOffset &&
              copyRows(1, frame + secondOffset, rowStride, bytes - secondOffset, &callbacks[1], &buffers[1]);
  for (int i = 0; i < kCameraCount; ++i) {
    if (!copied[i]) continue;
    const CameraRecord& cam = record(i);
    callbacks[i](i, frameIndex, cam.width, cam.height, buffers[i]);
  }
}

// --- projector forwarding ---

bool CameraCore::coreOpenProjector(unsigned address) {
  // An earlier link is closed, not leaked: a serial port stays exclusively
  // held for as long as its object lives.
  projector_.reset();
  projector_ = makeProjector(address);
  if (!projector_) return false;
  bool ok = projector_->open(address);
  if (!ok && address < 256) ZEL_LOG("error: open comport: %d\n", static_cast<int>(address));
  return ok;
}

void CameraCore::coreCloseProjector() { projector_.reset(); }

bool CameraCore::coreProjectorCommandP(int n) {
  return projector_ ? projector_->commandP(static_cast<unsigned>(n)) : false;
}

bool CameraCore::coreProjectorCommandR() { return projector_ ? projector_->commandR() : false; }

int CameraCore::coreProjectorDiag() { return projector_ ? projector_->diag() : -1; }

bool CameraCore::coreProjectorSetLight(unsigned level) { return projector_ ? projector_->setLight(level) : false; }

bool CameraCore::coreProjectorCommandZ(int n) {
  return projector_ ? projector_->commandZ(static_cast<unsigned>(n)) : false;
}

bool CameraCore::coreProjectorCommandX(int n) {
  return projector_ ? projector_->commandX(static_cast<unsigned>(n)) : false;
}

}  // namespace camera
