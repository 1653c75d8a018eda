#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "base/file_io.h"
#include "base/platform.h"

namespace quirada {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

[[noreturn]] void Raise(const char* what, const std::string& path, int error) {
  throw FileError(std::string(what) + " " + Quoted(ShownPath(path)) + ". " + SystemErrorText(error),
                  error);
}

FileInfo InfoOf(const struct stat& st) {
  FileInfo info;
  if (S_ISREG(st.st_mode)) {
    info.kind = FileInfo::Kind::kRegular;
  } else if (S_ISDIR(st.st_mode)) {
    info.kind = FileInfo::Kind::kDirectory;
  } else if (S_ISLNK(st.st_mode)) {
    info.kind = FileInfo::Kind::kSymlink;
  } else if (S_ISFIFO(st.st_mode)) {
    info.kind = FileInfo::Kind::kFifo;
  } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    info.kind = FileInfo::Kind::kDevice;
  } else if (S_ISSOCK(st.st_mode)) {
    info.kind = FileInfo::Kind::kSocket;
  }
  info.size = static_cast<uint64_t>(st.st_size);
  info.modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000LL + st.st_mtim.tv_nsec;
  info.identity = static_cast<uint64_t>(st.st_ino);
  info.mode = static_cast<uint32_t>(st.st_mode & 07777);
  info.owned = st.st_uid == ::geteuid();
  return info;
}

int OpenRetrying(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Writes all of `bytes` to `fd`; returns 0 or the errno of the failure.
int WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// A folder (or a link to one) in the way of a file that could not be taken out of it.
[[noreturn]] void RaiseInTheWay(const std::string& path, int error) {
  throw FileError("O arquivo " + Quoted(ShownPath(path)) + " é uma pasta, ou um link para uma, que não pôde "
                  "ser tirada do caminho (" + SystemErrorText(error) + "); o programa não apaga "
                  "pastas nem o que um link alcança: remova-a, e ele cria um arquivo comum no lugar.",
                  error);
}

}  // namespace

std::optional<FileInfo> GetFileInfo(const std::string& path, bool follow_links) {
  struct stat st {};
  const int rc = follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) return std::nullopt;
  return InfoOf(st);
}

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool CanWriteFolder(const std::string& dir) { return ::access(dir.c_str(), W_OK | X_OK) == 0; }

std::string ResolvedPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) Raise("Cannot open file", path, errno);
  std::string result(resolved);
  std::free(resolved);
  return result;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

void MakeRoomFor(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  const std::string aside = path + ".antigo-" + RandomName();
  if (::rename(path.c_str(), aside.c_str()) != 0) RaiseInTheWay(path, errno);
}

void ReplaceFile(const std::string& path, std::string_view content, uint32_t mode) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) Raise("Cannot create file", path, errno);
  int error = ::fchmod(fd, static_cast<mode_t>(mode)) != 0 ? errno : 0;
  if (error == 0) error = WriteAll(fd, content);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    Raise("Cannot write file", path, error);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = errno;
    ::unlink(temp.c_str());
    Raise("Cannot create file", path, error);
  }
}

File File::OpenForReading(const std::string& path, Links links) {
  // O_NONBLOCK: a FIFO in the name never holds the process in open(); a caller that wants a
  // regular file looks at Info().
  const int fd = OpenRetrying(
      path, O_RDONLY | O_NONBLOCK | O_NOCTTY | (links == Links::kRefuse ? O_NOFOLLOW : 0), 0);
  if (fd < 0) Raise("Cannot open file", path, errno);
  File file(path, fd);
  if (file.Info().IsDirectory()) Raise("Cannot open file", path, EISDIR);
  const int status = ::fcntl(fd, F_GETFL);
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0)
    Raise("Cannot open file", path, errno);
  return file;
}

File File::Create(const std::string& path, uint32_t mode) {
  const int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_TRUNC, static_cast<mode_t>(mode));
  if (fd < 0) Raise("Cannot create file", path, errno);
  return File(path, fd);
}

