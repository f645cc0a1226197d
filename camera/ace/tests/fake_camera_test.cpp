// The plug-ins against a camera we did not write: two of Aravis's fake GigE
// Vision cameras, renamed through the user-name register ("11"/"12" for
// OrvCamAce, "1"/"2" for the eBUS plug-ins), in the test's private network
// namespace.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "camera/ace/tests/host_fixture.h"
#include "sim/gige/testing/private_netns.h"

namespace {

using acetest::BackgroundProcess;
using acetest::FrameSink;
using acetest::runProgram;

const char* kAddress[] = {"127.0.0.1", "127.0.0.2"};

class FakeCamera : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!sim::netns::inPrivateNetwork()) return;
    // The second camera needs its own address on lo to be found by discovery.
    runProgram({"ip", "addr", "add", "127.0.0.2/8", "dev", "lo"});
    for (int i = 0; i < 2; ++i) {
      cameras_[i] = std::make_unique<BackgroundProcess>(
          std::vector<std::string>{"arv-fake-gv-camera-0.8", "-i", kAddress[i], "-s", "FAKE" + std::to_string(i)});
    }
  }
  static void TearDownTestSuite() {
    for (auto& c : cameras_) c.reset();
  }

  // Writes a user-defined name (at most 3 characters here) into camera i's
  // register; waits for the camera to come up the first time.
  static bool rename(int i, const std::string& name) {
    unsigned value = 0;
    for (std::size_t k = 0; k < 4; ++k)
      value = (value << 8) | (k < name.size() ? static_cast<unsigned char>(name[k]) : 0);
    char assignment[40], shown[16];
    std::snprintf(assignment, sizeof assignment, "R[0xE8]=0x%08x", value);
    std::snprintf(shown, sizeof shown, "0x%08x", value);
    for (int attempt = 0; attempt < 50; ++attempt) {
      std::string out;
      if (runProgram({"arv-tool-0.8", "-a", kAddress[i], "control", assignment}, &out) == 0 &&
          out.find(shown) != std::string::npos)
        return true;
      ::usleep(100'000);
    }
    return false;
  }

  // Opens both cameras, triggers a few times in software trigger, and checks
  // that each camera's frames arrive whole, numbered as the plug-in counts.
  template <class Cam>
  static void expectFrames(Cam& cam, bool countsAcrossCaptures) {
    FrameSink::instance().attach(cam, 512, 512);
    ASSERT_EQ(cam.open(0, 0), 3u);
    ZelcamImageSize size = cam.getImageSize();
    EXPECT_EQ(size.width, 512);
    EXPECT_EQ(size.height, 512);
    EXPECT_TRUE(cam.setTriggerMode(1));
    EXPECT_EQ(cam.getTriggerMode(), 1);
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(cam.capture());
      for (int c = 0; c < 2; ++c) EXPECT_TRUE(FrameSink::instance().waitFor(c, i + 1, 5000)) << "camera " << c;
    }
    for (int c = 0; c < 2; ++c) {
      auto frames = FrameSink::instance().frames(c);
      ASSERT_GE(frames.size(), 3u);
      for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(frames[k].index, countsAcrossCaptures ? k : 0u);
        EXPECT_EQ(frames[k].width, 512);
        EXPECT_EQ(frames[k].pixels.size(), 512u * 512u);
      }
    }
    cam.close();
  }

  static std::unique_ptr<BackgroundProcess> cameras_[2];
};

std::unique_ptr<BackgroundProcess> FakeCamera::cameras_[2];

TEST_F(FakeCamera, AceOpensBothByNameAndReceivesFrames) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  ASSERT_TRUE(rename(0, "11") && rename(1, "12"));
  acetest::LoadedPlugin lib(ZEL_ACE_LIBRARY);
  std::unique_ptr<IZelcam3D> cam(lib.create());
  ASSERT_NE(cam, nullptr) << lib.error();
  const std::string log = ::testing::TempDir() + "ace_fake.log";
  cam->setLog(1, log.c_str());
  EXPECT_EQ(cam->getExposure(0), -1);  // before open: no camera object
  expectFrames(*cam, true);

  ASSERT_EQ(cam->open(0, 0), 3u);
  // A second open touches nothing: no second "try to open".
  ASSERT_EQ(cam->open(0, 0), 3u);
  // The fake camera has GainRaw but no ExposureTimeRaw.
  EXPECT_TRUE(cam->setGain(1, 3));
  EXPECT_EQ(cam->getGain(1), 3);
  EXPECT_EQ(cam->getExposure(1), -1);
  // Neither camera has a Line1 input: hardware trigger is refused, the mode kept.
  EXPECT_FALSE(cam->setTriggerMode(0));
  EXPECT_EQ(cam->getTriggerMode(), 1);
  cam->close();
  cam.reset();
  const std::string text = acetest::readText(log);
  std::size_t tries = 0;
  for (std::size_t at = text.find("try to open camera-1\n"); at != std::string::npos;
       at = text.find("try to open camera-1\n", at + 1))
    ++tries;
  EXPECT_EQ(tries, 2u) << text;  // one per real open, none for the open that found it open
  EXPECT_NE(text.find(" image size:\t512,512\n packet size:\t1400\n"), std::string::npos) << text;
  EXPECT_NE(text.find("error: TriggerSource: no entry 'Line1'"), std::string::npos) << text;
  EXPECT_NE(text.find("camera-2 closed\n"), std::string::npos);
}

