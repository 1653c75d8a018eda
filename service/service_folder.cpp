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

TPastaAberta AbrirPasta(const std::string& dir) {
  // The Firebird client is loaded from the folder when it is there (on Windows).
  std::vector<TrustedFileName> arquivos = {{kArquivoIni, true},
                                           {kServiceLogName, true},
                                           {kArquivoTrava, false},
                                           {kArquivoUltimoCiclo, false},
                                           {"fbclient.dll", false}};
  if (const std::string exe = NomeDoExecutavel(); !exe.empty()) arquivos.push_back({exe, false});
  JudgedFolder julgada = OpenJudgedFolder(dir, arquivos);
  TPastaAberta aberta;
  aberta.pasta = std::move(julgada.folder);
  aberta.nao_alcancada = std::move(julgada.unreached);
  if (julgada.untrusted.empty()) return aberta;

  TPastaNaoConfiavel pasta;
  std::string o_que, correcao;
  for (const UntrustedPath& c : julgada.untrusted) {
    o_que += (o_que.empty() ? "" : "; ") + std::string("\"") + c.path + "\": " + c.why;
    correcao += (correcao.empty() ? "" : "; ") + c.mend;
    // The log itself, or the file its link leads to.
    if (c.file == kServiceLogName) pasta.log_em_causa = true;
  }
  pasta.mensagem = "Pasta do serviço não confiável, nada foi feito: " + o_que + ". " + TrustRule() +
                   " Corrija com: " + correcao + ".";
  aberta.nao_confiavel = std::move(pasta);
  return aberta;
}

std::string TPastaAberta::Caminho(const std::string& nome) const {
  if (!pasta.IsOpen()) throw Exception("A pasta do serviço não pôde ser aberta: " + nao_alcancada);
  return pasta.Reach(nome);
}

std::optional<TPastaNaoConfiavel> PastaNaoConfiavel(const std::string& executable_dir) {
  return AbrirPasta(executable_dir).nao_confiavel;
}

std::string ComDonoDoArquivo(const FileError& e, const std::string& path) {
  if (e.error() != EACCES && e.error() != EPERM) return e.what();
  const std::string dono = ForeignOwnerHint(path);
  return dono.empty() ? std::string(e.what()) : std::string(e.what()) + ": " + dono;
}

}  // namespace quirada
