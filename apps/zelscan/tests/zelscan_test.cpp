// zelscan as a user meets it: run as a subprocess, every failure one clear
// line and a non-zero status, a decode that writes a cloud that reads back.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "viewer/cloud/point_files.h"

namespace {

namespace fs = std::filesystem;

std::string binDir() {
  const char* b = std::getenv("ZEL_BINARY_DIR");
  return b ? std::string(b) + "/bin" : "bin";
}

struct Outcome {
  int status = -1;
  std::string out;  // stdout and stderr together
};

Outcome run(const std::string& args) {
  Outcome r;
  std::string cmd = binDir() + "/zelscan " + args + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

int lines(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

// A rendered plane scene with its true calibration, made once for the suite.
class ZelscanDecode : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new fs::path(fs::temp_directory_path() / ("zelscan_test_" + std::to_string(::getpid())));
    fs::create_directories(*dir_);
    std::string cmd = binDir() + "/zelsim render --scene plane --out " + dir_->string() +
                      " --supersample 1 --quiet > " + (*dir_ / "zelsim.log").string() + " 2>&1";
    rendered_ = std::system(cmd.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    fs::remove_all(*dir_);
    delete dir_;
  }
  void SetUp() override {
    if (!rendered_) GTEST_SKIP() << "zelsim could not render the test scene";
  }
  static std::string path(const std::string& rel) { return (*dir_ / rel).string(); }
  static fs::path* dir_;
  static bool rendered_;
};
fs::path* ZelscanDecode::dir_ = nullptr;
bool ZelscanDecode::rendered_ = false;

TEST(ZelscanCommandLine, UsageAndUnknownCommands) {
  Outcome none = run("");
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.out.find("Usage: zelscan COMMAND"), std::string::npos);
  Outcome help = run("--help");
  EXPECT_EQ(help.status, 0);
  Outcome bogus = run("scan-everything");
  EXPECT_EQ(bogus.status, 2);
  EXPECT_EQ(lines(bogus.out), 1) << bogus.out;
  Outcome demoBogus = run("demo --poses 2");
  EXPECT_EQ(demoBogus.status, 2);
  EXPECT_EQ(lines(demoBogus.out), 1) << demoBogus.out;
}

TEST(ZelscanCommandLine, DecodeArgumentErrorsAreOneLine) {
  for (const char* args : {"decode", "decode --decoder fringe --calib x --out y.ply",
                           "decode --decoder phsft --out y.ply", "decode --decoder phsft --calib",
                           "decode --decoder phsft --calib x --out y.ply --frobnicate",
                           "decode --decoder phsft --calib x --out y.ply --images a --left b --right c"}) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(lines(r.out), 1) << args << ": " << r.out;
    EXPECT_EQ(r.out.find("terminate"), std::string::npos) << r.out;
  }
}

TEST_F(ZelscanDecode, WritesACloudThatReadsBack) {
  std::string out = path("plane.ply");
  Outcome r = run("decode --decoder phsft --calib " + path("calib") + " --images " + dir_->string() + " --out " + out);
  ASSERT_EQ(r.status, 0) << r.out;
  cloud::CloudStore store;
  cloud::LoadPointFile(store, out);
  EXPECT_GT(store.pointCount(), 500000u);
  EXPECT_NE(r.out.find(std::to_string(store.pointCount()) + " points"), std::string::npos) << r.out;
  // The plane stands 700 mm in front of the head.
  double z = 0;
  for (std::size_t i = 0; i < store.pointCount(); ++i) z += store.positions()[3 * i + 2];
  EXPECT_NEAR(z / store.pointCount(), 700.0, 30.0);
}

TEST_F(ZelscanDecode, BadInputsFailWithOneClearLine) {
  std::string images = " --images " + dir_->string();
  struct Case {
    std::string args;
    std::string says;
  };
  fs::create_directories(path("empty_calib"));
  { std::ofstream(path("bad.ini")) << "[PhaseShift]\nimage_width=640\nimage_height=480\n"; }
  const Case cases[] = {
      {"decode --decoder phsft --calib " + path("nowhere") + images + " --out " + path("a.ply"),
       "calibration folder not found"},
      {"decode --decoder phsft --calib " + path("empty_calib") + images + " --out " + path("a.ply"),
       "does not load"},
      {"decode --decoder phsft --settings " + path("missing.ini") + " --calib " + path("calib") + images +
           " --out " + path("a.ply"),
       "settings file not found"},
      {"decode --decoder phsft --settings " + path("bad.ini") + " --calib " + path("calib") + images + " --out " +
           path("a.ply"),
       "expected 640 x 480"},
      {"decode --decoder phsft --calib " + path("calib") + " --images " + path("calib") + " --out " + path("a.ply"),
       "no such image"},
      {"decode --decoder phsft --calib " + path("calib") + " --left " + path("cam0_00.pgm") + " --right " +
           path("cam1_00.pgm") + " --out " + path("a.ply"),
       "takes 13 image(s) per camera"},
      {"decode --decoder phsft --calib " + path("calib") + images + " --out " + path("a.xyz"),
       "unknown point file extension"},
      {"decode --decoder phsft --calib " + path("calib") + images + " --out " + path("no/such/dir/a.ply"),
       "cannot write"},
  };
  for (const Case& c : cases) {
    Outcome r = run(c.args);
    EXPECT_EQ(r.status, 1) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
    EXPECT_EQ(lines(r.out), 1) << c.args << "\n" << r.out;
  }
  EXPECT_FALSE(fs::exists(path("a.ply")));
  EXPECT_FALSE(fs::exists(path("a.xyz")));
}

