#include "calibrix/image_set.h"

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <ostream>

namespace calibrix {

namespace {

std::string format(const char* fmt, const std::string& a, const std::string& b, int n, int m) {
  const int len = std::snprintf(nullptr, 0, fmt, a.c_str(), b.c_str(), n, m);
  std::string s(static_cast<std::size_t>(len > 0 ? len : 0), '\0');
  std::snprintf(s.data(), s.size() + 1, fmt, a.c_str(), b.c_str(), n, m);
  return s;
}

}  // namespace

ImageLayout chooseLayout(const std::string& dirname, const std::string& hdrname) {
  const std::string probe = dirname + "/" + hdrname + "00_0.pgm";
  if (std::FILE* f = std::fopen(probe.c_str(), "r")) {
    std::fclose(f);
    return ImageLayout::Split;
  }
  return ImageLayout::Combined;
}

std::string imagePath(ImageLayout layout, const std::string& dirname, const std::string& hdrname, int frame,
                      int camera) {
  if (frame < 0) {
    return layout == ImageLayout::Split ? format("%s/%s_%d.pgm", dirname, "reference", camera, 0)
                                        : format("%s/%s.pgm", dirname, "reference", 0, 0);
  }
  return layout == ImageLayout::Split ? format("%s/%s%02d_%d.pgm", dirname, hdrname, frame, camera)
                                      : format("%s/%s%02d.pgm", dirname, hdrname, frame, 0);
}

cv::Mat loadCameraImage(ImageLayout layout, const std::string& dirname, const std::string& hdrname, int frame,
                        int camera) {
  const cv::Mat whole = cv::imread(imagePath(layout, dirname, hdrname, frame, camera), cv::IMREAD_GRAYSCALE);
  if (whole.empty() || whole.total() == 0) return {};
  if (layout == ImageLayout::Split) return whole;
  const int half = whole.cols / 2;
  if (half == 0) return {};
  return whole(cv::Rect(camera ? half : 0, 0, half, whole.rows)).clone();
}

bool loadImageSet(CircleCalibBoard& board, ImageLayout layout, const std::string& dirname, const std::string& hdrname,
                  int nFrames, int camera, std::vector<std::vector<cv::Point2f>>& results, std::ostream& err) {
  // Grown frame by frame: an absurd n_frames must end at the first missing
  // image, not in an allocation of gigabytes up front.
  results.clear();
  for (int f = 0; f < nFrames; ++f) {
    results.emplace_back();
    const cv::Mat image = loadCameraImage(layout, dirname, hdrname, f, camera);
    if (image.empty()) {
      err << "指定された画像が読み込めませんでした." << std::endl;
      return false;
    }
    if (!detectCircleBoard(board, image, results[static_cast<std::size_t>(f)], &err)) return false;
    char name[32];
    std::snprintf(name, sizeof name, "/circle%02d.bin", camera + 2 * f);
    std::FILE* bin = std::fopen((dirname + name).c_str(), "wb");
    if (!bin) {
      err << "輪郭情報が保存できません." << std::endl;
      return false;
    }
    std::fclose(bin);
  }
  return true;
}

}  // namespace calibrix
