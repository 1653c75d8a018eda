#include "dispatch/ini_file.h"

#include <ini.h>

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <mutex>
#include <optional>

#include "base/errors.h"
#include "base/file_io.h"
#include "base/text.h"

namespace quirada {
namespace {

// Far above any configuration written by hand.
constexpr uint64_t kIniMaxBytes = 1024 * 1024;

// Longest physical line handed to inih; the rest of a longer line is dropped. Far above any key,
// section or the 2047 characters a value keeps, so the cut never reaches a value that is kept.
constexpr std::size_t kMaxLineChars = 64 * 1024;

// inih's defaults split a line longer than its 200-byte buffer into pieces and parse each piece as a
// line of its own, so the tail of a long value could turn into a key. Its heap buffer is made to
// grow up to kMaxLineChars, and ReadLine below never hands it a longer line, so no line is split.
// Continuation lines and inline comments are not part of the format the service reads.
void ConfigureInih() {
  static std::once_flag once;
  std::call_once(once, [] {
    ini_use_stack = false;
    ini_allow_realloc = true;
    ini_max_line = static_cast<int>(kMaxLineChars + 16);
    ini_allow_multiline = false;
    ini_allow_inline_comments = false;
    ini_stop_on_first_error = false;
  });
}

// Feeds inih one physical line at a time, fgets-style: at most kMaxLineChars characters, always
// ended by '\n', NUL bytes left out (inih measures lines with strlen).
struct LineSource {
  std::string_view text;  // what is left of the file
  std::string line;
  std::size_t pos = 0;

  bool FillNextLine() {
    line.clear();
    pos = 0;
    if (text.empty()) return false;
    while (!text.empty()) {
      const char c = text.front();
      text.remove_prefix(1);
      if (c == '\n') break;
      if (c == '\0' || line.size() >= kMaxLineChars) continue;
      line.push_back(c);
    }
    line.push_back('\n');
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

// ISO-8859-1 letters compared without regard to case (ASCII and the accented letters).
char FoldLatin1(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 'A' && u <= 'Z') return static_cast<char>(u + 32);
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<char>(u + 32);
  return c;
}

std::string TrimBlanks(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
  std::size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

std::string NameKey(std::string_view latin1) {
  std::string s = TrimBlanks(latin1);
  std::transform(s.begin(), s.end(), s.begin(), FoldLatin1);
  return s;
}

struct Lookup {
  std::string section;  // folded, ISO-8859-1
  std::string key;      // folded, ISO-8859-1
  std::optional<std::string> value;
};

int OnEntry(void* user, const char* section, const char* name, const char* value) {
  auto* lookup = static_cast<Lookup*>(user);
  if (lookup->value || !name || !value) return 1;
  if (NameKey(section) == lookup->section && NameKey(name) == lookup->key) lookup->value = value;
  return 1;
}

}  // namespace

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& default_value) {
  ConfigureInih();
  // A missing file gives the defaults; anything else that is no plain file of a sane size (a
  // FIFO or a device would never end) fails at once, naming it.
  const auto info = GetFileInfo(path);
  if (!info) return default_value;
  if (!info->IsRegular())
    throw Exception("O arquivo de configuração \"" + path + "\" não é um arquivo comum");
  std::string text;
  try {
    text = ReadWholeFile(path, kIniMaxBytes);
  } catch (const FileError& e) {
    if (e.error() == EFBIG)
      throw Exception("O arquivo de configuração \"" + path + "\" tem mais de " +
                      std::to_string(kIniMaxBytes) + " bytes");
    return default_value;  // an unreadable file counts as missing
  }

  Lookup lookup{NameKey(Utf8ToLatin1(section)), NameKey(Utf8ToLatin1(key)), std::nullopt};
  LineSource source;
  source.text = text;
  const int rc = ini_parse_stream(ReadLine, &source, OnEntry, &lookup);
  // rc > 0 names the first line inih could not parse; such lines are ignored, as the classic
  // reader ignores them. -1 and -2 are open and memory failures.
  if (rc < 0 || !lookup.value) return default_value;

  std::string value = TrimBlanks(*lookup.value);
  if (value.size() > kIniValueMaxChars) value.resize(kIniValueMaxChars);
  return Latin1ToUtf8(value);
}

}  // namespace quirada
