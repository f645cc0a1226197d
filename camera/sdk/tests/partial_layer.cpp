// A layer whose table lacks most ordinals: a plug-in bound to it must refuse
// to open and name the first ordinal it misses.
#include "camera/sdk/ordinal_table.h"

namespace {
int nothing() { return 0; }
std::uint32_t noError() { return 0; }
void* const gEntries[4] = {reinterpret_cast<void*>(&noError), reinterpret_cast<void*>(&nothing), nullptr, nullptr};
}  // namespace

ZEL_EXPORT_ORDINAL_TABLE((ZelOrdinalTable{kZelOrdinalTableMagic, 4, "partial", gEntries}));
