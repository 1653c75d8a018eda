// Installing and removing the service with the Windows service control manager (SCM), and the
// event source of its messages.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "base/errors.h"
#include "base/platform.h"
#include "base/text_win32.h"
#include "base/win32_handle_win32.h"
#include "service/install.h"

namespace quirada {
namespace {

// A failed call of the SCM or the registry, with the system's text for its error.
class ScmError : public std::exception {
 public:
  explicit ScmError(DWORD error) : text_(WindowsErrorText(error)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

using ScHandle = UniqueServiceHandle;
using Key = UniqueKey;

constexpr wchar_t kEventLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// Recovery: restart after a minute, twice; then nothing, until a day without failures.
constexpr DWORD kRestartDelayMs = 60 * 1000;
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;

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

int InstallFailure(const std::string& nome, const std::string& text, bool silent,
                   std::ostream& err) {
  if (!silent) {
    Tell(err, "Falha ao instalar o serviço \"" + NomeDoServico(nome) + "\" com erro: \"" + text +
                  "\"",
         true);
  }
  return 1;
}

// Why the SCM cannot be given `path` (`o_que` names it): besides CaminhoRecusado's, a '%', which
// the SCM expands in the executable path (ImagePath is REG_EXPAND_SZ): "%WINDIR%" would make the
// service run in another folder than the one installed, or never start. "" when it can.
std::string CaminhoRecusadoPeloScm(const std::string& path, const std::string& o_que) {
  if (std::string recusado = CaminhoRecusado(path, o_que); !recusado.empty()) return recusado;
  const size_t at = path.find('%');
  if (at == std::string::npos) return "";
  return "O caminho " + o_que + " tem o caractere %, depois de \"" + path.substr(0, at) +
         "\": o gerenciador de serviços do Windows expande %NOME% no caminho do serviço "
         "(ImagePath), e o serviço rodaria noutra pasta que não a instalada, ou nem partiria. "
         "Renomeie a pasta sem %.";
}

// The executable path as the SCM runs it: in double quotes when it holds a blank, so that the
// system never tries a shorter path ("C:\Program.exe") first. A named instance's path goes on with
// "--pasta "<folder>" --instancia <name>", the folder always quoted (a backslash before the
// closing quote doubled, so that it stays a backslash).
std::wstring BinaryPath(const std::string& executable_path, const TInstanciaServico& instancia = {}) {
  const std::wstring path = Utf8ToWide(executable_path);
  std::wstring binary = path.find(L' ') == std::wstring::npos ? path : L"\"" + path + L"\"";
  if (!instancia.nome.empty()) {
    std::wstring pasta = Utf8ToWide(instancia.pasta);
    while (pasta.size() > 3 && (pasta.back() == L'\\' || pasta.back() == L'/')) pasta.pop_back();
    if (!pasta.empty() && pasta.back() == L'\\') pasta += L'\\';
    binary += L" --pasta \"" + pasta + L"\" --instancia " + Utf8ToWide(instancia.nome);
  }
  return binary;
}

// The registration as the SCM keeps it.
std::vector<unsigned char> Config(SC_HANDLE service) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed);
  if (needed == 0 || !QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                          needed, &needed))
    throw ScmError(GetLastError());
  return buffer;
}

// Whether the registered path is the one this install would write (its quotes aside, letter case
// ignored): the same executable, for the same instance folder.
bool SameExecutable(std::wstring registered, const std::string& executable_path,
                    const TInstanciaServico& instancia) {
  std::wstring expected = BinaryPath(executable_path, instancia);
  if (instancia.nome.empty()) {
    if (registered.size() >= 2 && registered.front() == L'"' && registered.back() == L'"')
      registered = registered.substr(1, registered.size() - 2);
    expected = Utf8ToWide(executable_path);
  }
  return CompareStringOrdinal(registered.c_str(), -1, expected.c_str(), -1, TRUE) == CSTR_EQUAL;
}

void ChangeConfig(SC_HANDLE service, DWORD level, void* info) {
  if (!ChangeServiceConfig2W(service, level, info)) throw ScmError(GetLastError());
}

// What the program gives its registration besides CreateServiceW's attributes. Returns the
// warnings of what the SCM refused that the service can do without.
std::vector<std::string> Configure(SC_HANDLE service) {
  std::wstring description = Utf8ToWide(kServiceDescription);
  SERVICE_DESCRIPTIONW text{description.data()};
  ChangeConfig(service, SERVICE_CONFIG_DESCRIPTION, &text);

  SC_ACTION actions[] = {{SC_ACTION_RESTART, kRestartDelayMs},
                         {SC_ACTION_RESTART, kRestartDelayMs},
                         {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSW failure{kFailureResetSeconds, nullptr, nullptr, 3, actions};
  ChangeConfig(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);

  std::vector<std::string> warnings;
  SERVICE_FAILURE_ACTIONS_FLAG on_failure_status{TRUE};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_failure_status)) {
    warnings.push_back("Aviso: o gerenciador de serviços não aceitou que uma parada com estado de "
                       "falha conte para a recuperação: " + WindowsErrorText(GetLastError()));
  }
  SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed)) {
    warnings.push_back("Aviso: o gerenciador de serviços não aceitou a partida automática atrasada "
                       "(o serviço parte com os outros automáticos): " +
                       WindowsErrorText(GetLastError()));
  }
  return warnings;
}

