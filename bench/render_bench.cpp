// Render benchmark: the demo scene's 26 pattern images (13 per camera,
// 1280 x 1024, 3 x 3 supersampling, noise on), with and without the raw
// ground truth, on one thread and on two. Prints wall and CPU seconds; the
// CPU figure shows how much of the machine the run actually got.
#include <omp.h>

#include <cstdio>
#include <ctime>

#include "platform/stopwatch.h"
#include "sim/scene/renderer.h"

namespace {

double cpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

void run(const char* label, int threads, bool truth) {
  omp_set_num_threads(threads);
  const sim::StereoRig rig = sim::defaultRig();
  const sim::Scene scene = sim::demoScene();
  sim::RenderSettings settings;
  sim::PatternSet set;
  sim::GroundTruth gt;
  double cpu0 = cpuSeconds();
  platform::Stopwatch watch;
  bool ok = sim::renderPatternSet(rig, scene, settings, set, truth ? &gt : nullptr);
  double wall = watch.elapsedMs() / 1000, cpu = cpuSeconds() - cpu0;
  std::printf("%-34s threads %d: %6.2f s wall, %6.2f s CPU (%.0f%% of %d cores)%s\n", label, threads, wall, cpu,
              100 * cpu / (wall * threads), threads, ok ? "" : "  FAILED");
}

}  // namespace

int main() {
  std::printf("demo scene, 26 images of 1280 x 1024, 3 x 3 supersampling (target: under 20 s on 2 cores)\n");
  run("patterns + raw truth", 2, true);
  run("patterns only", 2, false);
  run("patterns + raw truth", 1, true);
  {
    omp_set_num_threads(2);
    const sim::StereoRig rig = sim::defaultRig();
    platform::Stopwatch watch;
    double cpu0 = cpuSeconds();
    sim::GroundTruth t = sim::rectifiedTruth(rig, rig.rectify(false), sim::demoScene());
    std::printf("%-34s threads 2: %6.2f s wall, %6.2f s CPU\n", "rectified-grid truth", watch.elapsedMs() / 1000,
                cpuSeconds() - cpu0);
  }
  return 0;
}
