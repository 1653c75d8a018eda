// Installing and removing the service with the Windows service control manager (SCM).
#include <windows.h>

#include <exception>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>

#include "base/platform.h"
#include "base/text_win32.h"
#include "service/install.h"

namespace quirada {
namespace {

// A failed call of the SCM, with the system's text for its error.
class ScmError : public std::exception {
 public:
  explicit ScmError(DWORD error) : text_(WindowsErrorText(error)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

struct ScHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleCloser>;

ScHandle OpenManager(DWORD access) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, access));
  if (!manager) throw ScmError(GetLastError());
  return manager;
}

// Whether `handle` leads somewhere a person sees: a file or a pipe, or a console that stays open
// after the program (a console of its own, made for a program started from Explorer or a shortcut,
// closes with it and takes the message along).
bool CanWriteTo(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) return true;
  DWORD mode = 0;
  if (!GetConsoleMode(handle, &mode)) return false;
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) > 1;
}

// The message of an install or removal: to the stream, or in a message box when the stream is the
// process's own and it has nowhere to write.
void Tell(std::ostream& stream, const std::string& text, bool failure) {
  const bool standard = &stream == &std::cout || &stream == &std::cerr;
  if (standard && !CanWriteTo(&stream == &std::cout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE)) {
    MessageBoxW(nullptr, Utf8ToWide(text).c_str(), Utf8ToWide(kServiceDisplayName).c_str(),
                MB_OK | MB_SETFOREGROUND | (failure ? MB_ICONERROR : MB_ICONINFORMATION));
    return;
  }
  stream << text << std::endl;
}

int InstallFailure(const std::string& text, bool silent, std::ostream& err) {
  if (!silent) {
    Tell(err, std::string("Falha ao instalar o serviço \"") + kServiceName + "\" com erro: \"" +
                  text + "\"",
         true);
  }
  return 1;
}

// The executable path as the SCM runs it: in double quotes when it holds a blank, so that the
// system never tries a shorter path ("C:\Program.exe") first.
std::wstring BinaryPath(const std::string& executable_path) {
  const std::wstring path = Utf8ToWide(executable_path);
  if (path.find(L' ') == std::wstring::npos) return path;
  return L"\"" + path + L"\"";
}

}  // namespace

int RefuseInstall(const std::string& why, bool silent, std::ostream& err) {
  return InstallFailure(why, silent, err);
}

int InstallService(bool silent, std::ostream& out, std::ostream& err) {
  std::string executable;
  try {
    executable = ExecutablePath();
  } catch (const std::exception& e) {
    return InstallFailure(e.what(), silent, err);
  }
  return InstallServiceFor(executable, silent, out, err);
}

int InstallServiceFor(const std::string& executable_path, bool silent, std::ostream& out,
                      std::ostream& err) {
  try {
    const ScHandle manager = OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    const std::wstring name = Utf8ToWide(kServiceName);
    const std::wstring display_name = Utf8ToWide(kServiceDisplayName);
    const std::wstring binary_path = BinaryPath(executable_path);
    // No load-order group, tag, dependencies or account: the system's default service account.
    const ScHandle service(CreateServiceW(
        manager.get(), name.c_str(), display_name.c_str(), SERVICE_QUERY_STATUS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binary_path.c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) throw ScmError(GetLastError());
  } catch (const std::exception& e) {
    return InstallFailure(e.what(), silent, err);
  }
  if (!silent) Tell(out, "Serviço instalado com sucesso", false);
  return 0;
}

int UninstallService(bool silent, std::ostream& out, std::ostream& err) {
  try {
    const ScHandle manager = OpenManager(SC_MANAGER_CONNECT);
    const std::wstring name = Utf8ToWide(kServiceName);
    const ScHandle service(OpenServiceW(manager.get(), name.c_str(), DELETE));
    if (!service) throw ScmError(GetLastError());
    if (!DeleteService(service.get())) throw ScmError(GetLastError());
  } catch (const std::exception& e) {
    if (!silent) {
      Tell(err, std::string("Falha ao desinstalar o serviço \"") + kServiceName +
                    "\" com erro: \"" + e.what() + "\"",
           true);
    }
    return 1;
  }
  if (!silent) Tell(out, "Serviço desinstalado com sucesso", false);
  return 0;
}

}  // namespace quirada
