#include "firebird/sql_params.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quirada {
namespace {

struct RewriteCase {
  const char* what;
  const char* sql;
  const char* expected_sql;
  std::vector<std::string> names;
};

TEST(SqlParams, NamedParametersBecomePositionalMarkers) {
  const RewriteCase cases[] = {
      {"no parameters", "SELECT 1 FROM RDB$DATABASE", "SELECT 1 FROM RDB$DATABASE", {}},
      {"one parameter", "WHERE A = :A", "WHERE A = ?", {"A"}},
      {"repeated names keep one entry per marker", "WHERE D >= :DATA AND E >= :DATA OR F = :X",
       "WHERE D >= ? AND E >= ? OR F = ?", {"DATA", "DATA", "X"}},
      {"names with digits, underscores and dollars", ":NFE_P,:a1$,:_x", "?,?,?", {"NFE_P", "a1$", "_x"}},
      {"name ends at a non-name character", "(:A)||:B.", "(?)||?.", {"A", "B"}},
      {"colon before a digit is not a parameter", "X[1:2]", "X[1:2]", {}},
      {"colon at the end", "A :", "A :", {}},
      {"string literal with a colon", "WHERE A = ':X' AND B = :Y", "WHERE A = ':X' AND B = ?", {"Y"}},
      {"doubled quote inside a literal", "'it''s :X' = :Y", "'it''s :X' = ?", {"Y"}},
      {"quoted identifier with a colon", "SELECT \":X\" FROM T WHERE \"a\"\"b:C\" = :D",
       "SELECT \":X\" FROM T WHERE \"a\"\"b:C\" = ?", {"D"}},
      {"line comment", "SELECT 1 -- :X\nFROM T WHERE A = :Y", "SELECT 1 -- :X\nFROM T WHERE A = ?", {"Y"}},
      {"line comment at the end", "A = :B -- :C", "A = ? -- :C", {"B"}},
      {"block comment", "/* :X\n :Y */ A = :Z", "/* :X\n :Y */ A = ?", {"Z"}},
      {"q-string literal", "q'{a :X ' b}' = :Y", "q'{a :X ' b}' = ?", {"Y"}},
      {"Q-string with angle brackets", "Q'<:X>' || :Y", "Q'<:X>' || ?", {"Y"}},
      {"q ending a name is not a q-string", "SEQ' = :Y", "SEQ' = :Y", {}},
      {"unterminated literal swallows the rest", "A = ':X", "A = ':X", {}},
      {"unterminated comment swallows the rest", "A /* :X", "A /* :X", {}},
      {"the register query",
       "SELECT SEQUENCIAL\nFROM QUIRADA_ENVIOS_XML\nWHERE SEQUENCIAL = :SEQUENCIAL\nAND TIPOXML = :TIPOXML\n",
       "SELECT SEQUENCIAL\nFROM QUIRADA_ENVIOS_XML\nWHERE SEQUENCIAL = ?\nAND TIPOXML = ?\n",
       {"SEQUENCIAL", "TIPOXML"}},
  };
  for (const RewriteCase& c : cases) {
    SCOPED_TRACE(c.what);
    const PositionalSql out = RewriteNamedParams(c.sql);
    EXPECT_EQ(out.sql, c.expected_sql);
    EXPECT_EQ(out.names, c.names);
  }
}

}  // namespace
}  // namespace quirada