// The event source "SrvQuirada", whose messages the executable's message table shows.
void RegisterEventSource(const std::string& executable_path) {
  const std::wstring key_name = kEventLogKey + Utf8ToWide(kServiceName);
  HKEY raw = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_name.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                               nullptr, &raw, nullptr);
  if (rc != ERROR_SUCCESS) throw ScmError(static_cast<DWORD>(rc));
  const Key key(raw);
  const std::wstring file = Utf8ToWide(executable_path);
  rc = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                      reinterpret_cast<const BYTE*>(file.c_str()),
                      static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
  if (rc != ERROR_SUCCESS) throw ScmError(static_cast<DWORD>(rc));
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  rc = RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                      reinterpret_cast<const BYTE*>(&types), sizeof types);
  if (rc != ERROR_SUCCESS) throw ScmError(static_cast<DWORD>(rc));
}

void RemoveEventSource() {
  const std::wstring key_name = kEventLogKey + Utf8ToWide(kServiceName);
  const LSTATUS rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, key_name.c_str());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) throw ScmError(static_cast<DWORD>(rc));
}

}  // namespace

std::string NomeDoServico(const std::string& nome) {
  return nome.empty() ? std::string(kServiceName) : std::string(kServiceName) + "$" + nome;
}

int RefuseInstall(const std::string& nome, const std::string& why, bool silent, std::ostream& err) {
  return InstallFailure(nome, why, silent, err);
}

int InstallService(const TInstanciaServico& instancia, bool silent, std::ostream& out,
                   std::ostream& err) {
  std::string executable;
  try {
    executable = ExecutablePath();
  } catch (const std::exception& e) {
    return InstallFailure(instancia.nome, e.what(), silent, err);
  }
  return InstallServiceFor(executable, instancia, silent, out, err);
}

