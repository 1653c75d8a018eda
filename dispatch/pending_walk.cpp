#include "dispatch/pending_walk.h"

namespace quirada {

void PercorrerPendentes(ErpComponents& erp, const std::function<bool(FbQuery&)>& tratar) {
  AbrirPendentes(erp);
  for (FbQuery& pendentes = erp.TBXml; !pendentes.Eof(); pendentes.Next())
    if (!tratar(pendentes)) return;
}

}  // namespace quirada
