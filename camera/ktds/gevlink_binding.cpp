#include "camera/ktds/gevlink_binding.h"

namespace camera::ktds {
namespace {

template <class Fn>
void bindOne(const GDevProc* table, std::size_t count, unsigned ordinal, const char* name, Fn* fn,
             std::string* missing) {
  GDevProc proc = table && ordinal < count ? table[ordinal] : nullptr;
  *fn = reinterpret_cast<Fn>(proc);
  if (proc) return;
  if (!missing->empty()) *missing += ", ";
  *missing += "ordinal " + std::to_string(ordinal) + " (" + name + ")";
}

// Resolved during the plug-in's load, after libGevlink.so (a dependency of
// the plug-in) is relocated, so its table is already filled in.
const GevlinkApi kBound = bindGevlink(GDevOrdinalTable, sizeof GDevOrdinalTable / sizeof GDevOrdinalTable[0]);

}  // namespace

GevlinkApi bindGevlink(const GDevProc* table, std::size_t count) {
  GevlinkApi api;
  std::string* m = &api.missing;
  bindOne(table, count, 1, "GDevEnumDevice", &api.enumDevice, m);
  bindOne(table, count, 3, "GDevOpen", &api.open, m);
  bindOne(table, count, 4, "GDevClose", &api.close, m);
  bindOne(table, count, 5, "GDevEnumStream", &api.enumStream, m);
  bindOne(table, count, 6, "GDevQueBuffer", &api.queBuffer, m);
  bindOne(table, count, 7, "GDevFlushBuffer", &api.flushBuffer, m);
  bindOne(table, count, 9, "GDevStartStreamEx", &api.startStreamEx, m);
  bindOne(table, count, 11, "GDevWaitStream", &api.waitStream, m);
  bindOne(table, count, 13, "GDevCancelStream", &api.cancelStream, m);
  bindOne(table, count, 19, "GDevDirectRegRead", &api.directRegRead, m);
  bindOne(table, count, 20, "GDevDirectRegWrite", &api.directRegWrite, m);
  bindOne(table, count, 23, "GDevBuffUnlock", &api.buffUnlock, m);
  return api;
}

const GevlinkApi& boundGevlink() { return kBound; }

}  // namespace camera::ktds
