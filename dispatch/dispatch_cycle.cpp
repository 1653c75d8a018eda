#include "dispatch/dispatch_cycle.h"

#include <charconv>
#include <map>
#include <optional>
#include <ostream>

#include "dispatch/connection_setup.h"
#include "dispatch/ini_file.h"
#include "dispatch/pending_walk.h"
#include "dispatch/register_write.h"
#include "dispatch/xml_file.h"
#include "base/errors.h"
#include "base/file_io.h"
#include "base/platform.h"
#include "base/text.h"

namespace quirada {
namespace {

constexpr uint32_t kIntervaloPadraoSegundos = 3600;
// "/PENDING"'s mark for a document that the cycle logs and never sends.
constexpr const char* kSemXml = "sem XML: não será enviado";

// Reads the settings row. Returns false when a key is empty (or there is no row): the cycle has
// nothing to do then.
bool AbrirConfiguracao(TCicloEnvio& c) {
  c.Erp.TBPadraoII.Open();
  if (c.Erp.TBPadraoII.FieldAsString("QUIRADA_AUTORIZATION_KEY").empty()) return false;
  if (c.Erp.TBPadraoII.FieldAsString("QUIRADA_INTEGRATION_KEY").empty()) return false;
  return true;
}

// The XML of the document `documento` stands on, as the database holds it; nothing when even that
// cannot be read (the caller logs it and goes on). A lost connection still ends the cycle.
std::optional<std::string> LerXml(FbQuery& documento, std::string* falha) {
  try {
    return documento.FieldAsBytes("XML");
  } catch (const DatabaseError& e) {
    if (e.connection_lost()) throw;
    *falha = e.what();
    return std::nullopt;
  }
}

void ConfigurarCliente(TCicloEnvio& c) {
  ConfigurarCliente(c, c.Erp.TBPadraoII.FieldAsString("QUIRADA_AUTORIZATION_KEY"),
                    c.Erp.TBPadraoII.FieldAsString("QUIRADA_INTEGRATION_KEY"));
}

// A rejection of this one document by the platform, as opposed to a failure of the platform, the
// network or the credentials, which would strike every document alike.
bool DocumentoRecusado(int32_t status) {
  return status >= 400 && status <= 499 && status != 401 && status != 403 && status != 408 &&
         status != 429;
}

// What the register can take, read once per cycle.
struct Registro {
  std::optional<FbQuery> insercao;  // the INSERT, when the register's unique key allows it
  size_t tamanho_id_envio = 0;      // characters ID_ENVIO holds
};

// A batch id from the platform that cannot be recorded whole, or that is no plain name in the
// status query's path, is a fault of the platform: its text for the message, "" when it is sound.
std::string FalhaIdLote(const std::string& id, size_t tamanho) {
  if (id.empty() || id == "." || id == "..") return "vazio ou um nome de pasta";
  for (const char ch : id) {
    const auto u = static_cast<unsigned char>(ch);
    if (u < 0x20 || u > 0x7E) return "com caracteres fora do ASCII imprimível";
  }
  if (id.size() > tamanho)
    return "com " + std::to_string(id.size()) + " caracteres, mais do que os " +
           std::to_string(tamanho) + " de QUIRADA_ENVIOS_XML.ID_ENVIO";
  return "";
}

// One document, from its XML file to its register row. Returns whether it was recorded.
bool EnviarDocumento(TCicloEnvio& c, FbQuery& documento, Registro& registro, TResumoCiclo& resumo) {
  const long long sequencial = documento.FieldAsInteger("SEQUENCIAL");
  const std::string tipo = documento.FieldAsString("TIPO");
  const std::string chave = documento.FieldAsString("CHAVE");
  const std::string ArquivoXML = c.executable_dir + ExtraiNumero(chave) + ".xml";

  RemoveStaleXmlFile(ArquivoXML);
  std::string falha;
  const std::optional<std::string> lido = LerXml(documento, &falha);
  if (!lido) {
    c.DoSaveLog("Documento " + chave + " com XML ilegível no banco de dados: não enviado: " + falha);
    ++resumo.registrados_no_log;
    return false;
  }
  const std::string& xml = *lido;
  if (xml.empty()) {
    // Recorded as sent, it would never be sent once the ERP fills its XML in.
    c.DoSaveLog("Documento " + chave + " sem XML no banco de dados: não enviado");
    ++resumo.registrados_no_log;
    return false;
  }
  SaveXmlFile(ArquivoXML, xml);

  TDTQuirada& q = c.DTQuirada;
  try {
    q.EnviaXML(ArquivoXML);
  } catch (const Interrupted&) {
    RemoveFile(ArquivoXML);  // a stop cut the upload: no fiscal data stays behind
    throw;
  } catch (const std::exception& e) {
    if (!DocumentoRecusado(q.UltimoStatusEnvio())) throw;
    c.DoSaveLog("Documento " + chave + " recusado pela plataforma: " + e.what());
    ++resumo.registrados_no_log;
    RemoveFile(ArquivoXML);
    return false;
  }

  // Only a batch created by this upload (status 201) left its code and identifier in Retorno;
  // anything else there belongs to an earlier operation.
  bool gravado = false;
  const std::string& codigo = q.Retorno.CodRetorno;
  if (q.UltimoStatusEnvio() == 201 && (codigo == "S1" || codigo == "S2")) {
    const std::string IDEnvio = q.Retorno.Id;
    if (const std::string falha = FalhaIdLote(IDEnvio, registro.tamanho_id_envio); !falha.empty())
      throw Exception("A plataforma criou para o documento " + chave +
                      " um lote de identificador inválido (" + falha + "): \"" + IDEnvio + "\"");
    try {
      q.StatusFile(IDEnvio);
    } catch (const Interrupted&) {
      RemoveFile(ArquivoXML);
      throw;
    }
    const std::string& estado = q.Retorno.CodRetorno;
    if (estado != "E0" && estado != "EA0" && estado != "EB0") {
      try {
        GravarRegistroEnvio(c.Erp.TBEnviosXML, registro.insercao ? &*registro.insercao : nullptr,
                            {sequencial, tipo, Now(), IDEnvio, estado});
      } catch (const std::exception& e) {
        throw Exception("Documento " + chave + " aceito pela plataforma (lote " + IDEnvio +
                        "), mas o registro do envio falhou; será enviado de novo no próximo "
                        "ciclo: " + e.what());
      }
      gravado = true;
    }
  }

  if (FileExists(ArquivoXML)) RemoveFile(ArquivoXML);
  return gravado;
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
  q.setCaminhoArquivoToken(PrivateTempDir());
  q.SetClientID(kClientID);
  q.SetClientSecret(kClientSecret);
  q.setAuence(kAudience);
  q.setKeyContabilidade(chave_contabilidade);
  q.setIntegrationKey(chave_integracao);
  q.SetParadaSolicitada(c.ParadaSolicitada);
  const IniFileContents ini = ReadIniFile(IniPath(c.executable_dir));
  q.SetApiUrl(ini.Value(kSecaoQuirada, "ApiUrl", kDefaultApiUrl));
  q.SetAuthUrl(ini.Value(kSecaoQuirada, "AuthUrl", kDefaultAuthUrl));
  q.SetCAFile(ini.Value(kSecaoQuirada, "CAFile", ""));
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
    resumo.conectou = ConectarBancoDados(c.Erp.Connquendalor, c.executable_dir,
                                         [&](const std::string& linha) {
                                           resumo.falha_conexao = linha;
                                           c.DoSaveLog(linha);
                                         });
    if (!resumo.conectou) return;
    if (!AbrirConfiguracao(c)) return;
    // The client and the register are set up for the first document; a cycle with none leaves
    // them untouched.
    std::optional<Registro> registro;
    PercorrerPendentes(c.Erp, [&](FbQuery& documento) {
      // A stop request ends the cycle between two documents, never inside one.
      if (c.ParadaSolicitada && c.ParadaSolicitada()) {
        resumo.interrompido = true;
        return false;
      }
      if (!registro) {
        ConfigurarCliente(c);
        registro.emplace();
        if (RegistroTemChaveUnica(c.Erp.Connquendalor, c.Erp.TransReadWrite))
          registro->insercao.emplace(c.Erp.Connquendalor, c.Erp.TransReadWrite,
                                     std::string(kSqlInsercaoEnviosXML));
        registro->tamanho_id_envio = TamanhoIdEnvio(c.Erp.Connquendalor, c.Erp.TransReadWrite);
        resumo.pendentes = ContarPendentes(c.Erp);
      }
      ++resumo.selecionados;
      if (c.Progresso) c.Progresso(resumo.selecionados, std::max(resumo.pendentes, resumo.selecionados));
      if (EnviarDocumento(c, documento, *registro, resumo)) ++resumo.enviados;
      return true;
    });
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
    if (!ConectarBancoDados(c.Erp.Connquendalor, c.executable_dir, guardar)) throw Exception(falha);
    if (!AbrirConfiguracao(c)) {
      out << "Nada a enviar: a chave de autorização ou a chave de integração está vazia em "
             "PADRAOII.\n";
      return;
    }
    int total = 0;
    std::map<std::string, int> por_tipo;
    PercorrerPendentes(c.Erp, [&](FbQuery& documento) {
      ++por_tipo[documento.FieldAsString("TIPO")];
      std::string falha;
      const std::optional<std::string> xml = LerXml(documento, &falha);
      // What the database holds reaches the terminal without its control characters.
      out << documento.FieldAsInteger("SEQUENCIAL") << ' '
          << BlankControls(documento.FieldAsString("TIPO")) << ' '
          << BlankControls(documento.FieldAsString("CHAVE")) << ' '
          << (!xml            ? "ilegível: " + BlankControls(falha)
              : xml->empty()  ? std::string(kSemXml)
                              : std::to_string(XmlFileBytes(*xml).size()))
          << '\n';
      ++total;
      return true;
    });
    out << total << " documento(s) pendente(s).\n";
    out << "Por tipo: " << por_tipo["N"] << " nota(s) fiscal(is) (N), " << por_tipo["C"]
        << " cancelamento(s) (C).\n";
  });
}

std::string IniPath(const std::string& executable_dir) { return executable_dir + kArquivoIni; }

uint32_t IntervaloCiclo(const std::string& executable_dir) {
  const std::string text =
      ReadIniString(IniPath(executable_dir), kSecaoQuirada, "IntervaloSegundos", "");
  uint32_t seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (ec != std::errc() || end != text.data() + text.size() || seconds == 0 ||
      seconds > 4'000'000)
    seconds = kIntervaloPadraoSegundos;
  return seconds * 1000;
}

}  // namespace quirada
