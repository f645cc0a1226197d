// zelscan shot against Aravis's fake cameras, in the test's private network
// namespace: a whole set written only when every frame came, one clear line
// and a non-zero status otherwise.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "camera/ace/tests/head_server.h"
#include "camera/ace/tests/host_fixture.h"
#include "sim/gige/testing/private_netns.h"

namespace {

namespace fs = std::filesystem;
using acetest::BackgroundProcess;
using acetest::runProgram;

std::string zelscan() {
  const char* b = std::getenv("ZEL_BINARY_DIR");
  return (b ? std::string(b) + "/bin" : std::string("bin")) + "/zelscan";
}

class ZelscanShot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!sim::netns::inPrivateNetwork()) return;
    runProgram({"ip", "addr", "add", "127.0.0.2/8", "dev", "lo"});
    const char* address[] = {"127.0.0.1", "127.0.0.2"};
    for (int i = 0; i < 2; ++i) {
      cameras_[i] = std::make_unique<BackgroundProcess>(
          std::vector<std::string>{"arv-fake-gv-camera-0.8", "-i", address[i], "-s", "SHOT" + std::to_string(i)});
    }
    // User-defined names "11" and "12" (ASCII in the register's first bytes).
    const char* names[] = {"R[0xE8]=0x31310000", "R[0xE8]=0x31320000"};
    for (int i = 0; i < 2; ++i) {
      for (int attempt = 0; attempt < 50; ++attempt) {
        std::string out;
        if (runProgram({"arv-tool-0.8", "-a", address[i], "control", names[i]}, &out) == 0 &&
            out.find(std::string(names[i]).substr(8)) != std::string::npos) {
          ++named_;
          break;
        }
        ::usleep(100'000);
      }
    }
  }
  static void TearDownTestSuite() {
    for (auto& c : cameras_) c.reset();
  }
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zelscan_shot_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::unique_ptr<BackgroundProcess> cameras_[2];
  static int named_;
  fs::path dir_;
};

std::unique_ptr<BackgroundProcess> ZelscanShot::cameras_[2];
int ZelscanShot::named_ = 0;

TEST_F(ZelscanShot, WritesTheWholeSetWithOneLinePerPattern) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  ASSERT_EQ(named_, 2);
  std::string out;
  const fs::path set = dir_ / "set";
  ASSERT_EQ(runProgram({zelscan(), "shot", "--camera", "ace", "--out", set.string(), "--timeout", "3000"}, &out), 0)
      << out;
  int progress = 0;
  for (std::size_t at = out.find(": pattern "); at != std::string::npos; at = out.find(": pattern ", at + 1))
    ++progress;
  EXPECT_EQ(progress, 13) << out;
  EXPECT_NE(out.find("pattern 12: camera-1 frame 12, camera-2 frame 12"), std::string::npos) << out;
  for (int c = 0; c < 2; ++c) {
    for (int p = 0; p < 13; ++p) {
      char name[32];
      std::snprintf(name, sizeof name, "cam%d_%02d.pgm", c, p);
      cv::Mat image = cv::imread((set / name).string(), cv::IMREAD_UNCHANGED);
      ASSERT_FALSE(image.empty()) << name;
      EXPECT_EQ(image.type(), CV_8UC1);
      EXPECT_EQ(image.cols, 512);
      EXPECT_EQ(image.rows, 512);
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "set.partial"));
}

TEST_F(ZelscanShot, FailuresAreOneLineAndLeaveNoSet) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  std::string out;
  const fs::path set = dir_ / "set";
  // No camera named 11/12 through this plug-in's names: the eBUS plug-in
  // looks for "1" and "2".
  EXPECT_EQ(runProgram({zelscan(), "shot", "--camera", "ebus", "--out", set.string()}, &out), 1);
  EXPECT_EQ(out, "zelscan shot: no camera opened (open returned 0; --log FILE tells why)\n");
  EXPECT_FALSE(fs::exists(set));
  EXPECT_EQ(runProgram({zelscan(), "shot", "--camera", "ace", "--out", set.string(), "--trigger", "hard"}, &out), 2);
  EXPECT_EQ(out, "zelscan shot: --trigger hard needs --projector (the projector fires the cameras)\n");
  // An IPv4 address whose value is below 256 would reach the plug-in as a
  // serial port number.
  EXPECT_EQ(runProgram({zelscan(), "shot", "--camera", "ace", "--out", set.string(), "--projector", "3.0.0.0"}, &out),
            2);
  EXPECT_EQ(out, "zelscan shot: IPv4 address 3.0.0.0 cannot be given to a plug-in (it would read as serial port 3)\n");
  EXPECT_EQ(runProgram({zelscan(), "shot", "--camera", "nosuch", "--out", set.string()}, &out), 1);
  EXPECT_NE(out.find("unknown camera 'nosuch'"), std::string::npos);
  EXPECT_FALSE(fs::exists(set));
}

}  // namespace

