#pragma once
// The stereo head as one GigE Vision device through Gevlink: discovery and
// open, the head registers, the side-by-side stream with its receive thread,
// and the projector's serial channel. CamKtds (cam_ktds.h) maps the camera
// interface onto it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/ktds/gevlink_binding.h"

namespace camera::ktds {

// Head registers (32-bit, the head's register space).
namespace reg {
inline constexpr std::uint32_t kStreamStart = 0x00100020;  // written with 0 when streaming starts
inline constexpr std::uint32_t kExposure = 0x00101004;
inline constexpr std::uint32_t kAnalogGain = 0x00101008;
inline constexpr std::uint32_t kGain = 0x0010100C;
inline constexpr std::uint32_t kTrigger = 0x00101010;  // 0 software (interface mode 1), 1 hardware (mode 0)
inline constexpr std::uint32_t kTransferMode = 0x00101014;
inline constexpr std::uint32_t kPixelClockDelay = 0x00101100;
inline constexpr std::uint32_t kFirmware = 0x00101110;
inline constexpr std::uint32_t kProjectorChannel = 0x00300004;
}  // namespace reg

// The frame receiver: called on the receive thread with each frame's image
// (the whole side-by-side frame, rows packed) and its index, or with index
// -1 and no data when a wait ended without a frame.
class cb_recvimg {
 public:
  virtual void recvImage(std::int64_t index, const std::uint8_t* image, std::size_t bytes) = 0;

 protected:
  ~cb_recvimg() = default;
};

class KtdsHead {
 public:
  static constexpr int kBufferCount = 20;
  // Room beyond the payload in each receive buffer: Gevlink's frame header
  // (1152 bytes) and slack for a device that sends a little more.
  static constexpr std::uint32_t kBufferSlack = 66688;

  KtdsHead() = default;
  ~KtdsHead();
  KtdsHead(const KtdsHead&) = delete;
  KtdsHead& operator=(const KtdsHead&) = delete;

  // Finds and opens the head (address: IPv4 with the first octet in the
  // lowest byte; 0 = the first head found), sets the frame size of format
  // (0: as it is), allocates the receive buffers. False, logged, on failure.
  bool open(int format, std::uint32_t address);
  // Stops streaming and closes the device.
  void close();
  bool opened() const { return opened_.load(); }
  // Full (side-by-side) frame size.
  std::int32_t width() const { return width_; }
  std::int32_t height() const { return height_; }

  void setReceiver(cb_recvimg* receiver) { receiver_.store(receiver); }

  // One register; false (logged) on failure.
  bool readRegister(std::uint32_t address, std::uint32_t* value);
  bool writeRegister(std::uint32_t address, std::uint32_t value);
  // One text through the projector channel, one write of all its characters.
  bool sendProjector(const std::string& text);

  // Streaming in the head's order; start returns whether frames can flow.
  bool startStreaming();
  void stopStreaming();
  bool streaming() const { return thread_.joinable(); }
  // The device stopped answering while streaming (the receive thread ended
  // with an error other than a cancel).
  bool lost() const { return lost_.load(); }

  void resetFrameCount() { frameCount_ = 0; }
  std::uint32_t frameCount() const { return frameCount_.load(); }

 private:
  void receiveLoop();
  void report(const char* operation, std::uint32_t status, const GDevErrInfo& err);
  bool setInteger(const char* name, std::int64_t value);
  bool getInteger(const char* name, std::int64_t* value);
  bool execute(const char* name);
  void closeDevice();

  const GevlinkApi& api_ = boundGevlink();
  std::atomic<bool> opened_{false};
  std::uint32_t transport_ = 0;  // the PC interface the head was found on (network byte order)
  std::uint64_t device_ = 0;
  GDevErrInfo errInfo_{};
  gevlink::INodeMap* nodeMap_ = nullptr;
  std::uint32_t stream_ = 0;
  std::int32_t width_ = 0, height_ = 0;
  std::uint32_t payload_ = 0;
  std::vector<std::unique_ptr<std::uint8_t[]>> buffers_;
  std::uint32_t bufferSize_ = 0;

  std::thread thread_;
  std::atomic<bool> stopping_{false}, threadEnded_{false}, lost_{false};
  std::mutex endMutex_;
  std::condition_variable endCv_;
  std::atomic<std::uint32_t> frameCount_{0};
  std::atomic<cb_recvimg*> receiver_{nullptr};
};

}  // namespace camera::ktds
