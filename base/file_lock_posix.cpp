#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "base/file_io.h"
#include "base/file_lock.h"
#include "base/platform.h"

namespace quirada {
namespace {

[[noreturn]] void Raise(const std::string& path, int error) {
  throw FileError("Cannot open file \"" + ShownPath(path) + "\". " + SystemErrorText(error), error);
}

// The first line of what the holder wrote (its process id).
std::string ReadHolder(int fd) {
  char buffer[64];
  ssize_t n;
  do {
    n = ::pread(fd, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  std::string text = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace

std::optional<FileLock> FileLock::TryAcquire(const std::string& path, std::string* holder) {
  // Never through a link, never waiting on a FIFO or a device in its name; 0600 whatever the umask.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    if (const auto there = GetFileInfo(path, false); there && !there->IsRegular())
      throw FileError(NotRegularFileMessage(path, there->kind), error);
    Raise(path, error);
  }
  FileLock lock(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) Raise(path, errno);
  if (!S_ISREG(st.st_mode)) {
    const auto there = GetFileInfo(path, false);
    throw FileError(NotRegularFileMessage(path, there ? there->kind : FileInfo::Kind::kOther),
                    EINVAL);
  }
  // A lock others may open is a lock others may hold: a wider one (an older program's 0644) is
  // narrowed.
  if ((st.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0) Raise(path, errno);
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno != EWOULDBLOCK) Raise(path, errno);
    if (holder != nullptr) *holder = ReadHolder(fd);
    return std::nullopt;
  }
  // Only the holder writes, so the id read by others is the holder's (or empty for a moment).
  const std::string id = std::to_string(CurrentProcessId()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    ssize_t n;
    do {
      n = ::pwrite(fd, id.data(), id.size(), 0);
    } while (n < 0 && errno == EINTR);
  }
  return lock;
}

FileLock::FileLock(FileLock&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));  // closing the descriptor unlocks
}

}  // namespace quirada
