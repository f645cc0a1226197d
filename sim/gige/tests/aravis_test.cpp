// Aravis, an independent GigE Vision client, talks to our Device inside the
// private network namespace: arv-tool-0.8 (a child process) finds it by
// broadcast discovery and reads and writes its features through a GenICam
// file of our own; ArvCamera + ArvStream stream frames from it byte for byte.
#include <arv.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "gevlink/wire/gvcp.h"
#include "gevlink/wire/gvsp.h"
#include "sim/gige/device.h"
#include "sim/gige/testing/private_netns.h"

namespace sim::gige {
namespace {

namespace wire = gevlink::wire;

constexpr uint32_t kWidthReg = 0x20000, kHeightReg = 0x20004, kPayloadReg = 0x20008, kStartReg = 0x2000C,
                   kStopReg = 0x20010, kLockedReg = 0x20014;

// The smallest camera Aravis accepts: a frame size, its payload, start/stop.
const char kXml[] = R"(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="TinyCamera" VendorName="zelcam" ToolTip="test camera"
  StandardNameSpace="GEV" SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0"
  MajorVersion="1" MinorVersion="0" SubMinorVersion="0"
  ProductGuid="5d2b8f6e-6a0e-4d3c-9d7e-1b0f3c2a4e01" VersionGuid="5d2b8f6e-6a0e-4d3c-9d7e-1b0f3c2a4e02"
  xmlns="http://www.genicam.org/GenApi/Version_1_1">
  <Category Name="Root" NameSpace="Standard">
    <pFeature>Width</pFeature><pFeature>Height</pFeature><pFeature>PayloadSize</pFeature>
    <pFeature>AcquisitionStart</pFeature><pFeature>AcquisitionStop</pFeature>
    <pFeature>TLParamsLocked</pFeature><pFeature>DeviceUserID</pFeature>
    <pFeature>GevSCPSPacketSize</pFeature><pFeature>GevSCPSFireTestPacket</pFeature><pFeature>GevSCPD</pFeature>
  </Category>
  <Integer Name="Width" NameSpace="Standard"><pValue>WidthReg</pValue><Min>8</Min><Max>1024</Max><Inc>8</Inc></Integer>
  <IntReg Name="WidthReg"><Address>0x20000</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <Integer Name="Height" NameSpace="Standard"><pValue>HeightReg</pValue><Min>1</Min><Max>1024</Max><Inc>1</Inc></Integer>
  <IntReg Name="HeightReg"><Address>0x20004</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <Integer Name="PayloadSize" NameSpace="Standard"><pValue>PayloadSizeReg</pValue></Integer>
  <IntReg Name="PayloadSizeReg"><Address>0x20008</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <Command Name="AcquisitionStart" NameSpace="Standard"><pValue>AcquisitionStartReg</pValue><CommandValue>1</CommandValue></Command>
  <IntReg Name="AcquisitionStartReg"><Address>0x2000C</Address><Length>4</Length><AccessMode>WO</AccessMode><pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <Command Name="AcquisitionStop" NameSpace="Standard"><pValue>AcquisitionStopReg</pValue><CommandValue>1</CommandValue></Command>
  <IntReg Name="AcquisitionStopReg"><Address>0x20010</Address><Length>4</Length><AccessMode>WO</AccessMode><pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <Integer Name="TLParamsLocked" NameSpace="Standard"><pValue>TLParamsLockedReg</pValue><Min>0</Min><Max>1</Max></Integer>
  <IntReg Name="TLParamsLockedReg"><Address>0x20014</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <StringReg Name="DeviceUserID" NameSpace="Standard"><Address>0xE8</Address><Length>16</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></StringReg>
  <Integer Name="GevSCPSPacketSize" NameSpace="Standard"><pValue>GevSCPSPacketSizeReg</pValue><Min>576</Min><Max>9000</Max><Inc>4</Inc></Integer>
  <MaskedIntReg Name="GevSCPSPacketSizeReg"><Address>0x0D04</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><LSB>31</LSB><MSB>16</MSB><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></MaskedIntReg>
  <Boolean Name="GevSCPSFireTestPacket" NameSpace="Standard"><pValue>GevSCPSFireTestPacketReg</pValue><OnValue>1</OnValue><OffValue>0</OffValue></Boolean>
  <MaskedIntReg Name="GevSCPSFireTestPacketReg"><Address>0x0D04</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Bit>0</Bit><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></MaskedIntReg>
  <Integer Name="GevSCPD" NameSpace="Standard"><pValue>GevSCPDReg</pValue><Min>0</Min><Max>100000</Max></Integer>
  <IntReg Name="GevSCPDReg"><Address>0x0D08</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <Port Name="Device" NameSpace="Standard"/>
</RegisterDescription>
)";

class TinyCamera : public RegisterSpace {
 public:
  uint16_t readRegister(uint32_t address, uint32_t& value) override {
    switch (address) {
      case kWidthReg: value = width; return wire::GEV_STATUS_SUCCESS;
      case kHeightReg: value = height; return wire::GEV_STATUS_SUCCESS;
      case kPayloadReg: value = width * height; return wire::GEV_STATUS_SUCCESS;
      case kLockedReg: value = locked; return wire::GEV_STATUS_SUCCESS;
      default: return wire::GEV_STATUS_INVALID_ADDRESS;
    }
  }
  uint16_t writeRegister(uint32_t address, uint32_t value) override {
    switch (address) {
      case kWidthReg: width = value; return wire::GEV_STATUS_SUCCESS;
      case kHeightReg: height = value; return wire::GEV_STATUS_SUCCESS;
      case kStartReg: acquiring = true; return wire::GEV_STATUS_SUCCESS;
      case kStopReg: acquiring = false; return wire::GEV_STATUS_SUCCESS;
      case kLockedReg: locked = value; return wire::GEV_STATUS_SUCCESS;
      case kPayloadReg: return wire::GEV_STATUS_WRITE_PROTECT;
      default: return wire::GEV_STATUS_INVALID_ADDRESS;
    }
  }
  std::atomic<uint32_t> width{64}, height{48}, locked{0};
  std::atomic<bool> acquiring{false};
};

std::string run(const std::string& command, bool limit = true) {
  std::string out;
  FILE* p = ::popen(((limit ? "timeout 30 " : "") + command + " 2>&1").c_str(), "r");
  if (!p) return out;
  std::array<char, 512> buffer;
  while (std::fgets(buffer.data(), buffer.size(), p)) out += buffer.data();
  ::pclose(p);
  return out;
}

class AravisTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!sim::netns::inPrivateNetwork()) return;
    DeviceConfig config;
    config.address = "127.0.0.2";
    config.identity.mac = {0x02, 0x5A, 0x45, 0x4C, 0x00, 0x11};
    config.identity.manufacturer = "zelcam";
    config.identity.model = "TinyCamera";
    config.identity.serialNumber = "TINY0011";
    config.identity.userName = "11";
    config.xmlFileName = "tiny.xml";
    config.xmlFile.assign(kXml, kXml + sizeof kXml - 1);
    camera_ = new TinyCamera;
    device_ = new Device(config, *camera_);
    std::string error;
    if (!device_->start(&error)) startError_ = error;
  }
  static void TearDownTestSuite() {
    delete device_;
    delete camera_;
    device_ = nullptr;
    camera_ = nullptr;
    // Every Aravis object is gone by now.
    arv_shutdown();
  }
  void SetUp() override {
    ZEL_REQUIRE_PRIVATE_NETNS();
    ASSERT_TRUE(startError_.empty()) << startError_;
  }
  static TinyCamera* camera_;
  static Device* device_;
  static std::string startError_;
};
TinyCamera* AravisTest::camera_ = nullptr;
Device* AravisTest::device_ = nullptr;
std::string AravisTest::startError_;

