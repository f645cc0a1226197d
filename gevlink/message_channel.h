#pragma once
// The device's message channel: GVCP EVENT and EVENTDATA commands to a
// socket of ours, acknowledged where the device asks for it and queued as
// events for the caller to wait on.
#include <cstdint>

#include "gevlink/device.h"

namespace gevlink {

// Opens the channel once control is taken, when the device has one: a
// socket on the device's interface, its address and port written to the
// device, and a thread that receives. Without it no events come.
void openMessageChannel(Device& dev);
// The next event within timeoutMs (0: no limit); 995 after cancelDeviceEvent
// or close, 1460 on time-out; a lost device gives a record with status 1460.
TransportResult waitDeviceEvent(Device& dev, uint32_t timeoutMs, EventRecord& event);
// Ends one wait of waitDeviceEvent (or the next one) with 995.
void cancelDeviceEvent(Device& dev);

}  // namespace gevlink
