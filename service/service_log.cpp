#include "service/service_log.h"

#include <string_view>

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

// The message as it may go into the log: no byte of it can end its line or start another, no
// control character (C0 but TAB, DEL, C1) reaches the file, and no more than its first
// kMaxMessageBytes go in.
std::string SafeMessage(std::string_view message) {
  bool cut = false;
  if (message.size() > kMaxMessageBytes) {
    message = Utf8Prefix(message, kMaxMessageBytes);
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
    } else if (const size_t n = Utf8C1Length(message, i); n > 0) {
      safe += ' ';
      i += n - 1;
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
  bool odd_utf16 = false;       // UTF-16 whose last 16-bit unit lacks its second byte
};

// Fills `end` as it learns (the encoding first), so that a failure midway leaves what was known.
void ReadLogEnd(File& file, LogEnd& end) {
  const uint64_t size = file.Info().size;
  char head[3];
  const size_t head_size = size == 0 ? 0 : file.ReadAt(0, head, sizeof head);
  end.enc = EncodingOf(std::string_view(head, head_size));
  const uint64_t bom = Bom(end.enc).size();
  const std::string crlf = Encode("\r\n", end.enc);
  const uint64_t unit = crlf.size() / 2;
  end.odd_utf16 = unit == 2 && (size - bom) % 2 != 0;
  if (size <= bom) {
    end.ends_with_crlf = true;
  } else if (size - bom >= crlf.size() && !end.odd_utf16) {
    // In UTF-16 the CR LF must sit on whole 16-bit units.
    std::string tail(crlf.size(), '\0');
    const size_t got = file.ReadAt(size - crlf.size(), tail.data(), tail.size());
    end.ends_with_crlf = got == tail.size() && tail == crlf;
  }
  end.known = true;
}

// What goes before the new line so that it starts a line of its own: nothing after a CR LF; else
// the byte that completes a broken UTF-16 unit, then CR LF.
std::string Lead(const LogEnd& end) {
  if (!end.known || end.ends_with_crlf) return "";
  return (end.odd_utf16 ? std::string(1, '\0') : "") + Encode("\r\n", end.enc);
}

}  // namespace


void SaveLogLine(const std::string& path, const std::string& message, TDateTime now, Links links) {
  const std::string stamp = FormatLogStamp(now) + " - ";
  // Opened first: a log this process may not write is left as it is.
  File out = File::OpenForAppend(path, kNewLogMode, links);
  LogEnd end;
  std::string line;
  try {
    ReadLogEnd(out, end);
    line = stamp + SafeMessage(message) + "\r\n";
  } catch (const std::exception& e) {
    // The earlier content stays: the line carries the reading failure instead of the message.
    line = stamp + SafeMessage(e.what()) + "\r\n";
  }
  // One write at the end: the file stays the same file (its inode, owner, mode and links).
  out.Write(Lead(end) + Encode(line, end.enc));
  out.Close();
}

}  // namespace quirada
