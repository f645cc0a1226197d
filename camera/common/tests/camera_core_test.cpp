// The common frame with an in-test back-end: two cameras that exist or not,
// a trigger that delivers one frame, frames injected by the test.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <type_traits>
#include <vector>

#include "camera/common/izpj.h"
#include "camera/common/plugin.h"
#include "camera/common/zelcam3d_frame.h"
#include "platform/named_event.h"
#include "sim/projector/virtual_projector.h"

namespace camera {
namespace {

using namespace std::chrono_literals;

struct Delivered {
  int camera;
  std::uint32_t index;
  int width;
  int height;
  unsigned char firstByte;
};

std::mutex gDeliveredMutex;
std::vector<Delivered> gDelivered;

int recordFrame(int camera, std::uint32_t index, std::int32_t width, std::int32_t height, unsigned char* buffer) {
  std::lock_guard<std::mutex> lock(gDeliveredMutex);
  gDelivered.push_back({camera, index, width, height, buffer[0]});
  return 0;
}

std::vector<Delivered> delivered() {
  std::lock_guard<std::mutex> lock(gDeliveredMutex);
  return gDelivered;
}

template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit = 2000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

class TestCamBackend : public Zelcam3DFrame25 {
 public:
  static Config config(const char* exitEvent = nullptr) {
    Config c;
    c.logIdent = "TestCam";
    c.setLogTag = "TestCam::setLog";
    c.exitEventName = exitEvent;
    return c;
  }
  explicit TestCamBackend(bool present0 = true, bool present1 = true, const char* exitEvent = nullptr)
      : Zelcam3DFrame25(config(exitEvent)), present_{present0, present1} {}

  int getExposure(int camera) override {
    CameraRecord* cam = openRecord(camera);
    return cam ? 100 * cam->number : -1;
  }
  int getGain(int) override { return -1; }
  bool setExposure(int, int) override { return false; }
  bool setGain(int, int) override { return false; }
  bool setTriggerMode(int mode) override {
    record(0).triggerMode = mode;
    record(1).triggerMode = mode;
    return true;
  }

  bool inject(int index, const std::vector<unsigned char>& frame) {
    return deliverFrame(index, frame.data(), frame.size());
  }
  bool injectHalf(int index, const std::vector<unsigned char>& frame, std::size_t stride, std::size_t offset) {
    return deliverFrameRows(index, frame.data() + offset, stride, frame.size() - offset);
  }
  bool injectAt(int index, const std::vector<unsigned char>& frame, std::uint32_t frameIndex) {
    return deliverFrameRowsAt(index, frame.data(), static_cast<std::size_t>(record(index).width), frame.size(),
                              frameIndex);
  }
  void injectSideBySide(const std::vector<unsigned char>& frame, std::size_t stride, std::uint32_t frameIndex) {
    deliverSideBySideAt(frame.data(), stride, 8, frame.size(), frameIndex);
  }
  unsigned wakeups() const { return triggerWakeups(); }
  void shortenProjectorWaits() { setProjectorWaits(ZpjWaits().scaled(0.01)); }

  std::atomic<int> opens[2]{};
  std::atomic<int> closes[2]{};
  std::atomic<int> triggers[2]{};

 protected:
  bool openCamera(CameraRecord& cam, int, int) override {
    ++opens[cam.index()];
    if (!present_[cam.index()]) return false;
    cam.width = 8 + cam.index();
    cam.height = 4;
    return true;
  }
  bool closeCamera(CameraRecord& cam) override {
    ++closes[cam.index()];
    return true;
  }
  void triggerCamera(CameraRecord& cam) override {
    ++triggers[cam.index()];
    std::vector<unsigned char> frame(static_cast<std::size_t>(cam.width * cam.height),
                                     static_cast<unsigned char>(0x40 + cam.index()));
    deliverFrame(cam.index(), frame.data(), frame.size());
  }

 private:
  bool present_[2];
};
using TestCam = Plugin<TestCamBackend>;
// A back-end cannot be made on its own, only wrapped in Plugin, whose
// destructor runs the tear-down while the hooks still exist.
static_assert(std::is_abstract_v<TestCamBackend> && !std::is_abstract_v<TestCam>);

class CameraCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(gDeliveredMutex);
    gDelivered.clear();
  }
  unsigned char buffer0_[64] = {};
  unsigned char buffer1_[64] = {};
};

