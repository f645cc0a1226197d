#pragma once
// Whole-file output for the viewer's own files (screenshots, state dumps):
// written completely or not at all.
#include <string>

namespace nubiview {

// Writes bytes to path through a temporary file in the same folder and a
// rename, checking every write and the close, so a full disk leaves the
// earlier file (if any) as it was and no partial file. An existing target
// that is not a regular file (a device such as /dev/full, a FIFO) is written
// in place with the same checks. False with *why (when given) set to the
// system's reason.
bool writeWholeFile(const std::string& path, const std::string& bytes, std::string* why = nullptr);

}  // namespace nubiview
