// zelscan demo: the whole chain on the virtual head, as a user would run it.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "apps/zelscan/accuracy.h"
#include "apps/zelscan/command_options.h"
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

// What the user asked for.
struct DemoOptions {
  std::string out = "zelscan-demo";
  int poses = 15;
  long seed = 1;
  bool sgbm = true, screenshot = true;
};

// Fills `options` from the command line; -1 to go on, else the exit status
// (0 after --help, 2 on a usage error, its message printed).
int parseDemoOptions(int argc, char** argv, DemoOptions& options) {
  CommandOptions args("demo", argc, argv);
  while (args.next()) {
    if (args.isHelp()) {
      std::fputs(kDemoHelp, stdout);
      return 0;
    } else if (args.is("--out")) {
      if (!args.value(options.out)) return 2;
    } else if (args.is("--poses")) {
      long poses = 0;
      if (!args.number(poses, 4, 99, "a number from 4 to 99")) return 2;
      options.poses = static_cast<int>(poses);
    } else if (args.is("--seed")) {
      if (!args.number(options.seed, 0, std::numeric_limits<long>::max(), "a non-negative number")) return 2;
    } else if (args.is("--no-sgbm")) {
      options.sgbm = false;
    } else if (args.is("--no-screenshot")) {
      options.screenshot = false;
    } else {
      return args.unknown();
    }
  }
  return -1;
}

// The results of the phase-shift stage, reported after it.
struct PhsftRuns {
  DecodeRun withCalibrix, withTruth, defaultRules;
  BoardPlane board;
};

// The chain, one method per stage in the order they run. A stage that fails
// has said why on stderr and returns false; the run then ends with status 1.
// What the stages find goes into report_, printed and written at the end.
class DemoChain {
 public:
  explicit DemoChain(const DemoOptions& options) : options_(options), seedText_(std::to_string(options.seed)) {}

  bool prepareFolders();
  bool calibrate();
  bool renderAndCapture();
  bool loadTruth();
  bool reportCalibration();
  bool reportCapture();
  bool decodePhaseShift(PhsftRuns& runs);
  void reportPhaseShift(const PhsftRuns& runs);
  bool decodeSgbm();
  void takeScreenshot();
  void finishReport();

 private:
  static constexpr int kSteps = 6;
  // Ends the current stage's time (since the previous lap).
  void lap(const char* stage) { times_.push_back({stage, stopwatch_.lapMs()}); }

  const DemoOptions options_;
  const std::string seedText_;
  std::string out_, boards_, calibration_, scene_, reference_, shot_, calibrixLog_;
  DemoCapture capture_;
  std::string patternDir_;  // the 13-pattern set the decoders get
  sim::StereoRig rig_;
  sim::GroundTruth truth_;
  const sim::Scene demoScene_ = sim::demoScene();
  Report report_;
  platform::Stopwatch total_, stopwatch_;
  std::vector<std::pair<std::string, double>> times_;
};

bool DemoChain::prepareFolders() {
  std::error_code ec;
  fs::create_directories(options_.out, ec);
  if (ec || !fs::is_directory(options_.out)) {
    std::fprintf(stderr, "zelscan demo: cannot create the output folder %s\n", options_.out.c_str());
    return false;
  }
  out_ = fs::absolute(options_.out).lexically_normal().string();
  if (!out_.empty() && out_.back() == '/') out_.pop_back();
  boards_ = out_ + "/boards";
  calibration_ = out_ + "/calibration";
  scene_ = out_ + "/scene";
  reference_ = out_ + "/reference";
  shot_ = out_ + "/shot";
  calibrixLog_ = calibration_ + "/calibrix.log";
  fs::create_directories(calibration_, ec);
  total_.restart();
  stopwatch_.restart();
  return true;
}

// Steps 1 and 2: the board poses, and calibrix on them in its own working
// folder (it writes its files there), as a user would run it.
bool DemoChain::calibrate() {
  const std::string poses = std::to_string(options_.poses);
  progress(1, kSteps, "rendering " + poses + " calibration board poses (zelsim)");
  if (!runTool("zelsim",
               {"render", "--scene", "boards", "--out", boards_, "--poses", poses, "--seed", seedText_, "--quiet"}, "",
               out_ + "/zelsim_boards.log"))
    return false;
  lap("render boards");

  progress(2, kSteps, "calibrating the head (calibrix)");
  if (!runTool("calibrix",
               {boards_ + "/boards", "calib", poses, boards_ + "/board.yaml", "-result_output", "result.txt"},
               calibration_, calibrixLog_))
    return false;
  lap("calibrate");
  return true;
}

