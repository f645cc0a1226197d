#pragma once
// A guarded reader for the small YAML files of this system: camera parameter
// files, the calibration tool's board settings and the stereo parameter file.
// It reads the subset that OpenCV's file storage writes (a "%YAML:1.0" or
// "%YAML 1.0" directive, "---", block maps and sequences, flow sequences and
// maps, plain and quoted scalars, "!!opencv-matrix" tags, "#" comments) and
// the flat XML form of the same storage (top-level scalar elements inside
// <opencv_storage>).
//
// Unlike OpenCV's own parser it never recurses without limit: nesting deeper
// than kYamlMaxDepth, a file over kYamlMaxBytes or more than kYamlMaxNodes
// nodes is refused, as is anything outside the subset (anchors, aliases,
// block scalars, tabs in indentation, empty keys, a second document). A
// refusal returns false with a one-line reason; nothing throws.
#include <cstddef>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zel {

constexpr std::size_t kYamlMaxBytes = 4u << 20;  // 4 MiB; our files are a few KiB
constexpr int kYamlMaxDepth = 32;                // nesting levels of maps and sequences
constexpr std::size_t kYamlMaxNodes = 1u << 18;  // our files hold a few hundred

struct YamlNode {
  enum class Kind { Null, Scalar, Sequence, Map };
  Kind kind = Kind::Null;
  std::string tag;                // "opencv-matrix" for "!!opencv-matrix", else empty
  std::string text;               // Scalar: the value without quotes
  bool quoted = false;            // Scalar: written in quotes (then never a number)
  std::vector<YamlNode> items;    // Sequence; Map: the values, in file order
  std::vector<std::string> keys;  // Map: the key of each of items

  // The entry under key of a map (the first one), or null when absent or this
  // is not a map.
  const YamlNode* find(const std::string& key) const;
  // An unquoted scalar that is a whole decimal integer that fits an int.
  bool asInt(int& value) const;
  // An unquoted scalar that is a whole decimal number (".inf", ".nan" too).
  bool asDouble(double& value) const;
};

// Parses a whole text; the root is the top-level map (or Null for an empty
// document). False with error set when the text is refused.
bool parseYamlText(const std::string& text, YamlNode& root, std::string& error);

// Reads and parses the file at path (at most kYamlMaxBytes). False with error
// naming the cause ("cannot open", "line 3: ..."); the path is not repeated.
bool readYamlFile(const std::string& path, YamlNode& root, std::string& error);

// A matrix node: an "!!opencv-matrix" map with rows, cols, dt (one channel:
// u, c, w, s, i, f or d) and data of rows x cols numbers, or a flow sequence
// of numbers (a column vector). At most maxElements values. The result is
// CV_64F. False with error on any other shape; non-finite values are kept.
bool yamlMatrix(const YamlNode& node, int maxElements, cv::Mat& out, std::string& error);

}  // namespace zel
