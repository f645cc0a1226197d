#pragma once
// Private-profile (INI) files with the semantics of the Windows functions
// GetPrivateProfileString and WritePrivateProfileString, which the decoders'
// settings files and the viewer's INI files depend on:
// - section and key names compare case-insensitively (ASCII);
// - a missing file, section or key yields the caller's default;
// - a key present with an empty value yields "" (not the default);
// - blanks around names and values are trimmed, one pair of enclosing quotes
//   ("..." or '...') is removed from a value;
// - lines starting with ';' are comments; CRLF and LF both read;
// - the first occurrence of a section and of a key wins.
#include <cstddef>
#include <string>

namespace platform {

// Copies the value (or the default) into out, cut to outSize - 1 characters and
// always zero-terminated when outSize > 0. Returns the number of characters
// copied, without the terminator. A null default reads as "".
std::size_t getProfileString(const char* section, const char* key, const char* defaultValue, char* out,
                             std::size_t outSize, const char* path);

// Same lookup without a length limit.
std::string getProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                             const std::string& path);

// Sets key=value in section. Creates the file and the section when missing,
// replaces an existing key's line in place and keeps every other line, comment
// and line ending. A null value deletes the key; a null key deletes the whole
// section. Returns false when the file cannot be read back or written; the file
// is then left as it was (the new content is written to a temporary file in the
// same folder and renamed over it).
bool writeProfileString(const char* section, const char* key, const char* value, const char* path);

}  // namespace platform
