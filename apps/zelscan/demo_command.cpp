// zelscan demo: the whole chain on the virtual head, as a user would run it.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "apps/zelscan/accuracy.h"
#include "apps/zelscan/commands.h"
#include "apps/zelscan/decoder_host.h"
#include "apps/zelscan/demo_capture.h"
#include "apps/zelscan/subprocess.h"
#include "decoder/sgbm/disparity_map.h"
#include "decoder/sgbm/sgbm_params.h"
#include "platform/profile.h"
#include "platform/stopwatch.h"
#include "sim/scene/boards.h"

namespace zelscan {
namespace {

namespace fs = std::filesystem;

const char kDemoHelp[] =
    "Usage: zelscan demo [--out DIR] [--poses N] [--seed S] [--no-sgbm] [--no-screenshot]\n"
    "\n"
    "Runs the whole chain on the virtual 3-D head:\n"
    "  1. renders N calibration board poses (default 15) with zelsim\n"
    "  2. calibrates the head with calibrix, as a user would\n"
    "  3. renders the demo scene (13 patterns per camera and a textured pair) and\n"
    "     shoots it through libOrvCamAce.so from zelsim serve in a private network\n"
    "     namespace (unshare -rn); where there is none, the rendered files are decoded\n"
    "  4. decodes it with the phase-shift decoder (calibrix's calibration, and the\n"
    "     true one for comparison)\n"
    "  5. decodes the textured pair with the SGBM decoder\n"
    "  6. takes a nubiview screenshot of the cloud (when a display or Xvfb is there)\n"
    "and reports the calibration errors, point counts, completeness and the RMS\n"
    "distance to the true surface. Everything goes to DIR (default ./zelscan-demo):\n"
    "cloud_phsft.ply, cloud_sgbm.ply, cloud_phsft.png, report.txt and the inputs.\n";

// Accuracy targets of the product on the virtual head. The phase-shift
// decoder runs with "match_mode" 1 (measurement matching); its default rules
// ("match_mode" 0) are reported beside it against what they deliver.
struct PhsftTargets {
  double completeness;      // fraction of the eligible pixels
  double rmsPercent;        // RMS distance to the true surface, % of the mean distance
  double inlierRmsPercent;  // the same without the points beyond 1 % of the distance (< 0: not checked)
  double grossFraction;     // points beyond 1 % of the distance, fraction of the points
};
constexpr PhsftTargets kMeasurementTargets = {0.97, 0.05, -1, 0.0};
constexpr PhsftTargets kDefaultRulesTargets = {0.78, 0.5, 0.1, 0.004};
constexpr double kSgbmCompleteness = 0.85;
constexpr double kSgbmRmsPercent = 0.5;
constexpr double kRmsPx = 0.1;
// With the reference step, "coord" 1 output is in board coordinates: the
// reference board's plane must decode to z = 0 within 0.1 % of its distance.
constexpr double kBoardPlanePercent = 0.1;
constexpr double kIntrinsicPercent = 0.2;
constexpr double kBaselinePercent = 0.1;

struct Report {
  std::ostringstream text;
  bool allMet = true;
  void line(const std::string& s) { text << s << "\n"; }
  void check(const char* what, const std::string& value, bool met, const std::string& target) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "  %-34s %-14s %s (target %s)", what, value.c_str(), met ? "ok  " : "MISS",
                  target.c_str());
    line(buf);
    allMet = allMet && met;
  }
};

std::string fmt(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

void progress(int step, int steps, const std::string& what) {
  std::printf("[%d/%d] %s\n", step, steps, what.c_str());
  std::fflush(stdout);
}

bool fail(const std::string& what, const std::string& logPath = "") {
  std::fprintf(stderr, "zelscan demo: %s\n", what.c_str());
  if (!logPath.empty())
    std::fprintf(stderr, "  last lines of %s:\n%s", logPath.c_str(), tailOfFile(logPath, 12).c_str());
  return false;
}

// Runs one of our programs (found beside zelscan); false with a message when
// it can't start or exits non-zero.
bool runTool(const std::string& tool, const std::vector<std::string>& args, const std::string& workDir,
             const std::string& logPath) {
  std::string program = executableDir() + "/" + tool;
  if (!fs::exists(program)) return fail(tool + " not found beside zelscan (" + program + "); build it first");
  ProcessResult r = runProcess(program, args, workDir, logPath);
  if (!r.started) return fail("cannot run " + program + ": " + r.error);
  if (r.exitStatus != 0) return fail(tool + " failed with status " + std::to_string(r.exitStatus), logPath);
  return true;
}

// "cam0 error: 0.0312" lines of calibrix's output.
double calibrixRms(const std::string& logPath, int camera) {
  std::ifstream in(logPath);
  std::string line, key = "cam" + std::to_string(camera) + " error: ";
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + key.size());
  }
  return -1;
}

