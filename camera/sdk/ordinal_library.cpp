#include "camera/sdk/ordinal_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace camera::sdk {
namespace {

// The folder of the shared object this code is linked into (the plug-in),
// with a trailing "/"; empty when it cannot be told. dlopen would look there
// through the plug-in's run path only when it can tell its caller, which a
// dlopen interposed by a sanitizer or a preloaded library hides.
std::string ownFolder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&ownFolder), &info) == 0 || !info.dli_fname) return {};
  std::string path = info.dli_fname;
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

const OrdinalLibrary* OrdinalLibrary::load(const char* envVar, const char* defaultName, std::string* error) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<OrdinalLibrary>> loaded;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = loaded.find(envVar);
  if (it != loaded.end()) return it->second.get();

  const char* configured = std::getenv(envVar);
  std::string path = configured && *configured ? configured : defaultName;
  // RTLD_NODELETE: the layer stays even if the plug-in itself is unloaded.
  const int flags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
  void* handle = nullptr;
  if (path.find('/') == std::string::npos) {
    // A bare name: beside the plug-in first, then where dlopen looks.
    const std::string beside = ownFolder() + path;
    if (beside != path && ::access(beside.c_str(), F_OK) == 0) {
      handle = ::dlopen(beside.c_str(), flags);
      if (handle) path = beside;
    }
  }
  if (!handle) handle = ::dlopen(path.c_str(), flags);
  if (!handle) {
    const char* why = ::dlerror();
    if (error) *error = "cannot load " + path + ": " + (why ? why : "unknown reason");
    return nullptr;
  }
  auto* table = static_cast<const ZelOrdinalTable*>(::dlsym(handle, kZelOrdinalTableSymbol));
  if (!table || table->magic != kZelOrdinalTableMagic || !table->entries || !table->api) {
    if (error) *error = path + " has no ordinal table";
    ::dlclose(handle);
    return nullptr;
  }
  auto library = std::unique_ptr<OrdinalLibrary>(new OrdinalLibrary(path, table));
  const OrdinalLibrary* result = library.get();
  loaded.emplace(envVar, std::move(library));
  return result;
}

void* OrdinalLibrary::entry(unsigned ordinal) const {
  return ordinal < table_->count ? table_->entries[ordinal] : nullptr;
}

std::uint32_t OrdinalLibrary::lastError() const {
  ZelLastErrorFn fn = nullptr;
  return resolve(kZelOrdinalLastError, &fn) ? fn() : 0u;
}

}  // namespace camera::sdk
