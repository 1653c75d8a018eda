// The text of an INI file such as "Morvant.ini", parsed in memory, the same way on every platform,
// by the rules of the Windows profile functions (GetPrivateProfileString) the configuration was
// written for. Parsing touches no disk: the bytes given are the whole file.
//
// - Encoding: a file that starts with a UTF-8 byte-order mark is UTF-8; with a UTF-16 LE or BE
//   mark (Notepad's "Unicode" and "Unicode big endian") UTF-16; otherwise UTF-8 when all its bytes
//   are valid UTF-8 (plain ASCII among them), else the single-byte code page (ISO-8859-1 on
//   Linux, the ANSI code page on Windows). The mark is no part of the first line. In a file with
//   a mark, bytes that do not decode read as U+FFFD (UTF-8) and an unpaired UTF-16 surrogate as
//   '?'. NUL characters are left out. Sections, keys and values come back in UTF-8.
// - Lines end at CR LF, LF or a lone CR. A line whose first non-blank character is '[' and that
//   holds a ']' names a section (what is between them, blanks around it left out); a line whose
//   first non-blank character is ';' or '#' is a comment; a line with '=' is an entry; any other
//   line is ignored.
// - Blanks around a key and around a value are no part of them; then a value that starts and ends
//   with a double quote (two characters at least) loses those two quotes, and only them. Nothing
//   else is stripped (no inline comments: a ';' inside a value belongs to it). A value is cut at
//   2047 characters, after its quotes are removed.
// - Names are matched without regard to letter case (ASCII letters and the accented letters of
//   ISO-8859-1, "Ç" as "ç"). As the profile functions read a file: a key before any section is not
//   read; of sections of the same name only the first is read (the entries of a later one are
//   not); of keys of the same name in a section the first is read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quirada {

inline constexpr std::size_t kIniValueMaxChars = 2047;

enum class IniEncoding {
  kAnsi,          // the single-byte code page
  kUtf8,          // valid UTF-8 without a mark
  kUtf8WithMark,  // the UTF-8 byte-order mark first
  kUtf16Le,       // with its byte-order mark
  kUtf16Be,       // with its byte-order mark
};

// How an operator knows the encoding: "UTF-8", "UTF-8 com marca de ordem de bytes", "UTF-16 LE",
// "UTF-16 BE", or the single-byte code page's name ("ISO-8859-1", "windows-1252"...).
std::string IniEncodingName(IniEncoding encoding);

// Why an entry of the file is not read.
enum class IniPlace {
  kRead,              // in the first section of its name
  kBeforeAnySection,  // before the first section
  kRepeatedSection,   // in a later section of a name seen before
};

struct IniEntry {
  std::string section;  // between the brackets, blanks around it left out; "" before any section
  std::string key;      // as written, blanks around it left out
  std::string value;    // as read (quotes removed, cut at 2047 characters)
  IniPlace place = IniPlace::kRead;
  bool operator==(const IniEntry&) const = default;
};

struct IniText {
  IniEncoding encoding = IniEncoding::kUtf8;
  // Every "key=value" line, in the order of the file, those not read included (their place says
  // why).
  std::vector<IniEntry> entries;

  // The value of the first key named `key` in the first section named `section`, or
  // `default_value` when there is none.
  std::string Value(std::string_view section, std::string_view key,
                    const std::string& default_value) const;
};

IniText ParseIni(std::string_view bytes);

// IniText::Value over entries ParseIni gave.
std::string IniValue(const std::vector<IniEntry>& entries, std::string_view section,
                     std::string_view key, const std::string& default_value);

}  // namespace quirada
