#include "calibrix/stereo_calibration.h"

#include "decoder/common/calib_files.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <stdlib.h>

#include <cerrno>
#include <cfloat>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>

namespace calibrix {

void CalibCamera::updateP() {
  cv::Mat Rt;
  cv::hconcat(R, T, Rt);
  P = cv::Mat::eye(4, 4, CV_64F);
  cv::Mat(K * Rt).copyTo(P.rowRange(0, 3));
  updateInverse();
}

void correspondences(const Detection& d, const CircleCalibBoard& board, std::vector<cv::Point2f>& image,
                     std::vector<cv::Point3f>& object) {
  image.clear();
  object.clear();
  const cv::Mat& op = board.objectPoints();
  for (int r = 0; r < op.rows; ++r)
    for (int c = 0; c < op.cols; ++c) {
      const std::size_t i = static_cast<std::size_t>(r * op.cols + c);
      if (i >= d.size() || d[i].x == FLT_MAX) continue;
      image.push_back(d[i]);
      const cv::Vec3f p = op.at<cv::Vec3f>(r, c);
      object.emplace_back(p[0], p[1], p[2]);
    }
}

void commonCorrespondences(const Detection& a, const Detection& b, const CircleCalibBoard& board,
                           std::vector<cv::Point2f>& ia, std::vector<cv::Point2f>& ib,
                           std::vector<cv::Point3f>& object) {
  ia.clear();
  ib.clear();
  object.clear();
  const cv::Mat& op = board.objectPoints();
  for (int r = 0; r < op.rows; ++r)
    for (int c = 0; c < op.cols; ++c) {
      const std::size_t i = static_cast<std::size_t>(r * op.cols + c);
      if (i >= a.size() || i >= b.size() || a[i].x == FLT_MAX || b[i].x == FLT_MAX) continue;
      ia.push_back(a[i]);
      ib.push_back(b[i]);
      const cv::Vec3f p = op.at<cv::Vec3f>(r, c);
      object.emplace_back(p[0], p[1], p[2]);
    }
}

double frameError(const std::vector<cv::Point2f>& detected, const std::vector<cv::Point2f>& projected) {
  if (detected.empty() || detected.size() != projected.size()) return 0.0;
  return cv::norm(detected, projected, cv::NORM_L1) / static_cast<double>(detected.size());
}

double calibrateCamera(CalibCamera& cam, const std::vector<Detection>& results, const std::vector<int>& frames,
                       const CircleCalibBoard& board, std::vector<double>& frameErrors) {
  std::vector<std::vector<cv::Point2f>> image;
  std::vector<std::vector<cv::Point3f>> object;
  for (int f : frames) {
    image.emplace_back();
    object.emplace_back();
    correspondences(results[static_cast<std::size_t>(f)], board, image.back(), object.back());
  }
  std::vector<cv::Mat> rvecs, tvecs;
  cam.K = cv::Mat::eye(3, 3, CV_64F);
  const double rms =
      cv::calibrateCamera(object, image, cam.size(), cam.K, cam.D, rvecs, tvecs, cv::CALIB_FIX_ASPECT_RATIO,
                          cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, DBL_EPSILON));
  cam.updateP();
  frameErrors.clear();
  for (std::size_t j = 0; j < image.size(); ++j) {
    std::vector<cv::Point2f> projected;
    cv::projectPoints(object[j], rvecs[j], tvecs[j], cam.K, cam.D, projected);
    frameErrors.push_back(frameError(image[j], projected));
  }
  return rms;
}

double calibrateStereo(CalibCamera& cam0, CalibCamera& cam1, const std::vector<Detection>& r0,
                       const std::vector<Detection>& r1, const std::vector<int>& frames,
                       const CircleCalibBoard& board) {
  std::vector<std::vector<cv::Point2f>> i0, i1;
  std::vector<std::vector<cv::Point3f>> object;
  for (int f : frames) {
    i0.emplace_back();
    i1.emplace_back();
    object.emplace_back();
    commonCorrespondences(r0[static_cast<std::size_t>(f)], r1[static_cast<std::size_t>(f)], board, i0.back(), i1.back(),
                          object.back());
  }
  cv::Mat R, T, E, F;
  const double rms = cv::stereoCalibrate(object, i0, i1, cam0.K, cam0.D, cam1.K, cam1.D, cam0.size(), R, T, E, F,
                                         cv::CALIB_USE_INTRINSIC_GUESS + cv::CALIB_FIX_ASPECT_RATIO,
                                         cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e-6));
  cam1.R = R;
  cam1.T = T;
  cam0.updateP();
  cam1.updateP();
  cam0.R_ext = cam0.R.clone();
  cam1.R_ext = cam1.R.clone();
  return rms;
}

