// Unbuffered, untranslated writes to the process's standard output and error,
// so that a line reaches a reading script the moment it is written and ends
// with a bare LF on every system.
#pragma once

#include <cstddef>
#include <string>

namespace Platform {

// Writes all Size bytes at Data; false when the stream is closed or a write
// fails (the rest is then lost). Safe from any thread; lines written by one
// call are not interleaved with other writers' bytes as long as each line is
// written by one call and the stream is a pipe, terminal or file.
bool WriteStandardOutput(const char* Data, size_t Size);
bool WriteStandardError(const char* Data, size_t Size);

inline bool WriteStandardOutput(const std::string& Text) {
  return WriteStandardOutput(Text.data(), Text.size());
}
inline bool WriteStandardError(const std::string& Text) {
  return WriteStandardError(Text.data(), Text.size());
}

}  // namespace Platform
