// Program entry of Quirada Contábil.
//
// Without a switch the program runs as the service until a stop request. "/INSTALL" and
// "/UNINSTALL" register and remove the service ("/SILENT" quiets them); "/ONCE" runs one dispatch cycle in the foreground and exits 0, or 1 when the cycle failed
// (the failure goes to the service log as always); "/PENDING" lists what the next cycle would send;
// "/VERIFICAR" shows which accountant office and client the ERP's authorization key belongs to.
#include <iostream>

#include "service/UQuirada.h"
#include "service/host.h"
#include "service/install.h"
#include "base/platform.h"
#include "service/switches.h"

using namespace quirada;

namespace {

// Exit status of "/ONCE" when another cycle holds the service folder (EX_TEMPFAIL).
constexpr int kStatusOcupado = 75;

int RunOnce(TSrvQuirada& module) {
  try {
    const TSrvQuirada::TCicloExecutado ciclo = module.ExecutarCiclo();
    if (ciclo.ocupado) {
      std::cerr << "Outro ciclo de envio está em andamento nesta pasta (processo "
                << (ciclo.processo.empty() ? "desconhecido" : ciclo.processo)
                << "); nada foi feito.\n";
      return kStatusOcupado;
    }
    // A failed connection was written to the service log by the cycle itself.
    return ciclo.resumo.conectou ? 0 : 1;
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
  const TSwitches switches = ParseSwitches(argc, argv);
  switch (switches.Mode) {
    case TRunMode::Service:
      PrepareProcess(TProcessKind::kService);
      break;
    case TRunMode::Once:
      PrepareProcess(TProcessKind::kOneCycle);
      break;
    default:
      PrepareProcess(TProcessKind::kCommand);
      break;
  }
  switch (switches.Mode) {
    case TRunMode::Usage:
      return ShowUsage(switches, std::cerr);
    case TRunMode::Install:
      return InstallService(switches.Silent);
    case TRunMode::Uninstall:
      return UninstallService(switches.Silent);
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
