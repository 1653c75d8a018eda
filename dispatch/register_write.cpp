#include "dispatch/register_write.h"

#include "base/errors.h"
#include "dispatch/fb_api.h"

namespace quirada {

bool RegistroTemChaveUnica(FbConnection& connection, FbTransaction& transaction) {
  // Unique indexes on columns (not on an expression), active, none of whose columns is outside
  // the pair. A primary key or unique constraint is backed by such an index.
  FbQuery q(connection, transaction,
            "SELECT COUNT(*) AS N FROM RDB$INDICES I "
            "WHERE I.RDB$RELATION_NAME = 'QUIRADA_ENVIOS_XML' "
            "AND I.RDB$UNIQUE_FLAG = 1 "
            "AND COALESCE(I.RDB$INDEX_INACTIVE, 0) = 0 "
            "AND I.RDB$EXPRESSION_BLR IS NULL "
            "AND EXISTS (SELECT 1 FROM RDB$INDEX_SEGMENTS S WHERE S.RDB$INDEX_NAME = I.RDB$INDEX_NAME) "
            "AND NOT EXISTS (SELECT 1 FROM RDB$INDEX_SEGMENTS S WHERE S.RDB$INDEX_NAME = I.RDB$INDEX_NAME "
            "AND TRIM(S.RDB$FIELD_NAME) NOT IN ('SEQUENCIAL', 'TIPOXML'))");
  q.Open();
  return q.FieldAsInteger("N") > 0;
}

void GravarRegistroEnvio(FbQuery& TBEnviosXML, FbQuery* insercao, const RegistroEnvio& registro) {
  if (insercao != nullptr) {
    insercao->SetParamInteger("SEQUENCIAL", registro.sequencial);
    insercao->SetParamString("TIPOXML", registro.tipo_xml);
    insercao->SetParamDateTime("DATAHORAENVIO", registro.data_hora_envio);
    insercao->SetParamString("ID_ENVIO", registro.id_envio);
    insercao->SetParamString("CODIGORETORNO", registro.codigo_retorno);
    try {
      insercao->ExecSQL();
      return;
    } catch (const DatabaseError& e) {
      if (!e.key_violation()) throw;  // the row is there: look it up and update it
    }
  }

  FbQuery& r = TBEnviosXML;
  r.Close();
  r.SetParamInteger("SEQUENCIAL", registro.sequencial);
  r.SetParamString("TIPOXML", registro.tipo_xml);
  r.Open();
  if (!r.Eof())
    r.Edit();
  else
    r.Append();
  r.SetFieldInteger("SEQUENCIAL", registro.sequencial);
  r.SetFieldString("TIPOXML", registro.tipo_xml);
  r.SetFieldDateTime("DATAHORAENVIO", registro.data_hora_envio);
  r.SetFieldString("ID_ENVIO", registro.id_envio);
  r.SetFieldString("CODIGORETORNO", registro.codigo_retorno);
  r.Post();
}

}  // namespace quirada