// Step 3: the demo scene and the reference board, then the 13-pattern set
// shot through libOrvCamAce.so from zelsim serve when this machine gives a
// private network namespace, else the rendered files.
bool DemoChain::renderAndCapture() {
  progress(3, kSteps, "rendering the demo scene (zelsim)");
  if (!runTool("zelsim", {"render", "--scene", "demo", "--out", scene_, "--seed", seedText_, "--quiet"}, "",
               out_ + "/zelsim_scene.log"))
    return false;
  if (!runTool("zelsim", {"render", "--scene", "reference", "--out", reference_, "--seed", seedText_, "--quiet"}, "",
               out_ + "/zelsim_reference.log"))
    return false;
  lap("render scene");

  progress(3, kSteps, "capturing the scene through libOrvCamAce.so from zelsim serve (private network namespace)");
  capture_ = captureDemoShot(scene_, shot_, out_);
  if (!capture_.captured && !capture_.unavailable) return fail(capture_.reason);
  patternDir_ = capture_.captured ? shot_ : scene_;
  lap("shot");
  return true;
}

// The true rig and surface the accuracy is measured against.
bool DemoChain::loadTruth() {
  std::string error;
  if (!sim::readRigYaml(scene_ + "/truth/rig.yaml", rig_, &error)) return fail(error);
  if (!sim::GroundTruth::load(scene_ + "/truth/left_rectified.bin", truth_, &error)) return fail(error);
  return true;
}

bool DemoChain::reportCalibration() {
  CalibrationAccuracy cal;
  std::string error;
  if (!measureCalibration(calibration_, rig_, cal, &error)) return fail(error);
  report_.line("calibration (calibrix, " + std::to_string(options_.poses) + " poses) against the true rig");
  for (int c = 0; c < 2; ++c) {
    double rms = calibrixRms(calibrixLog_, c);
    std::string cam = "cam" + std::to_string(c);
    report_.check((cam + " RMS reprojection error").c_str(), fmt("%.4f px", rms), rms >= 0 && rms <= kRmsPx,
                  fmt("<= %.2f px", kRmsPx));
    report_.check((cam + " focal length error").c_str(), fmt("%.3f %%", cal.focalErrorPercent[c]),
                  cal.focalErrorPercent[c] <= kIntrinsicPercent, fmt("<= %.1f %%", kIntrinsicPercent));
    report_.check((cam + " principal point error").c_str(), fmt("%.3f %%", cal.principalErrorPercent[c]),
                  cal.principalErrorPercent[c] <= kIntrinsicPercent, fmt("<= %.1f %%", kIntrinsicPercent));
    report_.line("  " + cam + " lens model differs from the truth by at most " + fmt("%.3f px", cal.modelErrorPx[c]) +
                 " (up to a turn of the camera frame)");
  }
  report_.check("baseline", fmt("%.3f mm", cal.baselineMm), cal.baselineErrorPercent <= kBaselinePercent,
                fmt("%.3f mm", cal.trueBaselineMm) + fmt(" +- %.1f %%", kBaselinePercent));
  return true;
}

bool DemoChain::reportCapture() {
  if (!capture_.captured) {
    report_.line("capture skipped: " + capture_.reason + "; decoding the rendered files");
    return true;
  }
  ImageSets captured, rendered;
  std::string error;
  if (!loadPatternSets(shot_, captured, &error) || !loadPatternSets(scene_, rendered, &error)) return fail(error);
  const bool same = captured.left == rendered.left && captured.right == rendered.right;
  report_.line("capture through libOrvCamAce.so from zelsim serve (software trigger, projector over TCP)");
  report_.line(fmt("  13-pattern shot in %.1f s", capture_.shotSeconds) + " (the projector's own waits: 13 x 800 ms)");
  report_.check("captured images equal the rendered ones", same ? "26 of 26" : "differ", same, "byte for byte");
  return true;
}

