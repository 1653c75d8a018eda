// The dispatch cycle: the work of every timer tick.
//
// ExecutarCicloEnvio runs over two seams: the document source (document_source.h: the ERP's
// settings, its pending documents, the register) and the platform (platform.h: one upload, one
// batch status query). It opens the source, judges the settings, makes the register ready, and for
// each pending document in turn: its file's content (xml_file.h), its claim, its XML file in the
// instance's folder (kept for the exchange; the upload sends the same bytes from memory), the
// upload, the state of the batch it created and, when the platform accepted it, its register row
// (committed at once), then the file deleted. Whatever happens, it closes the source (the tail)
// before it returns or raises.
//
// Outcome of one document (DecidirDocumento, document_outcome.h):
//  - upload code "S1" or "S2" (exact) and a status code other than "E0", "EA0", "EB0": recorded;
//  - upload code "S1"/"S2" and status "E0", "EA0" or "EB0": not recorded, offered again;
//  - any other upload code, or an upload answered with a success status other than 201 (which
//    leaves no code of its own): not recorded, no status query, offered again.
// A document that the platform rejects on its own account (an upload answered 4xx other than 401,
// 403, 408 and 429) is written to the service log with its access key and skipped; its file is
// deleted and the cycle goes on. Every other failure ends the cycle: ExecutarCicloEnvio raises an
// Exception with the failure's message. Documents recorded before it stay recorded.
//
// The integration settings are judged first (erp_settings.h): an integration key outside printable
// ASCII fails the cycle before anything is sent; no settings row or an empty key leaves the cycle
// with nothing done and nothing logged (TResumoCiclo::nada_a_enviar says why).
//
// Before the first upload the cycle proves the register can take rows (register_check.h): a
// register that cannot be written ends the cycle before anything is sent. Then each document takes
// the database's claim for its own exchange: looked up again in the register under the claim (a
// document another cycle on the same database recorded meanwhile is not sent:
// TResumoCiclo::ja_registrados), uploaded, its batch's state asked, its row written and
// committed, which lets the claim go. A claim held elsewhere past the lock wait (another cycle's
// stuck exchange, an ERP transaction that keeps a register write uncommitted) ends the cycle
// saying who holds it (TResumoCiclo::banco_ocupado). A statement the database refuses for want of
// a grant ends the cycle with who lacks it (user and role) and the GRANT that mends it.
//
// Each document is decided on its own (xml_file.h): one whose key has no digit to name its XML
// file, whose XML is NULL or empty, cannot be read, cannot be written without changing a
// character, or whose XML file cannot be created (a name too long, any other error of that one
// file) is neither uploaded nor recorded: it is written to the service log with its key and the
// cycle goes on. A full, read-only or failing disk ends the cycle. A batch id that is empty, "."
// or "..", or holds a byte outside printable ASCII is a fault of the platform and ends the cycle
// before the status query; one longer than the register's ID_ENVIO column is recorded cut to the
// column, with a log line giving it whole. A register write that fails after the platform
// accepted the document ends the cycle with a message naming the key and the batch (and, when
// another transaction holds the row or the table, saying so).
//
// A stop request (ParadaSolicitada) is looked at before each document, and while the cycle runs a
// database call in progress is cancelled when one arrives (the source's business; the Firebird
// source's attachment is cut when the server does not answer): the cycle then ends with its tail, the document in hand
// counts as not sent (its row, if written, is not committed; it is offered again, as after any
// failure) and the documents left wait for the next cycle. The platform client gets the same
// predicate, so a stop also ends a transfer in progress; the XML file of the document in hand is
// removed. A call cut short so (Interrupted, from
// the client or the database), and whatever else fails once a stop was requested, ends the cycle
// the same way: it is not raised, it returns with `interrompido` set, and nothing is logged for
// the stop.
//
// The token file lives in the user's private temporary folder (PrivateTempDir), in the instance's
// own folder there (TConfiguracao::pasta_token).
//
// A failed connection is not raised: the source logs it and the cycle ends quietly.
#pragma once

