// The part of the service host both platforms share: the service thread's run of the module's
// events.
#include "service/host.h"

#include <exception>
#include <mutex>
#include <utility>

namespace quirada {
namespace {

std::mutex stop_action_mutex;
std::function<void()> stop_action;  // guarded by stop_action_mutex
bool stop_action_ran = false;       // the action set last has run

// Runs the action set last unless it ran already; with the mutex held.
void RunStopActionOnce() {
  if (!stop_action || stop_action_ran) return;
  stop_action_ran = true;
  try {
    stop_action();
  } catch (const std::exception& e) {
    WriteSystemEventError(std::string("Falha ao interromper a chamada em andamento: ") + e.what());
  }
}

}  // namespace

void SetStopRequestAction(std::function<void()> action) {
  std::lock_guard lock(stop_action_mutex);
  stop_action = std::move(action);
  stop_action_ran = false;
  if (StopRequested()) RunStopActionOnce();
}

void RunStopRequestAction() {
  std::lock_guard lock(stop_action_mutex);
  RunStopActionOnce();
}

int RunServiceEvents(const TServiceEvents& events) {
  bool started = true;
  try {
    if (events.OnStart) events.OnStart(started);
  } catch (const std::exception& e) {
    WriteSystemEventError(std::string("Falha no serviço em iniciar: ") + e.what());
    started = false;
  } catch (...) {
    WriteSystemEventError("Falha no serviço em iniciar: exceção desconhecida");
    started = false;
  }
  if (!started) return 1;

  NotifyServiceManager(TServiceNotice::kReady);
  int status = 0;
  try {
    if (events.OnExecute) {
      events.OnExecute();
    } else {
      WaitForStopRequest();
    }
  } catch (const std::exception& e) {
    WriteSystemEventError(std::string("Falha no serviço em executar: ") + e.what());
    status = 1;
  } catch (...) {
    WriteSystemEventError("Falha no serviço em executar: exceção desconhecida");
    status = 1;
  }
  NotifyServiceManager(TServiceNotice::kStopping);
  return status;
}

}  // namespace quirada
