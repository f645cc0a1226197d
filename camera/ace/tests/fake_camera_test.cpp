// OrvCamAce against a camera we did not write: Aravis's fake GigE Vision
// camera, two of them renamed "11" and "12" through the user-name register,
// in the test's private network namespace.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "camera/ace/tests/host_fixture.h"
#include "sim/gige/testing/private_netns.h"

namespace {

using acetest::BackgroundProcess;
using acetest::FrameSink;
using acetest::runProgram;

// "11" as the 16-byte user-name register holds it: 0x3131 then NULs.
const char* kNameRegister[] = {"R[0xE8]=0x31310000", "R[0xE8]=0x31320000"};
const char* kAddress[] = {"127.0.0.1", "127.0.0.2"};

class FakeCamera : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!sim::netns::inPrivateNetwork()) return;
    // The second camera needs its own address on lo to be found by discovery.
    runProgram({"ip", "addr", "add", "127.0.0.2/8", "dev", "lo"});
    for (int i = 0; i < 2; ++i) {
      cameras_[i] = std::make_unique<BackgroundProcess>(
          std::vector<std::string> {"arv-fake-gv-camera-0.8", "-i", kAddress[i], "-s", "FAKE" + std::to_string(i)});
    }
    for (int i = 0; i < 2; ++i) {
      std::string out;
      const std::string value = std::string(kNameRegister[i]).substr(8);  // after "R[0xE8]="
      bool done = false;
      // The fake camera needs a moment to bind its port.
      for (int attempt = 0; attempt < 50 && !done; ++attempt) {
        done = runProgram({"arv-tool-0.8", "-a", kAddress[i], "control", kNameRegister[i]}, &out) == 0 &&
               out.find(value) != std::string::npos;
        if (!done) ::usleep(100'000);
      }
      renamed_ += done ? 1 : 0;
    }
  }
  static void TearDownTestSuite() {
    for (auto& c : cameras_) c.reset();
  }

  static std::unique_ptr<BackgroundProcess> cameras_[2];
  static int renamed_;
};

std::unique_ptr<BackgroundProcess> FakeCamera::cameras_[2];
int FakeCamera::renamed_ = 0;

TEST_F(FakeCamera, OpensBothByNameAndReceivesFrames) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  ASSERT_EQ(renamed_, 2) << "the fake cameras could not be renamed";
  acetest::LoadedPlugin lib(ZEL_ACE_LIBRARY);
  std::unique_ptr<IZelcam3D> cam(lib.create());
  ASSERT_NE(cam, nullptr) << lib.error();
  const std::string log = ::testing::TempDir() + "ace_fake.log";
  cam->setLog(1, log.c_str());
  EXPECT_EQ(cam->getExposure(0), -1);  // before open: no camera object

  FrameSink::instance().attach(*cam, 512, 512);
  ASSERT_EQ(cam->open(0, 0), 3u) << acetest::readText(log);
  ZelcamImageSize size = cam->getImageSize();
  EXPECT_EQ(size.width, 512);
  EXPECT_EQ(size.height, 512);
  EXPECT_EQ(cam->getTriggerMode(), 1);
  // The fake camera has GainRaw but no ExposureTimeRaw.
  EXPECT_TRUE(cam->setGain(1, 3));
  EXPECT_EQ(cam->getGain(1), 3);
  EXPECT_EQ(cam->getExposure(1), -1);

  EXPECT_TRUE(cam->setTriggerMode(1));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(cam->capture());
    ::usleep(50'000);
  }
  EXPECT_TRUE(FrameSink::instance().waitFor(0, 1, 5000));
  EXPECT_TRUE(FrameSink::instance().waitFor(1, 1, 5000));
  for (int c = 0; c < 2; ++c) {
    auto frames = FrameSink::instance().frames(c);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].index, 0u);
    EXPECT_EQ(frames[0].width, 512);
  }
  // Neither camera has a Line1 input: hardware trigger is refused, the mode kept.
  EXPECT_FALSE(cam->setTriggerMode(0));
  EXPECT_EQ(cam->getTriggerMode(), 1);

  cam->close();
  cam.reset();
  const std::string text = acetest::readText(log);
  EXPECT_NE(text.find("try to open camera-1\n"), std::string::npos);
  EXPECT_NE(text.find(" image size:\t512,512\n"), std::string::npos);
  EXPECT_NE(text.find("succeeded!"), std::string::npos);
  EXPECT_NE(text.find("camera-2 closed\n"), std::string::npos);
}

}  // namespace
