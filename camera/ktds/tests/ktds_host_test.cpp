// OrvCamKtds against the virtual stereo head (`zelsim serve --head stereo`)
// in a private network namespace, through include/ and dlopen only. One head
// serves the whole suite; the cases run in order (each leaves the head as
// the next one expects: trigger register, frame size, faults).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "camera/ace/tests/head_server.h"
#include "camera/ace/tests/host_fixture.h"
#include "sim/gige/testing/private_netns.h"
#include "sim/head/scene_images.h"
#include "zelcam3d.h"

namespace {

namespace fs = std::filesystem;
using acetest::FrameSink;
using acetest::readText;
using Clock = std::chrono::steady_clock;

constexpr int kW = 320, kH = 256;                   // each camera's rendered image
constexpr unsigned kHeadAddress = 127u | 2u << 24;  // 127.0.0.2, first octet lowest
// Free-running frames (software trigger) come every 10 ms; a pattern change
// is in every frame begun after it, so a capture this long after it takes
// the new pattern.
constexpr int kFps = 100;
constexpr int kSettleMs = 80;

std::string countText(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return std::to_string(n);
}

class KtdsOnHead : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!sim::netns::inPrivateNetwork()) return;
    dir_ = fs::temp_directory_path() / ("ktds_host_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(control()) << "# no faults\n";
    // Gevlink's trace stays off: the tests leave nothing in the user's state folder.
    std::ofstream((dir_ / "gevlink.conf").string()) << "[SOFTWARE\\RivUZ\\ZazAVir\\Trace]\nTraceFileDirectory=\n";
    ::setenv("GEVLINK_CONFIG", (dir_ / "gevlink.conf").c_str(), 1);
    const char* bin = std::getenv("ZEL_BINARY_DIR");
    const sim::head::SceneImageOptions o = acetest::headSceneOptions(kW, kH);
    const std::string cache = o.cacheDir;
    if (!sim::head::loadSceneImages(o, images_, &error_)) return;
    server_ = std::make_unique<acetest::BackgroundProcess>(
        std::vector<std::string>{std::string(bin ? bin : ".") + "/bin/zelsim", "serve", "--scene", "plane", "--head",
                                 "stereo", "--size", std::to_string(kW) + "x" + std::to_string(kH), "--supersample",
                                 "1", "--noise", "0", "--cache", cache, "--fps", std::to_string(kFps), "--no-publish",
                                 "--control", control()},
        serverLog());
    if (!acetest::waitForReady(serverLog(), 30000)) error_ = "zelsim serve: " + readText(serverLog());
  }
  static void TearDownTestSuite() {
    server_.reset();
    fs::remove_all(dir_);
  }
  static std::string control() { return (dir_ / "faults").string(); }
  static std::string serverLog() { return (dir_ / "serve.log").string(); }

  // Writes the fault control file and waits until the head applied it.
  static bool setFaults(const std::string& text) {
    const std::string before = countText(readText(serverLog()), "applied\n");
    std::ofstream(control()) << text;
    for (int i = 0; i < 100; ++i) {
      if (countText(readText(serverLog()), "applied\n") != before) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  void SetUp() override {
    ZEL_REQUIRE_PRIVATE_NETNS();
    ASSERT_TRUE(error_.empty()) << error_;
    ASSERT_TRUE(server_);
    log_ = (dir_ / (std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".log")).string();
    cam_.reset(lib_.create());
    ASSERT_NE(cam_, nullptr) << lib_.error();
    cam_->setLog(1, log_.c_str());
    FrameSink::instance().attach(*cam_, kW, kH);
  }
  void TearDown() override { cam_.reset(); }

  // Both cameras' frames of one 13-pattern shot equal the head's images.
  void shoot(bool software) {
    FrameSink::instance().clear();
    cam_->resetFrameCount();
    for (int p = 0; p < 13; ++p) {
      ASSERT_TRUE(cam_->projectorCommandP(p));
      if (software) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
        ASSERT_TRUE(cam_->capture());
      }
      for (int c = 0; c < 2; ++c) ASSERT_TRUE(FrameSink::instance().waitFor(c, p + 1, 3000)) << "pattern " << p;
    }
    for (int c = 0; c < 2; ++c) {
      auto frames = FrameSink::instance().frames(c);
      ASSERT_EQ(frames.size(), 13u) << "camera " << c;
      for (int p = 0; p < 13; ++p) {
        EXPECT_EQ(frames[p].width, kW);
        if (!software) {
          EXPECT_EQ(frames[p].index, static_cast<std::uint32_t>(p));
        }
        if (p > 0) {
          EXPECT_GT(frames[p].index, frames[p - 1].index);
        }
        EXPECT_EQ(std::memcmp(frames[p].pixels.data(), images_.image(c, p), kW * kH), 0)
            << "camera " << c << " pattern " << p;
      }
    }
  }

  static fs::path dir_;
  static std::string error_;
  static std::unique_ptr<acetest::BackgroundProcess> server_;
  static sim::head::SceneImages images_;
  acetest::LoadedPlugin lib_{ZEL_KTDS_LIBRARY};
  std::unique_ptr<IZelcam3D> cam_;
  std::string log_;
};

