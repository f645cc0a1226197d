#pragma once
// OrvCamKtds reaches Gevlink by ordinal, as its Windows build imports the
// library's exports by number: the plug-in is linked against libGevlink.so and
// resolves the ordinals it uses from the exported table GDevOrdinalTable once,
// when the plug-in is loaded. An ordinal the table lacks leaves its entry
// null and names itself in missing(); open() then fails with a log line
// instead of calling through a null pointer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "gevlink.h"

namespace camera::ktds {

using GDevEnumStreamFn = uint32_t (*)(uint64_t, uint32_t*, uint32_t, uint32_t*, GDevErrInfo*);
using GDevQueBufferFn = uint32_t (*)(uint64_t, uint32_t, void*, uint32_t, GDevErrInfo*);
using GDevFlushBufferFn = uint32_t (*)(uint64_t, uint32_t, GDevErrInfo*);
using GDevStartStreamExFn = uint32_t (*)(uint64_t, uint32_t, uint32_t, GDevErrInfo*);
using GDevCancelStreamFn = uint32_t (*)(uint64_t, uint32_t, GDevErrInfo*);
using GDevDirectRegReadFn = uint32_t (*)(uint64_t, const uint32_t*, uint32_t*, uint32_t, GDevErrInfo*);
using GDevDirectRegWriteFn = uint32_t (*)(uint64_t, const GDevRegPair*, uint32_t, uint32_t*, GDevErrInfo*);
using GDevBuffUnlockFn = uint32_t (*)(uint64_t, uint32_t, void*, GDevErrInfo*);

// The Gevlink functions the head uses, by their ordinals.
struct GevlinkApi {
  GDevEnumDeviceFn enumDevice = nullptr;          // 1
  GDevOpenFn open = nullptr;                      // 3
  GDevCloseFn close = nullptr;                    // 4
  GDevEnumStreamFn enumStream = nullptr;          // 5
  GDevQueBufferFn queBuffer = nullptr;            // 6
  GDevFlushBufferFn flushBuffer = nullptr;        // 7
  GDevStartStreamExFn startStreamEx = nullptr;    // 9
  GDevWaitStreamFn waitStream = nullptr;          // 11
  GDevCancelStreamFn cancelStream = nullptr;      // 13
  GDevDirectRegReadFn directRegRead = nullptr;    // 19
  GDevDirectRegWriteFn directRegWrite = nullptr;  // 20
  GDevBuffUnlockFn buffUnlock = nullptr;          // 23

  // "ordinal 9 (GDevStartStreamEx)" for each missing one, comma-separated;
  // empty when every ordinal is bound.
  std::string missing;
  bool complete() const { return missing.empty(); }
};

// Binds from a table of count entries where entry n is ordinal n (null or
// beyond count: missing).
GevlinkApi bindGevlink(const GDevProc* table, std::size_t count);

// The binding made from libGevlink.so's table when the plug-in was loaded.
const GevlinkApi& boundGevlink();

}  // namespace camera::ktds
