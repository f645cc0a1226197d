#pragma once
// What OrvCamStGigE and OrvCameBUS share: the two cameras ("1" and "2" by
// device user ID) driven through the eBUS-shaped layer, their receive
// threads and parameter access. The two plug-ins differ only in the Variant
// below and in their interface revision (EbusPlugin<Frame>).
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/common/camera_record.h"
#include "camera/sdk/ebus/ebus.h"

namespace camera::ebus_backend {

struct Variant {
  // Factory-created device and stream, required to be of the GigE Vision
  // kind (OrvCameBUS); otherwise constructed objects (OrvCamStGigE).
  bool factoryObjects;
  unsigned bufferLimit;          // 16 (OrvCameBUS) or 32 (OrvCamStGigE)
  bool lockTransportParams;      // TLParamsLocked 1 while streaming (OrvCamStGigE)
  bool logTickFrequencyFailure;  // OrvCameBUS logs it, OrvCamStGigE does not
};

// One camera: DevStGigE / DeveBUS.
struct EbusDevice {
  explicit EbusDevice(int number);

  const int number;
  const std::string deviceUserId;  // "1" or "2"
  int color = 0;
  std::int32_t width = 0, height = 0;
  std::unique_ptr<ebus::PvSystem> system;
  ebus::PvDevice* device = nullptr;
  ebus::PvStream* stream = nullptr;
  std::vector<std::unique_ptr<ebus::PvBuffer>> buffers;
  std::thread receiver;
  bool receiverStarted = false;
  std::atomic<bool> stop{false};
  std::mutex receiverMutex;  // starting and stopping the receiver
  std::mutex deviceMutex;    // the device's life against the trigger thread
};

class EbusCameras : public ebus::PvDeviceEventSink {
 public:
  // deliver: the frame's delivery (copy into the host's buffer, count,
  // callback); true when the frame was delivered.
  using Deliver = std::function<bool(int index, const std::uint8_t* data, std::size_t bytes)>;

  EbusCameras(const Variant& variant, Deliver deliver);
  ~EbusCameras() override;

  bool open(CameraRecord& record, int color);
  bool close(CameraRecord& record);
  void trigger(CameraRecord& record);
  void release(CameraRecord& record);
  // Both records, in index order.
  bool setTriggerMode(const std::array<CameraRecord*, 2>& records, int mode);

  int getInteger(int index, const char* name, const char* what);
  bool setInteger(int index, const char* name, int value, const char* what);

 private:
  void receiveLoop(CameraRecord& record);
  void startReceiver(CameraRecord& record);
  void stopReceiver(EbusDevice& dev);
  void freeDevice(EbusDevice& dev);

  Variant variant_;
  Deliver deliver_;
  std::array<std::unique_ptr<EbusDevice>, 2> devices_;
};

// Parameter helpers: the value, or false with the error text of the access.
bool readInteger(ebus::PvDevice* device, const char* name, std::int64_t* value, std::string* error);
bool writeInteger(ebus::PvDevice* device, const char* name, std::int64_t value, std::string* error);
bool readPixelFormat(ebus::PvDevice* device, std::int64_t* value, std::string* error);
bool setEnum(ebus::PvDevice* device, const char* name, const char* value, std::string* error);
bool executeCommand(ebus::PvDevice* device, const char* name, std::string* error);

}  // namespace camera::ebus_backend
