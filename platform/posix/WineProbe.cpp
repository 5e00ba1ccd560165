// RunningUnderWine natively: never.
#include "platform/WineProbe.h"

namespace Platform {

bool RunningUnderWine() { return false; }

}  // namespace Platform
