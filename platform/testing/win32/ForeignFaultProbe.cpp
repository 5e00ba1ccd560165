// Foreign-code behaviours for Win32: RaiseException, and a frame with an
// exception handler of its own, registered as code built by another compiler
// would register it (a record on fs:[0] on i686, a handler in the unwind
// information on x86-64).
#include <windows.h>

#include "platform/testing/ForeignFaultProbe.h"

namespace Platform {
namespace {

// The own frame's handler: continues Counts.HandledCode, counts unwinding calls.
EXCEPTION_DISPOSITION Judge(TOwnFrameCounts& Counts, const EXCEPTION_RECORD& Record) {
  if ((Record.ExceptionFlags & EXCEPTION_UNWIND) != 0) {
    ++Counts.Unwound;
    return ExceptionContinueSearch;
  }
  if (Record.ExceptionCode == Counts.HandledCode) {
    ++Counts.Handled;
    return ExceptionContinueExecution;
  }
  return ExceptionContinueSearch;
}

}  // namespace

void RaiseStructuredException(uint32_t Code, bool Continuable) {
  RaiseException(Code, Continuable ? 0 : EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

void SystemCallForComparison() { SwitchToThread(); }

#if defined(__i386__)

namespace {

struct TOwnRecord {
  TOwnRecord* Next;
  void* Handler;
  TOwnFrameCounts* Counts;
};

uintptr_t ReadChainHead() {
  uintptr_t Head;
  asm volatile("movl %%fs:0, %0" : "=r"(Head));
  return Head;
}

void WriteChainHead(uintptr_t Head) { asm volatile("movl %0, %%fs:0" : : "r"(Head) : "memory"); }

EXCEPTION_DISPOSITION __cdecl OwnFrameHandler(EXCEPTION_RECORD* Record, void* Establisher, CONTEXT*, void*) {
  return Judge(*static_cast<TOwnRecord*>(Establisher)->Counts, *Record);
}

}  // namespace

__attribute__((noinline)) void CallInOwnFrame(void (*Body)(void* Context), void* Context, TOwnFrameCounts& Counts) {
  TOwnRecord Record{reinterpret_cast<TOwnRecord*>(ReadChainHead()), reinterpret_cast<void*>(&OwnFrameHandler),
                    &Counts};
  WriteChainHead(reinterpret_cast<uintptr_t>(&Record));
  Body(Context);
  WriteChainHead(reinterpret_cast<uintptr_t>(Record.Next));
}

uintptr_t ExceptionChainHead() { return ReadChainHead(); }

#elif defined(__x86_64__)

// OwnFrame(Body, Context, Counts): calls Body(Context); its handler (for both
// dispatch and unwinding) finds Counts at 32(%rsp) after the prologue.
asm(R"(
    .text
    .p2align 4
    .def VelmoraProbeOwnFrame; .scl 3; .type 32; .endef
    .seh_proc VelmoraProbeOwnFrame
VelmoraProbeOwnFrame:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    nop
    addq $40, %rsp
    ret
    .seh_handler VelmoraProbeOwnFrameHandler, @except, @unwind
    .seh_endproc
)");

extern "C" void VelmoraProbeOwnFrame(void (*Body)(void*), void* Context, TOwnFrameCounts* Counts);

namespace {

__attribute__((used)) EXCEPTION_DISPOSITION OwnFrameHandler(EXCEPTION_RECORD* Record, void* Establisher, CONTEXT*,
                                                             DISPATCHER_CONTEXT*)
    asm("VelmoraProbeOwnFrameHandler");

EXCEPTION_DISPOSITION OwnFrameHandler(EXCEPTION_RECORD* Record, void* Establisher, CONTEXT*, DISPATCHER_CONTEXT*) {
  return Judge(**reinterpret_cast<TOwnFrameCounts**>(static_cast<char*>(Establisher) + 32), *Record);
}

}  // namespace

void CallInOwnFrame(void (*Body)(void* Context), void* Context, TOwnFrameCounts& Counts) {
  VelmoraProbeOwnFrame(Body, Context, &Counts);
}

uintptr_t ExceptionChainHead() { return 0; }

#else
#error "the foreign-fault probe knows i686 and x86-64 only"
#endif

}  // namespace Platform
