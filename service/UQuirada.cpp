#include "service/UQuirada.h"

#include <charconv>
#include <ostream>

#include "dispatch/configuration_check.h"
#include "dispatch/connection_setup.h"
#include "dispatch/dispatch_cycle.h"
#include "dispatch/xml_file.h"
#include "base/datetime.h"
#include "base/file_lock.h"
#include "base/platform.h"
#include "service/host.h"
#include "service/service_log.h"

namespace quirada {

TSrvQuirada* SrvQuirada = nullptr;

namespace {

constexpr uint32_t kIntervaloPadrao = 3'600'000;  // one hour

// Whether `processo`, the text a lock file holds, is the id of a process that runs now.
bool ProcessoEmExecucao(const std::string& processo) {
  long pid = 0;
  const char* fim = processo.data() + processo.size();
  const auto [onde, erro] = std::from_chars(processo.data(), fim, pid);
  return erro == std::errc() && onde == fim && ProcessIsRunning(pid);
}

}  // namespace

TSrvQuirada::TSrvQuirada(TEventLoop& loop, std::string executable_dir)
    : Timer1(loop), loop_(loop), executable_dir_(std::move(executable_dir)) {
  Erp.Connquendalor.LoginPrompt = false;
  DTQuirada.setGravarLog(false);
  DTQuirada.SetAmbiente(TAmbiente::aProducao);
  Timer1.OnTimer = [this] { Timer1Timer(); };
}

TSrvQuirada::~TSrvQuirada() { ServiceDestroy(); }

void TSrvQuirada::Timer1Timer() {
  Timer1.SetEnabled(false);
  Timer1.SetInterval(kIntervaloPadrao);
  try {
    // Read inside the guard: an INI that fails to read must not leave the timer disarmed.
    Timer1.SetInterval(IntervaloCiclo(executable_dir_));
    const TCicloExecutado ciclo = ExecutarCiclo();
    if (ciclo.pasta_nao_confiavel) {
      AvisarPastaNaoConfiavel(*ciclo.pasta_nao_confiavel);
    } else if (ciclo.ocupado) {
      const std::string linha = "Ciclo de envio não executado: " + TextoOcupado(ciclo) + ".";
      DoSaveLog(linha);
      AvisarFimDeCiclo(linha, TFimDeCiclo::kNaoExecutado);
    } else if (!ciclo.resumo.conectou) {
      AvisarFimDeCiclo(ciclo.resumo.falha_conexao, TFimDeCiclo::kFalhou);
    } else if (!ciclo.resumo.banco_ocupado.empty()) {
      const std::string linha = "Ciclo de envio não executado: " + ciclo.resumo.banco_ocupado + ".";
      DoSaveLog(linha);
      AvisarFimDeCiclo(linha, TFimDeCiclo::kNaoExecutado);
    } else {
      AvisarFimDeCiclo(TextoResumo(ciclo.resumo), TFimDeCiclo::kConcluido);
    }
  } catch (...) {
    Timer1.SetEnabled(true);
    throw;
  }
  Timer1.SetEnabled(true);
}

TSrvQuirada::TCicloExecutado TSrvQuirada::ExecutarCiclo() {
  TCicloExecutado executado;
  executado.pasta_nao_confiavel = PastaNaoConfiavel(executable_dir_);
  if (executado.pasta_nao_confiavel) return executado;
  const std::string trava = executable_dir_ + kArquivoTrava;
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
  TCicloEnvio ciclo = Ciclo();
  executado.resumo = ExecutarCicloEnvio(ciclo);
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

void TSrvQuirada::CarregarParametrosConexao(const std::string& Usuario, const std::string& Senha) {
  (void)quirada::CarregarParametrosConexao(Erp.Connquendalor, executable_dir_, Usuario, Senha);
}

std::string TSrvQuirada::TextoOcupado(const TCicloExecutado& ciclo) const {
  if (ciclo.processo_ativo)
    return "outro ciclo está em andamento nesta pasta (processo " + ciclo.processo + ")";
  const std::string trava = executable_dir_ + kArquivoTrava;
  const std::string registrado =
      ciclo.processo == "desconhecido"
          ? "ela não registra processo nenhum"
          : "o processo " + ciclo.processo + ", que ela registra, não está em execução";
  return "a trava \"" + trava + "\" está presa por outro processo, que não é um ciclo deste " +
         "programa (" + registrado + "); para achá-lo: fuser -v \"" + trava + "\"";
}

void TSrvQuirada::AvisarPastaNaoConfiavel(const TPastaNaoConfiavel& pasta) {
  // The log is written only when it is not itself in question, and never through a link: in a
  // folder others may change, that link may be theirs.
  bool no_log = false;
  if (!pasta.log_em_causa) {
    try {
      SaveLogLine(executable_dir_ + kServiceLogName, pasta.mensagem, Now(), Links::kRefuse);
      no_log = true;
    } catch (const std::exception& e) {
      WriteSystemEventError(e.what());
    }
  }
  if (!no_log && !AvisarServico) WriteSystemEventError(pasta.mensagem);
  AvisarFimDeCiclo(pasta.mensagem, TFimDeCiclo::kFalhou);
}

void TSrvQuirada::DoSaveLog(const std::string& Msg) {
  const std::string log = executable_dir_ + kServiceLogName;
  try {
    SaveLogLine(log, Msg, Now());
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
  const TDateTime proximo = Now() + Timer1.Interval() / 86'400'000.0;
  std::string status = falha ? "Falha no último ciclo: " + texto : texto;
  if (status.size() > 300) status = status.substr(0, 300) + " [...]";
  ReportServiceStatus(status + " Próximo ciclo: " + FormatLogStamp(proximo) + ".");
}

std::string TSrvQuirada::ExtraiNumero(const std::string& texto) {
  return quirada::ExtraiNumero(texto);
}

void TSrvQuirada::ServiceExecute() {
  loop_.SetExceptionHandler([this](const std::exception& E) { ManipulaExcecoes(E); });
  Timer1.SetEnabled(true);
  WaitForStopRequest();
  Timer1.SetEnabled(false);
}

void TSrvQuirada::ServiceStart(bool& Started) { (void)Started; }

TServiceController TSrvQuirada::GetServiceController() const { return &ServiceController; }

TCicloEnvio TSrvQuirada::Ciclo() {
  return TCicloEnvio{Erp, DTQuirada, executable_dir_,
                     [this](const std::string& msg) { DoSaveLog(msg); }, &StopRequested,
                     Progresso};
}

void TSrvQuirada::ListarPendentes(std::ostream& out) {
  TCicloEnvio ciclo = Ciclo();
  quirada::ListarPendentes(ciclo, out);
}

bool TSrvQuirada::VerificarConfiguracao(std::ostream& out) {
  TCicloEnvio ciclo = Ciclo();
  bool tudo_ok = quirada::VerificarConfiguracao(ciclo, out);
  const auto pasta = PastaNaoConfiavel(executable_dir_);
  out << "Pasta do serviço (" << executable_dir_ << "): "
      << (pasta ? "FALHOU: " + pasta->mensagem : std::string("OK")) << '\n';
  return tudo_ok && !pasta;
}

void ServiceController(uint32_t CtrlCode) {
  if (SrvQuirada == nullptr) return;
  if (CtrlCode == SERVICE_CONTROL_STOP || CtrlCode == SERVICE_CONTROL_SHUTDOWN) RequestStop();
}

}  // namespace quirada
