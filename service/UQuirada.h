// TSrvQuirada: the service module. It owns, for the life of the process, every component of the
// service: the ERP database connection with its two transactions, the dispatch timer, the platform
// client and the three queries. The program creates one (SrvQuirada) at start and destroys it at
// the end.
//
// Timer1's ticks run the dispatch cycle on the main thread, one at a time: each tick disarms the
// timer, runs the cycle and re-arms it last, so the next cycle starts one period after the end of
// this one. A failure that escapes a tick reaches ManipulaExcecoes, which writes its message to the
// service log. ServiceExecute runs on the service thread: it installs that handler, arms Timer1
// and waits for the stop request; a stop ends a running cycle within seconds (dispatch_cycle.h).
//
// The module serves one instance: a folder (the executable's own, or the one "--pasta" names)
// holding its "Morvant.ini", its service log, its cycle lock and the XML files in transit. Every
// cycle reads the instance's INI once, at its start, and passes that configuration down.
//
// One cycle at a time per service folder: a cycle holds the lock of "QuiradaContabil.lock" in the
// instance's folder from its start to the end of its tail. A tick that finds it held by another
// process (an operator's "/ONCE", say) writes one line to the service log and waits for the next
// period; so does a tick whose cycle finds the ERP database claimed by a cycle of another folder
// or machine (dispatch_cycle.h). Before the lock, a cycle makes sure no one but root and the
// program's user can change the service folder (service_folder.h): in a folder that is not trusted
// it does nothing, and a tick writes one line saying so to the log (the log opened without
// following a link), or to the system event log when the log itself is in question.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "dispatch/dispatch_cycle.h"
#include "dispatch/erp_queries.h"
#include "platform_client/Quirada.h"
#include "service/last_cycle.h"
#include "service/service_folder.h"
#include "service/timer.h"

namespace quirada {

// How long after its start the service takes its first cycle: 1 s for the unnamed instance; for a
// named one a stable offset within the first five minutes (from 1 s up to 5 min, or up to the
// period when that is shorter), derived from its name, so that the instances of one host do not
// all start at the same second and none waits long after a start, a reboot or an upgrade.
inline constexpr uint32_t kEspalhamentoDaPartidaMs = 5 * 60 * 1000;
uint32_t InicioDoPrimeiroCiclo(const std::string& instancia, uint32_t periodo_ms);

// Service control codes that reach ServiceController.
inline constexpr uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;

class TSrvQuirada {
 public:
  // `pasta` (ending with a separator) is the instance's folder: its INI file, service log, lock
  // and XML files.
  explicit TSrvQuirada(TEventLoop& loop, std::string pasta);
  ~TSrvQuirada();  // ServiceDestroy
  TSrvQuirada(const TSrvQuirada&) = delete;
  TSrvQuirada& operator=(const TSrvQuirada&) = delete;

  // The dispatch cycle, Timer1's tick handler.
  void Timer1Timer();

  // How ExecutarCiclo ended when it raised nothing.
  struct TCicloExecutado {
    // The service folder is not trusted: nothing was done.
    std::optional<TPastaNaoConfiavel> pasta_nao_confiavel;
    bool ocupado = false;  // another process held the lock: nothing was done
    std::string processo;  // then: the id written into the lock file, or "desconhecido"
    bool processo_ativo = false;  // and whether a process of that id runs: else the holder is
                                  // some other process, not a cycle of this program
    TResumoCiclo resumo;
  };
  // What a cycle that found the lock held says: "<lead>outro ciclo está em andamento nesta pasta
  // (processo N)", or that another process (not a cycle of this program) holds the lock and how to
  // find it (fuser).
  std::string TextoOcupado(const TCicloExecutado& ciclo) const;
  // One dispatch cycle under the service folder's lock. The folder is judged and held for the
  // whole cycle (service_folder.h: AbrirPasta): its INI, lock, log, XML files and last-cycle line
  // are reached through the folder held. `ao_ler` is told the configuration once the INI is read.
  // A failure raises, after the cycle's tail; its end, a failure's too, is kept in the instance's
  // folder (kArquivoUltimoCiclo).
  TCicloExecutado ExecutarCiclo(const std::function<void(const TConfiguracao&)>& ao_ler = nullptr);

