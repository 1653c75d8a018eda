#include "dispatch/quirada_platform.h"

#include <utility>

#include "base/platform.h"

namespace quirada {

void ConfigurarCliente(TDTQuirada& q, const TConfiguracao& config,
                       const std::string& chave_contabilidade, const std::string& chave_integracao,
                       std::function<bool()> parada) {
  // No token folder but the private one, checked now: until it is, the client has none.
  q.setCaminhoArquivoToken("");
  q.setCaminhoArquivoToken(PrivateTempDir(config.pasta_token));
  q.SetClientID(kClientID);
  q.SetClientSecret(kClientSecret);
  q.setAuence(kAudience);
  q.setKeyContabilidade(chave_contabilidade);
  q.setIntegrationKey(chave_integracao);
  q.SetParadaSolicitada(std::move(parada));
  q.SetApiUrl(config.api_url);
  q.SetAuthUrl(config.auth_url);
  q.SetRota(config.rota);
}

TPlataformaQuirada::TPlataformaQuirada(TDTQuirada& cliente, const TConfiguracao& config,
                                       const std::string& chave_contabilidade,
                                       const std::string& chave_integracao,
                                       std::function<bool()> parada)
    : cliente_(cliente) {
  ConfigurarCliente(cliente_, config, chave_contabilidade, chave_integracao, std::move(parada));
}

}  // namespace quirada
