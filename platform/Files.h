// Append files, directories and the Windows-form paths that name them
// (win32/Files.cpp, posix/Files.cpp; the pure path parts in Common.cpp).
// Paths cross the platform interface in Windows form ("\" and ":" delimit
// directories); the posix backend translates them.
#pragma once

#include <cstdint>
#include <string>

namespace Platform {

// One append follows the log's rule: open for writing while others may only
// read (a second writer is refused with a sharing violation, in this process
// or another), create when missing, keep the content, move to the end.
using TFile = intptr_t;
constexpr TFile InvalidFile = -1;

TFile OpenForAppend(const std::string& Path);  // CreateFileA(GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS)
bool SeekToEnd(TFile File);                    // SetFilePointer(FILE_END) did not fail
bool WriteToFile(TFile File, const void* Data, uint32_t Size);  // WriteFile succeeded
void CloseFile(TFile File);

bool DirectoryExists(const std::string& Path);
bool CreateOneDirectory(const std::string& Path);  // CreateDirectoryA: one level

// Path helpers on Windows-form paths (pure).
std::string DirectoryPart(const std::string& Path);  // up to and including the last "\" or ":"
std::string FileNamePart(const std::string& Path);   // the rest

// Native form of a Windows-form path and back (identity on win32). For tests
// and stand-ins that hand paths to the C++ library.
std::string ToNativePath(const std::string& Path);
std::string FromNativePath(const std::string& Path);

}  // namespace Platform
