// The foreign-call guard for Win32: a frame of its own on the calling
// thread's exception chain. The system offers an exception to the frames
// nearest the fault first, so foreign code that handles its own exceptions
// keeps them; only what every foreign frame passes on reaches the guard.
//
// i686: the chain is the thread's list of registration records (fs:[0]).
// GuardedCall saves a resumption point (__builtin_setjmp), then pushes a
// record whose handler, for an exception it takes, asks RtlUnwind to unwind
// every record above it (their handlers run with the unwinding flag) and
// resumes at the saved point (__builtin_longjmp), which unlinks the record.
// Our own C++ exceptions travel by DWARF tables, not on this chain: one that
// passes through the guard runs the registration's destructor, which puts
// the chain head back as it was before the call (records a foreign frame
// left behind on the way are dropped with it).
//
// x86-64: exceptions are dispatched by the unwind tables. The guard is a
// small assembly function whose unwind information names a handler
// (.seh_handler ..., @except); for an exception it takes, the handler calls
// RtlUnwindEx to a label inside the guard, which returns false. Our own C++
// exceptions travel as structured exceptions with GCC's codes (20474343 and
// its two companions): the handler passes them on.
//
// Neither path makes a system call when nothing is raised: the i686 guard
// writes two words to the thread's chain head, the x86-64 one adds nothing
// at run time to a plain call.
#include <windows.h>

#include <cstdlib>
#include <type_traits>

#include "platform/FloatControl.h"
#include "platform/ForeignCall.h"

namespace Platform {
namespace {

// Exceptions the guard passes on: a stack overflow (the thread's guard page
// is spent, resuming is not safe, and the process ends as it would without
// the guard) and the codes that carry GCC's own C++ exceptions on x86-64
// (the throw, the unwind to the catching frame, a forced unwind).
bool PassesThrough(DWORD Code) {
  switch (Code) {
    case STATUS_STACK_OVERFLOW:
    case 0x20474343u:
    case 0x21474343u:
    case 0x22474343u:
      return true;
    default:
      return false;
  }
}

// Copies what the message needs out of the record (the handler runs on the
// faulting thread's remaining stack: no allocation there).
void RecordFault(TForeignFault& Fault, const EXCEPTION_RECORD& Record) {
  Fault.Code = Record.ExceptionCode;
  Fault.At = reinterpret_cast<uintptr_t>(Record.ExceptionAddress);
  Fault.Access = TFaultAccess::None;
  Fault.Address = 0;
  if (Record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && Record.NumberParameters >= 2) {
    switch (Record.ExceptionInformation[0]) {
      case 0: Fault.Access = TFaultAccess::Read; break;
      case 1: Fault.Access = TFaultAccess::Write; break;
      case 8: Fault.Access = TFaultAccess::Execute; break;
      default: break;
    }
    Fault.Address = static_cast<uintptr_t>(Record.ExceptionInformation[1]);
  }
}

bool TakesException(const EXCEPTION_RECORD& Record) {
  return (Record.ExceptionFlags & EXCEPTION_UNWIND) == 0 && !PassesThrough(Record.ExceptionCode);
}

}  // namespace

bool ForeignFaultsContained() { return true; }

#if defined(__i386__)

namespace {

// The guard's registration record. The system reads the first two fields.
struct TGuardFrame {
  TGuardFrame* Next;
  void* Handler;
  void* Resume[5];       // __builtin_setjmp's buffer: GuardedCall's resumption point
  TForeignFault* Fault;  // filled in by the handler
  TFloatControl Float;   // the caller's floating-point control words
};

TGuardFrame* ChainHead() {
  TGuardFrame* Head;
  asm volatile("movl %%fs:0, %0" : "=r"(Head));
  return Head;
}

void SetChainHead(TGuardFrame* Head) { asm volatile("movl %0, %%fs:0" : : "r"(Head) : "memory"); }

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* Record, void* Establisher, CONTEXT*, void*) {
  if (!TakesException(*Record)) return ExceptionContinueSearch;
  TGuardFrame* Frame = static_cast<TGuardFrame*>(Establisher);
  RecordFault(*Frame->Fault, *Record);
  // Runs the handlers of every record above ours with the unwinding flag and
  // unlinks them; ours stays the head.
  RtlUnwind(Frame, nullptr, Record, nullptr);
  __builtin_longjmp(Frame->Resume, 1);
}

// Our record on the chain for the life of the object: a C++ exception that
// unwinds this frame puts the chain head back as well as a return does.
class TRegistration {
public:
  explicit TRegistration(TGuardFrame& Frame) : Frame(Frame) {
    Frame.Next = ChainHead();
    SetChainHead(&Frame);
  }
  ~TRegistration() { SetChainHead(Frame.Next); }
  TRegistration(const TRegistration&) = delete;
  TRegistration& operator=(const TRegistration&) = delete;

private:
  TGuardFrame& Frame;
};

__attribute__((noinline)) void CallRegistered(TGuardFrame& Frame, void (*Thunk)(void*), void* Context) {
  TRegistration Registration(Frame);
  Thunk(Context);
}

}  // namespace

