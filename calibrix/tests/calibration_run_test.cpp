// Whole calibration runs of the calibrix program on rendered stereo sets.
#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cfloat>
#include <filesystem>
#include <fstream>

#include "calibrix/circle_calib_board.h"
#include "calibrix/tests/run_calibrix.h"
#include "calibrix/tests/stereo_set.h"
#include "calibrix/tests/test_dir.h"
#include "decoder/common/calib_loader.h"

using namespace calibrix::test;
namespace fs = std::filesystem;

namespace {

class CalibrationRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sets_ = new TestDir;
    fs::create_directories(*sets_ / "split");
    fs::create_directories(*sets_ / "combined");
    truth_ = writeStereoSet(*sets_ / "split", "cal", 6, false);
    writeStereoSet(*sets_ / "combined", "cal", 6, true);
  }
  static void TearDownTestSuite() {
    delete sets_;
    sets_ = nullptr;
  }
  void SetUp() override {
    if (calibrixBinary().empty()) GTEST_SKIP() << "calibrix program path unknown";
  }
  static inline TestDir* sets_ = nullptr;
  static inline StereoSetTruth truth_;
  TestDir work;
};

cv::Mat readHmat(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  cv::Mat P(3, 4, CV_64F);
  in.read(reinterpret_cast<char*>(P.data), 96);
  return P;
}

}  // namespace

// A run whose last file cannot be written (a file-size limit standing in
// for a full disk) replaces none of the earlier set: no new stereo file
// beside old hmat and rect files, and no staging folder left behind.
TEST_F(CalibrationRun, AFailedWriteLeavesTheEarlierSetWhole) {
  const std::vector<std::string> names = {"cam0_param.yaml", "cam1_param.yaml", "stereo_param.yaml",
                                          "hmat0.dat",       "hmat1.dat",       "rect.param"};
  for (const std::string& n : names) std::ofstream(work / n) << "earlier " << n;
  const std::string cmd = "cd " + shellQuote(work.path()) + " && trap '' XFSZ && ulimit -f 1000 && " +
                          shellQuote(calibrixBinary()) + " " + shellQuote(*sets_ / "split") +
                          " cal 6 > .stdout 2> .stderr";
  const int raw = std::system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << raw;
  const std::string err = slurp(work / ".stderr");
  EXPECT_NE(err.find("Hmatの出力に失敗しました\nerror: the calibration files were not replaced"), std::string::npos)
      << err;
  for (const std::string& n : names) EXPECT_EQ(slurp(work / n), "earlier " + n);
  for (const auto& e : fs::directory_iterator(work.path()))
    EXPECT_FALSE(e.path().filename().string().starts_with(".calibrix-")) << e.path();
}

