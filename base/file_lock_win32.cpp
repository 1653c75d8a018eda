// The cycle's lock on Windows: LockFileEx on a byte far past the end of the file, so that the id
// written at its start stays readable by the process that finds the lock held. The file gets the
// private DACL of the program's files (an older one that lets anyone else open it is narrowed:
// whoever may open it may hold the lock), and a reparse point in its name is refused, never
// followed.
#include <windows.h>

#include <string>
#include <utility>

#include "base/file_io.h"
#include "base/file_lock.h"
#include "base/file_security_win32.h"
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
  PrivateFileSecurity security;
  const HANDLE handle = CreateFileW(Utf8ToWide(path).c_str(),
                                    GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    security.attributes(), OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (const auto there = GetFileInfo(path, false); there && !there->IsRegular())
      throw FileError(NotRegularFileMessage(path, there->kind), EINVAL);
    Raise(path, error);
  }
  FileLock lock(reinterpret_cast<intptr_t>(handle));
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (GetFileType(handle) != FILE_TYPE_DISK ||
      (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
       (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    const auto there = GetFileInfo(path, false);
    throw FileError(NotRegularFileMessage(path, there ? there->kind : FileInfo::Kind::kOther),
                    EINVAL);
  }
  // Any access for another account is enough to hold the lock.
  DWORD error = 0;
  const std::optional<HandleSecurity> rules = ReadSecurity(handle, &error);
  if (!rules) Raise(path, error);
  if (!UntrustedGrantees(*rules, GENERIC_ALL | FILE_ALL_ACCESS).empty()) {
    if (const DWORD narrowed = MakePrivate(handle); narrowed != ERROR_SUCCESS) Raise(path, narrowed);
  }
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
