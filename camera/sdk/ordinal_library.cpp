#include "camera/sdk/ordinal_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace camera::sdk {

const OrdinalLibrary* OrdinalLibrary::load(const char* envVar, const char* defaultName, std::string* error) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<OrdinalLibrary>> loaded;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = loaded.find(envVar);
  if (it != loaded.end()) return it->second.get();

  const char* configured = std::getenv(envVar);
  std::string path = configured && *configured ? configured : defaultName;
  // RTLD_NODELETE: the layer stays even if the plug-in itself is unloaded.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
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
