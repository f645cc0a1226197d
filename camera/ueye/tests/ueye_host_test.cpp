// OrvCamuEye as a host sees it: the library loaded with dlopen, driven
// through the 25-slot interface, its simulated cameras serving a head that
// the test publishes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "camera/sdk/simhead/testing/host_frames.h"
#include "camera/sdk/simhead/testing/plugin_host_fixture.h"
#include "camera/sdk/simhead/testing/serve_shot.h"
#include "camera/sdk/simhead/testing/test_head.h"
#include "platform/named_event.h"
#include "sim/gige/testing/private_netns.h"
#include "zelcam3d.h"

namespace {

using zeltest::HostFrames;
using zeltest::TestHead;

class UeyeHost : public zeltest::PluginHostFixture<IZelcam3D, CreateIZelcam3DInstanceFn> {
 protected:
  static void SetUpTestSuite() { startSuite(ZEL_UEYE_LIBRARY, "zelcam_ueye_test_"); }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(createInstance("ueye_"));
    HostFrames::instance().clear();
  }
};

TEST_F(UeyeHost, ShotInSoftwareAndHardwareTriggerIsTheHeadsImagesByteForByte) {
  ASSERT_EQ(cam_->open(0, 0), 3u);
  EXPECT_EQ(cam_->getImageSize().width, kWidth);
  EXPECT_EQ(cam_->getImageSize().height, kHeight);
  std::string log = zeltest::readFile(logPath_);
  EXPECT_NE(log.find("current pixelclock-2[45MHz]\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" ID:\t2\n"), std::string::npos);

  ASSERT_TRUE(cam_->setTriggerMode(1));
  // Mode 0 then starts continuous capture: every pulse of the projector is a
  // frame, with no capture in between.
  ASSERT_NO_FATAL_FAILURE(shootSoftwareThenHardware());
  EXPECT_EQ(cam_->getFrameCount(0), 13u);
}

TEST_F(UeyeHost, SettingsAndTheirLimits) {
  ASSERT_EQ(cam_->open(0, 0), 3u);
  EXPECT_FALSE(cam_->setTriggerMode(2));
  std::string log = zeltest::readFile(logPath_);
  EXPECT_NE(log.find("invalid trigger mode-1: 2\n"), std::string::npos);
  EXPECT_NE(log.find("invalid trigger mode-2: 2\n"), std::string::npos);

  EXPECT_TRUE(cam_->setExposure(0, 2500));
  EXPECT_EQ(cam_->getExposure(0), 2500);
  EXPECT_TRUE(cam_->setExposure(0, 10000));
  EXPECT_EQ(cam_->getExposure(0), 10000);
  EXPECT_FALSE(cam_->setExposure(1, -1));
  EXPECT_NE(zeltest::readFile(logPath_).find("error: set exposure time[125] -1\n"), std::string::npos);

  EXPECT_TRUE(cam_->setGain(1, 40));
  EXPECT_EQ(cam_->getGain(1), 40);
  EXPECT_FALSE(cam_->setGain(1, 0x8000));  // the query code is not a gain
  EXPECT_FALSE(cam_->setGain(1, 101));
  EXPECT_EQ(cam_->getGain(1), 40);
  EXPECT_EQ(cam_->getAnalogGain(1), 0);
  EXPECT_TRUE(cam_->setAnalogGain(1, 7));

  cam_->close();
  EXPECT_EQ(cam_->getExposure(0), 0);
  EXPECT_FALSE(cam_->capture());
  // close ends both receive threads itself, well within its wait.
  log = zeltest::readFile(logPath_);
  EXPECT_EQ(zeltest::countOf(log, "end of thread\n"), 2u);
  EXPECT_EQ(log.find("time out"), std::string::npos);
}

TEST_F(UeyeHost, ReducedFormatIsBinnedTo640x480) {
  const std::string bigName = headName_ + "_big";
  TestHead big(bigName, 1280, 960);
  ASSERT_TRUE(big.ok());
  ::setenv("ZELCAM_SIM_HEAD", bigName.c_str(), 1);
  const unsigned opened = cam_->open(30, 0);
  ::setenv("ZELCAM_SIM_HEAD", headName_.c_str(), 1);
  ASSERT_EQ(opened, 3u);
  EXPECT_EQ(cam_->getImageSize().width, 640);
  EXPECT_EQ(cam_->getImageSize().height, 480);
  ASSERT_TRUE(cam_->setTriggerMode(1));
  big.show(9);
  ASSERT_TRUE(cam_->capture());
  auto frames = HostFrames::instance().take(2);
  ASSERT_EQ(frames.size(), 2u);
  for (const auto& f : frames) {
    ASSERT_EQ(f.width, 640);
    ASSERT_EQ(f.height, 480);
    const std::uint8_t* in = big.image(f.camera, 9);
    int wrong = 0;
    for (int y = 0; y < 480; ++y)
      for (int x = 0; x < 640; ++x) {
        const std::uint8_t* p = in + (2 * y) * 1280 + 2 * x;
        int mean = (p[0] + p[1] + p[1280] + p[1281] + 2) / 4;
        wrong += f.pixels[static_cast<std::size_t>(y * 640 + x)] != mean;
      }
    EXPECT_EQ(wrong, 0) << "camera " << f.camera;
  }
}

TEST_F(UeyeHost, ExitEventEndsTheReceiveThreads) {
  ASSERT_EQ(cam_->open(0, 0), 3u);
  // Another component signals the event by name: both receive threads end.
  auto exitEvent = platform::NamedEvent::open("ZELCAM_UEYE_EXIT_EVENT");
  ASSERT_NE(exitEvent, nullptr);
  exitEvent->set();
  EXPECT_TRUE(zeltest::waitForText(logPath_, "end of thread\n", 2, 300));
  exitEvent.reset();

  // Destruction signals it itself; a new instance starts with it cleared.
  cam_.reset();
  SetUp();
  ASSERT_EQ(cam_->open(0, 0), 3u);
  ASSERT_TRUE(cam_->setTriggerMode(1));
  head_->show(3);
  ASSERT_TRUE(cam_->capture());
  EXPECT_EQ(HostFrames::instance().take(2).size(), 2u);
  const auto start = std::chrono::steady_clock::now();
  cam_.reset();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(ms, 300);
  EXPECT_EQ(zeltest::countOf(zeltest::readFile(logPath_), "end of thread\n"), 2u);
}

TEST(UeyeLayer, MissingLayerOrOrdinalFailsOpenWithALogLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(zeltest::openWithBrokenLayer<IZelcam3D>(ZEL_UEYE_LIBRARY, "ZELCAM_UEYE_LIBRARY", ZEL_PARTIAL_LAYER,
                                                      "error: uEye ordinal 237 missing in "),
              ::testing::ExitedWithCode(0), "");
}

// The live virtual head as a user runs it: zelsim serve, its projector on
// TCP, its images published for the simulated cameras.
TEST(UeyeServe, ShotMatchesTheServedHeadByteForByte) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  zeltest::shootPluginAgainstServe<IZelcam3D, CreateIZelcam3DInstanceFn>(ZEL_UEYE_LIBRARY, "zelcam_ueye_serve_");
}

}  // namespace
