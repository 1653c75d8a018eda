#include "platform_client/encodings.h"

namespace quirada {

namespace {

bool AsciiAlphanumeric(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Every byte that is not `plain` as "%XY"; a blank as "+" when `blank_as_plus`.
template <typename Plain>
std::string PercentEncode(std::string_view bytes, Plain plain, bool blank_as_plus) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (plain(c)) {
      out += static_cast<char>(c);
    } else if (c == ' ' && blank_as_plus) {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

}  // namespace

std::string FormEncode(std::string_view utf8) {
  return PercentEncode(
      utf8,
      [](unsigned char c) { return AsciiAlphanumeric(c) || c == '*' || c == '-' || c == '.' || c == '_'; },
      true);
}

std::string PathSegmentEncode(std::string_view bytes) {
  return PercentEncode(
      bytes,
      [](unsigned char c) { return AsciiAlphanumeric(c) || c == '-' || c == '.' || c == '_' || c == '~'; },
      false);
}

std::string Base64Encode(std::string_view bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace quirada
