#include "calibrix/command_line.h"

#include <opencv2/core.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <cfloat>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>
#include <string>

#include "calibrix/circle_calib_board.h"
#include "calibrix/image_set.h"
#include "calibrix/stereo_calibration.h"
#include "calibrix/utilities.h"

namespace calibrix {

void printUsage(const char* prog, std::ostream& err) {
  const std::string p = prog;
  const char* orLine = "\n                 Or \n\n";
  err << "Usage: " << p << " dirname hdrname n_frames [config.yaml] ["
      << "-result_output"
      << "] [resultname]\n"
      << "\tdirname     : キャリブ画像格納先ディレクトリ名\n"
      << "\thdrname     : キャリブ画像ファイル名から番号等と拡張子を取り除いた部分\n"
      << "\tn_frames    : 総フレーム数\n"
      << "\tconfig.yaml : 設定ファイル名\n"
      << "\t"
      << "-result_output"
      << " : 結果をファイルへ出力する\n"
      << "\tresultname  : 結果ファイルのパス\n"
      << orLine << "       " << p << " "
      << "-draw_marker"
      << " input_path output_path [config.yaml]\n"
      << "\t"
      << "-draw_marker"
      << " : 指定した画像ファイルのマーカ位置を描画して出力\n"
      << "\tinput_path  : 入力画像ファイルパス\n"
      << "\toutput_path : 出力先ファイルパス\n"
      << "\tconfig.yaml : 設定ファイル名\n"
      << orLine << "       " << p << " "
      << "-setting_output_csv"
      << " config.yaml\n"
      << "\t"
      << "-setting_output_csv"
      << " : 指定した設定ファイルをCSVで出力\n"
      << "\tconfig.yaml : 設定ファイル名\n"
      << orLine << "       " << p << " "
      << "-conv_rectify_img"
      << " input_path rect_param_path eye_type output_path \n"
      << "\t"
      << "-conv_rectify_img"
      << " : 指定した画像をレクティファイ画像へ変換する\n"
      << "\tinput_path      : 入力画像ファイルパス\n"
      << "\trect_param_path : rect.paramファイルパス\n"
      << "\teye_type        : 0=左カメラ画像 1=右カメラ画像\n"
      << "\toutput_path     : 出力先ファイルパス\n"
      << orLine << "       " << p << " "
      << "-conv_rectify_lr_img"
      << " input_path rect_param_path output_left_path output_right_path\n"
      << "\t"
      << "-conv_rectify_lr_img"
      << " : 指定した左右結合画像をレクティファイ画像へ変換する。\n"
      << "\tinput_path      : 入力画像ファイルパス\n"
      << "\trect_param_path : rect.paramファイルパス\n"
      << "\toutput_left_path : 出力先ファイルパス\n"
      << "\toutput_right_path: 出力先ファイルパス\n"
      << std::flush;
}

namespace {

int countFound(const Detection& d) {
  int n = 0;
  for (const auto& p : d) n += p.x != FLT_MAX;
  return n;
}

// What a calibration run reads from its command line.
struct RunArguments {
  std::string dirname, hdrname;
  int nFrames = 0;
  const char* settingsPath = nullptr;
  const char* resultName = nullptr;
};

// "dirname hdrname n_frames [config.yaml] [-result_output resultname]"; false
// after the usage text when the frame count or the result name is missing.
bool parseRunArguments(int argc, char** argv, RunArguments& args, std::ostream& err) {
  args.dirname = argv[1];
  args.hdrname = argv[2];
  args.nFrames = std::atoi(argv[3]);
  if (args.nFrames < 1) {
    printUsage(argv[0], err);
    return false;
  }
  for (int i = 4; i < argc; ++i) {
    if (std::strcmp(argv[i], "-result_output") == 0) {
      if (i + 1 >= argc) {
        printUsage(argv[0], err);
        return false;
      }
      args.resultName = argv[++i];
    } else {
      args.settingsPath = argv[i];
    }
  }
  return true;
}

// The settings file must exist and be open for update (it is left unchanged).
bool settingsFileUsable(const char* settingsPath, std::ostream& err) {
  if (!settingsPath) return true;
  std::fstream probe(settingsPath, std::ios::in | std::ios::out);
  if (probe.is_open()) return true;
  const int cause = errno;
  struct stat st;
  if (::stat(settingsPath, &st) != 0) {
    err << "設定ファイルが見つかりませんでした。 パス=" << settingsPath << std::flush;
  } else {
    // It exists: "not found" would send the user looking in the wrong place.
    err << "error: settings file " << settingsPath
        << " cannot be opened for update: " << (S_ISDIR(st.st_mode) ? "it is a directory" : std::strerror(cause))
        << std::endl;
  }
  return false;
}

using CameraDetections = std::vector<Detection>[2];

// Loads every frame of both cameras and finds the board in each.
bool detectBoards(CircleCalibBoard& board, ImageLayout layout, const RunArguments& args, CameraDetections& results,
                  std::ostream& err) {
  for (int cam = 0; cam < 2; ++cam) {
    if (!loadImageSet(board, layout, args.dirname, args.hdrname, args.nFrames, cam, results[cam], err)) {
      err << "カメラ" << cam << "のキャリブレーション画像の読み込みに失敗しました" << std::endl;
      return false;
    }
  }
  return true;
}

// Frames whose base marker was not found in either camera carry no usable
// points; they are left out of every calibration step and the listing.
std::vector<int> framesSeenByBoth(const CameraDetections& results, int nFrames, std::ostream& err) {
  std::vector<int> frames;
  for (int f = 0; f < nFrames; ++f) {
    const auto& a = results[0][static_cast<std::size_t>(f)];
    const auto& b = results[1][static_cast<std::size_t>(f)];
    int common = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) common += a[i].x != FLT_MAX && b[i].x != FLT_MAX;
    if (countFound(a) < 4 || countFound(b) < 4 || common < 4) {
      err << "Warning: frame " << f << " has too few board points; left out of the "
          << "calibration" << std::endl;
      continue;
    }
    frames.push_back(f);
  }
  if (frames.empty()) err << "error: no frame with board points in both cameras" << std::endl;
  return frames;
}

// Each camera on its own: intrinsics, per-frame errors (px) and RMS (px).
struct CameraCalibrations {
  CalibCamera cams[2] = {CalibCamera("cam0"), CalibCamera("cam1")};
  std::vector<double> frameErr[2];
  double rms[2] = {0, 0};
};

void calibrateCameras(const CameraDetections& results, const std::vector<int>& frames, CircleCalibBoard& board,
                      CameraCalibrations& c) {
  const cv::Size size(board.imageWidth(), board.imageHeight());
  for (int cam = 0; cam < 2; ++cam) {
    c.cams[cam].width = size.width;
    c.cams[cam].height = size.height;
    c.rms[cam] = calibrateCamera(c.cams[cam], results[cam], frames, board, c.frameErr[cam]);
  }
}

// Lists each frame's errors of both cameras and their mean, then the RMS of
// each camera; returns the means (the result file lists them).
std::vector<double> reportCameraErrors(const CameraCalibrations& c, const std::vector<int>& frames, std::ostream& out) {
  std::vector<double> imgErrs;
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const double mean = (c.frameErr[0][k] + c.frameErr[1][k]) / 2.0;
    imgErrs.push_back(mean);
    out << frames[k] << ": " << c.frameErr[0][k] << "\t" << c.frameErr[1][k] << "\t" << mean << std::endl;
  }
  out << "cam0 error: " << c.rms[0] << std::endl;
  out << "cam1 error: " << c.rms[1] << std::endl;
  return imgErrs;
}

