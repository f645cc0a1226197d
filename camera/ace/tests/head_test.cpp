// OrvCamAce against the virtual head (`zelsim serve --head cameras`, cameras
// "11" and "12"), through include/ and dlopen only: 13-pattern shots in
// software and hardware trigger equal the head's images byte for byte, and
// the edge cases that catch real faults.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "camera/ace/tests/head_server.h"
#include "sim/gige/testing/private_netns.h"

namespace {

using acetest::FrameSink;
using acetest::HeadServer;
using acetest::runProgram;

constexpr int kW = HeadServer::kWidth, kH = HeadServer::kHeight;

class AceOnHead : public ::testing::Test {
 protected:
  void SetUp() override {
    ZEL_REQUIRE_PRIVATE_NETNS();
    std::string error;
    ASSERT_TRUE(head_.start({"11", "12"}, {}, &error)) << error;
    cam_.reset(lib_.create());
    ASSERT_NE(cam_, nullptr) << lib_.error();
    log_ = ::testing::TempDir() + "ace_head_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    cam_->setLog(1, log_.c_str());
    FrameSink::instance().attach(*cam_, kW, kH);
  }
  void TearDown() override {
    cam_.reset();
    head_.stop();
    if (!log_.empty() && !HasFailure()) ::unlink(log_.c_str());  // kept when it shows why a test failed
  }

  // One 13-pattern shot: each pattern shown by the projector, then captured
  // (software) or fired by the projector (hardware); both frames must equal
  // the head's image of that pattern, numbered 0..12.
  void shootAndCompare(bool software) {
    FrameSink::instance().clear();
    cam_->resetFrameCount();
    for (int p = 0; p < 13; ++p) {
      ASSERT_TRUE(head_.showPattern(p));
      if (software) {
        EXPECT_TRUE(cam_->capture());
      }
      for (int c = 0; c < 2; ++c) ASSERT_TRUE(FrameSink::instance().waitFor(c, p + 1, 5000)) << "pattern " << p;
    }
    for (int c = 0; c < 2; ++c) {
      auto frames = FrameSink::instance().frames(c);
      ASSERT_EQ(frames.size(), 13u);
      for (int p = 0; p < 13; ++p) {
        EXPECT_EQ(frames[p].index, static_cast<std::uint32_t>(p));
        EXPECT_EQ(std::memcmp(frames[p].pixels.data(), head_.images().image(c, p), kW * kH), 0)
            << "camera " << c << " pattern " << p;
      }
    }
  }

  HeadServer head_;
  acetest::LoadedPlugin lib_{ZEL_ACE_LIBRARY};
  std::unique_ptr<IZelcam3D> cam_;
  std::string log_;
};

TEST_F(AceOnHead, ShotsInBothTriggerModesEqualTheHeadsImages) {
  EXPECT_EQ(cam_->getExposure(0), -1);  // before open: no camera object
  ASSERT_EQ(cam_->open(0, 0), 3u) << acetest::readText(log_);
  EXPECT_EQ(cam_->getImageSize().width, kW);
  EXPECT_EQ(cam_->getTriggerMode(), 1);
  // The defaults (10000, 100) send the rendered images byte for byte.
  EXPECT_TRUE(cam_->setExposure(0, 10000));
  EXPECT_EQ(cam_->getExposure(0), 10000);
  EXPECT_EQ(cam_->getGain(1), 100);
  shootAndCompare(true);

  ASSERT_TRUE(cam_->setTriggerMode(0));
  EXPECT_EQ(cam_->getTriggerMode(), 0);
  // In hardware trigger a software trigger is no trigger: no frame comes.
  FrameSink::instance().clear();
  cam_->capture();
  EXPECT_FALSE(FrameSink::instance().waitFor(0, 1, 300));
  shootAndCompare(false);
  cam_->close();
  cam_.reset();

  // The device keeps the configuration: the frame-start trigger on Line1,
  // rising edge, and every other trigger type off.
  std::string out;
  runProgram({"arv-tool-0.8", "-a", "127.0.0.2", "control", "TriggerSelector=FrameStart", "TriggerMode",
              "TriggerSource", "TriggerActivation", "TriggerSelector=AcquisitionStart", "TriggerMode"},
             &out);
  EXPECT_NE(out.find("TriggerMode = On\nTriggerSource = Line1\nTriggerActivation = RisingEdge\n"
                     "TriggerSelector = AcquisitionStart\nTriggerMode = Off"),
            std::string::npos)
      << out;
}

// The plain UDP receive path (no packet socket) with the layer's large
// receive buffer keeps whole frames too.
TEST_F(AceOnHead, PlainUdpPathGivesTheSameImages) {
  ::setenv("ZELCAM_GIGE_PACKET_SOCKET", "0", 1);
  ASSERT_EQ(cam_->open(0, 0), 3u);
  ::unsetenv("ZELCAM_GIGE_PACKET_SOCKET");
  shootAndCompare(true);
}

TEST_F(AceOnHead, OpenSetsTheInterPacketDelayAndOpensOnce) {
  // 8192-byte packets on camera-1, 1500 (the head's default) on camera-2;
  // the head's tick is 125 MHz.
  std::string out;
  ASSERT_EQ(runProgram({"arv-tool-0.8", "-a", "127.0.0.2", "control", "GevSCPSPacketSize=8192"}, &out), 0) << out;
  ASSERT_EQ(cam_->open(0, 0), 3u);
  EXPECT_EQ(cam_->open(0, 0), 3u);
  // Frames still arrive whole with the large packets.
  ASSERT_TRUE(head_.showPattern(1));
  EXPECT_TRUE(cam_->capture());
  EXPECT_TRUE(FrameSink::instance().waitFor(0, 1, 5000));
  cam_.reset();
  const std::string text = acetest::readText(log_);
  EXPECT_NE(text.find("try to open camera-1\n image size:\t320,256\n packet size:\t8192\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" GevSCPD(changed):\t9765\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" packet size:\t1500\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" GevSCPD(changed):\t1788\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("try to open camera-1"), text.rfind("try to open camera-1")) << text;
}

TEST_F(AceOnHead, OneCameraMissing) {
  std::string out;
  // Camera-1 renamed away: only camera-2 opens, and reports its size.
  ASSERT_EQ(runProgram({"arv-tool-0.8", "-a", "127.0.0.2", "control", "DeviceUserID=99"}, &out), 0) << out;
  EXPECT_EQ(cam_->open(0, 0), 2u);
  EXPECT_EQ(cam_->getImageSize().width, kW);
  EXPECT_FALSE(cam_->setTriggerMode(1));  // camera-1 fails
  EXPECT_FALSE(cam_->capture());          // camera-2 alone takes part
  EXPECT_TRUE(FrameSink::instance().waitFor(1, 1, 5000));
  cam_->close();
  // And the other way round.
  ASSERT_EQ(runProgram({"arv-tool-0.8", "-a", "127.0.0.2", "control", "DeviceUserID=11"}, &out), 0) << out;
  ASSERT_EQ(runProgram({"arv-tool-0.8", "-a", "127.0.0.3", "control", "DeviceUserID=98"}, &out), 0) << out;
  EXPECT_EQ(cam_->open(0, 0), 1u);
}

}  // namespace
