// Program entry of Quirada Contábil.
//
// Without a switch the program runs as the service until a stop request (on Windows, run from a
// console instead, it shows its usage and says that it is the service the service manager
// starts: exit 2). "/INSTALL" and "/UNINSTALL" register and remove the service ("/SILENT" quiets
// them); "/ONCE" runs one dispatch cycle in the foreground and says how it went; "/PENDING" lists
// what the next cycle would send; "/VERIFICAR" tests the configuration; "/VERIFICARPASTA [pasta]"
// says whether a folder is trusted (the installer asks it before it writes in its target folder);
// "/HELP" and "/VERSION" say what they say. "/ONCE" and "/INSTALL" do nothing in a service folder
// others may change (service_folder.h). Before anything is written, the program learns the account
// the registered service runs as (folder_trust.h: it is trusted, and the files written are its).
#include <filesystem>
#include <iostream>

#include "service/UQuirada.h"
#include "service/host.h"
#include "service/install.h"
#include "service/service_folder.h"
#include "service/service_log.h"
#include "base/errors.h"
#include "base/folder_trust.h"
#include "base/file_io.h"
#include "base/platform.h"
#include "service/switches.h"

using namespace quirada;

namespace {

// Exit statuses of "/ONCE".
constexpr int kStatusConcluido = 0;         // completed, nothing written to the service log
constexpr int kStatusFalhou = 1;            // the cycle failed
constexpr int kStatusDocumentosNoLog = 3;   // completed; documents not sent are in the log
constexpr int kStatusOcupado = 75;          // another cycle holds the service folder (EX_TEMPFAIL)

// The message for a service folder this process may not write to, or "" when it may.
std::string FaltaPermissaoNaPasta(const std::string& dir) {
  if (CanWriteFolder(dir)) return "";
  return "Sem permissão de escrita na pasta \"" + dir + "\" para o usuário " +
         CurrentUserName() +
         ": o serviço grava nela o log, a trava do ciclo e os XMLs em trânsito. Dê a este usuário "
         "permissão de escrita na pasta, ou rode o programa como o dono dela.";
}

// On a terminal: "Enviando documento i de n…", one line rewritten in place.
class LinhaDeProgresso {
 public:
  explicit LinhaDeProgresso(TSrvQuirada& module) : module_(module) {
    if (!StandardErrorIsTerminal()) return;
    module_.Progresso = [this](long long i, long long n) {
      std::cerr << "\rEnviando documento " << i << " de " << n << "\u2026" << std::flush;
      shown_ = true;
    };
  }
  ~LinhaDeProgresso() {
    module_.Progresso = nullptr;
    if (shown_) std::cerr << '\n' << std::flush;
  }
  LinhaDeProgresso(const LinhaDeProgresso&) = delete;
  LinhaDeProgresso& operator=(const LinhaDeProgresso&) = delete;