struct DecodeRun {
  Cloud cloud;
  sim::CloudAccuracy accuracy;
  double totalMs = 0;
};

bool decodeAndMeasure(DecoderHost& host, const std::string& calibDir, const ImageSets& sets, const sim::StereoRig& rig,
                      const sim::Scene& scene, const sim::GroundTruth& truth, std::uint8_t eligible, DecodeRun& run,
                      const std::string& settings = "") {
  platform::Stopwatch sw;
  std::string error;
  if (!host.configure(settings, calibDir, &error)) return fail(error);
  if (!host.decode(sets, run.cloud, &error)) return fail(error);
  DecoderFrame frame;
  if (!readDecoderFrame(calibDir, frame, &error)) return fail(error);
  run.accuracy = measureCloud(run.cloud, frame, rig, scene, truth, eligible);
  run.totalMs = sw.elapsedMs();
  return true;
}

// A companion INI beside the cloud so that nubiview shows it as the left
// camera saw it: decoder clouds have x right, y down, z forward.
void writeViewerIni(const std::string& plyPath) {
  std::string ini = fs::path(plyPath).replace_extension("ini").string();
  platform::writeProfileString("CoordinateSystem", "Eye", "-Z", ini.c_str());
  platform::writeProfileString("CoordinateSystem", "Up", "Y", ini.c_str());
}

// The 13 patterns per camera that zelsim writes into dir (cam0_00.pgm ...).
bool loadPatternSets(const std::string& dir, ImageSets& sets, std::string* error) {
  std::vector<std::string> left, right;
  for (int k = 0; k < 13; ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "/cam0_%02d.pgm", k);
    left.push_back(dir + name);
    std::snprintf(name, sizeof name, "/cam1_%02d.pgm", k);
    right.push_back(dir + name);
  }
  return loadImageSets(left, right, 0, 0, sets, error);
}

// z of the points of a cloud decoded in board coordinates.
struct BoardPlane {
  int points = 0;
  double meanZ = 0, rmsZ = 0, lowZ = 0, highZ = 0;
};

BoardPlane measureBoardPlane(const Cloud& cloud) {
  BoardPlane b;
  std::vector<double> z;
  z.reserve(static_cast<std::size_t>(cloud.count));
  for (int i = 0; i < cloud.count; ++i) z.push_back(cloud.points[3 * static_cast<std::size_t>(i) + 2]);
  b.points = static_cast<int>(z.size());
  if (z.empty()) return b;
  double sum = 0, squares = 0;
  for (double v : z) {
    sum += v;
    squares += v * v;
  }
  b.meanZ = sum / static_cast<double>(z.size());
  b.rmsZ = std::sqrt(squares / static_cast<double>(z.size()));
  std::sort(z.begin(), z.end());
  b.lowZ = z[z.size() / 100];
  b.highZ = z[z.size() - 1 - z.size() / 100];
  return b;
}

void reportCloud(Report& report, const char* title, const DecodeRun& run, double completenessTarget, double rmsTarget) {
  const sim::CloudAccuracy& a = run.accuracy;
  report.line(std::string(title));
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "  points %d, exec %.0f ms, mean distance %.0f mm, median error %.3f mm, %d beyond 1 mm", a.points,
                run.cloud.execMs, a.meanDistanceMm, a.medianMm, a.beyond1mm);
  report.line(buf);
  report.check("completeness", fmt("%.2f %%", 100.0 * a.completeness), a.completeness >= completenessTarget,
               fmt(">= %.0f %%", 100.0 * completenessTarget));
  report.check("RMS distance to the true surface", fmt("%.3f mm", a.rmsMm), a.rmsPercent <= rmsTarget,
               fmt("<= %.1f", rmsTarget) + " % of distance = " + fmt("%.2f mm", rmsTarget / 100.0 * a.meanDistanceMm));
}