TEST_F(FakeCamera, AceWithOneCameraMissingOpensTheOther) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  ASSERT_TRUE(rename(0, "99") && rename(1, "12"));
  acetest::LoadedPlugin lib(ZEL_ACE_LIBRARY);
  std::unique_ptr<IZelcam3D> cam(lib.create());
  ASSERT_NE(cam, nullptr) << lib.error();
  EXPECT_EQ(cam->open(0, 0), 2u);
  EXPECT_EQ(cam->getImageSize().width, 512);
  EXPECT_FALSE(cam->capture());  // camera-2 alone takes part
  EXPECT_FALSE(cam->setTriggerMode(1));
}

// A camera in Mono16 sends two bytes a pixel: the eBUS plug-ins refuse it at
// open; OrvCamAce, which does not check the format, never lets such a frame
// into the host's buffer of one byte a pixel.
TEST_F(FakeCamera, Mono16IsRefused) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  ASSERT_EQ(runProgram({"arv-tool-0.8", "-a", kAddress[1], "control", "PixelFormat=Mono16"}), 0);
  ASSERT_TRUE(rename(0, "1") && rename(1, "2"));
  const std::string log = ::testing::TempDir() + "ebus_mono16.log";
  {
    acetest::LoadedPlugin lib(ZEL_EBUS_LIBRARY);
    std::unique_ptr<IZelcam3D> cam(lib.create());
    ASSERT_NE(cam, nullptr) << lib.error();
    cam->setLog(1, log.c_str());
    EXPECT_EQ(cam->open(0, 0), 1u);
  }
  EXPECT_NE(acetest::readText(log).find("error: camera-2 support pixel format only = Mono8\n"), std::string::npos);

  ASSERT_TRUE(rename(0, "11") && rename(1, "12"));
  acetest::LoadedPlugin lib(ZEL_ACE_LIBRARY);
  std::unique_ptr<IZelcam3D> cam(lib.create());
  ASSERT_NE(cam, nullptr) << lib.error();
  cam->setLog(1, log.c_str());
  FrameSink::instance().attach(*cam, 512, 512);
  ASSERT_EQ(cam->open(0, 0), 3u);
  ASSERT_TRUE(cam->setTriggerMode(1));
  EXPECT_TRUE(cam->capture());
  EXPECT_TRUE(FrameSink::instance().waitFor(0, 1, 5000));
  EXPECT_FALSE(FrameSink::instance().waitFor(1, 1, 500));
  cam.reset();
  runProgram({"arv-tool-0.8", "-a", kAddress[1], "control", "PixelFormat=Mono8"});
  EXPECT_NE(acetest::readText(log).find("error: camera-2 image size 524288, expected 262144\n"), std::string::npos);
}

TEST_F(FakeCamera, EbusPluginsOpenBothByNameAndReceiveFrames) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  ASSERT_TRUE(rename(0, "1") && rename(1, "2"));
  {
    acetest::LoadedPlugin lib(ZEL_EBUS_LIBRARY);
    std::unique_ptr<IZelcam3D> cam(lib.create());
    ASSERT_NE(cam, nullptr) << lib.error();
    EXPECT_EQ(cam->open(0, 1), 0u);  // colour is refused
    runProgram({"arv-tool-0.8", "-a", kAddress[0], "control", "GevSCPD=0"});
    expectFrames(*cam, false);
  }
  // The fake camera has no GevTimestampTickFrequency: no delay can be worked
  // out, and 300 ticks are written instead.
  std::string out;
  runProgram({"arv-tool-0.8", "-a", kAddress[0], "control", "GevSCPD"}, &out);
  EXPECT_NE(out.find("GevSCPD = 300"), std::string::npos) << out;
  {
    acetest::LoadedPlugin lib(ZEL_STGIGE_LIBRARY);
    std::unique_ptr<IZelcam3DRev23> cam(lib.create23());
    ASSERT_NE(cam, nullptr) << lib.error();
    expectFrames(*cam, false);
  }
}

}  // namespace
