// The INI file's text parsed with inih.
#include <ini.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>

#include "dispatch/ini_text.h"

namespace quirada {
namespace {

// The longest text a 1 MiB file can decode to (a byte that is not UTF-8 in a file with the
// byte-order mark becomes the three bytes of U+FFFD), so the longest line inih can be handed.
constexpr std::size_t kMaxTextBytes = 3 * 1024 * 1024;

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
    while (!s.empty() && IniBlank(s.front())) s.remove_prefix(1);
    if (!s.empty() && s.front() == '[') {
      const std::size_t close = s.find(']', 1);
      if (close != std::string_view::npos) section = IniTrim(s.substr(1, close - 1));
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
  source->entries->push_back({source->section, std::string(IniTrim(name)), IniValue(value)});
  return 1;
}

}  // namespace

std::vector<IniEntry> ParseIniText(const std::string& text) {
  ConfigureInih();
  std::vector<IniEntry> entries;
  LineSource source;
  source.text = text;
  source.entries = &entries;
  // A positive result names the first line inih could not parse; such lines are ignored, as the
  // classic reader ignores them. -2 is a memory failure, and then nothing counts.
  if (ini_parse_stream(ReadLine, &source, OnEntry, &source) < 0) entries.clear();
  return entries;
}

}  // namespace quirada
