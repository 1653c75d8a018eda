#include "dispatch/erp_queries.h"

#include "firebird/column_charset.h"
#include "dispatch/document_kinds.h"

namespace quirada {

void PrepararTBEnviosXML(FbQuery& TBEnviosXML, FbTransaction& TransReadWrite) {
  TBEnviosXML.SetUpdateTarget(std::string(kTabelaEnviosXML), {"SEQUENCIAL", "TIPOXML"}, TransReadWrite);
  TBEnviosXML.SetSingleRowLookup(true);
}

ErpComponents::ErpComponents() {
  // Every register write goes through the cycle's claim on the register (register_check.h).
  TransReadWrite.SetReservedTable(std::string(kTabelaEnviosXML));
  PrepararTBEnviosXML(TBEnviosXML, TransReadWrite);
}

namespace {

// Binds the pending query's parameters from the open settings row and opens it.
void AbrirPendentes(FbQuery& TBPadraoII, FbQuery& TBXml) {
  TBXml.Close();
  TBXml.SetParamDateTime("DATA", TBPadraoII.FieldAsDateTime("QUIRADA_DATAINICIALENVIO"));
  for (const TipoDocumento& tipo : kTiposDocumento)
    TBXml.SetParamString(tipo.parametro, TBPadraoII.FieldAsString(tipo.flag));
  TBXml.Open();
}

}  // namespace

std::string SqlTBXml(int dialect) {
  std::string sql(kSqlTBXml);
  if (dialect >= 3) return sql;
  constexpr std::string_view kJanela = "CURRENT_DATE - 180";
  for (size_t at = sql.find(kJanela); at != std::string::npos; at = sql.find(kJanela, at))
    sql.replace(at, kJanela.size(), "CAST('TODAY' AS DATE) - 180");
  return sql;
}

void AbrirPendentes(ErpComponents& erp) {
  erp.ConjuntosXml.clear();
  for (const TipoDocumento& tipo : kTiposDocumento) {
    if (erp.ConjuntosXml.count(tipo.letra)) continue;  // a letter has one table and column
    erp.ConjuntosXml.emplace(std::string(tipo.letra),
                             ColumnCharacterSet(erp.Connquendalor, erp.TransReadOnly, tipo.tabela, tipo.coluna_xml));
  }
  erp.TBXml.SetSQL(SqlTBXml(erp.Connquendalor.sql_dialect()));
  AbrirPendentes(erp.TBPadraoII, erp.TBXml);
}

long long ContarPendentes(ErpComponents& erp) {
  FbQuery contagem(erp.Connquendalor, erp.TransReadOnly,
                   "SELECT COUNT(*) AS N FROM (" + SqlTBXml(erp.Connquendalor.sql_dialect()) + ")");
  AbrirPendentes(erp.TBPadraoII, contagem);
  return contagem.FieldAsInteger("N");
}

}  // namespace quirada