TEST_F(AravisTest, ArvToolListsReadsAndWrites) {
  if (run("command -v arv-tool-0.8", false).empty()) GTEST_SKIP() << "arv-tool-0.8 is not installed (aravis-tools-cli)";
  const std::string list = run("arv-tool-0.8");
  EXPECT_NE(list.find("TINY0011 (127.0.0.2)"), std::string::npos) << list;
  std::string out = run("arv-tool-0.8 -a 127.0.0.2 control Width Height PayloadSize DeviceUserID");
  EXPECT_NE(out.find("Width = 64"), std::string::npos) << out;
  EXPECT_NE(out.find("PayloadSize = 3072"), std::string::npos) << out;
  EXPECT_NE(out.find("DeviceUserID = 11"), std::string::npos) << out;
  out = run("arv-tool-0.8 -a 127.0.0.2 control Width=128");
  EXPECT_EQ(camera_->width.load(), 128u) << out;
  camera_->width = 64;
  out = run("arv-tool-0.8 -a 127.0.0.2 control DeviceUserID=13");
  EXPECT_EQ(device_->userName(), "13") << out;
  run("arv-tool-0.8 -a 127.0.0.2 control DeviceUserID=11");
  EXPECT_EQ(device_->userName(), "11");
  EXPECT_FALSE(device_->hasController());  // arv-tool released control on exit
}

