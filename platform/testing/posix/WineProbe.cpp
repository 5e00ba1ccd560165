// RunningUnderWine natively: never.
#include "platform/testing/WineProbe.h"

namespace Platform {

bool RunningUnderWine() { return false; }

}  // namespace Platform
