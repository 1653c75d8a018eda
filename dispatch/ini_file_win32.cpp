// The INI file's text parsed with the system's profile reader, as the service has always read its
// configuration on Windows. The reader takes the file's bytes in the ANSI code page unless they
// start with a UTF-16 byte-order mark, so the text (already decoded by its own rule, UTF-8 or
// ISO-8859-1) is handed to it as a UTF-16 copy in the private temporary folder.
#include <windows.h>
// <windows.h> names ReplaceFile as a macro of its own; the file interface's is meant here.
#undef ReplaceFile

#include <string>
#include <vector>

#include "base/errors.h"
#include "base/file_io.h"
#include "base/platform.h"
#include "base/text_win32.h"
#include "dispatch/ini_text.h"

namespace quirada {
namespace {

// A list of NUL-terminated strings ended by an empty one, as the profile functions give it.
std::vector<std::wstring> Strings(const std::vector<wchar_t>& buffer, DWORD length) {
  std::vector<std::wstring> out;
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (buffer[i] != L'\0') continue;
    if (i == start) break;
    out.emplace_back(buffer.data() + start, i - start);
    start = i + 1;
  }
  return out;
}

// What a profile function fills, with the buffer grown until it holds everything.
template <typename Read>
std::vector<std::wstring> ReadAll(Read read) {
  std::vector<wchar_t> buffer(1 << 16);
  for (;;) {
    const DWORD n = read(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n + 2 < buffer.size() || buffer.size() >= (1u << 24)) return Strings(buffer, n);
    buffer.resize(buffer.size() * 2);
  }
}

// The copy lives as long as the parse.
class Utf16Copy {
 public:
  explicit Utf16Copy(const std::string& text)
      : path_(PrivateTempDir() + "quirada-ini-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(GetTickCount64()) + ".ini") {
    const std::wstring wide = L"\xFEFF" + Utf8ToWide(text);
    ReplaceFile(path_, std::string_view(reinterpret_cast<const char*>(wide.data()), wide.size() * 2), 0600);
  }
  ~Utf16Copy() { RemoveFile(path_); }
  Utf16Copy(const Utf16Copy&) = delete;
  Utf16Copy& operator=(const Utf16Copy&) = delete;
  std::wstring path() const { return Utf8ToWide(path_); }

 private:
  std::string path_;
};

}  // namespace

std::vector<IniEntry> ParseIniText(const std::string& text) {
  const Utf16Copy copy(text);
  const std::wstring file = copy.path();
  std::vector<IniEntry> entries;
  const auto sections = ReadAll([&](wchar_t* buffer, DWORD size) {
    return GetPrivateProfileSectionNamesW(buffer, size, file.c_str());
  });
  std::vector<std::wstring> seen;
  for (const std::wstring& section : sections) {
    // The reader finds a section by its name in any letter case, and only the first of that name.
    bool again = false;
    for (const std::wstring& earlier : seen)
      again = again || CompareStringOrdinal(earlier.c_str(), -1, section.c_str(), -1, TRUE) == CSTR_EQUAL;
    if (again) continue;
    seen.push_back(section);
    const auto lines = ReadAll([&](wchar_t* buffer, DWORD size) {
      return GetPrivateProfileSectionW(section.c_str(), buffer, size, file.c_str());
    });
    for (const std::wstring& line : lines) {
      const size_t equals = line.find(L'=');
      // '#' starts a comment on Linux; the reader takes it for a key no one ever asks for.
      if (equals == std::wstring::npos || line[0] == L'#' || line[0] == L';') continue;
      entries.push_back({std::string(IniTrim(WideToUtf8(section))),
                         std::string(IniTrim(WideToUtf8(line.substr(0, equals)))),
                         IniValue(WideToUtf8(line.substr(equals + 1)))});
    }
  }
  return entries;
}

}  // namespace quirada
