#pragma once
// The viewer's road to the point store and its file readers and writers.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace nubiview {

struct CloudView {
  const float* positions = nullptr;       // 3 per point
  const std::uint8_t* colours = nullptr;  // 3 per point, red, green, blue
  std::size_t count = 0;
  const std::int32_t* triangles = nullptr;  // 3 per face, not checked against count
  std::size_t triangleCount = 0;
};

// Clears the point store, reads path into it and lets use see the result.
void LoadCloud(const std::string& path, const std::function<void(const CloudView&)>& use);

enum class SaveResult { NothingToSave, Saved, Failed };
// Writes the store to path in outFormat ("ply.bin", "ply.asc", "3d", else by extension).
SaveResult SaveCloud(const std::string& path, const std::string& outFormat);

}  // namespace nubiview
