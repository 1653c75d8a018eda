#include "firebird/sql_params.h"

namespace quirada {
namespace {

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '$'; }

// The closing delimiter of a q'<...>' literal for its opening one.
char QuoteClose(char open) {
  switch (open) {
    case '(': return ')';
    case '[': return ']';
    case '{': return '}';
    case '<': return '>';
    default: return open;
  }
}

}  // namespace

PositionalSql RewriteNamedParams(std::string_view sql) {
  PositionalSql out;
  out.sql.reserve(sql.size());
  const std::size_t n = sql.size();
  std::size_t i = 0;

  // Copies sql[i, end) unchanged and moves i there.
  auto copy_to = [&](std::size_t end) {
    out.sql.append(sql.substr(i, end - i));
    i = end;
  };

  while (i < n) {
    const char c = sql[i];
    if ((c == 'q' || c == 'Q') && i + 2 < n && sql[i + 1] == '\'' && (i == 0 || !IsNameChar(sql[i - 1]))) {
      // q'<delimiter>text<closing delimiter>'
      const char close = QuoteClose(sql[i + 2]);
      std::size_t j = i + 3;
      while (j < n && !(sql[j] == close && j + 1 < n && sql[j + 1] == '\'')) ++j;
      copy_to(j < n ? j + 2 : n);
    } else if (c == '\'' || c == '"') {
      std::size_t j = i + 1;
      while (j < n) {
        if (sql[j] == c) {
          if (j + 1 < n && sql[j + 1] == c) {
            j += 2;  // doubled quote inside
            continue;
          }
          ++j;
          break;
        }
        ++j;
      }
      copy_to(j > n ? n : j);
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      const std::size_t eol = sql.find('\n', i);
      copy_to(eol == std::string_view::npos ? n : eol);
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const std::size_t end = sql.find("*/", i + 2);
      copy_to(end == std::string_view::npos ? n : end + 2);
    } else if (c == ':' && i + 1 < n && IsNameStart(sql[i + 1])) {
      std::size_t j = i + 1;
      while (j < n && IsNameChar(sql[j])) ++j;
      out.names.emplace_back(sql.substr(i + 1, j - i - 1));
      out.sql.push_back('?');
      i = j;
    } else {
      out.sql.push_back(c);
      ++i;
    }
  }
  return out;
}

}  // namespace quirada
