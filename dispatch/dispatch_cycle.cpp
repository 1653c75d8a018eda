#include "dispatch/dispatch_cycle.h"

#include <cerrno>
#include <map>
#include <optional>
#include <ostream>

#include "dispatch/connection_setup.h"
#include "firebird/database_cancel.h"
#include "dispatch/document_kinds.h"
#include "dispatch/document_outcome.h"
#include "dispatch/erp_settings.h"
#include "dispatch/pending_walk.h"
#include "dispatch/register_check.h"
#include "dispatch/register_write.h"
#include "dispatch/xml_file.h"
#include "base/errors.h"
#include "base/file_io.h"
#include "base/platform.h"
#include "base/text.h"

namespace quirada {
namespace {

// "/PENDING"'s mark for a document that the cycle logs and never sends.
constexpr const char* kSemXml = "sem XML: não será enviado";

bool Parada(const TCicloEnvio& c) { return c.ParadaSolicitada && c.ParadaSolicitada(); }

// The XML of the document `documento` stands on, without loss; nothing when it cannot be read
// (the caller logs it and goes on). A lost connection or a cancelled call still ends the cycle.
std::optional<FbText> LerXml(ErpComponents& erp, FbQuery& documento, std::string* falha) {
  try {
    return LerXmlGuardado(erp, documento);
  } catch (const DatabaseError& e) {
    if (e.connection_lost() || e.cancelled()) throw;
    *falha = e.what();
    return std::nullopt;
  }
}

// Writes one document's register row and commits it, which lets the document's claim go.
void Registrar(TCicloEnvio& c, ReivindicacaoDocumento& reivindicacao, const RegistroEnvio& linha,
               const std::string& chave) {
  try {
    GravarRegistroEnvio(c.Erp.TBEnviosXML, linha);
    reivindicacao.Liberar();
  } catch (const std::exception& e) {
    const auto* db = dynamic_cast<const DatabaseError*>(&e);
    if (db != nullptr && db->cancelled()) throw;
    const std::string antes = "Documento " + chave + " aceito pela plataforma (lote " + linha.id_envio +
                              "), mas o registro do envio falhou";
    const std::string causa =
        db != nullptr && db->lock_conflict()
            ? std::string(": outra transação prende a sua linha (ou a tabela) QUIRADA_ENVIOS_XML")
            : std::string();
    throw Exception(antes + causa + "; será enviado de novo no próximo ciclo: " + e.what());
  }
}

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

// Logs that document `chave` was not sent and why.
void NaoEnviado(TCicloEnvio& c, TResumoCiclo& resumo, const std::string& linha) {
  c.DoSaveLog(linha);
  ++resumo.registrados_no_log;
}

// What became of one document.
enum class Resultado {
  kRegistrado,     // accepted and recorded
  kNaoRegistrado,  // not recorded: offered again next cycle (logged when the cause is its own)
  kJaRegistrado,   // another cycle recorded it after this one's pending query ran: not sent
  kBancoOcupado,   // its claim could not be had: the cycle ends (`resumo.banco_ocupado` says why)
};

// The XML file's name in the instance's folder: the digits of the key (ExtraiNumero) and ".xml";
// nothing when the key has no digit, which would leave ".xml" for every such document.
std::optional<std::string> ArquivoDoDocumento(const TCicloEnvio& c, const std::string& chave) {
  const std::string digitos = ExtraiNumero(chave);
  if (digitos.empty()) return std::nullopt;
  return c.config.acesso + digitos + ".xml";
}

// The exchange of one document with the platform, its file written, under its claim: upload,
// status, the decision, the register row. Returns whether the document was recorded.
bool TrocarComPlataforma(TCicloEnvio& c, const TRegistroVerificado& registro,
                         ReivindicacaoDocumento& reivindicacao, const RegistroEnvio& documento,
                         const std::string& chave, const std::string& ArquivoXML,
                         TResumoCiclo& resumo) {
  // What the platform answered decides (document_outcome.h).
  TDTQuirada& q = c.DTQuirada;
  FatosDocumento fatos;
  try {
    fatos.envio = q.EnviaXML(ArquivoXML);
  } catch (const Interrupted&) {
    throw;
  } catch (const std::exception& e) {
    const auto* resposta = dynamic_cast<const PlatformError*>(&e);
    fatos.falha_envio = resposta != nullptr ? resposta->status() : -1;
    fatos.parada = Parada(c);
    if (DecidirDocumento(fatos) != Desfecho::kRecusado) throw;
    NaoEnviado(c, resumo, "Documento " + chave + " recusado pela plataforma: " + e.what());
    RemoveFile(ArquivoXML);
    return false;
  }

  const std::string& IDEnvio = fatos.envio.Id;
  Desfecho desfecho = DecidirDocumento(fatos);
  if (desfecho == Desfecho::kLoteInvalido)
    throw Exception("A plataforma criou para o documento " + chave +
                    " um lote de identificador inválido (" + FalhaIdLote(IDEnvio) + "): \"" +
                    IDEnvio + "\"");
  if (desfecho == Desfecho::kConsultarEstado) {
    fatos.estado = q.StatusFile(IDEnvio);
    desfecho = DecidirDocumento(fatos);
  }
  const bool gravado = desfecho == Desfecho::kRegistrado;
  if (gravado) {
    const std::string& estado = fatos.estado->CodRetorno;
    const size_t cabe = registro.tamanho_id_envio;
    if (IDEnvio.size() > cabe)
      NaoEnviado(c, resumo, "Documento " + chave + ": a plataforma criou o lote \"" + IDEnvio +
                                "\", de " + std::to_string(IDEnvio.size()) +
                                " caracteres, mais do que os " + std::to_string(cabe) +
                                " de QUIRADA_ENVIOS_XML.ID_ENVIO; registrado cortado em " +
                                std::to_string(cabe) + " caracteres");
    RegistroEnvio linha = documento;
    linha.data_hora_envio = Now();
    linha.id_envio = IDEnvio;
    linha.codigo_retorno = estado;
    Registrar(c, reivindicacao, linha, chave);
  }

  if (FileExists(ArquivoXML)) RemoveFile(ArquivoXML);
  return gravado;
}

// One document: its text made a file's content, its claim taken, the register looked at again,
// the exchange. A document that cannot be sent for a reason of its own is logged and skipped.
Resultado EnviarDocumento(TCicloEnvio& c, FbQuery& documento, const TRegistroVerificado& registro,
                          TResumoCiclo& resumo) {
  const long long sequencial = documento.FieldAsInteger("SEQUENCIAL");
  const std::string tipo = documento.FieldAsString("TIPO");
  const std::string chave = documento.FieldAsString("CHAVE");
  const std::optional<std::string> arquivo = ArquivoDoDocumento(c, chave);
  if (!arquivo) {
    NaoEnviado(c, resumo, "Documento " + chave +
                              " não enviado: a chave de acesso não tem dígitos que deem nome ao "
                              "arquivo XML");
    return Resultado::kNaoRegistrado;
  }
  const std::string& ArquivoXML = *arquivo;

  std::string falha;
  const std::optional<FbText> lido = LerXml(c.Erp, documento, &falha);
  if (!lido) {
    NaoEnviado(c, resumo, "Documento " + chave + " com XML ilegível no banco de dados: não enviado: " + falha);
    return Resultado::kNaoRegistrado;
  }
  if (lido->bytes.empty()) {
    // Recorded as sent, it would never be sent once the ERP fills its XML in.
    NaoEnviado(c, resumo, "Documento " + chave + " sem XML no banco de dados: não enviado");
    return Resultado::kNaoRegistrado;
  }
  const XmlFileContent conteudo = XmlFileBytes(*lido);
  if (!conteudo.failure.empty()) {
    NaoEnviado(c, resumo, "Documento " + chave +
                              " com XML que não pode ser gravado sem alterar seus caracteres: não "
                              "enviado: " + conteudo.failure);
    return Resultado::kNaoRegistrado;
  }

  // From here to its row (or to the decision not to record it) the document holds the claim.
  ReivindicacaoDocumento reivindicacao(c.Erp);
  if (std::optional<std::string> ocupado = reivindicacao.Tomar()) {
    resumo.banco_ocupado = std::move(*ocupado);
    return Resultado::kBancoOcupado;
  }
  if (ProcurarRegistroEnvio(c.Erp.TBEnviosXML, sequencial, tipo)) return Resultado::kJaRegistrado;

  try {
    SaveXmlFile(ArquivoXML, conteudo.bytes);
  } catch (const FileError& e) {
    if (FalhaDoDisco(e)) throw;
    NaoEnviado(c, resumo, "Documento " + chave + " não enviado: o arquivo XML não pôde ser gravado: " + e.what());
    return Resultado::kNaoRegistrado;
  }
  const RegistroEnvio linha{sequencial, tipo, 0, "", ""};
  try {
    return TrocarComPlataforma(c, registro, reivindicacao, linha, chave, ArquivoXML, resumo)
               ? Resultado::kRegistrado
               : Resultado::kNaoRegistrado;
  } catch (...) {
    // A stop cut the exchange (a transfer, a database call): no fiscal data stays behind. After
    // any other failure the file stays until the document's next turn.
    if (Parada(c)) {
      try {
        RemoveFile(ArquivoXML);
      } catch (const std::exception&) {
      }
    }
    throw;
  }
}

// Everything a cycle does before its first document: the register proven writable and the
// attachment marked, under the claim, which is then let go. Returns nothing when the claim is
// held elsewhere past the wait (`resumo` then says by whom).
std::optional<TRegistroVerificado> PrepararRegistro(TCicloEnvio& c, TResumoCiclo& resumo) {
  const TRegistroVerificado verificado = VerificarRegistro(c.Erp);
  ReivindicacaoDocumento reivindicacao(c.Erp);
  if (std::optional<std::string> ocupado = reivindicacao.Tomar()) {
    resumo.banco_ocupado = std::move(*ocupado);
    return std::nullopt;
  }
  ProvarGravacao(c.Erp, c.config.pasta);
  reivindicacao.Liberar();
  return verificado;
}

// A statement the database refused for want of a grant, told with who lacks it and the GRANT
// that mends it; any other failure as it is.
[[noreturn]] void RelancarSemPermissao(TCicloEnvio& c, const DatabaseError& e) {
  if (!e.no_permission()) throw;
  TQuemConectou quem;
  try {
    quem = QuemConectou(c.Erp);
  } catch (const std::exception&) {
    throw e;
  }
  throw Exception(TextoSemPermissao(quem, e.what()));
}

}  // namespace

void ComFechamento(TCicloEnvio& c, const std::function<void()>& body) {
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
    c.Erp.TBPadraoII.Close();
  } catch (const std::exception& e) {
    if (!falha) falha = e.what();
  }
  try {
    c.Erp.Connquendalor.Disconnect();
  } catch (const std::exception& e) {
    if (!falha) falha = e.what();
  }
  if (interrompido) throw Interrupted(*falha);
  if (falha) throw Exception(*falha);
}

