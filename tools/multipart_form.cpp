#include "tools/multipart_form.h"

#include "base/errors.h"
#include "base/text.h"

namespace quirada::local_platform {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Moves `pos` past the next ';' that is not inside a quoted string (or to the end).
void SkipPastSemicolon(std::string_view s, size_t& pos) {
  bool quoted = false;
  for (; pos < s.size(); ++pos) {
    if (s[pos] == '"') quoted = !quoted;
    else if (s[pos] == ';' && !quoted) {
      ++pos;
      return;
    }
  }
}

}  // namespace

std::optional<std::string> HeaderParameter(std::string_view header_value, std::string_view name) {
  size_t pos = 0;
  SkipPastSemicolon(header_value, pos);  // the value itself ("form-data", the media type)
  while (pos < header_value.size()) {
    const size_t start = pos;
    const size_t equals = header_value.find('=', pos);
    size_t semicolon = header_value.find(';', pos);
    if (equals == std::string_view::npos || (semicolon != std::string_view::npos && semicolon < equals)) {
      SkipPastSemicolon(header_value, pos);  // a parameter without a value
      continue;
    }
    const std::string_view key = Trim(header_value.substr(start, equals - start));
    pos = equals + 1;
    while (pos < header_value.size() && (header_value[pos] == ' ' || header_value[pos] == '\t')) ++pos;
    std::string value;
    if (pos < header_value.size() && header_value[pos] == '"') {
      const size_t close = header_value.find('"', pos + 1);
      if (close == std::string_view::npos) return std::nullopt;  // unterminated quoted string
      value = std::string(header_value.substr(pos + 1, close - pos - 1));
      pos = close + 1;
      SkipPastSemicolon(header_value, pos);
    } else {
      const size_t end = header_value.find(';', pos);
      value = std::string(Trim(header_value.substr(pos, end == std::string_view::npos ? end : end - pos)));
      pos = end == std::string_view::npos ? header_value.size() : end + 1;
    }
    if (EqualsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

std::vector<FormPart> ParseMultipartForm(std::string_view content_type, std::string_view body) {
  const std::string_view media_type = Trim(content_type.substr(0, content_type.find(';')));
  if (!EqualsIgnoringCase(media_type, "multipart/form-data"))
    throw Exception("the content type is not multipart/form-data");
  const std::optional<std::string> boundary = HeaderParameter(content_type, "boundary");
  if (!boundary || boundary->empty()) throw Exception("the content type names no boundary");
  const std::string delimiter = "--" + *boundary;
  const std::string next_delimiter = "\r\n" + delimiter;

  size_t pos;
  if (body.starts_with(delimiter)) {
    pos = 0;
  } else {
    pos = body.find(next_delimiter);  // after a preamble
    if (pos == std::string_view::npos) throw Exception("the body has no opening delimiter");
    pos += 2;
  }

  std::vector<FormPart> parts;
  for (;;) {
    pos += delimiter.size();
    if (body.substr(pos, 2) == "--") return parts;  // the closing delimiter
    while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
    if (body.substr(pos, 2) != "\r\n") throw Exception("a delimiter line does not end with CR LF");
    pos += 2;

    std::string_view headers;
    size_t data_start;
    if (body.substr(pos, 2) == "\r\n") {
      data_start = pos + 2;  // a part without headers
    } else {
      const size_t headers_end = body.find("\r\n\r\n", pos);
      if (headers_end == std::string_view::npos) throw Exception("a part's headers do not end");
      headers = body.substr(pos, headers_end + 2 - pos);
      data_start = headers_end + 4;
    }
    const size_t data_end = body.find(next_delimiter, data_start);
    if (data_end == std::string_view::npos) throw Exception("the body has no closing delimiter");

    FormPart part;
    part.data = body.substr(data_start, data_end - data_start);
    for (size_t line_start = 0; line_start < headers.size();) {
      const size_t line_end = headers.find("\r\n", line_start);
      const std::string_view line = headers.substr(line_start, line_end - line_start);
      line_start = line_end + 2;
      const size_t colon = line.find(':');
      if (colon == std::string_view::npos) throw Exception("a part has a header line without a colon");
      if (!EqualsIgnoringCase(Trim(line.substr(0, colon)), "Content-Disposition")) continue;
      const std::string_view value = Trim(line.substr(colon + 1));
      part.name = HeaderParameter(value, "name").value_or("");
      part.filename = HeaderParameter(value, "filename");
    }
    parts.push_back(std::move(part));
    pos = data_end + 2;
  }
}

}  // namespace quirada::local_platform
