// The disk on Windows: Unicode paths (the program's UTF-8 as UTF-16) through CreateFileW and the
// other wide calls, binary always. Permission bits have no meaning here: every file the program
// creates gets the protected DACL of file_security_win32.h instead. A reparse point (a symbolic
// link, a junction) in the name of a file the program keeps is opened, removed or replaced as
// itself, never as what it leads to.
#include <windows.h>
#include <aclapi.h>
// <windows.h> names ReplaceFile as a macro of its own; the file interface's is meant here.
#undef ReplaceFile

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "base/file_io.h"
#include "base/file_security_win32.h"
#include "base/win32_handle_win32.h"
#include "base/platform.h"
#include "base/text_win32.h"

namespace quirada {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

[[noreturn]] void Raise(const char* what, const std::string& path, int error) {
  throw FileError(std::string(what) + " " + Quoted(path) + ". " + SystemErrorText(error), error);
}

int64_t NanosecondsSince1970(const FILETIME& t) {
  const uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  constexpr uint64_t kTicksFrom1601To1970 = 116444736000000000ULL;  // 100 ns ticks
  return (static_cast<int64_t>(ticks) - static_cast<int64_t>(kTicksFrom1601To1970)) * 100;
}

FileInfo InfoOf(DWORD attributes, const FILETIME& modified, uint64_t size, uint64_t identity) {
  FileInfo info;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    info.kind = FileInfo::Kind::kSymlink;
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    info.kind = FileInfo::Kind::kDirectory;
  } else if (attributes & FILE_ATTRIBUTE_DEVICE) {
    info.kind = FileInfo::Kind::kOther;
  } else {
    info.kind = FileInfo::Kind::kRegular;
  }
  info.size = size;
  info.modified_ns = NanosecondsSince1970(modified);
  info.identity = identity;
  info.mode = attributes & FILE_ATTRIBUTE_READONLY ? 0444 : 0644;
  return info;
}

// The SID the process's token names in `what` (TokenUser or TokenOwner); empty when unreadable.
std::vector<unsigned char> TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS what) {
  DWORD size = 0;
  GetTokenInformation(token, what, nullptr, 0, &size);
  std::vector<unsigned char> data(size);
  if (size == 0 || !GetTokenInformation(token, what, data.data(), size, &size)) return {};
  const PSID sid = what == TokenUser ? reinterpret_cast<TOKEN_USER*>(data.data())->User.Sid
                                     : reinterpret_cast<TOKEN_OWNER*>(data.data())->Owner;
  const auto* first = static_cast<const unsigned char*>(sid);
  return std::vector<unsigned char>(first, first + GetLengthSid(sid));
}

// Whether the file open as `handle` (with READ_CONTROL) is owned by the user this process runs as
// or by the owner it gives new files (the Administrators group for an elevated administrator,
// by default). A file planted by another user has that user as its owner.
bool OwnedByThisProcess(HANDLE handle) {
  PSID owner = nullptr;
  LocalBuffer<PSECURITY_DESCRIPTOR> descriptor;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, descriptor.put()) != ERROR_SUCCESS)
    return false;
  if (owner == nullptr || !IsValidSid(owner)) return false;

  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
  for (const TOKEN_INFORMATION_CLASS what : {TokenUser, TokenOwner}) {
    std::vector<unsigned char> sid = TokenSid(token.get(), what);
    if (!sid.empty() && EqualSid(owner, sid.data())) return true;
  }
  return false;
}

// A file opened or, when the disposition may create it, created with the private DACL.
HANDLE Open(const std::string& path, DWORD access, DWORD disposition, DWORD flags = 0) {
  std::optional<PrivateFileSecurity> security;
  if (disposition != OPEN_EXISTING) security.emplace();
  return CreateFileW(Utf8ToWide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     security ? security->attributes() : nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

// Whether the open handle is a reparse point itself (opened with FILE_FLAG_OPEN_REPARSE_POINT).
bool IsReparsePoint(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
intptr_t I(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

// Writes all of `bytes`; returns 0 or the errno of the failure.
int WriteAll(HANDLE handle, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 30));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data() + done, chunk, &written, nullptr)) return ErrnoOf(GetLastError());
    if (written == 0) return ENOSPC;
    done += written;
  }
  return 0;
}

// A folder (or a link to one) in the way of a file that could not be taken out of it.
[[noreturn]] void RaiseInTheWay(const std::string& path, int error) {
  throw FileError("O arquivo " + Quoted(path) + " é uma pasta, ou um link para uma, que não pôde "
                  "ser tirada do caminho (" + SystemErrorText(error) + "); o programa não apaga "
                  "pastas nem o que um link alcança: remova-a, e ele cria um arquivo comum no lugar.",
                  error);
}

}  // namespace

