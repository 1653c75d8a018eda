#include "service/instances_report.h"

#include <gtest/gtest.h>

namespace quirada {
namespace {

// Which instances a monitor is told to look at: a failed or stale one always; one that never ran
// unless it is the unnamed instance whose service is stopped (the package's unit nobody uses).
TEST(JulgarInstancia, AnInstanceNeverUsedIsWellOnlyWhenItIsTheUnnamedOneStopped) {
  constexpr int64_t kAgora = 1'800'000'000;
  TEstadoInstancia nunca;
  TEstadoInstancia partiu_ha_pouco;
  partiu_ha_pouco.partida = kAgora - 60;
  TEstadoInstancia partiu_ha_muito;
  partiu_ha_muito.partida = kAgora - 3 * 3600;
  TEstadoInstancia velho;  // its last cycle went well, three hours ago
  velho.inicio = kAgora - 3 * 3600 - 5;
  velho.fim = kAgora - 3 * 3600;
  TEstadoInstancia falhou;
  falhou.inicio = kAgora - 65;
  falhou.fim = kAgora - 60;
  falhou.falha = "Falha";
  falhou.falhas_seguidas = 1;

  const struct {
    const char* nome;
    const char* servico;
    TEstadoInstancia estado;
    bool bem;
  } casos[] = {
      {"", "inactive", nunca, true},
      {"", "STOPPED", nunca, true},
      {"", "failed", nunca, false},
      {"", "active", partiu_ha_pouco, true},
      {"", "active", partiu_ha_muito, false},
      {"", "inactive", velho, false},
      {"", "inactive", falhou, false},
      {"acme", "inactive", nunca, false},
      {"acme", "STOPPED", nunca, false},
      {"acme", "active", partiu_ha_pouco, true},
      {"acme", "active", falhou, false},
  };
  for (const auto& c : casos) {
    TInstanciaRelatada i;
    i.registro.nome = c.nome;
    i.registro.estado = c.servico;
    i.estado.lido = true;
    i.estado.estado = c.estado;
    EXPECT_EQ(JulgarInstancia(i, kAgora).bem, c.bem) << "'" << c.nome << "' " << c.servico;
  }
}

}  // namespace
}  // namespace quirada
