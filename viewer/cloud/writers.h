#pragma once
// The writers behind WritePly, Write3d and WriteTextRows. They may throw
// std::bad_alloc; the public functions turn that into a failure.
#include "viewer/cloud/cloud_store.h"

#include <filesystem>

namespace cloud {

bool writePly(const CloudStore& store, const std::filesystem::path& path, bool binary);
bool write3d(const CloudStore& store, const std::filesystem::path& path);
bool writeTextRows(const CloudStore& store, const std::filesystem::path& path);

}  // namespace cloud