std::optional<FileInfo> GetFileInfo(const std::string& path, bool follow_links) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const std::wstring wide = Utf8ToWide(path);
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // READ_CONTROL to read the owner; without it (a file whose rules deny it) the file is still
  // described, as not this user's.
  bool can_read_owner = true;
  UniqueHandle handle(CreateFileW(wide.c_str(), READ_CONTROL, kShare, nullptr, OPEN_EXISTING, flags, nullptr));
  if (!handle && GetLastError() == ERROR_ACCESS_DENIED) {
    can_read_owner = false;
    handle.reset(CreateFileW(wide.c_str(), 0, kShare, nullptr, OPEN_EXISTING, flags, nullptr));
  }
  if (!handle) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION data{};
  const bool ok = GetFileInformationByHandle(handle.get(), &data) != 0;
  const DWORD type = GetFileType(handle.get());
  const bool owned = can_read_owner && ok && OwnedByThisProcess(handle.get());
  handle.reset();
  if (!ok) {
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
      FileInfo info;
      info.kind = FileInfo::Kind::kOther;
      return info;
    }
    return std::nullopt;
  }
  const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  const uint64_t identity = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  FileInfo info = InfoOf(data.dwFileAttributes, data.ftLastWriteTime, size, identity);
  if (type != FILE_TYPE_DISK) info.kind = FileInfo::Kind::kOther;
  info.owned = owned;
  return info;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesW(Utf8ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CanWriteFolder(const std::string& dir) {
  // Whether a file can be made there (the access rules of a folder are too many to read): a new
  // file of a name no one can guess, gone when closed.
  std::string name;
  try {
    name = RandomName();
  } catch (const std::exception&) {
    return false;
  }
  const std::wstring probe = Utf8ToWide(dir) + L"\\quirada-probe-" + Utf8ToWide(name);
  PrivateFileSecurity security;
  const UniqueHandle handle(
      CreateFileW(probe.c_str(), GENERIC_WRITE, 0, security.attributes(), CREATE_NEW,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                  nullptr));
  return static_cast<bool>(handle);
}

bool RemoveFile(const std::string& path) {
  const std::wstring wide = Utf8ToWide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  // A link to a folder, a junction: removed as the link it is. A folder itself never.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && RemoveDirectoryW(wide.c_str()) != 0;
  return DeleteFileW(wide.c_str()) != 0;
}

void MakeRoomFor(const std::string& path) {
  const std::wstring wide = Utf8ToWide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // RemoveDirectoryW removes a junction or a link to a folder itself, never what it holds.
    if (!RemoveDirectoryW(wide.c_str())) RaiseInTheWay(path, ErrnoOf(GetLastError()));
    return;
  }
  const std::wstring aside = wide + L".antigo-" + Utf8ToWide(RandomName());
  if (!MoveFileExW(wide.c_str(), aside.c_str(), 0)) RaiseInTheWay(path, ErrnoOf(GetLastError()));
}

std::string ResolvedPath(const std::string& path) {
  UniqueHandle handle(CreateFileW(Utf8ToWide(path).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) Raise("Cannot open file", path, ErrnoOf(GetLastError()));
  wchar_t buffer[32768];
  const DWORD n = GetFinalPathNameByHandleW(handle.get(), buffer, 32768, FILE_NAME_NORMALIZED);
  handle.reset();
  if (n == 0 || n >= 32768) Raise("Cannot open file", path, ErrnoOf(GetLastError()));
  std::wstring resolved(buffer, n);
  if (resolved.rfind(L"\\\\?\\", 0) == 0 && resolved.rfind(L"\\\\?\\UNC\\", 0) != 0) resolved.erase(0, 4);
  return WideToUtf8(resolved);
}

void ReplaceFile(const std::string& path, std::string_view content, uint32_t /*mode*/) {
  // A new file of a name no one can guess: nothing someone else made there ahead of time is ever
  // opened (and a name taken already is simply another try).
  std::string temp;
  UniqueHandle handle;
  for (int attempt = 0; attempt < 8 && !handle; ++attempt) {
    temp = path + ".tmp-" + RandomName();
    handle.reset(Open(temp, GENERIC_WRITE, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT));
    if (!handle && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (!handle) Raise("Cannot create file", path, ErrnoOf(GetLastError()));
  int error = WriteAll(handle.get(), content);
  if (error == 0 && !FlushFileBuffers(handle.get())) error = ErrnoOf(GetLastError());
  // The close may still fail the last write: closed by hand, its result counts.
  if (!CloseHandle(handle.release()) && error == 0) error = ErrnoOf(GetLastError());
  if (error != 0) {
    DeleteFileW(Utf8ToWide(temp).c_str());
    Raise("Cannot write file", path, error);
  }
  // A plain rename over an existing file fails on Windows.
  if (!MoveFileExW(Utf8ToWide(temp).c_str(), Utf8ToWide(path).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = ErrnoOf(GetLastError());
    DeleteFileW(Utf8ToWide(temp).c_str());
    Raise("Cannot create file", path, error);
  }
}

File File::OpenForReading(const std::string& path, Links links) {
  const DWORD flags =
      FILE_FLAG_BACKUP_SEMANTICS | (links == Links::kRefuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const HANDLE handle = Open(path, GENERIC_READ, OPEN_EXISTING, flags);
  if (handle == INVALID_HANDLE_VALUE) Raise("Cannot open file", path, ErrnoOf(GetLastError()));
  File file(path, I(handle));
  if (links == Links::kRefuse && IsReparsePoint(handle))
    throw FileError(NotRegularFileMessage(path, FileInfo::Kind::kSymlink), ELOOP);
  if (file.Info().IsDirectory()) Raise("Cannot open file", path, EISDIR);
  return file;
}

File File::Create(const std::string& path, uint32_t /*mode*/) {
  const HANDLE handle = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
      if (const auto info = GetFileInfo(path); info && info->IsDirectory())
        Raise("Cannot create file", path, EISDIR);
    }
    Raise("Cannot create file", path, ErrnoOf(error));
  }
  return File(path, I(handle));
}

File File::CreateNew(const std::string& path, uint32_t /*mode*/) {
  const HANDLE handle = Open(path, GENERIC_WRITE, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT);
  if (handle == INVALID_HANDLE_VALUE) Raise("Cannot create file", path, ErrnoOf(GetLastError()));
  return File(path, I(handle));
}

File File::OpenForUpdate(const std::string& path) {
  const HANDLE handle = Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) Raise("Cannot open file", path, ErrnoOf(GetLastError()));
  return File(path, I(handle));
}

File File::OpenForAppend(const std::string& path, uint32_t /*mode*/, Links links) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end, as O_APPEND does.
  constexpr DWORD kAppend = FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
  const DWORD flags = links == Links::kRefuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
  int read_error = 0;
  HANDLE handle = Open(path, kAppend | FILE_READ_DATA, OPEN_ALWAYS, flags);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    read_error = EACCES;
    handle = Open(path, kAppend, OPEN_ALWAYS, flags);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (const auto info = GetFileInfo(path, links == Links::kFollow); info && info->IsDirectory())
      throw FileError(NotRegularFileMessage(path, info->kind), EINVAL);
    Raise("Cannot open file", path, ErrnoOf(error));
  }
  File file(path, I(handle));
  if (GetFileType(handle) != FILE_TYPE_DISK)
    throw FileError(NotRegularFileMessage(path, FileInfo::Kind::kDevice), EINVAL);
  if (links == Links::kRefuse && IsReparsePoint(handle))
    throw FileError(NotRegularFileMessage(path, FileInfo::Kind::kSymlink), ELOOP);
  file.read_error_ = read_error;
  return file;
}

