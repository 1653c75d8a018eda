// The ERP's Firebird database as the cycle's document source (document_source.h).
//
// Built for one cycle over the service module's database components (erp_queries.h) and the
// instance's configuration: Abrir is the connection sequence of connection_setup.h (its failure
// line goes to `save_log`); from then on until Fechar a stop request cancels the database call in
// progress (firebird/database_cancel.h). The settings are judged as erp_settings.h says, the
// register made ready and each document claimed as register_check.h says, the pending documents
// walked as pending_walk.h says (a document whose XML the server cannot give comes with why; a
// lost connection or a cancelled call still raises), rows written as register_write.h says. A
// statement the database refuses for want of a grant raises the sentence of TextoSemPermissao
// (who, and the GRANT that mends it).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dispatch/configuration.h"
#include "dispatch/document_source.h"
#include "dispatch/erp_queries.h"

namespace quirada {

class CancelamentoNaParada;
class ReivindicacaoDocumento;

class TFonteFirebird : public TFonteDocumentos {
 public:
  TFonteFirebird(ErpComponents& erp, const TConfiguracao& config,
                 std::function<void(const std::string&)> save_log, std::function<bool()> parada);
  ~TFonteFirebird() override;

  std::optional<std::string> Abrir() override;
  TConfiguracaoErp Configuracao() override;
  std::optional<size_t> PrepararRegistro(std::string* quem) override;
  long long ContarPendentes() override;
  void PercorrerPendentes(const std::function<bool(const TDocumentoPendente&)>& tratar) override;
  TReivindicacao Reivindicar(const TDocumentoPendente& documento, std::string* quem) override;
  void Registrar(const RegistroEnvio& linha) override;
  void Soltar() override;
  void Fechar() override;

 private:
  ErpComponents& erp_;
  const TConfiguracao& config_;
  std::function<void(const std::string&)> save_log_;
  std::function<bool()> parada_;
  std::unique_ptr<CancelamentoNaParada> cancelamento_;
  std::unique_ptr<ReivindicacaoDocumento> reivindicacao_;
};

}  // namespace quirada
