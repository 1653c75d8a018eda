#include "dispatch/register_write.h"

namespace quirada {

bool ProcurarRegistroEnvio(FbQuery& TBEnviosXML, long long sequencial, const std::string& tipo_xml) {
  FbQuery& r = TBEnviosXML;
  r.Close();
  r.SetParamInteger("SEQUENCIAL", sequencial);
  r.SetParamString("TIPOXML", tipo_xml);
  r.Open();
  return !r.Eof();
}

void GravarRegistroEnvio(FbQuery& TBEnviosXML, const RegistroEnvio& registro) {
  FbQuery& r = TBEnviosXML;
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
