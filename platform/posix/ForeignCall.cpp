// The foreign-call guard natively: a straight call. There are no structured
// exceptions here, and faults are not turned into exceptions by signal
// handling (a fault ends the process as it would without the guard). The
// floating-point control words are given back as on Windows.
#include "platform/FloatControl.h"
#include "platform/ForeignCall.h"

namespace Platform {

bool ForeignFaultsContained() { return false; }

bool GuardedCall(void (*Thunk)(void* Context), void* Context, TForeignFault& /*Fault*/) {
  const TFloatControl Before = ReadFloatControl();
  Thunk(Context);
  KeepFloatControl(Before);
  return true;
}

}  // namespace Platform
