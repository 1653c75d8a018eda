// The service host: what the program needs from the machine's service manager and process model,
// without naming either (host_posix.cpp: signals and systemd; host_win32.cpp: the service control
// manager).
//
// RunService runs the event loop on the calling (main) thread and the module's start and execute
// events on a service thread. It tells the service manager "ready" when the start is accepted and
// "stopping" when the execute event returns, asks the loop to quit, waits for the tick in progress
// to finish and returns the process's exit status. A stop request never interrupts a running
// tick by itself: the execute event takes it with WaitForStopRequest, and the running cycle, which
// looks at StopRequested between documents and during every transfer, ends after the document in
// hand or at once when a call of it is in progress (the cycle ends a database call from a thread
// of its own). On Linux a second stop request
// ends the process at once, wherever it is.
//
// PrepareProcess comes first in main, before the service module is created, so that no library
// starts a thread of its own before the process is set up for its kind of run.
//
// The system event log: one line per event (standard error, the journal under systemd, on Linux;
// the Windows event log, source "SrvQuirada", with the program's message table). What goes there:
// errors (failed cycles, connection failures, the host's own failures); informational events when
// the service starts and stops (on Windows: the service manager's journal on Linux has its own)
// and when a cycle succeeds after a failed one; routine events (a cycle that ended well after one
// that did too, a cycle skipped) only on Linux, where the journal takes a line per cycle.
#pragma once

#include <functional>
#include <string>

#include "service/timer.h"

namespace quirada {

struct TServiceEvents {
  // On the service thread. Started comes in true; leaving it false refuses the start.
  std::function<void(bool& Started)> OnStart;
  // On the service thread, once the start is accepted. Returns when the service is to stop,
  // normally after WaitForStopRequest.
  std::function<void()> OnExecute;
  // On Windows, when the process was not started by the service control manager (its dispatcher
  // cannot connect): tells the person what the program is; RunService then returns 2. Without it
  // the failure goes to the event log and RunService returns 1. Never called on Linux.
  std::function<void()> OnNoServiceManager;
};

// Stop requests: SIGTERM, SIGINT and SIGHUP on Linux; the service control manager's stop and
// shutdown on Windows.
enum class TProcessKind {
  kService,   // runs until a stop request; WaitForStopRequest takes it
  kOneCycle,  // one dispatch cycle in the foreground; a stop request is only noted (StopRequested)
  kCommand,   // a short command: a stop request ends the process as usual
};

// Sets the process up for its kind of run. A peer that closes a connection while the process
// writes to it fails that write; it never ends the process. On Windows the process then loads DLLs
// only from the system folder and its own folder (never the search path or the working folder).
void PrepareProcess(TProcessKind kind);

// The name the service manager knows this service by ("SrvQuirada", or a named instance's
// "SrvQuirada$<name>" on Windows): the Windows service's registration and its start and stop
// events name it. "SrvQuirada" until set.
void SetServiceName(const std::string& name);
const std::string& ServiceName();

// Whether a run without a switch is a person's, at a console, and so cannot be the service: on
// Windows a process the service control manager starts has no console. Never on Linux, where such
// a run is the service in the foreground.
bool RunFromAConsole();

// What "/HELP" says a run without a switch does, one line or more of the usage text, each
// starting with the usage's indent.
std::string NoSwitchUsage();

// Blocks until a stop request arrives and notes it, runs the stop request action, and returns its
// name ("TERM", "INT", "HUP" for the signals on Linux). On Linux a second stop request then ends
// the process at once (exit status 128 + the signal's number): a person who asks twice means it.
std::string WaitForStopRequest();

// Whether a stop request has arrived; callable from any thread.
bool StopRequested();

// Asks the running service to stop, as the service manager's stop request does.
void RequestStop();

// Ends the process with exit status 0 at once, because a stop request was not obeyed in time
// (stop_deadline.h): the system event log is told that the work in progress was left and why, the
// service manager that the service stopped (on Windows; systemd sees the process end).
[[noreturn]] void EndProcessAtStopDeadline();
inline constexpr const char* kTextoFimNoPrazo =
    "O trabalho em andamento não atendeu ao pedido de parada a tempo (uma chamada que nada "
    "interrompe, como um servidor de banco de dados que não responde): o processo termina sem "
    "esperá-lo; o documento em andamento não foi registrado e volta no próximo ciclo.";

// Runs the service until it stops. Exit status: 0 after a normal stop; 2 when no service manager
// started the process (OnNoServiceManager); 1 when the start was refused
// or the start or execute event failed ("Falha no serviço em iniciar: ..." or "Falha no serviço
// em executar: ..." on the system event log).
int RunService(TEventLoop& loop, const TServiceEvents& events);

// The service thread's part of RunService, the same on every platform: the start event; when the
// start is accepted, "ready", the execute event (or, without one, WaitForStopRequest) and
// "stopping". Returns the exit status RunService returns.
int RunServiceEvents(const TServiceEvents& events);

enum class TServiceNotice { kReady, kStopping };

// Tells the service manager that the service is ready or stopping (nothing when no service manager
// watches the process). A failure to tell it is written to the system event log.
void NotifyServiceManager(TServiceNotice notice);

// Writes `message` to the system event log as one error event ("<3>" and the message on one line of
// standard error, line breaks made blanks, on Linux; on Windows the event log, and the message on
// one line of standard error, never with such a prefix).
void WriteSystemEventError(const std::string& message);
// The same as an informational event ("<6>" on Linux).
void WriteSystemEventInfo(const std::string& message);
// A routine event: an informational one on Linux (the journal takes a line per cycle); nothing on
// Windows, whose event log keeps only what an administrator must see.
void WriteSystemEventRoutine(const std::string& message);

// Shows `text` (one line) as the service's status wherever the service manager shows it
// ("systemctl status" on Linux); nothing when no service manager watches the process.
void ReportServiceStatus(const std::string& text);

// Whether standard error is a terminal a person watches (progress lines are for them only).
bool StandardErrorIsTerminal();

}  // namespace quirada
