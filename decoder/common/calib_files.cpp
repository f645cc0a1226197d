#include "decoder/common/calib_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <opencv2/core/persistence.hpp>

namespace calibfiles {
namespace {

// A file under a temporary name next to its target; renamed over the target
// by commit(), removed by the destructor otherwise.
class AtomicFile {
 public:
  explicit AtomicFile(const std::string& target) : target_(target) {
    std::string pattern = target + ".tmpXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkstemp(name.data());
    if (fd_ >= 0) tempName_ = name.data();
  }
  ~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!tempName_.empty() && !committed_) ::unlink(tempName_.c_str());
  }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  bool ok() const { return fd_ >= 0 && good_; }

  void write(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (good_ && size > 0) {
      ssize_t n = ::write(fd_, p, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        good_ = false;
        break;
      }
      p += n;
      size -= static_cast<size_t>(n);
    }
  }

  bool commit() {
    if (!ok()) return false;
    // mkstemp creates 0600; calibration files are ordinary shared files.
    // (umask cannot be read without changing it, which races other threads.)
    ::fchmod(fd_, 0644);
    if (::fsync(fd_) != 0) good_ = false;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) good_ = false;
    if (!good_) return false;
    if (::rename(tempName_.c_str(), target_.c_str()) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  std::string target_;
  std::string tempName_;
  int fd_ = -1;
  bool good_ = true;
  bool committed_ = false;
};

template <typename T>
void appendLittleEndian(std::string& out, T value) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) {
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
  }
  out.append(reinterpret_cast<const char*>(bytes), sizeof(T));
}

// The matrix as CV_64F with the given shape, or empty when it does not fit.
cv::Mat asDouble(const cv::Mat& m, int rows, int cols) {
  if (m.empty() || m.channels() != 1 || m.dims != 2) return {};
  cv::Mat d;
  m.convertTo(d, CV_64F);
  if (d.rows == rows && d.cols == cols) return d;
  if (cols == 1 && d.rows == 1 && d.cols == rows) return d.t();  // row vector given
  return {};
}

bool allFinite(const cv::Mat& m) { return cv::checkRange(m); }

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& bytes) {
  if (path.empty()) return false;
  AtomicFile file(path);
  file.write(bytes.data(), bytes.size());
  return file.commit();
}

bool writeCameraParamFile(const std::string& path, const CameraParams& camera) {
  if (camera.name.empty() || camera.size.width <= 0 || camera.size.height <= 0) return false;
  cv::Mat K = asDouble(camera.K, 3, 3);
  cv::Mat R = asDouble(camera.R, 3, 3);
  cv::Mat T = asDouble(camera.T, 3, 1);
  cv::Mat P;
  if (!camera.P.empty() && camera.P.rows == 4 && camera.P.cols == 4)
    P = asDouble(camera.P.rowRange(0, 3), 3, 4);
  else
    P = asDouble(camera.P, 3, 4);
  cv::Mat R2;
  if (!camera.R2.empty()) {
    R2 = asDouble(camera.R2, 3, 3);
    if (R2.empty()) return false;
  }
  if (K.empty() || R.empty() || T.empty() || P.empty()) return false;
  // Distortion as one row, the layout OpenCV's calibration returns.
  if (camera.D.empty() || camera.D.channels() != 1 || (camera.D.rows != 1 && camera.D.cols != 1)) return false;
  cv::Mat D;
  camera.D.reshape(1, 1).convertTo(D, CV_64F);
  const int n = D.cols;
  if (n != 4 && n != 5 && n != 8 && n != 12 && n != 14) return false;
  if (!allFinite(K) || !allFinite(R) || !allFinite(T) || !allFinite(P) || !allFinite(D) ||
      (!R2.empty() && !allFinite(R2)))
    return false;

  std::string text;
  try {
    cv::FileStorage fs(".yaml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    if (!fs.isOpened()) return false;
    const std::string& p = camera.name;
    fs << p + "_size"
       << "[" << camera.size.width << camera.size.height << "]";
    fs << p + "_K" << K;
    fs << p + "_R" << R;
    fs << p + "_T" << T;
    fs << p + "_P" << P;
    if (!R2.empty()) fs << p + "_R2" << R2;
    fs << p + "_D" << D;
    text = fs.releaseAndGetString();
  } catch (const cv::Exception&) {
    return false;
  }
  if (text.empty()) return false;
  return writeFileAtomically(path, text);
}

bool writeHmatFile(const std::string& path, const cv::Mat& P) {
  cv::Mat m;
  if (!P.empty() && P.rows == 4 && P.cols == 4)
    m = asDouble(P.rowRange(0, 3), 3, 4);
  else
    m = asDouble(P, 3, 4);
  if (m.empty() || !allFinite(m)) return false;
  std::string bytes;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) appendLittleEndian(bytes, m.at<double>(r, c));
  return writeFileAtomically(path, bytes);
}

long long rectParamFileSize(cv::Size size) {
  if (size.width <= 0 || size.height <= 0) return 0;
  long long count = static_cast<long long>(size.width) * size.height;
  if (count > INT32_MAX) return 0;
  long long block = 8 + 4 * count;
  block = (block + 7) / 8 * 8;
  return 4 * block;
}

bool writeRectParamFile(const std::string& path, const cv::Mat& leftMapX, const cv::Mat& rightMapX,
                        const cv::Mat& leftMapY, const cv::Mat& rightMapY) {
  const cv::Mat* maps[4] = {&leftMapX, &rightMapX, &leftMapY, &rightMapY};
  const cv::Size size = leftMapX.size();
  if (rectParamFileSize(size) == 0) return false;
  for (const cv::Mat* m : maps)
    if (m->empty() || m->dims != 2 || m->channels() != 1 || m->size() != size) return false;

  AtomicFile file(path);
  long long offset = 0;
  std::string pad(8, '\0');
  std::string rowBytes;
  for (const cv::Mat* m : maps) {
    cv::Mat f;
    m->convertTo(f, CV_32F);
    std::string head;
    appendLittleEndian(head, static_cast<int32_t>(size.width * size.height));
    file.write(head.data(), head.size());
    offset += 4;
    file.write(pad.data(), static_cast<size_t>((8 - offset % 8) % 8));
    offset += (8 - offset % 8) % 8;
    for (int y = 0; y < size.height; ++y) {
      const float* src = f.ptr<float>(y);
      if constexpr (std::endian::native == std::endian::little) {
        file.write(src, sizeof(float) * static_cast<size_t>(size.width));
      } else {
        rowBytes.clear();
        for (int x = 0; x < size.width; ++x) appendLittleEndian(rowBytes, src[x]);
        file.write(rowBytes.data(), rowBytes.size());
      }
      offset += 4LL * size.width;
    }
    file.write(pad.data(), static_cast<size_t>((8 - offset % 8) % 8));
    offset += (8 - offset % 8) % 8;
  }
  return file.commit();
}

}  // namespace calibfiles