// The check lines ("... (target ...)") of the report block whose title
// begins with `title`.
std::vector<std::string> checkLines(const fs::path& report, const std::string& title) {
  std::ifstream in(report);
  std::vector<std::string> out;
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.rfind(title, 0) == 0) inside = true;
    else if (!line.empty() && line[0] != ' ') inside = false;
    if (inside && line.find("(target") != std::string::npos) out.push_back(line);
  }
  return out;
}

// The main job with a smaller board set: every stage runs, calibrix's
// calibration meets its targets, both clouds are written and read back.
TEST(ZelscanDemo, WholeChainOnTheVirtualHead) {
  fs::path dir = fs::temp_directory_path() / ("zelscan_demo_" + std::to_string(::getpid()));
  Outcome r = run("demo --out " + dir.string() + " --poses 10 --no-screenshot");
  std::printf("%s", r.out.c_str());
  ASSERT_EQ(r.status, 0);
  for (int step = 1; step <= 6; ++step) {
    EXPECT_NE(r.out.find("[" + std::to_string(step) + "/6]"), std::string::npos) << "progress of step " << step;
  }
  const std::vector<std::string> calibration = checkLines(dir / "report.txt", "calibration");
  EXPECT_EQ(calibration.size(), 7u);
  // The reference board's plane, decoded in board coordinates.
  const std::vector<std::string> plane = checkLines(dir / "report.txt", "reference board plane");
  EXPECT_EQ(plane.size(), 2u);
  // calibrix's calibration decodes as well as the true one.
  auto figure = [](const std::vector<std::string>& checks, const std::string& what) {
    for (const std::string& line : checks)
      if (line.find(what) != std::string::npos) return std::stod(line.substr(line.find(what) + what.size()));
    return -1.0;
  };
  const std::vector<std::string> withCalibrix =
      checkLines(dir / "report.txt", "phase-shift decoder, match_mode 1, calibrix");
  const std::vector<std::string> withTruth = checkLines(dir / "report.txt", "phase-shift decoder, match_mode 1, true");
  const std::vector<std::string> defaultRules = checkLines(dir / "report.txt", "phase-shift decoder, match_mode 0");
  EXPECT_EQ(withCalibrix.size(), 3u);
  EXPECT_EQ(withTruth.size(), 3u);
  EXPECT_EQ(defaultRules.size(), 4u);
  EXPECT_TRUE(fs::exists(dir / "phsft_settings.ini"));
  const double completeness = figure(withCalibrix, "completeness"), trueCompleteness = figure(withTruth, "completeness");
  const double rms = figure(withCalibrix, "true surface"), trueRms = figure(withTruth, "true surface");
  ASSERT_GT(trueCompleteness, 0);
  ASSERT_GT(trueRms, 0);
  EXPECT_NEAR(completeness, trueCompleteness, 1.0);  // percentage points
  EXPECT_LE(rms, 1.1 * trueRms);
  // Measurement matching meets its bounds with either calibration, and the
  // default rules what they deliver.
  for (const auto* block : {&calibration, &plane, &withCalibrix, &withTruth, &defaultRules})
    for (const std::string& line : *block) EXPECT_NE(line.find(" ok "), std::string::npos) << line;
  for (const char* cloudFile : {"cloud_phsft.ply", "cloud_sgbm.ply"}) {
    cloud::CloudStore store;
    cloud::LoadPointFile(store, dir / cloudFile);
    EXPECT_GT(store.pointCount(), 100000u) << cloudFile;
    EXPECT_TRUE(fs::exists((dir / cloudFile).replace_extension("ini"))) << cloudFile;
  }
  fs::remove_all(dir);
}

}  // namespace
