// The posix backend's system message texts (the Windows English ones) and the
// translation of errno values into Windows error codes. The last-error slot
// itself is in shared/LastError.cpp, a library of its own that every module
// of the process shares.
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/Errors.h"
#include "platform/posix/PosixSupport.h"

namespace Platform {

namespace {

struct TMessage {
  uint32_t Code;
  const char* Text;
};

// The Windows wording, line end included, of the codes this system meets.
constexpr TMessage Messages[] = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {193, "%1 is not a valid Win32 application.\r\n"},
    {298, "Too many posts were made to a semaphore.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {10053, "An established connection was aborted by the software in your host machine.\r\n"},
    {10054, "An existing connection was forcibly closed by the remote host.\r\n"},
    {10060,
     "A connection attempt failed because the connected party did not properly respond after a "
     "period of time, or established connection failed because connected host has failed to "
     "respond.\r\n"},
    {10061, "No connection could be made because the target machine actively refused it.\r\n"},
};
}  // namespace

std::string SystemErrorText(uint32_t Code) {
  for (const TMessage& Message : Messages) {
    if (Message.Code == Code) return std::string(Message.Text).substr(0, 256);
  }
  return "Error " + std::to_string(Code);
}

namespace Posix {

uint32_t WindowsError(int Errno, uint32_t Fallback) {
  switch (Errno) {
    case ENOENT:
    case ENOTDIR:
      return ErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ErrorAccessDenied;
    case EEXIST:
      return ErrorAlreadyExists;
    case EWOULDBLOCK:  // a lock held by another writer (flock)
      return ErrorSharingViolation;
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    case ENOMEM:
      return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case EBADF:
      return 6;  // ERROR_INVALID_HANDLE
    case EINVAL:
    case ENAMETOOLONG:
      return 87;  // ERROR_INVALID_PARAMETER
    default:
      return Fallback;
  }
}

void SetLastErrorFromErrno(int Errno, uint32_t Fallback) {
  SetLastError(WindowsError(Errno, Fallback));
}

}  // namespace Posix

}  // namespace Platform
