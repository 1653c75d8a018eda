// The state of an instance that "/INSTANCIAS" reports, kept by the program in the instance's
// folder, in "QuiradaContabil.ciclo" (kArquivoUltimoCiclo): its first line the end of the last
// cycle as a person reads it ("<stamp> <summary>", empty before the first cycle), then one
// "key=value" line for each of the rest (ISO 8601 instants with their offset):
//
//   inicio, fim            the last cycle's start and end
//   enviados, nao_enviados the documents it recorded, and those it selected and did not record
//   falha                  its failure's text, when it failed (one line, cut at kMaxFalha bytes)
//   ultimo_sucesso         the end of the last cycle that did not fail
//   falhas_seguidas        how many cycles in a row failed, up to the last one
//   intervalo_segundos     the period of the instance's INI when the state was last written
//   partida                when the service last started; proximo_ciclo when it takes its next
//                          cycle (none while it is stopped)
//   versao                 the version of the program that wrote the state last
//
// Every cycle that ran (the service's or "/ONCE") writes its end under the folder's lock; the
// service writes its start, its stop and, after each of its ticks, the next cycle's time. The file
// is private (0600), replaced whole (a new file renamed over it: a reader never sees half of it),
// and reached through the folder held, as the cycle reaches its files: the folder judged first
// (service_folder.h), the file opened only as a regular file (never through a link, a FIFO or a
// device never waited on), no more than kMaxBytes read. A folder that is not trusted is said to be
// so, and none of its files is read. A file of the older kind, its one line alone, reads as that
// line.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "service/service_folder.h"

namespace quirada {

struct TEstadoInstancia {
  std::string linha;  // "<stamp> <summary>" of the last cycle; "" before the first
  std::optional<int64_t> inicio, fim;
  long long enviados = 0, nao_enviados = 0;
  std::optional<std::string> falha;
  std::optional<int64_t> ultimo_sucesso;
  long long falhas_seguidas = 0;
  std::optional<int64_t> intervalo_segundos;
  std::optional<int64_t> partida, proximo_ciclo;
  std::string versao;
};

// The file's text for `estado`, and `estado` read back from such a text (a key it does not know,
// or a value that is not one, is left out).
std::string TextoDoEstado(const TEstadoInstancia& estado);
TEstadoInstancia EstadoDoTexto(std::string_view texto);

// A cycle's end, given to `estado`: its start and end, its summary (`texto`, as the first line
// shows it after the stamp), the documents sent and not sent, its failure when it failed, the
// period; the program's version.
struct TFimDeCicloRegistrado {
  int64_t inicio = 0, fim = 0;
  std::string texto;
  long long enviados = 0, nao_enviados = 0;
  std::optional<std::string> falha;
  int64_t intervalo_segundos = 3600;
};
void RegistrarFimDeCiclo(TEstadoInstancia& estado, const TFimDeCicloRegistrado& fim);

// What was read of a folder's state.
struct TEstadoLido {
  bool lido = false;      // the state (or its absence: a default state) was read
  TEstadoInstancia estado;
  // The last cycle as "/INSTANCIAS" shows it on its line: the first line, "nenhum registrado",
  // "não lido: a pasta não é confiável ..." or "ilegível: <why>".
  std::string ultimo;
};
// The state in the folder at `pasta` (judged and held here).
TEstadoLido LerEstadoDaPasta(const std::string& pasta);
// The state in a folder already held; `pasta` names it in messages.
TEstadoLido LerEstado(const TPastaAberta& aberta, const std::string& pasta);

// Reads the state of the held folder (a state that cannot be read counts as none), lets `mudar`
// change it, sets the version and writes it back. Failures raise.
void AtualizarEstado(const TPastaAberta& aberta, const std::function<void(TEstadoInstancia&)>& mudar);

// The longest failure text kept.
inline constexpr size_t kMaxFalha = 2000;

}  // namespace quirada
