// An advisory lock on a file, held for the process by the operating system (flock on Linux,
// LockFileEx on Windows): released when the holder lets it go, ends or dies, never left behind by a
// crash. It keeps two processes from doing the same work at once (one dispatch cycle per service
// folder).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quirada {

class FileLock {
 public:
  // Takes the lock of the file at `path` (created when missing) without waiting and writes the
  // process's id into it. Returns nothing when another process holds it; `holder` then receives
  // the id written into the file (empty when none could be read): the holder's when it is a process
  // that took the lock this way, else whatever an earlier holder left. Raises FileError when the
  // file cannot be opened or locked for another reason.
  //
  // On Linux the file is mode 0600 whatever the umask (an existing one with a wider mode is
  // narrowed), so no other user can open it to hold the lock; a symbolic link, a FIFO, a device or
  // a folder in its name is refused (NotRegularFileMessage), never followed nor waited on.
  static std::optional<FileLock> TryAcquire(const std::string& path, std::string* holder);

  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();  // releases the lock

 private:
  explicit FileLock(intptr_t handle) : handle_(handle) {}
  intptr_t handle_ = -1;
};

}  // namespace quirada
