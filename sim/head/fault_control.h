#pragma once
// Faults of the live head's devices, as given on `zelsim serve`'s command
// line and in its control file (re-read whenever it changes, and on SIGHUP).
//
// Control file: one setting per line, "#" starts a comment:
//   loss 0.02          fraction of GVSP data packets not sent (resend serves them)
//   ack-delay 50       every GVCP acknowledge comes this many ms late (0..10000)
//   incomplete 0.1     fraction of frames whose lost packets are gone for good
//   vanish 1           the device answers nothing and streams nothing (0 brings it back)
//   device 1 loss 0.5  the same, for one device only (index from 0)
// A setting not given keeps the value of the command line.
#include <string>
#include <vector>

#include "sim/gige/device.h"

namespace sim::head {

// Applies the text to faults (one entry per device). False with a message
// naming the line; faults is then unchanged.
bool parseFaultControl(const std::string& text, std::vector<sim::gige::DeviceFaults>& faults,
                       std::string* error = nullptr);

}  // namespace sim::head