fs::path KtdsOnHead::dir_;
std::string KtdsOnHead::error_;
std::unique_ptr<acetest::BackgroundProcess> KtdsOnHead::server_;
sim::head::SceneImages KtdsOnHead::images_;

TEST_F(KtdsOnHead, OpensTheHeadByAddressAndLogsWhatItRead) {
  // Nothing open: every operation fails without a device.
  EXPECT_EQ(cam_->getImageSize().width, 0);
  EXPECT_FALSE(cam_->capture());
  EXPECT_EQ(cam_->getExposure(0), -1);
  EXPECT_FALSE(cam_->setExposure(1, 100));
  EXPECT_EQ(cam_->projectorDiag(), -1);
  EXPECT_FALSE(cam_->setTriggerMode(1));
  EXPECT_EQ(cam_->open(0, static_cast<int>(127u | 9u << 24)), 0u);  // nobody at 127.0.0.9

  ASSERT_EQ(cam_->open(0, static_cast<int>(kHeadAddress)), 3u);
  EXPECT_EQ(cam_->open(0, 0), 3u);
  EXPECT_EQ(cam_->getImageSize().width, kW);
  EXPECT_EQ(cam_->getImageSize().height, kH);
  cam_.reset();
  const std::string log = readText(log_);
  EXPECT_NE(log.find("error: no head found at the address asked for\n"), std::string::npos) << log;
  EXPECT_NE(log.find("IP address: 127.0.0.1[iiFlags:"), std::string::npos) << log;
  EXPECT_NE(log.find("device discovery...\nuse nic\t[127.0.0.1]\ndevice\t[127.0.0.2]\n"
                     "firmware=MicroBlaze[1.4] FPGA[2.7]\ntransfer mode=0\npixel clock delay=0\nanalog gain=0\n"
                     "image size=640x256\npayload size=163840\nalready opened.\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("closed\n"), std::string::npos) << log;
}

// The head powers up in software trigger (register 0): asking for that mode
// must still start streaming. Then shots in both modes.
TEST_F(KtdsOnHead, ShotsInBothTriggerModesGiveTheHeadsImages) {
  ASSERT_EQ(cam_->open(0, 0), 3u);
  EXPECT_EQ(cam_->getTriggerMode(), 1);
  ASSERT_TRUE(cam_->setTriggerMode(1));
  // Camera-2 shares camera-1's settings: its index writes nothing.
  EXPECT_TRUE(cam_->setExposure(1, 5000));
  EXPECT_EQ(cam_->getExposure(1), 10000);
  EXPECT_TRUE(cam_->setGain(0, 100));
  EXPECT_EQ(cam_->getAnalogGain(0), 0);
  shoot(true);

  // Two captures before the next frame let one frame through; without a
  // capture nothing passes although the head keeps sending.
  FrameSink::instance().clear();
  EXPECT_TRUE(cam_->capture());
  EXPECT_TRUE(cam_->capture());
  ASSERT_TRUE(FrameSink::instance().waitFor(1, 1, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(FrameSink::instance().frames(0).size(), 1u);
  EXPECT_EQ(FrameSink::instance().frames(1).size(), 1u);

  ASSERT_TRUE(cam_->setTriggerMode(0));
  EXPECT_EQ(cam_->getTriggerMode(), 0);
  shoot(false);
  EXPECT_EQ(cam_->getFrameCount(1), 13u);
}

// The head is in hardware trigger now (the last case left it there): that
// mode asked again by a new instance still streams. The projector's texts
// reach the head's channel whole.
TEST_F(KtdsOnHead, HeadAlreadyInHardwareTriggerStreamsAndTheProjectorTextsArrive) {
  ASSERT_EQ(cam_->open(0, 0), 3u);
  EXPECT_EQ(cam_->getTriggerMode(), 0);
  ASSERT_TRUE(cam_->setTriggerMode(0));
  // 261 shows pattern 5 (its low 8 bits); 300 sends "o44", which the head
  // takes for no pattern.
  ASSERT_TRUE(cam_->projectorCommandP(261));
  ASSERT_TRUE(FrameSink::instance().waitFor(0, 1, 3000));
  EXPECT_EQ(std::memcmp(FrameSink::instance().frames(0)[0].pixels.data(), images_.image(0, 5), kW * kH), 0);
  EXPECT_TRUE(cam_->projectorCommandP(300));
  EXPECT_FALSE(FrameSink::instance().waitFor(0, 2, 300));
  // A letter with a wrong complement would be refused by the head: the
  // light level it takes and reports back shows every character came whole.
  EXPECT_EQ(cam_->projectorDiag(), 255);
  EXPECT_TRUE(cam_->projectorSetLight(16));
  EXPECT_EQ(cam_->projectorDiag(), 16);
  EXPECT_TRUE(cam_->projectorSetLight(255));
  EXPECT_EQ(cam_->projectorDiag(), 255);
  EXPECT_TRUE(cam_->openProjector(0));
  EXPECT_TRUE(cam_->projectorCommandR());
  EXPECT_TRUE(cam_->projectorCommandX(7));
}

TEST_F(KtdsOnHead, PacketLossGivesWholeFramesOrNoneAndStreamingGoesOn) {
  ASSERT_TRUE(setFaults("loss 0.02\n"));
  ASSERT_EQ(cam_->open(0, 0), 3u);
  ASSERT_TRUE(cam_->setTriggerMode(0));
  shoot(false);
  // Frames that stay incomplete are dropped, and streaming goes on: the
  // next whole frame arrives.
  ASSERT_TRUE(setFaults("loss 0.05\nincomplete 1\n"));
  FrameSink::instance().clear();
  for (int p = 0; p < 3; ++p) ASSERT_TRUE(cam_->projectorCommandP(p));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  ASSERT_TRUE(setFaults("loss 0\nincomplete 0\n"));
  const std::size_t before = FrameSink::instance().frames(0).size();
  ASSERT_TRUE(cam_->projectorCommandP(4));
  ASSERT_TRUE(FrameSink::instance().waitFor(0, before + 1, 3000)) << readText(log_);
  EXPECT_EQ(std::memcmp(FrameSink::instance().frames(0).back().pixels.data(), images_.image(0, 4), kW * kH), 0);
  EXPECT_NE(readText(log_).find("GDevWaitStream ERROR_EXTENDED_ERROR GDEV_FRAME_INCOMPLETE\n"), std::string::npos)
      << readText(log_);
}

TEST_F(KtdsOnHead, Format130GivesHalfFramesOf1280x1024) {
  ASSERT_EQ(cam_->open(130, 0), 3u);
  EXPECT_EQ(cam_->getImageSize().width, 1280);
  EXPECT_EQ(cam_->getImageSize().height, 1024);
  FrameSink::instance().attach(*cam_, 1280, 1024);
  ASSERT_TRUE(cam_->setTriggerMode(0));
  ASSERT_TRUE(cam_->projectorCommandP(1));
  for (int c = 0; c < 2; ++c) {
    ASSERT_TRUE(FrameSink::instance().waitFor(c, 1, 5000));
    const acetest::ReceivedFrame f = FrameSink::instance().frames(c)[0];
    EXPECT_EQ(f.width, 1280);
    EXPECT_EQ(f.height, 1024);
    // The lit plane, not a black frame or the other camera's half.
    unsigned long long sum = 0;
    for (std::uint8_t v : f.pixels) sum += v;
    EXPECT_GT(sum, 1280ull * 1024 * 20);
  }
  EXPECT_NE(FrameSink::instance().frames(0)[0].pixels, FrameSink::instance().frames(1)[0].pixels);
  EXPECT_NE(readText(log_).find("set image size=2560x1024...\n"), std::string::npos);
}

// The head vanishes mid-shot: the plug-in says so, fails what needs the
// head, and its tear-down does not wait for the lost device.
TEST_F(KtdsOnHead, HeadVanishingMidShotIsAClearErrorAndTearDownIsQuick) {
  ASSERT_EQ(cam_->open(0, 0), 3u);
  const ZelcamImageSize size = cam_->getImageSize();
  FrameSink::instance().attach(*cam_, size.width, size.height);
  ASSERT_TRUE(cam_->setTriggerMode(0));
  ASSERT_TRUE(cam_->projectorCommandP(0));
  ASSERT_TRUE(FrameSink::instance().waitFor(1, 1, 5000));
  ASSERT_TRUE(setFaults("vanish 1\n"));
  EXPECT_FALSE(cam_->projectorCommandP(1));
  bool noticed = false;
  for (int i = 0; i < 100 && !noticed; ++i) {
    noticed = readText(log_).find("error: the head stopped streaming") != std::string::npos;
    if (!noticed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(noticed) << readText(log_);
  EXPECT_FALSE(cam_->capture());
  const Clock::time_point start = Clock::now();
  cam_.reset();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_LT(ms, 1000);
  EXPECT_TRUE(setFaults("vanish 0\n"));
}

}  // namespace
