// The walk over the pending documents that every cycle and "/PENDING" make.
//
// The documents come from TBXml over the service's connection, one row at a time; each document's
// text is read on its own (LerXmlGuardado), so what one document holds never changes how another is
// read.
#pragma once

#include <functional>

#include "dispatch/erp_queries.h"

namespace quirada {

// Opens the pending documents from the open settings row (TBPadraoII) and calls `tratar` for each,
// the query it gets standing on that document, until the last or until `tratar` returns false.
// Any failure raises.
void PercorrerPendentes(ErpComponents& erp, const std::function<bool(FbQuery& documento)>& tratar);

// The XML of the document `documento` stands on, as stored: the characters the server gives (or
// the stored bytes of a column without character set) with the character set its kind's column
// keeps them in (ErpComponents::ConjuntosXml). Failures to read it raise.
FbText LerXmlGuardado(ErpComponents& erp, FbQuery& documento);

}  // namespace quirada