void buildStereo(StereoRig& rig, CalibCamera& cam0, CalibCamera& cam1) {
  rig.size = cam0.size();
  rig.configure(rig.size.width, rig.size.height);
  cv::Mat R1, R2, P1, P2;
  cv::stereoRectify(cam0.K, cam0.D, cam1.K, cam1.D, cam0.size(), cam1.R, cam1.T, R1, R2, P1, P2, rig.Q, 0, -1, rig.size,
                    &rig.left.validRegion, &rig.right.validRegion);
  cam0.R = R1;
  cam1.R = R2;
  rig.left.setProjection(P1);
  rig.right.setProjection(P2);
  cv::initUndistortRectifyMap(cam0.K, cam0.D, cam0.R, rig.left.K, rig.size, CV_32FC1, rig.left.mapX, rig.left.mapY);
  cv::initUndistortRectifyMap(cam1.K, cam1.D, cam1.R, rig.right.K, rig.size, CV_32FC1, rig.right.mapX, rig.right.mapY);
  rig.P1_saved = P3(rig.left);
  rig.P2_saved = P3(rig.right);
}

cv::Vec3d triangulate(const StereoRig& rig, cv::Point2f left, cv::Point2f right) {
  const cv::Mat PL = P3(rig.left), PR = P3(rig.right);
  cv::Mat A(4, 3, CV_64F), b(4, 1, CV_64F);
  auto addRows = [&](const cv::Mat& P, cv::Point2f p, int row) {
    for (int c = 0; c < 4; ++c) {
      const double r0 = p.x * P.at<double>(2, c) - P.at<double>(0, c);
      const double r1 = p.y * P.at<double>(2, c) - P.at<double>(1, c);
      if (c < 3) {
        A.at<double>(row, c) = r0;
        A.at<double>(row + 1, c) = r1;
      } else {
        b.at<double>(row) = -r0;
        b.at<double>(row + 1) = -r1;
      }
    }
  };
  addRows(PL, left, 0);
  addRows(PR, right, 2);
  const cv::Mat X = (A.t() * A).inv() * A.t() * b;
  return {X.at<double>(0), X.at<double>(1), X.at<double>(2)};
}

bool fixWorldToReference(StereoRig& rig, const Detection& left, const Detection& right, const CircleCalibBoard& board) {
  const int idx[3] = {board.gridIndex(0, 0), board.gridIndex(2, 0), board.gridIndex(0, 1)};
  cv::Vec3d pts[3];
  for (int k = 0; k < 3; ++k) {
    const std::size_t i = static_cast<std::size_t>(idx[k]);
    if (idx[k] < 0 || i >= left.size() || i >= right.size() || left[i].x == FLT_MAX || right[i].x == FLT_MAX)
      return false;
    pts[k] = triangulate(rig, left[i], right[i]);
  }
  const cv::Vec3d e1 = cv::normalize(pts[1] - pts[0]);
  const cv::Vec3d e2 = cv::normalize(pts[2] - pts[0]);
  const cv::Vec3d e3 = cv::normalize(e1.cross(e2));
  cv::Mat M = (cv::Mat_<double>(3, 3) << e1[0], e2[0], e3[0], e1[1], e2[1], e3[1], e1[2], e2[2], e3[2]);
  cv::Mat rL, rR;
  cv::Rodrigues(M, rL);
  rR = rL.clone();
  cv::Mat tL = (cv::Mat_<double>(3, 1) << pts[0][0], pts[0][1], pts[0][2]);
  cv::Mat tR = tL - rig.right.T;

  std::vector<cv::Point2f> iL, iR;
  std::vector<cv::Point3f> object;
  commonCorrespondences(left, right, board, iL, iR, object);
  if (object.size() < 4) return false;
  cv::solvePnP(object, iL, rig.left.K, cv::noArray(), rL, tL, true, cv::SOLVEPNP_ITERATIVE);
  cv::solvePnP(object, iR, rig.right.K, cv::noArray(), rR, tR, true, cv::SOLVEPNP_ITERATIVE);

  const cv::Mat r = (rL + rR) * 0.5;
  const cv::Mat t = (tR + rig.right.T + tL) * 0.5;
  cv::Rodrigues(r, M);
  cv::Mat W = cv::Mat::eye(4, 4, CV_64F);
  M.copyTo(W(cv::Rect(0, 0, 3, 3)));
  t.copyTo(W(cv::Rect(3, 0, 1, 3)));
  const cv::Mat PL = P3(rig.left) * W, PR = P3(rig.right) * W;
  rig.left.setProjection(PL);
  rig.right.setProjection(PR);
  rig.Q = W.inv() * rig.Q;
  return true;
}

