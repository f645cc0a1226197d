#pragma once
// Board settings shared by every calibration board: the settings map, the
// grey-level gamma table and the detection limits fixed by the first image.

#include <array>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

namespace calibrix {

// A settings file could not be opened or read; what() is its path, cause()
// says why when the file exists but is refused (empty when it does not open).
class iFileStorage_error : public std::runtime_error {
 public:
  explicit iFileStorage_error(const std::string& path, std::string cause = {})
      : std::runtime_error(path), cause_(std::move(cause)) {}
  const std::string& cause() const { return cause_; }

 private:
  std::string cause_;
};

class CalibBoard {
 public:
  CalibBoard();
  virtual ~CalibBoard();

  // Settings by key, in byte-wise key order (the CSV output relies on it).
  const std::map<std::string, double>& settings() const { return settings_; }
  double setting(const std::string& key) const;
  void setSetting(const std::string& key, double value);

  const std::array<int, 256>& gammaTable() const { return gammaTable_; }
  void rebuildGammaTable();

  int imageWidth() const { return width_; }
  int imageHeight() const { return height_; }
  unsigned minLen() const { return minLen_; }
  unsigned maxLen() const { return maxLen_; }
  unsigned minRadius() const { return minRadius_; }
  unsigned maxRadius() const { return maxRadius_; }

 protected:
  // Reads the base keys from a settings file in the storage's YAML or flat
  // XML form (a missing or non-numeric key reads as 0.0) and rebuilds the
  // gamma table. Throws iFileStorage_error.
  void readBaseSettings(const std::string& path);
  // Reads `keys` of `path` into the map with the guarded YAML reader; throws
  // iFileStorage_error when the file does not open, is refused, or a key
  // holds a value that is not finite.
  void readKeys(const std::string& path, const char* const* keys, int count);

  std::map<std::string, double> settings_;
  std::array<int, 256> gammaTable_{};
  int width_ = 0;
  int height_ = 0;
  unsigned minLen_ = 0;
  unsigned maxLen_ = 0;
  unsigned minRadius_ = 0;
  unsigned maxRadius_ = 0;
};

}  // namespace calibrix
