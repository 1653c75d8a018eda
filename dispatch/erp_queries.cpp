#include "dispatch/erp_queries.h"

namespace quirada {

void PrepararTBEnviosXML(FbQuery& TBEnviosXML, FbTransaction& TransReadWrite) {
  TBEnviosXML.SetUpdateTarget(std::string(kTabelaEnviosXML), {"SEQUENCIAL", "TIPOXML"}, TransReadWrite);
  TBEnviosXML.SetSingleRowLookup(true);
}

ErpComponents::ErpComponents() { PrepararTBEnviosXML(TBEnviosXML, TransReadWrite); }

}  // namespace quirada
