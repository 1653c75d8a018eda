// The pieces of the INI reader that every platform shares; each platform's file parses the text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dispatch/ini_file.h"

namespace quirada {

bool IniBlank(char c);
std::string_view IniTrim(std::string_view s);

// A value as the classic reader gives it: blanks around it dropped, then one pair of enclosing
// double quotes, then everything after its 2047th character.
std::string IniValue(std::string_view raw);

// Every "key=value" line of the file's text (UTF-8, no byte-order mark), in order, values as
// IniValue gives them (ini_file_posix.cpp: inih; ini_file_win32.cpp: the system's profile reader).
std::vector<IniEntry> ParseIniText(const std::string& text);

}  // namespace quirada
