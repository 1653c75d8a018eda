#include "service/UQuirada.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <optional>
#include <ostream>

#include "dispatch/configuration_check.h"
#include "dispatch/connection_setup.h"
#include "dispatch/dispatch_cycle.h"
#include "dispatch/firebird_source.h"
#include "dispatch/quirada_platform.h"
#include "base/datetime.h"
#include "base/file_io.h"
#include "base/text.h"
#include "base/file_lock.h"
#include "base/ini_file.h"
#include "base/platform.h"
#include "service/host.h"
#include "service/service_log.h"
#include "service/stop_deadline.h"

namespace quirada {

TSrvQuirada* SrvQuirada = nullptr;

namespace {


// Whether `processo`, the text a lock file holds, is the id of a process that runs now.
bool ProcessoEmExecucao(const std::string& processo) {
  long pid = 0;
  const char* fim = processo.data() + processo.size();
  const auto [onde, erro] = std::from_chars(processo.data(), fim, pid);
  return erro == std::errc() && onde == fim && ProcessIsRunning(pid);
}

}  // namespace

uint32_t InicioDoPrimeiroCiclo(const std::string& instancia, uint32_t periodo_ms) {
  if (instancia.empty()) return 1000;
  // The same on every host and every start, within the first minutes (or the period, when shorter).
  const uint64_t segundos =
      std::clamp<uint64_t>(periodo_ms / 1000, 1, kEspalhamentoDaPartidaMs / 1000);
  return static_cast<uint32_t>((1 + StableHash(instancia) % segundos) * 1000);
}

TSrvQuirada::TSrvQuirada(TEventLoop& loop, std::string pasta)
    : Timer1(loop), loop_(loop), pasta_(std::move(pasta)) {
  DTQuirada.setGravarLog(false);
  DTQuirada.SetAmbiente(TAmbiente::aProducao);
  Timer1.OnTimer = [this] { Timer1Timer(); };
}

TSrvQuirada::~TSrvQuirada() { ServiceDestroy(); }

void TSrvQuirada::Timer1Timer() {
  Timer1.SetEnabled(false);
  Timer1.SetInterval(kIntervaloPadraoMs);
  try {
    // Inside the guard: an INI that fails to read must not leave the timer disarmed. The period
    // holds for the next tick whatever this cycle does, a failure included: it is taken as soon as
    // the cycle has read the INI.
    const TCicloExecutado ciclo =
        ExecutarCiclo([this](const TConfiguracao& config) { Timer1.SetInterval(config.intervalo_ms); });
    if (ciclo.pasta_nao_confiavel) {
      AvisarPastaNaoConfiavel(*ciclo.pasta_nao_confiavel);
    } else if (ciclo.ocupado) {
      const std::string linha = "Ciclo de envio não executado: " + TextoOcupado(ciclo) + ".";
      DoSaveLog(linha);
      AvisarFimDeCiclo(linha, TFimDeCiclo::kNaoExecutado);
    } else if (!ciclo.resumo.conectou) {
      AvisarFimDeCiclo(ciclo.resumo.falha_conexao, TFimDeCiclo::kFalhou);
    } else if (!ciclo.resumo.banco_ocupado.empty()) {
      const std::string linha = TextoBancoOcupado(ciclo.resumo);
      DoSaveLog(linha);
      AvisarFimDeCiclo(linha, TFimDeCiclo::kNaoExecutado);
    } else if (!ciclo.resumo.nada_a_enviar.empty()) {
      AvisarFimDeCiclo("Nada a enviar: " + ciclo.resumo.nada_a_enviar, TFimDeCiclo::kConcluido);
    } else {
      AvisarFimDeCiclo(TextoResumo(ciclo.resumo), TFimDeCiclo::kConcluido);
    }
  } catch (...) {
    Timer1.SetEnabled(true);
    throw;
  }
  Timer1.SetEnabled(true);
}

namespace {

// Points `atual` at the folder a cycle holds, for as long as the cycle runs.
class PastaDoCiclo {
 public:
  PastaDoCiclo(const TPastaAberta*& atual, const TPastaAberta& aberta) : atual_(atual) {
    atual_ = &aberta;
  }
  ~PastaDoCiclo() { atual_ = nullptr; }
  PastaDoCiclo(const PastaDoCiclo&) = delete;
  PastaDoCiclo& operator=(const PastaDoCiclo&) = delete;

