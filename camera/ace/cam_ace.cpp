#include "camera/ace/cam_ace.h"

#include <string>

#include "camera/common/plugin.h"
#include "diag/logger.h"

namespace camera::ace {
namespace {

CameraCore::Config aceConfig() {
  CameraCore::Config config;
  config.logIdent = "OrvCamAce";
  config.setLogTag = "CamAce::setLog";
  config.exitEventName = "ZELCAM_ACE_EXIT_EVENT";
  config.triggerThreads = true;
  config.resetCountersAtCapture = false;
  return config;
}

// Bytes per second one camera may send, so that two cameras share one
// gigabit link: 100 MiB/s.
constexpr double kLinkShareBytesPerSecond = 104857600.0;

// The four steps both trigger configurations share: choose the trigger, set
// it on (with source and, when given, activation) and every other available
// trigger type off, select it again, continuous acquisition.
void applyTrigger(GenApi::INodeMap& nodemap, const char* source, const char* activation) {
  GenApi::CEnumerationPtr selector(nodemap.GetNode("TriggerSelector"));
  GenApi::CEnumerationPtr mode(nodemap.GetNode("TriggerMode"));
  GenApi::CEnumerationPtr triggerSource(nodemap.GetNode("TriggerSource"));
  GenApi::CEnumerationPtr triggerActivation(nodemap.GetNode("TriggerActivation"));
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
    throw Pylon::RuntimeException("Could not select trigger. Neither FrameStart nor AcquisitionStart is available.");
  }
  GenApi::NodeList_t entries;
  selector->GetEntries(entries);
  for (GenApi::INode* entry : entries) {
    if (!GenApi::IsAvailable(entry)) continue;
    const std::string symbolic = GenApi::CEnumEntryPtr(entry)->GetSymbolic();
    selector->FromString(symbolic);
    if (symbolic == chosen) {
      mode->FromString("On");
      triggerSource->FromString(source);
      if (activation) triggerActivation->FromString(activation);
    } else {
      mode->FromString("Off");
    }
  }
  selector->FromString(chosen);
  acquisitionMode->FromString("Continuous");
}

}  // namespace

void HardwareTriggerConfiguration::ApplyConfiguration(GenApi::INodeMap& nodemap) {
  applyTrigger(nodemap, "Line1", "RisingEdge");
}

void HardwareTriggerConfiguration::OnOpened(Pylon::CInstantCamera& camera) {
  try {
    ApplyConfiguration(camera.GetNodeMap());
  } catch (const Pylon::GenericException& e) {
    throw Pylon::RuntimeException(
        std::string("Could not apply configuration. Pylon::GenericException caught in OnOpened method msg=") +
        e.GetDescription());
  } catch (const std::exception& e) {
    throw Pylon::RuntimeException(
        std::string("Could not apply configuration. std::exception caught in OnOpened method msg=") + e.what());
  } catch (...) {
    throw Pylon::RuntimeException("Could not apply configuration. Unknown exception caught in OnOpened method.");
  }
}

// Hands each grabbed image of one camera to the frame's delivery.
class CamAce::ImageHandler : public Pylon::CImageEventHandler {
 public:
  ImageHandler(CamAce& owner, int index) : owner_(owner), index_(index) {}
  void OnImageGrabbed(Pylon::CInstantCamera&, const Pylon::CGrabResultPtr& grab) override {
    owner_.imageGrabbed(index_, grab);
  }

 private:
  CamAce& owner_;
  int index_;
};

CamAce::CamAce() : Zelcam3DFrame25(aceConfig()) {
  // One initialisation per camera record; tear-down terminates once per record.
  for (AceCamera& cam : cams_) {
    Pylon::PylonInitialize();
    cam.pylonInitialized = true;
  }
}

CamAce::~CamAce() {
  // Only reached without tear-down when construction failed half-way.
  for (AceCamera& cam : cams_) {
    discard(cam);
    if (cam.pylonInitialized) Pylon::PylonTerminate(true);
    cam.pylonInitialized = false;
  }
}

void CamAce::discard(AceCamera& cam) {
  // The instant camera goes first: it stops its grab thread, which may be
  // using a configuration handler's node map.
  cam.camera.reset();
  cam.software.reset();
  cam.hardware.reset();
}

