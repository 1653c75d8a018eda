#include "dispatch/dispatch_cycle.h"

#include <cerrno>
#include <map>
#include <optional>
#include <ostream>

#include "dispatch/connection_setup.h"
#include "dispatch/database_cancel.h"
#include "dispatch/document_kinds.h"
#include "dispatch/document_outcome.h"
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

// Reads the settings row. Returns false when a key is empty (or there is no row): the cycle has
// nothing to do then. The integration key goes in a header of every request: a character outside
// printable ASCII there fails the cycle before anything is sent.
bool AbrirConfiguracao(TCicloEnvio& c) {
  c.Erp.TBPadraoII.Open();
  if (c.Erp.TBPadraoII.FieldAsString("QUIRADA_AUTORIZATION_KEY").empty()) return false;
  const std::string integracao = c.Erp.TBPadraoII.FieldAsString("QUIRADA_INTEGRATION_KEY");
  if (integracao.empty()) return false;
  for (const char ch : integracao) {
    const auto u = static_cast<unsigned char>(ch);
    if (u < 0x20 || u > 0x7E)
      throw Exception(
          "A chave de integração (PADRAOII.QUIRADA_INTEGRATION_KEY) tem caracteres fora do ASCII "
          "imprimível e não pode ir no cabeçalho das requisições: corrija-a no ERP. Nada foi "
          "enviado.");
  }
  return true;
}

// The XML of the document `documento` stands on, without loss; nothing when it cannot be read
// (the caller logs it and goes on). A lost connection or a cancelled call still ends the cycle.
std::optional<FbText> LerXml(FbQuery& documento, std::string* falha) {
  try {
    return documento.FieldAsText("XML");
  } catch (const DatabaseError& e) {
    if (e.connection_lost() || e.cancelled()) throw;
    *falha = e.what();
    return std::nullopt;
  }
}

void ConfigurarCliente(TCicloEnvio& c) {
  ConfigurarCliente(c, c.Erp.TBPadraoII.FieldAsString("QUIRADA_AUTORIZATION_KEY"),
                    c.Erp.TBPadraoII.FieldAsString("QUIRADA_INTEGRATION_KEY"));
}

// What the register can take and how a row goes in, set up once per cycle.
struct Registro {
  TRegistroVerificado verificado;
  std::optional<FbQuery> insercao;  // the INSERT, when the register's unique key allows it
};

