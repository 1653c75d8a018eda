#include "dispatch/dispatch_cycle.h"

#include <cerrno>
#include <map>
#include <optional>
#include <ostream>

#include "base/errors.h"
#include "base/file_io.h"
#include "base/text.h"
#include "dispatch/document_kinds.h"
#include "dispatch/document_outcome.h"
#include "dispatch/xml_file.h"

namespace quirada {
namespace {

// "/PENDING"'s mark for a document that the cycle logs and never sends.
constexpr const char* kSemXml = "sem XML: não será enviado";

bool Parada(const TCicloEnvio& c) { return c.ParadaSolicitada && c.ParadaSolicitada(); }

// A failure of the disk itself (full, read-only, failing), which would strike every document
// alike: it ends the cycle, where a failure of one document's file only skips that document.
bool FalhaDoDisco(const FileError& e) {
  switch (e.error()) {
    case ENOSPC:
    case EROFS:
    case EIO:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return true;
    default:
      return false;
  }
}

// Logs that a document was not sent and why.
void NaoEnviado(TCicloEnvio& c, TResumoCiclo& resumo, const std::string& linha) {
  c.DoSaveLog(linha);
  ++resumo.registrados_no_log;
}

// The XML file's name: the digits of the key (ExtraiNumero) and ".xml"; nothing when the key has
// no digit, which would leave ".xml" for every such document.
std::optional<std::string> NomeDoArquivo(const std::string& chave) {
  const std::string digitos = ExtraiNumero(chave);
  if (digitos.empty()) return std::nullopt;
  return digitos + ".xml";
}

// What a document's text makes of its file, or why it is not sent ("/PENDING" shows the same).
struct Conteudo {
  std::string nome;  // the file's name
  std::string bytes;
  std::string falha;        // a sentence of the log line, when the document is not sent
  std::string marca_pendentes;  // what "/PENDING" shows in place of the size then
};

Conteudo ConteudoDoDocumento(const TDocumentoPendente& d) {
  std::optional<std::string> nome = NomeDoArquivo(d.chave);
  if (!nome)
    return {"", "", "Documento " + d.chave + " não enviado: a chave de acesso não tem dígitos que deem nome ao arquivo XML",
            "não será enviado: a chave de acesso não tem dígitos"};
  if (!d.texto)
    return {"", "", "Documento " + d.chave + " com XML ilegível no banco de dados: não enviado: " + d.falha_leitura,
            "ilegível: " + d.falha_leitura};
  if (d.texto->bytes.empty())
    // Recorded as sent, it would never be sent once the ERP fills its XML in.
    return {"", "", "Documento " + d.chave + " sem XML no banco de dados: não enviado", kSemXml};
  XmlFileContent arquivo = XmlFileBytes(*d.texto);
  if (!arquivo.failure.empty())
    return {"", "",
            "Documento " + d.chave + " com XML que não pode ser gravado sem alterar seus caracteres: não enviado: " +
                arquivo.failure,
            "não será enviado: " + arquivo.failure};
  return {std::move(*nome), std::move(arquivo.bytes), "", ""};
}

// What became of one document.
enum class Resultado {
  kRegistrado,     // accepted and recorded
  kNaoRegistrado,  // not recorded: offered again next cycle (logged when the cause is its own)
  kJaRegistrado,   // another cycle recorded it after this one's pending query ran: not sent
  kBancoOcupado,   // its claim could not be had: the cycle ends (`resumo.banco_ocupado` says why)
};

// The document's claim, let go when the document is done without a row.
class Reivindicado {
 public:
  explicit Reivindicado(TFonteDocumentos& fonte) : fonte_(fonte) {}
  ~Reivindicado() {
    if (!ativo_) return;
    try {
      fonte_.Soltar();
    } catch (const std::exception&) {
      // The source lets it go with the connection.
    }
  }
  Reivindicado(const Reivindicado&) = delete;
  Reivindicado& operator=(const Reivindicado&) = delete;
  void Tomado() { ativo_ = true; }
  void Registrar(const RegistroEnvio& linha) {
    ativo_ = false;
    fonte_.Registrar(linha);
  }