void reportPhsft(Report& report, const std::string& title, const DecodeRun& run, const PhsftTargets& t) {
  const sim::CloudAccuracy& a = run.accuracy;
  report.line(title);
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "  points %d, exec %.0f ms, mean distance %.0f mm, median error %.3f mm, %d beyond 1 mm", a.points,
                run.cloud.execMs, a.meanDistanceMm, a.medianMm, a.beyond1mm);
  report.line(buf);
  report.check("completeness", fmt("%.2f %%", 100.0 * a.completeness), a.completeness >= t.completeness,
               fmt(">= %.0f %%", 100.0 * t.completeness));
  report.check(
      "RMS distance to the true surface", fmt("%.3f mm", a.rmsMm), a.points > 0 && a.rmsPercent <= t.rmsPercent,
      fmt("<= %.2f", t.rmsPercent) + " % of distance = " + fmt("%.2f mm", t.rmsPercent / 100.0 * a.meanDistanceMm));
  if (t.inlierRmsPercent >= 0) {
    report.check("RMS without the points beyond 1 %", fmt("%.3f mm", a.rmsInliersMm),
                 a.points > 0 && a.rmsInliersMm <= t.inlierRmsPercent / 100.0 * a.meanDistanceMm,
                 fmt("<= %.1f", t.inlierRmsPercent) +
                     " % of distance = " + fmt("%.2f mm", t.inlierRmsPercent / 100.0 * a.meanDistanceMm));
  }
  const double grossShare = a.points > 0 ? static_cast<double>(a.grossOutliers) / a.points : 0.0;
  report.check("points beyond 1 % of the distance", std::to_string(a.grossOutliers),
               a.grossOutliers <= t.grossFraction * a.points,
               t.grossFraction > 0
                   ? fmt("<= %.1f %% of the points", 100.0 * t.grossFraction) + fmt(", now %.3f %%", 100.0 * grossShare)
                   : std::string("none"));
}

}  // namespace

