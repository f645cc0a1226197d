// The live head with Aravis as the independent client, inside a private
// network namespace: discovery by name, every feature through arv-tool,
// frames in software and hardware trigger equal to the rendered images, packet
// resend under loss, the stereo head's registers and projector channel, and
// zelsim serve's run-time faults.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arv.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "sim/gige/testing/private_netns.h"
#include "sim/head/live_head.h"
#include "sim/head/published_images.h"
#include "sim/head/register_map.h"
#include "sim/projector/virtual_projector.h"

namespace sim::head {
namespace {

constexpr int kWidth = 640, kHeight = 512;

// Aravis keeps global state (its interfaces) until arv_shutdown, which must
// run once after every Aravis object is gone.
class AravisEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { arv_shutdown(); }
};
[[maybe_unused]] ::testing::Environment* const kAravis = ::testing::AddGlobalTestEnvironment(new AravisEnvironment);

std::string cacheDir() {
  return (std::filesystem::temp_directory_path() / ("zel_head_test_cache-" + std::to_string(::getuid()))).string();
}

// Output and exit status of a shell command (stderr joined).
std::pair<int, std::string> run(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return {-1, out};
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = ::pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// A TCP client of the projector: sends a command, waits for its ":OK" line.
class ProjectorClient {
 public:
  explicit ProjectorClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
    timeval tv{2, 0};
    if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~ProjectorClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  bool command(const std::string& text) {
    std::string t = text + "\r";
    if (::send(fd_, t.data(), t.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(t.size())) return false;
    std::string reply;
    char buf[256];
    while (reply.find(":OK") == std::string::npos) {
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0 || reply.find(":ERR") != std::string::npos) return false;
      reply.append(buf, static_cast<size_t>(n));
    }
    return true;
  }

 private:
  int fd_ = -1;
};

// One projector and both device kinds: cameras at 127.0.0.2 and .3 ("11",
// "12"), the stereo head at 127.0.0.4 ("head"), images of 640 x 512.
class LiveHeadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!sim::netns::inPrivateNetwork()) return;
    images_ = new SceneImages;
    SceneImageOptions o;
    o.sceneName = "demo";
    o.width = kWidth;
    o.height = kHeight;
    o.supersample = 1;
    o.cacheDir = cacheDir();
    std::string error;
    if (!loadSceneImages(o, *images_, &error)) {
      setupError_ = new std::string("images: " + error);
      return;
    }
    projector_ = new sim::VirtualProjector;
    sim::ProjectorOptions po;
    po.tcpPort = 0;
    po.sequenceStepMs = 20;
    if (!projector_->start(po, &error)) {
      setupError_ = new std::string("projector: " + error);
      return;
    }
    cameras_ = new LiveHead(*images_, projector_->state());
    LiveHeadOptions co;
    co.publishName = "zel_head_test_" + std::to_string(::getpid());
    if (!cameras_->start(co, &error)) {
      setupError_ = new std::string("cameras: " + error);
      return;
    }
    head_ = new LiveHead(*images_, projector_->state());
    LiveHeadOptions ho;
    ho.kind = HeadKind::Stereo;
    ho.addresses = {"127.0.0.4"};
    if (!head_->start(ho, &error)) setupError_ = new std::string("head: " + error);
  }
  static void TearDownTestSuite() {
    if (projector_) projector_->stop();
    delete head_;
    delete cameras_;
    delete projector_;
    delete images_;
    delete setupError_;
    head_ = cameras_ = nullptr;
    projector_ = nullptr;
    images_ = nullptr;
    setupError_ = nullptr;
  }
  void SetUp() override {
    ZEL_REQUIRE_PRIVATE_NETNS();
    ASSERT_EQ(setupError_, nullptr) << *setupError_;
    cameras_->setFaults(-1, {});
    head_->setFaults(-1, {});
  }

  static SceneImages* images_;
  static sim::VirtualProjector* projector_;
  static LiveHead* cameras_;
  static LiveHead* head_;
  static std::string* setupError_;
};