void ConfigurarCliente(TCicloEnvio& c, const std::string& chave_contabilidade,
                       const std::string& chave_integracao) {
  TDTQuirada& q = c.DTQuirada;
  // No token folder but the private one, checked now: until it is, the client has none.
  q.setCaminhoArquivoToken("");
  q.setCaminhoArquivoToken(PrivateTempDir(c.config.pasta_token));
  q.SetClientID(kClientID);
  q.SetClientSecret(kClientSecret);
  q.setAuence(kAudience);
  q.setKeyContabilidade(chave_contabilidade);
  q.setIntegrationKey(chave_integracao);
  q.SetParadaSolicitada(c.ParadaSolicitada);
  q.SetApiUrl(c.config.api_url);
  q.SetAuthUrl(c.config.auth_url);
  q.SetCAFile(c.config.ca_file);
}

std::string TextoResumo(const TResumoCiclo& resumo) {
  return std::string(resumo.interrompido ? "Ciclo interrompido por pedido de parada: "
                                         : "Ciclo concluído: ") +
         std::to_string(resumo.enviados) + " enviado(s), " +
         std::to_string(resumo.NaoEnviados()) + " não enviado(s).";
}

std::string TextoBancoOcupado(const TResumoCiclo& resumo) {
  const std::string espera = " (esperou " + std::to_string(kLockTimeout.count()) + " segundos)";
  if (resumo.selecionados == 0)
    return "Ciclo de envio não executado: " + resumo.banco_ocupado + espera + ".";
  return "Ciclo de envio interrompido: " + resumo.banco_ocupado + espera + "; " +
         std::to_string(resumo.enviados) + " enviado(s), " + std::to_string(resumo.NaoEnviados()) +
         " não enviado(s).";
}

