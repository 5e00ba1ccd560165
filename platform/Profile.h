// Private-profile (settings) files (win32/Profile.cpp, posix/Profile.cpp).
#pragma once

#include <string>

namespace Platform {

// Private-profile semantics: section and key names compare without regard to
// case; values are trimmed of blanks and of one pair of enclosing quotes; a
// missing file, section or key gives Default. The value is read into a buffer
// of 2048 characters, so at most 2047 arrive.
std::string ReadProfileString(const std::string& FileName, const std::string& Section,
                              const std::string& Key, const std::string& Default);
bool ProfileKeyExists(const std::string& FileName, const std::string& Section,
                      const std::string& Key);
// Creates the file and the section when missing; keeps every other line.
// False when the file cannot be written (LastError() tells why).
bool WriteProfileString(const std::string& FileName, const std::string& Section,
                        const std::string& Key, const std::string& Value);

}  // namespace Platform