// Step 4: measurement matching with calibrix's calibration (the cloud the
// demo leaves) and with the true one, the default rules for comparison, and
// the reference board's plane in board coordinates.
bool DemoChain::decodePhaseShift(PhsftRuns& runs) {
  progress(4, kSteps, "decoding the 13-pattern set (phase-shift decoder)");
  std::string error;
  std::unique_ptr<DecoderHost> phsft = DecoderHost::load(DecoderKind::Phsft, &error);
  if (!phsft) return fail(error);
  phsft->logTo(out_ + "/decoder_phsft.log");
  ImageSets patterns;
  if (!loadPatternSets(patternDir_, patterns, &error)) return fail(error);
  const std::uint8_t litAndSeen = sim::kSurfaceHit | sim::kSeenByRight | sim::kLitByProjector;
  // Completeness counts the pixels whose partner lies inside the right
  // rectified image: the images the decoder gets.
  const sim::GroundTruth matchable = truth_.withPartnerInRectifiedRight();
  // Measurement matching, from the settings file the demo leaves beside its
  // outputs; the default rules for comparison.
  const std::string measurement = out_ + "/phsft_settings.ini";
  if (!platform::writeProfileString("PSLIB", "match_mode", "1", measurement.c_str()))
    return fail("cannot write " + measurement);
  if (!decodeAndMeasure(*phsft, calibration_, patterns, rig_, demoScene_, matchable, litAndSeen, runs.withCalibrix,
                        measurement))
    return false;
  if (!writeCloud(runs.withCalibrix.cloud, out_ + "/cloud_phsft.ply", &error)) return fail(error);
  writeViewerIni(out_ + "/cloud_phsft.ply");
  if (!decodeAndMeasure(*phsft, scene_ + "/calib", patterns, rig_, demoScene_, matchable, litAndSeen, runs.withTruth,
                        measurement))
    return false;
  if (!decodeAndMeasure(*phsft, calibration_, patterns, rig_, demoScene_, matchable, litAndSeen, runs.defaultRules))
    return false;
  // The reference board's plane, decoded with "coord" 1 (calibrix's hmat0.dat,
  // hmat1.dat, whose world is the reference board).
  const std::string coord1 = out_ + "/phsft_coord1.ini";
  if (!platform::writeProfileString("PhaseShift", "coord", "1", coord1.c_str())) return fail("cannot write " + coord1);
  ImageSets planeSets;
  if (!loadPatternSets(reference_, planeSets, &error)) return fail(error);
  Cloud plane;
  if (!phsft->configure(coord1, calibration_, &error) || !phsft->decode(planeSets, plane, &error)) return fail(error);
  runs.board = measureBoardPlane(plane);
  phsft.reset();
  lap("phase-shift decode + measure");
  return true;
}

void DemoChain::reportPhaseShift(const PhsftRuns& runs) {
  reportPhsft(report_, "phase-shift decoder, match_mode 1, calibrix calibration -> cloud_phsft.ply", runs.withCalibrix,
              kMeasurementTargets);
  reportPhsft(report_, "phase-shift decoder, match_mode 1, true calibration (decoder alone)", runs.withTruth,
              kMeasurementTargets);
  reportPhsft(report_, "phase-shift decoder, match_mode 0 (default rules), calibrix calibration", runs.defaultRules,
              kDefaultRulesTargets);
  const BoardPlane& board = runs.board;
  const double boardDistance = cv::norm(sim::referenceBoardPose().origin);
  const double planeTarget = kBoardPlanePercent / 100.0 * boardDistance;
  report_.line("reference board plane, phase-shift decoder with \"coord\" 1 (board coordinates)");
  report_.line("  points " + std::to_string(board.points) + fmt(", z from %.3f", board.lowZ) +
               fmt(" to %.3f mm (1st to 99th percentile)", board.highZ));
  report_.check(
      "mean z", fmt("%.3f mm", board.meanZ), std::fabs(board.meanZ) <= planeTarget,
      fmt("|z| <= %.1f %%", kBoardPlanePercent) + fmt(" of %.0f mm", boardDistance) + fmt(" = %.2f mm", planeTarget));
  report_.check("RMS z", fmt("%.3f mm", board.rmsZ), board.points > 0 && board.rmsZ <= planeTarget,
                fmt("<= %.2f mm", planeTarget));
}