// Entries and callbacks crossing a module boundary remove their own
// arguments in this build: the macro that marks them must say so.
static_assert(!std::is_same_v<void(VELMORA_STDCALL*)(int), void (*)(int)>, "VELMORA_STDCALL is not stdcall");

bool GuardedCall(void (*Thunk)(void* Context), void* Context, TForeignFault& Fault) {
  TGuardFrame Frame{};
  Frame.Handler = reinterpret_cast<void*>(&GuardHandler);
  Frame.Fault = &Fault;
  Frame.Float = ReadFloatControl();
  if (__builtin_setjmp(Frame.Resume) != 0) {
    // Resumed by the handler: every record above ours is gone, ours is the head.
    SetChainHead(Frame.Next);
    ResetFloatState(Frame.Float);
    return false;
  }
  CallRegistered(Frame, Thunk, Context);
  KeepFloatControl(Frame.Float);
  return true;
}

#elif defined(__x86_64__)

// VelmoraForeignGuardCore(Thunk, Context, Fault): calls Thunk(Context) and
// returns true; the handler named in its unwind information resumes it at
// VelmoraForeignGuardResume with false. Fault is kept at 32(%rsp), which the handler finds from the frame
// address the dispatcher gives it (the stack pointer after the prologue).
asm(R"(
    .text
    .p2align 4
    .def VelmoraForeignGuardCore; .scl 3; .type 32; .endef
    .seh_proc VelmoraForeignGuardCore
VelmoraForeignGuardCore:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    movl $1, %eax
VelmoraForeignGuardResume:
    addq $40, %rsp
    ret
    .seh_handler VelmoraForeignGuardHandler, @except
    .seh_endproc
)");

extern "C" bool VelmoraForeignGuardCore(void (*Thunk)(void*), void* Context, TForeignFault* Fault);
extern "C" char VelmoraForeignGuardResume[];

namespace {

__attribute__((used)) EXCEPTION_DISPOSITION GuardHandler(EXCEPTION_RECORD* Record, void* Establisher,
                                                         CONTEXT* Context, DISPATCHER_CONTEXT* Dispatcher)
    asm("VelmoraForeignGuardHandler");

EXCEPTION_DISPOSITION GuardHandler(EXCEPTION_RECORD* Record, void* Establisher, CONTEXT* Context,
                                   DISPATCHER_CONTEXT* Dispatcher) {
  if (!TakesException(*Record)) return ExceptionContinueSearch;
  TForeignFault* Fault = *reinterpret_cast<TForeignFault**>(static_cast<char*>(Establisher) + 32);
  RecordFault(*Fault, *Record);
  // Runs the unwind handlers of every frame above the guard and resumes the
  // guard at its label with RAX = 0; does not return.
  RtlUnwindEx(Establisher, VelmoraForeignGuardResume, Record, nullptr, Context, Dispatcher->HistoryTable);
  std::abort();
}

}  // namespace

bool GuardedCall(void (*Thunk)(void* Context), void* Context, TForeignFault& Fault) {
  const TFloatControl Before = ReadFloatControl();
  if (!VelmoraForeignGuardCore(Thunk, Context, &Fault)) {
    ResetFloatState(Before);
    return false;
  }
  KeepFloatControl(Before);
  return true;
}

#else
#error "the foreign-call guard knows i686 and x86-64 only"
#endif

}  // namespace Platform
