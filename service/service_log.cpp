#include "service/service_log.h"

#include <limits>
#include <string_view>
#include <vector>

#include "base/file_io.h"
#include "base/platform.h"
#include "base/text.h"

namespace quirada {
namespace {

enum class Encoding { kAnsi, kUtf8, kUtf16Le, kUtf16Be };

const std::string kBomUtf8 = "\xEF\xBB\xBF";
const std::string kBomUtf16Le = "\xFF\xFE";
const std::string kBomUtf16Be = "\xFE\xFF";

// A log with no mode of its own yet gets this one, less the umask.
constexpr uint32_t kNewLogMode = 0640;

// Longest message (bytes of its UTF-8 text) that goes in whole; a longer one is cut and marked.
constexpr size_t kMaxMessageBytes = 8192;
constexpr std::string_view kCutMark = " [...]";
// What a line break inside a message becomes: the rest goes on an indented continuation line,
// which can never be taken for a stamped line.
constexpr std::string_view kContinuation = "\r\n  ";

// Splits at CR LF, lone LF and lone CR; a break at the very end makes no empty last line.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(current));
      current.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      current += c;
    }
  }
  if (!current.empty()) lines.push_back(std::move(current));
  return lines;
}

std::string Encode(const std::string& utf8, Encoding enc) {
  switch (enc) {
    case Encoding::kAnsi:
      return Utf8ToAnsi(utf8);
    case Encoding::kUtf8:
      return utf8;
    case Encoding::kUtf16Le:
      return Utf8ToUtf16(utf8, false);
    case Encoding::kUtf16Be:
      return Utf8ToUtf16(utf8, true);
  }
  return utf8;
}

std::string Bom(Encoding enc) {
  switch (enc) {
    case Encoding::kUtf8:
      return kBomUtf8;
    case Encoding::kUtf16Le:
      return kBomUtf16Le;
    case Encoding::kUtf16Be:
      return kBomUtf16Be;
    default:
      return "";
  }
}

// The encoding the first bytes of a file announce.
Encoding EncodingOf(std::string_view head) {
  if (head.starts_with(kBomUtf8)) return Encoding::kUtf8;
  if (head.starts_with(kBomUtf16Le)) return Encoding::kUtf16Le;
  if (head.starts_with(kBomUtf16Be)) return Encoding::kUtf16Be;
  return Encoding::kAnsi;
}

// Decodes the file's bytes into UTF-8 and tells which encoding they were in.
std::string Decode(const std::string& raw, Encoding& enc) {
  enc = EncodingOf(raw);
  const std::string_view text = std::string_view(raw).substr(Bom(enc).size());
  switch (enc) {
    case Encoding::kUtf8:
      return std::string(text);
    case Encoding::kUtf16Le:
      return Utf16ToUtf8(text, false);
    case Encoding::kUtf16Be:
      return Utf16ToUtf8(text, true);
    default:
      return AnsiToUtf8(text);
  }
}

// The message as it may go into the log: no byte of it can end its line or start another, and no
// more than its first kMaxMessageBytes go in.
std::string SafeMessage(std::string_view message) {
  bool cut = false;
  if (message.size() > kMaxMessageBytes) {
    // Back to the start of the character that straddles the limit (at most three continuation
    // bytes in UTF-8).
    auto inside = [&](size_t i) { return (static_cast<unsigned char>(message[i]) & 0xC0) == 0x80; };
    size_t end = kMaxMessageBytes;
    for (int i = 0; i < 3 && end > 0 && inside(end); ++i) --end;
    message = message.substr(0, end);
    cut = true;
  }
  std::string safe;
  safe.reserve(message.size() + kCutMark.size());
  for (size_t i = 0; i < message.size(); ++i) {
    const auto c = static_cast<unsigned char>(message[i]);
    if (c == '\r' || c == '\n') {
      safe += kContinuation;
      if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n') ++i;
    } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
      safe += ' ';
    } else {
      safe += static_cast<char>(c);
    }
  }
  if (cut) safe += kCutMark;
  return safe;
}

// What SaveLogLine learns of an existing log from its first and last bytes only.
struct LogEnd {
  Encoding enc = Encoding::kAnsi;
  bool known = false;           // both ends were read
  bool ends_with_crlf = false;  // or holds nothing after its byte-order mark
};

// Fills `end` as it learns (the encoding first), so that a failure midway leaves what was known.
void ReadLogEnd(const std::string& path, LogEnd& end) {
  File file = File::OpenForReading(path);
  const uint64_t size = file.Info().size;
  char head[3];
  const size_t head_size = file.ReadAt(0, head, sizeof head);
  end.enc = EncodingOf(std::string_view(head, head_size));
  const uint64_t bom = Bom(end.enc).size();
  const std::string crlf = Encode("\r\n", end.enc);
  const uint64_t unit = crlf.size() / 2;
  if (size <= bom) {
    end.ends_with_crlf = true;
  } else if (size - bom >= crlf.size() && (size - bom) % unit == 0) {
    // In UTF-16 the CR LF must sit on whole 16-bit units.
    std::string tail(crlf.size(), '\0');
    const size_t got = file.ReadAt(size - crlf.size(), tail.data(), tail.size());
    end.ends_with_crlf = got == tail.size() && tail == crlf;
  }
  end.known = true;
}

}  // namespace

std::string ServiceLogPath() { return ExecutableDir() + kServiceLogName; }

void SaveLogLine(const std::string& path, const std::string& message, TDateTime now) {
  const std::string stamp = FormatLogStamp(now) + " - ";
  const auto info = GetFileInfo(path);
  if (!info) {
    AppendToFile(path, Utf8ToAnsi(stamp + SafeMessage(message) + "\r\n"), kNewLogMode);
    return;
  }

  // Opened first: a log this process may not write is left as it is.
  File out = File::OpenForAppend(path, kNewLogMode);
  LogEnd end;
  std::string target;  // the file a mended log is written beside: a symbolic link stays a link
  std::string text;    // the whole content, decoded, only when the log must be mended
  Encoding enc = Encoding::kAnsi;
  try {
    ReadLogEnd(path, end);
    if (!end.ends_with_crlf) {
      const auto own = GetFileInfo(path, false);
      target = own && own->kind == FileInfo::Kind::kSymlink ? ResolvedPath(path) : path;
      text = Decode(ReadWholeFile(target, std::numeric_limits<uint64_t>::max()), enc);
    }
  } catch (const std::exception& e) {
    // The earlier content stays: the line with the reading failure is only added at the end, on a
    // line of its own when the log is known not to end with one.
    const std::string lead = end.known && !end.ends_with_crlf ? "\r\n" : "";
    out.Write(Encode(lead + stamp + SafeMessage(e.what()) + "\r\n", end.enc));
    out.Close();
    return;
  }

  const std::string line = stamp + SafeMessage(message) + "\r\n";
  if (end.ends_with_crlf) {
    out.Write(Encode(line, end.enc));  // one write at the end: the file stays the same file
    out.Close();
    return;
  }
  out.Close();
  std::string utf8;
  for (const auto& l : SplitLines(text)) utf8 += l + "\r\n";
  utf8 += line;
  ReplaceFile(target, Bom(enc) + Encode(utf8, enc), info->mode);
}

}  // namespace quirada
