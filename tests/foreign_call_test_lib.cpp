// Foreign code for the guard's suite: a run-time library whose functions
// fault, raise, handle their own exceptions and call back, as a library the
// plug-in does not own might. Every entry is stdcall in the 32-bit build.
#include <cstdint>

#include "platform/testing/ForeignFaultProbe.h"

using Platform::TOwnFrameCounts;
using TCallback = void (*)(void* Context);

namespace {

struct TFault {
  uintptr_t Address;
};

void WriteTo(void* Context) { *reinterpret_cast<volatile int*>(static_cast<TFault*>(Context)->Address) = 1; }

void RaiseContinuable(void* Context) {
  Platform::RaiseStructuredException(*static_cast<uint32_t*>(Context), true);
}

}  // namespace

extern "C" {

VELMORA_EXPORT void VELMORA_STDCALL ForeignNothing() {}

VELMORA_EXPORT int VELMORA_STDCALL ForeignAdd(int A, int B) { return A + B; }

VELMORA_EXPORT void VELMORA_STDCALL ForeignWrite(uintptr_t Address, int Value) {
  *reinterpret_cast<volatile int*>(Address) = Value;
}

VELMORA_EXPORT int VELMORA_STDCALL ForeignRead(uintptr_t Address) { return *reinterpret_cast<volatile int*>(Address); }

VELMORA_EXPORT void VELMORA_STDCALL ForeignRaise(uint32_t Code) { Platform::RaiseStructuredException(Code, false); }

// Where ForeignWrite's code starts, as this library sees it.
VELMORA_EXPORT uintptr_t VELMORA_STDCALL ForeignWriteEntry() { return reinterpret_cast<uintptr_t>(&ForeignWrite); }

// Raises Counts->HandledCode inside a frame of its own that handles it.
VELMORA_EXPORT void VELMORA_STDCALL ForeignRaiseAndHandle(TOwnFrameCounts* Counts) {
  uint32_t Code = Counts->HandledCode;
  Platform::CallInOwnFrame(&RaiseContinuable, &Code, *Counts);
}

// Writes to Address inside a frame of its own that handles nothing.
VELMORA_EXPORT void VELMORA_STDCALL ForeignWriteInOwnFrame(uintptr_t Address, TOwnFrameCounts* Counts) {
  TFault Fault{Address};
  Platform::CallInOwnFrame(&WriteTo, &Fault, *Counts);
}

// Calls Callback(Context) back inside a frame of its own.
VELMORA_EXPORT void VELMORA_STDCALL ForeignCallBack(TCallback Callback, void* Context, TOwnFrameCounts* Counts) {
  Platform::CallInOwnFrame(Callback, Context, *Counts);
}

}  // extern "C"
