#pragma once
// The eBUS calls the two eBUS back-ends make, with the result objects they
// rely on, implemented on Aravis for any GigE Vision camera: system find by
// user ID, device connect (constructed, or factory-created and required to
// be GigE Vision), parameters (integer, enumeration, command), stream open
// on the device's address, queued buffers with time-out retrieval, payload
// type, abort. Failures are PvResult values, never exceptions.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _ArvDevice ArvDevice;
typedef struct _ArvStream ArvStream;
typedef struct _ArvBuffer ArvBuffer;

namespace GenApi {
class INodeMap;
}

namespace ebus {

using PvString = std::string;

class PvResult {
 public:
  enum Code : std::uint32_t {
    OK = 0,
    NOT_CONNECTED = 1,
    NOT_FOUND = 2,
    INVALID_PARAMETER = 3,
    GENERIC_ERROR = 4,
    TIMEOUT = 5,
    ABORTED = 6,
    MISSING_PACKETS = 7,
    STATE_ERROR = 8,
    NOT_SUPPORTED = 9,
  };
  PvResult(Code code = OK, std::string description = {}, std::int32_t internalCode = 0)
      : code_(code), description_(std::move(description)), internalCode_(internalCode) {}
  bool IsOK() const { return code_ == OK; }
  std::uint32_t GetCode() const { return code_; }
  PvString GetCodeString() const;
  std::int32_t GetInternalCode() const { return internalCode_; }
  const PvString& GetDescription() const { return description_; }

 private:
  Code code_;
  std::string description_;
  std::int32_t internalCode_;
};

class PvDeviceInfo {
 public:
  const PvString& GetUserDefinedName() const { return userName_; }
  const PvString& GetIPAddress() const { return deviceAddress_; }

 private:
  friend class PvSystem;
  friend class PvDevice;
  PvString userName_, deviceAddress_, interfaceAddress_;
};

class PvSystem {
 public:
  PvSystem();
  ~PvSystem();
  PvSystem(const PvSystem&) = delete;
  PvSystem& operator=(const PvSystem&) = delete;
  // The GigE Vision device whose user ID (user-defined name) is id; the
  // info stays owned by the system.
  PvResult FindDevice(const PvString& id, const PvDeviceInfo** info);

 private:
  std::vector<std::unique_ptr<PvDeviceInfo>> found_;
};

class PvDevice;

class PvGenInteger {
 public:
  PvResult GetValue(std::int64_t& value) const;
  PvResult SetValue(std::int64_t value);

 private:
  friend class PvGenParameterArray;
  PvGenInteger(GenApi::INodeMap& map, std::string name) : map_(map), name_(std::move(name)) {}
  GenApi::INodeMap& map_;
  std::string name_;
};

class PvGenEnum {
 public:
  PvResult GetValue(std::int64_t& value) const;
  PvResult GetValue(PvString& value) const;
  PvResult SetValue(const PvString& value);

 private:
  friend class PvGenParameterArray;
  PvGenEnum(GenApi::INodeMap& map, std::string name) : map_(map), name_(std::move(name)) {}
  GenApi::INodeMap& map_;
  std::string name_;
};

class PvGenCommand {
 public:
  PvResult Execute();

 private:
  friend class PvGenParameterArray;
  PvGenCommand(GenApi::INodeMap& map, std::string name) : map_(map), name_(std::move(name)) {}
  GenApi::INodeMap& map_;
  std::string name_;
};

// The device's GenICam parameters; the objects handed out stay owned by it.
class PvGenParameterArray {
 public:
  explicit PvGenParameterArray(ArvDevice* device);
  ~PvGenParameterArray();
  // Null when the device has no parameter of that name and kind.
  PvGenInteger* GetInteger(const PvString& name);
  PvGenEnum* GetEnum(const PvString& name);
  PvGenCommand* GetCommand(const PvString& name);

