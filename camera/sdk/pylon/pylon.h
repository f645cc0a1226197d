#pragma once
// The pylon calls the ace back-end makes, with the results it relies on,
// implemented on Aravis for any GigE Vision camera: initialise/terminate
// counting, a device by its user-defined name, the instant camera with
// configuration handlers applied on open, image event handlers called on a
// grab thread, one-by-one grabbing, software trigger, the node map. SDK
// failures are exceptions (Pylon::GenericException); they never leave the
// plug-in.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/sdk/arv/genapi.h"

typedef struct _ArvStream ArvStream;
typedef struct _ArvBuffer ArvBuffer;

namespace Pylon {

using String_t = std::string;
using GenICam::AccessException;
using GenICam::GenericException;
using GenICam::InvalidArgumentException;
using GenICam::LogicalErrorException;
using GenICam::OutOfRangeException;
using GenICam::RuntimeException;
using GenICam::TimeoutException;

// Counted: every PylonInitialize needs one PylonTerminate; the last one
// releases the transport once no camera object is left.
void PylonInitialize();
void PylonTerminate(bool shutDownLogging = true);

class CDeviceInfo {
 public:
  CDeviceInfo& SetUserDefinedName(const String_t& name) {
    userDefinedName_ = name;
    return *this;
  }
  const String_t& GetUserDefinedName() const { return userDefinedName_; }

 private:
  String_t userDefinedName_;
};

// A camera found on the network, not yet opened.
class IPylonDevice {
 public:
  IPylonDevice(std::string userName, std::string deviceAddress, std::string interfaceAddress)
      : userName_(std::move(userName)),
        deviceAddress_(std::move(deviceAddress)),
        interfaceAddress_(std::move(interfaceAddress)) {}
  const std::string& userName() const { return userName_; }
  const std::string& deviceAddress() const { return deviceAddress_; }
  const std::string& interfaceAddress() const { return interfaceAddress_; }

 private:
  std::string userName_, deviceAddress_, interfaceAddress_;
};

class CTlFactory {
 public:
  static CTlFactory& GetInstance();
  // The device whose user-defined name matches; RuntimeException when none.
  IPylonDevice* CreateDevice(const CDeviceInfo& info);
  void DestroyDevice(IPylonDevice* device);
};

enum ECleanup { Cleanup_None, Cleanup_Delete };
enum ERegistrationMode { RegistrationMode_Append, RegistrationMode_ReplaceAll };
enum EGrabStrategy { GrabStrategy_OneByOne };
enum EGrabLoop { GrabLoop_ProvidedByInstantCamera };

class CInstantCamera;

class CConfigurationEventHandler {
 public:
  virtual ~CConfigurationEventHandler() = default;
  // After the camera opened; an exception makes the open fail.
  virtual void OnOpened(CInstantCamera& camera);
};

// The standard software-trigger configuration.
class CSoftwareTriggerConfiguration : public CConfigurationEventHandler {
 public:
  static void ApplyConfiguration(GenApi::INodeMap& nodemap);
  void OnOpened(CInstantCamera& camera) override;
};

// One grab: valid for the call of the image event handler it is given to.
class CGrabResultData {
 public:
  bool GrabSucceeded() const { return succeeded_; }
  const void* GetBuffer() const { return data_; }
  std::size_t GetImageSize() const { return size_; }
  std::uint32_t GetWidth() const { return width_; }
  std::uint32_t GetHeight() const { return height_; }
  std::uint32_t GetPixelType() const { return pixelFormat_; }
  std::uint64_t GetBlockID() const { return blockId_; }

 private:
  friend class CInstantCamera;
  bool succeeded_ = false;
  const void* data_ = nullptr;
  std::size_t size_ = 0;
  std::uint32_t width_ = 0, height_ = 0, pixelFormat_ = 0;
  std::uint64_t blockId_ = 0;
};

class CGrabResultPtr {
 public:
  explicit CGrabResultPtr(const CGrabResultData* data) : data_(data) {}
  const CGrabResultData* operator->() const { return data_; }
  bool IsValid() const { return data_ != nullptr; }

 private:
  const CGrabResultData* data_;
};

class CImageEventHandler {
 public:
  virtual ~CImageEventHandler() = default;
  // On the camera's grab thread, for every grab result, failed ones too.
  virtual void OnImageGrabbed(CInstantCamera& camera, const CGrabResultPtr& grabResult);
};

class CInstantCamera {
 public:
  CInstantCamera() = default;
  explicit CInstantCamera(IPylonDevice* device, ECleanup cleanup = Cleanup_Delete);
  ~CInstantCamera();
  CInstantCamera(const CInstantCamera&) = delete;
  CInstantCamera& operator=(const CInstantCamera&) = delete;

  void Attach(IPylonDevice* device, ECleanup cleanup = Cleanup_Delete);
  bool IsPylonDeviceAttached() const { return device_ != nullptr; }

  void RegisterConfiguration(CConfigurationEventHandler* handler, ERegistrationMode mode, ECleanup cleanup);
  bool DeregisterConfiguration(CConfigurationEventHandler* handler);
  void RegisterImageEventHandler(CImageEventHandler* handler, ERegistrationMode mode, ECleanup cleanup);
  bool DeregisterImageEventHandler(CImageEventHandler* handler);

  // Takes control of the device and reads its description; then the
  // registered configurations apply (a failing one closes it again).
  void Open();
  bool IsOpen() const { return nodeMap_ != nullptr; }
  // Stops grabbing and gives the device back.
  void Close();
  // Closes and destroys the attached device (when it was attached with
  // Cleanup_Delete).
  void DestroyDevice();

  // Creates the stream, queues buffers, starts the acquisition and the grab
  // thread that calls the image event handlers.
  void StartGrabbing(EGrabStrategy strategy = GrabStrategy_OneByOne, EGrabLoop loop = GrabLoop_ProvidedByInstantCamera);
  void StopGrabbing();
  bool IsGrabbing() const { return grabbing_; }

  void ExecuteSoftwareTrigger();
  GenApi::INodeMap& GetNodeMap();

 private:
  template <class Handler>
  struct Registered {
    Handler* handler;
    ECleanup cleanup;
  };

  void grabLoop();
  void deliver(ArvBuffer* buffer);

  IPylonDevice* device_ = nullptr;
  ECleanup deviceCleanup_ = Cleanup_None;
  ArvDevice* arvDevice_ = nullptr;
  std::unique_ptr<GenApi::INodeMap> nodeMap_;

  std::vector<Registered<CConfigurationEventHandler>> configurations_;
  std::mutex imageHandlersMutex_;
  std::vector<Registered<CImageEventHandler>> imageHandlers_;

  ArvStream* stream_ = nullptr;
  std::thread grabThread_;
  std::atomic<bool> stopGrab_{false};
  bool grabbing_ = false;
};

}  // namespace Pylon