TEST_F(AravisTest, ArvCameraStreamsFramesByteForByte) {
  // A numeric user-defined name is found only after a device list update.
  arv_update_device_list();
  GError* error = nullptr;
  ArvCamera* camera = arv_camera_new("11", &error);
  ASSERT_NE(camera, nullptr) << (error ? error->message : "");
  arv_device_set_range_check_policy(arv_camera_get_device(camera), ARV_RANGE_CHECK_POLICY_ENABLE);
  const uint32_t width = 96, height = 40;
  arv_camera_set_integer(camera, "Width", width, &error);
  ASSERT_EQ(error, nullptr) << error->message;
  arv_camera_set_integer(camera, "Height", height, &error);
  ASSERT_EQ(error, nullptr) << error->message;
  // The packet size must be set before the stream is made.
  arv_camera_gv_set_packet_size(camera, 576, &error);
  ASSERT_EQ(error, nullptr) << error->message;
  ArvStream* stream = arv_camera_create_stream(camera, nullptr, nullptr, &error);
  ASSERT_NE(stream, nullptr) << (error ? error->message : "");
  g_object_set(stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size", 4 << 20, nullptr);
  const gint payload = arv_camera_get_payload(camera, &error);
  ASSERT_EQ(payload, static_cast<gint>(width * height));
  for (int i = 0; i < 10; ++i) arv_stream_push_buffer(stream, arv_buffer_new(static_cast<size_t>(payload), nullptr));
  arv_camera_start_acquisition(camera, &error);
  ASSERT_EQ(error, nullptr) << error->message;
  EXPECT_TRUE(camera_->acquiring.load());

  std::mt19937 random(11);
  DeviceFaults faults;
  for (int frame = 0; frame < 10; ++frame) {
    // Every second frame loses a fifth of its packets: Aravis asks again.
    faults.packetLoss = frame % 2 ? 0.2 : 0.0;
    device_->setFaults(faults);
    std::vector<uint8_t> image(width * height);
    for (auto& p : image) p = static_cast<uint8_t>(random());
    ASSERT_TRUE(device_->sendFrame(image.data(), width, height, wire::kPixelMono8));
    ArvBuffer* buffer = arv_stream_timeout_pop_buffer(stream, 2'000'000);
    ASSERT_NE(buffer, nullptr) << "frame " << frame;
    EXPECT_EQ(arv_buffer_get_status(buffer), ARV_BUFFER_STATUS_SUCCESS) << "frame " << frame;
    EXPECT_EQ(arv_buffer_get_image_width(buffer), static_cast<gint>(width));
    size_t size = 0;
    const auto* data = static_cast<const uint8_t*>(arv_buffer_get_data(buffer, &size));
    ASSERT_EQ(size, image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), data)) << "frame " << frame;
    arv_stream_push_buffer(stream, buffer);
  }
  device_->setFaults(DeviceFaults{});
  EXPECT_GT(device_->counters().packetsResent, 0u);
  arv_camera_stop_acquisition(camera, &error);
  EXPECT_FALSE(camera_->acquiring.load());
  g_object_unref(stream);
  g_object_unref(camera);
  if (error) g_error_free(error);
}

}  // namespace
}  // namespace sim::gige
