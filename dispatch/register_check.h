// The register (QUIRADA_ENVIOS_XML) made ready before a cycle's first upload, and the claim that
// keeps one cycle per ERP database, across service folders and machines.
//
// VerificarRegistro proves that the register can take rows before anything is uploaded: the
// table and its five columns exist, ID_ENVIO holds at least kTamanhoMinimoIdEnvio characters (the
// platform's batch ids) and the database is not read-only. ReivindicarBanco then starts
// TransReadWrite, which reserves the register for protected write without waiting (fb_connection.h):
// the claim. The server releases it when the transaction ends, when its holder disconnects or
// dies; it blocks no reader (the ERP, "/PENDING") and no writer of any other table. The register
// rows of the cycle are written through it, each committed at once (CommitRetaining). Within the
// claim, ProvarGravacao proves that the user may insert and update the register, writing no row,
// and marks the attachment as this cycle's (the service folder, in a session context variable),
// so that another cycle that finds the claim taken can name its holder's machine, process and
// folder (as far as the server lets its user see other attachments).
//
// Every failure is an Exception whose message names what is wrong, the fix (the DDL or the GRANT)
// and that nothing was sent.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "dispatch/erp_queries.h"

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
  bool chave_unica = false;     // a unique key of (SEQUENCIAL, TIPOXML): rows are inserted at once
};

TRegistroVerificado VerificarRegistro(ErpComponents& erp);

// Takes the claim. Returns nothing when taken; otherwise who holds it, as a clause for a message
// ("outro ciclo de envio está em andamento neste banco de dados (máquina ..., processo ..., pasta
// ...)" or, when the holder is no cycle this user can see, that another transaction writes to or
// holds the register).
std::optional<std::string> ReivindicarBanco(ErpComponents& erp);

// Within the claim: the user's INSERT and UPDATE rights on the register, proven without writing a
// row, and the attachment marked with `pasta` (the service folder) for whoever finds the claim
// taken.
void ProvarGravacao(ErpComponents& erp, const std::string& pasta);

}  // namespace quirada
