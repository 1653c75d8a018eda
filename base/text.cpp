#include "base/text.h"

#include <cstdint>

namespace quirada {

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

namespace {

// The end of the run of ASCII bytes that starts at `i` (text is mostly ASCII: copied by runs).
size_t AsciiRunEnd(std::string_view s, size_t i) {
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  return i;
}

bool DecodeUtf8(std::string_view s, size_t& i, uint32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    ++i;
    return true;
  }
  int extra;
  uint32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++i;
    return false;
  }
  if (i + extra >= s.size()) {
    ++i;
    return false;
  }
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return false;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return false;
  }
  i += extra + 1;
  return true;
}

// Code points of 0x80..0x9F; zero where the code page leaves the byte undefined.
constexpr uint16_t kWindows1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

}  // namespace

bool DecodeUtf8At(std::string_view s, size_t& i, uint32_t& cp) { return DecodeUtf8(s, i, cp); }

std::string ValidUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const size_t end = AsciiRunEnd(s, i);
    out.append(s, i, end - i);
    i = end;
    if (i == s.size()) break;
    const size_t start = i;
    uint32_t cp;
    if (DecodeUtf8(s, i, cp))
      out.append(s, start, i - start);
    else
      out += '?';
  }
  return out;
}

uint32_t Windows1252High(unsigned char b) {
  return b >= 0x80 && b <= 0x9F ? kWindows1252High[b - 0x80] : b;
}

int Windows1252Byte(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (int k = 0; k < 32; ++k)
    if (kWindows1252High[k] != 0 && kWindows1252High[k] == cp) return 0x80 + k;
  return -1;
}

bool IsWindows1252TextCharacter(uint32_t cp) {
  if (cp < 0x20) return cp == '\t' || cp == '\n' || cp == '\r';
  return cp != 0x7F && Windows1252Byte(cp) >= 0;
}

bool IsUtf8OfWindows1252Text(std::string_view bytes) {
  size_t i = AsciiRunEnd(bytes, 0);
  if (i == bytes.size()) return false;  // nothing beyond ASCII: no UTF-8 to tell
  for (size_t k = 0; k < i; ++k)
    if (!IsWindows1252TextCharacter(static_cast<unsigned char>(bytes[k]))) return false;
  while (i < bytes.size()) {
    uint32_t cp;
    if (!DecodeUtf8(bytes, i, cp) || !IsWindows1252TextCharacter(cp)) return false;
  }
  return true;
}

std::string Windows1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t end = AsciiRunEnd(bytes, i);
    out.append(bytes, i, end - i);
    if (end == bytes.size()) break;
    const auto b = static_cast<unsigned char>(bytes[end]);
    const uint32_t cp = Windows1252High(b);
    AppendUtf8(out, cp != 0 ? cp : b);
    i = end + 1;
  }
  return out;
}

std::string Latin1ToUtf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  size_t i = 0;
  while (i < latin1.size()) {
    const size_t end = AsciiRunEnd(latin1, i);
    out.append(latin1, i, end - i);
    if (end == latin1.size()) break;
    AppendUtf8(out, static_cast<unsigned char>(latin1[end]));
    i = end + 1;
  }
  return out;
}

std::string Utf8ToLatin1(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const size_t end = AsciiRunEnd(utf8, i);
    out.append(utf8, i, end - i);
    i = end;
    if (i == utf8.size()) break;
    uint32_t cp;
    if (DecodeUtf8(utf8, i, cp) && cp <= 0xFF)
      out += static_cast<char>(cp);
    else
      out += '?';
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  size_t i = 0;
  uint32_t cp;
  while ((i = AsciiRunEnd(bytes, i)) < bytes.size())
    if (!DecodeUtf8(bytes, i, cp)) return false;
  return true;
}

std::string Utf16ToUtf8(std::string_view bytes, bool big_endian) {
  std::string out;
  auto unit = [&](size_t k) -> uint32_t {
    const auto a = static_cast<unsigned char>(bytes[k]);
    const auto b = static_cast<unsigned char>(bytes[k + 1]);
    return big_endian ? (a << 8) | b : (b << 8) | a;
  };
  size_t k = 0;
  while (k + 1 < bytes.size()) {
    uint32_t u = unit(k);
    k += 2;
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < bytes.size()) {
      const uint32_t lo = unit(k);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        k += 2;
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = '?';
    AppendUtf8(out, u);
  }
  return out;
}

std::string Utf8ToUtf16(std::string_view utf8, bool big_endian) {
  std::string out;
  auto put = [&](uint32_t u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    if (big_endian) {
      out += hi;
      out += lo;
    } else {
      out += lo;
      out += hi;
    }
  };
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t cp;
    if (!DecodeUtf8(utf8, i, cp)) cp = '?';
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view Utf8Prefix(std::string_view utf8, size_t max_bytes) {
  if (utf8.size() <= max_bytes) return utf8;
  // Back to the start of the character that straddles the limit (at most three continuation bytes).
  const auto inside = [&](size_t i) { return (static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80; };
  size_t end = max_bytes;
  for (int i = 0; i < 3 && end > 0 && inside(end); ++i) --end;
  return utf8.substr(0, end);
}

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

size_t Utf8C1Length(std::string_view utf8, size_t at) {
  if (at + 1 >= utf8.size() || static_cast<unsigned char>(utf8[at]) != 0xC2) return 0;
  const auto second = static_cast<unsigned char>(utf8[at + 1]);
  return second >= 0x80 && second <= 0x9F ? 2 : 0;
}

std::string BlankControls(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const size_t start = i;
    uint32_t cp = 0;
    if (!DecodeUtf8(utf8, i, cp) || cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) {
      out += ' ';
    } else {
      out.append(utf8.substr(start, i - start));
    }
  }
  return out;
}

std::string LowerHex(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

uint64_t StableHash(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace quirada
