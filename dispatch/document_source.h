// The document source: where a cycle finds the ERP's settings and pending documents, and where it
// records a document's send. One of the two seams the dispatch cycle runs over (the other is the
// platform, platform.h); firebird_source.h is the ERP database's, testing/fake_document_source.h
// one in memory.
//
// A source is used for one cycle: Abrir, then the settings, the register made ready, the walk over
// the pending documents and, for each document the cycle sends, its claim (Reivindicar) and then
// Registrar or Soltar; Fechar last, whatever happened. Every failure raises an Exception whose
// message a person can act on (the database's own words, the grant that is missing and the GRANT
// that mends it); a call cut short by a stop request raises too (the cycle looks at the stop).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "base/errors.h"
#include "dispatch/erp_settings.h"
#include "dispatch/register_write.h"
#include "firebird/fb_value.h"

namespace quirada {

// A pending document as the ERP keeps it.
struct TDocumentoPendente {
  long long sequencial = 0;
  std::string tipo;   // the kind's letter: "N" a note, "C" a cancellation
  std::string chave;  // the access key, as stored
  // The XML as stored, with the character set of its column; nothing when the database could not
  // give it (`falha_leitura` says why).
  std::optional<FbText> texto;
  std::string falha_leitura;
};

// What a document's claim found.
enum class TReivindicacao {
  kTomada,        // the claim is this cycle's and the document still unrecorded: send it
  kJaRegistrado,  // the claim is this cycle's, but another cycle recorded the document meanwhile
  kOcupada,       // another cycle or transaction held the claim past the lock wait: the cycle ends
};

// A register write that failed after the platform accepted the document; `clausula` says more
// when another transaction holds the row or the table (": outra transação ...", or "").
class FalhaDoRegistro : public Exception {
 public:
  FalhaDoRegistro(const std::string& message, std::string clausula)
      : Exception(message), clausula_(std::move(clausula)) {}
  const std::string& clausula() const { return clausula_; }

 private:
  std::string clausula_;
};

class TFonteDocumentos {
 public:
  virtual ~TFonteDocumentos() = default;

  // Connects. Returns the line a failed connection writes to the service log (the source wrote
  // it there), or nothing when connected.
  virtual std::optional<std::string> Abrir() = 0;
  // The settings, as every cycle judges them (erp_settings.h).
  virtual TConfiguracaoErp Configuracao() = 0;
  // Proves, before the first upload, that the register can take rows (raises what is wrong and
  // its fix), under the claim, which it lets go. Returns the most characters ID_ENVIO holds, or
  // nothing when the claim was held elsewhere past the wait (`quem` then says by whom).
  virtual std::optional<size_t> PrepararRegistro(std::string* quem) = 0;
  // How many documents the walk will give (counted without reading them).
  virtual long long ContarPendentes() = 0;
  // Calls `tratar` for each pending document, one at a time, until the last or until it returns
  // false.
  virtual void PercorrerPendentes(const std::function<bool(const TDocumentoPendente&)>& tratar) = 0;
  // Takes the claim for `documento` and looks it up in the register under it. kOcupada: `quem`
  // says who holds the claim, and the source holds nothing.
  virtual TReivindicacao Reivindicar(const TDocumentoPendente& documento, std::string* quem) = 0;
  // Under the claim: writes `linha` and commits it, which lets the claim go. A failure raises
  // FalhaDoRegistro (or the interruption, after a stop request).
  virtual void Registrar(const RegistroEnvio& linha) = 0;
  // Lets the claim go without writing anything.
  virtual void Soltar() = 0;
  // The tail: closes and disconnects; raises the first failure.
  virtual void Fechar() = 0;
};

}  // namespace quirada