bool writeCameraFile(CalibCamera& cam, const std::string& dir) {
  if (dir.empty()) return false;  // no staging folder: never "/name"
  // The file holds the extrinsic rotation; the rectification rotation goes
  // to "_R2".
  const cv::Mat rectR = cam.R.clone();
  if (!cam.R_ext.empty()) cam.R = cam.R_ext.clone();
  calibfiles::CameraParams params;
  params.name = cam.name;
  params.size = cam.size();
  params.K = cam.K;
  params.R = cam.R;
  params.T = cam.T;
  params.P = cam.P.rowRange(0, 3).clone();
  params.R2 = rectR;
  params.D = cam.D;
  return calibfiles::writeCameraParamFile(dir + "/" + cam.name + "_param.yaml", params);
}

namespace {

void writeRectified(cv::FileStorage& fs, const zel::UndistortCamera& c) {
  fs << c.name + "_size" << cv::Size(c.width, c.height);
  fs << c.name + "_K" << c.K;
  fs << c.name + "_R" << c.R;
  fs << c.name + "_T" << c.T;
  fs << c.name + "_P" << P3(c);
  fs << c.name + "_mapname" << c.mapFileName;
  fs << c.name + "_roi" << c.validRegion;
}

}  // namespace

bool writeStereoFile(const StereoRig& rig, const std::string& dir) {
  if (dir.empty()) return false;
  std::string text;
  try {
    cv::FileStorage fs(".yaml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    if (!fs.isOpened()) return false;
    fs << "StereoName" << rig.name;
    writeRectified(fs, rig.left);
    writeRectified(fs, rig.right);
    fs << "Q" << rig.Q;
    fs << rig.name + "L_P2" << rig.P1_saved;
    fs << rig.name + "R_P2" << rig.P2_saved;
    text = fs.releaseAndGetString();
  } catch (const cv::Exception&) {
    return false;
  }
  return !text.empty() && calibfiles::writeFileAtomically(dir + "/" + rig.name + "_param.yaml", text);
}

bool writeProjectionAndMaps(const StereoRig& rig, const std::string& dir) {
  if (dir.empty()) return false;
  if (!calibfiles::writeHmatFile(dir + "/hmat0.dat", P3(rig.left))) return false;
  if (!calibfiles::writeHmatFile(dir + "/hmat1.dat", P3(rig.right))) return false;
  return calibfiles::writeRectParamFile(dir + "/rect.param", rig.left.mapX, rig.right.mapX, rig.left.mapY,
                                        rig.right.mapY);
}

bool writeResultFile(const std::string& path, int status, double baseLine, double rectifyErr,
                     const std::vector<double>& imgErrs) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(6);
  out << "result=" << status << "\n";
  out << "base_line_len=" << baseLine << "\n";
  out << "rectify_err=" << rectifyErr << "\n";
  out << "img_errs=";
  for (std::size_t j = 0; j < imgErrs.size(); ++j) out << (j ? "," : "") << imgErrs[j];
  return calibfiles::writeFileAtomically(path, out.str());
}

OutputSet::OutputSet(const std::string& dir) : dir_(dir) {
  std::string tmpl = dir + "/.calibrix-XXXXXX";
  if (::mkdtemp(tmpl.data())) staging_ = tmpl;
}

OutputSet::~OutputSet() {
  if (staging_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(staging_, ec);
}

bool OutputSet::commit(const std::vector<std::string>& names, std::string& error) {
  if (staging_.empty()) {
    error = "no staging folder";
    return false;
  }
  // Whatever would make a rename fail part-way is looked for first: a
  // folder (or other non-file) under a target name.
  for (const std::string& name : names) {
    std::error_code ec;
    const auto st = std::filesystem::status(dir_ + "/" + name, ec);
    if (std::filesystem::exists(st) && !std::filesystem::is_regular_file(st)) {
      error = name + (std::filesystem::is_directory(st) ? " is a folder" : " is not a regular file");
      return false;
    }
  }
  // Renames within one folder's file system: each is atomic, and all of
  // them run only after every file is complete.
  for (const std::string& name : names) {
    const std::string from = staging_ + "/" + name, to = dir_ + "/" + name;
    if (std::rename(from.c_str(), to.c_str()) != 0) {
      error = "cannot move " + name + " into place: " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace calibrix
