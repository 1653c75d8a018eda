// The service log: one text file beside the executable, "QuiradaContabil.log", one time-stamped
// line per event ("DD/MM/YYYY HH:mm:ss - message"), every line ended by CR LF.
//
// A new file is written in ISO-8859-1 without a byte-order mark. An existing file that begins with
// a UTF-8, UTF-16 LE or UTF-16 BE byte-order mark keeps that encoding and its mark. Lines ended by a
// lone LF or a lone CR come back ended by CR LF. The whole file is written to a temporary file beside
// it and renamed over it, so a crash or a full disk mid-write leaves the earlier log whole.
//
// When the existing file cannot be read, the line carries the reading failure's message instead of
// the message given, and it is appended to the file so that the earlier content survives. When the
// file cannot be written, an Exception leaves SaveLogLine and the file keeps its earlier content.
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
