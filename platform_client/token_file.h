// The token file "token.dm": the cache of the access token between operations and between runs.
//
// Layout: text in the ANSI code page (ISO-8859-1 on Linux) without a byte-order mark, one
// "key=value" entry per line, every line ended by CR LF. Written, in this order: "access_token=<token>", "data=<today, dd/mm/yyyy>",
// "hora=<expiry time, hh:nn:ss>", "ExpiraData=<expiry date and time>" (the time left out at exact
// midnight).
//
// Writing never leaves a half-written file: the lines go to a new file beside it, of a name no one
// can guess, created with mode 0600 (the private DACL on Windows), which is then renamed over the
// old one. Reading yields the lines as UTF-8 text; a key
// belongs to a line only when the line begins with the key and "=".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/datetime.h"

namespace quirada {

// The lifetime the client gives a token it has just received, unless the server promises less.
inline constexpr long long kTokenLifetimeSeconds = 1380LL * 60;

// The file's lines, or nothing when no token file of this user's is there: only a regular file
// (not followed through a link) owned by the process's user and at most 1 MiB is read. Lines end
// at CR LF, LF or CR.
// Raises the input/output error ("File access denied", "I/O error 5", ...) when the file is there
// but cannot be read.
std::optional<std::vector<std::string>> ReadTokenFileLines(const std::string& path);

// The text after "key=" when `line` begins with it; nothing otherwise.
std::optional<std::string> TokenEntryValue(std::string_view line, std::string_view key);

// Adds whole seconds to a date-time, exactly to the millisecond.
TDateTime IncSecondExact(TDateTime value, long long seconds);

// Writes the four lines for `access_token` (a folder at `path` is put aside first, a link replaced
// as itself; MakeRoomFor): "data" from today's date, "hora" and "ExpiraData" from
// the clock plus `lifetime_seconds`, each reading the clock itself. Raises the input/output error
// when the file cannot be written; the earlier file is then left as it was.
void WriteTokenFile(const std::string& path, const std::string& access_token,
                    long long lifetime_seconds);

// After an API answer with `status`: a 401 means the platform rejected the token, so the token file
// is removed and the next operation obtains a new token instead of sending the rejected one until
// its cached expiry. Any other status leaves the file alone. Never raises.
void DiscardRejectedTokenFile(const std::string& path, int status);

}  // namespace quirada
