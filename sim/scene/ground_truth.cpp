#include "sim/scene/ground_truth.h"

#include <bit>
#include <cstring>
#include <fstream>
#include <limits>

#include "decoder/common/calib_files.h"
#include "sim/scene/file_errors.h"

namespace sim {
namespace {

static_assert(std::endian::native == std::endian::little, "truth files are written on little-endian hosts");

constexpr char kMagic[8] = {'Z', 'E', 'L', 'T', 'R', 'U', 'T', 'H'};
constexpr uint32_t kVersion = 1;
constexpr int kMaxSide = 65536;

size_t flagsBytes(size_t count) { return (count + 3) / 4 * 4; }

size_t expectedSize(int w, int h) {
  size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
  return kTruthHeaderSize + flagsBytes(n) + n * 4 * (1 + 3 + 1 + 1);
}

template <typename T>
void put(std::string& out, T v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof(T));
}

template <typename T>
T get(const std::string& in, size_t off) {
  T v;
  std::memcpy(&v, in.data() + off, sizeof(T));
  return v;
}

void appendMat(std::string& out, const cv::Mat& m) {
  for (int y = 0; y < m.rows; ++y) out.append(reinterpret_cast<const char*>(m.ptr(y)), m.cols * m.elemSize());
}

size_t readMat(const std::string& in, size_t off, cv::Mat& m) {
  for (int y = 0; y < m.rows; ++y) {
    size_t row = m.cols * m.elemSize();
    std::memcpy(m.ptr(y), in.data() + off, row);
    off += row;
  }
  return off;
}

}  // namespace

void GroundTruth::allocate(TruthGrid g, int w, int h) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  grid = g;
  width = w;
  height = h;
  flags = cv::Mat::zeros(h, w, CV_8U);
  depth = cv::Mat(h, w, CV_32F, cv::Scalar(nan));
  xyz = cv::Mat(h, w, CV_32FC3, cv::Scalar(nan, nan, nan));
  projectorColumn = cv::Mat(h, w, CV_32F, cv::Scalar(nan));
  disparity = cv::Mat(h, w, CV_32F, cv::Scalar(nan));
}

bool GroundTruth::save(const std::string& path, std::string* error) const {
  if (width <= 0 || height <= 0 || flags.size() != cv::Size(width, height) || flags.type() != CV_8U ||
      depth.size() != flags.size() || depth.type() != CV_32F || xyz.size() != flags.size() || xyz.type() != CV_32FC3 ||
      projectorColumn.size() != flags.size() || projectorColumn.type() != CV_32F || disparity.size() != flags.size() ||
      disparity.type() != CV_32F) {
    setError(error, "ground truth planes are inconsistent");
    return false;
  }
  std::string out;
  out.reserve(expectedSize(width, height));
  out.append(kMagic, 8);
  put<uint32_t>(out, kVersion);
  put<int32_t>(out, width);
  put<int32_t>(out, height);
  put<int32_t>(out, static_cast<int32_t>(grid));
  put<uint32_t>(out, kTruthHeaderSize);
  put<uint32_t>(out, 0);
  appendMat(out, flags);
  out.append(flagsBytes(flags.total()) - flags.total(), '\0');
  appendMat(out, depth);
  appendMat(out, xyz);
  appendMat(out, projectorColumn);
  appendMat(out, disparity);
  if (!calibfiles::writeFileAtomically(path, out)) {
    setError(error, "cannot write " + path);
    return false;
  }
  return true;
}

namespace {

// Validates the 32-byte header; on success gives width, height and grid.
bool checkHeader(const std::string& head, int32_t& w, int32_t& h, int32_t& g, std::string* error) {
  if (head.size() < kTruthHeaderSize) {
    setError(error, "short header");
    return false;
  }
  if (std::memcmp(head.data(), kMagic, 8) != 0 || get<uint32_t>(head, 8) != kVersion ||
      get<uint32_t>(head, 24) != kTruthHeaderSize) {
    setError(error, "not a ground-truth file of version 1");
    return false;
  }
  w = get<int32_t>(head, 12);
  h = get<int32_t>(head, 16);
  g = get<int32_t>(head, 20);
  if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide || (g != 0 && g != 1)) {
    setError(error, "bad size or grid in the header");
    return false;
  }
  return true;
}

}  // namespace

bool GroundTruth::parse(const std::string& body, GroundTruth& result, std::string* error) {
  int32_t w, h, g;
  if (!checkHeader(body, w, h, g, error)) return false;
  if (body.size() != expectedSize(w, h)) {
    setError(error, "file size does not match its header");
    return false;
  }
  GroundTruth t;
  t.allocate(static_cast<TruthGrid>(g), w, h);
  readMat(body, kTruthHeaderSize, t.flags);
  size_t off = kTruthHeaderSize + flagsBytes(t.flags.total());
  off = readMat(body, off, t.depth);
  off = readMat(body, off, t.xyz);
  off = readMat(body, off, t.projectorColumn);
  readMat(body, off, t.disparity);
  result = std::move(t);
  return true;
}

bool GroundTruth::load(const std::string& path, GroundTruth& result, std::string* error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    setError(error, "cannot open " + path);
    return false;
  }
  // The header is checked before a body of the size it claims is read.
  std::string head(kTruthHeaderSize, '\0');
  f.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(f.gcount()));
  int32_t w, h, g;
  std::string why;
  if (!checkHeader(head, w, h, g, &why)) {
    setError(error, path + ": " + why);
    return false;
  }
  f.clear();
  f.seekg(0, std::ios::end);
  const std::streamoff size = f.tellg();
  if (size < 0 || static_cast<size_t>(size) != expectedSize(w, h)) {
    setError(error, path + ": file size does not match its header");
    return false;
  }
  std::string body(static_cast<size_t>(size), '\0');
  f.seekg(0);
  if (!f.read(body.data(), size)) {
    setError(error, path + ": read failed");
    return false;
  }
  if (!parse(body, result, &why)) {
    setError(error, path + ": " + why);
    return false;
  }
  return true;
}

GroundTruth GroundTruth::withinRegion(int x0, int y0, int x1, int y1) const {
  GroundTruth t = *this;
  // A new buffer: the copy shares this truth's, and assigning zeros() to it
  // would clear this truth's flags too.
  t.flags = cv::Mat(flags.size(), flags.type(), cv::Scalar::all(0));
  const cv::Rect region = cv::Rect(x0, y0, x1 - x0, y1 - y0) & cv::Rect(0, 0, width, height);
  if (region.area() > 0) flags(region).copyTo(t.flags(region));
  return t;
}

GroundTruth GroundTruth::withPartnerInRectifiedRight() const {
  GroundTruth t = *this;
  t.flags = flags.clone();  // the copy must not share this truth's flags
  if (grid != TruthGrid::LeftRectified) return t;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double xr = x - static_cast<double>(disparity.at<float>(y, x));
      if (!(xr >= 0 && xr <= width - 1)) t.flags.at<uint8_t>(y, x) &= ~kSeenByRight;
    }
  }
  return t;
}

}  // namespace sim
