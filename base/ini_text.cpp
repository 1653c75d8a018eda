#include "base/ini_text.h"

#include "base/text.h"

namespace quirada {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && Blank(s[b])) ++b;
  while (e > b && Blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// UTF-8 text with every sequence that does not decode made U+FFFD.
std::string SanitizedUtf8(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t at = i;
    uint32_t cp = 0;
    if (DecodeUtf8At(bytes, at, cp)) {
      out.append(bytes.substr(i, at - i));
    } else {
      out += kReplacementCharacter;
    }
    i = at;
  }
  return out;
}

// The file's text in UTF-8, its byte-order mark left out.
std::string Decode(std::string_view bytes, IniEncoding& encoding) {
  if (bytes.starts_with(kUtf8Mark)) {
    encoding = IniEncoding::kUtf8WithMark;
    return SanitizedUtf8(bytes.substr(kUtf8Mark.size()));
  }
  if (bytes.starts_with(kUtf16LeMark)) {
    encoding = IniEncoding::kUtf16Le;
    return Utf16ToUtf8(bytes.substr(kUtf16LeMark.size()), false);
  }
  if (bytes.starts_with(kUtf16BeMark)) {
    encoding = IniEncoding::kUtf16Be;
    return Utf16ToUtf8(bytes.substr(kUtf16BeMark.size()), true);
  }
  if (IsValidUtf8(bytes)) {
    encoding = IniEncoding::kUtf8;
    return std::string(bytes);
  }
  encoding = IniEncoding::kAnsi;
  return AnsiToUtf8(bytes);
}

// Names compared without regard to case: ASCII letters and the accented capitals of ISO-8859-1
// (U+00C0 to U+00DE but the sign U+00D7) folded to small letters, on UTF-8 text.
std::string FoldName(std::string_view utf8) {
  std::string s(Trim(utf8));
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 'A' && c <= 'Z') {
      s[i] = static_cast<char>(c + 32);
    } else if (c == 0xC3 && i + 1 < s.size()) {
      const auto next = static_cast<unsigned char>(s[++i]);
      if (next >= 0x80 && next <= 0x9E && next != 0x97) s[i] = static_cast<char>(next + 32);
    }
  }
  return s;
}

// A value as the profile functions give it: blanks around it dropped, then one pair of enclosing
// double quotes, then everything after its 2047th character.
std::string ValueOf(std::string_view raw) {
  std::string_view value = Trim(raw);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  std::size_t chars = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if ((static_cast<unsigned char>(value[i]) & 0xC0) == 0x80) continue;  // inside a character
    if (chars++ == kIniValueMaxChars) return std::string(value.substr(0, i));
  }
  return std::string(value);
}

}  // namespace

std::string IniEncodingName(IniEncoding encoding) {
  switch (encoding) {
    case IniEncoding::kUtf8:
      return "UTF-8";
    case IniEncoding::kUtf8WithMark:
      return "UTF-8 com marca de ordem de bytes";
    case IniEncoding::kUtf16Le:
      return "UTF-16 LE";
    case IniEncoding::kUtf16Be:
      return "UTF-16 BE";
    case IniEncoding::kAnsi:
      break;
  }
  return AnsiCodePageName();
}

IniText ParseIni(std::string_view bytes) {
  IniText ini;
  std::string text = Decode(bytes, ini.encoding);
  std::erase(text, '\0');

  std::string section;
  bool in_section = false;
  bool section_read = false;  // the current section is the first of its name
  std::vector<std::string> seen;  // folded names of the sections met so far
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
    start = end + (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n' ? 2 : 1);

    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']', 1);
      if (close == std::string_view::npos) continue;
      section = std::string(Trim(line.substr(1, close - 1)));
      in_section = true;
      std::string folded = FoldName(section);
      section_read = true;
      for (const std::string& name : seen) section_read = section_read && name != folded;
      if (section_read) seen.push_back(std::move(folded));
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    IniEntry entry{section, std::string(Trim(line.substr(0, equals))),
                   ValueOf(line.substr(equals + 1))};
    if (!in_section) {
      entry.place = IniPlace::kBeforeAnySection;
    } else if (!section_read) {
      entry.place = IniPlace::kRepeatedSection;
    }
    ini.entries.push_back(std::move(entry));
  }
  return ini;
}

std::string IniText::Value(std::string_view section, std::string_view key,
                           const std::string& default_value) const {
  return IniValue(entries, section, key, default_value);
}

std::string IniValue(const std::vector<IniEntry>& entries, std::string_view section,
                     std::string_view key, const std::string& default_value) {
  const std::string wanted_section = FoldName(section);
  const std::string wanted_key = FoldName(key);
  for (const IniEntry& entry : entries) {
    if (entry.place == IniPlace::kRead && FoldName(entry.section) == wanted_section &&
        FoldName(entry.key) == wanted_key)
      return entry.value;
  }
  return default_value;
}

}  // namespace quirada
