#include "dispatch/ini_file.h"

#include <cerrno>
#include <string_view>

#include "base/errors.h"
#include "base/file_io.h"
#include "base/text.h"
#include "dispatch/ini_text.h"

namespace quirada {
namespace {

// Far above any configuration written by hand.
constexpr uint64_t kIniMaxBytes = 1024 * 1024;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

// The number of bytes of the UTF-8 sequence that `lead` starts (1 for a byte that starts none).
std::size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// UTF-8 text with every byte that is not part of a valid sequence replaced by U+FFFD.
std::string SanitizedUtf8(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t n = SequenceLength(static_cast<unsigned char>(bytes[i]));
    const std::string_view sequence = bytes.substr(i, n);
    if (sequence.size() == n && IsValidUtf8(sequence)) {
      out += sequence;
      i += n;
    } else {
      out += kReplacementCharacter;
      ++i;
    }
  }
  return out;
}

// The file's text in UTF-8, its byte-order mark left out.
std::string DecodeText(std::string_view bytes, IniEncoding& encoding) {
  if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    encoding = IniEncoding::kUtf8;
    return SanitizedUtf8(bytes.substr(kByteOrderMark.size()));
  }
  if (IsValidUtf8(bytes)) {
    encoding = IniEncoding::kUtf8;
    return std::string(bytes);
  }
  encoding = IniEncoding::kLatin1;
  return AnsiToUtf8(bytes);  // ISO-8859-1 on Linux, the system's ANSI code page on Windows
}

// Section and key names compared without regard to case: ASCII letters and the accented capitals
// of ISO-8859-1 (U+00C0 to U+00DE but the sign U+00D7) folded to small letters, on UTF-8 text.
std::string FoldName(std::string_view utf8) {
  std::string s(IniTrim(utf8));
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

}  // namespace

bool IniBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view IniTrim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IniBlank(s[b])) ++b;
  while (e > b && IniBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string IniValue(std::string_view raw) {
  std::string_view value = IniTrim(raw);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
  std::size_t chars = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if ((static_cast<unsigned char>(value[i]) & 0xC0) == 0x80) continue;  // inside a character
    if (chars++ == kIniValueMaxChars) return std::string(value.substr(0, i));
  }
  return std::string(value);
}

IniFileContents ReadIniFile(const std::string& path) {
  IniFileContents contents;
  // A missing file has no entries; anything else that is no plain file of a sane size (a FIFO or
  // a device would never end) fails at once, naming it.
  const auto info = GetFileInfo(path);
  if (!info) return contents;
  if (!info->IsRegular())
    throw Exception("O arquivo de configuração \"" + path + "\" não é um arquivo comum");
  std::string bytes;
  try {
    bytes = ReadWholeFile(path, kIniMaxBytes);
  } catch (const FileError& e) {
    if (e.error() == EFBIG)
      throw Exception("O arquivo de configuração \"" + path + "\" tem mais de " +
                      std::to_string(kIniMaxBytes) + " bytes");
    return contents;  // an unreadable file counts as missing
  }

  IniEncoding encoding = IniEncoding::kUtf8;
  const std::string text = DecodeText(bytes, encoding);
  bytes.clear();
  contents.encoding = encoding;
  contents.entries = ParseIniText(text);
  return contents;
}

std::vector<IniEntry> ReadIniEntries(const std::string& path) { return ReadIniFile(path).entries; }

std::string IniFileContents::Value(const std::string& section, const std::string& key,
                                   const std::string& default_value) const {
  const std::string wanted_section = FoldName(section);
  const std::string wanted_key = FoldName(key);
  for (const IniEntry& entry : entries) {
    if (FoldName(entry.section) == wanted_section && FoldName(entry.key) == wanted_key) return entry.value;
  }
  return default_value;
}

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& default_value) {
  return ReadIniFile(path).Value(section, key, default_value);
}

}  // namespace quirada
