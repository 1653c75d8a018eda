// Program entry of Quirada Contábil.
//
// Without a switch the program runs as the service (under systemd or in a terminal) until SIGTERM
// or SIGINT. "/INSTALL" and "/UNINSTALL" register and remove the systemd unit ("/SILENT" quiets
// them); "/ONCE" runs one dispatch cycle in the foreground and exits 0, or 1 when the cycle failed
// (the failure goes to the service log as always); "/PENDING" lists what the next cycle would send;
// "/VERIFICAR" shows which accountant office and client the ERP's authorization key belongs to.
#include <pthread.h>
#include <signal.h>

#include <csignal>
#include <iostream>

#include "service/UQuirada.h"
#include "service/host.h"
#include "service/install.h"
#include "service/platform.h"
#include "service/switches.h"

using namespace quirada;

namespace {

int RunOnce(TSrvQuirada& module) {
  try {
    module.Timer1Timer();
    // A failed connection was written to the service log by the cycle itself.
    return module.UltimoCicloConectou() ? 0 : 1;
  } catch (const std::exception& e) {
    try {
      module.ManipulaExcecoes(e);
    } catch (const std::exception& log_failure) {
      WriteSystemEventError(log_failure.what());
      WriteSystemEventError(e.what());
    }
    return 1;
  }
}

int RunPending(TSrvQuirada& module) {
  try {
    module.ListarPendentes(std::cout);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
}

int RunVerificar(TSrvQuirada& module) {
  try {
    module.VerificarChaves(std::cout);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
}

int RunModule(const TSwitches& switches) {
  TEventLoop loop;
  TSrvQuirada module(loop, ExecutableDir());
  SrvQuirada = &module;
  int status = 0;
  switch (switches.Mode) {
    case TRunMode::Once:
      status = RunOnce(module);
      break;
    case TRunMode::Pending:
      status = RunPending(module);
      break;
    case TRunMode::Verificar:
      status = RunVerificar(module);
      break;
    default:
      status = RunService(loop, {[&](bool& Started) { module.ServiceStart(Started); },
                                 [&] { module.ServiceExecute(); }});
      break;
  }
  SrvQuirada = nullptr;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // A server that closes the connection while a request is written must fail that request, not
  // end the process (TLS writes go through write(), which raises SIGPIPE).
  std::signal(SIGPIPE, SIG_IGN);
  const TSwitches switches = ParseSwitches(argc, argv);
  switch (switches.Mode) {
    case TRunMode::Usage:
      return ShowUsage(switches, std::cerr);
    case TRunMode::Install:
      return InstallService(switches.Silent);
    case TRunMode::Uninstall:
      return UninstallService(switches.Silent);
    case TRunMode::Service:
      // Before any library can start a thread of its own.
      BlockStopSignals();
      break;
    case TRunMode::Once: {
      // systemd's stop request waits for the cycle to end instead of cutting it between an upload
      // and its record; Ctrl-C in a terminal still stops it at once.
      sigset_t term;
      sigemptyset(&term);
      sigaddset(&term, SIGTERM);
      pthread_sigmask(SIG_BLOCK, &term, nullptr);
      break;
    }
    default:
      break;
  }
  try {
    return RunModule(switches);
  } catch (const std::exception& e) {
    WriteSystemEventError(e.what());
    return 1;
  }
}
