// Text pieces of the local platform's answers and journal: JSON members and error bodies,
// random identifiers, forms, reason phrases, journal times.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "testing/https_server_core.h"

namespace quirada::local_platform {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

// Text from the client goes into JSON as UTF-8 whatever bytes it came in.
std::string Utf8Text(std::string_view bytes);
// A member whose value is text.
void Member(Writer& w, const char* name, std::string_view value);
// {"error": ..., "message": ...}
std::string ErrorBody(std::string_view error, std::string_view message);
// A member "name": {"code": ..., "message": ...}.
void StatusObject(Writer& w, const char* name, std::string_view code, std::string_view message);
// `bytes` random bytes in lower-case hex.
std::string RandomHex(size_t bytes);
// A version 4 UUID in its 8-4-4-4-12 form.
std::string RandomUuid();
std::string Base64(std::string_view data);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// A header's value without trailing blanks; "" when absent.
std::string TrimmedHeader(const testing::CapturedRequest& request, std::string_view name);
// application/x-www-form-urlencoded: "+" is a blank, "%XY" a byte.
std::string FormDecode(std::string_view text);
// A path segment: "%XY" a byte, everything else as it is.
std::string PercentDecode(std::string_view text);
std::map<std::string, std::string> ParseForm(std::string_view body);
std::string_view ReasonPhrase(int status);
// Local time with milliseconds and the offset from UTC, e.g. "2025-12-09T14:03:27.045-03:00".
std::string JournalTime();
// Paths go to the log stream with control characters replaced.
std::string Printable(std::string_view text);

}  // namespace quirada::local_platform