bool CamAce::openCamera(CameraRecord& record, int, int) {
  AceCamera& cam = cams_[static_cast<std::size_t>(record.index())];
  std::lock_guard<std::mutex> lock(cam.mutex);
  ZEL_LOG("try to open camera-%d\n", record.number);
  try {
    Pylon::CDeviceInfo info;
    info.SetUserDefinedName(std::to_string(record.number + 10));
    cam.camera = std::make_unique<Pylon::CInstantCamera>(Pylon::CTlFactory::GetInstance().CreateDevice(info),
                                                         Pylon::Cleanup_Delete);
    cam.software = std::make_unique<Pylon::CSoftwareTriggerConfiguration>();
    cam.hardware = std::make_unique<HardwareTriggerConfiguration>();
    record.triggerMode = 1;
    cam.camera->RegisterConfiguration(cam.software.get(), Pylon::RegistrationMode_ReplaceAll, Pylon::Cleanup_None);
    cam.camera->RegisterImageEventHandler(new ImageHandler(*this, record.index()), Pylon::RegistrationMode_Append,
                                          Pylon::Cleanup_Delete);
    cam.camera->Open();

    const auto width = static_cast<std::int32_t>(readInteger(cam, "Width"));
    const auto height = static_cast<std::int32_t>(readInteger(cam, "Height"));
    const auto packetSize = static_cast<std::int32_t>(readInteger(cam, "GevSCPSPacketSize"));
    ZEL_LOG(" image size:\t%d,%d\n", width, height);
    ZEL_LOG(" packet size:\t%d\n", packetSize);
    // A camera whose size cannot be read would take frames into host
    // buffers of unknown size: it is not opened.
    if (width <= 0 || height <= 0) throw Pylon::RuntimeException("the camera's Width and Height cannot be read");
    record.width = width;
    record.height = height;

    // Inter-packet delay in timestamp ticks: the time one packet takes at the
    // camera's share of the link.
    const auto tickFrequency = static_cast<std::int32_t>(readInteger(cam, "GevTimestampTickFrequency"));
    ZEL_LOG(" GevSCPD(now):\t%d\n", static_cast<int>(readInteger(cam, "GevSCPD")));
    const auto delay = static_cast<std::int32_t>(packetSize / kLinkShareBytesPerSecond * tickFrequency);
    writeInteger(cam, "GevSCPD", delay);
    ZEL_LOG(" GevSCPD(changed):\t%d\n", static_cast<int>(readInteger(cam, "GevSCPD")));

    cam.camera->StartGrabbing(Pylon::GrabStrategy_OneByOne, Pylon::GrabLoop_ProvidedByInstantCamera);
    ZEL_LOG("succeeded!");
    return true;
  } catch (const Pylon::GenericException& e) {
    ZEL_LOG("error: open camera-%d: %s", record.number, e.GetDescription());
  } catch (const std::exception& e) {
    ZEL_LOG("error: open camera-%d: %s", record.number, e.what());
  }
  // A camera that did not open gives its device back at once, so that the
  // next open can take it again.
  discard(cam);
  return false;
}

bool CamAce::closeCamera(CameraRecord& record) {
  AceCamera& cam = cams_[static_cast<std::size_t>(record.index())];
  std::lock_guard<std::mutex> lock(cam.mutex);
  try {
    if (cam.camera) {
      Pylon::CConfigurationEventHandler* current =
          record.triggerMode.load() == 1 ? static_cast<Pylon::CConfigurationEventHandler*>(cam.software.get())
                                         : cam.hardware.get();
      cam.camera->DeregisterConfiguration(current);
      cam.software.reset();
      cam.hardware.reset();
      cam.camera->Close();
      cam.camera->DestroyDevice();
    }
  } catch (const Pylon::GenericException& e) {
    ZEL_LOG("error: %s", e.GetDescription());
    return false;
  }
  discard(cam);
  return true;
}

void CamAce::releaseCamera(CameraRecord& record) {
  AceCamera& cam = cams_[static_cast<std::size_t>(record.index())];
  {
    std::lock_guard<std::mutex> lock(cam.mutex);
    discard(cam);
  }
  if (cam.pylonInitialized) {
    Pylon::PylonTerminate(true);
    cam.pylonInitialized = false;
  }
}

void CamAce::triggerCamera(CameraRecord& record) {
  AceCamera& cam = cams_[static_cast<std::size_t>(record.index())];
  std::lock_guard<std::mutex> lock(cam.mutex);
  if (!cam.camera) return;
  try {
    cam.camera->ExecuteSoftwareTrigger();
  } catch (const Pylon::GenericException& e) {
    ZEL_LOG("error: %s", e.GetDescription());
  }
}

