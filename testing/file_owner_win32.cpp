#include <windows.h>
#include <aclapi.h>

#include <string>

#include "base/win32_handle_win32.h"
#include "testing/file_owner.h"

namespace quirada::testing {
namespace {

// The owner the system reports for `path`, compared with `sid`.
bool OwnerIs(const std::wstring& path, PSID sid) {
  PSID owner = nullptr;
  LocalBuffer<PSECURITY_DESCRIPTOR> descriptor;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, descriptor.put()) != ERROR_SUCCESS)
    return false;
  return owner != nullptr && EqualSid(owner, sid);
}

// Whether `path` is still owned by the user this process runs as.
bool OwnedByThisUser(const std::wstring& path) {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return true;
  BYTE data[512];
  DWORD size = 0;
  const bool read = GetTokenInformation(token.get(), TokenUser, data, sizeof data, &size) != 0;
  token.reset();
  return !read || OwnerIs(path, reinterpret_cast<TOKEN_USER*>(data)->User.Sid);
}

// Wine keeps no owner a program sets: it reports the Unix file's owner (another user's file as
// S-1-5-7). So under Wine the Unix chown gives the file away; Wine starts Unix programs as it
// starts Windows ones.
bool GiveAwayUnderWine(const std::wstring& path) {
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) return false;
  using UnixFileName = char*(CDECL*)(LPCWSTR);
  const auto unix_file_name = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unix_file_name == nullptr) return false;
  char* unix_path = unix_file_name(path.c_str());
  if (unix_path == nullptr) return false;
  std::wstring command = L"Z:\\usr\\bin\\chown 65534 \"";
  for (const char* p = unix_path; *p != '\0'; ++p) command += static_cast<wchar_t>(static_cast<unsigned char>(*p));
  command += L"\"";
  HeapFree(GetProcessHeap(), 0, unix_path);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(L"Z:\\usr\\bin\\chown", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process))
    return false;
  UniqueHandle(process.hThread).reset();
  UniqueHandle(process.hProcess).reset();
  // The handle of a Unix process tells nothing of its end: the owner is watched instead.
  for (int waited_ms = 0; waited_ms < 10000; waited_ms += 50) {
    if (!OwnedByThisUser(path)) return true;
    Sleep(50);
  }
  return false;
}

}  // namespace

bool GiveToAnotherUser(const std::filesystem::path& path) {
  const std::wstring name = path.wstring();
  BYTE users[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof users;
  if (CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size) &&
      SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION, users, nullptr, nullptr,
                            nullptr) == ERROR_SUCCESS &&
      OwnerIs(name, users))
    return true;
  return GiveAwayUnderWine(name);
}

}  // namespace quirada::testing