#include <algorithm>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "dispatch/configuration.h"
#include "dispatch/document_source.h"
#include "dispatch/platform.h"

namespace quirada {

struct TResumoCiclo;

// What one cycle works with: the two seams and the instance's configuration, read once at the
// cycle's start.
struct TCicloEnvio {
  TFonteDocumentos& fonte;
  // Makes the platform, for the cycle's first document, from the judged settings (their keys).
  std::function<std::unique_ptr<TPlataforma>(const TConfiguracaoErp&)> plataforma;
  const TConfiguracao& config;
  std::function<void(const std::string&)> DoSaveLog;
  // Whether a stop request has arrived; none when empty.
  std::function<bool()> ParadaSolicitada;
  // Told before each document: its place `i` (from 1) among the `n` the cycle selected.
  std::function<void(long long i, long long n)> Progresso;
  // Told, on the cycle's thread, where the cycle stands before and after each document.
  std::function<void(const TResumoCiclo&)> Andamento;
};

// How a cycle that was not raised ended.
struct TResumoCiclo {
  bool conectou = false;       // it reached the ERP database (a failure to is logged, not raised)
  std::string falha_conexao;   // then: the line the connection sequence logged
  std::string nada_a_enviar;   // the settings leave nothing to send: why (erp_settings.h)
  std::string banco_ocupado;   // another cycle (or transaction) held the database's claim: who
  bool interrompido = false;   // a stop request ended it before its last document
  long long pendentes = 0;     // documents the pending query selected at the start
  long long selecionados = 0;  // documents it took in hand
  long long enviados = 0;      // documents it recorded in the register
  long long registrados_no_log = 0;  // documents it wrote to the service log as not sent
  long long ja_registrados = 0;  // documents another cycle recorded after the pending query ran

  // Selected documents that were not recorded (left by a stop request included), but those
  // another cycle recorded.
  long long NaoEnviados() const {
    return std::max(pendentes, selecionados) - enviados - ja_registrados;
  }
};

// "Ciclo concluído: N enviado(s), M não enviado(s).", or for a cycle a stop request ended
// "Ciclo interrompido por pedido de parada: N enviado(s), M não enviado(s).".
std::string TextoResumo(const TResumoCiclo& resumo);

// A cycle that could not have the database's claim (TResumoCiclo::banco_ocupado): "Ciclo de envio
// não executado: <who holds it> (esperou N segundos)." before its first document; after it,
// "Ciclo de envio interrompido: <who> (esperou N segundos); N enviado(s), M não enviado(s).".
std::string TextoBancoOcupado(const TResumoCiclo& resumo);

TResumoCiclo ExecutarCicloEnvio(TCicloEnvio& ciclo);

// Exit statuses of a cycle run once ("/ONCE").
inline constexpr int kStatusConcluido = 0;        // completed (or stopped), nothing in the service log
inline constexpr int kStatusFalhou = 1;           // the cycle failed (raised, or no connection)
inline constexpr int kStatusDocumentosNoLog = 3;  // completed; documents not sent are in the log
inline constexpr int kStatusOcupado = 75;         // the folder's or the database's claim is held elsewhere

// The exit status of a cycle that was not raised.
int StatusDeSaida(const TResumoCiclo& resumo);

// Lists, one line each, the documents that the next cycle will take in hand ("<sequencial> <tipo>
// <chave> <bytes do arquivo XML>", the file's CR LF counted), without sending anything. A document
// without XML shows "sem XML: não será enviado" in place of the size, one whose XML cannot be read
// "ilegível: <causa>", one the cycle will not send for its own reason "não será enviado: <causa>".
// Control characters from the database are shown as blanks. A failed connection raises its
// message; settings that leave nothing to send print "Nada a enviar: <why>".
void ListarPendentes(TFonteDocumentos& fonte, std::ostream& out);

// How many documents the next cycle will take in hand, as "/PENDING" counts them: 0 when the
// settings leave nothing to send. A failed connection or invalid settings raise their message.
long long ContarPendentesDaFonte(TFonteDocumentos& fonte);

}  // namespace quirada