// Step 5: the textured pair through the SGBM decoder, with the filters a user
// sets for measurement. A missing decoder is a line of the report.
bool DemoChain::decodeSgbm() {
  progress(5, kSteps, options_.sgbm ? "decoding the textured pair (SGBM decoder)" : "SGBM decoder skipped (--no-sgbm)");
  if (!options_.sgbm) return true;
  std::string error;
  std::unique_ptr<DecoderHost> host = DecoderHost::load(DecoderKind::Sgbm, &error);
  if (!host) {
    report_.line("SGBM decoder not available: " + error);
  } else {
    host->logTo(out_ + "/decoder_sgbm.log");
    ImageSets pair;
    if (!loadImageSets({scene_ + "/texture_cam0.pgm"}, {scene_ + "/texture_cam1.pgm"}, 0, 0, pair, &error))
      return fail(error);
    // The matcher's filters a user sets for measurement: left-right check
    // within 1 pixel, a clear winner (30%), patches of up to 3000 pixels
    // whose disparities spread by more than 1 pixel removed. The defaults
    // leave the left-right check off and keep wrong depths where the right
    // camera cannot see.
    const std::string settings = out_ + "/sgbm_settings.ini";
    const std::pair<const char*, const char*> keys[] = {
        {"disp_12_max_diff", "1"}, {"uniqueness_ratio", "30"}, {"speckle_window_size", "3000"}, {"speckle_range", "1"}};
    for (const auto& [key, value] : keys) {
      if (!platform::writeProfileString("SGBMLIB", key, value, settings.c_str()))
        return fail("cannot write " + settings);
    }
    // Completeness counts the matcher's valid region, by the decoder's own
    // rule for the search these settings give (with the defaults, columns
    // 241 to W - 18 and rows 2 to H - 3); the matcher gives nothing outside it.
    zel::SgbmParams params;
    if (!zel::readSgbmParams(settings.c_str(), params)) return fail("cannot read " + settings);
    const zel::ValidRegion r = zel::matcherValidRegion(params.blockSize, params.minDisparity, params.numDisparities,
                                                       truth_.width, truth_.height);
    const sim::GroundTruth inRegion = truth_.withinRegion(r.x0, r.y0, r.x1, r.y1);
    DecodeRun run;
    if (!decodeAndMeasure(*host, calibration_, pair, rig_, demoScene_, inRegion, sim::kSurfaceHit | sim::kSeenByRight,
                          run, settings))
      return false;
    if (run.cloud.count > 0) {
      if (!writeCloud(run.cloud, out_ + "/cloud_sgbm.ply", &error)) return fail(error);
      writeViewerIni(out_ + "/cloud_sgbm.ply");
    }
    reportCloud(report_, "SGBM decoder, calibrix calibration -> cloud_sgbm.ply", run, kSgbmCompleteness,
                kSgbmRmsPercent);
  }
  lap("SGBM decode + measure");
  return true;
}

// Step 6: a nubiview picture of the phase-shift cloud, on the display or
// under xvfb-run; a picture that can't be taken is a line of the report.
void DemoChain::takeScreenshot() {
  progress(6, kSteps,
           options_.screenshot ? "screenshot of the cloud (nubiview)" : "screenshot skipped (--no-screenshot)");
  if (!options_.screenshot) return;
  std::string viewer = executableDir() + "/nubiview";
  std::string png = out_ + "/cloud_phsft.png";
  if (!fs::exists(viewer)) {
    report_.line("screenshot: nubiview is not built");
  } else {
    std::vector<std::string> args = {"--screenshot", png, "--frames", "5", out_ + "/cloud_phsft.ply"};
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
      report_.line("screenshot: no display and no xvfb-run");
    } else {
      ProcessResult r = runProcess(program, args, "", out_ + "/nubiview.log");
      report_.line(r.started && r.exitStatus == 0 && fs::exists(png)
                       ? "screenshot: " + png
                       : "screenshot failed, see " + out_ + "/nubiview.log");
    }
  }
  lap("screenshot");
}

// The stage times and the verdict close the report; it goes to stdout and to
// report.txt.
void DemoChain::finishReport() {
  std::string timing = "time per stage:";
  for (const auto& [what, ms] : times_) timing += " " + what + fmt(" %.1f s,", ms / 1000.0);
  timing += fmt(" total %.1f s", total_.elapsedMs() / 1000.0);
  report_.line(timing);
  report_.line(report_.allMet ? "all targets met" : "some accuracy targets missed (MISS above)");
  std::string text = report_.text.str();
  std::printf("\n%s", text.c_str());
  std::ofstream(out_ + "/report.txt") << text;
  std::printf("outputs in %s\n", out_.c_str());
}

}  // namespace

int demoCommand(int argc, char** argv) {
  DemoOptions options;
  if (int status = parseDemoOptions(argc, argv, options); status >= 0) return status;
  DemoChain chain(options);
  if (!chain.prepareFolders()) return 1;
  if (!chain.calibrate() || !chain.renderAndCapture() || !chain.loadTruth()) return 1;
  if (!chain.reportCalibration() || !chain.reportCapture()) return 1;
  PhsftRuns phsft;
  if (!chain.decodePhaseShift(phsft)) return 1;
  chain.reportPhaseShift(phsft);
  if (!chain.decodeSgbm()) return 1;
  chain.takeScreenshot();
  chain.finishReport();
  // The chain ran: missed accuracy targets are findings of the report, not a
  // failure of the run.
  return 0;
}

}  // namespace zelscan
