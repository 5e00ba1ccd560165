// The one interface between Velmora and the operating system. The win32
// backend makes the real Win32 calls; the posix backend emulates the same
// behaviour for the native build. Paths cross this interface in Windows form
// ("\" and ":" delimit directories); the posix backend translates them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Platform {

constexpr uint32_t Infinite = 0xFFFFFFFFu;

// ---------------------------------------------------------------- libraries
// A loaded module; null means none. On posix a trailing ".dll" of a name is
// looked up as ".so", and a bare name is searched first in the host
// executable's directory, as Windows does.
using TLibrary = void*;

TLibrary LoadLibraryByName(const std::string& Name);           // LoadLibraryA
void* GetLibraryProc(TLibrary Library, const char* Name);      // GetProcAddress
void UnloadLibrary(TLibrary Library);                          // FreeLibrary

// LoadLibraryByName, then, when it failed and Name has no directory part, the
// host executable's directory + Name.
TLibrary LoadLibraryFallback(const std::string& Name);

// ---------------------------------------------------------- module file names
// Full path of the module that holds this code (the plug-in library when
// linked into it), read into a buffer of BufferChars characters; empty when
// it cannot be obtained.
std::string OwnModulePath(uint32_t BufferChars = 1024);
// Full path of the host process's executable (GetModuleFileNameA(NULL)).
std::string HostExePath(uint32_t BufferChars = 261);

// Path helpers on Windows-form paths (pure).
std::string DirectoryPart(const std::string& Path);  // up to and including the last "\" or ":"
std::string FileNamePart(const std::string& Path);   // the rest

// Native form of a Windows-form path and back (identity on win32). For tests
// and stand-ins that hand paths to the C++ library.
std::string ToNativePath(const std::string& Path);
std::string FromNativePath(const std::string& Path);

// ------------------------------------------------------------ profile files
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

// -------------------------------------------------------------------- files
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

// ------------------------------------------------------------ kernel objects
enum class TWaitResult { Signaled, Timeout, Failed };

// Re-entrant mutual exclusion (a Win32 critical section).
class TCriticalSection {
public:
  TCriticalSection();
  ~TCriticalSection();
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;
  void Enter();
  void Leave();

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

// Enter on construction, leave on destruction.
class TLockGuard {
public:
  explicit TLockGuard(TCriticalSection& Lock) : Lock(Lock) { Lock.Enter(); }
  ~TLockGuard() { Lock.Leave(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

private:
  TCriticalSection& Lock;
};

// Unnamed counting semaphore.
class TSemaphore {
public:
  TSemaphore(int32_t InitialCount, int32_t MaximumCount);  // throws std::runtime_error when it cannot be made
  ~TSemaphore();
  TSemaphore(const TSemaphore&) = delete;
  TSemaphore& operator=(const TSemaphore&) = delete;
  TWaitResult Wait(uint32_t TimeoutMs);  // 0 tests without waiting
  bool Release(int32_t Count = 1);       // false when the maximum would be exceeded

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

// The outcome of waiting on two events (see WaitForEither below).
enum class TWhichEvent { First, Second, Timeout, Failed };
class TEvent;
TWhichEvent WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs);

// Unnamed manual-reset event, created not signalled.
class TEvent {
public:
  TEvent();  // throws std::runtime_error when it cannot be made
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  void Set();
  void Reset();
  bool IsSet() const;  // tested without waiting
  TWaitResult Wait(uint32_t TimeoutMs);

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
  friend TWhichEvent WaitForEither(TEvent&, TEvent&, uint32_t);
};

// WaitForMultipleObjects(2, {First, Second}, FALSE, Timeout): when both are
// signalled, First is reported.

// An operating-system thread, created suspended and started by its owner.
// The thread is never released automatically: the owner waits for its end
// and then destroys the object.
class TThread {
public:
  using TBody = void (*)(void* Context);
  TThread();
  ~TThread();  // closes the handle; the thread must have ended (or never started)
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  bool Create(TBody Body, void* Context);  // suspended; false: LastError() tells why
  bool Start();                            // ResumeThread
  // Waits until the thread has ended. On the thread that loaded this module
  // the wait wakes at least once a second and whenever another thread sends a
  // window message to it, lets such sent messages be delivered and waits on;
  // elsewhere it is a plain wait without time limit.
  bool WaitForEnd();
  uint32_t Id() const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

uint32_t CurrentThreadId();
void SleepMs(uint32_t Milliseconds);
uint64_t TickCountMs();  // monotonic milliseconds

// ---------------------------------------------------------------------- time
struct TDateTime {
  uint16_t Year = 1899, Month = 12, Day = 30;
  uint16_t Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};
TDateTime LocalNow();
std::string TimeSeparator();                 // the regional time separator (":" usually)
double DaysSince1899(const TDateTime& Time);  // noon on 17 April 2013 is 41381.5 (pure)

// -------------------------------------------------------------------- errors
uint32_t LastError();  // GetLastError of the calling thread
void SetLastError(uint32_t Code);
// The system's message text for Code in the default language, at most 256
// characters, as the system gives it (line ends and dot included); when the
// system has none, "Error " and the code in decimal.
std::string SystemErrorText(uint32_t Code);

// Windows error codes the backends and tests speak of.
constexpr uint32_t ErrorFileNotFound = 2;
constexpr uint32_t ErrorPathNotFound = 3;
constexpr uint32_t ErrorAccessDenied = 5;
constexpr uint32_t ErrorSharingViolation = 32;
constexpr uint32_t ErrorAlreadyExists = 183;
constexpr uint32_t ErrorModNotFound = 126;
constexpr uint32_t ErrorProcNotFound = 127;

// ---------------------------------------------------------------------- text
// Case-insensitive equality of two 8-bit texts in the user's locale
// (CompareStringA with NORM_IGNORECASE); code page 1251 Cyrillic letters fold
// as well as Latin ones.
bool SameTextNoCase(const char* A, size_t ALength, const char* B, size_t BLength);
inline bool SameTextNoCase(const std::string& A, const std::string& B) {
  return SameTextNoCase(A.data(), A.size(), B.data(), B.size());
}

}  // namespace Platform
