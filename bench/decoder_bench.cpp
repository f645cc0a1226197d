// Phase-shift decoder benchmark on the virtual head's demo scene (1280 x 1024):
// for both matching modes ("match_mode" 0 and 1) the median exec time, median
// stage times and peak memory, and in the same run the floor: cv::remap of
// the same 26 images with the calibration's (float) maps on the same two
// threads (one camera per thread), and the same with fixed-point maps as the
// decoder runs it. Wall-clock and CPU times; runs of exec and of the floors
// alternate.
//
// Each mode runs in a child process of its own, so that its peak resident
// memory is its own (the images read by the parent are shared with it); the
// scene is rendered in another child first, whose memory is given back.
//
// decoder_bench [--runs N] [--mode 0|1] [--scene-dir DIR]
//   DIR holds a rendered scene (cam0_NN.pgm, cam1_NN.pgm, calib/), or gets the
//   demo scene rendered into it; without it the scene is rendered into a
//   temporary folder.
#include "decoder/common/calib_loader.h"
#include "decoder/phsft/phsft_decoder.h"
#include "platform/stopwatch.h"
#include "sim/scene/outputs.h"
#include "sim/scene/renderer.h"
#include "sim/scene/scene.h"
#include "sim/scene/stereo_rig.h"

#include <omp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

long peakRssKb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

// CPU time of the whole process (all threads), ms. On a shared machine the
// wall-clock figures swing with the other load; the CPU time of the same
// work swings far less.
double cpuMs() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

// A line "<key> <n> kB" of /proc/self/status, kB; 0 when unknown.
long statusKb(const char* key) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  long kb = 0;
  const std::size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, key, n) == 0 && line[n] == ':') {
      kb = std::atol(line + n + 1);
      break;
    }
  }
  std::fclose(f);
  return kb;
}

// Current resident memory (VmRSS), kB.
long currentRssKb() { return statusKb("VmRSS"); }
// The part of it that maps files: the code and data of the libraries.
long fileRssKb() { return statusKb("RssFile"); }

}  // namespace

