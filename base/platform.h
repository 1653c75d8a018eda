// Facts about the machine the service runs on.
//
// ExecutableDir: the folder of the running executable (resolved, links followed), ending with a
// path separator. The INI file, the service log and the XML files live there; the working
// directory plays no part.
// TempDir: the system's folder for temporary files, ending with a path separator ($TMPDIR when
// set and not empty, else /tmp, on Linux).
// SystemErrorText: the system's own text for an errno value ("Permission denied").
#pragma once

#include <string>

namespace quirada {

std::string ExecutableDir();
std::string TempDir();
// The executable's full path, resolved.
std::string ExecutablePath();

std::string SystemErrorText(int error);

}  // namespace quirada
