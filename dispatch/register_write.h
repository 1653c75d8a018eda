// The register write: recording in QUIRADA_ENVIOS_XML that the platform accepted one document.
//
// The row of (SEQUENCIAL, TIPOXML) gets the five columns, in this order: SEQUENCIAL, TIPOXML,
// DATAHORAENVIO, ID_ENVIO, CODIGORETORNO. TBEnviosXML looks the row up; when there is one it is
// updated, otherwise a new row is inserted, committed at once through TransReadWrite.
//
// When the register table has a unique key made of SEQUENCIAL and TIPOXML (its primary key, a
// unique constraint or a unique index), a second row for the same pair cannot exist, and the
// pending query only offers documents without a row: the new row is then inserted straight away,
// and only when the key says the row is there already does the look-up and update follow. Same
// rows either way, one round trip to the server fewer for every document.
#pragma once

#include <string>
#include <string_view>

#include "dispatch/fb_connection.h"
#include "dispatch/fb_query.h"
#include "base/datetime.h"

namespace quirada {

inline constexpr std::string_view kSqlInsercaoEnviosXML =
    "INSERT INTO QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML, DATAHORAENVIO, ID_ENVIO, CODIGORETORNO) "
    "VALUES (:SEQUENCIAL, :TIPOXML, :DATAHORAENVIO, :ID_ENVIO, :CODIGORETORNO)";

// One row of the register.
struct RegistroEnvio {
  long long sequencial = 0;
  std::string tipo_xml;
  TDateTime data_hora_envio = 0;
  std::string id_envio;
  std::string codigo_retorno;
};

// Whether an active unique key of QUIRADA_ENVIOS_XML is made of SEQUENCIAL and TIPOXML alone (one
// of them or both), read from the database's metadata through `transaction`.
bool RegistroTemChaveUnica(FbConnection& connection, FbTransaction& transaction);

// Writes `registro`. `insercao` (kSqlInsercaoEnviosXML through TransReadWrite) is given only when
// RegistroTemChaveUnica said so; without it the row is always looked up first.
void GravarRegistroEnvio(FbQuery& TBEnviosXML, FbQuery* insercao, const RegistroEnvio& registro);

}  // namespace quirada
