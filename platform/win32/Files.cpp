// Appending files and making directories for Win32: CreateFileA with write
// access shared with readers only, so a second writer is refused. Paths are
// in Windows form already.
#include <windows.h>

#include "platform/FaultPoint.h"
#include "platform/Files.h"

namespace Platform {

namespace {
HANDLE AsHandle(TFile File) { return reinterpret_cast<HANDLE>(File); }
}  // namespace

TFile OpenForAppend(const std::string& Path) {
  if (VELMORA_FAULT(FileOpen)) return InvalidFile;
  const HANDLE File = CreateFileA(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, 0, nullptr);
  if (File == INVALID_HANDLE_VALUE) return InvalidFile;  // LastError tells why
  return reinterpret_cast<TFile>(File);
}

bool SeekToEnd(TFile File) {
  if (File == InvalidFile) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (VELMORA_FAULT(FileSeek)) return false;
  return SetFilePointer(AsHandle(File), 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER;
}

bool WriteToFile(TFile File, const void* Data, uint32_t Size) {
  if (File == InvalidFile) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (VELMORA_FAULT(FileWrite)) return false;
  DWORD Written = 0;
  // A short write is a failed write: the line did not reach the file whole.
  return WriteFile(AsHandle(File), Data, Size, &Written, nullptr) != 0 && Written == Size;
}

void CloseFile(TFile File) {
  if (File != InvalidFile) CloseHandle(AsHandle(File));
}

bool DirectoryExists(const std::string& Path) {
  const DWORD Attributes = GetFileAttributesA(Path.c_str());
  return Attributes != INVALID_FILE_ATTRIBUTES && (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateOneDirectory(const std::string& Path) {
  if (VELMORA_FAULT(DirectoryCreate)) return false;
  return CreateDirectoryA(Path.c_str(), nullptr) != 0;
}

std::string ToNativePath(const std::string& Path) { return Path; }

std::string FromNativePath(const std::string& Path) { return Path; }

}  // namespace Platform
