#pragma once
// The failure results the transport's parts share: GDEV_STATUS_* with the
// detail words that reach the caller's GDevErrInfo.
#include "gevlink.h"
#include "gevlink/transport.h"

namespace gevlink {

inline TransportResult timedOut(uint32_t info = 0) { return {GDEV_STATUS_TIMEOUT, 0, info}; }
// The device answered with a GigE Vision status other than success.
inline TransportResult refused(uint16_t gevStatus, uint32_t info) { return {GDEV_STATUS_GEN_FAILURE, gevStatus, info}; }
inline TransportResult badArgument(uint32_t info = 0) { return {GDEV_STATUS_INVALID_PARAMETER, 0, info}; }
inline TransportResult systemError(int err) { return {GDEV_STATUS_GEN_FAILURE, 0, uint32_t(err)}; }

}  // namespace gevlink
