#include <windows.h>
#include <shellapi.h>

#include "base/win32_handle_win32.h"
#include "service/arguments.h"

namespace quirada {
namespace {

// UTF-16 to UTF-8, each code unit of a lone surrogate written as the three bytes its value would
// take (not UTF-8: a check that wants UTF-8 refuses it).
std::string Utf8Of(const wchar_t* wide) {
  std::string text;
  for (const wchar_t* p = wide; *p != L'\0'; ++p) {
    uint32_t cp = static_cast<uint16_t>(*p);
    if (cp >= 0xD800 && cp <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint16_t>(p[1]) - 0xDC00);
      ++p;
    }
    if (cp < 0x80) {
      text += static_cast<char>(cp);
    } else if (cp < 0x800) {
      text += static_cast<char>(0xC0 | (cp >> 6));
      text += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      text += static_cast<char>(0xE0 | (cp >> 12));
      text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (cp >> 18));
      text += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return text;
}

}  // namespace

std::vector<std::string> ProgramArguments(int, char**) {
  int count = 0;
  const LocalBuffer<LPWSTR*> words(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::string> args;
  if (!words) return args;
  for (int i = 1; i < count; ++i) args.push_back(Utf8Of(words.get()[i]));
  return args;
}

}  // namespace quirada
