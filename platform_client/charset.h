// Decoding of HTTP answer bodies into the program's UTF-8 text.
//
// The charset is the one that the answer's Content-Type names; names are matched without regard to
// letter case. Known: UTF-8, ISO-8859-1 (and its aliases, US-ASCII among them), Windows-1252,
// UTF-16, UTF-16LE and UTF-16BE. An answer that names no charset, or one not listed here, is decoded
// with the operation's default. UTF-8 text passes through byte for byte (a leading byte-order mark is
// dropped); every Latin-1 byte becomes one character.
#pragma once

#include <string>
#include <string_view>

namespace quirada {

enum class DefaultCharset { kLatin1, kUtf8 };

// The value of the "charset" parameter of a Content-Type header value, quotes removed; empty when
// there is none.
std::string CharsetOfContentType(std::string_view content_type);

std::string DecodeBody(std::string_view body, std::string_view charset, DefaultCharset fallback);

}  // namespace quirada