TEST_F(CalibrationRun, SplitLayoutWritesEveryFileAndPutsTheWorldOnTheBoard) {
  const RunResult r = runCalibrix(work.path(), {*sets_ / "split", "cal", "6", "-result_output", "result.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "stereoのパラメータファイルの出力に成功しました\nHmatの出力に成功しました\n");
  EXPECT_TRUE(r.out.starts_with("0: "));
  EXPECT_NE(r.out.find("\n5: "), std::string::npos);
  EXPECT_NE(r.out.find("cam0 error: "), std::string::npos);
  EXPECT_NE(r.out.find("\nbaseline : "), std::string::npos);
  // Frame 3 of camera 1: circle07.bin, created empty.
  EXPECT_TRUE(fs::exists(*sets_ / "split/circle07.bin"));
  EXPECT_EQ(fs::file_size(*sets_ / "split/circle07.bin"), 0u);
  EXPECT_EQ(fs::file_size(work / "hmat0.dat"), 96u);
  EXPECT_EQ(fs::file_size(work / "hmat1.dat"), 96u);
  EXPECT_EQ(fs::file_size(work / "rect.param"), 4u * (8 + 640 * 512 * 4));
  for (const char* f : {"cam0_param.yaml", "cam1_param.yaml", "stereo_param.yaml"})
    EXPECT_TRUE(fs::exists(work / f)) << f;

  const std::string result = slurp(work / "result.txt");
  EXPECT_TRUE(result.starts_with("result=0\nbase_line_len="));
  EXPECT_NE(result.find("\nrectify_err="), std::string::npos);
  const std::string errs = result.substr(result.find("img_errs=") + 9);
  EXPECT_EQ(std::count(errs.begin(), errs.end(), ','), 5);
  EXPECT_NE(errs.back(), '\n');
  const double baseline = std::stod(result.substr(result.find("base_line_len=") + 14));
  EXPECT_NEAR(baseline, truth_.baseline, truth_.baseline * 0.002);

  cv::FileStorage cam1(work / "cam1_param.yaml", cv::FileStorage::READ);
  cv::Mat K, T, R2, D;
  cam1["cam1_K"] >> K;
  cam1["cam1_T"] >> T;
  cam1["cam1_R2"] >> R2;
  cam1["cam1_D"] >> D;
  EXPECT_NEAR(K.at<double>(0, 0), truth_.K(0, 0), truth_.K(0, 0) * 0.005);
  EXPECT_NEAR(T.at<double>(0), -truth_.baseline, 0.5);
  EXPECT_EQ(R2.rows, 3);
  EXPECT_EQ(D.total(), 5u);

  // With the reference step, the hmat projections take board coordinates:
  // the board's origin circle and its +x partner project where the
  // rectified reference shows them, and the board plane is z = 0.
  const cv::Mat PL = readHmat(work / "hmat0.dat"), PR = readHmat(work / "hmat1.dat");
  cv::FileStorage stereo(work / "stereo_param.yaml", cv::FileStorage::READ);
  cv::Mat Q, PL2;
  stereo["Q"] >> Q;
  stereo["stereoL_P2"] >> PL2;
  EXPECT_GT(cv::norm(PL - PL2), 1.0);  // moved to the board
  // Points of the board plane: left and right images from the projections,
  // then back through Q with the disparity.
  for (cv::Vec4d X : {cv::Vec4d(0, 0, 0, 1), cv::Vec4d(120, 0, 0, 1), cv::Vec4d(-180, 300, 0, 1)}) {
    const cv::Mat xl = PL * cv::Mat(X), xr = PR * cv::Mat(X);
    const double ul = xl.at<double>(0) / xl.at<double>(2), vl = xl.at<double>(1) / xl.at<double>(2);
    const double ur = xr.at<double>(0) / xr.at<double>(2), vr = xr.at<double>(1) / xr.at<double>(2);
    EXPECT_NEAR(vl, vr, 1e-6);  // rectified: same row
    const cv::Mat h = Q * (cv::Mat_<double>(4, 1) << ul, vl, ul - ur, 1.0);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(h.at<double>(k) / h.at<double>(3), X[k], 1e-6);
  }
}

TEST_F(CalibrationRun, TheDecodersLoadWhatCalibrixWrites) {
  const RunResult r = runCalibrix(work.path(), {*sets_ / "split", "cal", "6"});
  ASSERT_EQ(r.status, 0) << r.err;
  zel::StereoCamera fromYaml, fromHmat;
  ASSERT_TRUE(zel::loadStereoCalibration(work.path() + "/", 0, 640, 512, false, fromYaml));
  ASSERT_TRUE(zel::loadStereoCalibration(work.path() + "/", 1, 640, 512, false, fromHmat));
  // The camera files rebuild the rectification calibrix made before the
  // reference step: same rectified projections and maps.
  cv::FileStorage stereo(work / "stereo_param.yaml", cv::FileStorage::READ);
  cv::Mat PL2, PR2;
  stereo["stereoL_P2"] >> PL2;
  stereo["stereoR_P2"] >> PR2;
  EXPECT_LT(cv::norm(fromYaml.left.P.rowRange(0, 3), PL2, cv::NORM_INF), 1e-6 * cv::norm(PL2, cv::NORM_INF));
  EXPECT_LT(cv::norm(fromYaml.right.P.rowRange(0, 3), PR2, cv::NORM_INF), 1e-6 * cv::norm(PR2, cv::NORM_INF));
  EXPECT_LT(cv::norm(fromYaml.left.mapX, fromHmat.left.mapX, cv::NORM_INF), 1e-3);
  EXPECT_LT(cv::norm(fromYaml.right.mapY, fromHmat.right.mapY, cv::NORM_INF), 1e-3);
  // Both ways give the same baseline.
  EXPECT_NEAR(cv::norm(fromYaml.right.T - fromYaml.left.T), cv::norm(fromHmat.right.T - fromHmat.left.T), 1e-6);
  EXPECT_NEAR(cv::norm(fromHmat.right.T - fromHmat.left.T), truth_.baseline, truth_.baseline * 0.002);
}

TEST_F(CalibrationRun, CombinedLayoutWithoutReferenceKeepsTheRectifiedProjections) {
  const std::string set = work / "set";
  fs::copy(*sets_ / "combined", set);
  fs::remove(set + "/reference.pgm");
  const RunResult r = runCalibrix(work.path(), {set, "cal", "6", "-result_output", "res.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("参照フレームの画像が読み込めませんでした\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(work / "cam1_param.yaml"));
  cv::FileStorage stereo(work / "stereo_param.yaml", cv::FileStorage::READ);
  cv::Mat P, P2;
  stereo["stereoL_P"] >> P;
  stereo["stereoL_P2"] >> P2;
  EXPECT_EQ(cv::norm(P, P2, cv::NORM_INF), 0.0);
  EXPECT_TRUE(slurp(work / "res.txt").starts_with("result=1\n"));
}

TEST_F(CalibrationRun, Cam0WriteFailureSkipsCam1AndTheRunGoesOn) {
  fs::create_directory(work / "cam0_param.yaml");  // can't be replaced by a file
  const RunResult r = runCalibrix(work.path(), {*sets_ / "split", "cal", "6", "-result_output", "res.txt"});
  EXPECT_EQ(r.status, 1);
  // The set is written as a whole or not at all: the run goes on to the
  // result file, but no file of the set is put in place.
  EXPECT_NE(r.err.find("error: the calibration files were not all replaced: cam0_param.yaml is a folder\n"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(work / "cam1_param.yaml"));
  EXPECT_FALSE(fs::exists(work / "stereo_param.yaml"));
  EXPECT_FALSE(fs::exists(work / "hmat1.dat"));
  EXPECT_TRUE(slurp(work / "res.txt").starts_with("result=1\n"));
}
