// The platform's errors: the calling thread's last error, as Windows keeps
// it, and the system's text for a code (win32/Errors.cpp, posix/Errors.cpp;
// the trimming rule, the same everywhere, in Common.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace Platform {

// The calling thread's last error, one slot per thread shared by every module
// of the process (a code set inside one loaded library is the code the
// library that called it reads), as GetLastError and SetLastError keep it.
uint32_t LastError();
void SetLastError(uint32_t Code);
// The system's message text for Code in the default language, at most 256
// characters, as the system gives it (line ends and dot included); when the
// system has none, "Error " and the code in decimal.
std::string SystemErrorText(uint32_t Code);
// The system's text for Code as every log line shows it: SystemErrorText
// trimmed by TrimSystemText ("Access is denied.\r\n" -> "Access is denied").
std::string TrimmedSystemText(uint32_t Code);
// The trimming rule: Text cut to 256 characters, then every trailing blank,
// control character (CR and LF among them) and dot removed, so that a system
// text never carries its line end into a line. Bytes above 127 (code page
// 1251 letters) are kept.
std::string TrimSystemText(std::string Text);

// Windows error codes the backends and tests speak of.
constexpr uint32_t ErrorFileNotFound = 2;
constexpr uint32_t ErrorPathNotFound = 3;
constexpr uint32_t ErrorAccessDenied = 5;
constexpr uint32_t ErrorSharingViolation = 32;
constexpr uint32_t ErrorAlreadyExists = 183;
constexpr uint32_t ErrorModNotFound = 126;
constexpr uint32_t ErrorProcNotFound = 127;

}  // namespace Platform
