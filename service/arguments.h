// The program's command-line arguments as the program's own text, UTF-8.
//
// On Linux they are main's argv as given. On Windows main's argv is in the ANSI code page, which
// cannot hold every character of a folder's name (a name outside it would arrive as '?', another
// folder than the one named): the arguments are taken from the wide command line instead. A lone
// surrogate there (a name Windows allows and UTF-8 cannot hold) is kept as its three bytes, which
// are no UTF-8, so that a check that wants UTF-8 refuses the name rather than take another one.
#pragma once

#include <string>
#include <vector>

namespace quirada {

// The arguments after the program's own name.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace quirada
