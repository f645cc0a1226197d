// viewer_bench [--points-dir DIR]: prints how long nubiview takes to draw a
// frame of 1,000,000 and of 10,000,000 points (llvmpipe under Xvfb in CI), and
// to reload a 10,000,000-point binary PLY file the way the viewer does it
// (read, build vertices, colour mapping, upload). Figures only; never fails
// because of a time.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>

#include "viewer/app/camera.h"
#include "viewer/app/cloud_source.h"
#include "viewer/app/cloud_vertices.h"
#include "viewer/app/gl_renderer.h"
#include "viewer/cloud/point_files.h"

namespace {

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// A wavy surface of n points with colours, as a scanner would give.
void fillStore(cloud::CloudStore& store, std::size_t n) {
  store.clear();
  const cloud::CloudStore::PointRoom room = store.appendPoints(n);
  const std::size_t side = static_cast<std::size_t>(std::sqrt(double(n))) + 1;
  for (std::size_t i = 0; i < n; ++i) {
    const float u = float(i % side) / float(side) - 0.5f, v = float(i / side) / float(side) - 0.5f;
    room.positions[3 * i] = u * 400;
    room.positions[3 * i + 1] = 300 + 20 * std::sin(u * 30) * std::cos(v * 20);
    room.positions[3 * i + 2] = v * 400;
    room.colours[3 * i] = std::uint8_t(i * 7);
    room.colours[3 * i + 1] = std::uint8_t(i >> 3);
    room.colours[3 * i + 2] = std::uint8_t(200);
  }
}

double frameTime(GLFWwindow* w, nubiview::GlRenderer& r, const nubiview::ViewCamera& cam, int frames) {
  // one frame first so that buffer uploads are not counted
  r.clear(0, 800, 600);
  r.draw(cam.worldViewProjection(), true, false);
  glfwSwapBuffers(w);
  glFinish();
  const auto t = Clock::now();
  for (int i = 0; i < frames; ++i) {
    r.clear(0, 800, 600);
    r.draw(cam.worldViewProjection(), true, false);
    glfwSwapBuffers(w);
    glfwPollEvents();
  }
  glFinish();
  return msSince(t) / frames;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path dir = std::filesystem::temp_directory_path();
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--points-dir") dir = argv[++i];
  if (!std::getenv("DISPLAY")) {
    std::printf("viewer_bench: no X display; run under xvfb-run -a -s \"-screen 0 1280x1024x24\"\n");
    return 0;
  }
  if (!glfwInit()) {
    std::printf("viewer_bench: cannot initialise GLFW\n");
    return 0;
  }
  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
  glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
  glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
  GLFWwindow* window = glfwCreateWindow(800, 600, "viewer_bench", nullptr, nullptr);
  if (!window) {
    std::printf("viewer_bench: no OpenGL 3.3 window\n");
    glfwTerminate();
    return 0;
  }
  glfwMakeContextCurrent(window);
  glfwSwapInterval(0);
  std::printf("viewer_bench: GL renderer %s\n", reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
  int rc = 0;
  {
    nubiview::GlRenderer renderer;
    std::string error;
    if (!renderer.create(error)) {
      std::printf("viewer_bench: %s\n", error.c_str());
      rc = 1;
    } else {
      nubiview::ViewCamera cam;
      cam.setWindow(800, 600);
      nubiview::CoordinateSystem cs;
      cloud::CloudStore store;
      double frame1m = 0;
      for (std::size_t n : {std::size_t(1'000'000), std::size_t(10'000'000)}) {
        fillStore(store, n);
        float scale = 0;
        nubiview::BuiltCloud built =
            nubiview::BuildVertices(store.positions().data(), store.colours().data(), n, cs, scale);
        cam.resetView(cs, built.fileCentre);
        renderer.uploadCloud(built.vertices);
        const double ms = frameTime(window, renderer, cam, n > 1'000'000 ? 5 : 20);
        if (n == 1'000'000) frame1m = ms;
        std::printf("frame time, %zu points: %.1f ms (%.1f frames/s)\n", n, ms, 1000.0 / ms);
        if (n > 1'000'000 && frame1m > 0) std::printf("frame time ratio 10M / 1M: %.2f\n", ms / frame1m);
      }

      // Reload of a 10,000,000-point binary PLY, step by step as the viewer does it.
      const std::filesystem::path file = dir / ("viewer_bench_" + std::to_string(::getpid()) + ".ply");
      if (!cloud::WritePly(store, file, true)) {
        std::printf("viewer_bench: cannot write %s\n", file.c_str());
        rc = 1;
      } else {
        store.clear();
        const double mb = double(std::filesystem::file_size(file)) / 1e6;
        float scale = 0.0025f;  // kept across reloads
        double readMs = 0, buildMs = 0;
        std::vector<nubiview::Vertex> base;
        auto t = Clock::now();
        nubiview::LoadCloud(file.string(), [&](const nubiview::CloudView& c) {
          readMs = msSince(t);
          const auto b = Clock::now();
          base = nubiview::BuildVertices(c.positions, c.colours, c.count, cs, scale).vertices;
          buildMs = msSince(b);
        });
        const auto m = Clock::now();
        std::vector<nubiview::Vertex> display = base;
        nubiview::ColourAdjustment adj;
        adj.enabled = true;
        adj.gain[0] = 1.5f;
        nubiview::ApplyColourMapping(display, true, adj);
        const double mapMs = msSince(m);
        const auto u = Clock::now();
        renderer.uploadCloud(display);
        glFinish();
        const double uploadMs = msSince(u);
        const double total = msSince(t);
        std::printf(
            "reload, %zu points (binary PLY, %.0f MB): read %.0f ms, vertices %.0f ms, "
            "colour mapping %.0f ms, upload %.0f ms, total %.0f ms\n",
            base.size(), mb, readMs, buildMs, mapMs, uploadMs, total);
        std::printf("reload / 10M-point frame ratio: %.2f\n", total / frameTime(window, renderer, cam, 3));
        std::filesystem::remove(file);
      }
    }
  }
  glfwDestroyWindow(window);
  glfwTerminate();
  return rc;
}
