#include "dispatch/configuration.h"

#include <charconv>
#include <cstdio>

#include "base/text.h"
#include "platform_client/Quirada.h"

namespace quirada {
namespace {

constexpr uint32_t kIntervaloPadraoSegundos = 3600;

uint32_t IntervaloMs(const std::string& text) {
  uint32_t seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (ec != std::errc() || end != text.data() + text.size() || seconds == 0 ||
      seconds > 4'000'000)
    seconds = kIntervaloPadraoSegundos;
  return seconds * 1000;
}

// A name for the token folder of the instance in `pasta`: its last component (letters, digits,
// '-' and '_' kept, 32 at most) and a digest of the whole path, so that two folders of the same
// name elsewhere never share a token.
std::string PastaDoToken(const std::string& pasta) {
  std::string caminho = pasta;
  while (!caminho.empty() && (caminho.back() == '/' || caminho.back() == '\\')) caminho.pop_back();
  const size_t barra = caminho.find_last_of("/\\");
  const std::string ultima = barra == std::string::npos ? caminho : caminho.substr(barra + 1);
  std::string nome = "instancia-";
  size_t guardados = 0;
  for (const char c : ultima) {
    if (guardados == 32) break;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_') {
      nome += c;
      ++guardados;
    }
  }
  char digest[17];
  std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(StableHash(pasta)));
  return nome + "-" + digest;
}

}  // namespace

TConfiguracao ConfiguracaoDaInstancia(const std::string& pasta, const IniFileContents& ini,
                                      bool pasta_propria) {
  TConfiguracao c;
  c.pasta = pasta;
  c.acesso = pasta;
  c.arquivo_ini = pasta + kArquivoIni;
  c.codificacao = ini.encoding;
  c.entradas = ini.entries;
  c.banco.Servidor = ini.Value(kSecaoIni, "Servidor", "localhost");
  c.banco.Caminho = ini.Value(kSecaoIni, "Caminho", pasta + "MORVANT.FDB");
  c.banco.Usuario = ini.Value(kSecaoIni, "Usuario", kUsuarioBanco);
  c.banco.Senha = ini.Value(kSecaoIni, "Senha", "");
  c.banco.Papel = ini.Value(kSecaoIni, "Papel", "");
  c.api_url = ini.Value(kSecaoQuirada, "ApiUrl", kDefaultApiUrl);
  c.auth_url = ini.Value(kSecaoQuirada, "AuthUrl", kDefaultAuthUrl);
  c.ca_file = ini.Value(kSecaoQuirada, "CAFile", "");
  c.intervalo_ms = IntervaloMs(ini.Value(kSecaoQuirada, "IntervaloSegundos", ""));
  c.pasta_token = pasta_propria ? "" : PastaDoToken(pasta);
  return c;
}

}  // namespace quirada
