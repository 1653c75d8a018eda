// The part of the service host both platforms share: the service thread's run of the module's
// events.
#include "service/host.h"

#include <exception>
#include <string>
#include <utility>

namespace quirada {
namespace {

std::string& NameOfTheService() {
  static std::string name = "SrvQuirada";
  return name;
}

}  // namespace

void SetServiceName(const std::string& name) { NameOfTheService() = name; }

const std::string& ServiceName() { return NameOfTheService(); }

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
