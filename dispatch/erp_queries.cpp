#include "dispatch/erp_queries.h"

namespace quirada {

ErpComponents::ErpComponents() {
  TBEnviosXML.SetUpdateTarget(std::string(kTabelaEnviosXML), {"SEQUENCIAL", "TIPOXML"}, TransReadWrite);
}

}  // namespace quirada
