#include "dispatch/register_check.h"

#include <map>

#include "base/errors.h"
#include "base/text.h"
#include "dispatch/fb_api.h"
#include "dispatch/register_write.h"

namespace quirada {
namespace {

constexpr const char* kNadaEnviado = " Nada foi enviado.";
// Firebird's RDB$FIELD_TYPE of the text types and of BLOB.
constexpr long long kTipoChar = 14, kTipoVarchar = 37, kTipoBlob = 261;
constexpr const char* kVariavelCiclo = "QUIRADA_CICLO";

std::string Usuario(ErpComponents& erp) {
  FbQuery q(erp.Connquendalor, erp.TransReadOnly, "SELECT CURRENT_USER AS U FROM RDB$DATABASE");
  q.Open();
  return q.FieldAsString("U");
}

std::string SqlLiteral(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

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
  registro.chave_unica = RegistroTemChaveUnica(erp.Connquendalor, erp.TransReadOnly);
  return registro;
}

std::optional<std::string> ReivindicarBanco(ErpComponents& erp) {
  try {
    erp.TransReadWrite.StartTransaction();
    return std::nullopt;
  } catch (const DatabaseError& e) {
    if (!e.lock_conflict()) throw;
  }
  // Who holds it: a cycle marks its attachment; anything else is another program's transaction.
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
    ciclos += "máquina " + q.FieldAsString("MAQUINA") + ", processo " +
              q.FieldAsString("PROCESSO") + " (PID " + q.FieldAsString("PID") + "), pasta " +
              q.FieldAsString("PASTA");
  }
  if (!ciclos.empty())
    return "outro ciclo de envio está em andamento neste banco de dados (" + ciclos + ")";
  const std::string usuario = Usuario(erp);
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
                    SqlLiteral(std::string(Utf8Prefix(pasta, 255))) + "); "
                "IF (1 = 0) THEN BEGIN "
                "INSERT INTO QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML, DATAHORAENVIO, ID_ENVIO, "
                "CODIGORETORNO) VALUES (NULL, NULL, NULL, NULL, NULL); "
                "UPDATE QUIRADA_ENVIOS_XML SET SEQUENCIAL = NULL, TIPOXML = NULL, "
                "DATAHORAENVIO = NULL, ID_ENVIO = NULL, CODIGORETORNO = NULL; "
                "END END");
  try {
    prova.ExecSQL();
  } catch (const DatabaseError& e) {
    if (e.connection_lost() || e.cancelled()) throw;
    const std::string usuario = Usuario(erp);
    throw Exception("O usuário " + usuario +
                    " não pode gravar na tabela QUIRADA_ENVIOS_XML (" + e.what() +
                    "): conceda-lhe GRANT SELECT, INSERT, UPDATE ON QUIRADA_ENVIOS_XML TO " +
                    usuario + "." + kNadaEnviado);
  }
}

}  // namespace quirada
