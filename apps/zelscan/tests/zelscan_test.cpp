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

// Hostile files, settings and paths: one line naming the real cause and the
// file, status 1, and the user's earlier cloud and folders left as they were.
TEST_F(ZelscanDecode, HostileInputsNameTheCauseAndKeepEarlierFiles) {
  const std::string images = " --images " + dir_->string();
  const std::string calib = " --calib " + path("calib");
  // A calibration whose left size is negative: refused, not decoded off the surface.
  fs::create_directories(path("negsize"));
  fs::copy(path("calib"), path("negsize"), fs::copy_options::overwrite_existing);
  {
    std::ifstream in(path("calib/cam0_param.yaml"));
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const std::size_t at = text.find("cam0_size:");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, text.find("cam0_K") - at, "cam0_size: [ -1280, -1024 ]\n");
    std::ofstream(path("negsize/cam0_param.yaml")) << text;
  }
  { std::ofstream(path("nan.ini")) << "[PSLIB]\nmax_ph_diff=nan\n"; }
  { std::ofstream(path("div0.ini")) << "[PSLIB]\nsearch_div=0\n"; }
  { std::ofstream(path("huge.pgm")) << "P5\n65535 65535\n255\n"; }
  fs::create_symlink("loop_b.pgm", path("loop_a.pgm"));
  fs::create_symlink("loop_a.pgm", path("loop_b.pgm"));
  const std::string longPath = "/tmp/" + std::string(6000, 'x');
  std::string left13, hugeLeft;
  for (int k = 0; k < 13; ++k) {
    left13 += " " + path("cam0_" + std::string(k < 10 ? "0" : "") + std::to_string(k) + ".pgm");
  }
  const std::string right13 = [&] {
    std::string r;
    for (int k = 0; k < 13; ++k) r += " " + path("cam1_" + std::string(k < 10 ? "0" : "") + std::to_string(k) + ".pgm");
    return r;
  }();
  const std::string out = " --out " + path("keep.ply");
  { std::ofstream(path("keep.ply")) << "earlier cloud"; }
  fs::create_directories(path("outdir.ply"));
  const struct {
    std::string args, says;
  } cases[] = {
      {"--calib " + path("negsize") + images + out, "negsize/cam0_param.yaml: cam0_size is not two positive integers"},
      {"--settings " + path("nan.ini") + calib + images + out, "nan.ini: max_ph_diff is not a finite number"},
      {"--settings " + path("div0.ini") + calib + images + out, "div0.ini: search_div 0 below 1"},
      {calib + " --left " + path("huge.pgm") + left13.substr(left13.find(' ', 1)) + " --right" + right13 + out,
       "huge.pgm"},
      {calib + " --left " + path("loop_a.pgm") + left13.substr(left13.find(' ', 1)) + " --right" + right13 + out,
       "loop_a.pgm"},
      {"--calib " + longPath + images + out, "calibration folder not found"},
      {"--settings " + longPath + calib + images + out, "settings file not found"},
      {calib + images + " --out " + longPath + ".ply", "cannot write"},
      {calib + images + " --out " + path("outdir.ply"), "it is a folder"},
      {calib + images + out + " --log /nonexistent/zelscan/log.txt", "cannot write the log file"},
  };
  for (const auto& c : cases) {
    const Outcome r = run("decode --decoder phsft " + c.args);
    EXPECT_EQ(r.status, 1) << c.args.substr(0, 200) << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    EXPECT_EQ(lines(r.out), 1) << r.out;
  }
  EXPECT_TRUE(fs::is_directory(path("outdir.ply")));
  // A write that fails part-way (a file-size limit standing in for a full
  // disk) keeps the earlier cloud.
  const std::string cmd = "trap '' XFSZ; ulimit -f 64; " + binDir() + "/zelscan decode --decoder phsft" + calib +
                          images + out + " > " + path("full.log") + " 2>&1";
  const int st = std::system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
  std::ifstream said(path("full.log"));
  EXPECT_NE(std::string((std::istreambuf_iterator<char>(said)), {}).find("cannot write " + path("keep.ply")),
            std::string::npos);
  std::ifstream kept(path("keep.ply"));
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), {}), "earlier cloud");
}

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
  for (const char* args :
       {"decode", "decode --decoder fringe --calib x --out y.ply", "decode --decoder phsft --out y.ply",
        "decode --decoder phsft --calib", "decode --decoder phsft --calib x --out y.ply --frobnicate",
        "decode --decoder phsft --calib x --out y.ply --images a --left b --right c"}) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(lines(r.out), 1) << args << ": " << r.out;
    EXPECT_EQ(r.out.find("terminate"), std::string::npos) << r.out;
  }
}

// The demo's options go through the same walk: a missing value, a value
// that is the next option, a number beyond range or beyond long, an unknown
// option: one line, status 2, and no folder made from an option's name.
TEST(ZelscanCommandLine, DemoArgumentErrorsAreOneLine) {
  for (const char* args : {"demo --out", "demo --out --no-sgbm", "demo --poses 100", "demo --poses 7x",
                           "demo --seed -1", "demo --seed 99999999999999999999", "demo --frobnicate"}) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(lines(r.out), 1) << args << ": " << r.out;
  }
  EXPECT_FALSE(fs::exists("--no-sgbm"));
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
      {"decode --decoder phsft --calib " + path("empty_calib") + images + " --out " + path("a.ply"), "does not load"},
      {"decode --decoder phsft --settings " + path("missing.ini") + " --calib " + path("calib") + images + " --out " +
           path("a.ply"),
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
    if (line.rfind(title, 0) == 0)
      inside = true;
    else if (!line.empty() && line[0] != ' ')
      inside = false;
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
  const double completeness = figure(withCalibrix, "completeness"),
               trueCompleteness = figure(withTruth, "completeness");
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
