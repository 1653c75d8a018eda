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
  // the id that process wrote (empty when none could be read). Raises FileError when the file
  // cannot be opened or locked for another reason.
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
