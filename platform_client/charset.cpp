#include "platform_client/charset.h"

#include <algorithm>
#include <cstdint>

#include "base/text.h"

namespace quirada {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string FromUtf8(std::string_view body) {
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  return std::string(body);
}

std::string FromUtf16(std::string_view body, bool big_endian, bool detect_mark) {
  if (detect_mark && body.size() >= 2) {
    if (body.substr(0, 2) == "\xFE\xFF") {
      big_endian = true;
      body.remove_prefix(2);
    } else if (body.substr(0, 2) == "\xFF\xFE") {
      big_endian = false;
      body.remove_prefix(2);
    }
  }
  return Utf16ToUtf8(body, big_endian);
}

}  // namespace

std::string CharsetOfContentType(std::string_view content_type) {
  size_t pos = content_type.find(';');
  while (pos != std::string_view::npos) {
    std::string_view rest = content_type.substr(pos + 1);
    const size_t next = rest.find(';');
    std::string_view param = Trim(rest.substr(0, next));
    const size_t eq = param.find('=');
    if (eq != std::string_view::npos && Lower(Trim(param.substr(0, eq))) == "charset") {
      std::string_view value = Trim(param.substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      return std::string(value);
    }
    pos = next == std::string_view::npos ? next : pos + 1 + next;
  }
  return {};
}

std::string DecodeBody(std::string_view body, std::string_view charset, DefaultCharset fallback) {
  const std::string name = Lower(Trim(charset));
  if (name == "utf-8" || name == "utf8") return FromUtf8(body);
  if (name == "iso-8859-1" || name == "iso8859-1" || name == "iso_8859-1" || name == "latin1" ||
      name == "latin-1" || name == "l1" || name == "us-ascii" || name == "ascii")
    return Latin1ToUtf8(body);
  if (name == "windows-1252" || name == "cp1252") return Windows1252ToUtf8(body);
  if (name == "utf-16") return FromUtf16(body, true, true);
  if (name == "utf-16le") return FromUtf16(body, false, false);
  if (name == "utf-16be") return FromUtf16(body, true, false);
  return fallback == DefaultCharset::kUtf8 ? FromUtf8(body) : Latin1ToUtf8(body);
}

}  // namespace quirada