TEST_F(CameraCoreTest, FramesCountFromZeroAndResetStartsAgain) {
  TestCam cam;
  EXPECT_EQ(cam.setCallback(0, recordFrame, buffer0_), 0);
  EXPECT_EQ(cam.setCallback(1, recordFrame, buffer1_), 1);
  EXPECT_EQ(cam.setCallback(2, recordFrame, buffer1_), -1);
  ASSERT_EQ(cam.open(0, 0), 3u);
  std::vector<unsigned char> frame(8 * 4);
  for (int i = 0; i < 3; ++i) {
    frame.assign(frame.size(), static_cast<unsigned char>(i + 1));
    EXPECT_TRUE(cam.inject(0, frame));
  }
  auto d = delivered();
  ASSERT_EQ(d.size(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(d[i].camera, 0);
    EXPECT_EQ(d[i].index, i);
    EXPECT_EQ(d[i].width, 8);
    EXPECT_EQ(d[i].height, 4);
    EXPECT_EQ(d[i].firstByte, i + 1);
  }
  EXPECT_EQ(buffer0_[31], 3);
  EXPECT_EQ(buffer0_[32], 0);  // exactly width*height bytes written
  EXPECT_EQ(cam.getFrameCount(0), 3u);
  EXPECT_EQ(cam.getFrameCount(1), 0u);
  cam.resetFrameCount();
  EXPECT_EQ(cam.getFrameCount(0), 0u);
  EXPECT_TRUE(cam.inject(0, frame));
  EXPECT_EQ(delivered().back().index, 0u);
}

TEST_F(CameraCoreTest, FramesWithoutCallbackOrIncompleteAreNotDelivered) {
  TestCam cam;
  ASSERT_EQ(cam.open(0, 0), 3u);
  std::vector<unsigned char> frame(9 * 4, 7);
  EXPECT_FALSE(cam.inject(1, frame));  // no callback registered
  EXPECT_EQ(cam.getFrameCount(1), 0u);
  cam.setCallback(1, recordFrame, nullptr);
  EXPECT_FALSE(cam.inject(1, frame));  // callback but no buffer
  cam.setCallback(1, recordFrame, buffer1_);
  frame.resize(9 * 4 - 1);
  EXPECT_FALSE(cam.inject(1, frame));  // shorter than one frame
  frame.resize(200, 9);                // longer: only one frame's bytes are copied
  EXPECT_TRUE(cam.inject(1, frame));
  EXPECT_EQ(buffer1_[36], 0);
  EXPECT_EQ(delivered().size(), 1u);
}

TEST_F(CameraCoreTest, SideBySideRowsGoToTheirOwnCamera) {
  TestCam cam;
  cam.setCallback(0, recordFrame, buffer0_);
  cam.setCallback(1, recordFrame, buffer1_);
  ASSERT_EQ(cam.open(0, 0), 3u);
  // 4 rows of 8 + 9 bytes: camera-1's 8 bytes (row number), then camera-2's 9 (0x80 + row).
  const std::size_t stride = 17;
  std::vector<unsigned char> frame(stride * 4);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t x = 0; x < stride; ++x) frame[r * stride + x] = static_cast<unsigned char>(x < 8 ? r : 0x80 + r);
  }
  EXPECT_TRUE(cam.injectHalf(0, frame, stride, 0));
  EXPECT_TRUE(cam.injectHalf(1, frame, stride, 8));
  EXPECT_FALSE(cam.injectHalf(1, frame, stride, 9));  // last row would run past the frame
  for (std::size_t r = 0; r < 4; ++r) {
    EXPECT_EQ(buffer0_[r * 8 + 7], r);
    EXPECT_EQ(buffer1_[r * 9], 0x80 + r);
    EXPECT_EQ(buffer1_[r * 9 + 8], 0x80 + r);
  }
  std::vector<unsigned char> whole(9 * 4, 1);
  EXPECT_TRUE(cam.injectAt(1, whole, 41));  // the head's own frame index
  EXPECT_EQ(delivered().back().index, 41u);
  EXPECT_EQ(cam.getFrameCount(1), 1u);
}

// What camera-2's buffer held when camera-1's callback ran.
unsigned char* gOtherBuffer = nullptr;
unsigned char gOtherSeen = 0;
int recordWithOther(int camera, std::uint32_t index, std::int32_t width, std::int32_t height, unsigned char* buffer) {
  if (camera == 0) gOtherSeen = gOtherBuffer[0];
  return recordFrame(camera, index, width, height, buffer);
}

