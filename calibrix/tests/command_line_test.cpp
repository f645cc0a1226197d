// The calibrix program's argument handling, run as a subprocess.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <unistd.h>
#include <filesystem>
#include <fstream>

#include "calibrix/image_set.h"
#include "calibrix/tests/run_calibrix.h"
#include "calibrix/tests/test_dir.h"

using namespace calibrix::test;

namespace {

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (calibrixBinary().empty()) GTEST_SKIP() << "calibrix program path unknown";
  }
  TestDir dir;
};

std::string usageHead() {
  return "Usage: " + calibrixBinary() + " dirname hdrname n_frames [config.yaml] [-result_output] [resultname]\n";
}

}  // namespace

TEST_F(CommandLine, WrongArgumentCountsPrintTheUsageText) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"dir"},
      {"-draw_marker", "in.pgm"},
      {"-conv_rectify_img", "a", "b", "c"},
      {"-conv_rectify_img", "a", "b", "c", "d", "e"},
      {"-conv_rectify_lr_img", "a", "b", "c"},
      {"dir", "hdr"},
      {"dir", "hdr", "0"},
      {"dir", "hdr", "-3"},
      {"dir", "hdr", "abc"},
      {"dir", "hdr", "5", "-result_output"},
  };
  for (const auto& args : cases) {
    const RunResult r = runCalibrix(dir.path(), args);
    EXPECT_EQ(r.status, 1) << args.size();
    EXPECT_TRUE(r.err.starts_with(usageHead())) << r.err;
    EXPECT_TRUE(r.err.ends_with("\toutput_right_path: 出力先ファイルパス\n"));
    EXPECT_EQ(r.out, "");
  }
  const RunResult r = runCalibrix(dir.path(), {});
  EXPECT_NE(r.err.find("\n\n                 Or \n\n       " + calibrixBinary() +
                       " -draw_marker input_path output_path [config.yaml]\n"),
            std::string::npos);
  EXPECT_NE(r.err.find(" -conv_rectify_img input_path rect_param_path eye_type output_path \n"), std::string::npos);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 7 + 3 + 5 + 3 + 3 + 3 + 6 + 3 + 6);
}

