// Program entry of Quirada Contábil.
//
// Without a switch the program runs as the service until a stop request (on Windows, run from a
// console instead, it shows its usage and says that it is the service the service manager
// starts: exit 2). "/INSTALL" and "/UNINSTALL" register and remove the service ("/SILENT" quiets
// them); "/ONCE" runs one dispatch cycle in the foreground and says how it went; "/PENDING" lists
// what the next cycle would send; "/VERIFICAR" tests the configuration; "/VERIFICARPASTA [pasta]"
// says whether a folder is trusted (the installer asks it before it writes in its target folder);
// "/HELP" and "/VERSION" say what they say; "/INSTANCIAS" lists the instances registered on this
// machine. "--pasta <folder>" makes every mode work on that instance's folder (its INI, log, lock
// and XML files) instead of the executable's; "/INSTALL --instancia <name> --pasta <folder>" and
// "/UNINSTALL --instancia <name>" register and remove a named instance's own service (install.h).
// "/ONCE" and "/INSTALL" do nothing in a service folder others may change (service_folder.h).
// Before anything is written, the program learns the account the registered service runs as
// (folder_trust.h: it is trusted, and the files written are its).
#include <filesystem>
#include <iostream>
#include <optional>

#include "service/UQuirada.h"
#include "service/arguments.h"
#include "service/host.h"
#include "service/install.h"
#include "service/instances_report.h"
#include "service/service_folder.h"
#include "service/service_log.h"
#include "base/errors.h"
#include "base/folder_trust.h"
#include "base/file_io.h"
#include "base/platform.h"
#include "base/ini_file.h"
#include "base/text.h"
#include "dispatch/configuration.h"
#include "dispatch/connection_setup.h"
#include "dispatch/dispatch_cycle.h"
#include "service/switches.h"

using namespace quirada;

