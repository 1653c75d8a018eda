// The ":NAME" parameter rewriter, fed any SQL text.
//
// Promises checked besides surviving any text: the output is the input with exactly one "?" in
// place of each ":NAME" it lists, in order, and nothing else changed; each name is a whole name
// (it starts with a letter or '_', holds only name characters and is not followed by one); and
// the output, rewritten again, is unchanged and lists no name.
#include <string>
#include <string_view>

#include "firebird/sql_params.h"
#include "fuzz/fuzz_support.h"

namespace quirada {
namespace {

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '$'; }

// Walks the input and the output side by side: where they differ, the input must hold ":" and the
// next listed name, and the output "?".
void CheckReplacements(std::string_view in, const PositionalSql& out) {
  size_t i = 0, o = 0, k = 0;
  while (i < in.size() && o < out.sql.size()) {
    if (in[i] == ':' && out.sql[o] == '?') {
      QUIRADA_FUZZ_CHECK(k < out.names.size());
      const std::string& name = out.names[k++];
      QUIRADA_FUZZ_CHECK(!name.empty() && IsNameStart(name.front()));
      for (char c : name) QUIRADA_FUZZ_CHECK(IsNameChar(c));
      QUIRADA_FUZZ_CHECK(in.substr(i + 1, name.size()) == name);
      i += 1 + name.size();
      QUIRADA_FUZZ_CHECK(i == in.size() || !IsNameChar(in[i]));
      ++o;
    } else {
      QUIRADA_FUZZ_CHECK(in[i] == out.sql[o]);
      ++i;
      ++o;
    }
  }
  QUIRADA_FUZZ_CHECK(i == in.size() && o == out.sql.size() && k == out.names.size());
}

}  // namespace
}  // namespace quirada

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quirada;
  const std::string_view sql = fuzz::AsText(data, size);
  const PositionalSql out = RewriteNamedParams(sql);
  CheckReplacements(sql, out);
  const PositionalSql again = RewriteNamedParams(out.sql);
  QUIRADA_FUZZ_CHECK(again.sql == out.sql && again.names.empty());
  return 0;
}
