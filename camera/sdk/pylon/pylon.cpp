#include "camera/sdk/pylon/pylon.h"

#include <arv.h>

#include <mutex>

#include "camera/sdk/arv/arv_system.h"

namespace Pylon {
namespace {

// Buffers queued on a camera's stream: enough to ride out a slow callback,
// few enough to stay small with 13-frame shots.
constexpr int kStreamBuffers = 8;
// How often the grab thread looks at its stop flag, in microseconds.
constexpr guint64 kGrabPollUs = 100'000;

std::mutex gInitMutex;
int gInitCount = 0;

// Sets TLParamsLocked where the camera has it (it keeps the transport
// parameters still while a stream runs).
void lockTransportParameters(GenApi::INodeMap& map, int64_t value) {
  GenApi::INode* node = map.GetNode("TLParamsLocked");
  GenApi::CIntegerPtr locked(node);
  if (locked && GenApi::IsWritable(node)) locked->SetValue(value);
}

}  // namespace

void PylonInitialize() {
  std::lock_guard<std::mutex> lock(gInitMutex);
  ++gInitCount;
  camera::sdk::aravisAcquire();
}

void PylonTerminate(bool) {
  std::lock_guard<std::mutex> lock(gInitMutex);
  if (gInitCount <= 0) return;
  --gInitCount;
  camera::sdk::aravisRelease();
}

// --- transport layer factory ---

CTlFactory& CTlFactory::GetInstance() {
  static CTlFactory factory;
  return factory;
}

IPylonDevice* CTlFactory::CreateDevice(const CDeviceInfo& info) {
  if (info.GetUserDefinedName().empty()) {
    throw RuntimeException("No device is available or no device contains the provided device info properties.");
  }
  camera::sdk::GigeLocation location;
  std::string error;
  if (!camera::sdk::findGigeDeviceByUserName(info.GetUserDefinedName(), &location, &error)) {
    throw RuntimeException("No device is available or no device contains the provided device info properties (" +
                           error + ").");
  }
  return new IPylonDevice(info.GetUserDefinedName(), location.deviceAddress, location.interfaceAddress);
}

void CTlFactory::DestroyDevice(IPylonDevice* device) { delete device; }

// --- configurations ---

void CConfigurationEventHandler::OnOpened(CInstantCamera&) {}

void CSoftwareTriggerConfiguration::ApplyConfiguration(GenApi::INodeMap& nodemap) {
  GenApi::CEnumerationPtr selector(nodemap.GetNode("TriggerSelector"));
  GenApi::CEnumerationPtr mode(nodemap.GetNode("TriggerMode"));
  GenApi::CEnumerationPtr source(nodemap.GetNode("TriggerSource"));
  GenApi::CEnumerationPtr acquisitionMode(nodemap.GetNode("AcquisitionMode"));

  std::string chosen;
  if (selector) {
    if (GenApi::IsAvailable(selector->GetEntryByName("FrameStart"))) {
      chosen = "FrameStart";
    } else if (GenApi::IsAvailable(selector->GetEntryByName("AcquisitionStart"))) {
      chosen = "AcquisitionStart";
    }
  }
  if (chosen.empty()) {
    throw RuntimeException("Could not select trigger. Neither FrameStart nor AcquisitionStart is available.");
  }
  GenApi::NodeList_t entries;
  selector->GetEntries(entries);
  for (GenApi::INode* entry : entries) {
    if (!GenApi::IsAvailable(entry)) continue;
    const std::string symbolic = GenApi::CEnumEntryPtr(entry)->GetSymbolic();
    selector->FromString(symbolic);
    if (symbolic == chosen) {
      mode->FromString("On");
      source->FromString("Software");
    } else {
      mode->FromString("Off");
    }
  }
  selector->FromString(chosen);
  acquisitionMode->FromString("Continuous");
}

void CSoftwareTriggerConfiguration::OnOpened(CInstantCamera& camera) {
  try {
    ApplyConfiguration(camera.GetNodeMap());
  } catch (const GenericException& e) {
    throw RuntimeException(std::string("Could not apply configuration. Pylon::GenericException caught in OnOpened "
                                       "method msg=") +
                           e.GetDescription());
  } catch (const std::exception& e) {
    throw RuntimeException(std::string("Could not apply configuration. std::exception caught in OnOpened method msg=") +
                           e.what());
  } catch (...) {
    throw RuntimeException("Could not apply configuration. Unknown exception caught in OnOpened method.");
  }
}

void CImageEventHandler::OnImageGrabbed(CInstantCamera&, const CGrabResultPtr&) {}

// --- instant camera ---

CInstantCamera::CInstantCamera(IPylonDevice* device, ECleanup cleanup) { Attach(device, cleanup); }

CInstantCamera::~CInstantCamera() {
  try {
    DestroyDevice();
  } catch (...) {
  }
  for (auto& r : configurations_) {
    if (r.cleanup == Cleanup_Delete) delete r.handler;
  }
  for (auto& r : imageHandlers_) {
    if (r.cleanup == Cleanup_Delete) delete r.handler;
  }
}

void CInstantCamera::Attach(IPylonDevice* device, ECleanup cleanup) {
  if (device_) DestroyDevice();
  device_ = device;
  deviceCleanup_ = cleanup;
}

void CInstantCamera::RegisterConfiguration(CConfigurationEventHandler* handler, ERegistrationMode mode,
                                           ECleanup cleanup) {
  if (!handler) throw InvalidArgumentException("RegisterConfiguration: no handler");
  if (mode == RegistrationMode_ReplaceAll) {
    for (auto& r : configurations_) {
      if (r.cleanup == Cleanup_Delete && r.handler != handler) delete r.handler;
    }
    configurations_.clear();
  }
  configurations_.push_back({handler, cleanup});
}

bool CInstantCamera::DeregisterConfiguration(CConfigurationEventHandler* handler) {
  for (auto it = configurations_.begin(); it != configurations_.end(); ++it) {
    if (it->handler != handler) continue;
    if (it->cleanup == Cleanup_Delete) delete it->handler;
    configurations_.erase(it);
    return true;
  }
  return false;
}

void CInstantCamera::RegisterImageEventHandler(CImageEventHandler* handler, ERegistrationMode mode, ECleanup cleanup) {
  if (!handler) throw InvalidArgumentException("RegisterImageEventHandler: no handler");
  std::lock_guard<std::mutex> lock(imageHandlersMutex_);
  if (mode == RegistrationMode_ReplaceAll) {
    for (auto& r : imageHandlers_) {
      if (r.cleanup == Cleanup_Delete && r.handler != handler) delete r.handler;
    }
    imageHandlers_.clear();
  }
  imageHandlers_.push_back({handler, cleanup});
}

bool CInstantCamera::DeregisterImageEventHandler(CImageEventHandler* handler) {
  std::lock_guard<std::mutex> lock(imageHandlersMutex_);
  for (auto it = imageHandlers_.begin(); it != imageHandlers_.end(); ++it) {
    if (it->handler != handler) continue;
    if (it->cleanup == Cleanup_Delete) delete it->handler;
    imageHandlers_.erase(it);
    return true;
  }
  return false;
}

void CInstantCamera::Open() {
  if (IsOpen()) return;
  if (!device_) throw LogicalErrorException("Open: no device is attached");
  std::string error;
  arvDevice_ = camera::sdk::openGigeDevice({device_->deviceAddress(), device_->interfaceAddress()}, &error);
  if (!arvDevice_) throw RuntimeException("Open: " + error);
  if (!arv_device_get_genicam(arvDevice_)) {
    g_object_unref(arvDevice_);
    arvDevice_ = nullptr;
    throw RuntimeException("Open: the device description could not be read from " + device_->deviceAddress());
  }
  nodeMap_ = std::make_unique<GenApi::INodeMap>(arvDevice_);
  try {
    // A copy: a handler may register or deregister others.
    auto configurations = configurations_;
    for (auto& r : configurations) r.handler->OnOpened(*this);
  } catch (...) {
    Close();
    throw;
  }
}

void CInstantCamera::Close() {
  StopGrabbing();
  nodeMap_.reset();
  if (arvDevice_) {
    g_object_unref(arvDevice_);  // gives control of the device back
    arvDevice_ = nullptr;
  }
}

void CInstantCamera::DestroyDevice() {
  Close();
  if (device_ && deviceCleanup_ == Cleanup_Delete) CTlFactory::GetInstance().DestroyDevice(device_);
  device_ = nullptr;
}

GenApi::INodeMap& CInstantCamera::GetNodeMap() {
  if (!nodeMap_) throw LogicalErrorException("The camera is not open.");
  return *nodeMap_;
}

void CInstantCamera::StartGrabbing(EGrabStrategy, EGrabLoop) {
  if (grabbing_) return;
  GenApi::INodeMap& map = GetNodeMap();
  GenApi::CIntegerPtr payload(map.GetNode("PayloadSize"));
  const int64_t payloadSize = payload ? payload->GetValue() : 0;
  if (payloadSize <= 0 || payloadSize > (int64_t{1} << 31)) {
    throw RuntimeException("StartGrabbing: the camera reports no usable PayloadSize");
  }
  std::string error;
  stream_ = camera::sdk::createGigeStream(arvDevice_, camera::sdk::streamSettingsFromEnvironment(), &error);
  if (!stream_) throw RuntimeException("StartGrabbing: " + error);
  for (int i = 0; i < kStreamBuffers; ++i) {
    arv_stream_push_buffer(stream_, arv_buffer_new_allocate(static_cast<size_t>(payloadSize)));
  }
  try {
    lockTransportParameters(map, 1);
    GenApi::CCommandPtr(map.GetNode("AcquisitionStart"))->Execute();
  } catch (...) {
    g_object_unref(stream_);
    stream_ = nullptr;
    throw;
  }
  stopGrab_ = false;
  grabbing_ = true;
  grabThread_ = std::thread(&CInstantCamera::grabLoop, this);
}

void CInstantCamera::StopGrabbing() {
  if (!grabbing_) return;
  grabbing_ = false;
  // The camera may be gone: stopping still ends our side.
  try {
    GenApi::INodeMap& map = GetNodeMap();
    GenApi::CCommandPtr stop(map.GetNode("AcquisitionStop"));
    if (stop) stop->Execute();
    lockTransportParameters(map, 0);
  } catch (const std::exception&) {
  }
  stopGrab_ = true;
  if (grabThread_.joinable()) grabThread_.join();
  if (stream_) {
    g_object_unref(stream_);
    stream_ = nullptr;
  }
}

void CInstantCamera::ExecuteSoftwareTrigger() {
  GenApi::CCommandPtr trigger(GetNodeMap().GetNode("TriggerSoftware"));
  if (!trigger) throw AccessException("TriggerSoftware: the camera has no software trigger");
  trigger->Execute();
}

void CInstantCamera::grabLoop() {
  while (!stopGrab_.load()) {
    ArvBuffer* buffer = arv_stream_timeout_pop_buffer(stream_, kGrabPollUs);
    if (!buffer) continue;
    deliver(buffer);
    arv_stream_push_buffer(stream_, buffer);
  }
}

void CInstantCamera::deliver(ArvBuffer* buffer) {
  CGrabResultData result;
  // Only a complete image block succeeds; its size is the image's, not the
  // buffer's.
  if (arv_buffer_get_status(buffer) == ARV_BUFFER_STATUS_SUCCESS &&
      arv_buffer_get_payload_type(buffer) == ARV_BUFFER_PAYLOAD_TYPE_IMAGE) {
    size_t size = 0;
    const void* data = arv_buffer_get_image_data(buffer, &size);
    result.data_ = data;
    result.size_ = data ? size : 0;
    result.width_ = static_cast<std::uint32_t>(arv_buffer_get_image_width(buffer));
    result.height_ = static_cast<std::uint32_t>(arv_buffer_get_image_height(buffer));
    result.pixelFormat_ = arv_buffer_get_image_pixel_format(buffer);
    result.succeeded_ = data != nullptr;
  }
  result.blockId_ = arv_buffer_get_frame_id(buffer);
  std::lock_guard<std::mutex> lock(imageHandlersMutex_);
  for (auto& r : imageHandlers_) {
    try {
      r.handler->OnImageGrabbed(*this, CGrabResultPtr(&result));
    } catch (...) {
      // A handler's failure is its own; the next grab still comes.
    }
  }
}

}  // namespace Pylon
