// Detection and calibration on board images of the virtual head: 40 poses
// over the working range, tilts up to 45 degrees, noise and blur, lens
// distortion; compared with the renderer's truth.
#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cfloat>
#include <cstdio>

#include "calibrix/circle_calib_board.h"
#include "calibrix/tests/sim_board_set.h"

using namespace calibrix::test;

namespace {

class SimBoards : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        set_ = simBoardSet(&why);
        if (set_.empty()) GTEST_SKIP() << why;
    }
    std::string set_;
};

double readNumber(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    return at == std::string::npos ? -1.0 : std::stod(text.substr(at + label.size()));
}

}  // namespace

TEST_F(SimBoards, DetectionFindsEveryVisibleCircleAtItsTrueCentreAndNoWrongIndex) {
    cv::FileStorage truth(set_ + "/truth/boards.yaml", cv::FileStorage::READ);
    ASSERT_TRUE(truth.isOpened());
    const int frames = static_cast<int>(truth["frames"]);
    ASSERT_GE(frames, kSimPoses);
    calibrix::CircleCalibBoard board;
    const std::string settings = set_ + "/board.yaml";
    board.readSettings(settings.c_str());
    int images = 0, full = 0, wrong = 0;
    for (int f = 0; f < frames; ++f) {
        char key[32];
        std::snprintf(key, sizeof key, "frame_%02d", f);
        const cv::FileNode node = truth[key];
        for (int cam = 0; cam < 2; ++cam) {
            cv::Mat pts, vis;
            node["cam" + std::to_string(cam) + "_points"] >> pts;
            node["cam" + std::to_string(cam) + "_visible"] >> vis;
            char name[64];
            std::snprintf(name, sizeof name, "/boards/calib%02d_%d.pgm", f, cam);
            const cv::Mat img = cv::imread(set_ + name, cv::IMREAD_GRAYSCALE);
            ASSERT_FALSE(img.empty()) << name;
            std::vector<cv::Point2f> result;
            ASSERT_TRUE(calibrix::detectCircleBoard(board, img, result)) << name;
            ASSERT_EQ(result.size(), static_cast<std::size_t>(pts.rows));
            ++images;
            // A circle counts as expected when its centre lies a circle radius
            // inside the image: one cut by the image border can't be found.
            const double spacing = cv::norm(pts.row(board.gridIndex(1, 0)) - pts.row(board.originMarkerIndex()));
            const double margin = 0.6 * spacing;
            int expected = 0, found = 0, missed = 0;
            double sum = 0, worst = 0;
            for (int i = 0; i < pts.rows; ++i) {
                const cv::Point2d t(pts.at<double>(i, 0), pts.at<double>(i, 1));
                const bool inside = vis.at<uchar>(i) && t.x > margin && t.y > margin &&
                                    t.x < img.cols - 1 - margin && t.y < img.rows - 1 - margin;
                expected += inside;
                if (result[static_cast<std::size_t>(i)].x == FLT_MAX) {
                    missed += inside;
                    continue;
                }
                ++found;
                const double e = cv::norm(cv::Point2d(result[static_cast<std::size_t>(i)]) - t);
                if (e > 0.25 * spacing) {
                    ++wrong;
                    ADD_FAILURE() << name << ": index " << i << " is " << e << " px off";
                    continue;
                }
                sum += e;
                worst = std::max(worst, e);
            }
            const double mean = found ? sum / found : 0.0;
            std::printf("pose %2d cam %d: %3d found, %3d expected, %2d missed, mean error %.4f px, "
                        "max %.4f px\n",
                        f, cam, found, expected, missed, mean, worst);
            if (missed == 0 && found > 0) {
                ++full;
                EXPECT_LE(mean, 0.15) << name;
            }
        }
    }
    std::printf("fully detected: %d of %d images, wrong indices: %d\n", full, images, wrong);
    EXPECT_GE(full, static_cast<int>(0.95 * images + 0.999));
    EXPECT_EQ(wrong, 0);
}

TEST_F(SimBoards, CalibrationMatchesTheRig) {
    TestDir work;
    const RunResult r = runCalibrix(work.path(), {set_ + "/boards", "calib", std::to_string(kSimPoses),
                                                  set_ + "/board.yaml"});
    ASSERT_EQ(r.status, 0) << r.err;
    cv::FileStorage rig(set_ + "/truth/rig.yaml", cv::FileStorage::READ);
    ASSERT_TRUE(rig.isOpened());
    const double rms0 = readNumber(r.out, "cam0 error: "), rms1 = readNumber(r.out, "cam1 error: ");
    const double baseline = readNumber(r.out, "baseline : ");
    const double trueBaseline = static_cast<double>(rig["baseline"]);
    std::printf("RMS cam0 %.4f px, cam1 %.4f px; baseline %.4f (truth %.4f, %.4f %%)\n", rms0, rms1,
                baseline, trueBaseline, 100.0 * (baseline - trueBaseline) / trueBaseline);
    EXPECT_LE(rms0, 0.1);
    EXPECT_LE(rms1, 0.1);
    EXPECT_NEAR(baseline, trueBaseline, 0.001 * trueBaseline);
    for (int cam = 0; cam < 2; ++cam) {
        const std::string p = "cam" + std::to_string(cam);
        cv::Mat Kt, Dt, K, D;
        rig[p + "_K"] >> Kt;
        rig[p + "_D"] >> Dt;
        cv::FileStorage est(work / (p + "_param.yaml"), cv::FileStorage::READ);
        est[p + "_K"] >> K;
        est[p + "_D"] >> D;
        const int idx[4][2] = {{0, 0}, {1, 1}, {0, 2}, {1, 2}};
        const char* names[4] = {"fx", "fy", "cx", "cy"};
        for (int k = 0; k < 4; ++k) {
            const double t = Kt.at<double>(idx[k][0], idx[k][1]), e = K.at<double>(idx[k][0], idx[k][1]);
            std::printf("%s %s %.3f (truth %.3f, %.4f %%)\n", p.c_str(), names[k], e, t, 100.0 * (e - t) / t);
            EXPECT_NEAR(e, t, 0.002 * t) << p << " " << names[k];
        }
        // Distortion alone: the rays of a pixel grid (true model) through the
        // true camera matrix with the estimated and the true coefficients.
        std::vector<cv::Point2f> grid, rays;
        for (int y = 0; y <= 1023; y += 64)
            for (int x = 0; x <= 1279; x += 64) grid.emplace_back(static_cast<float>(x), static_cast<float>(y));
        cv::undistortPoints(grid, rays, Kt, Dt);
        std::vector<cv::Point3f> rays3;
        for (const auto& q : rays) rays3.emplace_back(q.x, q.y, 1.0f);
        std::vector<cv::Point2f> withTrue, withEst;
        const cv::Mat zero = cv::Mat::zeros(3, 1, CV_64F);
        cv::projectPoints(rays3, zero, zero, Kt, Dt, withTrue);
        cv::projectPoints(rays3, zero, zero, Kt, D, withEst);
        double worst = 0;
        for (std::size_t i = 0; i < withTrue.size(); ++i)
            worst = std::max(worst, static_cast<double>(cv::norm(withTrue[i] - withEst[i])));
        std::printf("%s distortion: worst difference over the image %.4f px\n", p.c_str(), worst);
        EXPECT_LE(worst, 0.05) << p;
    }
}
