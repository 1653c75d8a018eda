#include "firebird/column_charset.h"

#include "firebird/fb_query.h"

namespace quirada {
namespace {

// RDB$FIELD_TYPE 14 is CHAR, 37 VARCHAR, 261 BLOB (SUB_TYPE 1: TEXT): the types a database's
// default character set applies to.
constexpr const char* kSqlConjuntoDaColuna =
    "SELECT CS.RDB$CHARACTER_SET_ID AS ID\n"
    "     , TRIM(CS.RDB$CHARACTER_SET_NAME) AS NOME\n"
    "     , CS.RDB$BYTES_PER_CHARACTER AS BYTES\n"
    "FROM RDB$RELATION_FIELDS RF\n"
    "JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE\n"
    "CROSS JOIN RDB$DATABASE DB\n"
    "LEFT JOIN RDB$CHARACTER_SETS CS ON CS.RDB$CHARACTER_SET_ID = F.RDB$CHARACTER_SET_ID\n"
    "  OR (F.RDB$CHARACTER_SET_ID IS NULL\n"
    "      AND (F.RDB$FIELD_TYPE IN (14, 37) OR (F.RDB$FIELD_TYPE = 261 AND F.RDB$FIELD_SUB_TYPE = 1))\n"
    "      AND CS.RDB$CHARACTER_SET_NAME = DB.RDB$CHARACTER_SET_NAME)\n"
    "WHERE RF.RDB$RELATION_NAME = :TABELA AND RF.RDB$FIELD_NAME = :COLUNA\n";

}  // namespace

FbCharacterSet ColumnCharacterSet(FbConnection& connection, FbTransaction& transaction,
                                  std::string_view tabela, std::string_view coluna) {
  FbQuery q(connection, transaction, kSqlConjuntoDaColuna);
  q.SetParamString("TABELA", tabela);
  q.SetParamString("COLUNA", coluna);
  q.Open();
  if (q.Eof()) return {};
  if (q.FieldIsNull("ID")) return FbCharacterSet{kFbCsNone, "NONE", 1};
  return FbCharacterSet{static_cast<unsigned>(q.FieldAsInteger("ID")), q.FieldAsString("NOME"),
                        static_cast<unsigned>(q.FieldAsInteger("BYTES"))};
}

}  // namespace quirada
