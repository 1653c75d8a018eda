// The system's own text for a Windows error code, read straight from the system (no trailing
// blanks or full stop), for tests that check a message quoting it.
#pragma once

#include <windows.h>

#include <string>

#include "base/text_win32.h"

namespace quirada::testing {

inline std::string WindowsSystemText(DWORD error) {
  wchar_t buffer[1024];
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, buffer, 1024, nullptr);
  std::wstring text(buffer, n);
  while (!text.empty() && (text.back() <= L' ' || text.back() == L'.')) text.pop_back();
  return WideToUtf8(text);
}

}  // namespace quirada::testing