int InstallServiceFor(const std::string& executable_path, const TInstanciaServico& instancia,
                      bool silent, std::ostream& out, std::ostream& err) {
  const std::wstring name = Utf8ToWide(NomeDoServico(instancia.nome));
  std::vector<std::string> warnings;
  try {
    std::string recusado = CaminhoRecusadoPeloScm(executable_path, "do executável");
    if (recusado.empty() && !instancia.nome.empty())
      recusado = CaminhoRecusadoPeloScm(instancia.pasta, "da pasta da instância");
    if (!recusado.empty()) throw Exception(recusado);
    const ScHandle manager = OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (const std::string conflito =
            RegistroEmConflito(executable_path, instancia, RegisteredInstances());
        !conflito.empty())
      throw Exception(conflito);
    if (const ScHandle existing{OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG)}) {
      // An upgrade of this program keeps what the administrator set; another program's
      // registration is not this install's to change.
      const std::vector<unsigned char> config = Config(existing.get());
      const auto* registered = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
      if (!SameExecutable(registered->lpBinaryPathName ? registered->lpBinaryPathName : L"",
                          executable_path, instancia))
        throw ScmError(ERROR_SERVICE_EXISTS);
      RegisterEventSource(executable_path);
      if (!silent) {
        Tell(out, "Serviço já instalado para este programa: o registro (conta, início, recuperação, "
                  "descrição) foi mantido como está",
             false);
      }
      return 0;
    }
    const std::wstring display_name =
        Utf8ToWide(instancia.nome.empty() ? std::string(kServiceDisplayName)
                                          : std::string(kServiceDisplayName) + " (" +
                                                instancia.nome + ")");
    const std::wstring binary_path = BinaryPath(executable_path, instancia);
    // No load-order group, tag, dependencies or account: the system's default service account.
    const ScHandle service(CreateServiceW(
        manager.get(), name.c_str(), display_name.c_str(),
        SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | SERVICE_START | DELETE,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binary_path.c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) throw ScmError(GetLastError());
    try {
      warnings = Configure(service.get());
      RegisterEventSource(executable_path);
    } catch (...) {
      // A failed install leaves no service behind.
      DeleteService(service.get());
      throw;
    }
  } catch (const std::exception& e) {
    return InstallFailure(instancia.nome, e.what(), silent, err);
  }
  if (!silent) {
    std::string text = "Serviço instalado com sucesso";
    for (const std::string& warning : warnings) text += "\n" + warning;
    if (!instancia.depois.empty()) text += "\n" + instancia.depois.substr(0, instancia.depois.find_last_not_of('\n') + 1);
    Tell(out, text, false);
  }
  return 0;
}

std::string ComandoDePartida(const std::string& servico) { return "sc start " + servico; }

namespace {

// How long a stop may take: a cycle ends within seconds of the request, but a stuck one holds the
// service this long (host_win32.cpp) before it ends by itself.
constexpr DWORD kStopPatienceMs = 16 * 60 * 1000;
// How long a deleted service may take to leave the service manager once its last handle is closed.
constexpr DWORD kGonePatienceMs = 30 * 1000;

DWORD CurrentState(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service, &status)) throw ScmError(GetLastError());
  return status.dwCurrentState;
}

// Stops the service when it is not stopped and waits until the service manager says it stopped.
// Returns whether it had to.
bool StopAndWait(SC_HANDLE service) {
  DWORD state = CurrentState(service);
  if (state == SERVICE_STOPPED) return false;
  if (state != SERVICE_STOP_PENDING) {
    SERVICE_STATUS status{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      const DWORD error = GetLastError();
      if (error != ERROR_SERVICE_NOT_ACTIVE) throw ScmError(error);
    }
  }
  const ULONGLONG start = GetTickCount64();
  while ((state = CurrentState(service)) != SERVICE_STOPPED) {
    if (GetTickCount64() - start > kStopPatienceMs)
      throw Exception("o serviço não parou em " + std::to_string(kStopPatienceMs / 60000) +
                      " minutos; nada foi removido");
    Sleep(250);
  }
  return true;
}

}  // namespace

