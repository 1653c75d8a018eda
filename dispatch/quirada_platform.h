// The accounting platform as the cycle's platform (platform.h), through the component TDTQuirada.
//
// ConfigurarCliente gives the component what every cycle gives it: the service's credentials, the
// ERP's keys, the instance's private token folder (checked: until it is, the component has none),
// the endpoints and trusted authorities of the instance's configuration, and the stop request.
// TPlataformaQuirada does that once, when it is made (the cycle makes it for its first document:
// a cycle with nothing to send leaves the component untouched), then uploads a document's bytes
// (TDTQuirada::EnviaDocumento) and asks for a batch's state (TDTQuirada::StatusFile).
#pragma once

#include <functional>
#include <string>

#include "dispatch/configuration.h"
#include "dispatch/platform.h"
#include "platform_client/Quirada.h"

namespace quirada {

void ConfigurarCliente(TDTQuirada& cliente, const TConfiguracao& config,
                       const std::string& chave_contabilidade, const std::string& chave_integracao,
                       std::function<bool()> parada);

class TPlataformaQuirada : public TPlataforma {
 public:
  TPlataformaQuirada(TDTQuirada& cliente, const TConfiguracao& config,
                     const std::string& chave_contabilidade, const std::string& chave_integracao,
                     std::function<bool()> parada);

  TRetornoEnvio Enviar(const std::string& nome_arquivo, const std::string& bytes) override {
    return cliente_.EnviaDocumento(nome_arquivo, bytes);
  }
  TRetornoStatus Estado(const std::string& id) override { return cliente_.StatusFile(id); }

 private:
  TDTQuirada& cliente_;
};

}  // namespace quirada
