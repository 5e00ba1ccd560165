// The library entry point for Windows: the C runtime's entry, then, on unload
// by FreeLibrary, the unloading thread's runtime record is released, the
// thread-local-storage slots the static runtime took are given back and the
// semaphores it left open are closed (see platform/LibraryEntry.h).
#include <windows.h>

#include <atomic>

#include "platform/LibraryEntry.h"

// The statically linked POSIX threads runtime takes one TlsAlloc slot for its
// per-thread records the first time a thread needs one (any once-only
// initialisation or exception does, already during the library's static
// construction) and frees it on no path. The link (cmake/LibraryEntry.cmake)
// routes every TlsAlloc and TlsFree call of the library's own code and
// runtime through the import pointers defined here (ld --wrap), so each slot
// the library holds is on the record below and is freed after the runtime's
// unload-time work, when nothing of the library can use it any more.
//
// Its condition variables are two semaphores each, and it never destroys
// those of its own static locks (the lock of its table of thread keys, set
// up by the first exception thrown in the library; the one that waits for a
// static local being initialised by another thread). CreateSemaphoreA,
// CloseHandle and DuplicateHandle are routed the same way: every semaphore
// the library makes is on a second record until it is closed, and those
// still open after the runtime's unload-time work are the runtime's
// leftovers, closed then.
//
// Closing or freeing by value is safe only while the records are exact: a
// value closed by a path they do not see, and handed to the host since,
// would be closed under the host. The paths by which this library's code can
// close a handle are CloseHandle and DuplicateHandle with
// DUPLICATE_CLOSE_SOURCE (both routed here, the entry leaving the record
// before the system call) and NtClose (never imported, and no such name is
// looked up: checked on the built file by cmake/check-exports.sh); a slot is
// freed only by TlsFree (routed here). The library hands none of these
// handles or slots to other code. Should a value still go stale, the damage
// is bounded: a handle is closed at unload only while it still names a
// semaphore with the maximum count it was made with, and only the record's
// few entries are ever touched.

namespace {

using TTlsAlloc = DWORD(WINAPI*)();
using TTlsFree = BOOL(WINAPI*)(DWORD);
using TCreateSemaphoreA = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCSTR);
using TCloseHandle = BOOL(WINAPI*)(HANDLE);
using TDuplicateHandle = BOOL(WINAPI*)(HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD, BOOL, DWORD);

constexpr DWORD NoSlot = TLS_OUT_OF_INDEXES;

// Slots taken through TlsAlloc and not freed yet. Filled by whichever thread
// runs the runtime's allocation (it may precede every static constructor, so
// the record is constant-initialised and lock-free). One slot is all the
// runtime takes; a slot beyond the record's room is not given back.
constinit std::atomic<DWORD> Held[8] = {NoSlot, NoSlot, NoSlot, NoSlot,
                                        NoSlot, NoSlot, NoSlot, NoSlot};

// Semaphores made through CreateSemaphoreA and not closed yet (null: free),
// with the maximum count each was made with. The library's own (a worker's
// queue, a double's notices) come and go; a semaphore beyond the record's
// room is simply not closed at unload.
constexpr size_t SemaphoreRoom = 64;
constinit std::atomic<HANDLE> OpenSemaphores[SemaphoreRoom] = {};
constinit std::atomic<LONG> SemaphoreMaximum[SemaphoreRoom] = {};

}  // namespace

// The real import pointers (ld resolves the "__real_" names to them) and the
// pointers that every other reference in the library is redirected to (the
// "__wrap_" names). On 32-bit Windows ld sees symbols without their leading
// underscore: the wrapped name is "_imp__TlsAlloc@0", the two new names get
// the underscore back in front.
#if defined(_WIN64)
#define VELMORA_WRAPPED(Prefix, Plain, Decorated) Prefix "__imp_" Plain
#else
#define VELMORA_WRAPPED(Prefix, Plain, Decorated) "_" Prefix "_imp__" Decorated
#endif
extern "C" {
extern TTlsAlloc RealTlsAlloc asm(VELMORA_WRAPPED("__real_", "TlsAlloc", "TlsAlloc@0"));
extern TTlsFree RealTlsFree asm(VELMORA_WRAPPED("__real_", "TlsFree", "TlsFree@4"));
extern TCreateSemaphoreA RealCreateSemaphoreA asm(
    VELMORA_WRAPPED("__real_", "CreateSemaphoreA", "CreateSemaphoreA@16"));
extern TCloseHandle RealCloseHandle asm(VELMORA_WRAPPED("__real_", "CloseHandle", "CloseHandle@4"));
extern TDuplicateHandle RealDuplicateHandle asm(
    VELMORA_WRAPPED("__real_", "DuplicateHandle", "DuplicateHandle@28"));
}

