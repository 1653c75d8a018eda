// The service log: one text file beside the executable, "QuiradaContabil.log", one time-stamped
// line per event ("DD/MM/YYYY HH:mm:ss - message"), every line ended by CR LF.
//
// A new log is created with mode 0640 (less the umask), in the ANSI code page (ISO-8859-1 on
// Linux) without a byte-order mark. An existing log keeps the encoding its byte-order mark tells
// (UTF-8, UTF-16 LE, UTF-16 BE, else the ANSI code page). The log is only ever appended to: of an
// existing log only its first bytes (the mark) and its last bytes are read, never the rest, and
// the line goes in with one write at its end, so the file stays the same file (its inode, owner,
// mode and links, a `tail -f` on it). When the log does not end with CR LF, that write starts with
// one ("\r\n"), so the new line stands on a line of its own; the old lines stay as they are.
// Only a regular file is written: a FIFO, a device or a folder in the log's name is refused at
// once with a message naming it, never waited on.
//
// A message cannot forge lines: each line break in it becomes CR LF and two blanks (a continuation
// line never looks stamped), other control characters but TAB (C0, DEL, C1) become blanks, and a
// message over 8192 bytes of UTF-8 is cut on a character boundary and ends with " [...]".
//
// When the existing log cannot be read, the line carries the reading failure's message instead of
// the message given, added at the end, so the earlier content survives. When the log cannot be
// written, an Exception leaves SaveLogLine and the log keeps its earlier content.
#pragma once

#include <string>

#include "base/datetime.h"
#include "base/file_io.h"

namespace quirada {

inline constexpr const char* kServiceLogName = "QuiradaContabil.log";

// Appends "<stamp> - <message>" to the log at `path`, stamped with `now`. With Links::kRefuse a
// symbolic link in the log's name is refused rather than followed (a folder others may write).
void SaveLogLine(const std::string& path, const std::string& message, TDateTime now,
                 Links links = Links::kFollow);

}  // namespace quirada
