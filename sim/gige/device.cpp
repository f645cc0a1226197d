#include "sim/gige/device.h"

namespace sim::gige {}  // the device server follows in the next commits
