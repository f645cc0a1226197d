#pragma once
// What every back-end knows about one camera. Back-ends keep their SDK
// handles in their own per-camera state beside it.
#include <atomic>
#include <cstdint>

#include "zelcam3d.h"

namespace camera {

struct CameraRecord {
  explicit CameraRecord(int index) : number(index + 1) {}

  const int number;  // 1 or 2, as messages count cameras ("camera-%d")
  int index() const { return number - 1; }

  // Read from the camera at open; only then used by the delivering thread.
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::atomic<bool> opened{false};
  // -1 until the back-end first sets it.
  std::atomic<int> triggerMode{-1};
  std::atomic<ZelcamFrameCallback> callback{nullptr};
  std::atomic<unsigned char*> buffer{nullptr};
  // Written by the delivering thread and by capture/resetFrameCount on the
  // host's thread without a lock.
  std::atomic<std::uint32_t> frameCount{0};
};

}  // namespace camera