// cam1's file only after cam0's succeeded.
bool writeCameraFiles(CameraCalibrations& c, const std::string& dir, std::ostream& err) {
  for (int cam = 0; cam < 2; ++cam) {
    if (!writeCameraFile(c.cams[cam], dir)) {
      err << c.cams[cam].name << "のパラメータファイルの出力に失敗しました" << std::endl;
      return false;
    }
  }
  return true;
}

// Finds the board in the reference frame of both cameras, rectified, and
// makes it the world. False when it can't: the world then stays in the left
// rectified camera.
bool fixReferenceFrame(StereoRig& rig, CircleCalibBoard& board, ImageLayout layout, const RunArguments& args,
                       std::ostream& err) {
  Detection ref[2];
  bool found = true;
  for (int cam = 0; cam < 2; ++cam) {
    const cv::Mat raw = loadCameraImage(layout, args.dirname, args.hdrname, -1, cam);
    if (raw.empty()) {
      err << "参照フレームの画像が読み込めませんでした" << std::endl;
      return false;
    }
    cv::Mat rect;
    if (!(cam == 0 ? rig.left : rig.right).rectify(raw, rect) || !detectCircleBoard(board, rect, ref[cam], &err)) {
      err << "重心データ読み込みに失敗しました" << std::endl;
      found = false;
    }
  }
  if (!found) return false;
  if (!fixWorldToReference(rig, ref[0], ref[1], board)) {
    err << "Warning: the reference frame has no base-marker points in both cameras; "
        << "the world stays in the left rectified camera" << std::endl;
    return false;
  }
  return true;
}

// The stereo file, then the projections and maps; both are tried.
bool writeStereoFiles(const StereoRig& rig, const std::string& dir, std::ostream& err) {
  bool ok = true;
  if (writeStereoFile(rig, dir)) {
    err << rig.name << "のパラメータファイルの出力に成功しました" << std::endl;
  } else {
    err << rig.name << "のパラメータファイルの出力に失敗しました" << std::endl;
    ok = false;
  }
  if (writeProjectionAndMaps(rig, dir)) {
    err << "Hmatの出力に成功しました" << std::endl;
  } else {
    err << "Hmatの出力に失敗しました" << std::endl;
    ok = false;
  }
  return ok;
}

