#include "dispatch/ini_file.h"

#include <ini.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>

#include "base/errors.h"
#include "base/file_io.h"
#include "base/text.h"

namespace quirada {
namespace {

// Far above any configuration written by hand.
constexpr uint64_t kIniMaxBytes = 1024 * 1024;

// The longest text a file can decode to (a byte that is not UTF-8 in a file with the byte-order
// mark becomes the three bytes of U+FFFD), so the longest line inih can be handed.
constexpr std::size_t kMaxTextBytes = 3 * kIniMaxBytes;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

// inih's defaults split a line longer than its 200-byte buffer into pieces and parse each piece as a
// line of its own, so the tail of a long value could turn into a key. Its heap buffer is made to
// grow up to the longest text a file can give, so no line is ever split and a value keeps its
// closing quote however long it is. The byte-order mark is taken off before inih sees the text.
// Continuation lines and inline comments are not part of the format the service reads.
void ConfigureInih() {
  static std::once_flag once;
  std::call_once(once, [] {
    ini_use_stack = false;
    ini_allow_realloc = true;
    ini_max_line = static_cast<int>(kMaxTextBytes + 16);
    ini_allow_bom = false;
    ini_allow_multiline = false;
    ini_allow_inline_comments = false;
    ini_stop_on_first_error = false;
  });
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view TrimBlanks(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

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
  return Latin1ToUtf8(bytes);
}

// Section and key names compared without regard to case: ASCII letters and the accented capitals
// of ISO-8859-1 (U+00C0 to U+00DE but the sign U+00D7) folded to small letters, on UTF-8 text.
std::string FoldName(std::string_view utf8) {
  std::string s(TrimBlanks(utf8));
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

// A value as the classic reader gives it: blanks around it dropped, then one pair of enclosing
// double quotes, then everything after its 2047th character.
std::string ValueOf(std::string_view raw) {
  std::string_view value = TrimBlanks(raw);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
  std::size_t chars = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if ((static_cast<unsigned char>(value[i]) & 0xC0) == 0x80) continue;  // inside a character
    if (chars++ == kIniValueMaxChars) return std::string(value.substr(0, i));
  }
  return std::string(value);
}

// Feeds inih one physical line at a time, fgets-style: always ended by '\n', NUL bytes left out
// (inih measures lines with strlen). It also follows the sections itself, by inih's own rule (the
// first non-blank character is '[' and a ']' follows), since inih cuts section names at 49 bytes.
struct LineSource {
  std::string_view text;  // what is left of the file
  std::string line;
  std::size_t pos = 0;
  std::string section;  // of the line last read
  std::vector<IniEntry>* entries = nullptr;

  bool FillNextLine() {
    line.clear();
    pos = 0;
    if (text.empty()) return false;
    const std::size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    for (char c : raw)
      if (c != '\0') line.push_back(c);
    line.push_back('\n');

    std::string_view s = line;
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    if (!s.empty() && s.front() == '[') {
      const std::size_t close = s.find(']', 1);
      if (close != std::string_view::npos) section = TrimBlanks(s.substr(1, close - 1));
    }
    return true;
  }
};

char* ReadLine(char* str, int num, void* stream) {
  auto* source = static_cast<LineSource*>(stream);
  if (num < 2) return nullptr;
  if (source->pos >= source->line.size() && !source->FillNextLine()) return nullptr;
  const std::size_t room = static_cast<std::size_t>(num - 1);
  std::size_t n = std::min(room, source->line.size() - source->pos);
  std::memcpy(str, source->line.data() + source->pos, n);
  str[n] = '\0';
  source->pos += n;
  return str;
}

// inih calls this while the line it parses is LineSource's current line.
int OnEntry(void* user, const char* /*section: cut by inih*/, const char* name, const char* value) {
  auto* source = static_cast<LineSource*>(user);
  if (!name || !value) return 1;
  source->entries->push_back({source->section, std::string(TrimBlanks(name)), ValueOf(value)});
  return 1;
}

}  // namespace

IniFileContents ReadIniFile(const std::string& path) {
  ConfigureInih();
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
  LineSource source;
  source.text = text;
  source.entries = &contents.entries;
  // A positive result names the first line inih could not parse; such lines are ignored, as the
  // classic reader ignores them. -2 is a memory failure, and then nothing counts.
  if (ini_parse_stream(ReadLine, &source, OnEntry, &source) < 0) contents.entries.clear();
  return contents;
}

std::vector<IniEntry> ReadIniEntries(const std::string& path) { return ReadIniFile(path).entries; }

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& default_value) {
  const std::string wanted_section = FoldName(section);
  const std::string wanted_key = FoldName(key);
  for (const IniEntry& entry : ReadIniFile(path).entries) {
    if (FoldName(entry.section) == wanted_section && FoldName(entry.key) == wanted_key) return entry.value;
  }
  return default_value;
}

}  // namespace quirada
