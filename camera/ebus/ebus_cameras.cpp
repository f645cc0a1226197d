#include "camera/ebus/ebus_cameras.h"

#include <chrono>
#include <cstdio>

#include "diag/logger.h"

namespace camera::ebus_backend {
namespace {

constexpr std::int64_t kMono8 = 0x01080001;
// Bytes per second one camera may send, so that two cameras share one
// gigabit link: 100 MiB/s.
constexpr double kLinkShareBytesPerSecond = 104857600.0;
// Inter-packet delay written when none could be worked out, in ticks.
constexpr std::int64_t kDefaultPacketDelay = 300;
// A retrieval waits this long at most: in effect until a frame or an abort.
constexpr std::uint32_t kRetrieveTimeoutMs = 0xFFFFFFFE;
// The receiver runs a moment before the trigger source is switched.
constexpr auto kReceiverStartWait = std::chrono::milliseconds(100);

ebus::PvGenParameterArray* parametersOf(ebus::PvDevice* device, const char* missing, std::string* error) {
  if (!device || !device->IsConnected()) {
    *error = "camera device is not connected.";
    return nullptr;
  }
  ebus::PvGenParameterArray* params = device->GetParameters();
  if (!params) *error = missing;
  return params;
}

}  // namespace

bool readInteger(ebus::PvDevice* device, const char* name, std::int64_t* value, std::string* error) {
  ebus::PvGenParameterArray* params = parametersOf(device, "device device parameter is get failed.", error);
  if (!params) return false;
  ebus::PvGenInteger* p = params->GetInteger(name);
  if (!p) {
    *error = "param is null";
    return false;
  }
  if (!p->GetValue(*value).IsOK()) {
    *error = "param value get failed. ";
    return false;
  }
  return true;
}

bool writeInteger(ebus::PvDevice* device, const char* name, std::int64_t value, std::string* error) {
  ebus::PvGenParameterArray* params = parametersOf(device, "camera device parameter is null.", error);
  if (!params) return false;
  ebus::PvGenInteger* p = params->GetInteger(name);
  if (!p) {
    *error = "param is null";
    return false;
  }
  if (!p->SetValue(value).IsOK()) {
    *error = "param value set failed.";
    return false;
  }
  return true;
}

bool readPixelFormat(ebus::PvDevice* device, std::int64_t* value, std::string* error) {
  ebus::PvGenParameterArray* params = parametersOf(device, "camera device parameter is null.", error);
  if (!params) return false;
  ebus::PvGenEnum* p = params->GetEnum("PixelFormat");
  if (!p) {
    *error = "param is null";
    return false;
  }
  if (!p->GetValue(*value).IsOK()) {
    *error = "param value get failed. ";
    return false;
  }
  return true;
}

bool setEnum(ebus::PvDevice* device, const char* name, const char* value, std::string* error) {
  ebus::PvGenParameterArray* params = parametersOf(device, "camera device parameter is null.", error);
  if (!params) return false;
  ebus::PvGenEnum* p = params->GetEnum(name);
  if (!p) {
    *error = "param is null";
    return false;
  }
  if (!p->SetValue(value).IsOK()) {
    *error = "param value set failed.";
    return false;
  }
  return true;
}

bool executeCommand(ebus::PvDevice* device, const char* name, std::string* error) {
  ebus::PvGenParameterArray* params = parametersOf(device, "camera device parameter is null.", error);
  if (!params) return false;
  ebus::PvGenCommand* p = params->GetCommand(name);
  if (!p) {
    *error = "param is null";
    return false;
  }
  if (!p->Execute().IsOK()) {
    *error = "command: execute failed.";
    return false;
  }
  return true;
}

EbusDevice::EbusDevice(int n) : number(n), deviceUserId(std::to_string(n)) {}

EbusCameras::EbusCameras(const Variant& variant, Deliver deliver) : variant_(variant), deliver_(std::move(deliver)) {
  for (int i = 0; i < 2; ++i) {
    devices_[static_cast<std::size_t>(i)] = std::make_unique<EbusDevice>(i + 1);
    devices_[static_cast<std::size_t>(i)]->system = std::make_unique<ebus::PvSystem>();
  }
}

EbusCameras::~EbusCameras() {
  for (auto& dev : devices_) {
    if (!dev) continue;
    stopReceiver(*dev);
    freeDevice(*dev);
    dev->buffers.clear();
    dev->system.reset();
  }
}

void EbusCameras::freeDevice(EbusDevice& dev) {
  std::lock_guard<std::mutex> lock(dev.deviceMutex);
  if (dev.stream) {
    dev.stream->Close();
    ebus::PvStream::Free(dev.stream);
    dev.stream = nullptr;
  }
  if (dev.device) {
    dev.device->UnregisterEventSink(this);
    if (dev.device->IsConnected()) dev.device->Disconnect();
    ebus::PvDevice::Free(dev.device);
    dev.device = nullptr;
  }
}

bool EbusCameras::open(CameraRecord& record, int color) {
  EbusDevice& dev = *devices_[static_cast<std::size_t>(record.index())];
  const int n = record.number;
  const char* id = dev.deviceUserId.c_str();
  dev.color = color;
  if (color != 0) {
    ZEL_LOG("error: camera-%d not support color.\n", n);
    return false;
  }
  ZEL_LOG("try to open camera-%d deviceUserId=%s\n", n, id);
  // Whatever fails below leaves nothing connected, so a later open starts clean.
  auto fail = [&] {
    freeDevice(dev);
    return false;
  };
  const ebus::PvDeviceInfo* info = nullptr;
  if (!dev.system || !dev.system->FindDevice(dev.deviceUserId, &info).IsOK() || !info) {
    ZEL_LOG("error: not found camera device camera-%d deviceUserId=%s\n", n, id);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(dev.deviceMutex);
    if (variant_.factoryObjects) {
      ebus::PvResult result;
      dev.device = ebus::PvDevice::CreateAndConnect(info, &result);
    } else {
      auto* device = new ebus::PvDeviceGEV();
      if (device->Connect(info).IsOK()) {
        dev.device = device;
      } else {
        delete device;
      }
    }
  }
  if (!dev.device) {
    ZEL_LOG("error: camera-%d can't connect camera device. deviceUserId=%s\n", n, id);
    return fail();
  }
  std::string error;
  std::int64_t width = 0, height = 0, pixelFormat = 0;
  if (!readInteger(dev.device, "Width", &width, &error) || width <= 0) {
    ZEL_LOG("error: camera-%d camera image width get failed.d\n", n);
    return fail();
  }
  if (!readInteger(dev.device, "Height", &height, &error) || height <= 0) {
    ZEL_LOG("error: camera-%d camera image height get failed.\n", n);
    return fail();
  }
  dev.width = static_cast<std::int32_t>(width);
  dev.height = static_cast<std::int32_t>(height);
  record.width = dev.width;
  record.height = dev.height;
  if (!readPixelFormat(dev.device, &pixelFormat, &error) || pixelFormat != kMono8) {
    ZEL_LOG("error: camera-%d support pixel format only = Mono8\n", n);
    return fail();
  }
  if (!setEnum(dev.device, "TriggerMode", "On", &error)) {
    ZEL_LOG("error: camera-%d trigger mode on set failed. errmsg=%s\n", n, error.c_str());
    return fail();
  }
  dev.device->RegisterEventSink(this);
  auto* gev = dynamic_cast<ebus::PvDeviceGEV*>(dev.device);
  if (!gev) {
    ZEL_LOG("error: NOT an U3V device: camera-%d deviceUserId=%s\n", n, id);
    return fail();
  }

  // Inter-packet delay in timestamp ticks: the time one packet takes at the
  // camera's share of the link.
  gev->NegotiatePacketSize();
  std::int64_t packetSize = 0, tickFrequency = 0, delay = 0;
  if (!readInteger(dev.device, "GevSCPSPacketSize", &packetSize, &error)) {
    ZEL_LOG("error: camera-%d packet size get failed. errmsg=%s\n", n, error.c_str());
  } else {
    ZEL_LOG("camera-%d PacketSize = %d\n", n, static_cast<int>(packetSize));
    if (readInteger(dev.device, "GevTimestampTickFrequency", &tickFrequency, &error)) {
      delay = static_cast<std::int64_t>(static_cast<double>(packetSize) / kLinkShareBytesPerSecond *
                                        static_cast<double>(tickFrequency));
      ZEL_LOG("camera-%d GevSCPD = %d\n", n, static_cast<int>(delay));
    } else if (variant_.logTickFrequencyFailure) {
      ZEL_LOG("error: camera-%d timestamp tick frequency get failed. errmsg=%s\n", n, error.c_str());
    }
  }

  {
    std::lock_guard<std::mutex> lock(dev.deviceMutex);
    ebus::PvResult result;
    if (variant_.factoryObjects) {
      dev.stream = ebus::PvStream::CreateAndOpen(info->GetIPAddress(), &result);
    } else {
      auto* stream = new ebus::PvStreamGEV();
      result = stream->Open(info->GetIPAddress());
      if (result.IsOK()) {
        dev.stream = stream;
      } else {
        delete stream;
      }
    }
    if (!dev.stream) {
      ZEL_LOG("error: camera-%d stream open failed. errmsg=%s\n", n, result.GetDescription().c_str());
    }
  }
  if (!dev.stream) return fail();
  auto* gevStream = dynamic_cast<ebus::PvStreamGEV*>(dev.stream);
  if (!gevStream) {
    ZEL_LOG("error: NOT an U3V device: camera-%d deviceUserId=%s\n", n, id);
    return fail();
  }
  std::int64_t payloadSize = 0;
  if (!readInteger(dev.device, "PayloadSize", &payloadSize, &error) || payloadSize <= 0 ||
      payloadSize > (std::int64_t{1} << 30)) {
    ZEL_LOG("error: payload size get failed. errmsg=%s\n", error.c_str());
    return fail();
  }
  unsigned count = dev.stream->GetQueuedBufferMaximum();
  if (count > variant_.bufferLimit) count = variant_.bufferLimit;
  dev.buffers.clear();
  for (unsigned i = 0; i < count; ++i) {
    auto buffer = std::make_unique<ebus::PvBuffer>();
    buffer->Alloc(static_cast<std::uint32_t>(payloadSize));
    dev.buffers.push_back(std::move(buffer));
  }
  gev->SetStreamDestination(gevStream->GetLocalIPAddress(), gevStream->GetLocalPort());
  for (auto& buffer : dev.buffers) dev.stream->QueueBuffer(buffer.get());
  dev.device->StreamEnable();
  if (variant_.lockTransportParams && !writeInteger(dev.device, "TLParamsLocked", 1, &error)) {
    ZEL_LOG("error: TLParamsLocked set failed. errmsg=%s\n", error.c_str());
  }
  if (!writeInteger(dev.device, "GevSCPD", delay != 0 ? delay : kDefaultPacketDelay, &error)) {
    ZEL_LOG("error: GevSCPD set failed. errmsg=%s\n", error.c_str());
  }
  if (!executeCommand(dev.device, "GevTimestampControlReset", &error)) {
    ZEL_LOG("error: GevTimestampControlReset set failed. errmsg=%s\n", error.c_str());
  }
  return true;
}

void EbusCameras::startReceiver(CameraRecord& record) {
  EbusDevice& dev = *devices_[static_cast<std::size_t>(record.index())];
  std::lock_guard<std::mutex> lock(dev.receiverMutex);
  if (dev.receiverStarted) return;
  dev.stop = false;
  dev.receiver = std::thread(&EbusCameras::receiveLoop, this, std::ref(record));
  std::this_thread::sleep_for(kReceiverStartWait);
  dev.receiverStarted = true;
}

void EbusCameras::stopReceiver(EbusDevice& dev) {
  std::lock_guard<std::mutex> lock(dev.receiverMutex);
  if (!dev.receiverStarted) return;
  dev.stop.exchange(true);
  if (dev.stream) dev.stream->AbortQueuedBuffers();
  if (dev.receiver.joinable()) dev.receiver.join();
  // Cleared, so that a camera closed and opened again receives frames.
  dev.receiverStarted = false;
}

void EbusCameras::receiveLoop(CameraRecord& record) {
  EbusDevice& dev = *devices_[static_cast<std::size_t>(record.index())];
  std::string error;
  if (!executeCommand(dev.device, "AcquisitionStart", &error)) {
    ZEL_LOG("error:  acquisition start failed. errmsg=%s", error.c_str());
  }
  while (!dev.stop.load()) {
    ebus::PvBuffer* buffer = nullptr;
    ebus::PvResult operation;
    if (!dev.stream->RetrieveBuffer(&buffer, &operation, kRetrieveTimeoutMs).IsOK() || !buffer) continue;
    if (!operation.IsOK()) {
      ZEL_LOG("error: camera-%d recive data failed. code=%d code_Str=%s in_code=%d cause=%s\n", dev.number,
              static_cast<int>(operation.GetCode()), operation.GetCodeString().c_str(),
              static_cast<int>(operation.GetInternalCode()), operation.GetDescription().c_str());
    } else if (buffer->GetPayloadType() == ebus::PvPayloadTypeImage) {
      const std::size_t expected =
          static_cast<std::size_t>(dev.width) * static_cast<std::size_t>(dev.height) * (dev.color ? 3u : 1u);
      const std::uint32_t received = buffer->GetImage()->GetImageSize();
      if (received != expected) {
        std::printf("error: camera-%d img size different. recvImageSize=%d allocImageSize=%d\n", dev.number,
                    static_cast<int>(received), static_cast<int>(expected));
        std::fflush(stdout);
      } else {
        deliver_(record.index(), buffer->GetDataPointer(), received);
      }
    }
    dev.stream->QueueBuffer(buffer);
  }
  ZEL_LOG("Sending AcquisitionStop command to the device");
  if (!executeCommand(dev.device, "AcquisitionStop", &error)) ZEL_LOG("error: %s", error.c_str());
}

bool EbusCameras::setTriggerMode(const std::array<CameraRecord*, 2>& records, int mode) {
  for (CameraRecord* record : records) {
    if (record->opened.load()) startReceiver(*record);
  }
  bool both = true;
  for (CameraRecord* record : records) {
    EbusDevice& dev = *devices_[static_cast<std::size_t>(record->index())];
    if (!record->opened.load()) {
      both = false;
      continue;
    }
    record->triggerMode = mode;
    std::string error;
    std::lock_guard<std::mutex> lock(dev.deviceMutex);
    if (mode == 1) {
      if (!setEnum(dev.device, "TriggerSource", "Software", &error)) {
        ZEL_LOG("error: camera-%d trigger source software set failed. \n", dev.number);
        both = false;
      }
    } else if (mode == 0) {
      if (!setEnum(dev.device, "TriggerSource", "Hardware", &error)) {
        ZEL_LOG("error: camera-%d trigger source hardware set failed. \n", dev.number);
        both = false;
      } else {
        executeCommand(dev.device, "TriggerSoftware", &error);
      }
    } else {
      ZEL_LOG("error: camera-%d invalid trigger mode: %d\n", dev.number, mode);
      both = false;
    }
  }
  return both;
}

void EbusCameras::trigger(CameraRecord& record) {
  EbusDevice& dev = *devices_[static_cast<std::size_t>(record.index())];
  std::lock_guard<std::mutex> lock(dev.deviceMutex);
  if (!dev.device || !dev.device->IsConnected() || !dev.device->GetParameters()) return;
  std::string error;
  executeCommand(dev.device, "TriggerSoftware", &error);
}

bool EbusCameras::close(CameraRecord& record) {
  EbusDevice& dev = *devices_[static_cast<std::size_t>(record.index())];
  stopReceiver(dev);
  std::string error;
  if (variant_.lockTransportParams && dev.device && !writeInteger(dev.device, "TLParamsLocked", 0, &error)) {
    ZEL_LOG("error: TLParamsLocked set failed. errmsg=%s\n", error.c_str());
  }
  if (dev.device) dev.device->StreamDisable();
  freeDevice(dev);
  return true;
}

void EbusCameras::release(CameraRecord& record) {
  EbusDevice& dev = *devices_[static_cast<std::size_t>(record.index())];
  stopReceiver(dev);
  freeDevice(dev);
  dev.buffers.clear();
  dev.system.reset();
}

int EbusCameras::getInteger(int index, const char* name, const char* what) {
  EbusDevice& dev = *devices_[static_cast<std::size_t>(index)];
  std::lock_guard<std::mutex> lock(dev.deviceMutex);
  std::int64_t value = 0;
  std::string error;
  if (!readInteger(dev.device, name, &value, &error)) {
    ZEL_LOG("error: %s get failed. errmsg=%s", what, error.c_str());
    return -1;
  }
  return static_cast<int>(value);
}

bool EbusCameras::setInteger(int index, const char* name, int value, const char* what) {
  EbusDevice& dev = *devices_[static_cast<std::size_t>(index)];
  std::lock_guard<std::mutex> lock(dev.deviceMutex);
  std::string error;
  if (!writeInteger(dev.device, name, value, &error)) {
    ZEL_LOG("error: %s set failed. errmsg=%s", what, error.c_str());
    return false;
  }
  return true;
}

}  // namespace camera::ebus_backend
