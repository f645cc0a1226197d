#pragma once
#include <iosfwd>

namespace calibrix {

// The calibrix program: mode dispatch, usage text, the calibration run and
// the utility modes. Returns the exit status.
int runCalibrix(int argc, char** argv, std::ostream& out, std::ostream& err);

void printUsage(const char* prog, std::ostream& err);

}  // namespace calibrix
