#include "python/library_loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace zelcam_py {

namespace fs = std::filesystem;

std::string moduleDir() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&moduleDir), &info) == 0 || !info.dli_fname) return ".";
  return fs::path(info.dli_fname).parent_path().string();
}

void* loadLibrary(const std::string& fileName, const std::string& where) {
  std::vector<std::string> candidates;
  if (!where.empty()) {
    std::error_code ec;
    candidates.push_back(fs::is_directory(where, ec) ? (fs::path(where) / fileName).string() : where);
  } else {
    if (const char* dir = std::getenv("ZELCAM_LIB_DIR"); dir && *dir) {
      candidates.push_back((fs::path(dir) / fileName).string());
    }
    const fs::path here = moduleDir();
    candidates.push_back((here / fileName).string());
#ifdef ZEL_LIBDIR_FROM_PYTHON_PACKAGE
    // Installed: the library folder relative to the installed package.
    candidates.push_back((here / ZEL_LIBDIR_FROM_PYTHON_PACKAGE / fileName).lexically_normal().string());
#endif
    candidates.push_back((here / ".." / ".." / "lib" / fileName).string());
  }
  std::string tried;
  for (const std::string& path : candidates) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      tried += "\n  " + path + ": not there";
      continue;
    }
    if (void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
    tried += "\n  " + path + ": " + ::dlerror();
  }
  if (where.empty()) {
    if (void* h = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
    tried += "\n  " + fileName + " on the loader's path: " + ::dlerror();
  }
  throw std::runtime_error("cannot load " + fileName + "; tried:" + tried);
}

void* findSymbol(void* handle, const char* symbol, const std::string& libraryName) {
  ::dlerror();
  void* sym = ::dlsym(handle, symbol);
  if (!sym) throw std::runtime_error(libraryName + " does not export " + symbol);
  return sym;
}

}  // namespace zelcam_py
