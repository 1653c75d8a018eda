#include "service/service_log.h"

#include <limits>
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
      return Utf8ToLatin1(utf8);
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

// Decodes the file's bytes into UTF-8 and tells which encoding they were in.
std::string Decode(const std::string& raw, Encoding& enc) {
  if (raw.rfind(kBomUtf8, 0) == 0) {
    enc = Encoding::kUtf8;
    return raw.substr(3);
  }
  if (raw.rfind(kBomUtf16Le, 0) == 0) {
    enc = Encoding::kUtf16Le;
    return Utf16ToUtf8(raw.substr(2), false);
  }
  if (raw.rfind(kBomUtf16Be, 0) == 0) {
    enc = Encoding::kUtf16Be;
    return Utf16ToUtf8(raw.substr(2), true);
  }
  enc = Encoding::kAnsi;
  return Latin1ToUtf8(raw);
}

// A log with no mode of its own yet gets this one.
constexpr uint32_t kNewLogMode = 0644;

}  // namespace

std::string ServiceLogPath() { return ExecutableDir() + kServiceLogName; }

void SaveLogLine(const std::string& path, const std::string& message, TDateTime now) {
  const std::string stamp = FormatLogStamp(now) + " - ";
  std::vector<std::string> lines;
  Encoding enc = Encoding::kAnsi;
  uint32_t mode = kNewLogMode;
  if (const auto info = GetFileInfo(path)) {
    mode = info->mode;
    std::string text;
    try {
      text = Decode(ReadWholeFile(path, std::numeric_limits<uint64_t>::max()), enc);
    } catch (const std::exception& e) {
      // The earlier content stays: the line with the reading failure is only added at the end.
      AppendToFile(path, Utf8ToLatin1(stamp + e.what()) + "\r\n", kNewLogMode);
      return;
    }
    lines = SplitLines(text);
  }
  lines.push_back(stamp + message);

  std::string utf8;
  for (const auto& line : lines) utf8 += line + "\r\n";
  ReplaceFile(path, Bom(enc) + Encode(utf8, enc), mode);
}

}  // namespace quirada
