// Where the service keeps its files on this machine.
//
// ExecutableDir: the folder of the running executable (resolved, links followed), ending with '/'.
// The INI file, the service log and the XML files live there; the working directory plays no part.
// TempDir: $TMPDIR when set and not empty, else /tmp, ending with '/'. The token file lives there.
#pragma once

#include <string>

namespace quirada {

std::string ExecutableDir();
std::string TempDir();
// The executable's full path, resolved.
std::string ExecutablePath();

}  // namespace quirada
