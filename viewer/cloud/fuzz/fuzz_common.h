#pragma once
// Shared body of the point-file fuzz targets: read the input once as a whole
// and once through small windows (the way a file comes through its buffer),
// and insist that both reads give the same, consistent store.
#include "viewer/cloud/byte_reader.h"
#include "viewer/cloud/cloud_store.h"
#include "viewer/cloud/store_bulk_access.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace cloudfuzz {

template <typename Reader>
void readTwice(const std::uint8_t* data, std::size_t size, Reader reader) {
  static cloud::CloudStore whole;
  static cloud::CloudStore windowed;
  cloud::CloudStoreBulkAccess::emptyKeepingMemory(whole);
  cloud::CloudStoreBulkAccess::emptyKeepingMemory(windowed);
  try {
    auto a = cloud::ByteReader::fromMemory({data, size});
    reader(*a, whole);
    auto b = cloud::ByteReader::fromMemory({data, size}, 7);
    reader(*b, windowed);
  } catch (const std::bad_alloc&) {
    return;
  }
  if (whole.positions().size() != whole.colours().size()) std::abort();
  if (whole.positions().size() != windowed.positions().size() ||
      whole.triangles().size() != windowed.triangles().size()) {
    std::abort();
  }
  if (whole.pointCount() > 0 &&
      (std::memcmp(whole.positions().data(), windowed.positions().data(), whole.positions().size_bytes()) != 0 ||
       std::memcmp(whole.colours().data(), windowed.colours().data(), whole.colours().size_bytes()) != 0)) {
    std::abort();
  }
  if (whole.triangleCount() > 0 &&
      std::memcmp(whole.triangles().data(), windowed.triangles().data(), whole.triangles().size_bytes()) != 0) {
    std::abort();
  }
}

}  // namespace cloudfuzz
