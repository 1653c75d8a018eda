#include "dispatch/configuration.h"

#include <charconv>
#include <cstdio>

#include "base/text.h"
#include "platform_client/Quirada.h"

namespace quirada {
namespace {

uint32_t IntervaloMs(const std::string& text) {
  uint32_t seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (ec != std::errc() || end != text.data() + text.size() || seconds == 0 ||
      seconds > 4'000'000)
    return kIntervaloPadraoMs;
  return seconds * 1000;
}

std::string Nenhum(const std::string& valor) { return valor.empty() ? "(nenhum)" : valor; }

// A proxy's address as it may be shown: its password masked, up to the last "@" before the host
// (a password typed with an "@" of its own, not encoded, stays masked whole).
std::string ProxySemSenha(const std::string& proxy) {
  const size_t esquema = proxy.find("://");
  const size_t inicio = esquema == std::string::npos ? 0 : esquema + 3;
  const size_t fim = proxy.find('/', inicio);
  const size_t arroba = proxy.rfind('@', fim == std::string::npos ? std::string::npos : fim);
  if (arroba == std::string::npos || arroba < inicio) return proxy;
  const size_t dois_pontos = proxy.find(':', inicio);
  if (dois_pontos == std::string::npos || dois_pontos > arroba) return proxy;
  return proxy.substr(0, dois_pontos + 1) + "********" + proxy.substr(arroba);
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

const std::vector<TChaveIni>& ChavesIni() {
  using C = TConfiguracao;
  using S = const std::string&;
  static const std::vector<TChaveIni> chaves = {
      {kSecaoIni, "Servidor", [](const C&) -> std::string { return "localhost"; },
       [](C& c, S v) { c.banco.Servidor = v; }, [](const C& c) { return c.banco.Servidor; }},
      {kSecaoIni, "Caminho", [](const C& c) { return c.pasta + "MORVANT.FDB"; },
       [](C& c, S v) { c.banco.Caminho = v; }, [](const C& c) { return c.banco.Caminho; }},
      {kSecaoIni, "Usuario", [](const C&) -> std::string { return kUsuarioBanco; },
       [](C& c, S v) { c.banco.Usuario = v; },
       [](const C& c) {
         return c.banco.Usuario + (c.banco.Senha.empty() && !EqualsIgnoringCase(c.banco.Usuario, kUsuarioBanco)
                                       ? " (não vale sem Senha: o serviço conecta como SYSDBA)"
                                       : "");
       }},
      {kSecaoIni, "Senha", [](const C&) { return std::string(); }, [](C& c, S v) { c.banco.Senha = v; },
       [](const C& c) -> std::string {
         return c.banco.Senha.empty() ? "(não definida: as senhas internas do serviço)" : "********";
       }},
      {kSecaoIni, "Papel", [](const C&) { return std::string(); }, [](C& c, S v) { c.banco.Papel = v; },
       [](const C& c) { return Nenhum(c.banco.Papel); }},
      {kSecaoQuirada, "ApiUrl", [](const C&) -> std::string { return kDefaultApiUrl; },
       [](C& c, S v) { c.api_url = v; }, [](const C& c) { return c.api_url; }},
      {kSecaoQuirada, "AuthUrl", [](const C&) -> std::string { return kDefaultAuthUrl; },
       [](C& c, S v) { c.auth_url = v; }, [](const C& c) { return c.auth_url; }},
      {kSecaoQuirada, "CAFile", [](const C&) { return std::string(); }, [](C& c, S v) { c.rota.ca_file = v; },
       [](const C& c) { return Nenhum(c.rota.ca_file); }},
      {kSecaoQuirada, "Proxy", [](const C&) { return std::string(); }, [](C& c, S v) { c.rota.proxy = v; },
       [](const C& c) { return Nenhum(ProxySemSenha(c.rota.proxy)); },
       // It takes the service to the authorization server (a tunnel opened through it).
       [](const C& c) {
         if (c.rota.proxy.empty()) return false;
         ProbeRoute(c.rota, ParseEndpoint(c.auth_url));
         return true;
       }},
      {kSecaoQuirada, "IntervaloSegundos", [](const C&) { return std::string(); },
       [](C& c, S v) { c.intervalo_ms = IntervaloMs(v); },
       [](const C& c) { return std::to_string(c.intervalo_ms / 1000); }},
  };
  return chaves;
}

TConfiguracao ConfiguracaoDaInstancia(const std::string& pasta, const IniFileContents& ini,
                                      bool pasta_propria) {
  TConfiguracao c;
  c.pasta = pasta;
  c.acesso = pasta;
  c.arquivo_ini = pasta + kArquivoIni;
  c.codificacao = ini.encoding;
  c.entradas = ini.entries;
  for (const TChaveIni& chave : ChavesIni()) chave.guardar(c, ini.Value(chave.secao, chave.nome, chave.padrao(c)));
  c.pasta_token = pasta_propria ? "" : PastaDoToken(pasta);
  return c;
}

}  // namespace quirada
