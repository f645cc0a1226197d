#include "platform/debug_output.h"

#include <syslog.h>

namespace platform {

void debugOutput(const char* ident, const char* text) {
  openlog(ident, LOG_PID, LOG_USER);
  syslog(LOG_DEBUG, "%s", text);
}

}  // namespace platform
