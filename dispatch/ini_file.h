// Reading INI files such as "Morvant.ini": one value (ReadIniString) or every entry in the order
// of the file (ReadIniEntries, ReadIniFile). A reader of several values reads the file once
// (ReadIniFile) and looks each one up in what it got (IniFileContents::Value).
//
// They promise the behaviour of the classic Windows profile reader that the service's
// configuration was written for:
//  - a missing file has no entries (an unreadable file counts as missing); a path that names
//    something other than a regular file (a folder, a FIFO, a device), or a file larger than
//    1 MiB, raises Exception naming it: it would never be a configuration;
//  - a file that starts with the UTF-8 byte-order mark (which is then not part of the first line)
//    or whose bytes are all valid UTF-8 (a file of plain ASCII among them) is read as UTF-8, any
//    other file in the single-byte code page (ISO-8859-1 on Linux, the ANSI code page on
//    Windows); in a file with the mark, a byte that is not UTF-8 reads as U+FFFD.
//    Sections, keys and values come back in UTF-8, and names are given in UTF-8;
//  - lines starting with ';' or '#' are comments; lines that are neither "[section]" nor
//    "key=value" are ignored;
//  - blanks around a value are not part of it; then a value that starts and ends with a double
//    quote (two characters at least) loses those two quotes, and only them: blanks inside them
//    stay, a lone quote stays. Nothing else is stripped (no inline comments: a ';' inside a value
//    belongs to it); a key that is present with an empty value gives an empty value;
//  - a value is cut at 2047 characters, after its quotes are removed, however long its line is.
// ReadIniString gives the value of the first occurrence of the key in the section, section and
// key names matched without regard to letter case (ASCII letters and the accented letters of
// ISO-8859-1, "Ç" as "ç"), or the default when the file, the section or the key is missing.
// Parsing uses inih, whose process-wide options this module sets once, on first use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quirada {

inline constexpr std::size_t kIniValueMaxChars = 2047;

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& default_value);

struct IniEntry {
  std::string section;  // between the brackets, blanks around it left out; "" before any section
  std::string key;      // as written, blanks around it left out
  std::string value;    // as ReadIniString would give it
  bool operator==(const IniEntry&) const = default;
};

// Every "key=value" line, in the order of the file: repeated keys and sections stay as they are.
std::vector<IniEntry> ReadIniEntries(const std::string& path);

// kLatin1: the single-byte code page (ISO-8859-1 on Linux, the ANSI code page on Windows).
enum class IniEncoding { kLatin1, kUtf8 };

struct IniFileContents {
  std::optional<IniEncoding> encoding;  // nothing when the file is missing or unreadable
  std::vector<IniEntry> entries;        // as ReadIniEntries

  // What ReadIniString gives for the file these contents were read from.
  std::string Value(const std::string& section, const std::string& key,
                    const std::string& default_value) const;
};

// The entries and the text encoding the file was read in.
IniFileContents ReadIniFile(const std::string& path);

}  // namespace quirada
