// Reading single values from INI files such as "Morvant.ini".
//
// ReadIniString promises the behaviour of the classic Windows profile reader that the service's
// configuration was written for:
//  - the default comes back when the file, the section or the key is missing (an unreadable file
//    counts as missing); a key that is present with an empty value gives an empty value;
//  - a path that names something other than a regular file (a folder, a FIFO, a device), or a
//    file larger than 1 MiB, raises Exception naming it: it would never be a configuration;
//  - section and key names are matched without regard to letter case; the first occurrence wins;
//  - blanks around a value are not part of it; nothing else is stripped (no quotes, no inline
//    comments: a ';' inside a value belongs to it; lines starting with ';' or '#' are comments);
//  - a value is cut at 2047 characters, however long its line is;
//  - the file is read in ISO-8859-1 and the value is returned in UTF-8 (names are given in UTF-8).
// Parsing uses inih, whose process-wide options this module sets once, on first use.
#pragma once

#include <cstddef>
#include <string>

namespace quirada {

inline constexpr std::size_t kIniValueMaxChars = 2047;

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& default_value);

}  // namespace quirada
