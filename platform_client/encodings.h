// Small text encodings of the platform client's requests.
//
// FormEncode: the form encoding of one name or value of an "application/x-www-form-urlencoded"
// body: a blank becomes "+", ASCII letters, digits and "*-._" stay as they are, every other byte of
// the UTF-8 text becomes "%" and two upper-case hexadecimal digits.
// PathSegmentEncode: one segment of a request path: ASCII letters, digits and "-._~" stay as they
// are, every other byte becomes "%" and two upper-case hexadecimal digits (so "/", "?", "#" and
// "%" can never change which resource is asked for).
// Base64Encode: RFC 4648 Base64 with padding, as HTTP Basic authentication (RFC 7617) wants it.
#pragma once

#include <string>
#include <string_view>

namespace quirada {

std::string FormEncode(std::string_view utf8);
std::string PathSegmentEncode(std::string_view bytes);
std::string Base64Encode(std::string_view bytes);

}  // namespace quirada