int main(int argc, char** argv) {
  int runs = 15;
  int onlyMode = -1;  // both
  std::string sceneDir;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--mode") && i + 1 < argc) {
      onlyMode = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--scene-dir") && i + 1 < argc) {
      sceneDir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: decoder_bench [--runs N] [--mode 0|1] [--scene-dir DIR]\n");
      return 2;
    }
  }
  const int w = 1280, h = 1024;
  std::vector<std::uint8_t> left, right;
  std::string error;
  std::string tmpDir;
  // A given scene folder without the scene gets it rendered and kept, so that
  // later runs skip the rendering.
  const bool render = sceneDir.empty() || !std::filesystem::exists(sceneDir + "/cam0_00.pgm");
  if (sceneDir.empty()) {
    char tmpl[] = "/tmp/zel_decoder_bench_XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    tmpDir = sceneDir = tmpl;
  }
  if (render) {
    std::fprintf(stderr, "rendering the demo scene...\n");
    const pid_t child = ::fork();
    if (child == 0) {
      sim::RenderSettings settings;
      if (!sim::writePatternScene(sim::defaultRig(), sim::demoScene(), settings, sceneDir, &error)) {
        std::fprintf(stderr, "render failed: %s\n", error.c_str());
        std::_Exit(1);
      }
      std::_Exit(0);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  if (!sim::readPatternImages(sceneDir, 0, w, h, left, &error) ||
      !sim::readPatternImages(sceneDir, 1, w, h, right, &error)) {
    std::fprintf(stderr, "cannot read the scene: %s\n", error.c_str());
    return 1;
  }
  const long rssBefore = peakRssKb();
  const double inputMb = 26.0 * w * h / (1024.0 * 1024.0);

  std::printf("decoder_bench: demo scene %dx%d, %d runs\n", w, h, runs);
  std::printf("  input: 26 images, %.1f MB; resident before decoding %.1f MB\n", inputMb, rssBefore / 1024.0);
  std::fflush(stdout);

  // The parent runs no OpenMP region: a child forked after one would wait
  // forever for the parent's thread pool.
  zel::PhsftParams params;  // defaults: 1280 x 1024, coord 0
  for (int mode = 0; mode <= 1; ++mode) {
    if (onlyMode >= 0 && mode != onlyMode) continue;
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child > 0) {
      int status = 0;
      if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
      continue;
    }
    params.matchMode = mode;
    // A forked child starts with the parent's resident pages (the input
    // images among them) and its peak counts from there: what decoding adds
    // is the peak minus this.
    const long rssAtStart = currentRssKb();
    const long fileAtStart = fileRssKb();
    zel::PhsftDecoder decoder;
    if (!decoder.loadCalibration(params, sceneDir + "/calib/")) std::_Exit(1);
    const double peakAfterLoadMb = peakRssKb() / 1024.0;
    const ImagePair images{left.data(), right.data()};
    zel::PhsftOutput out;
    decoder.exec(images, params.qEvec, out);     // warm-up
    const double peakMb = peakRssKb() / 1024.0;  // the decoder's peak: reached in its first exec
    // Library pages the child has mapped since it started (OpenCV's, the
    // OpenMP runtime's): shared with every other process that maps them,
    // whether it decodes or not.
    const double libraryMb = (fileRssKb() - fileAtStart) / 1024.0;
    // The floor: the rectification alone, with the calibration's float maps
    // as cv::remap is usually called, on the same two threads (one camera
    // each); and the same with fixed-point copies of the maps, the form the
    // decoder keeps. Runs of exec and of the floors alternate, so that all
    // three see the same load of the (shared) machine. The float maps are
    // loaded again here: the decoder keeps only the fixed-point ones.
    zel::StereoCamera stereo;
    if (!zel::loadStereoCalibration(sceneDir + "/calib/", 0, w, h, false, stereo)) std::_Exit(1);
    cv::Mat fixedMaps[2][2];
    for (int c = 0; c < 2; ++c) {
      const zel::UndistortCamera& cam = c == 0 ? stereo.left : stereo.right;
      cv::convertMaps(cam.mapX, cam.mapY, fixedMaps[c][0], fixedMaps[c][1], CV_16SC2);
    }
    std::vector<std::uint8_t> dst[2] = {std::vector<std::uint8_t>(13u * w * h), std::vector<std::uint8_t>(13u * w * h)};
    double lastCpu = 0;
    auto remapAll = [&](bool fixed) {
      platform::Stopwatch sw;
      const double cpu0 = cpuMs();
#pragma omp parallel for schedule(static) num_threads(2)
      for (int c = 0; c < 2; ++c) {
        const zel::UndistortCamera& cam = c == 0 ? stereo.left : stereo.right;
        const std::uint8_t* set = c == 0 ? left.data() : right.data();
        for (int k = 0; k < 13; ++k) {
          cv::Mat raw(h, w, CV_8UC1, const_cast<std::uint8_t*>(set) + static_cast<std::size_t>(k) * w * h);
          cv::Mat o(h, w, CV_8UC1, dst[c].data() + static_cast<std::size_t>(k) * w * h);
          if (fixed) {
            cv::remap(raw, o, fixedMaps[c][0], fixedMaps[c][1], cam.interpolationFlag(), cv::BORDER_TRANSPARENT);
          } else {
            cv::remap(raw, o, cam.mapX, cam.mapY, cam.interpolationFlag(), cv::BORDER_TRANSPARENT);
          }
        }
      }
      lastCpu = cpuMs() - cpu0;
      return sw.elapsedMs();
    };
    remapAll(false);
    remapAll(true);
    std::vector<double> exec, remap, ps, filter, pc, total, floor, fixedFloor, execCpu, floorCpu, fixedCpu;
    int points = 0;
    for (int r = 0; r < runs; ++r) {
      platform::Stopwatch sw;
      const double cpu0 = cpuMs();
      points = decoder.exec(images, params.qEvec, out);
      exec.push_back(sw.elapsedMs());
      execCpu.push_back(cpuMs() - cpu0);
      const zel::StageTimes& t = decoder.lastTimes();
      remap.push_back(t.remap);
      ps.push_back(t.ps);
      filter.push_back(t.filter);
      pc.push_back(t.pc);
      total.push_back(t.total);
      floor.push_back(remapAll(false));
      floorCpu.push_back(lastCpu);
      fixedFloor.push_back(remapAll(true));
      fixedCpu.push_back(lastCpu);
    }
    const double execMs = median(exec);
    const double floorMs = median(floor);
    const double fixedMs = median(fixedFloor);
    std::printf("match_mode %d: %d threads, %d points\n", mode, decoder.threads(), points);
    std::printf("  exec (median)        %8.2f ms\n", execMs);
    std::printf("    remap stage        %8.2f ms\n", median(remap));
    std::printf("    phase + matching   %8.2f ms (of which the tests across rows %.2f ms)\n", median(ps),
                median(filter));
    std::printf("    points             %8.2f ms\n", median(pc));
    std::printf("    total incl. output %8.2f ms\n", median(total));
    std::printf("  floor: cv::remap of 26 images, 2 threads, float maps (median) %8.2f ms\n", floorMs);
    std::printf("         the same with fixed-point maps (median)                %8.2f ms\n", fixedMs);
    std::printf("  exec / floor         %8.2f (target: mode 0 <= 1.53, mode 1 <= 1.8)\n",
                floorMs > 0 ? execMs / floorMs : 0.0);
    std::printf("  exec / fixed-point remap %4.2f\n", fixedMs > 0 ? execMs / fixedMs : 0.0);
    const double execC = median(execCpu), floorC = median(floorCpu), fixedC = median(fixedCpu);
    std::printf("  CPU time (median): exec %.1f ms, float-map floor %.1f ms, fixed-point remap %.1f ms\n", execC,
                floorC, fixedC);
    std::printf("  CPU exec / floor     %8.2f, / fixed-point remap %.2f\n", floorC > 0 ? execC / floorC : 0.0,
                fixedC > 0 ? execC / fixedC : 0.0);
    // The decoder's own memory (buffers, maps, output) on top of the input
    // images it decodes, against those images: the peak minus the resident
    // memory at the start and minus the library pages mapped meanwhile. The
    // figure with the library pages and the whole process's peak follow.
    const double grownMb = peakMb - rssAtStart / 1024.0;
    const double ownMb = grownMb - libraryMb;
    std::printf(
        "  peak memory of decoding %6.1f MB (peak RSS minus RSS at start, %.1f MB, minus %.1f MB of library\n"
        "    pages mapped meanwhile), with the input images %.1f MB\n",
        ownMb, grownMb, libraryMb, ownMb + inputMb);
    std::printf("    = %.2f x the input images (target <= 3); with the library pages %.2f x\n",
                (ownMb + inputMb) / inputMb, (grownMb + inputMb) / inputMb);
    std::printf("  peak RSS of the whole process %6.1f MB = %.2f x the input images (after loadCalibration %.1f MB)\n",
                peakMb, peakMb / inputMb, peakAfterLoadMb);
    std::fflush(stdout);
    std::_Exit(0);
  }
  if (!tmpDir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tmpDir, ec);
  }
  return 0;
}
