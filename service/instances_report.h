// "/INSTANCIAS": what a provider's administrator reads each morning, and what a monitor reads every
// few minutes, of every instance registered on this machine.
//
// For each instance: its service, name, folder and the service manager's state; from the state its
// cycles keep in its folder (last_cycle.h) the last cycle (start, end, documents sent and not sent,
// the failure's text), the last success, the failed cycles in a row, the next cycle's time and the
// program's version; and the documents pending now, counted as "/PENDING" counts them (the
// instance's INI read, its ERP database asked; when it cannot be, the count is missing and
// standard error says why, one line per instance).
//
// Three forms: lines for a person (TFormatoRelatorio::kLinhas: one line an instance, then the
// count and the instances that want attention); a JSON array of one object per instance, with
// exactly the keys "servico", "instancia" ("" for the unnamed one), "pasta", "estado",
// "ultimo_ciclo" ({"inicio", "fim", "enviados", "nao_enviados", "falha" or null}, null before the
// first cycle), "ultimo_sucesso", "falhas_seguidas", "pendentes", "proximo_ciclo", "versao" (times
// ISO 8601 with their offset, null when unknown); and the Prometheus text format, one gauge family
// per measure with the labels "instancia" and "servico" (timestamps in seconds since the epoch),
// for node_exporter's textfile collector.
//
// An instance is well (JulgarInstancia) when its last cycle did not fail and it is not stale: a
// cycle ended within the last two periods (its INI's IntervaloSegundos), or, before its first
// cycle, its service started within them. The unnamed instance whose service the service manager
// shows stopped ("inactive", "STOPPED") and which never started in its folder is not in use (a
// provider who runs only named instances still has the package's unit): it is listed, and counts
// as well. The exit status is 0 when every instance is well, 1 otherwise.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "service/install.h"
#include "service/last_cycle.h"

namespace quirada {

enum class TFormatoRelatorio { kLinhas, kJson, kPrometheus };

struct TInstanciaRelatada {
  TInstanciaRegistrada registro;
  TEstadoLido estado;
  std::optional<long long> pendentes;  // nothing when they could not be counted
  std::string pendentes_motivo;        // then: why
};

// Whether the instance is well at `agora`, and when it is not, why (one sentence).
struct TJulgamento {
  bool bem = false;
  std::string motivo;
};
TJulgamento JulgarInstancia(const TInstanciaRelatada& instancia, int64_t agora);

// The documents pending in the instance's folder now, as "/PENDING" counts them; nothing, with
// `motivo` set, when they cannot be counted (a folder that is not trusted, an INI that cannot be
// read, a database that cannot be reached: its message).
std::optional<long long> ContarPendentesDaPasta(const std::string& pasta, std::string& motivo);

// The report of `instancias` at `agora` in `formato`.
std::string TextoDoRelatorio(const std::vector<TInstanciaRelatada>& instancias, TFormatoRelatorio formato,
                             int64_t agora);

// Reads the state of each of `registradas` and counts its pending documents, writes the report to
// `out` (and why a count is missing to `err`); returns the exit status.
int RelatarInstancias(const std::vector<TInstanciaRegistrada>& registradas, TFormatoRelatorio formato,
                      std::ostream& out, std::ostream& err);

}  // namespace quirada
