#include "dispatch/pending_walk.h"

namespace quirada {

void PercorrerPendentes(ErpComponents& erp, const std::function<bool(FbQuery&)>& tratar) {
  AbrirPendentes(erp);
  for (FbQuery& pendentes = erp.TBXml; !pendentes.Eof(); pendentes.Next())
    if (!tratar(pendentes)) return;
}

FbText LerXmlGuardado(ErpComponents& erp, FbQuery& documento) {
  FbText xml = documento.FieldAsText("XML");
  if (xml.raw) return xml;  // the server said it: bytes of no character set
  const auto conjunto = erp.ConjuntosXml.find(documento.FieldAsString("TIPO"));
  if (conjunto != erp.ConjuntosXml.end()) xml.charset = conjunto->second;
  return xml;
}

}  // namespace quirada
