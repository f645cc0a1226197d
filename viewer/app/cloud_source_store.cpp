// The viewer's one point store, read and written through the point-file library.
// Callers serialise access with the viewer's store lock.
#include "viewer/app/cloud_source.h"

#include "viewer/cloud/point_files.h"

namespace nubiview {
namespace {

cloud::CloudStore& store() {
  static cloud::CloudStore s;
  return s;
}

}  // namespace

void LoadCloud(const std::string& path, const std::function<void(const CloudView&)>& use) {
  cloud::CloudStore& s = store();
  cloud::LoadPointFile(s, std::filesystem::path(path));
  CloudView v;
  v.positions = s.positions().data();
  v.colours = s.colours().data();
  v.count = s.pointCount();
  v.triangles = s.triangles().data();
  v.triangleCount = s.triangleCount();
  use(v);
}

SaveResult SaveCloud(const std::string& path, const std::string& outFormat) {
  switch (cloud::SavePointFile(store(), std::filesystem::path(path), outFormat)) {
    case cloud::SaveResult::Saved: return SaveResult::Saved;
    case cloud::SaveResult::Failed: return SaveResult::Failed;
    case cloud::SaveResult::NothingToSave: return SaveResult::NothingToSave;
  }
  return SaveResult::Failed;
}

}  // namespace nubiview
