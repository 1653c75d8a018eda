// The service host on Windows: the service control manager (SCM), the console's control events
// and the Windows event log.
//
// RunService: a start thread hands the process to the SCM (StartServiceCtrlDispatcherW) while the
// calling (main) thread runs the event loop. The SCM calls ServiceMain on a thread of its own, the
// service thread: it registers the control handler, runs the start event (START_PENDING) and, once
// the start is accepted, reports RUNNING and runs the execute event, which waits for the stop
// request. A stop (or shutdown) request is acknowledged at once (STOP_PENDING, with a wait hint)
// and noted for StopRequested and WaitForStopRequest; pause and continue only change the state
// reported (the timer goes on ticking). When the execute event returns, the service thread asks
// the loop to quit and keeps the SCM informed (STOP_PENDING, checkpoint after checkpoint) while
// the tick in progress finishes, the program destroys its module and main returns; STOPPED is
// reported last, from the process's exit, since the process may be ended at any moment after it.
// A tick still running 15 minutes after the stop request ends with the process (exit code 1).
//
// Started other than by the SCM, the dispatcher fails (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT):
// the OnNoServiceManager event tells the person and RunService returns 2, whatever the process's
// output is (a script, a redirect, a scheduler). (A run from a console never gets that far:
// RunFromAConsole tells the program to show its usage at once.)
//
// The event log: ReportEventW under the event source "SrvQuirada", which "/INSTALL" registers with
// the program's message table (messages.mc: event 1 an error, event 2 information, each showing
// the event's own text), so Event Viewer shows the text; the same line also goes to standard error
// when the process has one (the message on one line, without the priority prefix of the Linux
// journal), for console runs and tests. Informational events: the service started, the service stopped, a cycle that
// succeeded after a failed one; routine ones are not written.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "base/platform.h"
#include "base/text.h"
#include "base/text_win32.h"
#include "base/win32_handle_win32.h"
#include "service/host.h"
#include "service/install.h"
#include "service/messages.h"

namespace quirada {
namespace {

constexpr DWORD kWaitHintMs = 5000;
// While the service stops, a new checkpoint goes to the SCM this often.
constexpr DWORD kCheckpointEveryMs = 2000;
// How long a stop waits for the tick in progress: a cycle ends after the document in hand, and one
// request to the platform may take up to 10 minutes (systemd's TimeoutStopSec on Linux).
constexpr DWORD kStopPatienceMs = 15 * 60 * 1000;
// How long the service thread waits, once the loop has quit, for the program to finish before it
// reports STOPPED anyway; and how long the process's exit waits for that report.
constexpr DWORD kFinishPatienceMs = 30000;

// --- Stop requests -------------------------------------------------------------------------------

std::atomic<bool> stop_requested = false;
std::atomic<const char*> stop_name = "STOP";

// Auto-reset: a request that nobody waits for yet stays pending until WaitForStopRequest takes it.
HANDLE StopEvent() {
  static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return event;
}

void NoteStopRequest(const char* name) {
  stop_name = name;
  stop_requested = true;
  SetEvent(StopEvent());
}

// --- Text ----------------------------------------------------------------------------------------

// The standard handle, or nullptr when the process has none (a service has none).
HANDLE StandardHandle(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}

// One line on standard error: as UTF-16 on a console, as UTF-8 bytes into a file or a pipe.
void WriteStandardError(const std::string& line) {
  const HANDLE handle = StandardHandle(STD_ERROR_HANDLE);
  if (handle == nullptr) return;
  if (IsConsole(handle)) {
    const std::wstring wide = Utf8ToWide(line);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  size_t done = 0;
  while (done < line.size()) {
    DWORD written = 0;
    if (!WriteFile(handle, line.data() + done, static_cast<DWORD>(line.size() - done), &written,
                   nullptr) ||
        written == 0) {
      return;  // Nowhere left to report to.
    }
    done += written;
  }
}

// The event goes to standard error as its text on one line: no journal reads a priority there.
// What a peer, a database or a file put in the message can neither break the line nor drive a
// console.
void WriteSystemEvent(WORD type, const std::string& message) {
  const std::string clean = BlankControls(message);
  WriteStandardError(clean + "\n");
  const UniqueEventSource log(RegisterEventSourceW(nullptr, Utf8ToWide(kServiceName).c_str()));
  if (!log) return;
  // Every instance writes under the one event source: a named instance's events say whose they are.
  const bool own = ServiceName() == kServiceName;
  // One string of an event holds at most 31839 characters.
  std::string whole =
      own || clean.starts_with("Serviço " + ServiceName()) ? clean : ServiceName() + ": " + clean;
  if (whole.size() > 31000) whole = std::string(Utf8Prefix(whole, 31000)) + " [...]";
  const std::wstring text = Utf8ToWide(whole);
  const wchar_t* strings[] = {text.c_str()};
  const DWORD event = type == EVENTLOG_ERROR_TYPE ? QUIRADA_EVENT_ERROR : QUIRADA_EVENT_INFO;
  ReportEventW(log.get(), type, 0, event, nullptr, 1, 0, strings, nullptr);
}

// --- The state told to the SCM -------------------------------------------------------------------

std::mutex status_mutex;
SERVICE_STATUS_HANDLE status_handle = nullptr;  // set once the SCM runs the service
SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0};

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_START_PENDING: return "SERVICE_START_PENDING";
    case SERVICE_RUNNING: return "SERVICE_RUNNING";
    case SERVICE_PAUSED: return "SERVICE_PAUSED";
    case SERVICE_STOP_PENDING: return "SERVICE_STOP_PENDING";
    case SERVICE_STOPPED: return "SERVICE_STOPPED";
    default: return "?";
  }
}

