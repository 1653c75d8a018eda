// On Windows the Firebird client library (fbclient.dll) is loaded at run time, by its full path
// only: from the executable's folder, then from the folder of the Firebird server's default
// instance named in the registry. Never from the search path or the working folder, where another
// user may have put a DLL of that name. Its own DLLs (the C runtime Firebird ships) come from its
// folder and the system folder.
#include <windows.h>

#include <mutex>
#include <string>

#include "base/errors.h"
#include "base/platform.h"
#include "base/text_win32.h"
#include "base/win32_handle_win32.h"
#include "firebird/fb_api.h"

namespace quirada {
namespace {

using MasterFunction = Firebird::IMaster* (*)();

// HKLM\SOFTWARE\Firebird Project\Firebird Server\Instances, value DefaultInstance: the folder
// of the default Firebird installation, ending with a separator; "" when there is none.
std::wstring DefaultInstanceFolder() {
  wchar_t buffer[MAX_PATH];
  DWORD size = sizeof buffer;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Firebird Project\\Firebird Server\\Instances",
                   L"DefaultInstance", RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return L"";
  std::wstring folder(buffer);
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder;
}

// The library at `path` (a full path), its own DLLs from its folder and the system folder; nothing
// when it is not there.
UniqueModule LoadFrom(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return UniqueModule();
  return UniqueModule(LoadLibraryExW(path.c_str(), nullptr,
                                     LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
}

UniqueModule LoadClient() {
  if (UniqueModule m = LoadFrom(Utf8ToWide(ExecutableDir()) + L"fbclient.dll")) return m;
  if (const std::wstring folder = DefaultInstanceFolder(); !folder.empty())
    return LoadFrom(folder + L"fbclient.dll");
  return UniqueModule();
}

// Loads the client, or raises saying how to install it (a later call tries again). A library
// without the entry point is let go; the client found stays loaded for the process's life.
Firebird::IMaster* LoadMaster() {
  UniqueModule client = LoadClient();
  const auto get_master =
      client ? reinterpret_cast<MasterFunction>(
                   reinterpret_cast<void*>(GetProcAddress(client.get(), "fb_get_master_interface")))
             : nullptr;
  if (get_master == nullptr) {
    throw Exception(
        "A biblioteca cliente do Firebird (fbclient.dll, 64 bits) não foi encontrada: nem na pasta "
        "do programa (" + ExecutableDir() + "), nem na instalação do Firebird registrada no "
        "Windows (o caminho de busca do sistema não é usado). Instale o cliente do Firebird 3 de "
        "64 bits (o instalador do Firebird, opção \"Client components\") ou copie fbclient.dll "
        "dessa instalação para a pasta do programa.");
  }
  client.release();
  return get_master();
}

}  // namespace

Firebird::IMaster* FbMaster() {
  // Not std::call_once: with MinGW's threads a call_once whose function raised blocks every later
  // call, and a client installed after a failed cycle must be found by the next one.
  static std::mutex mutex;
  static Firebird::IMaster* master = nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  if (master == nullptr) master = LoadMaster();
  return master;
}

}  // namespace quirada
