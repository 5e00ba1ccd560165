// Whether the program runs under Wine rather than Windows: lets a test allow
// for the few places where Wine is known to differ from Windows.
#pragma once

namespace Platform {

// True under Wine (its ntdll exports wine_get_version); false on Windows and
// natively.
bool RunningUnderWine();

}  // namespace Platform
