#include "decoder/phsft/tests/synthetic_scene.h"

#include <opencv2/core.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace zel::test {

namespace {

constexpr double kPeriod = 8.0;  // projector columns per fringe period
constexpr int kPeriods = 128;

struct Surface {
  int x0, x1;          // left columns covered
  double d0, dPerRow;  // disparity
};

double albedo(double u, unsigned seed) {
  // Smooth, seed-dependent texture along the surface.
  return 0.65 + 0.3 * std::sin(u * 0.11 + seed) * std::cos(u * 0.037 + 2.0 * seed);
}

void renderPixel(double u, double a, int x, int y, int w, int h, const SceneOptions& o, std::mt19937& rng,
                 std::uint8_t* set) {
  std::uniform_int_distribution<int> noise(-o.noise, o.noise);
  const std::size_t plane = static_cast<std::size_t>(w) * h;
  const std::size_t i = static_cast<std::size_t>(y) * w + x;
  auto put = [&](int k, double v) {
    const int q = static_cast<int>(std::lround(v)) + noise(rng);
    set[k * plane + i] = static_cast<std::uint8_t>(q < 0 ? 0 : q > 255 ? 255 : q);
  };
  const double black = 8.0 + 12.0 * a;
  const double white = black + 210.0 * a;
  put(0, black);
  put(1, white);
  const double uc = std::clamp(u + o.codeShift, 0.0, kPeriod * kPeriods - 1e-9);
  const int c = static_cast<int>(uc / kPeriod);
  const int g = c ^ (c >> 1);
  for (int b = 0; b < 7; ++b) put(2 + b, ((g >> (6 - b)) & 1) ? white : black);
  const double phi = 2.0 * M_PI * (std::fmod(u, kPeriod) / kPeriod) - M_PI;
  const double A = (white + black) / 2.0;
  const double B = 0.45 * (white - black);
  for (int k = 0; k < 4; ++k) put(9 + k, A - B * std::cos(phi - k * M_PI / 2.0));
}

void renderDark(int x, int y, int w, int h, std::uint8_t* set) {
  const std::size_t plane = static_cast<std::size_t>(w) * h;
  const std::size_t i = static_cast<std::size_t>(y) * w + x;
  for (int k = 0; k < 13; ++k) set[k * plane + i] = 3;
}

}  // namespace

SyntheticScene makeScene(const SceneOptions& o) {
  SyntheticScene s;
  s.width = o.width;
  s.height = o.height;
  const int w = o.width, h = o.height;
  const std::size_t plane = static_cast<std::size_t>(w) * h;
  s.left.assign(13 * plane, 0);
  s.right.assign(13 * plane, 0);
  s.trueDisparity.assign(plane, 0.0);
  std::mt19937 rng(o.seed);
  const Surface surfaces[2] = {{0, w / 2, o.disparity, o.disparityPerRow},
                               {w / 2, w, o.farDisparity, o.disparityPerRow}};
  const int bandStart = w / 4;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const Surface& sf = surfaces[x < w / 2 ? 0 : 1];
      const double u = x * o.projectorScale + 4.0;
      if (o.darkBand && x >= bandStart && x < bandStart + 6) {
        renderDark(x, y, w, h, s.left.data());
        continue;
      }
      renderPixel(u, albedo(u, o.seed), x, y, w, h, o, rng, s.left.data());
      s.trueDisparity[static_cast<std::size_t>(y) * w + x] = sf.d0 + sf.dPerRow * y;
    }
    for (int xr = 0; xr < w; ++xr) {
      // The nearest surface (largest disparity) that covers this right pixel.
      double bestD = -1.0;
      double bestX = 0.0;
      for (const Surface& sf : surfaces) {
        const double d = sf.d0 + sf.dPerRow * y;
        const double x = xr + d;
        if (x >= sf.x0 && x < sf.x1 && d > bestD) {
          bestD = d;
          bestX = x;
        }
      }
      if (bestD < 0) {
        renderDark(xr, y, w, h, s.right.data());
        continue;
      }
      const double u = bestX * o.projectorScale + 4.0;
      renderPixel(u, albedo(u, o.seed), xr, y, w, h, o, rng, s.right.data());
    }
  }
  return s;
}

void writeRectifiedCalibration(const std::string& dir, int width, int height, double f, double cx, double cy,
                               double baseline) {
  const double p0[12] = {f, 0, cx, 0, 0, f, cy, 0, 0, 0, 1, 0};
  const double p1[12] = {f, 0, cx, -f * baseline, 0, f, cy, 0, 0, 0, 1, 0};
  auto writeDoubles = [&](const std::string& name, const double* v) {
    std::FILE* fp = std::fopen((dir + "/" + name).c_str(), "wb");
    std::fwrite(v, sizeof(double), 12, fp);
    std::fclose(fp);
  };
  writeDoubles("hmat0.dat", p0);
  writeDoubles("hmat1.dat", p1);
  std::FILE* fp = std::fopen((dir + "/rect.param").c_str(), "wb");
  const std::int32_t count = width * height;
  std::vector<float> mx(count), my(count);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      mx[y * width + x] = static_cast<float>(x);
      my[y * width + x] = static_cast<float>(y);
    }
  }
  long pos = 0;
  for (int b = 0; b < 4; ++b) {
    const std::int32_t header[2] = {count, 0};
    std::fwrite(header, 4, 2, fp);
    std::fwrite(b < 2 ? mx.data() : my.data(), 4, count, fp);
    pos += 8 + 4L * count;
    while (pos % 8 != 0) {
      std::fputc(0, fp);
      ++pos;
    }
  }
  std::fclose(fp);
}

void writeCameraParamFiles(const std::string& dir, int width, int height, double f, double cx, double cy,
                           double baseline) {
  for (int c = 0; c < 2; ++c) {
    const std::string name = c == 0 ? "cam0" : "cam1";
    cv::FileStorage fs(dir + "/" + name + "_param.yaml", cv::FileStorage::WRITE);
    fs << name + "_size"
       << "[" << width << height << "]";
    fs << name + "_K" << (cv::Mat_<double>(3, 3) << f, 0, cx, 0, f, cy, 0, 0, 1);
    fs << name + "_R" << cv::Mat::eye(3, 3, CV_64F);
    fs << name + "_T" << (cv::Mat_<double>(3, 1) << (c == 0 ? 0.0 : -baseline), 0, 0);
    fs << name + "_D" << cv::Mat::zeros(1, 5, CV_64F);
  }
}

std::string makeTempDir() {
  char tmpl[] = "/tmp/zel_phsft_XXXXXX";
  const char* d = ::mkdtemp(tmpl);
  return d ? std::string(d) : std::string("/tmp");
}

void removeTree(const std::string& dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace zel::test
