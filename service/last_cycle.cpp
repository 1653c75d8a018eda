#include "service/last_cycle.h"

#include <cerrno>
#include <charconv>
#include <vector>

#include "base/datetime.h"
#include "base/errors.h"
#include "base/file_io.h"
#include "base/text.h"

namespace quirada {
namespace {

// More than any state the program writes: a failure's text is cut at kMaxFalha bytes.
constexpr size_t kMaxBytes = 16 * 1024;

std::optional<long long> Numero(std::string_view texto) {
  long long valor = 0;
  const char* fim = texto.data() + texto.size();
  const auto [onde, erro] = std::from_chars(texto.data(), fim, valor);
  if (erro != std::errc() || onde != fim || valor < 0) return std::nullopt;
  return valor;
}

// A text of the state on one line, no longer than `max` bytes (cut on a character's boundary).
std::string UmaLinha(std::string_view texto, size_t max) {
  const std::string limpo = BlankControls(texto);
  if (limpo.size() <= max) return limpo;
  return std::string(Utf8Prefix(limpo, max)) + " [...]";
}

void Instante(std::string& texto, const char* chave, const std::optional<int64_t>& valor) {
  if (valor) texto += std::string(chave) + "=" + FormatIso8601(*valor) + "\n";
}

}  // namespace

std::string TextoDoEstado(const TEstadoInstancia& e) {
  std::string texto = UmaLinha(e.linha, kMaxFalha + 64) + "\n";
  Instante(texto, "inicio", e.inicio);
  Instante(texto, "fim", e.fim);
  if (e.fim) {
    texto += "enviados=" + std::to_string(e.enviados) + "\n";
    texto += "nao_enviados=" + std::to_string(e.nao_enviados) + "\n";
  }
  if (e.falha) texto += "falha=" + UmaLinha(*e.falha, kMaxFalha) + "\n";
  Instante(texto, "ultimo_sucesso", e.ultimo_sucesso);
  texto += "falhas_seguidas=" + std::to_string(e.falhas_seguidas) + "\n";
  if (e.intervalo_segundos) texto += "intervalo_segundos=" + std::to_string(*e.intervalo_segundos) + "\n";
  Instante(texto, "partida", e.partida);
  Instante(texto, "proximo_ciclo", e.proximo_ciclo);
  if (!e.versao.empty()) texto += "versao=" + UmaLinha(e.versao, 64) + "\n";
  return texto;
}

TEstadoInstancia EstadoDoTexto(std::string_view texto) {
  TEstadoInstancia e;
  size_t at = 0;
  bool primeira = true;
  while (at < texto.size()) {
    size_t fim = texto.find('\n', at);
    if (fim == std::string_view::npos) fim = texto.size();
    std::string_view linha = texto.substr(at, fim - at);
    at = fim + 1;
    if (!linha.empty() && linha.back() == '\r') linha.remove_suffix(1);
    if (primeira) {
      e.linha = BlankControls(linha);
      primeira = false;
      continue;
    }
    const size_t igual = linha.find('=');
    if (igual == std::string_view::npos) continue;
    const std::string_view chave = linha.substr(0, igual);
    const std::string_view valor = linha.substr(igual + 1);
    const auto instante = [&](std::optional<int64_t>& onde) {
      if (const auto lido = ParseIso8601(valor)) onde = lido;
    };
    const auto contagem = [&](long long& onde) {
      if (const auto lido = Numero(valor)) onde = *lido;
    };
    if (chave == "inicio") {
      instante(e.inicio);
    } else if (chave == "fim") {
      instante(e.fim);
    } else if (chave == "enviados") {
      contagem(e.enviados);
    } else if (chave == "nao_enviados") {
      contagem(e.nao_enviados);
    } else if (chave == "falha") {
      e.falha = BlankControls(valor);
    } else if (chave == "ultimo_sucesso") {
      instante(e.ultimo_sucesso);
    } else if (chave == "falhas_seguidas") {
      contagem(e.falhas_seguidas);
    } else if (chave == "intervalo_segundos") {
      if (const auto lido = Numero(valor); lido && *lido > 0) e.intervalo_segundos = *lido;
    } else if (chave == "partida") {
      instante(e.partida);
    } else if (chave == "proximo_ciclo") {
      instante(e.proximo_ciclo);
    } else if (chave == "versao") {
      e.versao = BlankControls(valor);
    }
  }
  return e;
}

void RegistrarFimDeCiclo(TEstadoInstancia& e, const TFimDeCicloRegistrado& fim) {
  e.linha = FormatLogStamp(FromUnix(fim.fim)) + " " + UmaLinha(fim.texto, kMaxFalha + 32);
  e.inicio = fim.inicio;
  e.fim = fim.fim;
  e.enviados = fim.enviados;
  e.nao_enviados = fim.nao_enviados;
  e.falha.reset();
  if (fim.falha) e.falha = UmaLinha(*fim.falha, kMaxFalha);
  if (fim.falha) {
    ++e.falhas_seguidas;
  } else {
    e.falhas_seguidas = 0;
    e.ultimo_sucesso = fim.fim;
  }
  e.intervalo_segundos = fim.intervalo_segundos;
}

TEstadoLido LerEstado(const TPastaAberta& aberta, const std::string& pasta) {
  TEstadoLido lido;
  if (aberta.nao_confiavel) {
    lido.ultimo = "não lido: a pasta não é confiável (QuiradaContabil /VERIFICARPASTA \"" + pasta +
                  "\" diz por quê e como corrigir)";
    return lido;
  }
  if (!aberta.pasta.IsOpen()) {
    lido.ultimo = "não lido: " + aberta.nao_alcancada;
    return lido;
  }
  const std::string arquivo = aberta.Caminho(kArquivoUltimoCiclo);
  try {
    File file = File::OpenForReading(arquivo, Links::kRefuse);
    const FileInfo info = file.Info();
    if (!info.IsRegular()) {
      lido.ultimo = "ilegível: " + NotRegularFileMessage(arquivo, info.kind);
      return lido;
    }
    std::string texto(kMaxBytes, '\0');
    texto.resize(file.ReadAt(0, texto.data(), texto.size()));
    lido.estado = EstadoDoTexto(texto);
    lido.lido = true;
    lido.ultimo = lido.estado.linha.empty() ? "nenhum registrado" : lido.estado.linha;
  } catch (const FileError& e) {
    if (e.error() == ENOENT) {
      lido.lido = true;
      lido.ultimo = "nenhum registrado";
    } else if (const auto there = GetFileInfo(arquivo, false); there && !there->IsRegular()) {
      lido.ultimo = "ilegível: " + NotRegularFileMessage(arquivo, there->kind);
    } else {
      lido.ultimo = "ilegível: " + std::string(e.what());
    }
  }
  return lido;
}

TEstadoLido LerEstadoDaPasta(const std::string& pasta) {
  if (pasta.empty()) {
    TEstadoLido lido;
    lido.ultimo = "não lido: a pasta da instância não é conhecida";
    return lido;
  }
  return LerEstado(AbrirPasta(pasta), pasta);
}

void AtualizarEstado(const TPastaAberta& aberta,
                     const std::function<void(TEstadoInstancia&)>& mudar) {
  TEstadoInstancia estado = LerEstado(aberta, aberta.pasta.Path()).estado;
  mudar(estado);
  estado.versao = QUIRADA_VERSION;
  ReplaceFile(aberta.Caminho(kArquivoUltimoCiclo), TextoDoEstado(estado), 0600);
}

}  // namespace quirada