int UninstallService(const std::string& nome, bool silent, std::ostream& out, std::ostream& err) {
  const std::string servico = NomeDoServico(nome);
  bool parado = false;
  std::string text;
  try {
    const ScHandle manager = OpenManager(SC_MANAGER_CONNECT);
    const std::wstring name = Utf8ToWide(servico);
    {
      const ScHandle service(
          OpenServiceW(manager.get(), name.c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
      if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) throw Exception(InstanciaNaoRegistrada(nome));
        throw ScmError(error);
      }
      // Stopped first, its stop waited for: a running service that is deleted stays running, and
      // registered (marked for deletion), until it stops by itself.
      parado = StopAndWait(service.get());
      if (!DeleteService(service.get())) throw ScmError(GetLastError());
    }
    // The service leaves the service manager once no handle holds it.
    const ULONGLONG start = GetTickCount64();
    for (;;) {
      const ScHandle still(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
      if (!still) break;
      if (GetTickCount64() - start > kGonePatienceMs) {
        text += "\nAviso: o serviço foi marcado para remoção, mas outro programa (o console de "
                "Serviços, o Visualizador de Eventos) ainda o segura aberto: ele sai quando esse "
                "programa for fechado";
        break;
      }
      Sleep(250);
    }
    // The event source is every instance's: it goes with the last one.
    bool outra = false;
    for (const TInstanciaRegistrada& i : RegisteredInstances()) outra |= i.servico != servico;
    if (!outra) RemoveEventSource();
  } catch (const std::exception& e) {
    if (!silent) {
      if (parado) Tell(out, "Serviço " + servico + " parado.", false);
      Tell(err, "Falha ao desinstalar o serviço \"" + servico + "\" com erro: \"" + e.what() + "\"",
           true);
    }
    return 1;
  }
  if (!silent)
    Tell(out, (parado ? "Serviço " + servico + " parado.\n" : std::string()) +
                  "Serviço desinstalado com sucesso" + text,
         false);
  return 0;
}

std::string RegisteredServiceAccount(const std::string& nome) {
  try {
    const ScHandle manager = OpenManager(SC_MANAGER_CONNECT);
    const ScHandle service(OpenServiceW(manager.get(), Utf8ToWide(NomeDoServico(nome)).c_str(),
                                        SERVICE_QUERY_CONFIG));
    if (!service) return "";
    const std::vector<unsigned char> config = Config(service.get());
    const auto* registered = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
    return registered->lpServiceStartName ? WideToUtf8(registered->lpServiceStartName) : "";
  } catch (const std::exception&) {
    return "";  // no service manager to ask: the system's own account
  }
}

namespace {

// The folder a registered executable path gives with "--pasta", ending with a separator; without
// it, the executable's folder.
std::string PastaDoRegistro(const std::wstring& binary_path) {
  int count = 0;
  const LocalBuffer<LPWSTR*> words(CommandLineToArgvW(binary_path.c_str(), &count));
  if (!words) return "";
  std::wstring pasta;
  for (int i = 1; i + 1 < count; ++i) {
    if (std::wstring(words.get()[i]) == L"--pasta") pasta = words.get()[i + 1];
  }
  if (pasta.empty() && count > 0) {
    pasta = words.get()[0];
    const size_t separador = pasta.find_last_of(L"\\/");
    pasta.resize(separador == std::wstring::npos ? 0 : separador);
  }
  if (pasta.empty()) return "";
  if (pasta.back() != L'\\' && pasta.back() != L'/') pasta += L'\\';
  return WideToUtf8(pasta);
}

// The state as "sc query" names it.
std::string Estado(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "desconhecido";
  }
}

}  // namespace

std::vector<TInstanciaRegistrada> RegisteredInstances() {
  const ScHandle manager = OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
  std::vector<unsigned char> buffer;
  DWORD needed = 0, count = 0, resume = 0;
  std::vector<TInstanciaRegistrada> lista;
  for (;;) {
    const BOOL done = EnumServicesStatusExW(
        manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
        buffer.empty() ? nullptr : buffer.data(), static_cast<DWORD>(buffer.size()), &needed,
        &count, &resume, nullptr);
    if (!done && GetLastError() != ERROR_MORE_DATA) throw ScmError(GetLastError());
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
      const std::string servico = WideToUtf8(services[i].lpServiceName);
      const std::string prefixo = std::string(kServiceName) + "$";
      std::string nome;
      if (servico.starts_with(prefixo)) {
        nome = servico.substr(prefixo.size());
        if (!NomeDeInstanciaValido(nome)) continue;
      } else if (CompareStringOrdinal(services[i].lpServiceName, -1,
                                      Utf8ToWide(kServiceName).c_str(), -1, TRUE) != CSTR_EQUAL) {
        continue;
      }
      std::string pasta;
      if (const ScHandle service{OpenServiceW(manager.get(), services[i].lpServiceName,
                                              SERVICE_QUERY_CONFIG)}) {
        try {
          const std::vector<unsigned char> config = Config(service.get());
          const auto* registered = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
          pasta = PastaDoRegistro(registered->lpBinaryPathName ? registered->lpBinaryPathName : L"");
        } catch (const std::exception&) {
          // Listed without its folder.
        }
      }
      lista.push_back({nome, servico, pasta, Estado(services[i].ServiceStatusProcess.dwCurrentState)});
    }
    if (done) break;
    if (count == 0) buffer.resize(needed);
    count = 0;
  }
  std::sort(lista.begin(), lista.end(),
            [](const auto& a, const auto& b) { return a.nome < b.nome; });
  return lista;
}

}  // namespace quirada
