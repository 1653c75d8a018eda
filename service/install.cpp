#include "service/install.h"

#include <cstdio>

#include "base/file_io.h"
#include "base/text.h"

namespace quirada {
namespace {

// "U+000A (quebra de linha)".
std::string NomeDoControle(uint32_t cp) {
  char codigo[16];
  std::snprintf(codigo, sizeof codigo, "U+%04X", static_cast<unsigned>(cp));
  switch (cp) {
    case '\n': return std::string(codigo) + " (quebra de linha)";
    case '\r': return std::string(codigo) + " (retorno de carro)";
    case '\t': return std::string(codigo) + " (tabulação)";
    default: return codigo;
  }
}

// `pasta` without its trailing separators, resolved when it is there: two spellings of one folder
// compare equal.
std::string PastaComparavel(const std::string& pasta) {
  std::string caminho = pasta;
  try {
    caminho = ResolvedPath(pasta);
  } catch (const FileError&) {
    // Not there: as written.
  }
  while (caminho.size() > 1 && (caminho.back() == '/' || caminho.back() == '\\')) caminho.pop_back();
  return caminho;
}

// The folder a registration serves, the way an install names it.
std::string PastaDoExecutavel(const std::string& executable_path) {
  return executable_path.substr(0, executable_path.find_last_of("\\/") + 1);
}

}  // namespace

bool NomeDeInstanciaValido(const std::string& nome) {
  if (nome.empty() || nome.size() > 64) return false;
  for (const char c : nome) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string CaminhoRecusado(const std::string& path, const std::string& o_que) {
  size_t i = 0;
  while (i < path.size()) {
    const size_t at = i;
    uint32_t cp = 0;
    const std::string antes = "depois de \"" + path.substr(0, at) + "\"";
    if (!DecodeUtf8At(path, i, cp)) {
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned>(static_cast<unsigned char>(path[at])));
      return "O caminho " + o_que + " não é texto UTF-8: o byte " + byte + ", " + antes +
             ", não forma um caractere, e o gerenciador de serviços não carregaria o serviço. "
             "Renomeie a pasta só com caracteres UTF-8.";
    }
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
      return "O caminho " + o_que + " tem o caractere de controle " + NomeDoControle(cp) + ", " +
             antes + ": o gerenciador de serviços não o aceita no caminho de um serviço. Renomeie "
             "a pasta sem ele.";
    }
  }
  return "";
}

bool MesmaPasta(const std::string& a, const std::string& b) {
  return PastaComparavel(a) == PastaComparavel(b);
}

std::optional<TInstanciaRegistrada> InstanciaRegistrada(const std::string& nome) {
  for (const TInstanciaRegistrada& r : RegisteredInstances())
    if (EqualsIgnoringCase(r.nome, nome)) return r;
  return std::nullopt;
}

std::string InstanciaNaoRegistrada(const std::string& nome) {
  return (nome.empty() ? std::string("o serviço ") + kServiceName + " não está instalado"
                       : "a instância \"" + nome + "\" não está registrada") +
         " neste computador; QuiradaContabil /INSTANCIAS lista as instâncias registradas";
}

std::string RegistroEmConflito(const std::string& executable_path, const TInstanciaServico& instancia,
                               const std::vector<TInstanciaRegistrada>& registradas) {
  const std::string pasta =
      instancia.nome.empty() ? PastaDoExecutavel(executable_path) : instancia.pasta;
  const std::string minha = PastaComparavel(pasta);
  for (const TInstanciaRegistrada& r : registradas) {
    if (r.nome == instancia.nome) continue;  // this instance's own registration
    const std::string outra = r.nome.empty() ? "instância sem nome (serviço " + r.servico + ")"
                                             : "instância \"" + r.nome + "\" (serviço " +
                                                   r.servico + ")";
    if (EqualsIgnoringCase(r.nome, instancia.nome)) {
      return "já existe a " + outra + ", e os nomes de instância não distinguem maiúsculas de "
             "minúsculas: use esse nome (/UNINSTALL --instancia " + r.nome + " o remove) ou outro";
    }
    if (!r.pasta.empty() && PastaComparavel(r.pasta) == minha) {
      return "a pasta \"" + pasta + "\" já é servida pela " + outra + ": cada pasta tem um só "
             "registro; remova-o antes (/UNINSTALL" + (r.nome.empty() ? "" : " --instancia " + r.nome) +
             ") ou use outra pasta";
    }
  }
  return "";
}

}  // namespace quirada
