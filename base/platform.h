// Facts about the machine the service runs on.
//
// ExecutableDir: the folder of the running executable (resolved, links followed), ending with a
// path separator. The INI file, the service log and the XML files live there; the working
// directory plays no part.
// TempDir: the system's folder for temporary files, ending with a path separator ($TMPDIR when
// set and not empty, else /tmp, on Linux).
// PrivateTempDir: a folder for this user's files that no other local user can read or plant
// files in, ending with a path separator. On Linux "<TempDir>quirada-<effective uid>/", created
// with mode 0700; when something else is there (not a directory, a link, another owner, or
// group/other permissions) it raises Exception naming the folder. PrivateTempDir(sub) is the
// folder `sub` (a plain name) inside it, created alike (on Windows with the protected DACL of the
// program's files); "" gives the private folder itself.
// SystemErrorText: the system's own text for an errno value ("Permission denied").
#pragma once

#include <cstdint>
#include <string>

namespace quirada {

std::string ExecutableDir();
std::string TempDir();
// The executable's full path, resolved.
std::string ExecutablePath();

std::string PrivateTempDir();
std::string PrivateTempDir(const std::string& sub);

std::string SystemErrorText(int error);

// The running process's id.
long CurrentProcessId();
// Whether a process with the id `pid` runs on this machine now (any process: the id may have been
// given to another one since). False for an id that cannot be a process's.
bool ProcessIsRunning(long pid);
// The user this process acts as, as a message to a person names it: the effective uid on Linux,
// the account name on Windows.
std::string CurrentUserName();

// 16 hexadecimal digits from the system's random source (getrandom, BCryptGenRandom): a name no
// other local user can guess ahead of time. Raises Exception when the source fails.
std::string RandomName();

}  // namespace quirada
