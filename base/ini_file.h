// Reading INI files such as "Morvant.ini": one value (ReadIniString) or every entry in the order
// of the file (ReadIniEntries, ReadIniFile). A reader of several values reads the file once
// (ReadIniFile) and looks each one up in what it got (IniFileContents::Value).
//
// The file is read whole into memory and parsed there (base/ini_text.h: the rules of the Windows
// profile functions, the same on every platform); no copy of it is ever written anywhere.
//  - a missing file has no entries (an unreadable file counts as missing); a path that names
//    something other than a regular file (a folder, a FIFO, a device), or a file larger than
//    1 MiB, raises Exception naming it: it would never be a configuration.
// ReadIniString gives the value of the first key of that name in the first section of that name,
// names matched without regard to letter case, or the default when the file, the section or the
// key is missing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/ini_text.h"

namespace quirada {

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& default_value);

// Every "key=value" line, in the order of the file, those the profile rules do not read included
// (IniEntry::place says why).
std::vector<IniEntry> ReadIniEntries(const std::string& path);

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
