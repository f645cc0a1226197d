#pragma once
// Board settings shared by every calibration board: the settings map, the
// grey-level gamma table and the detection limits fixed by the first image.

#include <array>
#include <map>
#include <stdexcept>
#include <string>

namespace calibrix {

// A settings file could not be opened; what() is its path.
class iFileStorage_error : public std::runtime_error {
public:
    explicit iFileStorage_error(const std::string& path) : std::runtime_error(path) {}
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
    // Reads the base keys from an OpenCV FileStorage file (a missing key reads
    // as 0.0) and rebuilds the gamma table. Throws iFileStorage_error.
    void readBaseSettings(const std::string& path);
    // Opens `path` and reads `keys` into the map; throws iFileStorage_error.
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
