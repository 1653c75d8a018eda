#include "service/UQuirada.h"

#include "dispatch/configuration_check.h"
#include "dispatch/connection_setup.h"
#include "dispatch/dispatch_cycle.h"
#include "dispatch/xml_file.h"
#include "base/datetime.h"
#include "base/file_lock.h"
#include "service/host.h"
#include "service/service_log.h"

namespace quirada {

TSrvQuirada* SrvQuirada = nullptr;

namespace {

constexpr const char* kArquivoTrava = "QuiradaContabil.lock";
constexpr uint32_t kIntervaloPadrao = 3'600'000;  // one hour

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
    if (ciclo.ocupado) {
      const std::string linha =
          "Ciclo de envio não executado: outro ciclo está em andamento nesta pasta (processo " +
          ciclo.processo + ").";
      DoSaveLog(linha);
      AvisarFimDeCiclo(linha, false);
    } else if (!ciclo.resumo.conectou) {
      AvisarFimDeCiclo(ciclo.resumo.falha_conexao, true);
    } else if (!ciclo.resumo.banco_ocupado.empty()) {
      const std::string linha = "Ciclo de envio não executado: " + ciclo.resumo.banco_ocupado + ".";
      DoSaveLog(linha);
      AvisarFimDeCiclo(linha, false);
    } else {
      AvisarFimDeCiclo(TextoResumo(ciclo.resumo), false);
    }
  } catch (...) {
    Timer1.SetEnabled(true);
    throw;
  }
  Timer1.SetEnabled(true);
}

TSrvQuirada::TCicloExecutado TSrvQuirada::ExecutarCiclo() {
  TCicloExecutado executado;
  const std::optional<FileLock> lock =
      FileLock::TryAcquire(executable_dir_ + kArquivoTrava, &executado.processo);
  if (!lock) {
    executado.ocupado = true;
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

void TSrvQuirada::DoSaveLog(const std::string& Msg) {
  SaveLogLine(executable_dir_ + kServiceLogName, Msg, Now());
}

void TSrvQuirada::ManipulaExcecoes(const std::exception& E) {
  DoSaveLog(E.what());
  // A log that could not be written raised above: the event loop then tells the system event
  // log of both failures itself.
  AvisarFimDeCiclo(E.what(), true);
}

void TSrvQuirada::AvisarFimDeCiclo(const std::string& texto, bool falha) {
  if (!AvisarServico) return;
  if (falha) {
    WriteSystemEventError(texto);
  } else {
    WriteSystemEventInfo(texto);
  }
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
  return quirada::VerificarConfiguracao(ciclo, out);
}

void ServiceController(uint32_t CtrlCode) {
  if (SrvQuirada == nullptr) return;
  if (CtrlCode == SERVICE_CONTROL_STOP || CtrlCode == SERVICE_CONTROL_SHUTDOWN) RequestStop();
}

}  // namespace quirada
