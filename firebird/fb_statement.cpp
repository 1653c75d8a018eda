#include "firebird/fb_statement.h"

#include <algorithm>

#include "base/text.h"

namespace quirada {

std::string UpperAscii(std::string_view s) {
  std::string u(s);
  std::transform(u.begin(), u.end(), u.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
  return u;
}

std::string SqlIdentifier(const std::string& name) {
  bool plain = !name.empty() && name[0] >= 'A' && name[0] <= 'Z';
  for (char c : name)
    plain = plain && ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$');
  if (plain) return name;
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

Firebird::IStatement* PrepareText(Firebird::IAttachment* attachment,
                                  Firebird::ITransaction* transaction, const std::string& sql,
                                  int dialect, FbCharset charset) {
  FbStatus st;
  const std::string text = charset == FbCharset::kLatin1 ? Utf8ToLatin1(sql) : sql;
  return attachment->prepare(&st, transaction, static_cast<unsigned>(text.size()), text.data(),
                             static_cast<unsigned>(dialect),
                             Firebird::IStatement::PREPARE_PREFETCH_METADATA);
}

void FreeStatement(FbPtr<Firebird::IStatement>& statement) noexcept {
  if (statement) {
    try {
      FbStatus st;
      statement->free(&st);
      (void)statement.release();  // free released it
    } catch (...) {
    }
  }
  statement.reset();
}

}  // namespace quirada
