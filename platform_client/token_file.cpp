#include "platform_client/token_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "platform_client/io_error.h"
#include "service/text.h"

namespace quirada {

std::optional<std::vector<std::string>> ReadTokenFileLines(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) ThrowInOutError(errno);
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      ThrowInOutError(error);
    }
  }
  ::close(fd);

  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(Latin1ToUtf8(std::string_view(bytes).substr(start)));
      break;
    }
    lines.push_back(Latin1ToUtf8(std::string_view(bytes).substr(start, end - start)));
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
  std::string text = "access_token=" + Utf8ToLatin1(access_token) + "\r\n";
  text += "data=" + DateToStr(Date()) + "\r\n";
  text += "hora=" + TimeToStr(IncSecondExact(Now(), lifetime_seconds)) + "\r\n";
  text += "ExpiraData=" + DateTimeToStr(IncSecondExact(Now(), lifetime_seconds)) + "\r\n";

  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) ThrowInOutError(errno);
  auto fail = [&](int error) {
    ::close(fd);
    ::unlink(temp.c_str());
    ThrowInOutError(error);
  };
  if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) fail(errno);
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(n < 0 ? errno : ENOSPC);
    written += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    ThrowInOutError(error);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    ThrowInOutError(error);
  }
}

void DiscardRejectedTokenFile(const std::string& path, int status) {
  if (status == 401) ::unlink(path.c_str());
}

}  // namespace quirada