TEST_F(CommandLine, SettingsFileMustExistAndTheLaterOneWins) {
  RunResult r = runCalibrix(dir.path(), {"dir", "hdr", "5", "none.yaml"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "設定ファイルが見つかりませんでした。 パス=none.yaml");
  std::ofstream(dir / "b.yaml") << "%YAML:1.0\n---\nunitleng: 30\n";
  r = runCalibrix(dir.path(), {"dir", "hdr", "5", "none.yaml", "b.yaml"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "指定された画像が読み込めませんでした.\n"
            "カメラ0のキャリブレーション画像の読み込みに失敗しました\n");
  // "-result_output" consumes its argument; the settings path after it counts.
  r = runCalibrix(dir.path(), {"dir", "hdr", "5", "-result_output", "b.yaml", "none.yaml"});
  EXPECT_EQ(r.err, "設定ファイルが見つかりませんでした。 パス=none.yaml");
  EXPECT_FALSE(std::filesystem::exists(dir / "cam0_param.yaml"));
}

TEST_F(CommandLine, UtilityModesReportUnopenableSettings) {
  RunResult r = runCalibrix(dir.path(), {"-setting_output_csv", "none.yaml"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("none.yaml"), std::string::npos);
  EXPECT_EQ(r.out, "");
  cv::imwrite(dir / "in.pgm", cv::Mat(40, 40, CV_8U, cv::Scalar(128)));
  r = runCalibrix(dir.path(), {"-draw_marker", "in.pgm", "out.png", "none.yaml"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("none.yaml"), std::string::npos);
  r = runCalibrix(dir.path(), {"-draw_marker", "missing.pgm", "out.png"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "input image load failed. path=missing.pgm");
  r = runCalibrix(dir.path(), {"-draw_marker", "in.pgm", "out.png"});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(r.err.ends_with("image scan failed. ret=0 path=in.pgm")) << r.err;
  r = runCalibrix(dir.path(), {"-setting_output_csv", "-"});
  EXPECT_NE(r.status, 0);
}

// Damaged settings files that exist: one line naming the file and the cause,
// status 1, never a crash inside the YAML parser or "not found".
TEST_F(CommandLine, DamagedSettingsNameFileAndCause) {
  std::ofstream(dir / "deep.yaml") << "%YAML:1.0\n---\nunitleng: " << std::string(50000, '[') << "\n";
  std::ofstream(dir / "dash.yaml") << "%YAML:1.0\n----\n";
  std::ofstream(dir / "nan.yaml") << "%YAML:1.0\n---\nunitleng: .nan\n";
  const struct {
    const char* file;
    const char* cause;
  } cases[] = {{"deep.yaml", "line 3: nested too deeply"},
               {"dash.yaml", "line 2: expected \"key: value\""},
               {"nan.yaml", "unitleng is not finite"}};
  for (const auto& c : cases) {
    for (const char* mode : {"-setting_output_csv", "calibration"}) {
      const bool csv = mode[0] == '-';
      const RunResult r =
          csv ? runCalibrix(dir.path(), {mode, c.file}) : runCalibrix(dir.path(), {"dir", "hdr", "5", c.file});
      EXPECT_EQ(r.status, 1) << c.file;
      EXPECT_EQ(r.err, "error: settings file " + std::string(c.file) + ": " + c.cause + "\n");
      EXPECT_EQ(r.out, "");
    }
  }
  std::ofstream(dir / "ro.yaml") << "%YAML:1.0\n---\nunitleng: 30\n";
  std::filesystem::permissions(dir / "ro.yaml", std::filesystem::perms::owner_read);
  if (::access((dir / "ro.yaml").c_str(), W_OK) != 0) {  // not when the tests run as root
    const RunResult r = runCalibrix(dir.path(), {"dir", "hdr", "5", "ro.yaml"});
    EXPECT_EQ(r.err, "error: settings file ro.yaml cannot be opened for update: Permission denied\n");
  }
  const RunResult r = runCalibrix(dir.path(), {"dir", "hdr", "2000000000", "ro.yaml"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("bad_alloc"), std::string::npos) << r.err;
}

TEST(ImageSet, CombinedLayoutSplitsOddWidthsIntoEqualHalves) {
  TestDir dir;
  cv::Mat both(4, 1281, CV_8U);
  for (int x = 0; x < 1281; ++x) both.col(x).setTo(x < 640 ? 10 : (x < 1280 ? 20 : 30));
  cv::imwrite(dir / "cal00.pgm", both);
  cv::imwrite(dir / "reference.pgm", both);
  using calibrix::ImageLayout;
  ASSERT_EQ(calibrix::chooseLayout(dir.path(), "cal"), ImageLayout::Combined);
  for (int frame : {0, -1}) {
    const cv::Mat l = calibrix::loadCameraImage(ImageLayout::Combined, dir.path(), "cal", frame, 0);
    const cv::Mat r = calibrix::loadCameraImage(ImageLayout::Combined, dir.path(), "cal", frame, 1);
    ASSERT_EQ(l.cols, 640);
    ASSERT_EQ(r.cols, 640);
    EXPECT_EQ(cv::countNonZero(l != 10), 0);
    EXPECT_EQ(cv::countNonZero(r != 20), 0);
  }
  EXPECT_TRUE(calibrix::loadCameraImage(ImageLayout::Combined, dir.path(), "cal", 1, 0).empty());
  cv::imwrite(dir / "cal00_0.pgm", both);
  EXPECT_EQ(calibrix::chooseLayout(dir.path(), "cal"), ImageLayout::Split);
  EXPECT_EQ(calibrix::imagePath(ImageLayout::Split, "d", "h", 3, 1), "d/h03_1.pgm");
  EXPECT_EQ(calibrix::imagePath(ImageLayout::Split, "d", "h", -1, 1), "d/reference_1.pgm");
  EXPECT_EQ(calibrix::imagePath(ImageLayout::Combined, "d", "h", 12, 1), "d/h12.pgm");
  EXPECT_EQ(calibrix::imagePath(ImageLayout::Combined, "d", "h", -1, 0), "d/reference.pgm");
}
