// SQL text and prepared statements, for the query's read and update paths.
#pragma once

#include <string>
#include <string_view>

#include "firebird/fb_api.h"
#include "firebird/fb_params.h"

namespace quirada {

// `s` with the ASCII letters in upper case.
std::string UpperAscii(std::string_view s);

// An identifier as SQL text: plain upper-case names as they are, anything else quoted.
std::string SqlIdentifier(const std::string& name);

// Prepares `sql` (UTF-8, sent in the connection's character set `charset`) with its metadata.
// Raises Firebird::FbException.
Firebird::IStatement* PrepareText(Firebird::IAttachment* attachment,
                                  Firebird::ITransaction* transaction, const std::string& sql,
                                  int dialect, FbCharset charset);

// Frees a prepared statement on the server; a failure (the attachment is gone) only lets it go.
void FreeStatement(FbPtr<Firebird::IStatement>& statement) noexcept;

}  // namespace quirada
