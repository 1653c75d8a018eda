// The register (QUIRADA_ENVIOS_XML) made ready before a cycle's first upload, and the claim that
// keeps two cycles on one ERP database (of other service folders or machines) from sending a
// document twice.
//
// VerificarRegistro proves that the register can take rows before anything is uploaded: the
// table and its five columns exist, ID_ENVIO holds at least kTamanhoMinimoIdEnvio characters (the
// platform's batch ids) and the database is not read-only. ProvarGravacao, under the claim,
// proves that the user may insert and update the register, writing no row, and marks the
// attachment as this cycle's (the service folder, in a session context variable), so that a cycle
// or an operator that finds the claim taken can name its holder's machine, process and folder (as
// far as the server lets its user see other attachments).
//
// The claim (ReivindicacaoDocumento) is TransReadWrite started: it reserves the register for
// protected write, waiting at most kLockTimeout for whoever holds it. A cycle takes it for one
// document at a time: it looks the document up in the register (another cycle may have recorded
// it since the pending query ran), uploads it, asks for its batch's state, writes its row and
// commits, which lets the claim go. So the ERP's own writes to the register wait at most one
// document's exchange, and two cycles on one database share its pending documents, each sent
// once. The server lets the claim go too when its holder disconnects or dies; the claim blocks no
// reader (the ERP, "/PENDING") and no writer of any other table.
//
// Every failure is an Exception whose message names what is wrong, the fix (the DDL or the GRANT)
// and that nothing was sent.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/errors.h"
#include "dispatch/erp_queries.h"
#include "firebird/fb_api.h"

namespace quirada {

// The longest batch id the platform gives: a UUID in its 8-4-4-4-12 form.
inline constexpr size_t kTamanhoMinimoIdEnvio = 36;

// The DDL of the register, as README and the messages give it.
inline constexpr const char* kDdlEnviosXML =
    "CREATE TABLE QUIRADA_ENVIOS_XML (SEQUENCIAL INTEGER NOT NULL, TIPOXML CHAR(1) NOT NULL, "
    "DATAHORAENVIO TIMESTAMP, ID_ENVIO VARCHAR(64), CODIGORETORNO VARCHAR(10), "
    "CONSTRAINT PK_QUIRADA_ENVIOS_XML PRIMARY KEY (SEQUENCIAL, TIPOXML))";

// What the register can take, read once per cycle.
struct TRegistroVerificado {
  size_t tamanho_id_envio = 0;  // characters ID_ENVIO holds
};

TRegistroVerificado VerificarRegistro(ErpComponents& erp);

// Takes the claim, waiting as `wait` says. Returns nothing when taken; otherwise who holds it, as
// a clause for a message ("outro ciclo de envio está em andamento neste banco de dados (máquina
// ..., processo ..., pasta ...)" or, when the holder is no cycle this user can see, that another
// transaction writes to or holds the register), without control characters.
std::optional<std::string> ReivindicarBanco(
    ErpComponents& erp, FbTransaction::Wait wait = FbTransaction::Wait::kLockTimeout);

// Within the claim: the user's INSERT and UPDATE rights on the register, proven without writing a
// row, and the attachment marked with `pasta` (the service folder, cut to what the context
// variable holds, never inside a character) for whoever finds the claim taken.
void ProvarGravacao(ErpComponents& erp, const std::string& pasta);

// The claim for one document, let go (rolled back) when destroyed unless Liberar let it go first.
class ReivindicacaoDocumento {
 public:
  explicit ReivindicacaoDocumento(ErpComponents& erp) : erp_(erp) {}
  ~ReivindicacaoDocumento();
  ReivindicacaoDocumento(const ReivindicacaoDocumento&) = delete;
  ReivindicacaoDocumento& operator=(const ReivindicacaoDocumento&) = delete;

  // Takes it; who holds it when it could not be had (ReivindicarBanco).
  std::optional<std::string> Tomar() { return ReivindicarBanco(erp_); }
  // Commits what was written under it (the document's row) and lets it go.
  void Liberar() { erp_.TransReadWrite.Commit(); }

 private:
  ErpComponents& erp_;
};

// Who the connection is: its user and the role it took ("" for none).
struct TQuemConectou {
  std::string usuario;
  std::string papel;
};
TQuemConectou QuemConectou(ErpComponents& erp);

// The sentence for a statement the database refused for want of a grant (DatabaseError
// no_permission, whose text is `recusa`): who (user, role), what privilege on which object, and
// the GRANT that mends it, to the role when the connection took one.
std::string TextoSemPermissao(const TQuemConectou& quem, const std::string& recusa);

// Runs `f`; a statement the database refuses for want of a grant raises TextoSemPermissao's
// sentence instead (the refusal itself when who is connected cannot be asked).
template <typename F>
auto ComPermissoes(ErpComponents& erp, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const DatabaseError& e) {
    if (!e.no_permission()) throw;
    TQuemConectou quem;
    try {
      quem = QuemConectou(erp);
    } catch (const std::exception&) {
      throw e;
    }
    throw Exception(TextoSemPermissao(quem, e.what()));
  }
}

}  // namespace quirada
