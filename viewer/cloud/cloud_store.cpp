#include "viewer/cloud/cloud_store.h"

namespace cloud {

void CloudStore::clear() noexcept {
  // Swapping with empty vectors really gives the memory back; clear() alone
  // would keep the old capacity.
  decltype(positions_)().swap(positions_);
  decltype(colours_)().swap(colours_);
  decltype(triangles_)().swap(triangles_);
  try {
    positions_.reserve(3 * kReservedPoints);
    colours_.reserve(3 * kReservedPoints);
  } catch (const std::bad_alloc&) {
    // Loading still works: the arrays grow as points arrive.
  }
}

void CloudStore::appendPoint(float x, float y, float z, std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  // Reserve both first so that neither push can fail half-way.
  if (positions_.size() + 3 > positions_.capacity()) positions_.reserve(positions_.size() * 2 + 3);
  if (colours_.size() + 3 > colours_.capacity()) colours_.reserve(colours_.size() * 2 + 3);
  positions_.push_back(x);
  positions_.push_back(y);
  positions_.push_back(z);
  colours_.push_back(red);
  colours_.push_back(green);
  colours_.push_back(blue);
}

void CloudStore::appendTriangle(std::int32_t a, std::int32_t b, std::int32_t c) {
  if (triangles_.empty() && triangles_.capacity() < kReservedIndices) {
    triangles_.reserve(kReservedIndices);
  } else if (triangles_.size() + 3 > triangles_.capacity()) {
    triangles_.reserve(triangles_.size() * 2 + 3);
  }
  triangles_.push_back(a);
  triangles_.push_back(b);
  triangles_.push_back(c);
}

CloudStore::PointRoom CloudStore::appendPoints(std::size_t n) {
  std::size_t old = positions_.size();
  positions_.resize(old + 3 * n);
  try {
    colours_.resize(old + 3 * n);
  } catch (...) {
    positions_.resize(old);
    throw;
  }
  return {positions_.data() + old, colours_.data() + old};
}

void CloudStore::truncatePoints(std::size_t count) noexcept {
  if (count < pointCount()) {
    positions_.resize(3 * count);
    colours_.resize(3 * count);
  }
}

}  // namespace cloud