namespace {

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

// A line for a person: what came from the database, the network or a file reaches the terminal
// (or the journal) without a control character that could forge a line or drive the terminal.
void Linha(std::ostream& out, const std::string& texto) { out << BlankControls(texto) << '\n' << std::flush; }

int RunOnce(TSrvQuirada& module) {
  if (const std::string falta = FaltaPermissaoNaPasta(module.Pasta()); !falta.empty()) {
    Linha(std::cerr, falta);
    return kStatusFalhou;
  }
  // A stop request that the cycle could not obey in time ends the process: it says first where
  // the cycle stood.
  module.AoTerminarNaParada = [](const TResumoCiclo& onde) {
    if (StandardErrorIsTerminal()) std::cerr << '\n' << std::flush;
    Linha(std::cout, TextoResumo(onde));
  };
  try {
    TSrvQuirada::TCicloExecutado ciclo;
    {
      LinhaDeProgresso progresso(module);
      ciclo = module.ExecutarCiclo();
    }
    if (ciclo.pasta_nao_confiavel) {
      Linha(std::cerr, ciclo.pasta_nao_confiavel->mensagem);
      return kStatusFalhou;
    }
    if (ciclo.ocupado) {
      if (ciclo.processo_ativo) {
        Linha(std::cerr, "Outro ciclo de envio está em andamento nesta pasta (processo " +
                             ciclo.processo + "); nada foi feito.");
      } else {
        Linha(std::cerr, "Ciclo de envio não executado: " + module.TextoOcupado(ciclo) + ".");
      }
      return kStatusOcupado;
    }
    if (ciclo.resumo.interrompido) {
      // "Ciclo interrompido por pedido de parada: ...".
      Linha(std::cout, TextoResumo(ciclo.resumo));
    } else if (!ciclo.resumo.conectou) {
      // Written to the service log by the cycle itself.
      Linha(std::cerr, ciclo.resumo.falha_conexao);
    } else if (!ciclo.resumo.banco_ocupado.empty()) {
      if (ciclo.resumo.selecionados > 0) {
        Linha(std::cerr, TextoBancoOcupado(ciclo.resumo));
      } else {
        std::string quem = ciclo.resumo.banco_ocupado;
        if (quem[0] >= 'a' && quem[0] <= 'z') quem[0] = static_cast<char>(quem[0] - 32);
        Linha(std::cerr, quem + "; nada foi feito.");
      }
    } else {
      if (!ciclo.resumo.nada_a_enviar.empty()) Linha(std::cout, "Nada a enviar: " + ciclo.resumo.nada_a_enviar);
      Linha(std::cout, TextoResumo(ciclo.resumo));
    }
    return StatusDeSaida(ciclo.resumo);
  } catch (const std::exception& e) {
    try {
      module.ManipulaExcecoes(e);
      Linha(std::cerr, e.what());
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
    Linha(std::cerr, e.what());
    return 1;
  }
}

int RunVerificar(TSrvQuirada& module) {
  try {
    return module.VerificarConfiguracao(std::cout) ? 0 : 1;
  } catch (const std::exception& e) {
    Linha(std::cerr, e.what());
    return 1;
  }
}

// A folder named on the command line, absolute (a relative one from the working folder) and
// ending with a separator; "" gives the program's folder.
std::string PastaNomeada(const std::string& folder) {
  if (folder.empty()) return ExecutableDir();
  std::string dir = folder;
  try {
    const std::filesystem::path named(std::u8string(folder.begin(), folder.end()));
    const std::u8string absolute = std::filesystem::absolute(named).u8string();
    dir.assign(absolute.begin(), absolute.end());
  } catch (const std::exception&) {
    // A name the system cannot take as text (not UTF-8): as written, for the refusal that says so.
  }
  if (dir.back() != '/' && dir.back() != '\\') dir += std::filesystem::path::preferred_separator;
  return dir;
}

// The message for an instance folder that is not there, or "" when it is a folder.
std::string FaltaPasta(const std::string& dir) {
  const auto info = GetFileInfo(dir);
  if (info && info->IsDirectory()) return "";
  return "A pasta da instância \"" + dir + "\" não existe (ou não é uma pasta): crie-a, só para o " +
         "usuário do serviço (mkdir -m 700 no Linux), e ponha nela o Morvant.ini da empresa.";
}

// "/VERIFICARPASTA": the folder named (a relative one from the working folder) or the program's.
int RunVerificarPasta(const std::string& folder) {
  const std::string dir = PastaNomeada(folder);
  const auto pasta = PastaNaoConfiavel(dir);
  std::cout << "Pasta do serviço (" << dir << "): "
            << (pasta ? "FALHOU: " + pasta->mensagem : std::string("OK")) << '\n';
  return pasta ? 1 : 0;
}

// "/INSTANCIAS": every instance registered on this machine (or the one "--instancia" names), what a
// provider's administrator looks at each morning and a monitor every few minutes
// (instances_report.h).
int RunInstancias(const TSwitches& switches, const std::optional<TInstanciaRegistrada>& so) {
  const TFormatoRelatorio formato = switches.Json         ? TFormatoRelatorio::kJson
                                    : switches.Prometheus ? TFormatoRelatorio::kPrometheus
                                                          : TFormatoRelatorio::kLinhas;
  return RelatarInstancias(so ? std::vector<TInstanciaRegistrada>{*so} : RegisteredInstances(),
                           formato, std::cout, std::cerr);
}

// With "--instancia" beside a switch that works on a folder: that registered instance, whose folder
// it works on. Nothing, with the exit status 2 in `status`, when the name is not registered or
// "--pasta" names another folder.
std::optional<TInstanciaRegistrada> InstanciaPedida(const TSwitches& switches, int& status) {
  status = 0;
  if (switches.Instancia.empty()) return std::nullopt;
  std::optional<TInstanciaRegistrada> registrada = InstanciaRegistrada(switches.Instancia);
  if (!registrada) {
    Linha(std::cerr, "Nada foi feito: " + InstanciaNaoRegistrada(switches.Instancia) +
                         " (para trabalhar numa pasta que não é de uma instância registrada, use "
                         "só --pasta <pasta>).");
    status = 2;
  } else if (!switches.Pasta.empty() && !MesmaPasta(PastaNomeada(switches.Pasta), registrada->pasta)) {
    Linha(std::cerr, "Nada foi feito: --pasta \"" + switches.Pasta + "\" não é a pasta da instância \"" +
                         registrada->nome + "\", que é \"" + registrada->pasta +
                         "\"; diga só --instancia " + registrada->nome + ", ou só --pasta.");
    status = 2;
    registrada.reset();
  }
  return registrada;
}

// What a named install's message goes on with: how to start the instance, and when its first cycle
// comes after that (its INI's period read as the service will read it).
std::string DepoisDaInstalacao(const std::string& nome, const TPastaAberta& aberta) {
  uint32_t periodo = kIntervaloPadraoMs;
  try {
    periodo = ConfiguracaoDaInstancia(aberta.pasta.Path(), ReadIniFile(aberta.Caminho(kArquivoIni)),
                                      false)
                  .intervalo_ms;
  } catch (const std::exception&) {
    // The first cycle says what is wrong with the INI; the period is then the default one.
  }
  const uint32_t primeiro = InicioDoPrimeiroCiclo(nome, periodo) / 1000;
  return "Inicie-a com: " + ComandoDePartida(NomeDoServico(nome)) +
         "\nO primeiro ciclo vem " + std::to_string(primeiro) +
         " s depois da partida (o mesmo a cada partida da instância " + nome + "); os seguintes, " +
         std::to_string(periodo / 1000) + " s depois do fim de cada ciclo.\n";
}

// "/INSTALL": the unnamed instance in the program's folder, or a named one in its own folder.
int RunInstall(const TSwitches& switches) {
  const std::string& nome = switches.Instancia;
  if (nome.empty() && !switches.Pasta.empty())
    return RefuseInstall(nome,
                         "--pasta com /INSTALL registra uma instância com nome: diga também "
                         "--instancia <nome>",
                         switches.Silent);
  if (!nome.empty() && switches.Pasta.empty())
    return RefuseInstall(nome, "/INSTALL --instancia precisa da pasta da instância: --pasta <pasta>",
                         switches.Silent);
  // A unit that would run the service in a folder others may change is never written.
  SetServiceAccount(RegisteredServiceAccount(nome));
  TInstanciaServico instancia;
  if (!nome.empty()) {
    if (const std::string recusado = CaminhoRecusado(switches.Pasta, "da pasta da instância");
        !recusado.empty())
      return RefuseInstall(nome, recusado, switches.Silent);
    const std::string pedida = PastaNomeada(switches.Pasta);
    if (const std::string falta = FaltaPasta(pedida); !falta.empty())
      return RefuseInstall(nome, falta, switches.Silent);
    // The folder judged is the folder registered: the one its path led to, links resolved.
    const TPastaAberta aberta = AbrirPasta(pedida);
    if (aberta.nao_confiavel) return RefuseInstall(nome, aberta.nao_confiavel->mensagem, switches.Silent);
    if (!aberta.pasta.IsOpen())
      return RefuseInstall(nome, "a pasta da instância não pôde ser aberta: " + aberta.nao_alcancada,
                           switches.Silent);
    instancia = {nome, aberta.pasta.Path(), DepoisDaInstalacao(nome, aberta)};
  }
  if (const auto pasta = PastaNaoConfiavel(ExecutableDir()))
    return RefuseInstall(nome, pasta->mensagem, switches.Silent);
  return InstallService(instancia, switches.Silent);
}

// Run without a switch by a person (a prompt, a script, a redirect, a scheduler), not by the
// service manager: the usage, and what the program is without a switch.
void MostrarQueEhOServico(const TSwitches& switches, const std::string& pasta_instancia) {
  const std::string servico = NomeDoServico(switches.Instancia);
  std::cout << UsageText(pasta_instancia + kArquivoIni, pasta_instancia + kServiceLogName)
            << "Sem opção, o programa é o serviço " << servico
            << ", que o gerenciador de serviços inicia (sc start " << servico
            << "); num prompt de comando, use uma das opções acima (/ONCE executa um ciclo "
               "agora).\n"
            << std::flush;
}

int RunModule(const TSwitches& switches, const std::string& pasta_instancia) {
  TEventLoop loop;
  TSrvQuirada module(loop, pasta_instancia);
  module.Instancia = switches.Instancia;
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
      status = RunService(loop, {[&](bool&) {
                                   const std::string falta =
                                       FaltaPermissaoNaPasta(module.Pasta());
                                   if (!falta.empty()) throw Exception(falta);
                                 },
                                 [&] { module.ServiceExecute(); },
                                 [&] { MostrarQueEhOServico(switches, pasta_instancia); }});
      break;
  }
  SrvQuirada = nullptr;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const TSwitches switches = ParseSwitches(ProgramArguments(argc, argv));
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
  std::string pasta_instancia = PastaNomeada(switches.Pasta);
  // "--instancia" beside a switch that works on a folder means that registered instance's folder.
  // (The service manager starts a service with its own registration's "--pasta" and
  // "--instancia": that run takes them as they are.)
  std::optional<TInstanciaRegistrada> instancia_pedida;
  TSwitches pedidas = switches;
  if (switches.Mode == TRunMode::Uninstall && !switches.Instancia.empty()) {
    // The registered name, whatever its letter case; one that is not registered is told so by the
    // removal itself.
    try {
      if (const auto registrada = InstanciaRegistrada(switches.Instancia)) pedidas.Instancia = registrada->nome;
    } catch (const std::exception&) {
      // The removal says what the service manager answers.
    }
  } else if (switches.Mode != TRunMode::Install && switches.Mode != TRunMode::Service &&
             switches.Mode != TRunMode::Usage && switches.Mode != TRunMode::Version) {
    int status = 0;
    try {
      instancia_pedida = InstanciaPedida(switches, status);
    } catch (const std::exception& e) {
      Linha(std::cerr, e.what());
      return 1;
    }
    if (status != 0) return status;
    if (instancia_pedida) {
      pedidas.Instancia = instancia_pedida->nome;
      if (switches.Mode != TRunMode::Instancias) {
        pasta_instancia = instancia_pedida->pasta;
        pedidas.Pasta = pasta_instancia;
      }
    }
  }
  SetServiceName(NomeDoServico(pedidas.Instancia));
  switch (switches.Mode) {
    case TRunMode::Usage:
      return ShowUsage(switches, std::cerr);
    case TRunMode::Service:
      if (RunFromAConsole()) {
        // A person at a prompt: the service control manager never gives the service a console.
        MostrarQueEhOServico(switches, pasta_instancia);
        return 2;
      }
      break;
    case TRunMode::Help:
      std::cout << UsageText(pasta_instancia + kArquivoIni, pasta_instancia + kServiceLogName);
      return 0;
    case TRunMode::Version:
      std::cout << VersionText() << '\n';
      return 0;
    case TRunMode::Install:
      return RunInstall(switches);
    case TRunMode::Uninstall:
      return UninstallService(pedidas.Instancia, switches.Silent);
    case TRunMode::Instancias:
      try {
        return RunInstancias(switches, instancia_pedida);
      } catch (const std::exception& e) {
        Linha(std::cerr, e.what());
        return 1;
      }
    default:
      break;
  }
  // The registered service's account (the system's own when there is none yet: "/INSTALL" registers
  // that one) is trusted with the folder, and what this run writes is made its too.
  SetServiceAccount(RegisteredServiceAccount(pedidas.Instancia));
  if (switches.Mode == TRunMode::VerificarPasta) {
    try {
      return RunVerificarPasta(switches.Folder.empty() ? pedidas.Pasta : switches.Folder);
    } catch (const std::exception& e) {
      Linha(std::cerr, e.what());
      return 1;
    }
  }
  if (const std::string falta = FaltaPasta(pasta_instancia); !falta.empty()) {
    if (switches.Mode == TRunMode::Service) {
      WriteSystemEventError(falta);
    } else {
      Linha(std::cerr, falta);
    }
    return 1;
  }
  try {
    return RunModule(pedidas, pasta_instancia);
  } catch (const std::exception& e) {
    WriteSystemEventError(e.what());
    return 1;
  }
}
