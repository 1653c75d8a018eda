// The walk over the pending documents that every cycle and "/PENDING" make.
//
// The documents come from TBXml over the service's connection, their text in ISO-8859-1. When one
// document's text cannot be read in that character set (a character outside ISO-8859-1 in a UTF8
// database), the server ends the cursor at that document. The walk then goes on over a second
// connection to the same database that takes every text as the database holds it (character set
// NONE), through the same query with the same parameters, leaving out the documents it handed out
// already. So one such document never blocks those after it, and its XML reaches its file as the
// database's own bytes.
#pragma once

#include <functional>

#include "dispatch/erp_queries.h"

namespace quirada {

// Opens the pending documents from the open settings row (TBPadraoII) and calls `tratar` for each,
// the query it gets standing on that document, until the last or until `tratar` returns false.
// Any other failure raises.
void PercorrerPendentes(ErpComponents& erp, const std::function<bool(FbQuery& documento)>& tratar);

// Whether `e` is the server's refusal to put a text into the connection's character set.
bool TextoIntraduzivel(const std::exception& e);

}  // namespace quirada
