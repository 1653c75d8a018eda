#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/file_security_win32.h"
#include "base/platform.h"
#include "base/text.h"
#include "base/text_win32.h"
#include "base/win32_handle_win32.h"

namespace quirada {
namespace {

std::string WithSeparator(std::string dir) {
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
  return dir;
}

}  // namespace

std::string ExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) throw Exception("Não foi possível localizar o executável (GetModuleFileNameW)");
    if (n < buffer.size()) return WideToUtf8(std::wstring_view(buffer.data(), n));
    buffer.resize(buffer.size() * 2);
  }
}

std::string ExecutableDir() {
  const std::string path = ExecutablePath();
  return path.substr(0, path.find_last_of("\\/") + 1);
}

std::string TempDir() {
  wchar_t buffer[MAX_PATH + 2];
  // GetTempPath2W (Windows 11, Server 2022 and later updates) gives SYSTEM a folder of its own.
  using GetTempPath2Fn = DWORD(WINAPI*)(DWORD, LPWSTR);
  static const auto get_temp_path2 = reinterpret_cast<GetTempPath2Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
  DWORD n = get_temp_path2 ? get_temp_path2(MAX_PATH + 1, buffer) : 0;
  if (n == 0) n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0) return "C:\\Windows\\Temp\\";
  return WithSeparator(WideToUtf8(std::wstring_view(buffer, n)));
}

std::string PrivateTempDir() {
  // The service runs as SYSTEM, whose temporary folder other users cannot read or write; a user
  // running the program by hand has a temporary folder of their own.
  return TempDir();
}

std::string PrivateTempDir(const std::string& sub) {
  const std::string dir = PrivateTempDir();
  if (sub.empty()) return dir;
  const std::string folder = dir + sub;
  const std::wstring wide = Utf8ToWide(folder);
  PrivateFileSecurity security;
  if (!CreateDirectoryW(wide.c_str(), security.attributes())) {
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS)
      throw Exception("Não foi possível criar a pasta privada \"" + folder + "\": " +
                      WindowsErrorText(error));
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    throw Exception("A pasta \"" + folder + "\" não é uma pasta privada deste usuário; "
                    "remova-a ou corrija-a");
  }
  return folder + "\\";
}

std::string SystemErrorText(int error) { return std::strerror(error); }

long CurrentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

bool ProcessIsRunning(long pid) {
  if (pid <= 0) return false;
  const UniqueHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;  // there, but not ours
  DWORD code = 0;
  return GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE;
}

std::string CurrentUserName() {
  wchar_t name[257];
  DWORD size = 257;
  if (!GetUserNameW(name, &size) || size == 0) return "?";
  return WideToUtf8(std::wstring_view(name, size - 1));
}

std::string RandomName() {
  unsigned char bytes[8];
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    throw Exception("O gerador de números aleatórios do sistema falhou (BCryptGenRandom)");
  return LowerHex(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

}  // namespace quirada
