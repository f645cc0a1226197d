// OrvCamStcsb as a host sees it: the library loaded with dlopen, driven
// through the 23-slot interface, its simulated cameras serving a head that
// the test publishes.
#define ZELCAM3D_REVISION_23
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "camera/sdk/simhead/testing/host_frames.h"
#include "camera/sdk/simhead/testing/plugin_host_fixture.h"
#include "camera/sdk/simhead/testing/serve_shot.h"
#include "camera/sdk/simhead/testing/test_head.h"
#include "sim/gige/testing/private_netns.h"
#include "zelcam3d.h"

namespace {

using zeltest::HostFrames;
using zeltest::TestHead;

class StcsbHost : public zeltest::PluginHostFixture<IZelcam3DRev23, CreateIZelcam3DRev23InstanceFn> {
 protected:
  static void SetUpTestSuite() {
    // The bus lists camera-2 first: the plug-in must pick cameras by user ID.
    ::setenv("ZELCAM_STTRG_CAMERAS", "2,1", 1);
    startSuite(ZEL_STCSB_LIBRARY, "zelcam_stcsb_test_");
    layer_ = ::dlopen(ZEL_STTRG_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(createInstance("stcsb_"));
    ASSERT_EQ(cam_->open(0, 0), 3u);
    HostFrames::instance().clear();
  }

  static inline void* layer_ = nullptr;
};

TEST_F(StcsbHost, ShotInSoftwareAndHardwareTriggerIsTheHeadsImagesByteForByte) {
  EXPECT_EQ(cam_->getImageSize().width, kWidth);
  EXPECT_EQ(cam_->getImageSize().height, kHeight);
  EXPECT_EQ(cam_->getTriggerMode(), 1);  // open leaves the software trigger
  std::string log = zeltest::readFile(logPath_);
  EXPECT_NE(log.find(" Camera ID(No) : 1\n"), std::string::npos);
  EXPECT_NE(log.find(" Width : 64 / Height : 48\n"), std::string::npos);

  ASSERT_NO_FATAL_FAILURE(shootSoftwareThenHardware());
  EXPECT_EQ(cam_->getFrameCount(1), 13u);
  // capture in hardware mode only arms the cameras.
  EXPECT_TRUE(cam_->capture());
  EXPECT_TRUE(HostFrames::instance().wait(1, 100).empty());
}

TEST_F(StcsbHost, SecondCaptureBeforeTheFrameTriggersAgain) {
  head_->show(5);
  EXPECT_TRUE(cam_->capture());
  EXPECT_TRUE(cam_->capture());  // the first frames are still being exposed
  std::vector<zeltest::Frame> frames = HostFrames::instance().wait(2);
  ASSERT_GE(frames.size(), 2u);
  for (const auto& f : frames) EXPECT_EQ(f.index, 0u);
  EXPECT_EQ(zeltest::readFile(logPath_).find("excapture"), std::string::npos);
}

TEST_F(StcsbHost, OpenCamerasFollowARestartedHead) {
  head_->show(5);
  delete head_;  // the head goes away; a new one comes up under the same name
  head_ = new TestHead(headName_, kWidth, kHeight);
  ASSERT_TRUE(head_->ok());
  head_->show(7);
  ASSERT_TRUE(cam_->capture());
  expectPattern(HostFrames::instance().take(2), 7, 0);
}

TEST_F(StcsbHost, SettingsAndTheirLimits) {
  EXPECT_FALSE(cam_->setTriggerMode(2));
  std::string log = zeltest::readFile(logPath_);
  EXPECT_NE(log.find("invalid trigger mode-1: 2\n"), std::string::npos);
  EXPECT_NE(log.find("invalid trigger mode-2: 2\n"), std::string::npos);
  EXPECT_EQ(cam_->getTriggerMode(), 1);

  EXPECT_EQ(cam_->getExposure(0), 10000);
  EXPECT_TRUE(cam_->setExposure(0, 2500));
  EXPECT_EQ(cam_->getExposure(0), 2500);
  // Beyond the longest exposure clock (100000 clocks of 10 us): the longest.
  EXPECT_TRUE(cam_->setExposure(1, 50000000));
  EXPECT_EQ(cam_->getExposure(1), 1000000);
  EXPECT_FALSE(cam_->setExposure(1, -5));
  EXPECT_EQ(cam_->getExposure(1), 1000000);

  EXPECT_TRUE(cam_->setGain(0, 70000));  // clamped to the maximum gain
  EXPECT_EQ(cam_->getGain(0), 1000);
  EXPECT_FALSE(cam_->setGain(0, -1));
  EXPECT_EQ(cam_->getGain(0), 1000);

  cam_->close();
  EXPECT_EQ(cam_->getExposure(0), -1);
  EXPECT_FALSE(cam_->capture());
  EXPECT_NE(zeltest::readFile(logPath_).find("camera-2 closed\n"), std::string::npos);
}

TEST_F(StcsbHost, ReceiveErrorsAreCountedPerCameraAndCode) {
  ASSERT_NE(layer_, nullptr);
  auto inject =
      reinterpret_cast<int (*)(std::uint32_t, std::uint32_t)>(::dlsym(layer_, "zel_sttrg_sim_inject_rcv_error"));
  ASSERT_NE(inject, nullptr);
  const std::string st2ee = "error: ソフトトリガー発行から露光終了検知の間でタイムアウトエラーが発生しました(ST2EE)\n";
  for (int i = 0; i < 3; ++i) ASSERT_EQ(inject(2, 0xE0000003), 1);
  ASSERT_EQ(inject(2, 0xE0000100), 1);
  ASSERT_EQ(inject(2, 0x12345678), 1);
  ASSERT_TRUE(zeltest::waitForText(logPath_, "予期しないエラーが発生しました"));
  // The other camera counts on its own (its lines come on its own thread).
  ASSERT_EQ(inject(1, 0xE0000003), 1);
  ASSERT_TRUE(zeltest::waitForText(logPath_, "camera-1 #1: " + st2ee));
  std::string log = zeltest::readFile(logPath_);
  EXPECT_NE(log.find("camera-2 #1: " + st2ee + "camera-2 #2: " + st2ee + "camera-2 #3: " + st2ee +
                     "camera-2 #1: error: 転送中には禁止されている関数が呼び出されました\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("camera-2 #1: error: 予期しないエラーが発生しました\n"), std::string::npos);
  EXPECT_TRUE(HostFrames::instance().wait(1, 50).empty());
}

TEST(StcsbLayer, MissingLayerOrOrdinalFailsOpenWithALogLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(zeltest::openWithBrokenLayer<IZelcam3DRev23>(ZEL_STCSB_LIBRARY, "ZELCAM_STTRG_LIBRARY", ZEL_PARTIAL_LAYER,
                                                           "error: StTrgAPI ordinal 2 missing in "),
              ::testing::ExitedWithCode(0), "");
}

// The live virtual head as a user runs it: zelsim serve, its projector on
// TCP, its images published for the simulated cameras.
TEST(StcsbServe, ShotMatchesTheServedHeadByteForByte) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  zeltest::shootPluginAgainstServe<IZelcam3DRev23, CreateIZelcam3DRev23InstanceFn>(ZEL_STCSB_LIBRARY,
                                                                                   "zelcam_stcsb_serve_");
}

}  // namespace
