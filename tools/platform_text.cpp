#include "tools/platform_text.h"

#include <sys/time.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <ctime>

#include "base/errors.h"
#include "base/text.h"

namespace quirada::local_platform {

// Text from the client goes into JSON as UTF-8 whatever bytes it came in.
std::string Utf8Text(std::string_view bytes) {
  return IsValidUtf8(bytes) ? std::string(bytes) : Latin1ToUtf8(bytes);
}

void Member(Writer& w, const char* name, std::string_view value) {
  w.Key(name);
  const std::string text = Utf8Text(value);
  w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

std::string ErrorBody(std::string_view error, std::string_view message) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Member(w, "error", error);
  Member(w, "message", message);
  w.EndObject();
  return buffer.GetString();
}

void StatusObject(Writer& w, const char* name, std::string_view code, std::string_view message) {
  w.Key(name);
  w.StartObject();
  Member(w, "code", code);
  Member(w, "message", message);
  w.EndObject();
}

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1)
    throw Exception("no random bytes");
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : raw) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

// A version 4 UUID in its 8-4-4-4-12 form.
std::string RandomUuid() {
  std::string hex = RandomHex(16);
  hex[12] = '4';
  hex[16] = "89ab"[(hex[16] - '0') & 3];
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
         "-" + hex.substr(20);
}

std::string Base64(std::string_view data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::string TrimmedHeader(const testing::CapturedRequest& request, std::string_view name) {
  const std::string* value = request.Header(name);
  if (value == nullptr) return "";
  std::string_view v = *value;
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return std::string(v);
}

namespace {

std::string Decode(std::string_view text, bool plus_is_blank) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    if (text[i] == '+' && plus_is_blank) {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string FormDecode(std::string_view text) { return Decode(text, true); }

std::string PercentDecode(std::string_view text) { return Decode(text, false); }

std::map<std::string, std::string> ParseForm(std::string_view body) {
  std::map<std::string, std::string> fields;
  while (!body.empty()) {
    const size_t amp = body.find('&');
    const std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    fields.emplace(FormDecode(pair.substr(0, equals)), FormDecode(pair.substr(equals + 1)));
  }
  return fields;
}

std::string_view ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 422: return "Unprocessable Entity";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
  }
}

// Local time with milliseconds and the offset from UTC, e.g. "2025-12-09T14:03:27.045-03:00".
std::string JournalTime() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  std::tm tm{};
  ::localtime_r(&tv.tv_sec, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  char zone[8];
  std::strftime(zone, sizeof zone, "%z", &tm);  // "-0300"
  char out[64];
  std::snprintf(out, sizeof out, "%s.%03ld%.3s:%.2s", stamp, static_cast<long>(tv.tv_usec / 1000), zone, zone + 3);
  return out;
}

// Paths go to the log stream with control characters replaced.
std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}

}  // namespace quirada::local_platform