 private:
  TSrvQuirada& module_;
  bool shown_ = false;
};

int RunOnce(TSrvQuirada& module) {
  if (const std::string falta = FaltaPermissaoNaPasta(module.ExecutableDir()); !falta.empty()) {
    std::cerr << falta << '\n';
    return kStatusFalhou;
  }
  try {
    TSrvQuirada::TCicloExecutado ciclo;
    {
      LinhaDeProgresso progresso(module);
      ciclo = module.ExecutarCiclo();
    }
    if (ciclo.pasta_nao_confiavel) {
      std::cerr << ciclo.pasta_nao_confiavel->mensagem << '\n';
      return kStatusFalhou;
    }
    if (ciclo.ocupado) {
      if (ciclo.processo_ativo) {
        std::cerr << "Outro ciclo de envio está em andamento nesta pasta (processo "
                  << ciclo.processo << "); nada foi feito.\n";
      } else {
        std::cerr << "Ciclo de envio não executado: " << module.TextoOcupado(ciclo) << ".\n";
      }
      return kStatusOcupado;
    }
    if (ciclo.resumo.interrompido) {
      // "Ciclo interrompido por pedido de parada: ...": a stop is no failure.
      std::cout << TextoResumo(ciclo.resumo) << '\n';
      return kStatusConcluido;
    }
    if (!ciclo.resumo.conectou) {
      // Written to the service log by the cycle itself.
      std::cerr << ciclo.resumo.falha_conexao << '\n';
      return kStatusFalhou;
    }
    if (!ciclo.resumo.banco_ocupado.empty()) {
      std::string quem = ciclo.resumo.banco_ocupado;
      if (!quem.empty() && quem[0] >= 'a' && quem[0] <= 'z') quem[0] = static_cast<char>(quem[0] - 32);
      std::cerr << quem << "; nada foi feito.\n";
      return kStatusOcupado;
    }
    std::cout << TextoResumo(ciclo.resumo) << '\n';
    return ciclo.resumo.registrados_no_log > 0 ? kStatusDocumentosNoLog : kStatusConcluido;
  } catch (const std::exception& e) {
    try {
      module.ManipulaExcecoes(e);
      std::cerr << e.what() << '\n';
    } catch (const std::exception& log_failure) {
      WriteSystemEventError(log_failure.what());
      WriteSystemEventError(e.what());
    }
    return kStatusFalhou;
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
    return module.VerificarConfiguracao(std::cout) ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
}

// "/VERIFICARPASTA": the folder named (a relative one from the working folder) or the program's.
int RunVerificarPasta(const std::string& folder) {
  std::string dir = folder;
  if (dir.empty()) {
    dir = ExecutableDir();
  } else {
    const std::filesystem::path named(std::u8string(dir.begin(), dir.end()));
    const std::u8string absolute = std::filesystem::absolute(named).u8string();
    dir.assign(absolute.begin(), absolute.end());
    if (dir.back() != '/' && dir.back() != '\\') dir += std::filesystem::path::preferred_separator;
  }
  const auto pasta = PastaNaoConfiavel(dir);
  std::cout << "Pasta do serviço (" << dir << "): "
            << (pasta ? "FALHOU: " + pasta->mensagem : std::string("OK")) << '\n';
  return pasta ? 1 : 0;
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
      module.AvisarServico = true;
      status = RunService(loop, {[&](bool& Started) {
                                   const std::string falta =
                                       FaltaPermissaoNaPasta(module.ExecutableDir());
                                   if (!falta.empty()) throw Exception(falta);
                                   module.ServiceStart(Started);
                                 },
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
    case TRunMode::Service:
      if (RunFromAConsole()) {
        // A person at a prompt: the service control manager never gives the service a console.
        std::cout << UsageText(IniPath(ExecutableDir()), ServiceLogPath())
                  << "Sem opção, o programa é o serviço SrvQuirada, que o gerenciador de serviços "
                     "inicia (sc start SrvQuirada); num prompt de comando, use uma das opções "
                     "acima (/ONCE executa um ciclo agora).\n";
        return 2;
      }
      break;
    case TRunMode::Help:
      std::cout << UsageText(IniPath(ExecutableDir()), ServiceLogPath());
      return 0;
    case TRunMode::Version:
      std::cout << VersionText() << '\n';
      return 0;
    case TRunMode::Install:
      // A unit that would run the service in a folder others may change is never written.
      SetServiceAccount(RegisteredServiceAccount());
      if (const auto pasta = PastaNaoConfiavel(ExecutableDir()))
        return RefuseInstall(pasta->mensagem, switches.Silent);
      return InstallService(switches.Silent);
    case TRunMode::Uninstall:
      return UninstallService(switches.Silent);
    default:
      break;
  }
  // The registered service's account (the system's own when there is none yet: "/INSTALL" registers
  // that one) is trusted with the folder, and what this run writes is made its too.
  SetServiceAccount(RegisteredServiceAccount());
  if (switches.Mode == TRunMode::VerificarPasta) {
    try {
      return RunVerificarPasta(switches.Folder);
    } catch (const std::exception& e) {
      std::cerr << e.what() << '\n';
      return 1;
    }
  }
  try {
    return RunModule(switches);
  } catch (const std::exception& e) {
    WriteSystemEventError(e.what());
    return 1;
  }
}
