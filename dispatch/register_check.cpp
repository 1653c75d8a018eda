#include "dispatch/register_check.h"

#include <map>

#include "base/errors.h"
#include "base/text.h"
#include "firebird/fb_api.h"

namespace quirada {
namespace {

constexpr const char* kNadaEnviado = " Nada foi enviado.";
// Firebird's RDB$FIELD_TYPE of the text types and of BLOB.
constexpr long long kTipoChar = 14, kTipoVarchar = 37, kTipoBlob = 261;
constexpr const char* kVariavelCiclo = "QUIRADA_CICLO";
// The most a context variable's value holds.
constexpr size_t kTamanhoVariavel = 255;

std::string SqlLiteral(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

// "GRANT <what> ON <objeto> TO <whom>", to the role when the connection took one.
std::string Grant(const TQuemConectou& quem, const std::string& o_que, const std::string& objeto) {
  const std::string grant = "GRANT " + o_que + " ON " + objeto + " TO ";
  if (quem.papel.empty()) return grant + quem.usuario;
  return grant + "ROLE " + quem.papel + " (ou " + grant + quem.usuario + ")";
}

std::string Quem(const TQuemConectou& quem) {
  return "O usuário " + quem.usuario + (quem.papel.empty() ? "" : " (com o papel " + quem.papel + ")");
}

}  // namespace

TQuemConectou QuemConectou(ErpComponents& erp) {
  FbQuery q(erp.Connquendalor, erp.TransReadOnly,
            "SELECT CURRENT_USER AS U, CURRENT_ROLE AS R FROM RDB$DATABASE");
  q.Open();
  TQuemConectou quem{BlankControls(q.FieldAsString("U")), BlankControls(q.FieldAsString("R"))};
  if (quem.papel == "NONE") quem.papel.clear();
  return quem;
}

std::string TextoSemPermissao(const TQuemConectou& quem, const std::string& recusa) {
  // The server's words: "no permission for SELECT access to TABLE PADRAOII".
  const std::string primeira = recusa.substr(0, recusa.find('\n'));
  const std::string para = "no permission for ", acesso = " access to ";
  const size_t p = primeira.find(para), a = primeira.find(acesso);
  if (p != std::string::npos && a != std::string::npos && a > p) {
    const std::string privilegio = primeira.substr(p + para.size(), a - p - para.size());
    const std::string alvo = primeira.substr(a + acesso.size());  // "TABLE PADRAOII"
    const size_t espaco = alvo.find(' ');
    const std::string tipo = alvo.substr(0, espaco);
    const std::string nome = espaco == std::string::npos ? alvo : alvo.substr(espaco + 1);
    if ((tipo == "TABLE" || tipo == "VIEW") && !nome.empty())
      return Quem(quem) + " não tem permissão de " + privilegio + " na tabela " + nome +
             ": conceda-a com " + Grant(quem, privilegio, nome) + ". (" + OneLine(recusa) + ")";
  }
  return Quem(quem) + " não tem uma permissão de que o serviço precisa (" + OneLine(recusa) +
         "): conceda-a com GRANT ao " + (quem.papel.empty() ? "usuário" : "papel") + ".";
}

TRegistroVerificado VerificarRegistro(ErpComponents& erp) {
  struct Coluna {
    long long tipo = 0;
    long long tamanho = 0;
  };
  std::map<std::string, Coluna> colunas;
  {
    FbQuery q(erp.Connquendalor, erp.TransReadOnly,
              "SELECT TRIM(R.RDB$FIELD_NAME) AS COLUNA, F.RDB$FIELD_TYPE AS TIPO, "
              "COALESCE(F.RDB$CHARACTER_LENGTH, F.RDB$FIELD_LENGTH) AS TAMANHO "
              "FROM RDB$RELATION_FIELDS R JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = R.RDB$FIELD_SOURCE "
              "WHERE R.RDB$RELATION_NAME = 'QUIRADA_ENVIOS_XML'");
    for (q.Open(); !q.Eof(); q.Next())
      colunas[q.FieldAsString("COLUNA")] = {q.FieldAsInteger("TIPO"), q.FieldAsInteger("TAMANHO")};
  }
  if (colunas.empty())
    throw Exception(std::string("A tabela QUIRADA_ENVIOS_XML, onde o serviço registra os documentos "
                                "enviados, não existe no banco de dados: crie-a com ") +
                    kDdlEnviosXML + "." + kNadaEnviado);
  for (const char* nome : {"SEQUENCIAL", "TIPOXML", "DATAHORAENVIO", "ID_ENVIO", "CODIGORETORNO"}) {
    if (!colunas.count(nome))
      throw Exception(std::string("A coluna ") + nome +
                      " não existe na tabela QUIRADA_ENVIOS_XML: a tabela precisa das colunas de " +
                      kDdlEnviosXML + "." + kNadaEnviado);
  }
  TRegistroVerificado registro;
  const Coluna& id = colunas["ID_ENVIO"];
  if (id.tipo == kTipoBlob) {
    registro.tamanho_id_envio = SIZE_MAX;
  } else if (id.tipo == kTipoChar || id.tipo == kTipoVarchar) {
    registro.tamanho_id_envio = static_cast<size_t>(id.tamanho);
  }
  if (registro.tamanho_id_envio < kTamanhoMinimoIdEnvio)
    throw Exception("A coluna ID_ENVIO de QUIRADA_ENVIOS_XML guarda " +
                    (id.tipo == kTipoChar || id.tipo == kTipoVarchar
                         ? std::to_string(registro.tamanho_id_envio) + " caracteres"
                         : std::string("valores que não são texto")) +
                    ", e os identificadores de lote da plataforma têm " +
                    std::to_string(kTamanhoMinimoIdEnvio) +
                    ": aumente-a com ALTER TABLE QUIRADA_ENVIOS_XML ALTER ID_ENVIO TYPE "
                    "VARCHAR(64)." + kNadaEnviado);
  if (erp.Connquendalor.database_read_only())
    throw Exception(
        "O banco de dados está somente para leitura, e o serviço precisa gravar em "
        "QUIRADA_ENVIOS_XML os documentos enviados: ponha-o em leitura e gravação (gfix -mode "
        "read_write <banco>)." + std::string(kNadaEnviado));
  return registro;
}

std::optional<std::string> ReivindicarBanco(ErpComponents& erp, FbTransaction::Wait wait) {
  try {
    erp.TransReadWrite.StartTransaction(wait);
    return std::nullopt;
  } catch (const DatabaseError& e) {
    if (!e.lock_conflict()) throw;
  }
  // Who holds it: a cycle marks its attachment; anything else is another program's transaction.
  // What the holder wrote into its mark reaches logs and terminals without control characters.
  FbQuery q(erp.Connquendalor, erp.TransReadOnly,
            "SELECT A.MON$REMOTE_HOST AS MAQUINA, A.MON$REMOTE_PROCESS AS PROCESSO, "
            "A.MON$REMOTE_PID AS PID, V.MON$VARIABLE_VALUE AS PASTA "
            "FROM MON$CONTEXT_VARIABLES V "
            "JOIN MON$ATTACHMENTS A ON A.MON$ATTACHMENT_ID = V.MON$ATTACHMENT_ID "
            "WHERE V.MON$VARIABLE_NAME = '" + std::string(kVariavelCiclo) + "' "
            "AND V.MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
  std::string ciclos;
  for (q.Open(); !q.Eof(); q.Next()) {
    if (!ciclos.empty()) ciclos += "; ";
    ciclos += "máquina " + BlankControls(q.FieldAsString("MAQUINA")) + ", processo " +
              BlankControls(q.FieldAsString("PROCESSO")) + " (PID " +
              BlankControls(q.FieldAsString("PID")) + "), pasta " +
              BlankControls(q.FieldAsString("PASTA"));
  }
  if (!ciclos.empty())
    return "outro ciclo de envio está em andamento neste banco de dados (" + ciclos + ")";
  const std::string usuario = QuemConectou(erp).usuario;
  return "outra transação grava em QUIRADA_ENVIOS_XML ou a reservou, e não é um ciclo deste "
         "serviço que o servidor mostre ao usuário " + usuario +
         (usuario == "SYSDBA" ? std::string(" (pode ser o ERP com uma gravação ainda não confirmada)")
                              : std::string(" (pode ser o ERP com uma gravação ainda não confirmada, "
                                            "ou outra instalação que só SYSDBA vê)"));
}

void ProvarGravacao(ErpComponents& erp, const std::string& pasta) {
  // The grants are checked when the block starts, for every statement in it, run or not.
  FbQuery prova(erp.Connquendalor, erp.TransReadWrite,
                "EXECUTE BLOCK AS DECLARE R INTEGER; BEGIN "
                "R = RDB$SET_CONTEXT('USER_SESSION', '" + std::string(kVariavelCiclo) + "', " +
                    SqlLiteral(Utf8Prefix(pasta, kTamanhoVariavel)) + "); "
                "IF (1 = 0) THEN BEGIN "
                "INSERT INTO QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML, DATAHORAENVIO, ID_ENVIO, "
                "CODIGORETORNO) VALUES (NULL, NULL, NULL, NULL, NULL); "
                "UPDATE QUIRADA_ENVIOS_XML SET SEQUENCIAL = NULL, TIPOXML = NULL, "
                "DATAHORAENVIO = NULL, ID_ENVIO = NULL, CODIGORETORNO = NULL; "
                "END END");
  try {
    prova.ExecSQL();
  } catch (const DatabaseError& e) {
    // Only a missing grant is mended by a GRANT.
    if (!e.no_permission()) throw;
    const TQuemConectou quem = QuemConectou(erp);
    throw Exception(Quem(quem) + " não pode gravar na tabela QUIRADA_ENVIOS_XML (" + e.what() +
                    "): conceda-lhe " +
                    Grant(quem, "SELECT, INSERT, UPDATE", "QUIRADA_ENVIOS_XML") + "." + kNadaEnviado);
  }
}

ReivindicacaoDocumento::~ReivindicacaoDocumento() {
  try {
    erp_.TransReadWrite.Rollback();
  } catch (const std::exception&) {
    // A lost or cut attachment: the server lets the claim go with it.
  }
}

}  // namespace quirada
