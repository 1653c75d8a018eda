// Reading a multipart/form-data request body (RFC 7578, RFC 2046): the boundary from the
// Content-Type header, then each part's headers and bytes.
//
// Parts keep views into the body, so the body must outlive them. A part's data is exactly the bytes
// between the empty line after its headers and the CR LF that starts the next delimiter. Anything
// that does not follow the layout (no boundary, no opening delimiter, a part without the empty line
// after its headers, no closing delimiter) raises quirada::Exception with a short reason.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quirada::local_platform {

struct FormPart {
  std::string name;                     // the Content-Disposition "name" parameter
  std::optional<std::string> filename;  // the "filename" parameter, when there is one
  std::string_view data;
};

// The value of parameter `name` (letter case ignored) in a header value such as
// `multipart/form-data; boundary=xyz` or `form-data; name="a"`; quotes removed.
std::optional<std::string> HeaderParameter(std::string_view header_value, std::string_view name);

// Parses `body` as sent with the Content-Type header value `content_type`.
std::vector<FormPart> ParseMultipartForm(std::string_view content_type, std::string_view body);

}  // namespace quirada::local_platform