File::File(File&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(std::exchange(other.handle_, -1)),
      read_error_(std::exchange(other.read_error_, 0)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ != -1) CloseHandle(H(handle_));
    path_ = std::move(other.path_);
    handle_ = std::exchange(other.handle_, -1);
    read_error_ = std::exchange(other.read_error_, 0);
  }
  return *this;
}

File::~File() {
  if (handle_ != -1) CloseHandle(H(handle_));
}

void File::Fail(const char* what, int error) const { Raise(what, path_, error); }

FileInfo File::Info() const {
  BY_HANDLE_FILE_INFORMATION data{};
  if (!GetFileInformationByHandle(H(handle_), &data)) Fail("Cannot read file", ErrnoOf(GetLastError()));
  const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  const uint64_t identity = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  FileInfo info = InfoOf(data.dwFileAttributes, data.ftLastWriteTime, size, identity);
  info.owned = OwnedByThisProcess(H(handle_));
  return info;
}

size_t File::Read(char* buffer, size_t max) {
  DWORD got = 0;
  const DWORD chunk = static_cast<DWORD>(std::min<size_t>(max, 1 << 30));
  if (!ReadFile(H(handle_), buffer, chunk, &got, nullptr)) {
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return 0;
    Fail("Cannot read file", ErrnoOf(error));
  }
  return got;
}

size_t File::ReadAt(uint64_t offset, char* buffer, size_t max) {
  if (read_error_ != 0) Fail("Cannot open file", read_error_);
  size_t done = 0;
  while (done < max) {
    OVERLAPPED at{};
    const uint64_t where = offset + done;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    DWORD got = 0;
    if (!ReadFile(H(handle_), buffer + done, static_cast<DWORD>(max - done), &got, &at)) {
      const DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      Fail("Cannot read file", ErrnoOf(error));
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

void File::Write(std::string_view bytes) {
  if (const int error = WriteAll(H(handle_), bytes)) Fail("Cannot write file", error);
}

void File::Truncate(uint64_t size) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(H(handle_), at, nullptr, FILE_BEGIN) || !SetEndOfFile(H(handle_)))
    Fail("Cannot write file", ErrnoOf(GetLastError()));
}

void File::SeekToEnd() {
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(H(handle_), zero, nullptr, FILE_END)) Fail("Cannot write file", ErrnoOf(GetLastError()));
}

void File::SetMode(uint32_t /*mode*/) {}

void File::Sync() {
  if (!FlushFileBuffers(H(handle_))) Fail("Cannot write file", ErrnoOf(GetLastError()));
}

void File::Close() {
  const intptr_t handle = std::exchange(handle_, -1);
  if (handle != -1 && !CloseHandle(H(handle))) Fail("Cannot write file", ErrnoOf(GetLastError()));
}

}  // namespace quirada
