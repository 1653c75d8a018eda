// The character set a table's column keeps its text in, read from the database's catalogue.
//
// Over the service's UTF8 connection the server gives the text of every column with a character set
// in UTF-8 and describes it so: which character set the text was stored in (UTF8, WIN1252,
// ISO8859_1...) is said only by the catalogue (RDB$RELATION_FIELDS, RDB$FIELDS,
// RDB$CHARACTER_SETS), for CHAR, VARCHAR and BLOB SUB_TYPE TEXT columns alike and in both SQL
// dialects. A text column declared without a character set of its own takes the database's
// default; one without either (and a BLOB that is not text) keeps bytes of no character set: NONE.
#pragma once

#include <string_view>

#include "firebird/fb_connection.h"
#include "firebird/fb_value.h"

namespace quirada {

// The character set of `tabela`.`coluna` (names as the catalogue keeps them: upper case for
// identifiers declared without quotes); not Known() when the catalogue has no such column.
FbCharacterSet ColumnCharacterSet(FbConnection& connection, FbTransaction& transaction,
                                  std::string_view tabela, std::string_view coluna);

}  // namespace quirada