namespace {

DWORD WINAPI RecordingTlsAlloc() {
  const DWORD Slot = RealTlsAlloc();
  if (Slot == NoSlot) return Slot;
  for (std::atomic<DWORD>& Entry : Held) {
    DWORD Empty = NoSlot;
    if (Entry.compare_exchange_strong(Empty, Slot)) break;
  }
  return Slot;
}

// A slot its owner frees leaves the record first, so that it is never freed
// twice (the second time it could belong to someone else).
BOOL WINAPI RecordingTlsFree(DWORD Slot) {
  if (Slot != NoSlot) {
    for (std::atomic<DWORD>& Entry : Held) {
      DWORD Expected = Slot;
      if (Entry.compare_exchange_strong(Expected, NoSlot)) break;
    }
  }
  return RealTlsFree(Slot);
}

HANDLE WINAPI RecordingCreateSemaphoreA(LPSECURITY_ATTRIBUTES Attributes, LONG Initial,
                                        LONG Maximum, LPCSTR Name) {
  const HANDLE Made = RealCreateSemaphoreA(Attributes, Initial, Maximum, Name);
  if (Made == nullptr) return Made;
  for (size_t I = 0; I < SemaphoreRoom; ++I) {
    HANDLE Empty = nullptr;
    if (OpenSemaphores[I].compare_exchange_strong(Empty, Made)) {
      SemaphoreMaximum[I].store(Maximum);
      break;
    }
  }
  return Made;
}

// Off the record before the close: once closed, the value may be handed out
// again, and the new owner's entry must not be the one removed.
void Unrecord(HANDLE Handle) {
  if (Handle == nullptr) return;
  // A plain read first: most handles closed are no semaphore of ours.
  for (std::atomic<HANDLE>& Entry : OpenSemaphores) {
    HANDLE Expected = Handle;
    if (Entry.load(std::memory_order_relaxed) == Handle &&
        Entry.compare_exchange_strong(Expected, nullptr)) {
      break;
    }
  }
}

BOOL WINAPI RecordingCloseHandle(HANDLE Handle) {
  Unrecord(Handle);
  return RealCloseHandle(Handle);
}

// A duplication that closes its source closes a handle of this process when
// the source process is this one.
BOOL WINAPI RecordingDuplicateHandle(HANDLE SourceProcess, HANDLE Source, HANDLE TargetProcess,
                                     LPHANDLE Target, DWORD Access, BOOL Inherit, DWORD Options) {
  if ((Options & DUPLICATE_CLOSE_SOURCE) != 0 &&
      (SourceProcess == GetCurrentProcess() ||
       GetProcessId(SourceProcess) == GetCurrentProcessId())) {
    Unrecord(Source);
  }
  return RealDuplicateHandle(SourceProcess, Source, TargetProcess, Target, Access, Inherit,
                             Options);
}

// The thread that unloads the library leaves it as an exiting thread would:
// the library's thread-local-storage callbacks run for it with
// DLL_THREAD_DETACH. The POSIX threads runtime keeps a record for every
// thread that entered it (an event and a duplicate of the thread's handle,
// destructors of its thread-local data) and releases a record only there, so
// without this the unloading thread's record, two handles, would outlive the
// library on every unload. The callbacks are the library's own (the loader
// runs them for each thread that exits while the library is loaded); the
// runtime's slot is still held here, so the record is found and released.
void LeaveAsExitingThread(HMODULE Module) {
  const auto* Dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Module);
  const auto* Nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      reinterpret_cast<const BYTE*>(Module) + Dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& Entry = Nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
  if (Entry.VirtualAddress == 0) return;
  const auto* Tls = reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(
      reinterpret_cast<const BYTE*>(Module) + Entry.VirtualAddress);
  const auto* Callback = reinterpret_cast<const PIMAGE_TLS_CALLBACK*>(Tls->AddressOfCallBacks);
  for (; Callback != nullptr && *Callback != nullptr; ++Callback) {
    (*Callback)(Module, DLL_THREAD_DETACH, nullptr);
  }
}