namespace {

// "/PENDING"'s lines: one per pending document, then the count and the summary by kind.
void ListarDocumentos(TCicloEnvio& c, std::ostream& out) {
  int total = 0;
  std::map<std::string, int, std::less<>> por_tipo;
  PercorrerPendentes(c.Erp, [&](FbQuery& documento) {
    ++por_tipo[documento.FieldAsString("TIPO")];
    std::string falha;
    const std::optional<FbText> xml = LerXml(c.Erp, documento, &falha);
    std::string tamanho;
    if (!ArquivoDoDocumento(c, documento.FieldAsString("CHAVE"))) {
      tamanho = "não será enviado: a chave de acesso não tem dígitos";
    } else if (!xml) {
      tamanho = "ilegível: " + BlankControls(falha);
    } else if (xml->bytes.empty()) {
      tamanho = kSemXml;
    } else {
      const XmlFileContent conteudo = XmlFileBytes(*xml);
      tamanho = conteudo.failure.empty() ? std::to_string(conteudo.bytes.size())
                                         : "não será enviado: " + BlankControls(conteudo.failure);
    }
    // What the database holds reaches the terminal without its control characters.
    out << documento.FieldAsInteger("SEQUENCIAL") << ' '
        << BlankControls(documento.FieldAsString("TIPO")) << ' '
        << BlankControls(documento.FieldAsString("CHAVE")) << ' ' << tamanho << '\n';
    ++total;
    return true;
  });
  out << total << " documento(s) pendente(s).\n";
  out << ResumoPorTipo(por_tipo) << '\n';
}

// Tells whoever follows the cycle (TCicloEnvio::Andamento) where it stands.
void Avisar(const TCicloEnvio& c, const TResumoCiclo& resumo) {
  if (c.Andamento) c.Andamento(resumo);
}

// The pending documents, one after the other, from the judged settings on.
void EnviarPendentes(TCicloEnvio& c, const TConfiguracaoErp& erp, TResumoCiclo& resumo) {
  const std::optional<TRegistroVerificado> registro = PrepararRegistro(c, resumo);
  if (!registro) return;
  // The client is set up for the first document; a cycle with none leaves it untouched.
  bool configurado = false;
  PercorrerPendentes(c.Erp, [&](FbQuery& documento) {
    // A stop request ends the cycle between two documents.
    if (Parada(c)) {
      resumo.interrompido = true;
      return false;
    }
    if (!configurado) {
      ConfigurarCliente(c, erp.chave_contabilidade, erp.chave_integracao);
      resumo.pendentes = ContarPendentes(c.Erp);
      configurado = true;
    }
    ++resumo.selecionados;
    if (c.Progresso) c.Progresso(resumo.selecionados, std::max(resumo.pendentes, resumo.selecionados));
    Avisar(c, resumo);
    switch (EnviarDocumento(c, documento, *registro, resumo)) {
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

void ExecutarEtapas(TCicloEnvio& c, TResumoCiclo& resumo) {
  ComFechamento(c, [&] {
    resumo.conectou = ConectarBancoDados(c.Erp.Connquendalor, c.config.banco,
                                         [&](const std::string& linha) {
                                           resumo.falha_conexao = linha;
                                           c.DoSaveLog(linha);
                                         });
    if (!resumo.conectou) return;
    CancelamentoNaParada cancelamento(c.Erp.Connquendalor, c.ParadaSolicitada);
    try {
      try {
        const TConfiguracaoErp erp = LerConfiguracaoErp(c.Erp);
        if (erp.estado == TEstadoConfiguracaoErp::kInvalida) throw Exception(erp.motivo);
        if (erp.estado == TEstadoConfiguracaoErp::kNadaAEnviar) {
          resumo.nada_a_enviar = erp.motivo;
          return;
        }
        EnviarPendentes(c, erp, resumo);
      } catch (const DatabaseError& e) {
        if (Parada(c)) throw;
        RelancarSemPermissao(c, e);
      }
    } catch (const std::exception&) {
      // Whatever a stop request cut short (a cancelled database call, an aborted transfer).
      if (!Parada(c)) throw;
      resumo.interrompido = true;
    }
  });
}

}  // namespace

TResumoCiclo ExecutarCicloEnvio(TCicloEnvio& c) {
  TResumoCiclo resumo;
  try {
    ExecutarEtapas(c, resumo);
  } catch (const Interrupted&) {
    // A stop request cut a call in progress: the document in hand counts as not sent and is
    // offered again next cycle, as after any failure; the stop itself is no failure.
    resumo.interrompido = true;
  }
  return resumo;
}

void ListarPendentes(TCicloEnvio& c, std::ostream& out) {
  ComFechamento(c, [&] {
    std::string falha;
    auto guardar = [&falha](const std::string& msg) { falha = msg; };
    if (!ConectarBancoDados(c.Erp.Connquendalor, c.config.banco, guardar)) throw Exception(falha);
    try {
      const TConfiguracaoErp erp = LerConfiguracaoErp(c.Erp);
      if (erp.estado == TEstadoConfiguracaoErp::kInvalida) throw Exception(erp.motivo);
      if (erp.estado == TEstadoConfiguracaoErp::kNadaAEnviar) {
        out << "Nada a enviar: " << erp.motivo << '\n';
        return;
      }
      ListarDocumentos(c, out);
    } catch (const DatabaseError& e) {
      RelancarSemPermissao(c, e);
    }
  });
}

}  // namespace quirada