// Replaces the earlier set with the staged one, only when all of it was
// written.
bool replaceCalibrationFiles(OutputSet& files, bool allWritten, const StereoRig& rig, std::ostream& err) {
  if (!allWritten) {
    err << "error: the calibration files were not replaced (one of them could not be written); "
        << "the earlier set in this folder is unchanged" << std::endl;
    return true;  // the failing write already set the status
  }
  std::string why;
  if (!files.commit(
          {"cam0_param.yaml", "cam1_param.yaml", rig.name + "_param.yaml", "hmat0.dat", "hmat1.dat", "rect.param"},
          why)) {
    err << "error: the calibration files were not all replaced: " << why << std::endl;
    return false;
  }
  return true;
}

int calibrationRun(int argc, char** argv, std::ostream& out, std::ostream& err) {
  RunArguments args;
  if (!parseRunArguments(argc, argv, args, err) || !settingsFileUsable(args.settingsPath, err)) return 1;
  CircleCalibBoard board(0.0f);
  board.readSettings(args.settingsPath);
  const ImageLayout layout = chooseLayout(args.dirname, args.hdrname);
  CameraDetections results;
  if (!detectBoards(board, layout, args, results, err)) return 1;
  const std::vector<int> frames = framesSeenByBoth(results, args.nFrames, err);
  if (frames.empty()) return 1;

  CameraCalibrations cameras;
  calibrateCameras(results, frames, board, cameras);
  const std::vector<double> imgErrs = reportCameraErrors(cameras, frames, out);
  const double rectifyErr = calibrateStereo(cameras.cams[0], cameras.cams[1], results[0], results[1], frames, board);
  StereoRig rig;
  buildStereo(rig, cameras.cams[0], cameras.cams[1]);

  // The files go into a staging folder; the set replaces the earlier one
  // only when every file of it was written. A failure past this point still
  // writes what it can and ends with status 1.
  int status = 0;
  OutputSet files(".");
  bool allWritten = writeCameraFiles(cameras, files.staging(), err);
  if (!allWritten) status = 1;
  const double baseLine = cv::norm(cameras.cams[1].T, cv::NORM_L2);
  out << "baseline : " << baseLine << std::endl;
  if (!fixReferenceFrame(rig, board, layout, args, err)) status = 1;
  if (!writeStereoFiles(rig, files.staging(), err)) {
    status = 1;
    allWritten = false;
  }
  if (!replaceCalibrationFiles(files, allWritten, rig, err)) status = 1;
  if (args.resultName && !writeResultFile(args.resultName, status, baseLine, rectifyErr, imgErrs)) {
    err << "結果ファイルの出力に失敗しました" << std::endl;
    status = 1;
  }
  return status;
}

int dispatch(int argc, char** argv, std::ostream& out, std::ostream& err) {
  if (argc < 3) {
    printUsage(argc > 0 ? argv[0] : "calibrix", err);
    return 1;
  }
  const std::string mode = argv[1];
  if (mode == "-setting_output_csv") {
    settingOutputCsv(argv[2], out);
    return 0;
  }
  if (mode == "-draw_marker") {
    if (argc < 4) {
      printUsage(argv[0], err);
      return 1;
    }
    return drawMarker(argv[2], argv[3], argc == 5 ? argv[4] : nullptr, err);
  }
  if (mode == "-conv_rectify_img") {
    if (argc != 6) {
      printUsage(argv[0], err);
      return 1;
    }
    return convRectifyImg(argv[2], argv[3], argv[4], argv[5], out, err);
  }
  if (mode == "-conv_rectify_lr_img") {
    if (argc != 6) {
      printUsage(argv[0], err);
      return 1;
    }
    return convRectifyLrImg(argv[2], argv[3], argv[4], argv[5], out, err);
  }
  if (argc < 4) {
    printUsage(argv[0], err);
    return 1;
  }
  return calibrationRun(argc, argv, out, err);
}

}  // namespace

int runCalibrix(int argc, char** argv, std::ostream& out, std::ostream& err) {
  try {
    return dispatch(argc, argv, out, err);
  } catch (const iFileStorage_error& e) {
    if (e.cause().empty())
      err << "設定ファイルが見つかりませんでした。 パス=" << e.what() << std::endl;
    else
      err << "error: settings file " << e.what() << ": " << e.cause() << std::endl;
    return 1;
  } catch (const cv::Exception& e) {
    err << "error: " << e.what() << std::endl;
    return 1;
  } catch (const std::bad_alloc&) {
    err << "error: out of memory (an input holds an absurd size)" << std::endl;
    return 1;
  } catch (const std::exception& e) {
    err << "error: " << e.what() << std::endl;
    return 1;
  } catch (...) {
    err << "error: an unknown failure" << std::endl;
    return 1;
  }
}

}  // namespace calibrix
