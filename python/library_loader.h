#pragma once
// Finds and loads the libraries the package drives at run time (the decoders,
// camera plug-ins), the way a host does: dlopen and dlsym of the factory.
#include <string>

namespace zelcam_py {

// The folder that holds this extension module.
std::string moduleDir();

// dlopen's `fileName` (e.g. "libOrvDecPhsft.so"). `where` may be empty, a
// folder or a library file; otherwise the search is $ZELCAM_LIB_DIR, the
// module's folder, the installed library folder (relative to the installed
// package), the build tree's lib folder (../../lib from the module), then the
// loader's own search path. The library stays loaded for the life of
// the process: its state is process-wide anyway, and a library with OpenMP
// thread pools must not be unloaded under them. Throws ImportError-like
// std::runtime_error with every place tried.
void* loadLibrary(const std::string& fileName, const std::string& where);

// dlsym, or a std::runtime_error naming the library and the symbol.
void* findSymbol(void* handle, const char* symbol, const std::string& libraryName);

}  // namespace zelcam_py
