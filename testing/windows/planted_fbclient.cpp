// A DLL named fbclient.dll that another user could plant where a careless program would look for
// the Firebird client (a folder on the search path, the working folder): when any process loads
// it, it leaves "fbclient.dll.carregado" beside itself, so scripts/windows-smoke.sh can tell that
// the service never loaded it. It exports what the real client exports, returning nothing.
#include <windows.h>

#include <string>

#include "base/win32_handle_win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(instance, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return TRUE;
  const std::wstring marker = std::wstring(path, n) + L".carregado";
  const quirada::UniqueHandle file(
      CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  return TRUE;
}

extern "C" __declspec(dllexport) void* fb_get_master_interface() { return nullptr; }
