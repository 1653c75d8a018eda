// The service log: one text file beside the executable, "QuiradaContabil.log", one time-stamped
// line per event ("DD/MM/YYYY HH:mm:ss - message"), every line ended by CR LF.
//
// A new log is created with mode 0640 (less the umask), in the ANSI code page (ISO-8859-1 on
// Linux) without a byte-order mark. An existing log keeps the encoding its byte-order mark tells
// (UTF-8, UTF-16 LE, UTF-16 BE, else the ANSI code page). When it ends with CR LF (or is empty),
// the line is added with one write at its end: the file stays the same file (mode, owner, links
// to it, a `tail -f` on it); only its first and last bytes are read. Only a log whose last line
// lacks its CR LF is mended: read whole, every line re-ended by CR LF, written to a temporary file
// beside it (beside the file a symbolic link points to) and renamed over it with its mode, so a
// crash or a full disk mid-write leaves it whole.
//
// A message cannot forge lines: each line break in it becomes CR LF and two blanks (a continuation
// line never looks stamped), other control characters but TAB become blanks, and a message over
// 8192 bytes of UTF-8 is cut on a character boundary and ends with " [...]".
//
// When the existing log cannot be read, the line carries the reading failure's message instead of
// the message given, and it is added at the end so that the earlier content survives. When the log
// cannot be written, an Exception leaves SaveLogLine and the log keeps its earlier content.
#pragma once

#include <string>

#include "base/datetime.h"

namespace quirada {

inline constexpr const char* kServiceLogName = "QuiradaContabil.log";

// ExecutableDir() followed by "QuiradaContabil.log".
std::string ServiceLogPath();

// Appends "<stamp> - <message>" to the log at `path`, stamped with `now`.
void SaveLogLine(const std::string& path, const std::string& message, TDateTime now);

}  // namespace quirada