File File::CreateNew(const std::string& path, uint32_t mode) {
  // O_EXCL alone already refuses a link in `path`; O_NOFOLLOW says so once more.
  const int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY,
                              static_cast<mode_t>(mode));
  if (fd < 0) Raise("Cannot create file", path, errno);
  return File(path, fd);
}

File File::OpenForUpdate(const std::string& path) {
  const int fd = OpenRetrying(path, O_RDWR, 0);
  if (fd < 0) Raise("Cannot open file", path, errno);
  return File(path, fd);
}

File File::OpenForAppend(const std::string& path, uint32_t mode, Links links) {
  // O_NONBLOCK: a FIFO or a device in the name must never hold the process in open(); it is
  // refused below, once open, for what it is.
  const int flags = O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY |
                    (links == Links::kRefuse ? O_NOFOLLOW : 0);
  int read_error = 0;
  int fd = OpenRetrying(path, O_RDWR | flags, static_cast<mode_t>(mode));
  if (fd < 0 && (errno == EACCES || errno == EPERM)) {
    read_error = errno;
    fd = OpenRetrying(path, O_WRONLY | flags, static_cast<mode_t>(mode));
  }
  if (fd < 0) {
    const int error = errno;
    // A link refused, a folder, or a FIFO that no one reads (ENXIO): say what is there.
    const auto there = GetFileInfo(path, links == Links::kFollow);
    if (there && !there->IsRegular() && (error == ELOOP || error == EISDIR || error == ENXIO))
      throw FileError(NotRegularFileMessage(path, there->kind), error == ELOOP ? ELOOP : EINVAL);
    Raise("Cannot open file", path, error);
  }
  File file(path, fd);
  const FileInfo info = file.Info();
  if (!info.IsRegular()) throw FileError(NotRegularFileMessage(path, info.kind), EINVAL);
  const int status = ::fcntl(fd, F_GETFL);
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0)
    Raise("Cannot open file", path, errno);
  file.read_error_ = read_error;
  return file;
}

File::File(File&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(std::exchange(other.handle_, -1)),
      read_error_(std::exchange(other.read_error_, 0)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    path_ = std::move(other.path_);
    handle_ = std::exchange(other.handle_, -1);
    read_error_ = std::exchange(other.read_error_, 0);
  }
  return *this;
}

File::~File() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void File::Fail(const char* what, int error) const { Raise(what, path_, error); }

FileInfo File::Info() const {
  struct stat st {};
  if (::fstat(static_cast<int>(handle_), &st) != 0) Fail("Cannot read file", errno);
  return InfoOf(st);
}

size_t File::Read(char* buffer, size_t max) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer, max);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) Fail("Cannot read file", errno);
  }
}

size_t File::ReadAt(uint64_t offset, char* buffer, size_t max) {
  if (read_error_ != 0) Fail("Cannot open file", read_error_);
  size_t done = 0;
  while (done < max) {
    const ssize_t n = ::pread(static_cast<int>(handle_), buffer + done, max - done,
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("Cannot read file", errno);
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void File::Write(std::string_view bytes) {
  if (const int error = WriteAll(static_cast<int>(handle_), bytes)) Fail("Cannot write file", error);
}

void File::Truncate(uint64_t size) {
  if (::ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) != 0)
    Fail("Cannot write file", errno);
  SeekToEnd();
}

void File::SeekToEnd() {
  if (::lseek(static_cast<int>(handle_), 0, SEEK_END) < 0) Fail("Cannot write file", errno);
}

void File::SetMode(uint32_t mode) {
  if (::fchmod(static_cast<int>(handle_), static_cast<mode_t>(mode)) != 0)
    Fail("Cannot write file", errno);
}

void File::Sync() {
  if (::fsync(static_cast<int>(handle_)) != 0) Fail("Cannot write file", errno);
}

void File::Close() {
  const int fd = static_cast<int>(std::exchange(handle_, -1));
  if (fd >= 0 && ::close(fd) != 0) Fail("Cannot write file", errno);
}

}  // namespace quirada
