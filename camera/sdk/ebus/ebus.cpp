#include "camera/sdk/ebus/ebus.h"

#include <arpa/inet.h>
#include <arv.h>

#include <algorithm>
#include <chrono>

#include "camera/sdk/arv/arv_system.h"
#include "camera/sdk/arv/genapi.h"

namespace ebus {
namespace {

// GigE Vision bootstrap registers of stream channel 0.
constexpr guint64 kStreamChannelPort = 0x0D00;         // low 16 bits: host port
constexpr guint64 kStreamChannelDestination = 0x0D18;  // IPv4 address

// A retrieval waits in slices this long so that an abort ends it soon.
constexpr std::uint32_t kRetrieveSliceMs = 50;

// Connected devices by address, so that a stream opened on an address finds
// the device that streams to it.
struct Connected {
  ArvDevice* device;
  std::string interfaceAddress;
};
std::mutex gConnectedMutex;
std::map<std::string, Connected>& connected() {
  static std::map<std::string, Connected> devices;
  return devices;
}

template <class F>
PvResult guarded(const std::string& name, F f) {
  try {
    return f();
  } catch (const GenICam::GenericException& e) {
    return PvResult(PvResult::GENERIC_ERROR, e.GetDescription());
  } catch (const std::exception& e) {
    return PvResult(PvResult::GENERIC_ERROR, name + ": " + e.what());
  }
}

}  // namespace

PvString PvResult::GetCodeString() const {
  switch (code_) {
    case OK: return "OK";
    case NOT_CONNECTED: return "NOT_CONNECTED";
    case NOT_FOUND: return "NOT_FOUND";
    case INVALID_PARAMETER: return "INVALID_PARAMETER";
    case GENERIC_ERROR: return "GENERIC_ERROR";
    case TIMEOUT: return "TIMEOUT";
    case ABORTED: return "ABORTED";
    case MISSING_PACKETS: return "MISSING_PACKETS";
    case STATE_ERROR: return "STATE_ERROR";
    case NOT_SUPPORTED: return "NOT_SUPPORTED";
  }
  return "UNKNOWN";
}

// --- system ---

PvSystem::PvSystem() { camera::sdk::aravisAcquire(); }
PvSystem::~PvSystem() {
  found_.clear();
  camera::sdk::aravisRelease();
}

PvResult PvSystem::FindDevice(const PvString& id, const PvDeviceInfo** info) {
  camera::sdk::GigeLocation location;
  std::string error;
  if (!camera::sdk::findGigeDeviceByUserName(id, &location, &error)) return PvResult(PvResult::NOT_FOUND, error);
  auto made = std::make_unique<PvDeviceInfo>();
  made->userName_ = id;
  made->deviceAddress_ = location.deviceAddress;
  made->interfaceAddress_ = location.interfaceAddress;
  *info = made.get();
  found_.push_back(std::move(made));
  return PvResult();
}

// --- parameters ---

PvResult PvGenInteger::GetValue(std::int64_t& value) const {
  return guarded(name_, [&] {
    value = GenApi::CIntegerPtr(map_.GetNode(name_))->GetValue();
    return PvResult();
  });
}

PvResult PvGenInteger::SetValue(std::int64_t value) {
  return guarded(name_, [&] {
    GenApi::CIntegerPtr(map_.GetNode(name_))->SetValue(value, true);
    return PvResult();
  });
}

PvResult PvGenEnum::GetValue(std::int64_t& value) const {
  return guarded(name_, [&] {
    GenApi::INode* node = map_.GetNode(name_);
    GenApi::CEnumerationPtr e(node);
    if (!e) return PvResult(PvResult::INVALID_PARAMETER, name_ + " is not an enumeration");
    std::lock_guard<std::recursive_mutex> lock(map_.lock());
    GError* error = nullptr;
    value = arv_gc_enumeration_get_int_value(ARV_GC_ENUMERATION(node->arvNode()), &error);
    if (error) return PvResult(PvResult::GENERIC_ERROR, name_ + ": " + camera::sdk::takeErrorMessage(error));
    return PvResult();
  });
}

PvResult PvGenEnum::GetValue(PvString& value) const {
  return guarded(name_, [&] {
    value = GenApi::CEnumerationPtr(map_.GetNode(name_))->ToString();
    return PvResult();
  });
}

PvResult PvGenEnum::SetValue(const PvString& value) {
  return guarded(name_, [&] {
    GenApi::CEnumerationPtr(map_.GetNode(name_))->FromString(value);
    return PvResult();
  });
}

PvResult PvGenCommand::Execute() {
  return guarded(name_, [&] {
    GenApi::CCommandPtr(map_.GetNode(name_))->Execute();
    return PvResult();
  });
}

PvGenParameterArray::PvGenParameterArray(ArvDevice* device) : map_(std::make_unique<GenApi::INodeMap>(device)) {}
PvGenParameterArray::~PvGenParameterArray() = default;

PvGenInteger* PvGenParameterArray::GetInteger(const PvString& name) {
  auto& slot = integers_[name];
  if (!slot && GenApi::CIntegerPtr(map_->GetNode(name))) slot.reset(new PvGenInteger(*map_, name));
  return slot.get();
}

PvGenEnum* PvGenParameterArray::GetEnum(const PvString& name) {
  auto& slot = enums_[name];
  if (!slot && GenApi::CEnumerationPtr(map_->GetNode(name))) slot.reset(new PvGenEnum(*map_, name));
  return slot.get();
}

PvGenCommand* PvGenParameterArray::GetCommand(const PvString& name) {
  auto& slot = commands_[name];
  if (!slot && GenApi::CCommandPtr(map_->GetNode(name))) slot.reset(new PvGenCommand(*map_, name));
  return slot.get();
}

// --- device ---

PvDevice::PvDevice() = default;
PvDevice::~PvDevice() { Disconnect(); }

PvDevice* PvDevice::CreateAndConnect(const PvDeviceInfo* info, PvResult* result) {
  auto device = std::make_unique<PvDeviceGEV>();
  PvResult r = device->Connect(info);
  if (result) *result = r;
  return r.IsOK() ? device.release() : nullptr;
}

void PvDevice::Free(PvDevice* device) { delete device; }

PvResult PvDevice::Connect(const PvDeviceInfo* info) {
  if (!info) return PvResult(PvResult::INVALID_PARAMETER, "no device info");
  if (device_) return PvResult(PvResult::STATE_ERROR, "already connected");
  std::string error;
  device_ = camera::sdk::openGigeDevice({info->deviceAddress_, info->interfaceAddress_}, &error);
  if (!device_) return PvResult(PvResult::NOT_CONNECTED, error);
  if (!arv_device_get_genicam(device_)) {
    g_object_unref(device_);
    device_ = nullptr;
    return PvResult(PvResult::NOT_CONNECTED, "the device description could not be read");
  }
  parameters_ = std::make_unique<PvGenParameterArray>(device_);
  address_ = info->deviceAddress_;
  std::lock_guard<std::mutex> lock(gConnectedMutex);
  connected()[address_] = {device_, info->interfaceAddress_};
  return PvResult();
}

PvResult PvDevice::Disconnect() {
  if (!device_) return PvResult(PvResult::NOT_CONNECTED, "not connected");
  {
    std::lock_guard<std::mutex> lock(gConnectedMutex);
    auto it = connected().find(address_);
    if (it != connected().end() && it->second.device == device_) connected().erase(it);
  }
  parameters_.reset();
  g_object_unref(device_);
  device_ = nullptr;
  return PvResult();
}

PvGenParameterArray* PvDevice::GetParameters() { return parameters_.get(); }

PvResult PvDevice::RegisterEventSink(PvDeviceEventSink* sink) {
  if (!sink) return PvResult(PvResult::INVALID_PARAMETER, "no sink");
  sinks_.push_back(sink);
  return PvResult();
}

PvResult PvDevice::UnregisterEventSink(PvDeviceEventSink* sink) {
  auto it = std::find(sinks_.begin(), sinks_.end(), sink);
  if (it == sinks_.end()) return PvResult(PvResult::NOT_FOUND, "sink not registered");
  sinks_.erase(it);
  return PvResult();
}

// The stream channel is set up when the stream is opened; enabling streaming
// leaves the acquisition itself to AcquisitionStart.
PvResult PvDevice::StreamEnable() { return device_ ? PvResult() : PvResult(PvResult::NOT_CONNECTED, "not connected"); }
PvResult PvDevice::StreamDisable() { return device_ ? PvResult() : PvResult(PvResult::NOT_CONNECTED, "not connected"); }

PvResult PvDeviceGEV::NegotiatePacketSize() {
  return device_ ? PvResult() : PvResult(PvResult::NOT_CONNECTED, "not connected");
}

PvResult PvDeviceGEV::SetStreamDestination(const PvString& ip, std::uint16_t port) {
  if (!device_) return PvResult(PvResult::NOT_CONNECTED, "not connected");
  in_addr a{};
  if (::inet_pton(AF_INET, ip.c_str(), &a) != 1) return PvResult(PvResult::INVALID_PARAMETER, "bad address " + ip);
  GError* error = nullptr;
  guint32 scp = 0;
  if (arv_device_write_register(device_, kStreamChannelDestination, ntohl(a.s_addr), &error) &&
      arv_device_read_register(device_, kStreamChannelPort, &scp, &error) &&
      arv_device_write_register(device_, kStreamChannelPort, (scp & 0xFFFF0000u) | port, &error)) {
    return PvResult();
  }
  return PvResult(PvResult::GENERIC_ERROR, camera::sdk::takeErrorMessage(error));
}

// --- buffers and stream ---

PvResult PvBuffer::Alloc(std::uint32_t size) {
  if (arv_) return PvResult(PvResult::STATE_ERROR, "the buffer is queued");
  if (size == 0) return PvResult(PvResult::INVALID_PARAMETER, "size 0");
  memory_.assign(size, 0);
  return PvResult();
}

PvStream::PvStream() = default;
PvStream::~PvStream() { Close(); }

PvStream* PvStream::CreateAndOpen(const PvString& address, PvResult* result) {
  auto stream = std::make_unique<PvStreamGEV>();
  PvResult r = stream->Open(address);
  if (result) *result = r;
  return r.IsOK() ? stream.release() : nullptr;
}

void PvStream::Free(PvStream* stream) { delete stream; }

PvResult PvStream::Open(const PvString& address) {
  if (stream_) return PvResult(PvResult::STATE_ERROR, "already open");
  ArvDevice* device = nullptr;
  {
    std::lock_guard<std::mutex> lock(gConnectedMutex);
    auto it = connected().find(address);
    if (it == connected().end()) return PvResult(PvResult::NOT_CONNECTED, "no connected device at " + address);
    device = it->second.device;
    interfaceAddress_ = it->second.interfaceAddress;
  }
  std::string error;
  stream_ = camera::sdk::createGigeStream(device, camera::sdk::streamSettingsFromEnvironment(), &error);
  if (!stream_) return PvResult(PvResult::GENERIC_ERROR, error);
  aborting_ = false;
  return PvResult();
}

PvResult PvStream::Close() {
  if (!stream_) return PvResult(PvResult::STATE_ERROR, "not open");
  aborting_ = true;
  // The stream frees the Aravis buffers still queued in it; the memory is
  // the PvBuffers', which stay with their owner.
  g_object_unref(stream_);
  stream_ = nullptr;
  std::lock_guard<std::mutex> lock(queuedMutex_);
  for (PvBuffer* b : queued_) b->arv_ = nullptr;
  queued_.clear();
  return PvResult();
}

PvResult PvStream::QueueBuffer(PvBuffer* buffer) {
  if (!stream_) return PvResult(PvResult::STATE_ERROR, "stream not open");
  if (!buffer || buffer->memory_.empty()) return PvResult(PvResult::INVALID_PARAMETER, "buffer not allocated");
  std::lock_guard<std::mutex> lock(queuedMutex_);
  if (!buffer->arv_) {
    buffer->arv_ = arv_buffer_new_full(buffer->memory_.size(), buffer->memory_.data(), buffer, nullptr);
  }
  if (std::find(queued_.begin(), queued_.end(), buffer) == queued_.end()) queued_.push_back(buffer);
  arv_stream_push_buffer(stream_, buffer->arv_);
  return PvResult();
}

PvResult PvStream::RetrieveBuffer(PvBuffer** buffer, PvResult* operationResult, std::uint32_t timeoutMs) {
  if (!stream_) return PvResult(PvResult::STATE_ERROR, "stream not open");
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (aborting_.load()) return PvResult(PvResult::ABORTED, "aborted");
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return PvResult(PvResult::TIMEOUT, "no buffer within the time-out");
    const guint64 sliceUs = 1000ull * std::min<std::uint64_t>(kRetrieveSliceMs, static_cast<std::uint64_t>(left));
    ArvBuffer* arv = arv_stream_timeout_pop_buffer(stream_, sliceUs);
    if (!arv) continue;
    auto* pv = static_cast<PvBuffer*>(const_cast<void*>(arv_buffer_get_user_data(arv)));
    if (!pv) {
      arv_stream_push_buffer(stream_, arv);  // not one of ours: keep it circulating
      continue;
    }
    pv->payloadType_ =
        arv_buffer_get_payload_type(arv) == ARV_BUFFER_PAYLOAD_TYPE_IMAGE ? PvPayloadTypeImage : PvPayloadTypeUndefined;
    std::size_t size = 0;
    const void* data = pv->payloadType_ == PvPayloadTypeImage ? arv_buffer_get_image_data(arv, &size) : nullptr;
    pv->dataStart_ = static_cast<const std::uint8_t*>(data);
    pv->image_.size_ = data ? static_cast<std::uint32_t>(size) : 0;
    pv->image_.width_ = data ? static_cast<std::uint32_t>(arv_buffer_get_image_width(arv)) : 0;
    pv->image_.height_ = data ? static_cast<std::uint32_t>(arv_buffer_get_image_height(arv)) : 0;
    const ArvBufferStatus status = arv_buffer_get_status(arv);
    if (operationResult) {
      switch (status) {
        case ARV_BUFFER_STATUS_SUCCESS: *operationResult = PvResult(); break;
        case ARV_BUFFER_STATUS_MISSING_PACKETS:
          *operationResult = PvResult(PvResult::MISSING_PACKETS, "packets of the frame are missing", status);
          break;
        case ARV_BUFFER_STATUS_TIMEOUT:
          *operationResult = PvResult(PvResult::TIMEOUT, "the frame did not complete in time", status);
          break;
        default:
          *operationResult = PvResult(PvResult::GENERIC_ERROR, "the frame was not received whole", status);
          break;
      }
    }
    *buffer = pv;
    return PvResult();
  }
}

PvResult PvStream::AbortQueuedBuffers() {
  aborting_ = true;
  return PvResult();
}

std::uint16_t PvStreamGEV::GetLocalPort() const {
  return stream_ && ARV_IS_GV_STREAM(stream_) ? arv_gv_stream_get_port(ARV_GV_STREAM(stream_)) : 0;
}

}  // namespace ebus
