#pragma once
// What all camera plug-ins share: the two camera records, frame delivery into
// the host's buffers, the trigger threads, the exit event, the logger's life,
// the tear-down order and the projector forwarding. A back-end derives from
// Zelcam3DFrame25 or Zelcam3DFrame23 (zelcam3d_frame.h) and fills in the hooks
// below and the camera settings of the interface. Instances are made only as
// camera::Plugin<Backend> (plugin.h), whose destructor runs the tear-down while
// the back-end's hooks still exist: a bare back-end is abstract.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "camera/common/camera_record.h"
#include "camera/common/izpj.h"
#include "platform/named_event.h"
#include "zelcam3d.h"

namespace camera {

class CameraCore {
 public:
  struct Config {
    // Identity on the debugger channel, e.g. "OrvCamAce" (a string literal).
    const char* logIdent = "zelcam";
    // Tag of the setLog confirmation line, e.g. "CamAce::setLog".
    const char* setLogTag = "Zelcam3D::setLog";
    // Named manual-reset event signalled at destruction; null for none.
    const char* exitEventName = nullptr;
    // One trigger thread per camera, woken by capture().
    bool triggerThreads = true;
    // capture() first sets the frame counter of each open camera to 0.
    bool resetCountersAtCapture = false;
  };

  static constexpr int kCameraCount = 2;
  // How long tear-down waits for a trigger thread before it joins it anyway.
  static constexpr int kThreadEndWaitMs = 100;

  CameraCore(const CameraCore&) = delete;
  CameraCore& operator=(const CameraCore&) = delete;

 protected:
  explicit CameraCore(const Config& config);
  virtual ~CameraCore();

  // --- hooks the back-end fills in ---
  // Opens one camera (not open yet) and stores its width and height in the
  // record. True when it is open; the frame marks it open.
  virtual bool openCamera(CameraRecord& camera, int format, int option) = 0;
  // Closes one open camera. True when it is closed; the frame then marks it
  // closed and logs "camera-%d closed\n".
  virtual bool closeCamera(CameraRecord& camera) = 0;
  // Trigger thread of the camera, holding the library-wide lock, camera open.
  virtual void triggerCamera(CameraRecord& camera);
  // Tear-down, after the camera was closed: give back the SDK's use.
  virtual void releaseCamera(CameraRecord& camera);
  // Creates the projector object for an address (not opened).
  virtual std::unique_ptr<IZpj> makeProjector(unsigned address);

  // --- for back-ends ---
  CameraRecord& record(int index) { return *cameras_[static_cast<std::size_t>(index)]; }
  static bool validIndex(int index) { return index == 0 || index == 1; }
  // The record of an open camera; null for a bad index or a closed camera, so
  // that an operation on it fails without touching the device.
  CameraRecord* openRecord(int index) {
    return validIndex(index) && record(index).opened.load() ? &record(index) : nullptr;
  }
  // Delivers one complete frame of camera index: copies width*height bytes
  // of data into the host's buffer, takes the counter and increments it, calls
  // the callback. Not delivered (false) without a callback or buffer, or when
  // bytes is less than a whole frame. Runs on the back-end's thread.
  bool deliverFrame(int index, const void* data, std::size_t bytes);
  // As deliverFrame for a frame whose rows lie rowStride bytes apart (one
  // camera's half of a side-by-side frame): height rows of width bytes from
  // firstRow, all of which must lie within the bytes available from there.
  bool deliverFrameRows(int index, const unsigned char* firstRow, std::size_t rowStride, std::size_t bytes);
  // The same with the frame index given by the back-end (a head that counts
  // frames itself); the camera's counter is left alone.
  bool deliverFrameRowsAt(int index, const unsigned char* firstRow, std::size_t rowStride, std::size_t bytes,
                          std::uint32_t frameIndex);
  // One side-by-side frame of both cameras, counted by the back-end: camera-1's
  // half starts at frame, camera-2's secondOffset bytes later, rows
  // rowStride apart. Both halves are copied into the hosts' buffers first,
  // then camera-1's callback and camera-2's are called, so a host reading
  // both buffers from camera-1's callback sees the same frame in each. A
  // camera whose half cannot be delivered (as deliverFrameRows) is left out.
  void deliverSideBySideAt(const unsigned char* frame, std::size_t rowStride, std::size_t secondOffset,
                           std::size_t bytes, std::uint32_t frameIndex);
  // Runs the tear-down in its fixed order; Plugin's destructor calls it
  // first, while the hooks still exist. Runs once.
  void tearDown();
  // Shortens or lengthens the projector's reply waits (tests).
  void setProjectorWaits(const ZpjWaits& waits) { projectorWaits_ = waits; }
  // How often a trigger thread has been woken by capture (tests).
  unsigned triggerWakeups() const { return wakeups_.load(); }
  platform::NamedEvent* exitEvent() { return exitEvent_.get(); }

  // --- the shared operations, forwarded from the interface ---
  void coreSetLog(unsigned flags, const char* path);
  unsigned coreOpen(int format, int option);
  void coreClose();
  ZelcamImageSize coreImageSize() const;
  bool coreCapture();
  int coreTriggerMode() const { return cameras_[0]->triggerMode.load(); }
  int coreSetCallback(int camera, ZelcamFrameCallback callback, unsigned char* buffer);
  void coreResetFrameCount();
  std::uint32_t coreFrameCount(int camera) const;

  bool coreOpenProjector(unsigned address);
  void coreCloseProjector();
  bool coreProjectorCommandP(int n);
  bool coreProjectorCommandR();
  int coreProjectorDiag();
  bool coreProjectorSetLight(unsigned level);
  bool coreProjectorCommandZ(int n);
  bool coreProjectorCommandX(int n);

 private:
  // Overridden by Plugin<> alone. Until then every back-end is abstract, so
  // no instance can exist whose destructor skips tearDown() and leaves the
  // trigger threads calling hooks of a half-destroyed object.
  virtual void sealedByPlugin() = 0;

  bool copyRows(int index, const unsigned char* firstRow, std::size_t rowStride, std::size_t bytes,
                ZelcamFrameCallback* callback, unsigned char** buffer);
  void triggerLoop(int index);
  void wakeTriggerThreads();
  void stopTriggerThreads();
  void endTriggerThread(int index);

  Config config_;
  std::array<std::unique_ptr<CameraRecord>, kCameraCount> cameras_;
  std::unique_ptr<platform::NamedEvent> exitEvent_;
  std::unique_ptr<IZpj> projector_;
  ZpjWaits projectorWaits_;

  // Trigger threads: one lock and one condition variable shared by both.
  std::mutex triggerMutex_;
  std::condition_variable triggerCv_;
  std::condition_variable threadEndCv_;
  bool stop_ = false;
  std::atomic<std::uint64_t> captureGeneration_{0};
  std::atomic<unsigned> wakeups_{0};
  std::array<std::thread, kCameraCount> threads_;
  std::array<bool, kCameraCount> threadEnded_{};
  bool tornDown_ = false;
};

}  // namespace camera
