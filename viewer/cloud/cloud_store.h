#pragma once
// The one point cloud the viewer holds: positions, colours and triangles.
//
// Invariant: positions and colours always describe the same number of points
// (three floats and three bytes per point). Every way of adding points keeps
// it, so a reader cannot leave a point without a colour.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <vector>

namespace cloud {

// Allocator that leaves new elements uninitialised: bulk readers overwrite
// every byte they grow into, and a zero fill first would cost a pass over
// hundreds of megabytes per load.
template <typename T>
struct UninitialisedAllocator {
  using value_type = T;
  UninitialisedAllocator() noexcept = default;
  template <typename U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>{}.deallocate(p, n); }
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;  // default-initialise: no zero fill
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
  }
  friend bool operator==(const UninitialisedAllocator&, const UninitialisedAllocator&) { return true; }
};

struct CloudStoreBulkAccess;

class CloudStore {
 public:
  // Room reserved by clear(): 10,000,000 points, and 10,000,000 triangle
  // indices once the first triangle arrives. More still fit; the arrays grow.
  static constexpr std::size_t kReservedPoints = 10'000'000;
  static constexpr std::size_t kReservedIndices = 10'000'000;

  // Writable room for points appended in bulk; see appendPoints().
  struct PointRoom {
    float* positions;       // 3 floats per point: x, y, z
    std::uint8_t* colours;  // 3 bytes per point: red, green, blue
  };

  CloudStore() = default;
  CloudStore(const CloudStore&) = delete;
  CloudStore& operator=(const CloudStore&) = delete;

  // Empties the three arrays, releases their memory, then reserves room for
  // kReservedPoints points. Used before every load. Never throws: if the
  // reservation cannot be made the store is simply empty.
  void clear() noexcept;

  std::size_t pointCount() const noexcept { return positions_.size() / 3; }
  std::size_t triangleCount() const noexcept { return triangles_.size() / 3; }

  // x, y, z of point i at [3i], [3i+1], [3i+2], exactly as read from the file.
  std::span<const float> positions() const noexcept { return {positions_.data(), positions_.size()}; }
  // red, green, blue of point i at [3i], [3i+1], [3i+2]; white when the file gave none.
  std::span<const std::uint8_t> colours() const noexcept { return {colours_.data(), colours_.size()}; }
  // Zero-based corner indices of triangle t at [3t], [3t+1], [3t+2]; stored
  // as read, not checked against the point count.
  std::span<const std::int32_t> triangles() const noexcept { return {triangles_.data(), triangles_.size()}; }

  // Appends one point (white unless a colour is given). May throw
  // std::bad_alloc; the store is unchanged then.
  void appendPoint(float x, float y, float z, std::uint8_t red = 255, std::uint8_t green = 255,
                   std::uint8_t blue = 255);
  // Appends one triangle. The first triangle of an empty list whose capacity
  // is below kReservedIndices reserves that many. May throw std::bad_alloc.
  void appendTriangle(std::int32_t a, std::int32_t b, std::int32_t c);

  // Grows positions and colours by n points and returns the new, uninitialised
  // room; the caller must fill all of it (or give it back with
  // truncatePoints) before anyone else looks at the store. May throw
  // std::bad_alloc; the store is unchanged then.
  PointRoom appendPoints(std::size_t n);
  // Drops every point beyond the first count (no-op if there are fewer).
  void truncatePoints(std::size_t count) noexcept;

  // Capacities in points and in triangle indices (for the reservation rules).
  std::size_t pointCapacity() const noexcept { return positions_.capacity() / 3; }
  std::size_t triangleIndexCapacity() const noexcept { return triangles_.capacity(); }

  // The store lock: held by whoever reads or changes the store while another
  // thread may do the same (the viewer's save worker, reloads, the renderer).
  // None of the functions of this library take it themselves.
  std::mutex& mutex() noexcept { return mutex_; }

 private:
  friend struct CloudStoreBulkAccess;  // the bulk readers of this library
  std::vector<float, UninitialisedAllocator<float>> positions_;
  std::vector<std::uint8_t, UninitialisedAllocator<std::uint8_t>> colours_;
  std::vector<std::int32_t> triangles_;
  std::mutex mutex_;
};

}  // namespace cloud
