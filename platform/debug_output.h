#pragma once
// Debugger output channel (the OutputDebugString stand-in): syslog(3) at
// LOG_DEBUG with the library's name as identity. `ident` must stay valid for
// the life of the process (a string literal).
namespace platform {

void debugOutput(const char* ident, const char* text);

}  // namespace platform
