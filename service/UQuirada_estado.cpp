// What the service module keeps of its instance's state for "/INSTANCIAS" (last_cycle.h): the end
// of each cycle, the start, the next cycle's time and the stop.
#include <optional>
#include <string>

#include "base/datetime.h"
#include "service/UQuirada.h"
#include "service/host.h"

namespace quirada {

void TSrvQuirada::GravarUltimoCiclo(const TFimDeCicloRegistrado& fim) {
  try {
    if (pasta_do_ciclo_ == nullptr) throw Exception("nenhum ciclo segura a pasta");
    AtualizarEstado(*pasta_do_ciclo_, [&](TEstadoInstancia& estado) { RegistrarFimDeCiclo(estado, fim); });
  } catch (const std::exception& e) {
    try {
      DoSaveLog("Não foi possível gravar o fim do último ciclo em \"" + Pasta() + kArquivoUltimoCiclo +
                "\": " + e.what());
    } catch (const std::exception&) {
      // The log itself fails: the cycle's own failure, if any, says so.
    }
  }
}

void TSrvQuirada::AnotarProximoCiclo(std::optional<int64_t> proximo, std::optional<int64_t> partida) {
  if (!AvisarServico) return;
  try {
    // Between cycles: the folder judged and held for this write alone.
    const TPastaAberta aberta = AbrirPasta(Pasta());
    if (aberta.nao_confiavel || !aberta.pasta.IsOpen()) return;  // each tick says why
    AtualizarEstado(aberta, [&](TEstadoInstancia& estado) {
      estado.proximo_ciclo = proximo;
      if (partida) estado.partida = partida;
    });
  } catch (const std::exception& e) {
    WriteSystemEventError("Não foi possível gravar o próximo ciclo em \"" + Pasta() +
                          kArquivoUltimoCiclo + "\": " + e.what());
  }
}

void TSrvQuirada::AvisarPrimeiroCiclo(uint32_t daqui_ms, uint32_t periodo_ms) {
  const int64_t agora = UnixNow();
  const int64_t primeiro = agora + (daqui_ms + 999) / 1000;
  const std::string texto = "Próximo ciclo: " + FormatLogStamp(FromUnix(primeiro)) +
                            " (o primeiro desde a partida, " + std::to_string((daqui_ms + 999) / 1000) +
                            " s depois dela; os seguintes, " + std::to_string(periodo_ms / 1000) +
                            " s depois do fim de cada ciclo).";
  if (AvisarServico) {
    ReportServiceStatus(texto);
    WriteSystemEventInfo(texto);
  }
  AnotarProximoCiclo(primeiro, agora);
}

}  // namespace quirada