  // Told before each document of a cycle: its place among the documents the cycle selected.
  std::function<void(long long i, long long n)> Progresso;
  // When a stop request is not obeyed in time and the process ends by itself (stop_deadline.h):
  // told, on another thread, where the cycle stood (`interrompido` set), before the process ends.
  std::function<void(const TResumoCiclo&)> AoTerminarNaParada;
  // The instance's name ("" for the unnamed one): when the service takes its first cycle.
  std::string Instancia;
  // Running as the service: after each cycle the system event log is told (host.h: an error for a
  // failed cycle, an informational event for the first one that succeeds after a failure, a
  // routine event otherwise) and the service's status names the next cycle's time.
  bool AvisarServico = false;
  void ServiceDestroy();
  // Appends one time-stamped line to the service log; a failure to write it raises.
  void DoSaveLog(const std::string& Msg);
  // The handler of failures that escape a tick: their message goes to the service log.
  void ManipulaExcecoes(const std::exception& E);
  // On the service thread: arms Timer1 for the first cycle (InicioDoPrimeiroCiclo), waits for the
  // stop request, disarms Timer1.
  void ServiceExecute();
  // Every start is accepted.

  // Lists the documents the next cycle would send, without sending anything. Raises on failure.
  void ListarPendentes(std::ostream& out);
  // The configuration test: the INI in effect, the database, the platform. Returns whether every
  // check passed.
  bool VerificarConfiguracao(std::ostream& out);

  // The instance's folder, ending with a separator.
  const std::string& Pasta() const { return pasta_; }
  // The instance's configuration as its INI file gives it now; raises when the folder is not
  // trusted.
  TConfiguracao LerConfiguracao() const;

  // The ERP database's components: Connquendalor with TransReadOnly and TransReadWrite, and the
  // queries TBPadraoII, TBXml and TBEnviosXML.
  ErpComponents Erp;
  TTimer Timer1;
  TDTQuirada DTQuirada;

 private:
  TCicloEnvio Ciclo(const TConfiguracao& config, TFonteDocumentos& fonte);
  // The configuration read through the folder held, its files reached through it.
  TConfiguracao LerConfiguracao(const TPastaAberta& aberta) const;
  enum class TFimDeCiclo { kConcluido, kFalhou, kNaoExecutado };
  // The end of a cycle told to the system event log and the service's status (AvisarServico).
  void AvisarFimDeCiclo(const std::string& texto, TFimDeCiclo fim);
  // A tick in a folder that is not trusted: one line to the log, or to the system event log.
  void AvisarPastaNaoConfiavel(const TPastaNaoConfiavel& pasta);
  // Keeps the end of the cycle in the instance's state (last_cycle.h), through the folder the
  // cycle holds; a failure to is written to the service log (UQuirada_estado.cpp).
  void GravarUltimoCiclo(const TFimDeCicloRegistrado& fim);
  // Running as the service: the next cycle's time (none once it stops) and, with `partida`, the
  // start, kept in the instance's state; a failure to is told to the system event log.
  void AnotarProximoCiclo(std::optional<int64_t> proximo, std::optional<int64_t> partida);
  // At the start: the service's status and the system event log say when the first cycle comes,
  // and the instance's state keeps it.
  void AvisarPrimeiroCiclo(uint32_t daqui_ms, uint32_t periodo_ms);

  TEventLoop& loop_;
  const std::string pasta_;
  // The folder the running cycle holds; nothing between cycles.
  const TPastaAberta* pasta_do_ciclo_ = nullptr;
  bool ultimo_ciclo_falhou_ = false;
  // Where the running cycle stands (TCicloEnvio::Andamento), for AoTerminarNaParada.
  std::mutex andamento_mutex_;
  TResumoCiclo andamento_;
};

// The one instance, set by the program entry.
extern TSrvQuirada* SrvQuirada;

// The entry of service control requests: a stop or shutdown asks the running service to stop;
// pause and continue change nothing here.
void ServiceController(uint32_t CtrlCode);

}  // namespace quirada