namespace {

using acetest::HeadServer;

// zelscan shot on the virtual head, with the projector of `zelsim serve`
// (800 ms per pattern through the plug-in) and its faults.
class ZelscanShotOnHead : public ::testing::Test {
 protected:
  void SetUp() override {
    ZEL_REQUIRE_PRIVATE_NETNS();
    dir_ = fs::temp_directory_path() / ("zelscan_head_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    control_ = (dir_ / "faults").string();
    std::ofstream(control_) << "# none yet\n";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs zelscan shot in the background; its output goes to a file.
  std::unique_ptr<BackgroundProcess> startShot(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {zelscan(),     "shot",      "--camera",  "ace", "--out", (dir_ / "set").string(),
                                     "--projector", "127.0.0.1", "--timeout", "2000"};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<BackgroundProcess>(args, (dir_ / "shot.log").string());
  }
  std::string shotLog() { return acetest::readText((dir_ / "shot.log").string()); }
  bool waitForPattern(int pattern) {
    const std::string line = "pattern " + std::string(pattern < 10 ? " " : "") + std::to_string(pattern) + ":";
    for (int i = 0; i < 300; ++i) {
      if (shotLog().find(line) != std::string::npos) return true;
      ::usleep(50'000);
    }
    return false;
  }
  // The last line zelscan wrote, with its exit status.
  int finish(std::unique_ptr<BackgroundProcess>& shot) { return shot->wait(30'000); }

  HeadServer head_;
  fs::path dir_;
  std::string control_;
};

TEST_F(ZelscanShotOnHead, TwoPercentPacketLossStillGivesTheHeadsImages) {
  std::string error;
  ASSERT_TRUE(head_.start({"11", "12"}, {"--loss", "0.02"}, &error)) << error;
  auto shot = startShot({"--trigger", "hard"});
  ASSERT_EQ(finish(shot), 0) << shotLog();
  for (int c = 0; c < 2; ++c) {
    for (int p = 0; p < 13; ++p) {
      char name[32];
      std::snprintf(name, sizeof name, "cam%d_%02d.pgm", c, p);
      cv::Mat image = cv::imread((dir_ / "set" / name).string(), cv::IMREAD_UNCHANGED);
      ASSERT_EQ(image.total(), static_cast<std::size_t>(HeadServer::kWidth * HeadServer::kHeight)) << name;
      EXPECT_EQ(std::memcmp(image.data, head_.images().image(c, p), image.total()), 0) << name;
    }
  }
}

// Frames whose lost packets are gone for good are never taken for good
// frames: the shot ends at the first pattern that lacks a whole frame.
TEST_F(ZelscanShotOnHead, IncompleteFramesEndTheShotWithOneLine) {
  std::string error;
  ASSERT_TRUE(head_.start({"11", "12"}, {"--loss", "0.05", "--incomplete", "1"}, &error)) << error;
  auto shot = startShot({"--trigger", "hard"});
  EXPECT_EQ(finish(shot), 1) << shotLog();
  const std::string log = shotLog();
  EXPECT_NE(log.find("zelscan shot: no frame from "), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(dir_ / "set"));
}

TEST_F(ZelscanShotOnHead, CameraVanishingMidShotEndsWithOneLine) {
  std::string error;
  ASSERT_TRUE(head_.start({"11", "12"}, {"--control", control_}, &error)) << error;
  auto shot = startShot({});
  ASSERT_TRUE(waitForPattern(2)) << shotLog();
  std::ofstream(control_) << "device 1 vanish 1\n";
  EXPECT_EQ(finish(shot), 1) << shotLog();
  const std::string log = shotLog();
  // Camera-2's trigger thread waits out the transport's retries while it
  // holds the library-wide trigger lock, so camera-1 may miss the time-out too.
  EXPECT_NE(log.find("zelscan shot: no frame from "), std::string::npos) << log;
  EXPECT_EQ(log.find("pattern 12:"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(dir_ / "set"));
}

TEST_F(ZelscanShotOnHead, ProjectorDropEndsWithOneLine) {
  std::string error;
  ASSERT_TRUE(head_.start({"11", "12"}, {}, &error)) << error;
  auto shot = startShot({"--trigger", "hard"});
  ASSERT_TRUE(waitForPattern(1)) << shotLog();
  head_.stop();  // the whole head goes: projector link and cameras
  EXPECT_EQ(finish(shot), 1) << shotLog();
  const std::string log = shotLog();
  // The shot sends the next pattern as soon as it has printed this one: on a
  // busy machine the projector may still show it before the head is gone,
  // and then the missing frame ends the shot instead.
  EXPECT_TRUE(log.find("zelscan shot: the projector did not show pattern ") != std::string::npos ||
              log.find("zelscan shot: no frame from ") != std::string::npos)
      << log;
  EXPECT_FALSE(fs::exists(dir_ / "set"));
}

}  // namespace

namespace {

// The whole chain at the decoder's size: a hardware-trigger shot from the
// head, decoded with --decode, gives the same cloud as decoding the files
// zelsim renders for the scene.
TEST(ZelscanShotChain, DecodedShotEqualsDecodedRenderedFiles) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  const char* bin = std::getenv("ZEL_BINARY_DIR");
  ASSERT_NE(bin, nullptr);
  const std::string zelsim = std::string(bin) + "/bin/zelsim";
  const fs::path dir = fs::temp_directory_path() / ("zelscan_chain_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string out;
  ASSERT_EQ(runProgram({zelsim, "render", "--scene", "plane", "--out", (dir / "rendered").string(), "--supersample",
                        "1", "--noise", "0", "--quiet"},
                       &out),
            0)
      << out;
  const std::string cache = acetest::headCacheDir();
  BackgroundProcess serve({zelsim, "serve", "--scene", "plane", "--head", "cameras", "--supersample", "1", "--noise",
                           "0", "--cache", cache, "--no-publish"},
                          (dir / "serve.log").string());
  ASSERT_TRUE(acetest::waitForReady((dir / "serve.log").string(), 60000))
      << acetest::readText((dir / "serve.log").string());
  const std::string calib = (dir / "rendered" / "calib").string();
  ASSERT_EQ(runProgram({zelscan(), "shot", "--camera", "ace", "--projector", "127.0.0.1", "--trigger", "hard", "--out",
                        (dir / "shot").string(), "--decode", "--calib", calib, "--cloud", (dir / "shot.ply").string()},
                       &out),
            0)
      << out;
  ASSERT_EQ(runProgram({zelscan(), "decode", "--decoder", "phsft", "--calib", calib, "--images",
                        (dir / "rendered").string(), "--out", (dir / "rendered.ply").string()},
                       &out),
            0)
      << out;
  const std::string shot = acetest::readText((dir / "shot.ply").string());
  EXPECT_GT(shot.size(), 100000u);
  EXPECT_TRUE(shot == acetest::readText((dir / "rendered.ply").string()));
  fs::remove_all(dir);
}

}  // namespace

namespace {

// zelscan shot through OrvCamKtds on the virtual stereo head: the projector
// commands go through the plug-in to the head's channel, in hardware and in
// software trigger, and the set holds the head's images byte for byte.
TEST(ZelscanShotOnStereoHead, BothTriggerModesGiveTheHeadsImages) {
  ZEL_REQUIRE_PRIVATE_NETNS();
  const char* bin = std::getenv("ZEL_BINARY_DIR");
  ASSERT_NE(bin, nullptr);
  const fs::path dir = fs::temp_directory_path() / ("zelscan_ktds_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const sim::head::SceneImageOptions o = acetest::headSceneOptions(HeadServer::kWidth, HeadServer::kHeight);
  const std::string cache = o.cacheDir;
  sim::head::SceneImages images;
  std::string error;
  ASSERT_TRUE(sim::head::loadSceneImages(o, images, &error)) << error;
  const std::string size = std::to_string(o.width) + "x" + std::to_string(o.height);
  BackgroundProcess serve({std::string(bin) + "/bin/zelsim", "serve", "--scene", "plane", "--head", "stereo", "--size",
                           size, "--supersample", "1", "--noise", "0", "--cache", cache, "--fps", "50", "--no-publish"},
                          (dir / "serve.log").string());
  ASSERT_TRUE(acetest::waitForReady((dir / "serve.log").string(), 30000))
      << acetest::readText((dir / "serve.log").string());
  // Gevlink's trace stays off: the test leaves nothing in the user's state folder.
  std::ofstream((dir / "gevlink.conf").string()) << "[SOFTWARE\\RivUZ\\ZazAVir\\Trace]\nTraceFileDirectory=\n";
  ::setenv("GEVLINK_CONFIG", (dir / "gevlink.conf").c_str(), 1);
  for (const char* trigger : {"hard", "soft"}) {
    const fs::path set = dir / trigger;
    std::string out;
    ASSERT_EQ(runProgram({zelscan(), "shot", "--camera", "ktds", "--trigger", trigger, "--out", set.string(),
                          "--timeout", "3000"},
                         &out),
              0)
        << out;
    EXPECT_NE(out.find(std::string("zelscan shot: ") + std::to_string(o.width) + " x " + std::to_string(o.height) +
                       ", " + (trigger[0] == 'h' ? "hardware" : "software") + " trigger\n"),
              std::string::npos)
        << out;
    for (int c = 0; c < 2; ++c) {
      for (int p = 0; p < 13; ++p) {
        char name[32];
        std::snprintf(name, sizeof name, "cam%d_%02d.pgm", c, p);
        cv::Mat image = cv::imread((set / name).string(), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(image.total(), static_cast<std::size_t>(o.width * o.height)) << trigger << " " << name;
        EXPECT_EQ(std::memcmp(image.data, images.image(c, p), image.total()), 0) << trigger << " " << name;
      }
    }
  }
  ::unsetenv("GEVLINK_CONFIG");
  fs::remove_all(dir);
}

}  // namespace
