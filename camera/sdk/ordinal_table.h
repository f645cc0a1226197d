#pragma once
// How an SDK-shaped layer hands its functions to a camera plug-in on Linux.
//
// The vendors' Windows libraries are bound by import ordinal. Here a layer is
// a shared library that exports one data symbol, "zel_ordinal_table" (a
// ZelOrdinalTable): function pointers indexed by ordinal, null where the
// layer provides nothing. A plug-in dlopens the layer, looks the table up
// once with dlsym and resolves every ordinal it uses by index; an ordinal
// that is missing (beyond count or null) makes the plug-in's open fail with a
// log line naming it. A binding to a vendor's own library would be another
// layer that fills the same table from the vendor's exports, so the plug-ins
// need no change to use one.
//
// Ordinal 0 is never a vendor ordinal (they start at 1): every layer puts its
// "last error of this thread" there, the stand-in for the system error code
// the vendor libraries leave behind on failure.
#include <cstdint>

extern "C" {

struct ZelOrdinalTable {
  std::uint32_t magic;   // kZelOrdinalTableMagic
  std::uint32_t count;   // entries in entries[]
  const char* api;       // "StTrgAPI", "uEye": the API the table stands for
  void* const* entries;  // entries[ordinal]
};

}  // extern "C"

inline constexpr std::uint32_t kZelOrdinalTableMagic = 0x44524f5au;  // "ZORD" in memory
inline constexpr const char* kZelOrdinalTableSymbol = "zel_ordinal_table";

// Ordinal 0: unsigned (*)() giving the calling thread's last error code.
inline constexpr unsigned kZelOrdinalLastError = 0;
using ZelLastErrorFn = std::uint32_t (*)();

// Exports the table from a layer (in exactly one source file of it).
#define ZEL_EXPORT_ORDINAL_TABLE(table) \
  extern "C" __attribute__((visibility("default"))) const ZelOrdinalTable zel_ordinal_table = table

// A layer's entries, filled by ordinal when the layer loads:
//   struct Table : ZelOrdinalEntries<kOrdinalCount> {
//     Table() { set<kOpen>(&stOpen); ... }
//   };
// An ordinal beyond Count does not compile. A function pointer goes into the
// table as void*, the form dlsym hands out too.
template <unsigned Count>
struct ZelOrdinalEntries {
  void* entries[Count] = {};

  template <unsigned Ordinal, class Fn>
  void set(Fn fn) {
    static_assert(Ordinal < Count, "ordinal beyond the table");
    entries[Ordinal] = reinterpret_cast<void*>(fn);
  }
};
