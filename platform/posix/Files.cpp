// Append files and directories for the posix backend, and paths translated
// between Windows and native form. The Win32 share mode "others may read,
// nobody else may write" is kept with an exclusive flock on every writer's
// open file description: a second writer, in this process or another, is
// refused with a sharing violation; readers take no lock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/Errors.h"
#include "platform/FaultPoint.h"
#include "platform/Files.h"
#include "platform/posix/PosixSupport.h"

namespace Platform {

TFile OpenForAppend(const std::string& Path) {
  if (VELMORA_FAULT(FileOpen)) return InvalidFile;
  const std::string Native = ToNativePath(Path);
  // OPEN_ALWAYS reports whether the file was there already (ERROR_ALREADY_EXISTS).
  bool Existed = false;
  int Fd = open(Native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (Fd < 0 && errno == EEXIST) {
    Existed = true;
    Fd = open(Native.c_str(), O_WRONLY | O_CLOEXEC);
  }
  if (Fd < 0) {
    Posix::SetLastErrorFromErrno(errno, ErrorAccessDenied);
    return InvalidFile;
  }
  while (flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int Errno = errno;
    close(Fd);
    SetLastError(Errno == EWOULDBLOCK ? ErrorSharingViolation
                                      : Posix::WindowsError(Errno, ErrorAccessDenied));
    return InvalidFile;
  }
  SetLastError(Existed ? ErrorAlreadyExists : 0);
  return Fd;
}

bool SeekToEnd(TFile File) {
  if (VELMORA_FAULT(FileSeek)) return false;
  if (lseek(static_cast<int>(File), 0, SEEK_END) < 0) {
    Posix::SetLastErrorFromErrno(errno, 6);
    return false;
  }
  return true;
}

bool WriteToFile(TFile File, const void* Data, uint32_t Size) {
  if (VELMORA_FAULT(FileWrite)) return false;
  const char* Bytes = static_cast<const char*>(Data);
  uint32_t Done = 0;
  while (Done < Size) {
    const ssize_t Put = write(static_cast<int>(File), Bytes + Done, Size - Done);
    if (Put < 0 && errno == EINTR) continue;
    if (Put <= 0) {
      Posix::SetLastErrorFromErrno(Put < 0 ? errno : ENOSPC, 6);
      return false;
    }
    Done += static_cast<uint32_t>(Put);
  }
  return true;
}

void CloseFile(TFile File) {
  if (File != InvalidFile) close(static_cast<int>(File));  // releases the writer's lock
}

bool DirectoryExists(const std::string& Path) {
  struct stat Info {};
  return stat(ToNativePath(Path).c_str(), &Info) == 0 && S_ISDIR(Info.st_mode);
}

bool CreateOneDirectory(const std::string& Path) {
  if (VELMORA_FAULT(DirectoryCreate)) return false;
  if (mkdir(ToNativePath(Path).c_str(), 0755) != 0) {
    Posix::SetLastErrorFromErrno(errno, ErrorAccessDenied);
    return false;
  }
  return true;
}

std::string ToNativePath(const std::string& Path) {
  std::string Native = Path;
  std::replace(Native.begin(), Native.end(), '\\', '/');
  return Native;
}

std::string FromNativePath(const std::string& Path) {
  std::string Windows = Path;
  std::replace(Windows.begin(), Windows.end(), '/', '\\');
  return Windows;
}

}  // namespace Platform
