// The cycle's lock on Windows: LockFileEx on a byte far past the end of the file, so that the id
// written at its start stays readable by the process that finds the lock held.
#include <windows.h>

#include <string>
#include <utility>

#include "base/file_io.h"
#include "base/file_lock.h"
#include "base/platform.h"
#include "base/text_win32.h"

namespace quirada {
namespace {

constexpr DWORD kLockedByteHigh = 0x40000000;  // offset 2^62: no file of the service reaches it

[[noreturn]] void Raise(const std::string& path, DWORD error) {
  const int e = ErrnoOf(error);
  throw FileError("Cannot open file \"" + path + "\". " + SystemErrorText(e), e);
}

std::string ReadHolder(HANDLE handle) {
  char buffer[64];
  OVERLAPPED at{};
  DWORD got = 0;
  if (!ReadFile(handle, buffer, sizeof buffer, &got, &at)) return "";
  std::string text(buffer, got);
  return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace

std::optional<FileLock> FileLock::TryAcquire(const std::string& path, std::string* holder) {
  const HANDLE handle = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) Raise(path, GetLastError());
  FileLock lock(reinterpret_cast<intptr_t>(handle));
  OVERLAPPED at{};
  at.OffsetHigh = kLockedByteHigh;
  if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) Raise(path, error);
    if (holder != nullptr) *holder = ReadHolder(handle);
    return std::nullopt;
  }
  const std::string id = std::to_string(CurrentProcessId()) + "\r\n";
  LARGE_INTEGER zero{};
  DWORD written = 0;
  if (SetFilePointerEx(handle, zero, nullptr, FILE_BEGIN) && SetEndOfFile(handle))
    WriteFile(handle, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
  return lock;
}

FileLock::FileLock(FileLock&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

FileLock::~FileLock() {
  // Closing the handle unlocks.
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace quirada
