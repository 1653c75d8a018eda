#include "dispatch/erp_queries.h"

namespace quirada {

void PrepararTBEnviosXML(FbQuery& TBEnviosXML, FbTransaction& TransReadWrite) {
  TBEnviosXML.SetUpdateTarget(std::string(kTabelaEnviosXML), {"SEQUENCIAL", "TIPOXML"}, TransReadWrite);
  TBEnviosXML.SetSingleRowLookup(true);
}

ErpComponents::ErpComponents() { PrepararTBEnviosXML(TBEnviosXML, TransReadWrite); }

void AbrirPendentes(ErpComponents& erp) { AbrirPendentes(erp.TBPadraoII, erp.TBXml); }

void AbrirPendentes(FbQuery& TBPadraoII, FbQuery& TBXml) {
  TBXml.Close();
  TBXml.SetParamDateTime("DATA", TBPadraoII.FieldAsDateTime("QUIRADA_DATAINICIALENVIO"));
  TBXml.SetParamString("NFE_T", TBPadraoII.FieldAsString("QUIRADA_ENVIARNFE_TERCEIROS"));
  TBXml.SetParamString("NFE_P", TBPadraoII.FieldAsString("QUIRADA_ENVIARNFE_PROPRIO"));
  TBXml.SetParamString("NFCE", TBPadraoII.FieldAsString("QUIRADA_ENVIARNFCE"));
  TBXml.SetParamString("SAT", TBPadraoII.FieldAsString("QUIRADA_ENVIARSAT"));
  TBXml.SetParamString("CANC", TBPadraoII.FieldAsString("QUIRADA_ENVIARXMLCANCELAMENTO"));
  TBXml.Open();
}

long long ContarPendentes(ErpComponents& erp) {
  FbQuery contagem(erp.Connquendalor, erp.TransReadOnly,
                   "SELECT COUNT(*) AS N FROM (" + std::string(kSqlTBXml) + ")");
  AbrirPendentes(erp.TBPadraoII, contagem);
  return contagem.FieldAsInteger("N");
}

}  // namespace quirada