// Writes one document's register row and commits it.
void Registrar(TCicloEnvio& c, Registro& registro, const RegistroEnvio& linha,
               const std::string& chave) {
  try {
    GravarRegistroEnvio(c.Erp.TBEnviosXML, registro.insercao ? &*registro.insercao : nullptr, linha);
    c.Erp.TransReadWrite.CommitRetaining();
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

// One document, from its XML file to its register row. Returns whether it was recorded.
bool EnviarDocumento(TCicloEnvio& c, FbQuery& documento, Registro& registro, TResumoCiclo& resumo) {
  const long long sequencial = documento.FieldAsInteger("SEQUENCIAL");
  const std::string tipo = documento.FieldAsString("TIPO");
  const std::string chave = documento.FieldAsString("CHAVE");
  const std::string ArquivoXML = c.config.acesso + ExtraiNumero(chave) + ".xml";

  std::string falha;
  const std::optional<FbText> lido = LerXml(documento, &falha);
  if (!lido) {
    NaoEnviado(c, resumo, "Documento " + chave + " com XML ilegível no banco de dados: não enviado: " + falha);
    return false;
  }
  if (lido->bytes.empty()) {
    // Recorded as sent, it would never be sent once the ERP fills its XML in.
    NaoEnviado(c, resumo, "Documento " + chave + " sem XML no banco de dados: não enviado");
    return false;
  }
  const XmlFileContent conteudo = XmlFileBytes(*lido);
  if (!conteudo.failure.empty()) {
    NaoEnviado(c, resumo, "Documento " + chave +
                              " com XML que não pode ser gravado sem alterar seus caracteres: não "
                              "enviado: " + conteudo.failure);
    return false;
  }
  try {
    SaveXmlFile(ArquivoXML, conteudo.bytes);
  } catch (const FileError& e) {
    if (FalhaDoDisco(e)) throw;
    NaoEnviado(c, resumo, "Documento " + chave + " não enviado: o arquivo XML não pôde ser gravado: " + e.what());
    return false;
  }

  // What the platform answered decides (document_outcome.h).
  TDTQuirada& q = c.DTQuirada;
  FatosDocumento fatos;
  try {
    fatos.envio = q.EnviaXML(ArquivoXML);
  } catch (const Interrupted&) {
    RemoveFile(ArquivoXML);  // a stop cut the upload: no fiscal data stays behind
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
    try {
      fatos.estado = q.StatusFile(IDEnvio);
    } catch (const Interrupted&) {
      RemoveFile(ArquivoXML);
      throw;
    }
    desfecho = DecidirDocumento(fatos);
  }
  const bool gravado = desfecho == Desfecho::kRegistrado;
  if (gravado) {
    const std::string& estado = fatos.estado->CodRetorno;
    const size_t cabe = registro.verificado.tamanho_id_envio;
    if (IDEnvio.size() > cabe)
      NaoEnviado(c, resumo, "Documento " + chave + ": a plataforma criou o lote \"" + IDEnvio +
                                "\", de " + std::to_string(IDEnvio.size()) +
                                " caracteres, mais do que os " + std::to_string(cabe) +
                                " de QUIRADA_ENVIOS_XML.ID_ENVIO; registrado cortado em " +
                                std::to_string(cabe) + " caracteres");
    Registrar(c, registro, {sequencial, tipo, Now(), IDEnvio, estado}, chave);
  }

  if (FileExists(ArquivoXML)) RemoveFile(ArquivoXML);
  return gravado;
}

// Everything a cycle does before its first document: the register proven writable, the claim.
// Returns nothing when the claim is held elsewhere (`resumo` then says by whom).
std::optional<TRegistroVerificado> PrepararRegistro(TCicloEnvio& c, TResumoCiclo& resumo) {
  const TRegistroVerificado verificado = VerificarRegistro(c.Erp);
  if (std::optional<std::string> ocupado = ReivindicarBanco(c.Erp)) {
    resumo.banco_ocupado = std::move(*ocupado);
    return std::nullopt;
  }
  ProvarGravacao(c.Erp, c.config.pasta);
  return verificado;
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

namespace {

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
      if (!AbrirConfiguracao(c)) return;
      const std::optional<TRegistroVerificado> verificado = PrepararRegistro(c, resumo);
      if (!verificado) return;
      Registro registro{*verificado, std::nullopt};
      // The client is set up for the first document; a cycle with none leaves it untouched.
      bool configurado = false;
      PercorrerPendentes(c.Erp, [&](FbQuery& documento) {
        // A stop request ends the cycle between two documents.
        if (Parada(c)) {
          resumo.interrompido = true;
          return false;
        }
        if (!configurado) {
          ConfigurarCliente(c);
          if (registro.verificado.chave_unica)
            registro.insercao.emplace(c.Erp.Connquendalor, c.Erp.TransReadWrite,
                                       std::string(kSqlInsercaoEnviosXML));
          resumo.pendentes = ContarPendentes(c.Erp);
          configurado = true;
        }
        ++resumo.selecionados;
        if (c.Progresso) c.Progresso(resumo.selecionados, std::max(resumo.pendentes, resumo.selecionados));
        if (EnviarDocumento(c, documento, registro, resumo)) ++resumo.enviados;
        return true;
      });
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
    if (!AbrirConfiguracao(c)) {
      out << "Nada a enviar: a chave de autorização ou a chave de integração está vazia em "
             "PADRAOII.\n";
      return;
    }
    int total = 0;
    std::map<std::string, int, std::less<>> por_tipo;
    PercorrerPendentes(c.Erp, [&](FbQuery& documento) {
      ++por_tipo[documento.FieldAsString("TIPO")];
      std::string falha;
      const std::optional<FbText> xml = LerXml(documento, &falha);
      std::string tamanho;
      if (!xml) {
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
  });
}

}  // namespace quirada