SceneImages* LiveHeadTest::images_ = nullptr;
sim::VirtualProjector* LiveHeadTest::projector_ = nullptr;
LiveHead* LiveHeadTest::cameras_ = nullptr;
LiveHead* LiveHeadTest::head_ = nullptr;
std::string* LiveHeadTest::setupError_ = nullptr;

TEST_F(LiveHeadTest, ArvToolListsAllDevicesAndReadsAndWritesEveryFeature) {
  auto [status, list] = run("arv-tool-0.8");
  ASSERT_EQ(status, 0) << list;
  for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
    EXPECT_NE(list.find(address), std::string::npos) << list;

  // arv-tool takes a numeric name for an address, so the cameras go by
  // address here and show their names in DeviceUserID; the head by name.
  auto [s1, features] = run(
      "arv-tool-0.8 -a 127.0.0.2 control Width Height PixelFormat PayloadSize ExposureTimeRaw GainRaw TriggerSelector "
      "TriggerMode TriggerSource TriggerActivation AcquisitionMode TLParamsLocked DeviceUserID GevSCPSPacketSize "
      "GevSCPD GevTimestampTickFrequency");
  ASSERT_EQ(s1, 0) << features;
  for (const char* line : {"Width = 640", "Height = 512", "PixelFormat = Mono8", "PayloadSize = 327680",
                           "ExposureTimeRaw = 10000", "GainRaw = 100", "TriggerSelector = FrameStart",
                           "TriggerActivation = RisingEdge", "AcquisitionMode = Continuous", "DeviceUserID = 11"})
    EXPECT_NE(features.find(line), std::string::npos) << line << "\n" << features;

  // Writes, read back through a second run; the commands execute.
  auto [s2, writes] =
      run("arv-tool-0.8 -a 127.0.0.3 control ExposureTimeRaw=12345 GainRaw=150 TriggerSelector=AcquisitionStart "
          "TriggerMode=On TriggerSource=Hardware TriggerSelector=FrameStart TriggerMode=On TriggerSource=Line1 "
          "TriggerActivation=RisingEdge AcquisitionMode=Continuous GevSCPSPacketSize=1400 "
          "GevSCPD=777 Width=640 Height=512 PixelFormat=Mono8 AcquisitionStart AcquisitionStop TriggerSoftware "
          "GevTimestampControlReset DeviceUserID=12 TLParamsLocked=1 Height=512");
  ASSERT_EQ(s2, 0) << writes;
  // Locked: the image format is refused.
  EXPECT_NE(writes.find("access-denied"), std::string::npos) << writes;
  auto [s3, back] =
      run("arv-tool-0.8 -a 127.0.0.3 control ExposureTimeRaw GainRaw TriggerSource TLParamsLocked GevSCPSPacketSize "
          "GevSCPD "
          "TriggerSelector=AcquisitionStart TriggerSource");
  ASSERT_EQ(s3, 0) << back;
  // TLParamsLocked cleared when arv-tool gave up control.
  for (const char* line : {"ExposureTimeRaw = 12345", "GainRaw = 150", "TriggerSource = Line1", "TLParamsLocked = 0",
                           "GevSCPSPacketSize = 1400", "GevSCPD = 777", "TriggerSource = Hardware"})
    EXPECT_NE(back.find(line), std::string::npos) << line << "\n" << back;
  // Mono16 is listed but refused: the value stays Mono8.
  auto [s6, refused] = run("arv-tool-0.8 -a 127.0.0.3 control PixelFormat=Mono16");
  EXPECT_NE(refused.find("invalid-parameter"), std::string::npos) << refused;
  auto [s4, format] = run("arv-tool-0.8 -a 127.0.0.3 control PixelFormat ExposureTimeRaw=10000 GainRaw=100");
  EXPECT_NE(format.find("PixelFormat = Mono8"), std::string::npos) << format;

  // The head's features come from its zipped XML.
  auto [s5, head] = run("arv-tool-0.8 -n head control Width Height PayloadSize TLParamsLocked HeadFirmware");
  ASSERT_EQ(s5, 0) << head;
  for (const char* line : {"Width = 1280", "Height = 512", "PayloadSize = 655360", "HeadFirmware = 17039879"})
    EXPECT_NE(head.find(line), std::string::npos) << line << "\n" << head;
}

