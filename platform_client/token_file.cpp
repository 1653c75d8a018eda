#include "platform_client/token_file.h"

#include <cmath>
#include <cerrno>

#include "base/file_io.h"
#include "base/platform.h"
#include "base/text.h"
#include "platform_client/io_error.h"

namespace quirada {

namespace {

constexpr uint32_t kTokenFileMode = 0600;
// The largest token file the largest token can make: the platform's answers are taken up to 1 MiB
// (http_client.h), so no token it sends is longer. Anything larger is not a token file.
constexpr uint64_t kTokenFileMaxBytes = 1024 * 1024;

}  // namespace

std::optional<std::vector<std::string>> ReadTokenFileLines(const std::string& path) {
  // Only a file this user wrote is trusted: not a link, nothing another user planted, nothing
  // larger than a token file. Looked at first (a FIFO is never opened), then opened without
  // following a link and judged again by what was opened.
  const auto info = GetFileInfo(path, false);
  if (!info || !info->IsRegular() || !info->owned || info->size > kTokenFileMaxBytes)
    return std::nullopt;

  std::string bytes;
  try {
    File file = File::OpenForReading(path, Links::kRefuse);
    const FileInfo opened = file.Info();
    if (!opened.IsRegular() || !opened.owned || opened.size > kTokenFileMaxBytes) return std::nullopt;
    bytes = ReadToEnd(file, kTokenFileMaxBytes);
  } catch (const FileError& e) {
    if (e.error() == EFBIG || e.error() == ELOOP) return std::nullopt;  // grew or turned meanwhile
    if (e.error() == ENOENT) return std::nullopt;                       // gone meanwhile
    ThrowInOutError(e.error());
  }

  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(AnsiToUtf8(std::string_view(bytes).substr(start)));
      break;
    }
    lines.push_back(AnsiToUtf8(std::string_view(bytes).substr(start, end - start)));
    start = end + (bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1);
  }
  return lines;
}

std::optional<std::string> TokenEntryValue(std::string_view line, std::string_view key) {
  if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != '=')
    return std::nullopt;
  return std::string(line.substr(key.size() + 1));
}

TDateTime IncSecondExact(TDateTime value, long long seconds) {
  constexpr double kMsPerDay = 24.0 * 60 * 60 * 1000;
  const long long ms = std::llround(value * kMsPerDay) + seconds * 1000;
  return static_cast<double>(ms) / kMsPerDay;
}

void WriteTokenFile(const std::string& path, const std::string& access_token,
                    long long lifetime_seconds) {
  std::string text = "access_token=" + Utf8ToAnsi(access_token) + "\r\n";
  text += "data=" + DateToStr(Date()) + "\r\n";
  text += "hora=" + TimeToStr(IncSecondExact(Now(), lifetime_seconds)) + "\r\n";
  text += "ExpiraData=" + DateTimeToStr(IncSecondExact(Now(), lifetime_seconds)) + "\r\n";

  try {
    // Whatever stands in the way and is no token file of this user's makes room: a folder is put
    // aside, a link is replaced as itself (never what it leads to), nothing is removed whole. When
    // that cannot be done, the message says what is in the way.
    try {
      MakeRoomFor(path);
    } catch (const FileError& e) {
      throw Exception(e.what());
    }
    ReplaceFile(path, text, kTokenFileMode);
  } catch (const FileError& e) {
    ThrowInOutError(e.error());
  }
}

void DiscardRejectedTokenFile(const std::string& path, int status) {
  if (status == 401) RemoveFile(path);
}

}  // namespace quirada
