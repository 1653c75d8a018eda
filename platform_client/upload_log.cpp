// Gravalog: the optional upload log, one dated line per batch the platform created.
//
// Line: "Data: <dd/mm/yyyy hh:nn:ss> Chave: <file name> ID: <batch id>" (the time left out at exact
// midnight), ISO-8859-1, ended by CR LF. The folder tree of CaminhoArqLOG is created when missing.
// An existing log whose last 128 bytes hold an end-of-file mark (byte 26) is cut at the first one
// before the line is appended.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform_client/Quirada.h"
#include "platform_client/io_error.h"
#include "platform_client/path_parts.h"
#include "service/errors.h"
#include "service/text.h"

namespace quirada {
namespace {

constexpr char kEndOfFileMark = 26;
constexpr off_t kEndOfFileWindow = 128;

// Creates the folder and every missing folder above it.
void ForceDirectories(const std::string& folder) {
  std::string dir = folder;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty() || dir == "/") return;
  std::error_code ec;
  if (std::filesystem::is_directory(dir, ec)) return;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) throw Exception("Unable to create directory");
}

// Opens an existing log for appending, cut at an end-of-file mark near its end.
int OpenForAppend(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) ThrowInOutError(errno);
  auto fail = [fd](int error) {
    ::close(fd);
    ThrowInOutError(error);
  };
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size < 0) fail(errno);
  const off_t start = std::max<off_t>(0, size - kEndOfFileWindow);
  char tail[kEndOfFileWindow];
  const ssize_t n = ::pread(fd, tail, static_cast<size_t>(size - start), start);
  if (n < 0) fail(errno);
  const char* mark = std::find(tail, tail + n, kEndOfFileMark);
  if (mark != tail + n && ::ftruncate(fd, start + (mark - tail)) != 0) fail(errno);
  if (::lseek(fd, 0, SEEK_END) < 0) fail(errno);
  return fd;
}

}  // namespace

void TDTQuirada::Gravalog(const std::string& Chave, const std::string& ID) {
  if (!FGravarLog) return;

  const std::string folder = FolderPart(FCaminhoLog);
  if (folder.empty()) throw Exception("Unable to create directory");
  ForceDirectories(LocalPath(folder));

  const std::string NomeArquivo = LocalPath(FCaminhoLog);
  struct stat st {};
  const bool exists = ::stat(NomeArquivo.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  const int Arquivo =
      exists ? OpenForAppend(NomeArquivo)
             : ::open(NomeArquivo.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Arquivo < 0) ThrowInOutError(errno);

  const std::string line =
      Utf8ToLatin1("Data: " + DateTimeToStr(Now()) + " Chave: " + Chave + " ID: " + ID) + "\r\n";
  int error = 0;
  size_t written = 0;
  while (written < line.size() && error == 0) {
    const ssize_t n = ::write(Arquivo, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    else if (n == 0) error = ENOSPC;
    else written += static_cast<size_t>(n);
  }
  if (::close(Arquivo) != 0 && error == 0) error = errno;
  if (error != 0) ThrowInOutError(error);
}

}  // namespace quirada
