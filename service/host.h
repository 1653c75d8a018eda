// The service host: runs the service module in the foreground under systemd (or from a terminal).
//
// RunService runs the event loop on the calling (main) thread and the module's start and execute
// events on a service thread. It reports READY=1 to systemd when the start is accepted and
// STOPPING=1 when the execute event returns, asks the loop to quit, waits for the tick in progress
// to finish and returns the process's exit status. A stop request (SIGTERM or SIGINT) never
// interrupts a running tick: the execute event takes it with WaitForStopRequest.
//
// The stop signals are taken synchronously, so they must be blocked in every thread: when running
// as the service, call BlockStopSignals before creating the service module, so that no library
// starts a thread of its own first. (Not for the other modes: there SIGINT and SIGTERM end the
// program as usual.)
//
// The system event log is standard error (the journal under systemd): one line per event, errors
// prefixed "<3>".
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
};

// Blocks SIGTERM and SIGINT in the calling thread and so in every thread it starts later.
void BlockStopSignals();

// Blocks until SIGTERM or SIGINT arrives; returns the signal's number.
int WaitForStopRequest();

// Runs the service until it stops. Exit status: 0 after a normal stop; 1 when the start was refused
// or the start or execute event failed ("Falha no serviço em iniciar: ..." or "Falha no serviço
// em executar: ..." on the system event log).
int RunService(TEventLoop& loop, const TServiceEvents& events);

// Sends `state` (for instance "READY=1") to systemd when NOTIFY_SOCKET is set. Returns whether a
// datagram was sent; a failure to send is written to the system event log.
bool NotifyServiceManager(const std::string& state);

// Writes "<3>" and `message` as one line to standard error (line breaks become blanks).
void WriteSystemEventError(const std::string& message);

}  // namespace quirada
