// service_control: asks the service control manager what Wine's "sc" cannot (it has no query,
// pause or continue), for scripts/windows-smoke.sh.
//
//   service_control status NAME                 one line: state=RUNNING controls=0x7 exit=0
//                                               specific=0 waithint=0 (state=MISSING when it is
//                                               not registered)
//   service_control config NAME                 the registration, one "key=value" per line
//   service_control pid NAME                    the id of its process (0 when none; MISSING)
//   service_control pause NAME SECONDS          sends PAUSE, waits until the state is PAUSED
//   service_control continue NAME SECONDS       sends CONTINUE, waits until it is RUNNING
//   service_control wait NAME STATE SECONDS     waits until the state is STATE (MISSING included)
//   service_control stop NAME SECONDS           sends STOP, waits until the state is STOPPED and
//                                               prints, after the state's line, "ms=<N>": the
//                                               milliseconds from the control's sending
//   service_control describe NAME TEXT          gives the service the description TEXT, as an
//                                               administrator would
//   service_control description NAME            prints its description
//
// Exit status 0 when done (the state reached), 1 on a failure or a timeout (the last state
// printed), 2 for a bad command line.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "base/win32_handle_win32.h"

namespace {

using ScHandle = quirada::UniqueServiceHandle;

std::wstring Wide(const char* text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n);
  wide.resize(wcslen(wide.c_str()));
  return wide;
}

std::string Narrow(const wchar_t* text) {
  if (text == nullptr) return "";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), n, nullptr, nullptr);
  narrow.resize(narrow.size() - 1);
  return narrow;
}

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "UNKNOWN";
  }
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "service_control: %s failed with error %lu\n", what, GetLastError());
  std::exit(1);
}

ScHandle OpenNamedService(const std::wstring& name, DWORD access) {
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) Fail("OpenSCManagerW");
  ScHandle service(OpenServiceW(manager.get(), name.c_str(), access));
  if (!service && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) Fail("OpenServiceW");
  return service;
}

// The service's status as one line; "state=MISSING" when it is not registered.
std::string StatusLine(const std::wstring& name) {
  const ScHandle service = OpenNamedService(name, SERVICE_QUERY_STATUS);
  if (!service) return "state=MISSING";
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                            reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
    Fail("QueryServiceStatusEx");
  }
  char line[200];
  std::snprintf(line, sizeof line, "state=%s controls=0x%lx exit=%lu specific=%lu waithint=%lu",
                StateName(status.dwCurrentState), status.dwControlsAccepted,
                status.dwWin32ExitCode, status.dwServiceSpecificExitCode, status.dwWaitHint);
  return line;
}

// The id of the service's process (0 when it runs none); "MISSING" when it is not registered.
std::string ProcessId(const std::wstring& name) {
  const ScHandle service = OpenNamedService(name, SERVICE_QUERY_STATUS);
  if (!service) return "MISSING";
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                            reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
    Fail("QueryServiceStatusEx");
  }
  return std::to_string(status.dwProcessId);
}

// Waits until the status line starts with "state=<state> " (or is "state=<state>").
int WaitFor(const std::wstring& name, const std::string& state, int seconds) {
  const std::string wanted = "state=" + state;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::string line;
  for (;;) {
    line = StatusLine(name);
    if (line == wanted || line.rfind(wanted + " ", 0) == 0) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      std::printf("%s\n", line.c_str());
      std::fprintf(stderr, "service_control: still not %s after %d s\n", state.c_str(), seconds);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::printf("%s\n", line.c_str());
  return 0;
}

int Config(const std::wstring& name) {
  const ScHandle service = OpenNamedService(name, SERVICE_QUERY_CONFIG);
  if (!service) {
    std::printf("missing\n");
    return 1;
  }
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), config, needed, &needed)) Fail("QueryServiceConfigW");
  std::printf("type=0x%lx\nstart=%lu\nerror=%lu\nbinary=%s\ngroup=%s\ntag=%lu\n"
              "dependencies=%s\naccount=%s\ndisplay=%s\n",
              config->dwServiceType, config->dwStartType, config->dwErrorControl,
              Narrow(config->lpBinaryPathName).c_str(), Narrow(config->lpLoadOrderGroup).c_str(),
              config->dwTagId, Narrow(config->lpDependencies).c_str(),
              Narrow(config->lpServiceStartName).c_str(), Narrow(config->lpDisplayName).c_str());
  return 0;
}

int Control(const std::wstring& name, DWORD control, const char* state, int seconds) {
  const DWORD access = control == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_PAUSE_CONTINUE;
  const ScHandle service = OpenNamedService(name, access | SERVICE_QUERY_STATUS);
  if (!service) {
    std::fprintf(stderr, "service_control: the service is not registered\n");
    return 1;
  }
  SERVICE_STATUS status{};
  if (!ControlService(service.get(), control, &status)) Fail("ControlService");
  return WaitFor(name, state, seconds);
}

int Describe(const std::wstring& name, const std::wstring& text) {
  const ScHandle service = OpenNamedService(name, SERVICE_CHANGE_CONFIG);
  if (!service) {
    std::fprintf(stderr, "service_control: the service is not registered\n");
    return 1;
  }
  std::wstring copy = text;
  SERVICE_DESCRIPTIONW description{copy.data()};
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description))
    Fail("ChangeServiceConfig2W");
  return 0;
}

int Description(const std::wstring& name) {
  const ScHandle service = OpenNamedService(name, SERVICE_QUERY_CONFIG);
  if (!service) {
    std::printf("missing\n");
    return 1;
  }
  DWORD needed = 0;
  QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed + sizeof(SERVICE_DESCRIPTIONW));
  if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                            static_cast<DWORD>(buffer.size()), &needed))
    Fail("QueryServiceConfig2W");
  const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
  std::printf("%s\n", Narrow(description->lpDescription).c_str());
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: service_control status|config|pid NAME\n"
               "       service_control pause|continue NAME SECONDS\n"
               "       service_control wait NAME STATE SECONDS\n"
               "       service_control stop NAME SECONDS\n"
               "       service_control describe NAME TEXT\n"
               "       service_control description NAME\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const std::wstring name = Wide(argv[2]);
  if (command == "status" && argc == 3) {
    std::printf("%s\n", StatusLine(name).c_str());
    return 0;
  }
  if (command == "config" && argc == 3) return Config(name);
  if (command == "pid" && argc == 3) {
    std::printf("%s\n", ProcessId(name).c_str());
    return 0;
  }
  if (command == "pause" && argc == 4) {
    return Control(name, SERVICE_CONTROL_PAUSE, "PAUSED", std::atoi(argv[3]));
  }
  if (command == "continue" && argc == 4) {
    return Control(name, SERVICE_CONTROL_CONTINUE, "RUNNING", std::atoi(argv[3]));
  }
  if (command == "wait" && argc == 5) return WaitFor(name, argv[3], std::atoi(argv[4]));
  if (command == "stop" && argc == 4) {
    const auto sent = std::chrono::steady_clock::now();
    const int status = Control(name, SERVICE_CONTROL_STOP, "STOPPED", std::atoi(argv[3]));
    std::printf("ms=%lld\n", static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         std::chrono::steady_clock::now() - sent)
                                                         .count()));
    return status;
  }
  if (command == "describe" && argc == 4) return Describe(name, Wide(argv[3]));
  if (command == "description" && argc == 3) return Description(name);
  return Usage();
}