// One camera opened by name through ArvCamera, with a stream.
struct ArvCam {
  ArvCamera* camera = nullptr;
  ArvStream* stream = nullptr;
  std::string error;

  ArvCam(const char* name, bool packetSocket) {
    GError* e = nullptr;
    camera = arv_camera_new(name, &e);
    if (!camera) {
      fail(e);
      return;
    }
    arv_camera_set_range_check_policy(camera, ARV_RANGE_CHECK_POLICY_ENABLE);
    // Aravis receives through a packet socket where it may, else through a
    // plain UDP socket: both paths are tested.
    arv_gv_device_set_stream_options(
        ARV_GV_DEVICE(arv_camera_get_device(camera)),
        packetSocket ? ARV_GV_STREAM_OPTION_NONE : ARV_GV_STREAM_OPTION_PACKET_SOCKET_DISABLED);
    arv_camera_gv_set_packet_size(camera, 1500, &e);  // before the stream exists
    // The plug-ins' pacing: one packet per 1500 / 100 MiB/s in 125 MHz ticks.
    // Unpaced, the first frame's burst overruns the stream socket before
    // Aravis gets to enlarge its receive buffer.
    if (!e) arv_device_set_integer_feature_value(arv_camera_get_device(camera), "GevSCPD", 1788, &e);
    if (e) {
      fail(e);
      return;
    }
    stream = arv_camera_create_stream(camera, nullptr, nullptr, &e);
    if (!stream) {
      fail(e);
      return;
    }
    g_object_set(stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size", 8 << 20, nullptr);
    gint payload = arv_camera_get_payload(camera, &e);
    if (e) {
      fail(e);
      return;
    }
    for (int i = 0; i < 8; ++i) arv_stream_push_buffer(stream, arv_buffer_new(static_cast<size_t>(payload), nullptr));
  }
  ~ArvCam() {
    if (camera && stream) arv_camera_stop_acquisition(camera, nullptr);
    if (stream) g_object_unref(stream);
    if (camera) g_object_unref(camera);
  }
  void fail(GError* e) {
    error = e ? e->message : "unknown error";
    if (e) g_error_free(e);
  }
  bool ok() const { return error.empty(); }

  // Next frame; compares it with the expected image byte for byte.
  ::testing::AssertionResult expectFrame(const uint8_t* expected, size_t bytes) {
    ArvBuffer* b = arv_stream_timeout_pop_buffer(stream, 3000000);
    if (!b) return ::testing::AssertionFailure() << "no frame within 3 s";
    ::testing::AssertionResult r = ::testing::AssertionSuccess();
    size_t size = 0;
    const void* data = arv_buffer_get_data(b, &size);
    if (arv_buffer_get_status(b) != ARV_BUFFER_STATUS_SUCCESS)
      r = ::testing::AssertionFailure() << "buffer status " << arv_buffer_get_status(b);
    else if (size != bytes || std::memcmp(data, expected, bytes) != 0) {
      size_t at = 0, differing = 0;
      const auto* got = static_cast<const uint8_t*>(data);
      for (size_t i = 0; i < std::min(size, bytes); ++i)
        if (got[i] != expected[i]) {
          if (differing++ == 0) at = i;
        }
      r = ::testing::AssertionFailure() << "frame differs from the rendered image (" << size << " bytes, " << differing
                                        << " differ, first at " << at << ")";
    }
    arv_stream_push_buffer(stream, b);
    return r;
  }
  guint64 failures() const {
    guint64 completed = 0, failed = 0, underruns = 0;
    arv_stream_get_statistics(stream, &completed, &failed, &underruns);
    return failed + underruns;
  }
};

void updateDeviceList() { arv_update_device_list(); }  // numeric names open nothing without it

TEST_F(LiveHeadTest, SoftwareTriggerFramesEqualTheRenderedPatternsUnderPacketLoss) {
  updateDeviceList();
  const size_t bytes = images_->frameBytes();
  for (double loss : {0.0, 0.02}) {
    SCOPED_TRACE(loss);
    sim::gige::DeviceFaults f;
    f.packetLoss = loss;
    cameras_->setFaults(-1, f);
    ArvCam left("11", /*packetSocket=*/loss == 0), right("12", loss == 0);
    ASSERT_TRUE(left.ok()) << left.error;
    ASSERT_TRUE(right.ok()) << right.error;
    uint64_t droppedBefore = cameras_->device(0).counters().packetsDropped;
    GError* e = nullptr;
    arv_device_set_integer_feature_value(arv_camera_get_device(left.camera), "ExposureTimeRaw", 2000000, &e);
    EXPECT_NE(e, nullptr) << "out of the feature's range";
    if (e) g_error_free(e);
    for (ArvCam* c : {&left, &right}) {
      arv_camera_set_trigger(c->camera, "Software", nullptr);
      arv_camera_start_acquisition(c->camera, nullptr);
    }
    for (int k = 0; k < 26; ++k) {
      projector_->state().showPattern(k % 13);
      arv_camera_software_trigger(left.camera, nullptr);
      arv_camera_software_trigger(right.camera, nullptr);
      ASSERT_TRUE(left.expectFrame(images_->image(0, k % 13), bytes)) << "frame " << k;
      ASSERT_TRUE(right.expectFrame(images_->image(1, k % 13), bytes)) << "frame " << k;
    }
    EXPECT_EQ(left.failures() + right.failures(), 0u);
    if (loss > 0) {
      EXPECT_GT(cameras_->device(0).counters().packetsDropped, droppedBefore);
      EXPECT_GT(cameras_->device(0).counters().packetsResent, 0u);
      // Incomplete frames: their lost packets are gone for good; Aravis
      // reports the frame failed, never a frame with holes as good.
      f.incompleteFrames = 1;
      cameras_->setFaults(0, f);
      arv_camera_software_trigger(left.camera, nullptr);
      ArvBuffer* b = arv_stream_timeout_pop_buffer(left.stream, 3000000);
      ASSERT_NE(b, nullptr);
      EXPECT_NE(arv_buffer_get_status(b), ARV_BUFFER_STATUS_SUCCESS);
      arv_stream_push_buffer(left.stream, b);
    }
  }
}

TEST_F(LiveHeadTest, HardwareTriggerFiresOneFramePerProjectorCommand) {
  updateDeviceList();
  ProjectorClient projector(projector_->tcpPort());
  ASSERT_TRUE(projector.ok());
  ArvCam left("11", false), right("12", true);
  ASSERT_TRUE(left.ok()) << left.error;
  ASSERT_TRUE(right.ok()) << right.error;
  for (ArvCam* c : {&left, &right}) {
    arv_camera_set_trigger(c->camera, "Line1", nullptr);
    arv_camera_start_acquisition(c->camera, nullptr);
  }
  const size_t bytes = images_->frameBytes();
  for (int k = 0; k < 26; ++k) {
    int pattern = (k * 5) % 13;
    ASSERT_TRUE(projector.command("p" + std::to_string(pattern)));
    ASSERT_TRUE(left.expectFrame(images_->image(0, pattern), bytes)) << "frame " << k;
    ASSERT_TRUE(right.expectFrame(images_->image(1, pattern), bytes)) << "frame " << k;
  }
  // A software trigger is refused in Line1 mode.
  GError* e = nullptr;
  arv_camera_software_trigger(left.camera, &e);
  EXPECT_NE(e, nullptr);
  if (e) g_error_free(e);
  EXPECT_EQ(left.failures() + right.failures(), 0u);

  // The published images follow the projector.
  auto reader = ImagesReader::open("zel_head_test_" + std::to_string(::getpid()));
  ASSERT_TRUE(reader);
  PublishedImages now;
  ASSERT_TRUE(reader->read(&now));
  EXPECT_EQ(now.pattern, (25 * 5) % 13);
  EXPECT_EQ(now.width, kWidth);
  EXPECT_EQ(0, std::memcmp(now.right.data(), images_->image(1, now.pattern), bytes));
}

TEST_F(LiveHeadTest, StereoHeadRegistersChannelAndFramesPerPattern) {
  updateDeviceList();
  GError* e = nullptr;
  ArvCamera* camera = arv_camera_new("head", &e);
  ASSERT_NE(camera, nullptr) << (e ? e->message : "");
  arv_camera_set_range_check_policy(camera, ARV_RANGE_CHECK_POLICY_ENABLE);
  ArvDevice* device = arv_camera_get_device(camera);
  auto writeReg = [&](uint32_t address, uint32_t value) {
    GError* err = nullptr;
    bool ok = arv_device_write_register(device, address, value, &err);
    if (err) g_error_free(err);
    return ok;
  };
  auto readReg = [&](uint32_t address) {
    guint32 v = 0;
    arv_device_read_register(device, address, &v, nullptr);
    return v;
  };
  auto sendText = [&](const std::string& text) {
    for (char c : text) {
      uint32_t code = static_cast<uint8_t>(c);
      if (!writeReg(headreg::kProjectorChannel, ((~code & 0xFFFFu) << 16) | code)) return false;
    }
    return true;
  };
  EXPECT_EQ(readReg(headreg::kFirmware), headreg::kFirmwareVersion);
  for (uint32_t reg :
       {headreg::kExposure, headreg::kAnalogGain, headreg::kGain, headreg::kTransferMode, headreg::kPixelClockDelay}) {
    ASSERT_TRUE(writeReg(reg, 2));
    EXPECT_EQ(readReg(reg), 2u);
  }
  EXPECT_FALSE(writeReg(headreg::kFirmware, 5));
  ASSERT_TRUE(writeReg(headreg::kExposure, 10000));
  ASSERT_TRUE(writeReg(headreg::kAnalogGain, 0));
  ASSERT_TRUE(writeReg(headreg::kGain, 100));

  // Projector texts through the channel; a wrong complement is refused.
  ASSERT_TRUE(sendText("o6\r"));
  EXPECT_EQ(projector_->state().snapshot().pattern, 6);
  uint64_t refused = head_->refusedChannelWrites();
  EXPECT_FALSE(writeReg(headreg::kProjectorChannel, 0x12340069));
  EXPECT_EQ(head_->refusedChannelWrites(), refused + 1);
  ASSERT_TRUE(sendText("i\r"));
  EXPECT_EQ(readReg(headreg::kProjectorChannel), 255u);
  EXPECT_EQ(readReg(headreg::kProjectorChannel), 0u);

  // Trigger 1: one side-by-side frame per pattern the channel shows.
  ASSERT_TRUE(writeReg(headreg::kTrigger, 1));
  ArvStream* stream = arv_camera_create_stream(camera, nullptr, nullptr, &e);
  ASSERT_NE(stream, nullptr) << (e ? e->message : "");
  g_object_set(stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size", 8 << 20, nullptr);
  const size_t frame = 2 * images_->frameBytes();
  EXPECT_EQ(arv_camera_get_payload(camera, nullptr), static_cast<gint>(frame));
  for (int i = 0; i < 4; ++i) arv_stream_push_buffer(stream, arv_buffer_new(frame, nullptr));
  ASSERT_TRUE(writeReg(headreg::kStreamStart, 0));
  arv_camera_start_acquisition(camera, nullptr);
  std::vector<uint8_t> expected(frame);
  for (int pattern : {3, 9, 12}) {
    ASSERT_TRUE(sendText("o" + std::to_string(pattern) + "\r"));
    for (int y = 0; y < kHeight; ++y) {
      std::memcpy(&expected[y * 2 * kWidth], images_->image(0, pattern) + y * kWidth, kWidth);
      std::memcpy(&expected[y * 2 * kWidth + kWidth], images_->image(1, pattern) + y * kWidth, kWidth);
    }
    ArvBuffer* b = arv_stream_timeout_pop_buffer(stream, 3000000);
    ASSERT_NE(b, nullptr) << "pattern " << pattern;
    size_t size = 0;
    const void* data = arv_buffer_get_data(b, &size);
    EXPECT_EQ(arv_buffer_get_status(b), ARV_BUFFER_STATUS_SUCCESS);
    EXPECT_EQ(size, frame);
    EXPECT_TRUE(size == frame && std::memcmp(data, expected.data(), frame) == 0) << "pattern " << pattern;
    arv_stream_push_buffer(stream, b);
  }
  arv_camera_stop_acquisition(camera, nullptr);
  g_object_unref(stream);
  g_object_unref(camera);
}

TEST(ServeCommandLine, HelpAndUsageErrors) {
  const char* bin = std::getenv("ZEL_BINARY_DIR");
  ASSERT_NE(bin, nullptr) << "ZEL_BINARY_DIR not set";
  const std::string zelsim = std::string(bin) + "/bin/zelsim serve";
  auto [s1, help] = run(zelsim + " --help");
  EXPECT_EQ(s1, 0);
  for (const char* text : {"--head cameras", "--head stereo", "0x00300004", "--control FILE", "--publish NAME",
                           "TriggerSoftware", "--loss F"})
    EXPECT_NE(help.find(text), std::string::npos) << text;
  EXPECT_EQ(run(zelsim + " --head cameras").first, 2);                          // no scene
  EXPECT_EQ(run(zelsim + " --scene demo --head both").first, 2);                // bad kind
  EXPECT_EQ(run(zelsim + " --scene demo --head cameras --loss 1.5").first, 2);  // not a fraction
  EXPECT_EQ(run(zelsim + " --scene demo --head stereo --vanish 1").first, 2);   // one device only
  auto [s2, missing] = run(zelsim + " --scene-file /nonexistent.yaml --head cameras --no-cache");
  EXPECT_EQ(s2, 1) << missing;
}

// zelsim serve as its own process: eBUS-family names, the control file
// makes a device vanish and come back.
TEST_F(LiveHeadTest, ServeCommandAppliesControlFileFaults) {
  const char* bin = std::getenv("ZEL_BINARY_DIR");
  ASSERT_NE(bin, nullptr) << "ZEL_BINARY_DIR not set";
  const std::string control = cacheDir() + "/control-" + std::to_string(::getpid());
  std::ofstream(control) << "# nothing yet\n";
  const std::string log = control + ".log";
  const std::string cmd = std::string(bin) +
                          "/bin/zelsim serve --scene plane --head cameras --size 64x48 "
                          "--supersample 1 --noise 0 --cache " +
                          cacheDir() +
                          " --address 127.0.0.5 --address "
                          "127.0.0.6 --name 1 --name 2 --tcp 127.0.0.1:0 --no-publish --control " +
                          control;
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0 || ::dup2(fd, STDERR_FILENO) < 0) ::_exit(126);
    ::execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  auto logText = [&] {
    std::ifstream in(log);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  bool ready = false;
  for (int i = 0; i < 600 && !ready; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ready = logText().find("ready") != std::string::npos;
  }
  EXPECT_TRUE(ready) << logText();
  if (ready) {
    auto [s1, name] = run("arv-tool-0.8 -a 127.0.0.6 control DeviceUserID Width");
    EXPECT_NE(name.find("DeviceUserID = 2"), std::string::npos) << name;
    EXPECT_NE(name.find("Width = 64"), std::string::npos) << name;
    std::ofstream(control) << "device 1 vanish 1\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    auto [s2, gone] = run("arv-tool-0.8 -a 127.0.0.6 control DeviceUserID");
    EXPECT_EQ(gone.find("DeviceUserID = 2"), std::string::npos) << gone;
    std::ofstream(control) << "device 1 vanish 0\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    auto [s3, back] = run("arv-tool-0.8 -a 127.0.0.6 control DeviceUserID");
    EXPECT_NE(back.find("DeviceUserID = 2"), std::string::npos) << back;
    std::ofstream(control) << "loss 7\n";  // refused, reported, nothing changes
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << logText();
  std::remove(control.c_str());
  std::remove(log.c_str());
}

}  // namespace
}  // namespace sim::head