 private:
  std::unique_ptr<GenApi::INodeMap> map_;
  std::map<std::string, std::unique_ptr<PvGenInteger>> integers_;
  std::map<std::string, std::unique_ptr<PvGenEnum>> enums_;
  std::map<std::string, std::unique_ptr<PvGenCommand>> commands_;
};

class PvDeviceEventSink {
 public:
  virtual ~PvDeviceEventSink() = default;
  virtual void OnLinkDisconnected(PvDevice*) {}
};

class PvDevice {
 public:
  PvDevice();
  virtual ~PvDevice();
  PvDevice(const PvDevice&) = delete;
  PvDevice& operator=(const PvDevice&) = delete;

  // Factory-made: a GigE Vision device object for the info, connected.
  static PvDevice* CreateAndConnect(const PvDeviceInfo* info, PvResult* result);
  static void Free(PvDevice* device);

  PvResult Connect(const PvDeviceInfo* info);
  PvResult Disconnect();
  bool IsConnected() const { return device_ != nullptr; }
  // Null when not connected.
  PvGenParameterArray* GetParameters();
  PvResult RegisterEventSink(PvDeviceEventSink* sink);
  PvResult UnregisterEventSink(PvDeviceEventSink* sink);
  PvResult StreamEnable();
  PvResult StreamDisable();

  ArvDevice* arvDevice() const { return device_; }

 protected:
  ArvDevice* device_ = nullptr;
  std::unique_ptr<PvGenParameterArray> parameters_;
  std::vector<PvDeviceEventSink*> sinks_;
  std::string address_;
};

class PvDeviceGEV : public PvDevice {
 public:
  // Keeps the packet size the camera holds (set it beforehand on a link
  // with jumbo frames): the stream is sized from it when it is opened.
  PvResult NegotiatePacketSize();
  PvResult SetStreamDestination(const PvString& ip, std::uint16_t port);
};

class PvImage {
 public:
  std::uint32_t GetImageSize() const { return size_; }
  std::uint32_t GetWidth() const { return width_; }
  std::uint32_t GetHeight() const { return height_; }

 private:
  friend class PvStream;
  std::uint32_t size_ = 0, width_ = 0, height_ = 0;
};

enum PvPayloadType { PvPayloadTypeUndefined = 0, PvPayloadTypeImage = 1 };

class PvBuffer {
 public:
  PvBuffer() = default;
  PvResult Alloc(std::uint32_t size);
  PvPayloadType GetPayloadType() const { return payloadType_; }
  PvImage* GetImage() { return &image_; }
  const std::uint8_t* GetDataPointer() const { return dataStart_; }
  std::uint32_t GetSize() const { return static_cast<std::uint32_t>(memory_.size()); }

 private:
  friend class PvStream;
  std::vector<std::uint8_t> memory_;
  const std::uint8_t* dataStart_ = nullptr;
  PvPayloadType payloadType_ = PvPayloadTypeUndefined;
  PvImage image_;
  ArvBuffer* arv_ = nullptr;  // while queued or just retrieved
};

class PvStream {
 public:
  PvStream();
  virtual ~PvStream();
  PvStream(const PvStream&) = delete;
  PvStream& operator=(const PvStream&) = delete;

  // Factory-made GigE Vision stream opened on the connected device at address.
  static PvStream* CreateAndOpen(const PvString& address, PvResult* result);
  static void Free(PvStream* stream);

  PvResult Open(const PvString& address);
  PvResult Close();
  bool IsOpen() const { return stream_ != nullptr; }
  std::uint32_t GetQueuedBufferMaximum() const { return 64; }
  PvResult QueueBuffer(PvBuffer* buffer);
  // Waits at most timeoutMs for the next buffer; *operationResult tells
  // whether its frame is complete. A failure result means no buffer.
  PvResult RetrieveBuffer(PvBuffer** buffer, PvResult* operationResult, std::uint32_t timeoutMs);
  // Ends every waiting retrieval and hands back the queued buffers.
  PvResult AbortQueuedBuffers();

 protected:
  ArvStream* stream_ = nullptr;
  std::string interfaceAddress_;
  std::atomic<bool> aborting_{false};
  std::mutex queuedMutex_;
  std::vector<PvBuffer*> queued_;
};

class PvStreamGEV : public PvStream {
 public:
  PvString GetLocalIPAddress() const { return interfaceAddress_; }
  std::uint16_t GetLocalPort() const;
};

}  // namespace ebus
