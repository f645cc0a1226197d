// ZpjCom against the virtual projector's pseudo-terminal.
#include "camera/common/zpj_com.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "camera/common/tests/projector_fixture.h"

namespace camera {
namespace {

using namespace std::chrono_literals;
using camera::testing::expectEveryCommandRefused;
using camera::testing::msSince;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

constexpr unsigned kPort = 77;

// A serial command reads once, after its wait: the waits must leave the
// virtual projector time to answer even on a loaded machine.
ZpjWaits testWaits() {
  ZpjWaits w;
  w.diagFirst = 150;
  w.setLightCom = 100;
  w.commandZ = 300;  // 13 steps of 5 ms
  w.commandXCom = 150;
  return w;
}

class ZpjComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ProjectorOptions options;
    options.tcp = false;
    options.pty = true;
    options.sequenceStepMs = 5;
    std::string error;
    ASSERT_TRUE(projector_.start(options, &error)) << error;
    ::setenv("ZELCAM_COM77", projector_.ptyPath().c_str(), 1);
  }
  void TearDown() override { ::unsetenv("ZELCAM_COM77"); }

  sim::VirtualProjector projector_;
};

TEST(SerialDevicePath, EnvironmentNamesTheDeviceElseTtyS) {
  ::unsetenv("ZELCAM_COM3");
  EXPECT_EQ(serialDevicePath(3), "/dev/ttyS2");
  EXPECT_EQ(serialDevicePath(1), "/dev/ttyS0");
  ::setenv("ZELCAM_COM3", "/dev/pts/9", 1);
  EXPECT_EQ(serialDevicePath(3), "/dev/pts/9");
  ::unsetenv("ZELCAM_COM3");
  EXPECT_EQ(serialDevicePath(0), "");
}

TEST_F(ZpjComTest, OpensRaw9600EightNoneOneAndOnlyOnce) {
  {
    ZpjCom link;
    ASSERT_TRUE(link.open(kPort));
    EXPECT_TRUE(link.open(kPort));  // already open
    if (::geteuid() != 0) {
      ZpjCom second;
      EXPECT_FALSE(second.open(kPort));  // exclusive while the first holds it
    }
  }
  // Settings stay on the terminal: look at them after the link closed.
  int fd = ::open(projector_.ptyPath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0) << "the port must be free again after close";
  termios tio{};
  ASSERT_EQ(::tcgetattr(fd, &tio), 0);
  ::close(fd);
  EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
}

TEST_F(ZpjComTest, OpenFailsForAMissingDevice) {
  ZpjCom link;
  ::setenv("ZELCAM_COM78", "/nonexistent/tty", 1);
  EXPECT_FALSE(link.open(78));
  ::unsetenv("ZELCAM_COM78");
  EXPECT_FALSE(link.open(0));
  expectEveryCommandRefused(link);
}

TEST_F(ZpjComTest, CommandPAndRReturnAfterWriting) {
  sim::ProjectorFaults mute;
  mute.mute = true;
  projector_.setFaults(mute);
  ZpjCom link;  // the controller's own waits: these two commands use none
  ASSERT_TRUE(link.open(kPort));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(link.commandP(4));
  EXPECT_TRUE(link.commandR());
  EXPECT_LT(msSince(t0), 700.0);  // no 800 ms reply wait, nothing read
  for (int i = 0; i < 200 && projector_.received().size() < 5; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(projector_.received(), "p4\rr\r");
}

TEST_F(ZpjComTest, RepliesAreParsedAfterTheWait) {
  ZpjCom link(testWaits());
  ASSERT_TRUE(link.open(kPort));
  CaptureStdout();
  EXPECT_TRUE(link.setLight(16));
  EXPECT_TRUE(link.commandX(12));
  EXPECT_TRUE(link.commandZ(13));  // 13 steps of 5 ms end within the wait
  EXPECT_FALSE(link.commandZ(0));
  std::string echo = GetCapturedStdout();
  EXPECT_EQ(echo.substr(0, 30), "ZPJ>:OK\r\nZPJ>12\r\nZPJ>:OK\r\nZPJ>");
  EXPECT_NE(echo.find("ZPJ>:ERR\r\n"), std::string::npos);
  EXPECT_EQ(projector_.received(), "i101010\rx12\rz13\rz0\r");
  EXPECT_EQ(projector_.state().snapshot().pattern, 12);
}

TEST_F(ZpjComTest, DiagTakesTheFirstMarker) {
  ZpjCom link(testWaits());
  ASSERT_TRUE(link.open(kPort));
  projector_.setDiagText("//diag.rgb: 10.20.ff");
  EXPECT_EQ(link.diag(), 255);
  projector_.setDiagText("no marker");
  EXPECT_EQ(link.diag(), 0);
  sim::ProjectorFaults mute;
  mute.mute = true;
  projector_.setFaults(mute);
  EXPECT_EQ(link.diag(), -1);  // nothing read
}

TEST_F(ZpjComTest, NoReplyIsFalse) {
  ZpjCom link(testWaits());
  ASSERT_TRUE(link.open(kPort));
  sim::ProjectorFaults garbled;
  garbled.garble = true;
  projector_.setFaults(garbled);
  CaptureStdout();
  EXPECT_FALSE(link.setLight(1));
  EXPECT_EQ(GetCapturedStdout(), "ZPJ>;NJ\r\n");
}

}  // namespace
}  // namespace camera