TEST_F(CameraCoreTest, SideBySideFrameFillsBothBuffersBeforeEitherCallback) {
  TestCam cam;
  gOtherBuffer = buffer1_;
  cam.setCallback(0, recordWithOther, buffer0_);
  cam.setCallback(1, recordWithOther, buffer1_);
  ASSERT_EQ(cam.open(0, 0), 3u);
  const std::size_t stride = 17;
  std::vector<unsigned char> frame(stride * 4, 0x11);
  for (std::size_t r = 0; r < 4; ++r)
    for (std::size_t x = 8; x < stride; ++x) frame[r * stride + x] = 0x22;
  cam.injectSideBySide(frame, stride, 7);
  EXPECT_EQ(gOtherSeen, 0x22);
  auto d = delivered();
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].camera, 0);
  EXPECT_EQ(d[0].index, 7u);
  EXPECT_EQ(d[0].firstByte, 0x11);
  EXPECT_EQ(d[1].camera, 1);
  EXPECT_EQ(d[1].firstByte, 0x22);
  // A frame one byte short leaves camera-2 out, camera-1 still gets its half.
  frame.pop_back();
  cam.injectSideBySide(frame, stride, 8);
  EXPECT_EQ(delivered().size(), 3u);
  EXPECT_EQ(delivered().back().camera, 0);
}

TEST_F(CameraCoreTest, OpenCountsCamerasAlreadyOpenWithoutReopening) {
  TestCam cam(false, true);
  EXPECT_EQ(cam.getImageSize().width, 0);
  EXPECT_EQ(cam.getExposure(1), -1);  // not open yet
  EXPECT_EQ(cam.open(0, 0), 2u);
  EXPECT_EQ(cam.getExposure(1), 200);
  EXPECT_EQ(cam.getExposure(0), -1);
  EXPECT_EQ(cam.getExposure(5), -1);
  ZelcamImageSize size = cam.getImageSize();
  EXPECT_EQ(size.width, 9);  // camera-2's size when only it is open
  EXPECT_EQ(size.height, 4);
  EXPECT_EQ(cam.open(0, 0), 2u);
  EXPECT_EQ(cam.opens[1].load(), 1);  // not reopened
  EXPECT_EQ(cam.opens[0].load(), 2);  // the missing one is tried again
  cam.close();
  EXPECT_EQ(cam.closes[1].load(), 1);
  EXPECT_EQ(cam.closes[0].load(), 0);  // never open, never closed
  cam.close();
  EXPECT_EQ(cam.closes[1].load(), 1);
}

TEST_F(CameraCoreTest, CaptureWithNoCameraOpenWakesNobody) {
  TestCam cam;
  EXPECT_FALSE(cam.capture());
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(cam.wakeups(), 0u);
  EXPECT_EQ(cam.triggers[0] + cam.triggers[1], 0);
}

TEST_F(CameraCoreTest, CaptureWithOneCameraTriggersItAndReturnsFalse) {
  TestCam cam(false, true);
  cam.setCallback(1, recordFrame, buffer1_);
  ASSERT_EQ(cam.open(0, 0), 2u);
  EXPECT_FALSE(cam.capture());
  ASSERT_TRUE(waitFor([&] { return cam.triggers[1].load() == 1; }));
  ASSERT_TRUE(waitFor([&] { return cam.wakeups() == 2; }));  // both threads woke
  EXPECT_EQ(cam.triggers[0].load(), 0);
  auto d = delivered();
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].camera, 1);
  EXPECT_EQ(d[0].index, 0u);
  EXPECT_EQ(d[0].firstByte, 0x41);
}

TEST_F(CameraCoreTest, CaptureWithBothCamerasDeliversOneFrameEach) {
  TestCam cam;
  cam.setCallback(0, recordFrame, buffer0_);
  cam.setCallback(1, recordFrame, buffer1_);
  ASSERT_EQ(cam.open(0, 0), 3u);
  for (int round = 1; round <= 3; ++round) {
    EXPECT_TRUE(cam.capture());
    ASSERT_TRUE(waitFor([&] { return cam.triggers[0] == round && cam.triggers[1] == round; }));
  }
  ASSERT_TRUE(waitFor([&] { return delivered().size() == 6u; }));
  EXPECT_EQ(cam.getFrameCount(0), 3u);  // the counter is kept across captures
  EXPECT_EQ(cam.getFrameCount(1), 3u);
}

TEST_F(CameraCoreTest, DestructionWithoutOpenEndsQuickly) {
  auto start = std::chrono::steady_clock::now();
  { TestCam cam; }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms);
}