 private:
  const TPastaAberta*& atual_;
};

}  // namespace

TSrvQuirada::TCicloExecutado TSrvQuirada::ExecutarCiclo(
    const std::function<void(const TConfiguracao&)>& ao_ler) {
  TCicloExecutado executado;
  // Judged and held for the whole cycle: every file of the instance is reached through it.
  const TPastaAberta aberta = AbrirPasta(pasta_);
  executado.pasta_nao_confiavel = aberta.nao_confiavel;
  // An instance elsewhere runs the program's own folder's executable (and Firebird client).
  if (!executado.pasta_nao_confiavel && pasta_ != ExecutableDir())
    executado.pasta_nao_confiavel = PastaNaoConfiavel(ExecutableDir());
  if (executado.pasta_nao_confiavel) return executado;
  const PastaDoCiclo usando(pasta_do_ciclo_, aberta);

  // Read before the lock, so that a tick that finds the folder busy keeps the INI's period; a
  // failure to read it is the cycle's, told once the lock is held.
  std::optional<TConfiguracao> config;
  std::exception_ptr falha_ini;
  try {
    config = LerConfiguracao(aberta);
    if (ao_ler) ao_ler(*config);
  } catch (const std::exception&) {
    falha_ini = std::current_exception();
  }
  const std::string trava = aberta.Caminho(kArquivoTrava);
  std::optional<FileLock> lock;
  try {
    lock = FileLock::TryAcquire(trava, &executado.processo);
  } catch (const FileError& e) {
    throw Exception(ComDonoDoArquivo(e, trava));
  }
  if (!lock) {
    executado.ocupado = true;
    executado.processo_ativo = ProcessoEmExecucao(executado.processo);
    if (executado.processo.empty()) executado.processo = "desconhecido";
    return executado;
  }
  {
    const std::lock_guard<std::mutex> guard(andamento_mutex_);
    andamento_ = TResumoCiclo{};
  }
  const int64_t inicio = UnixNow();
  const int64_t intervalo = config ? config->intervalo_ms / 1000 : kIntervaloPadraoMs / 1000;
  const auto registrar = [&](const std::string& texto, const std::optional<std::string>& falha,
                             const TResumoCiclo& resumo) {
    GravarUltimoCiclo(
        {inicio, UnixNow(), texto, resumo.enviados, resumo.NaoEnviados(), falha, intervalo});
  };
  try {
    if (falha_ini) std::rethrow_exception(falha_ini);
    TFonteFirebird fonte(Erp, *config, [this](const std::string& msg) { DoSaveLog(msg); }, &StopRequested);
    TCicloEnvio ciclo = Ciclo(*config, fonte);
    const PrazoDeParada prazo([this] {
      TResumoCiclo onde;
      {
        const std::lock_guard<std::mutex> lock(andamento_mutex_);
        onde = andamento_;
      }
      onde.interrompido = true;
      if (AoTerminarNaParada) AoTerminarNaParada(onde);
    });
    executado.resumo = ExecutarCicloEnvio(ciclo);
  } catch (const std::exception& e) {
    // Where the cycle stood when it failed: the documents it recorded before count.
    TResumoCiclo onde;
    {
      const std::lock_guard<std::mutex> guard(andamento_mutex_);
      onde = andamento_;
    }
    registrar("Falha: " + BlankControls(e.what()), BlankControls(e.what()), onde);
    throw;
  }
  const TResumoCiclo& resumo = executado.resumo;
  if (!resumo.conectou)
    registrar("Falha: " + resumo.falha_conexao, resumo.falha_conexao, resumo);
  else if (!resumo.nada_a_enviar.empty())
    registrar("Nada a enviar: " + resumo.nada_a_enviar, std::nullopt, resumo);
  else if (!resumo.banco_ocupado.empty() && resumo.selecionados > 0)
    registrar(TextoResumo(resumo), TextoBancoOcupado(resumo), resumo);
  else if (resumo.banco_ocupado.empty())
    registrar(TextoResumo(resumo), std::nullopt, resumo);
  return executado;
}

void TSrvQuirada::ServiceDestroy() {
  Timer1.SetEnabled(false);
  try {
    Erp.Connquendalor.Disconnect();
  } catch (const std::exception& e) {
    WriteSystemEventError(e.what());
  }
}

std::string TSrvQuirada::TextoOcupado(const TCicloExecutado& ciclo) const {
  if (ciclo.processo_ativo)
    return "outro ciclo está em andamento nesta pasta (processo " + ciclo.processo + ")";
  const std::string trava = pasta_ + kArquivoTrava;
  const std::string registrado =
      ciclo.processo == "desconhecido"
          ? "ela não registra processo nenhum"
          : "o processo " + ciclo.processo + ", que ela registra, não está em execução";
  return "a trava \"" + trava + "\" está presa por outro processo, que não é um ciclo deste " +
         "programa (" + registrado + "); para achá-lo: fuser -v \"" + trava + "\"";
}

void TSrvQuirada::AvisarPastaNaoConfiavel(const TPastaNaoConfiavel& pasta) {
  // The log is written only when it is not itself in question, and never through a link: in a
  // folder others may change, that link may be theirs (DoSaveLog).
  bool no_log = false;
  if (!pasta.log_em_causa) {
    try {
      DoSaveLog(pasta.mensagem);
      no_log = true;
    } catch (const std::exception& e) {
      WriteSystemEventError(e.what());
    }
  }
  if (!no_log && !AvisarServico) WriteSystemEventError(pasta.mensagem);
  AvisarFimDeCiclo(pasta.mensagem, TFimDeCiclo::kFalhou);
}

void TSrvQuirada::DoSaveLog(const std::string& Msg) {
  // Through the folder the running cycle holds; between cycles, through the folder judged and
  // held for this line. In a folder that is not trusted the log is never reached through a link,
  // and a log that is itself in question is not written.
  std::optional<TPastaAberta> propria;
  if (pasta_do_ciclo_ == nullptr) {
    propria = AbrirPasta(pasta_);
    if (propria->nao_confiavel && propria->nao_confiavel->log_em_causa)
      throw Exception(propria->nao_confiavel->mensagem);
  }
  const TPastaAberta& aberta = propria ? *propria : *pasta_do_ciclo_;
  const std::string log = aberta.Caminho(kServiceLogName);
  try {
    SaveLogLine(log, Msg, Now(), aberta.nao_confiavel ? Links::kRefuse : Links::kFollow);
  } catch (const FileError& e) {
    throw Exception(ComDonoDoArquivo(e, log));
  }
}

void TSrvQuirada::ManipulaExcecoes(const std::exception& E) {
  DoSaveLog(E.what());
  // A log that could not be written raised above: the event loop then tells the system event
  // log of both failures itself.
  AvisarFimDeCiclo(E.what(), TFimDeCiclo::kFalhou);
}

void TSrvQuirada::AvisarFimDeCiclo(const std::string& texto, TFimDeCiclo fim) {
  if (!AvisarServico) return;
  const bool falha = fim == TFimDeCiclo::kFalhou;
  if (falha) {
    WriteSystemEventError(texto);
  } else if (fim == TFimDeCiclo::kConcluido && ultimo_ciclo_falhou_) {
    WriteSystemEventInfo(texto);  // the service works again: an administrator wants to know
  } else {
    WriteSystemEventRoutine(texto);
  }
  if (fim != TFimDeCiclo::kNaoExecutado) ultimo_ciclo_falhou_ = falha;
  const int64_t proximo = UnixNow() + Timer1.Interval() / 1000;
  std::string status = falha ? "Falha no último ciclo: " + texto : texto;
  if (status.size() > 300) status = std::string(Utf8Prefix(status, 300)) + " [...]";
  ReportServiceStatus(status + " Próximo ciclo: " + FormatLogStamp(FromUnix(proximo)) + ".");
  AnotarProximoCiclo(proximo, std::nullopt);
}

void TSrvQuirada::ServiceExecute() {
  loop_.SetExceptionHandler([this](const std::exception& E) { ManipulaExcecoes(E); });
  uint32_t periodo = kIntervaloPadraoMs;
  try {
    periodo = LerConfiguracao().intervalo_ms;
  } catch (const std::exception&) {
    // The first cycle reads the INI again and says what is wrong with it.
  }
  const uint32_t primeiro = InicioDoPrimeiroCiclo(Instancia, periodo);
  Timer1.SetInterval(primeiro);
  Timer1.SetEnabled(true);
  AvisarPrimeiroCiclo(primeiro, periodo);
  WaitForStopRequest();
  Timer1.SetEnabled(false);
  AnotarProximoCiclo(std::nullopt, std::nullopt);
}

TConfiguracao TSrvQuirada::LerConfiguracao(const TPastaAberta& aberta) const {
  TConfiguracao config = ConfiguracaoDaInstancia(pasta_, ReadIniFile(aberta.Caminho(kArquivoIni)),
                                                 pasta_ == ExecutableDir());
  config.acesso = aberta.Caminho("");
  return config;
}

TConfiguracao TSrvQuirada::LerConfiguracao() const {
  const TPastaAberta aberta = AbrirPasta(pasta_);
  if (aberta.nao_confiavel) throw Exception(aberta.nao_confiavel->mensagem);
  return LerConfiguracao(aberta);
}

TCicloEnvio TSrvQuirada::Ciclo(const TConfiguracao& config, TFonteDocumentos& fonte) {
  return TCicloEnvio{fonte,
                     [this, &config](const TConfiguracaoErp& erp) -> std::unique_ptr<TPlataforma> {
                       return std::make_unique<TPlataformaQuirada>(DTQuirada, config, erp.chave_contabilidade,
                                                                   erp.chave_integracao, &StopRequested);
                     },
                     config,
                     [this](const std::string& msg) { DoSaveLog(msg); },
                     &StopRequested,
                     Progresso,
                     [this](const TResumoCiclo& resumo) {
                       const std::lock_guard<std::mutex> lock(andamento_mutex_);
                       andamento_ = resumo;
                     }};
}

void TSrvQuirada::ListarPendentes(std::ostream& out) {
  const TPastaAberta aberta = AbrirPasta(pasta_);
  const TConfiguracao config = LerConfiguracao(aberta);
  // "/PENDING" writes nothing to the service log: a connection failure is its answer.
  TFonteFirebird fonte(Erp, config, nullptr, nullptr);
  quirada::ListarPendentes(fonte, out);
}

bool TSrvQuirada::VerificarConfiguracao(std::ostream& out) {
  const TPastaAberta aberta = AbrirPasta(pasta_);
  const TConfiguracao config = LerConfiguracao(aberta);
  bool tudo_ok = quirada::VerificarConfiguracao(Erp, DTQuirada, config, out);
  const auto& pasta = aberta.nao_confiavel;
  out << "Pasta do serviço (" << pasta_ << "): "
      << (pasta ? "FALHOU: " + pasta->mensagem : std::string("OK")) << '\n';
  if (pasta_ == ExecutableDir()) return tudo_ok && !pasta;
  // An instance elsewhere runs the program's folder's executable: that folder is trusted too.
  const auto programa = PastaNaoConfiavel(ExecutableDir());
  out << "Pasta do programa (" << ExecutableDir() << "): "
      << (programa ? "FALHOU: " + programa->mensagem : std::string("OK")) << '\n';
  return tudo_ok && !pasta && !programa;
}

void ServiceController(uint32_t CtrlCode) {
  if (SrvQuirada == nullptr) return;
  if (CtrlCode == SERVICE_CONTROL_STOP || CtrlCode == SERVICE_CONTROL_SHUTDOWN) RequestStop();
}

}  // namespace quirada
