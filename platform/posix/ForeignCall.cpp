// The foreign-call guard natively: a straight call. There are no structured
// exceptions here, and faults are not turned into exceptions by signal
// handling (a fault ends the process as it would without the guard).
#include "platform/ForeignCall.h"

namespace Platform {

bool ForeignFaultsContained() { return false; }

bool GuardedCall(void (*Thunk)(void* Context), void* Context, TForeignFault& /*Fault*/) {
  Thunk(Context);
  return true;
}

}  // namespace Platform
