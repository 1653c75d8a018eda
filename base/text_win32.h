// For the Windows side only: the program's UTF-8 text as the system's UTF-16 and back, and the
// errno value that stands for a system error code.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace quirada {

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

// The system's text for a GetLastError() code, without its trailing blanks and full stop.
std::string WindowsErrorText(DWORD error);

// The errno value closest to a GetLastError() code (EACCES for ERROR_ACCESS_DENIED...); EIO for
// codes without one.
int ErrnoOf(DWORD error);

}  // namespace quirada