int demoCommand(int argc, char** argv) {
  std::string out = "zelscan-demo";
  int poses = 15;
  long seed = 1;
  bool sgbm = true, screenshot = true;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zelscan demo: %s needs a value\n", a.c_str());
        return nullptr;
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kDemoHelp, stdout);
      return 0;
    } else if (a == "--out") {
      const char* v = value();
      if (!v) return 2;
      out = v;
    } else if (a == "--poses") {
      const char* v = value();
      if (!v) return 2;
      char* end = nullptr;
      poses = static_cast<int>(std::strtol(v, &end, 10));
      if (*end || poses < 4 || poses > 99) {
        std::fprintf(stderr, "zelscan demo: --poses takes a number from 4 to 99 (got '%s')\n", v);
        return 2;
      }
    } else if (a == "--seed") {
      const char* v = value();
      if (!v) return 2;
      char* end = nullptr;
      seed = std::strtol(v, &end, 10);
      if (*end || seed < 0) {
        std::fprintf(stderr, "zelscan demo: --seed takes a non-negative number (got '%s')\n", v);
        return 2;
      }
    } else if (a == "--no-sgbm") {
      sgbm = false;
    } else if (a == "--no-screenshot") {
      screenshot = false;
    } else {
      std::fprintf(stderr, "zelscan demo: unknown option '%s' (try 'zelscan demo --help')\n", a.c_str());
      return 2;
    }
  }

  std::error_code ec;
  fs::create_directories(out, ec);
  if (ec || !fs::is_directory(out)) {
    std::fprintf(stderr, "zelscan demo: cannot create the output folder %s\n", out.c_str());
    return 1;
  }
  out = fs::absolute(out).lexically_normal().string();
  if (!out.empty() && out.back() == '/') out.pop_back();
  const std::string boards = out + "/boards", calibration = out + "/calibration", scene = out + "/scene";
  fs::create_directories(calibration, ec);
  const std::string seedText = std::to_string(seed);
  const int steps = 6;
  Report report;
  platform::Stopwatch total;
  std::vector<std::pair<std::string, double>> times;

  // 1. Calibration boards.
  platform::Stopwatch sw;
  progress(1, steps, "rendering " + std::to_string(poses) + " calibration board poses (zelsim)");
  if (!runTool("zelsim",
               {"render", "--scene", "boards", "--out", boards, "--poses", std::to_string(poses), "--seed", seedText,
                "--quiet"},
               "", out + "/zelsim_boards.log"))
    return 1;
  times.push_back({"render boards", sw.lapMs()});

  // 2. Calibration, in its own working folder (calibrix writes its files there).
  progress(2, steps, "calibrating the head (calibrix)");
  const std::string calibrixLog = calibration + "/calibrix.log";
  if (!runTool(
          "calibrix",
          {boards + "/boards", "calib", std::to_string(poses), boards + "/board.yaml", "-result_output", "result.txt"},
          calibration, calibrixLog))
    return 1;
  times.push_back({"calibrate", sw.lapMs()});

  // 3. The demo scene.
  progress(3, steps, "rendering the demo scene (zelsim)");
  if (!runTool("zelsim", {"render", "--scene", "demo", "--out", scene, "--seed", seedText, "--quiet"}, "",
               out + "/zelsim_scene.log"))
    return 1;
  const std::string reference = out + "/reference";
  if (!runTool("zelsim", {"render", "--scene", "reference", "--out", reference, "--seed", seedText, "--quiet"}, "",
               out + "/zelsim_reference.log"))
    return 1;
  times.push_back({"render scene", sw.lapMs()});

  // The 13-pattern set the decoders get: shot through libOrvCamAce.so from
  // zelsim serve when this machine gives a private network namespace, else
  // the rendered files.
  std::string error;
  progress(3, steps, "capturing the scene through libOrvCamAce.so from zelsim serve (private network namespace)");
  const std::string shot = out + "/shot";
  const DemoCapture capture = captureDemoShot(scene, shot, out);
  if (!capture.captured && !capture.unavailable) return fail(capture.reason), 1;
  const std::string patternDir = capture.captured ? shot : scene;
  times.push_back({"shot", sw.lapMs()});

  sim::StereoRig rig;
  if (!sim::readRigYaml(scene + "/truth/rig.yaml", rig, &error)) return fail(error), 1;
  sim::GroundTruth truth;
  if (!sim::GroundTruth::load(scene + "/truth/left_rectified.bin", truth, &error)) return fail(error), 1;
  const sim::Scene demoScene = sim::demoScene();

  CalibrationAccuracy cal;
  if (!measureCalibration(calibration, rig, cal, &error)) return fail(error), 1;
  report.line("calibration (calibrix, " + std::to_string(poses) + " poses) against the true rig");
  for (int c = 0; c < 2; ++c) {
    double rms = calibrixRms(calibrixLog, c);
    std::string cam = "cam" + std::to_string(c);
    report.check((cam + " RMS reprojection error").c_str(), fmt("%.4f px", rms), rms >= 0 && rms <= kRmsPx,
                 fmt("<= %.2f px", kRmsPx));
    report.check((cam + " focal length error").c_str(), fmt("%.3f %%", cal.focalErrorPercent[c]),
                 cal.focalErrorPercent[c] <= kIntrinsicPercent, fmt("<= %.1f %%", kIntrinsicPercent));
    report.check((cam + " principal point error").c_str(), fmt("%.3f %%", cal.principalErrorPercent[c]),
                 cal.principalErrorPercent[c] <= kIntrinsicPercent, fmt("<= %.1f %%", kIntrinsicPercent));
    report.line("  " + cam + " lens model differs from the truth by at most " + fmt("%.3f px", cal.modelErrorPx[c]) +
                " (up to a turn of the camera frame)");
  }
  report.check("baseline", fmt("%.3f mm", cal.baselineMm), cal.baselineErrorPercent <= kBaselinePercent,
               fmt("%.3f mm", cal.trueBaselineMm) + fmt(" +- %.1f %%", kBaselinePercent));

  if (capture.captured) {
    ImageSets captured, rendered;
    if (!loadPatternSets(shot, captured, &error) || !loadPatternSets(scene, rendered, &error)) return fail(error), 1;
    const bool same = captured.left == rendered.left && captured.right == rendered.right;
    report.line("capture through libOrvCamAce.so from zelsim serve (software trigger, projector over TCP)");
    report.line(fmt("  13-pattern shot in %.1f s", capture.shotSeconds) + " (the projector's own waits: 13 x 800 ms)");
    report.check("captured images equal the rendered ones", same ? "26 of 26" : "differ", same, "byte for byte");
  } else {
    report.line("capture skipped: " + capture.reason + "; decoding the rendered files");
  }

  // 4. Phase-shift decoding.
  progress(4, steps, "decoding the 13-pattern set (phase-shift decoder)");
  std::unique_ptr<DecoderHost> phsft = DecoderHost::load(DecoderKind::Phsft, &error);
  if (!phsft) return fail(error), 1;
  phsft->logTo(out + "/decoder_phsft.log");
  ImageSets patterns;
  if (!loadPatternSets(patternDir, patterns, &error)) return fail(error), 1;
  const std::uint8_t litAndSeen = sim::kSurfaceHit | sim::kSeenByRight | sim::kLitByProjector;
  // Measurement matching, from the settings file the demo leaves beside its
  // outputs; the default rules for comparison.
  const std::string measurement = out + "/phsft_settings.ini";
  if (!platform::writeProfileString("PSLIB", "match_mode", "1", measurement.c_str()))
    return fail("cannot write " + measurement), 1;
  DecodeRun withCalibrix, withTruth, defaultRules;
  if (!decodeAndMeasure(*phsft, calibration, patterns, rig, demoScene, truth, litAndSeen, withCalibrix, measurement))
    return 1;
  if (!writeCloud(withCalibrix.cloud, out + "/cloud_phsft.ply", &error)) return fail(error), 1;
  writeViewerIni(out + "/cloud_phsft.ply");
  if (!decodeAndMeasure(*phsft, scene + "/calib", patterns, rig, demoScene, truth, litAndSeen, withTruth, measurement))
    return 1;
  if (!decodeAndMeasure(*phsft, calibration, patterns, rig, demoScene, truth, litAndSeen, defaultRules)) return 1;
  // The reference board's plane, decoded with "coord" 1 (calibrix's hmat0.dat,
  // hmat1.dat, whose world is the reference board).
  const std::string coord1 = out + "/phsft_coord1.ini";
  if (!platform::writeProfileString("PhaseShift", "coord", "1", coord1.c_str()))
    return fail("cannot write " + coord1), 1;
  ImageSets planeSets;
  if (!loadPatternSets(reference, planeSets, &error)) return fail(error), 1;
  Cloud plane;
  if (!phsft->configure(coord1, calibration, &error) || !phsft->decode(planeSets, plane, &error)) return fail(error), 1;
  const BoardPlane board = measureBoardPlane(plane);
  phsft.reset();
  times.push_back({"phase-shift decode + measure", sw.lapMs()});
  reportPhsft(report, "phase-shift decoder, match_mode 1, calibrix calibration -> cloud_phsft.ply", withCalibrix,
              kMeasurementTargets);
  reportPhsft(report, "phase-shift decoder, match_mode 1, true calibration (decoder alone)", withTruth,
              kMeasurementTargets);
  reportPhsft(report, "phase-shift decoder, match_mode 0 (default rules), calibrix calibration", defaultRules,
              kDefaultRulesTargets);
  const double boardDistance = cv::norm(sim::referenceBoardPose().origin);
  const double planeTarget = kBoardPlanePercent / 100.0 * boardDistance;
  report.line("reference board plane, phase-shift decoder with \"coord\" 1 (board coordinates)");
  report.line("  points " + std::to_string(board.points) + fmt(", z from %.3f", board.lowZ) +
              fmt(" to %.3f mm (1st to 99th percentile)", board.highZ));
  report.check(
      "mean z", fmt("%.3f mm", board.meanZ), std::fabs(board.meanZ) <= planeTarget,
      fmt("|z| <= %.1f %%", kBoardPlanePercent) + fmt(" of %.0f mm", boardDistance) + fmt(" = %.2f mm", planeTarget));
  report.check("RMS z", fmt("%.3f mm", board.rmsZ), board.points > 0 && board.rmsZ <= planeTarget,
               fmt("<= %.2f mm", planeTarget));

  // 5. SGBM decoding of the textured pair.
  progress(5, steps, sgbm ? "decoding the textured pair (SGBM decoder)" : "SGBM decoder skipped (--no-sgbm)");
  if (sgbm) {
    std::unique_ptr<DecoderHost> host = DecoderHost::load(DecoderKind::Sgbm, &error);
    if (!host) {
      report.line("SGBM decoder not available: " + error);
    } else {
      host->logTo(out + "/decoder_sgbm.log");
      ImageSets pair;
      if (!loadImageSets({scene + "/texture_cam0.pgm"}, {scene + "/texture_cam1.pgm"}, 0, 0, pair, &error))
        return fail(error), 1;
      // The matcher's filters a user sets for measurement: left-right check
      // within 1 pixel, a clear winner (30%), patches of up to 3000 pixels
      // whose disparities spread by more than 1 pixel removed. The defaults
      // leave the left-right check off and keep wrong depths where the right
      // camera cannot see.
      const std::string settings = out + "/sgbm_settings.ini";
      const std::pair<const char*, const char*> keys[] = {{"disp_12_max_diff", "1"},
                                                          {"uniqueness_ratio", "30"},
                                                          {"speckle_window_size", "3000"},
                                                          {"speckle_range", "1"}};
      for (const auto& [key, value] : keys) {
        if (!platform::writeProfileString("SGBMLIB", key, value, settings.c_str()))
          return fail("cannot write " + settings), 1;
      }
      // Completeness counts the matcher's valid region, by the decoder's own
      // rule for the search these settings give (with the defaults, columns
      // 241 to W - 18 and rows 2 to H - 3); the matcher gives nothing outside it.
      zel::SgbmParams params;
      if (!zel::readSgbmParams(settings.c_str(), params)) return fail("cannot read " + settings), 1;
      const zel::ValidRegion r = zel::matcherValidRegion(params.blockSize, params.minDisparity, params.numDisparities,
                                                         truth.width, truth.height);
      const sim::GroundTruth inRegion = truth.withinRegion(r.x0, r.y0, r.x1, r.y1);
      DecodeRun run;
      if (!decodeAndMeasure(*host, calibration, pair, rig, demoScene, inRegion, sim::kSurfaceHit | sim::kSeenByRight,
                            run, settings))
        return 1;
      if (run.cloud.count > 0) {
        if (!writeCloud(run.cloud, out + "/cloud_sgbm.ply", &error)) return fail(error), 1;
        writeViewerIni(out + "/cloud_sgbm.ply");
      }
      reportCloud(report, "SGBM decoder, calibrix calibration -> cloud_sgbm.ply", run, kSgbmCompleteness,
                  kSgbmRmsPercent);
    }
    times.push_back({"SGBM decode + measure", sw.lapMs()});
  }

  // 6. A picture of the cloud.
  progress(6, steps, screenshot ? "screenshot of the cloud (nubiview)" : "screenshot skipped (--no-screenshot)");
  if (screenshot) {
    std::string viewer = executableDir() + "/nubiview";
    std::string png = out + "/cloud_phsft.png";
    if (!fs::exists(viewer)) {
      report.line("screenshot: nubiview is not built");
    } else {
      std::vector<std::string> args = {"--screenshot", png, "--frames", "5", out + "/cloud_phsft.ply"};
      std::string program = viewer;
      const char* display = std::getenv("DISPLAY");
      if (!display || !*display) {
        if (fs::exists("/usr/bin/xvfb-run")) {
          args.insert(args.begin(), {"-a", "-s", "-screen 0 1280x1024x24", viewer});
          program = "/usr/bin/xvfb-run";
        } else {
          program.clear();
        }
      }
      if (program.empty()) {
        report.line("screenshot: no display and no xvfb-run");
      } else {
        ProcessResult r = runProcess(program, args, "", out + "/nubiview.log");
        report.line(r.started && r.exitStatus == 0 && fs::exists(png)
                        ? "screenshot: " + png
                        : "screenshot failed, see " + out + "/nubiview.log");
      }
    }
    times.push_back({"screenshot", sw.lapMs()});
  }

  std::string timing = "time per stage:";
  for (const auto& [what, ms] : times) timing += " " + what + fmt(" %.1f s,", ms / 1000.0);
  timing += fmt(" total %.1f s", total.elapsedMs() / 1000.0);
  report.line(timing);
  report.line(report.allMet ? "all targets met" : "some accuracy targets missed (MISS above)");
  std::string text = report.text.str();
  std::printf("\n%s", text.c_str());
  std::ofstream(out + "/report.txt") << text;
  std::printf("outputs in %s\n", out.c_str());
  // The chain ran: missed accuracy targets are findings of the report, not a
  // failure of the run.
  return 0;
}

}  // namespace zelscan