 private:
  TFonteDocumentos& fonte_;
  bool ativo_ = false;
};

// The exchange of one document with the platform, its file written, under its claim: upload,
// status, the decision, the register row. Returns whether the document was recorded.
bool TrocarComPlataforma(TCicloEnvio& c, TPlataforma& plataforma, size_t cabe_id,
                         Reivindicado& reivindicado, const TDocumentoPendente& d,
                         const std::string& nome, const std::string& bytes, TResumoCiclo& resumo) {
  // What the platform answered decides (document_outcome.h).
  FatosDocumento fatos;
  try {
    fatos.envio = plataforma.Enviar(nome, bytes);
  } catch (const Interrupted&) {
    throw;
  } catch (const std::exception& e) {
    const auto* resposta = dynamic_cast<const PlatformError*>(&e);
    fatos.falha_envio = resposta != nullptr ? resposta->status() : -1;
    fatos.parada = Parada(c);
    if (DecidirDocumento(fatos) != Desfecho::kRecusado) throw;
    NaoEnviado(c, resumo, "Documento " + d.chave + " recusado pela plataforma: " + e.what());
    return false;
  }

  const std::string& IDEnvio = fatos.envio.Id;
  Desfecho desfecho = DecidirDocumento(fatos);
  if (desfecho == Desfecho::kLoteInvalido)
    throw Exception("A plataforma criou para o documento " + d.chave +
                    " um lote de identificador inválido (" + FalhaIdLote(IDEnvio) + "): \"" + IDEnvio + "\"");
  if (desfecho == Desfecho::kConsultarEstado) {
    fatos.estado = plataforma.Estado(IDEnvio);
    desfecho = DecidirDocumento(fatos);
  }
  if (desfecho != Desfecho::kRegistrado) return false;

  if (IDEnvio.size() > cabe_id)
    NaoEnviado(c, resumo, "Documento " + d.chave + ": a plataforma criou o lote \"" + IDEnvio + "\", de " +
                              std::to_string(IDEnvio.size()) + " caracteres, mais do que os " +
                              std::to_string(cabe_id) +
                              " de QUIRADA_ENVIOS_XML.ID_ENVIO; registrado cortado em " +
                              std::to_string(cabe_id) + " caracteres");
  try {
    reivindicado.Registrar({d.sequencial, d.tipo, Now(), IDEnvio, fatos.estado->CodRetorno});
  } catch (const FalhaDoRegistro& e) {
    throw Exception("Documento " + d.chave + " aceito pela plataforma (lote " + IDEnvio +
                    "), mas o registro do envio falhou" + e.clausula() +
                    "; será enviado de novo no próximo ciclo: " + e.what());
  }
  return true;
}

// One document: its file's content, its claim, its file, the exchange. A document that cannot be
// sent for a reason of its own is logged and skipped.
Resultado EnviarDocumento(TCicloEnvio& c, TPlataforma& plataforma, size_t cabe_id,
                          const TDocumentoPendente& d, TResumoCiclo& resumo) {
  const Conteudo conteudo = ConteudoDoDocumento(d);
  if (!conteudo.falha.empty()) {
    NaoEnviado(c, resumo, conteudo.falha);
    return Resultado::kNaoRegistrado;
  }

  // From here to its row (or to the decision not to record it) the document holds the claim.
  Reivindicado reivindicado(c.fonte);
  std::string quem;
  switch (c.fonte.Reivindicar(d, &quem)) {
    case TReivindicacao::kOcupada:
      resumo.banco_ocupado = quem;
      return Resultado::kBancoOcupado;
    case TReivindicacao::kJaRegistrado:
      reivindicado.Tomado();
      return Resultado::kJaRegistrado;
    case TReivindicacao::kTomada:
      reivindicado.Tomado();
      break;
  }

  const std::string& nome = conteudo.nome;
  const std::string ArquivoXML = c.config.acesso + nome;
  try {
    SaveXmlFile(ArquivoXML, conteudo.bytes);
  } catch (const FileError& e) {
    if (FalhaDoDisco(e)) throw;
    NaoEnviado(c, resumo, "Documento " + d.chave + " não enviado: o arquivo XML não pôde ser gravado: " + e.what());
    return Resultado::kNaoRegistrado;
  }
  bool gravado = false;
  try {
    gravado = TrocarComPlataforma(c, plataforma, cabe_id, reivindicado, d, nome, conteudo.bytes, resumo);
  } catch (...) {
    // A stop cut the exchange (a transfer, a database call): no fiscal data stays behind. After
    // any other failure the file stays until the document's next turn.
    if (Parada(c)) RemoveFile(ArquivoXML);
    throw;
  }
  RemoveFile(ArquivoXML);
  return gravado ? Resultado::kRegistrado : Resultado::kNaoRegistrado;
}

// Tells whoever follows the cycle (TCicloEnvio::Andamento) where it stands.
void Avisar(const TCicloEnvio& c, const TResumoCiclo& resumo) {
  if (c.Andamento) c.Andamento(resumo);
}

// The pending documents, one after the other, from the judged settings on.
void EnviarPendentes(TCicloEnvio& c, const TConfiguracaoErp& erp, TResumoCiclo& resumo) {
  const std::optional<size_t> cabe_id = c.fonte.PrepararRegistro(&resumo.banco_ocupado);
  if (!cabe_id) return;
  // The platform is made for the first document; a cycle with none leaves it untouched.
  std::unique_ptr<TPlataforma> plataforma;
  c.fonte.PercorrerPendentes([&](const TDocumentoPendente& documento) {
    // A stop request ends the cycle between two documents.
    if (Parada(c)) {
      resumo.interrompido = true;
      return false;
    }
    if (!plataforma) {
      plataforma = c.plataforma(erp);
      resumo.pendentes = c.fonte.ContarPendentes();
    }
    ++resumo.selecionados;
    if (c.Progresso) c.Progresso(resumo.selecionados, std::max(resumo.pendentes, resumo.selecionados));
    Avisar(c, resumo);
    switch (EnviarDocumento(c, *plataforma, *cabe_id, documento, resumo)) {
      case Resultado::kRegistrado:
        ++resumo.enviados;
        break;
      case Resultado::kJaRegistrado:
        ++resumo.ja_registrados;
        break;
      case Resultado::kBancoOcupado:
        return false;
      case Resultado::kNaoRegistrado:
        break;
    }
    Avisar(c, resumo);
    return true;
  });
}

// Runs `body`, then the source's tail whatever happened; the first failure, of the body or of the
// tail, leaves (as Interrupted when it was a call a stop request cut short).
void ComFechamento(TFonteDocumentos& fonte, const std::function<void()>& body) {
  std::optional<std::string> falha;
  bool interrompido = false;
  try {
    body();
  } catch (const Interrupted& e) {
    falha = e.what();
    interrompido = true;
  } catch (const std::exception& e) {
    falha = e.what();
  }
  try {
    fonte.Fechar();
  } catch (const std::exception& e) {
    if (!falha) falha = e.what();
  }
  if (interrompido) throw Interrupted(*falha);
  if (falha) throw Exception(*falha);
}

}  // namespace

std::string TextoResumo(const TResumoCiclo& resumo) {
  return std::string(resumo.interrompido ? "Ciclo interrompido por pedido de parada: " : "Ciclo concluído: ") +
         std::to_string(resumo.enviados) + " enviado(s), " + std::to_string(resumo.NaoEnviados()) +
         " não enviado(s).";
}

std::string TextoBancoOcupado(const TResumoCiclo& resumo) {
  if (resumo.selecionados == 0) return "Ciclo de envio não executado: " + resumo.banco_ocupado + ".";
  return "Ciclo de envio interrompido: " + resumo.banco_ocupado + "; " + std::to_string(resumo.enviados) +
         " enviado(s), " + std::to_string(resumo.NaoEnviados()) + " não enviado(s).";
}

TResumoCiclo ExecutarCicloEnvio(TCicloEnvio& c) {
  TResumoCiclo resumo;
  try {
    ComFechamento(c.fonte, [&] {
      if (std::optional<std::string> falha = c.fonte.Abrir()) {
        resumo.falha_conexao = std::move(*falha);
        return;
      }
      resumo.conectou = true;
      try {
        const TConfiguracaoErp erp = c.fonte.Configuracao();
        if (erp.estado == TEstadoConfiguracaoErp::kInvalida) throw Exception(erp.motivo);
        if (erp.estado == TEstadoConfiguracaoErp::kNadaAEnviar) {
          resumo.nada_a_enviar = erp.motivo;
          return;
        }
        EnviarPendentes(c, erp, resumo);
      } catch (const std::exception&) {
        // Whatever a stop request cut short (a cancelled database call, an aborted transfer).
        if (!Parada(c)) throw;
        resumo.interrompido = true;
      }
    });
  } catch (const Interrupted&) {
    // A stop request cut a call in progress: the document in hand counts as not sent and is
    // offered again next cycle, as after any failure; the stop itself is no failure.
    resumo.interrompido = true;
  }
  return resumo;
}

int StatusDeSaida(const TResumoCiclo& resumo) {
  if (resumo.interrompido) return kStatusConcluido;  // a stop is no failure
  if (!resumo.conectou) return kStatusFalhou;
  if (!resumo.banco_ocupado.empty()) return kStatusOcupado;
  return resumo.registrados_no_log > 0 ? kStatusDocumentosNoLog : kStatusConcluido;
}

namespace {

// Connects and judges the settings, raising what makes a cycle fail.
TConfiguracaoErp AbrirParaListar(TFonteDocumentos& fonte) {
  if (std::optional<std::string> falha = fonte.Abrir()) throw Exception(*falha);
  const TConfiguracaoErp erp = fonte.Configuracao();
  if (erp.estado == TEstadoConfiguracaoErp::kInvalida) throw Exception(erp.motivo);
  return erp;
}

}  // namespace

long long ContarPendentesDaFonte(TFonteDocumentos& fonte) {
  long long pendentes = 0;
  ComFechamento(fonte, [&] {
    if (AbrirParaListar(fonte).estado == TEstadoConfiguracaoErp::kPronta) pendentes = fonte.ContarPendentes();
  });
  return pendentes;
}

void ListarPendentes(TFonteDocumentos& fonte, std::ostream& out) {
  ComFechamento(fonte, [&] {
    const TConfiguracaoErp erp = AbrirParaListar(fonte);
    if (erp.estado == TEstadoConfiguracaoErp::kNadaAEnviar) {
      out << "Nada a enviar: " << erp.motivo << '\n';
      return;
    }
    int total = 0;
    std::map<std::string, int, std::less<>> por_tipo;
    fonte.PercorrerPendentes([&](const TDocumentoPendente& d) {
      ++por_tipo[d.tipo];
      const Conteudo conteudo = ConteudoDoDocumento(d);
      // What the database holds reaches the terminal without its control characters.
      out << d.sequencial << ' ' << BlankControls(d.tipo) << ' ' << BlankControls(d.chave) << ' '
          << (conteudo.falha.empty() ? std::to_string(conteudo.bytes.size()) : BlankControls(conteudo.marca_pendentes))
          << '\n';
      ++total;
      return true;
    });
    out << total << " documento(s) pendente(s).\n";
    out << ResumoPorTipo(por_tipo) << '\n';
  });
}

}  // namespace quirada
