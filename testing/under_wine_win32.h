// Whether a Windows test runs under Wine rather than Windows, for the few checks whose outcome
// Wine cannot show (it keeps no DACL of its own: a file's rules are what its Unix mode gives).
#pragma once

#include <windows.h>

namespace quirada::testing {

inline bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace quirada::testing
