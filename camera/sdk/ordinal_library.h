#pragma once
// A plug-in's side of an SDK-shaped layer: loads the layer's shared library
// once per process and resolves ordinals from its table (ordinal_table.h).
// A bare library name is looked for beside the plug-in first.
// The library is never unloaded: its camera threads may outlive a plug-in
// instance by a few milliseconds, and a second instance reuses it.
#include <cstdint>
#include <string>

#include "camera/sdk/ordinal_table.h"

namespace camera::sdk {

class OrdinalLibrary {
 public:
  // Loads the library named by the environment variable envVar when it is
  // set, else defaultName (looked up as dlopen does: beside the plug-in
  // through its run path, then the system's paths). Null with *error when the
  // library or its table cannot be found. Loaded once: later calls with the
  // same envVar return the same object.
  static const OrdinalLibrary* load(const char* envVar, const char* defaultName, std::string* error);

  // The entry of an ordinal, null when the table has none.
  void* entry(unsigned ordinal) const;
  // Typed: true and *fn set when the ordinal is there.
  template <class Fn>
  bool resolve(unsigned ordinal, Fn* fn) const {
    void* p = entry(ordinal);
    *fn = reinterpret_cast<Fn>(p);
    return p != nullptr;
  }
  const std::string& path() const { return path_; }
  const char* api() const { return table_->api; }
  // The thread's last error code of the layer (0 when the layer has none).
  std::uint32_t lastError() const;

 private:
  OrdinalLibrary(std::string path, const ZelOrdinalTable* table) : path_(std::move(path)), table_(table) {}
  std::string path_;
  const ZelOrdinalTable* table_;
};

}  // namespace camera::sdk
