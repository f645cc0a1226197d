#pragma once
// Direct access to the store's arrays for the bulk readers of this library.
// A reader that grows the arrays here must leave them with positions and
// colours of the same point count before it returns or throws.
#include "viewer/cloud/cloud_store.h"

namespace cloud {

struct CloudStoreBulkAccess {
  static auto& positions(CloudStore& s) { return s.positions_; }
  static auto& colours(CloudStore& s) { return s.colours_; }
  // Empties the store but keeps its memory (the fuzz targets reuse one store
  // per run instead of paying for the reservations every time).
  static void emptyKeepingMemory(CloudStore& s) {
    s.positions_.clear();
    s.colours_.clear();
    s.triangles_.clear();
  }
};

}  // namespace cloud