// Reports `state` (with `exit_status` when it is STOPPED). A pending state carries the wait hint
// and the next checkpoint; only RUNNING and PAUSED accept controls. Locked by the caller.
void ReportStateLocked(DWORD state, int exit_status = 0) {
  if (status_handle == nullptr) return;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                       state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING || state == SERVICE_PAUSED
          ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN
          : 0;
  status.dwWin32ExitCode = NO_ERROR;
  status.dwServiceSpecificExitCode = 0;
  if (state == SERVICE_STOPPED && exit_status != 0) {
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_status);
  }
  status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
  status.dwWaitHint = pending ? kWaitHintMs : 0;
  if (!SetServiceStatus(status_handle, &status)) {
    const DWORD error = GetLastError();
    WriteSystemEvent(EVENTLOG_ERROR_TYPE,
                     std::string("Falha ao avisar o gerenciador de serviços (") + StateName(state) +
                         "): " + WindowsErrorText(error));
  }
}

void ReportState(DWORD state, int exit_status = 0) {
  std::lock_guard lock(status_mutex);
  ReportStateLocked(state, exit_status);
}

// A stop or shutdown request: acknowledged at once, then noted.
void TakeStopRequest(const char* name) {
  {
    std::lock_guard lock(status_mutex);
    if (status_handle != nullptr && status.dwCurrentState != SERVICE_STOPPED &&
        status.dwCurrentState != SERVICE_STOP_PENDING) {
      ReportStateLocked(SERVICE_STOP_PENDING);
    }
  }
  NoteStopRequest(name);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      TakeStopRequest("STOP");
      return NO_ERROR;
    case SERVICE_CONTROL_SHUTDOWN:
      TakeStopRequest("SHUTDOWN");
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE: {
      std::lock_guard lock(status_mutex);
      if (status.dwCurrentState == SERVICE_RUNNING) ReportStateLocked(SERVICE_PAUSED);
      return NO_ERROR;
    }
    case SERVICE_CONTROL_CONTINUE: {
      std::lock_guard lock(status_mutex);
      if (status.dwCurrentState == SERVICE_PAUSED) ReportStateLocked(SERVICE_RUNNING);
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// --- One run of the service ----------------------------------------------------------------------

struct TServiceRun {
  TEventLoop* loop = nullptr;
  const TServiceEvents* events = nullptr;
  std::atomic<int> exit_status = 0;
  std::atomic<bool> started = false;  // the start was accepted: the service ran
  HANDLE loop_done = nullptr;        // the loop has delivered its last tick
  HANDLE process_done = nullptr;     // main has returned: the module is gone
  HANDLE dispatcher_done = nullptr;  // StartServiceCtrlDispatcherW has returned
};

TServiceRun* service_run = nullptr;

// Waits for `event` at most `limit_ms`, telling the SCM a new checkpoint of the pending stop every
// few seconds meanwhile. Returns whether the event came.
bool WaitTellingTheScm(HANDLE event, DWORD limit_ms) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (WaitForSingleObject(event, kCheckpointEveryMs) != WAIT_TIMEOUT) return true;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    if (waited.count() >= limit_ms) return false;
    ReportState(SERVICE_STOP_PENDING);
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  TServiceRun& run = *service_run;
  const std::wstring name = Utf8ToWide(ServiceName());
  const SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerExW(name.c_str(), &ControlHandler, nullptr);
  if (handle == nullptr) {
    WriteSystemEventError(WindowsErrorText(GetLastError()));
    run.exit_status = 1;
    run.loop->Quit();
    return;
  }
  {
    std::lock_guard lock(status_mutex);
    status_handle = handle;
    ReportStateLocked(SERVICE_START_PENDING);
  }

  run.exit_status = RunServiceEvents(*run.events);
  run.loop->Quit();
  if (!WaitTellingTheScm(run.loop_done, kStopPatienceMs)) {
    // A tick that never ends would hold the service in STOP_PENDING for good.
    WriteSystemEventError("O ciclo em andamento não terminou em " +
                          std::to_string(kStopPatienceMs / 60000) +
                          " minutos depois do pedido de parada: o serviço termina sem esperá-lo");
    ReportState(SERVICE_STOPPED, 1);
    ExitProcess(1);
  }
  WaitTellingTheScm(run.process_done, kFinishPatienceMs);
  if (run.started) {
    WriteSystemEventInfo("Serviço " + ServiceName() +
                         (std::string(stop_name.load()) == "SHUTDOWN"
                              ? " parado: o Windows está sendo desligado."
                              : " parado."));
  }
  ReportState(SERVICE_STOPPED, run.exit_status);
}

// At the process's exit: lets the service thread report STOPPED and waits for the dispatcher to
// return, which it does once that report is made.
void FinishServiceRun() {
  TServiceRun* run = service_run;
  if (run == nullptr) return;
  SetEvent(run->process_done);
  WaitForSingleObject(run->dispatcher_done, kFinishPatienceMs);
}

// --- The console's control events (one cycle in the foreground) -----------------------------------

BOOL WINAPI ConsoleHandler(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
      NoteStopRequest("CTRL_C");
      return TRUE;
    case CTRL_BREAK_EVENT:
      NoteStopRequest("CTRL_BREAK");
      return TRUE;
    case CTRL_CLOSE_EVENT:
      // The process ends as soon as this returns: holding on gives the document in hand the few
      // seconds the system allows before it ends the process anyway.
      NoteStopRequest("CTRL_CLOSE");
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

UINT saved_console_output_cp = 0;

void RestoreConsoleOutputCodePage() {
  if (saved_console_output_cp != 0) SetConsoleOutputCP(saved_console_output_cp);
}

// Ctrl-C ends a command at once (the system's own handler comes next): the console gets its code
// page back first.
BOOL WINAPI RestoreConsoleOnControl(DWORD) {
  RestoreConsoleOutputCodePage();
  return FALSE;
}

}  // namespace

void WriteSystemEventError(const std::string& message) {
  WriteSystemEvent(EVENTLOG_ERROR_TYPE, message);
}

void WriteSystemEventInfo(const std::string& message) {
  WriteSystemEvent(EVENTLOG_INFORMATION_TYPE, message);
}

// The event log keeps what an administrator must see: a routine event is not written.
void WriteSystemEventRoutine(const std::string&) {}

// The SCM shows no free text; what it would say is in the event log when it matters.
void ReportServiceStatus(const std::string&) {}

bool RunFromAConsole() { return GetConsoleWindow() != nullptr; }

std::string NoSwitchUsage() {
  return "  (sem opção)   é o serviço SrvQuirada, que o gerenciador de serviços do Windows inicia\n"
         "                (sc start SrvQuirada, ou o console de Serviços); num prompt de comando\n"
         "                mostra esta ajuda (estado 2). Um pedido de parada encerra o ciclo em\n"
         "                segundos: o documento em andamento fica para o próximo ciclo\n";
}

bool StandardErrorIsTerminal() { return IsConsole(StandardHandle(STD_ERROR_HANDLE)); }

void PrepareProcess(TProcessKind kind) {
  // DLLs from the system folder and the program's own folder only: never from the search path or
  // the working folder, where another user may have put one of the name asked for.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  StopEvent();
  // The program's text is UTF-8: a console shows it as such while the program runs.
  if (IsConsole(StandardHandle(STD_OUTPUT_HANDLE)) || IsConsole(StandardHandle(STD_ERROR_HANDLE))) {
    const UINT current = GetConsoleOutputCP();
    if (current != 0 && current != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
      saved_console_output_cp = current;
      std::atexit(RestoreConsoleOutputCodePage);
      SetConsoleCtrlHandler(&RestoreConsoleOnControl, TRUE);
    }
  }
  switch (kind) {
    case TProcessKind::kService:
      break;
    case TProcessKind::kOneCycle:
      // Ctrl-C, Ctrl-Break or a closed console end the cycle after the document in hand instead
      // of cutting it between an upload and its record.
      SetConsoleCtrlHandler(&ConsoleHandler, TRUE);
      break;
    case TProcessKind::kCommand:
      break;
  }
}

std::string WaitForStopRequest() {
  WaitForSingleObject(StopEvent(), INFINITE);
  stop_requested = true;
  return stop_name.load();
}

bool StopRequested() { return stop_requested; }

void RequestStop() { TakeStopRequest("STOP"); }

void EndProcessAtStopDeadline() {
  WriteSystemEventInfo(kTextoFimNoPrazo);
  {
    std::lock_guard lock(status_mutex);
    if (status_handle != nullptr) ReportStateLocked(SERVICE_STOPPED);
  }
  ExitProcess(0);
}

void NotifyServiceManager(TServiceNotice notice) {
  {
    std::lock_guard lock(status_mutex);
    if (status_handle == nullptr) return;
    if (notice == TServiceNotice::kReady) {
      ReportStateLocked(SERVICE_RUNNING);
    } else {
      ReportStateLocked(SERVICE_STOP_PENDING);
    }
  }
  if (notice == TServiceNotice::kReady) {
    if (service_run != nullptr) service_run->started = true;
    WriteSystemEventInfo("Serviço " + ServiceName() + " iniciado (QuiradaContabil " +
                         QUIRADA_VERSION + ").");
  }
}

int RunService(TEventLoop& loop, const TServiceEvents& events) {
  static TServiceRun run;
  static std::once_flag once;
  run.loop = &loop;
  run.events = &events;
  run.exit_status = 0;
  run.started = false;
  std::call_once(once, [] {
    run.loop_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    run.process_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    run.dispatcher_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atexit(FinishServiceRun);
  });
  ResetEvent(run.loop_done);
  ResetEvent(run.dispatcher_done);
  service_run = &run;

  std::thread([] {
    const std::wstring name = Utf8ToWide(ServiceName());
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(name.c_str()), &ServiceMain},
                                    {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
      const DWORD error = GetLastError();
      if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT && run.events->OnNoServiceManager) {
        // Not started by the SCM: a person's run, from a script, a redirect or a scheduler.
        run.events->OnNoServiceManager();
        run.exit_status = 2;
      } else {
        WriteSystemEventError(WindowsErrorText(error));
        run.exit_status = 1;
      }
    }
    run.loop->Quit();
    SetEvent(run.dispatcher_done);
  }).detach();

  loop.Run();
  SetEvent(run.loop_done);
  // Run for the SCM, the service thread now waits for the process to finish (FinishServiceRun).
  // Otherwise the dispatcher has failed and its thread is done, or about to be.
  return run.exit_status;
}

}  // namespace quirada
