// Stand-in used while the point-file library is not part of the build: files
// load no point and nothing is saved.
#include "viewer/app/cloud_source.h"

namespace nubiview {

void LoadCloud(const std::string&, const std::function<void(const CloudView&)>& use) { use(CloudView{}); }

SaveResult SaveCloud(const std::string&, const std::string&) { return SaveResult::NothingToSave; }

}  // namespace nubiview
