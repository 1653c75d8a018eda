#include "dispatch/erp_queries.h"

namespace quirada {

void PrepararTBEnviosXML(FbQuery& TBEnviosXML, FbTransaction& TransReadWrite) {
  TBEnviosXML.SetUpdateTarget(std::string(kTabelaEnviosXML), {"SEQUENCIAL", "TIPOXML"}, TransReadWrite);
  TBEnviosXML.SetSingleRowLookup(true);
}

ErpComponents::ErpComponents() { PrepararTBEnviosXML(TBEnviosXML, TransReadWrite); }

void AbrirPendentes(ErpComponents& erp) {
  FbQuery& settings = erp.TBPadraoII;
  erp.TBXml.Close();
  erp.TBXml.SetParamDateTime("DATA", settings.FieldAsDateTime("QUIRADA_DATAINICIALENVIO"));
  erp.TBXml.SetParamString("NFE_T", settings.FieldAsString("QUIRADA_ENVIARNFE_TERCEIROS"));
  erp.TBXml.SetParamString("NFE_P", settings.FieldAsString("QUIRADA_ENVIARNFE_PROPRIO"));
  erp.TBXml.SetParamString("NFCE", settings.FieldAsString("QUIRADA_ENVIARNFCE"));
  erp.TBXml.SetParamString("SAT", settings.FieldAsString("QUIRADA_ENVIARSAT"));
  erp.TBXml.SetParamString("CANC", settings.FieldAsString("QUIRADA_ENVIARXMLCANCELAMENTO"));
  erp.TBXml.Open();
}

}  // namespace quirada