void CamAce::imageGrabbed(int index, const Pylon::CGrabResultPtr& grab) {
  if (!grab.IsValid() || !grab->GrabSucceeded()) return;
  const CameraRecord& rec = record(index);
  const std::size_t expected = static_cast<std::size_t>(rec.width) * static_cast<std::size_t>(rec.height);
  // Only a whole 8-bit frame of the size read at open fits the host's
  // buffer; anything else (another pixel format, a changed size) is dropped.
  if (grab->GetImageSize() != expected) {
    ZEL_LOG("error: camera-%d image size %zu, expected %zu\n", rec.number, grab->GetImageSize(), expected);
    return;
  }
  deliverFrame(index, grab->GetBuffer(), grab->GetImageSize());
}

// --- features ---

std::int64_t CamAce::readInteger(AceCamera& cam, const char* name) {
  if (!cam.camera) return -1;
  try {
    GenApi::CIntegerPtr node(cam.camera->GetNodeMap().GetNode(name));
    if (!node) return -1;
    return node->GetValue();
  } catch (const Pylon::GenericException& e) {
    ZEL_LOG("error: %s", e.GetDescription());
    return -1;
  }
}

std::int64_t CamAce::writeInteger(AceCamera& cam, const char* name, std::int64_t value) {
  if (!cam.camera) return -1;
  try {
    GenApi::CIntegerPtr node(cam.camera->GetNodeMap().GetNode(name));
    if (!node) return -1;
    node->SetValue(value, true);
    return node->GetValue();
  } catch (const Pylon::GenericException& e) {
    ZEL_LOG("error: %s", e.GetDescription());
    return -1;
  }
}

int CamAce::readFeature(int camera, const char* name) {
  if (!openRecord(camera)) return -1;
  AceCamera& cam = cams_[static_cast<std::size_t>(camera)];
  std::lock_guard<std::mutex> lock(cam.mutex);
  return static_cast<int>(readInteger(cam, name));
}

bool CamAce::writeFeature(int camera, const char* name, int value) {
  if (!openRecord(camera)) return false;
  AceCamera& cam = cams_[static_cast<std::size_t>(camera)];
  std::lock_guard<std::mutex> lock(cam.mutex);
  return writeInteger(cam, name, value) >= 0;
}

int CamAce::getExposure(int camera) { return readFeature(camera, "ExposureTimeRaw"); }
int CamAce::getGain(int camera) { return readFeature(camera, "GainRaw"); }
bool CamAce::setExposure(int camera, int value) { return writeFeature(camera, "ExposureTimeRaw", value); }
bool CamAce::setGain(int camera, int value) { return writeFeature(camera, "GainRaw", value); }

// --- trigger mode ---

bool CamAce::setTriggerMode(int mode) {
  bool both = true;
  for (int i = 0; i < kCameraCount; ++i) both = setTriggerModeOf(record(i), mode) && both;
  return both;
}

bool CamAce::setTriggerModeOf(CameraRecord& rec, int mode) {
  if (!rec.opened.load()) return false;
  // Only the two modes exist; any other value would register one trigger
  // configuration and apply the other.
  if (mode != 0 && mode != 1) {
    ZEL_LOG("error: camera-%d invalid trigger mode: %d\n", rec.number, mode);
    return false;
  }
  AceCamera& cam = cams_[static_cast<std::size_t>(rec.index())];
  std::lock_guard<std::mutex> lock(cam.mutex);
  if (!cam.camera) return false;
  auto handlerOf = [&](int m) -> Pylon::CConfigurationEventHandler* {
    if (m == 1) return cam.software.get();
    return cam.hardware.get();
  };
  try {
    cam.camera->DeregisterConfiguration(handlerOf(rec.triggerMode.load()));
    cam.camera->RegisterConfiguration(handlerOf(mode), Pylon::RegistrationMode_ReplaceAll, Pylon::Cleanup_None);
    if (mode == 0) {
      HardwareTriggerConfiguration::ApplyConfiguration(cam.camera->GetNodeMap());
    } else {
      Pylon::CSoftwareTriggerConfiguration::ApplyConfiguration(cam.camera->GetNodeMap());
    }
  } catch (const Pylon::GenericException& e) {
    ZEL_LOG("error: %s", e.GetDescription());
    return false;
  } catch (const std::exception& e) {
    ZEL_LOG("error: %s", e.what());
    return false;
  }
  rec.triggerMode = mode;
  return true;
}

}  // namespace camera::ace

extern "C" ZELCAM_EXPORT IZelcam3D* CreateIZelcam3DInstance() {
  try {
    return new camera::Plugin<camera::ace::CamAce>();
  } catch (...) {
    return nullptr;
  }
}