std::string readFile(const std::string& path);

TEST_F(CameraCoreTest, DestructionClosesOpenCamerasThenSilencesTheLogger) {
  std::string path =
      (std::filesystem::temp_directory_path() / ("camdtor_" + std::to_string(::getpid()) + ".log")).string();
  TestCam* cam = new TestCam(false, true);
  cam->setLog(1, path.c_str());
  ASSERT_EQ(cam->open(0, 0), 2u);
  IZelcam3D* host = cam;
  delete host;  // the host destroys through the interface
  EXPECT_EQ(readFile(path), "TestCam::setLog: 0x1 [" + path + "]\ncamera-2 closed\n");
  // The logger went with the instance: a new one is silent.
  TestCam next;
  next.open(0, 0);
  next.close();
  EXPECT_EQ(readFile(path), "TestCam::setLog: 0x1 [" + path + "]\ncamera-2 closed\n");
  std::filesystem::remove(path);
}

TEST_F(CameraCoreTest, ExitEventIsSeenByAnotherProcessAndSignalledAtDestruction) {
  std::string name = "ZELCAM_TEST_EXIT_EVENT_" + std::to_string(::getpid());
  auto cam = std::make_unique<TestCam>(true, true, name.c_str());
  int toChild[2];
  ASSERT_EQ(::pipe(toChild), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Child: the event must exist, not signalled, then become signalled.
    auto ev = platform::NamedEvent::open(name);
    if (!ev) _exit(10);
    if (ev->isSet()) _exit(11);
    char c = 0;
    if (::write(toChild[1], &c, 1) != 1) _exit(12);
    _exit(ev->wait(5000) ? 0 : 13);
  }
  char c;
  ASSERT_EQ(::read(toChild[0], &c, 1), 1);  // the child holds the event now
  cam.reset();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(toChild[0]);
  ::close(toChild[1]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(CameraCoreTest, ExitEventStartsUnsignalledForANewInstance) {
  std::string name = "ZELCAM_TEST_EXIT_AGAIN_" + std::to_string(::getpid());
  auto holder = platform::NamedEvent::create(name);
  ASSERT_TRUE(holder);
  { TestCam first(true, true, name.c_str()); }
  EXPECT_TRUE(holder->isSet());
  TestCam second(true, true, name.c_str());
  EXPECT_FALSE(holder->isSet());
}

TEST_F(CameraCoreTest, ProjectorOperationsWithoutProjectorFail) {
  TestCam cam;
  EXPECT_EQ(cam.projectorDiag(), -1);
  EXPECT_FALSE(cam.projectorCommandP(1));
  EXPECT_FALSE(cam.projectorCommandR());
  EXPECT_FALSE(cam.projectorSetLight(10));
  EXPECT_FALSE(cam.projectorCommandZ(13));
  EXPECT_FALSE(cam.projectorCommandX(1));
  EXPECT_EQ(cam.getAnalogGain(0), 0);
  EXPECT_TRUE(cam.setAnalogGain(0, 5));
  cam.closeProjector();  // nothing to close
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST_F(CameraCoreTest, SetLogConfirmsAndSerialOpenFailureIsLogged) {
  std::string path =
      (std::filesystem::temp_directory_path() / ("camcore_" + std::to_string(::getpid()) + ".log")).string();
  ::setenv("ZELCAM_COM250", "/nonexistent/zelcam-tty", 1);
  {
    TestCam cam;
    cam.setLog(1, path.c_str());
    EXPECT_FALSE(cam.openProjector(250));
    EXPECT_FALSE(cam.projectorCommandP(1));  // the object is there, its link is not
    EXPECT_EQ(cam.projectorDiag(), -1);
    EXPECT_EQ(readFile(path), "TestCam::setLog: 0x1 [" + path + "]\nerror: open comport: 250\n");
    cam.setLog(0, nullptr);
    cam.setLog(0, path.c_str());
    EXPECT_FALSE(cam.openProjector(250));
    EXPECT_EQ(readFile(path), "TestCam::setLog: 0x1 [" + path + "]\nerror: open comport: 250\n");
  }
  ::unsetenv("ZELCAM_COM250");
  std::filesystem::remove(path);
}

TEST_F(CameraCoreTest, ProjectorForwardingOverTcpPort5073) {
  // A loopback address of its own, so the fixed port does not collide with
  // another test run.
  unsigned b = 100 + static_cast<unsigned>(::getpid()) % 100;
  unsigned c = 1 + static_cast<unsigned>(::getpid() / 100) % 250;
  sim::VirtualProjector projector;
  sim::ProjectorOptions options;
  options.tcpAddress = "127." + std::to_string(b) + "." + std::to_string(c) + ".9";
  options.sequenceStepMs = 2;
  options.diagPauseMs = 100;
  std::string error;
  if (!projector.start(options, &error)) GTEST_SKIP() << "cannot serve on " << options.tcpAddress << ": " << error;
  unsigned address = 127u | (b << 8) | (c << 16) | (9u << 24);

  TestCam cam;
  cam.shortenProjectorWaits();
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(cam.openProjector(address));
  EXPECT_TRUE(cam.projectorSetLight(255));
  EXPECT_TRUE(cam.projectorCommandP(7));
  EXPECT_TRUE(cam.projectorCommandR());
  EXPECT_TRUE(cam.projectorCommandX(3));
  EXPECT_TRUE(cam.projectorCommandZ(13));
  EXPECT_EQ(cam.projectorDiag(), 255);
  // A second open replaces the first link, which is closed, not leaked.
  ASSERT_TRUE(cam.openProjector(address));
  EXPECT_TRUE(cam.projectorCommandP(1));
  cam.closeProjector();
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(cam.projectorCommandP(1));
  EXPECT_EQ(cam.projectorDiag(), -1);
  EXPECT_EQ(projector.received(), "iFFFFFF\rp7\rr\rx3\rz13\rd\rp1\r");
  EXPECT_EQ(projector.connectionsAccepted(), 2);
  EXPECT_EQ(projector.state().snapshot().pattern, 1);
}

// The 23-slot revision on the same frame; no trigger threads (as the Sentech back-end).
class TestCam23Backend : public Zelcam3DFrame23 {
 public:
  static Config config() {
    Config c;
    c.logIdent = "TestCam23";
    c.setLogTag = "TestCam23::setLog";
    c.triggerThreads = false;
    return c;
  }
  TestCam23Backend() : Zelcam3DFrame23(config()) {}
  int getExposure(int) override { return 0; }
  int getGain(int) override { return 0; }
  bool setExposure(int, int) override { return true; }
  bool setGain(int, int) override { return true; }
  bool setTriggerMode(int) override { return true; }
  unsigned wakeups() const { return triggerWakeups(); }

 protected:
  bool openCamera(CameraRecord& cam, int, int) override {
    cam.width = 2;
    cam.height = 2;
    return true;
  }
  bool closeCamera(CameraRecord&) override { return true; }
};
using TestCam23 = Plugin<TestCam23Backend>;

TEST_F(CameraCoreTest, Revision23FrameWithoutTriggerThreads) {
  std::unique_ptr<IZelcam3DRev23> cam(new TestCam23);
  EXPECT_EQ(cam->setCallback(1, recordFrame, buffer1_), 1);
  EXPECT_EQ(cam->open(0, 0), 3u);
  EXPECT_TRUE(cam->capture());
  EXPECT_EQ(static_cast<TestCam23*>(cam.get())->wakeups(), 0u);
  EXPECT_EQ(cam->getTriggerMode(), -1);
  EXPECT_EQ(cam->projectorDiag(), -1);
}

// Slot order is the binary contract. In the Itanium C++ ABI a pointer to a
// virtual member function holds 1 + the byte offset of its vtable entry, and
// a virtual destructor takes two entries.
template <class F>
long vtableIndex(F member) {
  struct Raw {
    std::ptrdiff_t ptr;
    std::ptrdiff_t adj;
  } raw;
  static_assert(sizeof(F) == sizeof(Raw));
  std::memcpy(&raw, &member, sizeof raw);
  return (raw.ptr - 1) / static_cast<long>(sizeof(void*));
}

// Slot of the table in the interface description: the destructor is slot 1
// and occupies entries 1 and 2.
long slotOf(long index) { return index == 0 ? 0 : index - 1; }

TEST(InterfaceLayout, IZelcam3DHas25SlotsInOrder) {
  using I = IZelcam3D;
  EXPECT_EQ(slotOf(vtableIndex(&I::setLog)), 0);
  EXPECT_EQ(slotOf(vtableIndex(&I::open)), 2);
  EXPECT_EQ(slotOf(vtableIndex(&I::close)), 3);
  EXPECT_EQ(slotOf(vtableIndex(&I::getImageSize)), 4);
  EXPECT_EQ(slotOf(vtableIndex(&I::capture)), 5);
  EXPECT_EQ(slotOf(vtableIndex(&I::projectorCommandP)), 6);
  EXPECT_EQ(slotOf(vtableIndex(&I::getExposure)), 7);
  EXPECT_EQ(slotOf(vtableIndex(&I::getGain)), 8);
  EXPECT_EQ(slotOf(vtableIndex(&I::getAnalogGain)), 9);
  EXPECT_EQ(slotOf(vtableIndex(&I::setExposure)), 10);
  EXPECT_EQ(slotOf(vtableIndex(&I::setGain)), 11);
  EXPECT_EQ(slotOf(vtableIndex(&I::setAnalogGain)), 12);
  EXPECT_EQ(slotOf(vtableIndex(&I::getTriggerMode)), 13);
  EXPECT_EQ(slotOf(vtableIndex(&I::setTriggerMode)), 14);
  EXPECT_EQ(slotOf(vtableIndex(&I::setCallback)), 15);
  EXPECT_EQ(slotOf(vtableIndex(&I::openProjector)), 16);
  EXPECT_EQ(slotOf(vtableIndex(&I::closeProjector)), 17);
  EXPECT_EQ(slotOf(vtableIndex(&I::projectorCommandR)), 18);
  EXPECT_EQ(slotOf(vtableIndex(&I::projectorDiag)), 19);
  EXPECT_EQ(slotOf(vtableIndex(&I::projectorSetLight)), 20);
  EXPECT_EQ(slotOf(vtableIndex(&I::projectorCommandZ)), 21);
  EXPECT_EQ(slotOf(vtableIndex(&I::projectorCommandX)), 22);
  EXPECT_EQ(slotOf(vtableIndex(&I::resetFrameCount)), 23);
  EXPECT_EQ(slotOf(vtableIndex(&I::getFrameCount)), 24);
}

TEST(InterfaceLayout, Revision23HasNoAnalogGain) {
  using I = IZelcam3DRev23;
  EXPECT_EQ(slotOf(vtableIndex(&I::setLog)), 0);
  EXPECT_EQ(slotOf(vtableIndex(&I::getGain)), 8);
  EXPECT_EQ(slotOf(vtableIndex(&I::setExposure)), 9);
  EXPECT_EQ(slotOf(vtableIndex(&I::setGain)), 10);
  EXPECT_EQ(slotOf(vtableIndex(&I::getTriggerMode)), 11);
  EXPECT_EQ(slotOf(vtableIndex(&I::setTriggerMode)), 12);
  EXPECT_EQ(slotOf(vtableIndex(&I::setCallback)), 13);
  EXPECT_EQ(slotOf(vtableIndex(&I::openProjector)), 14);
  EXPECT_EQ(slotOf(vtableIndex(&I::closeProjector)), 15);
  EXPECT_EQ(slotOf(vtableIndex(&I::projectorCommandR)), 16);
  EXPECT_EQ(slotOf(vtableIndex(&I::projectorDiag)), 17);
  EXPECT_EQ(slotOf(vtableIndex(&I::projectorSetLight)), 18);
  EXPECT_EQ(slotOf(vtableIndex(&I::projectorCommandZ)), 19);
  EXPECT_EQ(slotOf(vtableIndex(&I::projectorCommandX)), 20);
  EXPECT_EQ(slotOf(vtableIndex(&I::resetFrameCount)), 21);
  EXPECT_EQ(slotOf(vtableIndex(&I::getFrameCount)), 22);
}

TEST(InterfaceLayout, IZpjSlotsInOrder) {
  // Destructor is slot 0 (entries 0 and 1); open is slot 1 at entry 2.
  EXPECT_EQ(vtableIndex(&IZpj::open) - 1, 1);
  EXPECT_EQ(vtableIndex(&IZpj::close) - 1, 2);
  EXPECT_EQ(vtableIndex(&IZpj::commandP) - 1, 3);
  EXPECT_EQ(vtableIndex(&IZpj::commandR) - 1, 4);
  EXPECT_EQ(vtableIndex(&IZpj::diag) - 1, 5);
  EXPECT_EQ(vtableIndex(&IZpj::setLight) - 1, 6);
  EXPECT_EQ(vtableIndex(&IZpj::commandZ) - 1, 7);
  EXPECT_EQ(vtableIndex(&IZpj::commandX) - 1, 8);
}

}  // namespace
}  // namespace camera
