#include "service/service_folder.h"

#include <cerrno>
#include <vector>

#include "base/folder_trust.h"
#include "base/platform.h"
#include "dispatch/connection_setup.h"
#include "service/service_log.h"

namespace quirada {
namespace {

// The executable's file name ("QuiradaContabil.exe"), checked in whichever folder is judged; ""
// when the program cannot tell its own path.
std::string NomeDoExecutavel() {
  try {
    const std::string path = ExecutablePath();
    return path.substr(path.find_last_of("\\/") + 1);
  } catch (const std::exception&) {
    // Without its own path the program still checks everything else.
  }
  return "";
}

}  // namespace

std::optional<TPastaNaoConfiavel> PastaNaoConfiavel(const std::string& executable_dir) {
  // The Firebird client is loaded from the folder when it is there (on Windows).
  std::vector<TrustedFileName> arquivos = {{kArquivoIni, true},
                                           {kServiceLogName, true},
                                           {kArquivoTrava, false},
                                           {kArquivoUltimoCiclo, false},
                                           {"fbclient.dll", false}};
  if (const std::string exe = NomeDoExecutavel(); !exe.empty()) arquivos.push_back({exe, false});
  const std::vector<UntrustedPath> caminhos = FindUntrustedPaths(executable_dir, arquivos);
  if (caminhos.empty()) return std::nullopt;

  const std::string log = executable_dir + kServiceLogName;
  std::string log_real;
  try {
    log_real = ResolvedPath(log);
  } catch (const FileError&) {
    // No log yet (or a link to nothing): only its own name can be in question.
  }
  TPastaNaoConfiavel pasta;
  std::string o_que, correcao;
  for (const UntrustedPath& c : caminhos) {
    o_que += (o_que.empty() ? "" : "; ") + std::string("\"") + c.path + "\": " + c.why;
    correcao += (correcao.empty() ? "" : "; ") + c.mend;
    if (c.path == log || (!log_real.empty() && c.path == log_real)) pasta.log_em_causa = true;
  }
  pasta.mensagem = "Pasta do serviço não confiável, nada foi feito: " + o_que + ". " + TrustRule() +
                   " Corrija com: " + correcao + ".";
  return pasta;
}

std::string ComDonoDoArquivo(const FileError& e, const std::string& path) {
  if (e.error() != EACCES && e.error() != EPERM) return e.what();
  const std::string dono = ForeignOwnerHint(path);
  return dono.empty() ? std::string(e.what()) : std::string(e.what()) + ": " + dono;
}

}  // namespace quirada
