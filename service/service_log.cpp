#include "service/service_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "service/errors.h"
#include "service/platform.h"
#include "service/text.h"

namespace quirada {
namespace {

enum class Encoding { kAnsi, kUtf8, kUtf16Le, kUtf16Be };

const std::string kBomUtf8 = "\xEF\xBB\xBF";
const std::string kBomUtf16Le = "\xFF\xFE";
const std::string kBomUtf16Be = "\xFE\xFF";

// Closes a POSIX file descriptor on every path.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::string SystemError(int err) { return std::strerror(err); }

void WriteAll(int fd, const std::string& data, const std::string& path) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Exception("Cannot write file \"" + path + "\". " + SystemError(errno));
    }
    done += static_cast<size_t>(n);
  }
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception("Cannot open file \"" + path + "\". " + SystemError(errno));
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) throw Exception("Cannot read file \"" + path + "\". " + SystemError(errno));
  return ss.str();
}

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

// Writes `content` to a new file beside `path` and renames it over `path`.
void ReplaceFile(const std::string& path, const std::string& content) {
  mode_t mode = 0644;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  std::string tmp = path + ".XXXXXX";
  std::vector<char> tmpl(tmp.begin(), tmp.end());
  tmpl.push_back('\0');
  Fd fd(::mkstemp(tmpl.data()));
  if (fd.get() < 0) throw Exception("Cannot create file \"" + path + "\". " + SystemError(errno));
  tmp.assign(tmpl.data());
  try {
    WriteAll(fd.get(), content, path);
    if (::fchmod(fd.get(), mode) != 0 || ::fsync(fd.get()) != 0)
      throw Exception("Cannot write file \"" + path + "\". " + SystemError(errno));
    if (::close(fd.release()) != 0)
      throw Exception("Cannot write file \"" + path + "\". " + SystemError(errno));
    if (::rename(tmp.c_str(), path.c_str()) != 0)
      throw Exception("Cannot create file \"" + path + "\". " + SystemError(errno));
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
}

// Adds one line at the end of a file whose content could not be read, leaving the rest untouched.
void AppendOnly(const std::string& path, const std::string& line) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0) throw Exception("Cannot open file \"" + path + "\". " + SystemError(errno));
  WriteAll(fd.get(), Utf8ToLatin1(line) + "\r\n", path);
}

}  // namespace

std::string ServiceLogPath() { return ExecutableDir() + kServiceLogName; }

void SaveLogLine(const std::string& path, const std::string& message, TDateTime now) {
  const std::string stamp = FormatLogStamp(now) + " - ";
  std::vector<std::string> lines;
  Encoding enc = Encoding::kAnsi;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    std::string text;
    try {
      text = Decode(ReadWhole(path), enc);
    } catch (const std::exception& e) {
      AppendOnly(path, stamp + e.what());
      return;
    }
    lines = SplitLines(text);
  }
  lines.push_back(stamp + message);

  std::string utf8;
  for (const auto& line : lines) utf8 += line + "\r\n";
  ReplaceFile(path, Bom(enc) + Encode(utf8, enc));
}

}  // namespace quirada