void GiveBackHeldSlots() {
  for (std::atomic<DWORD>& Entry : Held) {
    const DWORD Slot = Entry.exchange(NoSlot);
    if (Slot != NoSlot) RealTlsFree(Slot);
  }
}

// Whether Handle still names a semaphore with the maximum count Maximum; no
// when the system cannot say.
using TNtQuerySemaphore = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
bool StillTheSemaphore(TNtQuerySemaphore Query, HANDLE Handle, LONG Maximum) {
  struct {
    LONG Current;
    LONG Maximum;
  } Basic{};
  return Query != nullptr && Query(Handle, 0, &Basic, sizeof Basic, nullptr) >= 0 &&
         Basic.Maximum == Maximum;
}

void CloseLeftSemaphores() {
  const HMODULE System = GetModuleHandleA("ntdll.dll");
  const auto Query =
      System == nullptr ? nullptr
                        : reinterpret_cast<TNtQuerySemaphore>(
                              reinterpret_cast<void*>(GetProcAddress(System, "NtQuerySemaphore")));
  for (size_t I = 0; I < SemaphoreRoom; ++I) {
    const HANDLE Left = OpenSemaphores[I].exchange(nullptr);
    if (Left != nullptr && StillTheSemaphore(Query, Left, SemaphoreMaximum[I].load())) {
      RealCloseHandle(Left);
    }
  }
}

}  // namespace

extern "C" {
TTlsAlloc WrappedTlsAlloc asm(VELMORA_WRAPPED("__wrap_", "TlsAlloc", "TlsAlloc@0")) =
    RecordingTlsAlloc;
TTlsFree WrappedTlsFree asm(VELMORA_WRAPPED("__wrap_", "TlsFree", "TlsFree@4")) =
    RecordingTlsFree;
TCreateSemaphoreA WrappedCreateSemaphoreA asm(
    VELMORA_WRAPPED("__wrap_", "CreateSemaphoreA", "CreateSemaphoreA@16")) =
    RecordingCreateSemaphoreA;
TCloseHandle WrappedCloseHandle asm(VELMORA_WRAPPED("__wrap_", "CloseHandle", "CloseHandle@4")) =
    RecordingCloseHandle;
TDuplicateHandle WrappedDuplicateHandle asm(
    VELMORA_WRAPPED("__wrap_", "DuplicateHandle", "DuplicateHandle@28")) = RecordingDuplicateHandle;

// The MinGW C runtime's library entry (static construction and destruction,
// the user DllMain).
BOOL WINAPI DllMainCRTStartup(HANDLE Module, DWORD Reason, LPVOID Reserved);
}

int VELMORA_STDCALL VelmoraLibraryEntry(void* Module, uint32_t Reason, void* Reserved) {
  const BOOL Result = DllMainCRTStartup(Module, Reason, Reserved);
  // An unload by FreeLibrary, or a LoadLibrary whose initialisation failed
  // (the library is unmapped at once; Windows may still report a detach,
  // which then finds nothing left to release). When the C runtime's detach
  // returns (static destructors and atexit functions done), the thread
  // running it is the only one in the library: the loader lock keeps every
  // other notification out, and the threads the library started have ended
  // before the host unloads it. TlsFree clears every thread's value in a
  // freed slot, so its next owner starts clean.
  const bool Unloading =
      Reason == DLL_PROCESS_DETACH || (Reason == DLL_PROCESS_ATTACH && Result == FALSE);
  if (Unloading && Reserved == nullptr) {
    LeaveAsExitingThread(static_cast<HMODULE>(Module));
    GiveBackHeldSlots();
    CloseLeftSemaphores();
  }
  return Result;
}

void Platform::LeaveLibraryAsExitingThread() {
  HMODULE Own = nullptr;
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&Platform::LeaveLibraryAsExitingThread), &Own)) {
    LeaveAsExitingThread(Own);
  }
}
