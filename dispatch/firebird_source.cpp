#include "dispatch/firebird_source.h"

#include <utility>

#include "base/errors.h"
#include "dispatch/connection_setup.h"
#include "dispatch/document_kinds.h"
#include "dispatch/pending_walk.h"
#include "dispatch/register_check.h"
#include "firebird/database_cancel.h"

namespace quirada {
namespace {

// Who holds the claim, and that it was waited for.
std::string QuemSegura(std::string quem) {
  return quem + " (esperou " + std::to_string(kLockTimeout.count()) + " segundos)";
}

}  // namespace

TFonteFirebird::TFonteFirebird(ErpComponents& erp, const TConfiguracao& config,
                               std::function<void(const std::string&)> save_log,
                               std::function<bool()> parada)
    : erp_(erp), config_(config), save_log_(std::move(save_log)), parada_(std::move(parada)) {}

TFonteFirebird::~TFonteFirebird() {
  try {
    Fechar();
  } catch (const std::exception&) {
    // The cycle's tail already said what failed.
  }
}

std::optional<std::string> TFonteFirebird::Abrir() {
  std::optional<std::string> falha;
  const bool conectou = ConectarBancoDados(erp_.Connquendalor, config_.banco, [&](const std::string& linha) {
    falha = linha;
    if (save_log_) save_log_(linha);
  });
  if (!conectou) return falha.value_or(kFalhaConexao);
  cancelamento_ = std::make_unique<CancelamentoNaParada>(erp_.Connquendalor, parada_);
  return std::nullopt;
}

TConfiguracaoErp TFonteFirebird::Configuracao() {
  return ComPermissoes(erp_, [&] { return LerConfiguracaoErp(erp_); });
}

std::optional<size_t> TFonteFirebird::PrepararRegistro(std::string* quem) {
  return ComPermissoes(erp_, [&]() -> std::optional<size_t> {
    const TRegistroVerificado verificado = VerificarRegistro(erp_);
    ReivindicacaoDocumento reivindicacao(erp_);
    if (std::optional<std::string> ocupado = reivindicacao.Tomar()) {
      *quem = QuemSegura(std::move(*ocupado));
      return std::nullopt;
    }
    ProvarGravacao(erp_, config_.pasta);
    reivindicacao.Liberar();
    return verificado.tamanho_id_envio;
  });
}

long long TFonteFirebird::ContarPendentes() {
  return ComPermissoes(erp_, [&] { return quirada::ContarPendentes(erp_); });
}

void TFonteFirebird::PercorrerPendentes(const std::function<bool(const TDocumentoPendente&)>& tratar) {
  ComPermissoes(erp_, [&] {
    quirada::PercorrerPendentes(erp_, [&](FbQuery& linha) {
      TDocumentoPendente documento;
      documento.sequencial = linha.FieldAsInteger("SEQUENCIAL");
      documento.tipo = linha.FieldAsString("TIPO");
      documento.chave = linha.FieldAsString("CHAVE");
      try {
        documento.texto = LerXmlGuardado(erp_, linha);
      } catch (const DatabaseError& e) {
        // One document's text the server cannot give; a lost connection or a cancelled call is
        // the cycle's.
        if (e.connection_lost() || e.cancelled()) throw;
        documento.falha_leitura = e.what();
      }
      return tratar(documento);
    });
  });
}

TReivindicacao TFonteFirebird::Reivindicar(const TDocumentoPendente& documento, std::string* quem) {
  return ComPermissoes(erp_, [&] {
    auto reivindicacao = std::make_unique<ReivindicacaoDocumento>(erp_);
    if (std::optional<std::string> ocupado = reivindicacao->Tomar()) {
      *quem = QuemSegura(std::move(*ocupado));
      return TReivindicacao::kOcupada;
    }
    reivindicacao_ = std::move(reivindicacao);
    return ProcurarRegistroEnvio(erp_.TBEnviosXML, documento.sequencial, documento.tipo)
               ? TReivindicacao::kJaRegistrado
               : TReivindicacao::kTomada;
  });
}

void TFonteFirebird::Registrar(const RegistroEnvio& linha) {
  try {
    GravarRegistroEnvio(erp_.TBEnviosXML, linha);
    if (reivindicacao_) reivindicacao_->Liberar();
    reivindicacao_.reset();
  } catch (const DatabaseError& e) {
    if (e.cancelled()) throw;
    throw FalhaDoRegistro(e.what(), e.lock_conflict()
                                        ? ": outra transação prende a sua linha (ou a tabela) QUIRADA_ENVIOS_XML"
                                        : "");
  } catch (const std::exception& e) {
    throw FalhaDoRegistro(e.what(), "");
  }
}

void TFonteFirebird::Soltar() { reivindicacao_.reset(); }

void TFonteFirebird::Fechar() {
  // The tail is never cancelled; it runs once.
  cancelamento_.reset();
  reivindicacao_.reset();
  std::optional<std::string> falha;
  try {
    erp_.TBPadraoII.Close();
  } catch (const std::exception& e) {
    falha = e.what();
  }
  try {
    erp_.Connquendalor.Disconnect();
  } catch (const std::exception& e) {
    if (!falha) falha = e.what();
  }
  if (falha) throw Exception(*falha);
}

}  // namespace quirada
