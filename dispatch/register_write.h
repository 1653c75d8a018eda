// The register write: recording in QUIRADA_ENVIOS_XML that the platform accepted one document.
//
// TBEnviosXML looks the row of (SEQUENCIAL, TIPOXML) up (ProcurarRegistroEnvio) and stays on it;
// GravarRegistroEnvio then writes the five columns, in this order: SEQUENCIAL, TIPOXML,
// DATAHORAENVIO, ID_ENVIO, CODIGORETORNO, to the row found (an UPDATE) or to a new one (an INSERT),
// through TransReadWrite. The cycle looks a document up under its claim, before the upload
// (register_check.h): a row found there means another cycle recorded it meanwhile.
#pragma once

#include <string>

#include "firebird/fb_query.h"
#include "base/datetime.h"

namespace quirada {

// One row of the register.
struct RegistroEnvio {
  long long sequencial = 0;
  std::string tipo_xml;
  TDateTime data_hora_envio = 0;
  std::string id_envio;
  std::string codigo_retorno;
};

// Opens TBEnviosXML on the row of (`sequencial`, `tipo_xml`); returns whether there is one.
bool ProcurarRegistroEnvio(FbQuery& TBEnviosXML, long long sequencial, const std::string& tipo_xml);

// Writes `registro` to the row TBEnviosXML stands on, or, when it stands on none, to a new row,
// and posts it.
void GravarRegistroEnvio(FbQuery& TBEnviosXML, const RegistroEnvio& registro);

}  // namespace quirada
