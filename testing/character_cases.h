// The characters of the field's databases: one table of column character set × stored bytes ×
// XML declaration → the characters the platform must receive, or that the document is not sent and
// where its offending character stands. The end-to-end test of the executable (tests/) and the
// test of the pending walk (dispatch/, run by the Windows build under Wine too) read the same
// table, so both builds are held to the same bytes.
//
// Documents are notes of today, model 65 (or cancellations), whose text is inserted as the bytes
// given through a connection in character set NONE: the server stores them as they are, as the
// characters they are in the column's set.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "testing/erp_database.h"

namespace quirada::testing {

// The XML declaration naming the encoding `label`.
std::string Decl(const std::string& label);

struct StoredDocument {
  long long seq = 0;
  std::string stored;                  // the bytes the database holds (in the column's set)
  std::optional<std::string> content;  // the characters of <x> at the platform; nothing: not sent
  bool same_bytes = false;             // the upload is the stored bytes and CR LF, untouched
  size_t refused_at = 0;               // not sent: the position of the character the log names
  bool cancellation = false;           // a row of XML_CANCELAMENTO, not a note
};

struct CharacterCase {
  const char* what;
  const char* charset;  // the database's default character set
  int dialect = 3;
  std::vector<std::string> setup;  // statements run on the new database before the documents
  std::vector<StoredDocument> documents;
};

const std::vector<CharacterCase>& CharacterCases();

// A new database as `c` describes it, with its settings row and its documents.
void FillCharacterCase(ErpDatabase& db, const CharacterCase& c);

// The label the XML declaration of `bytes` names, "" when none.
std::string DeclaredLabel(const std::string& bytes);
// `bytes` read as XML is read: in the encoding its declaration names (UTF-8 without one), into
// UTF-8, by the system's own converter (iconv; MultiByteToWideChar on Windows). Nothing when they
// are not text of that encoding or the encoding is not known.
std::optional<std::string> AsXmlReadsIt(const std::string& bytes);
// The characters between <x> and </x>.
std::string Content(const std::string& text);
// The piece of the log line that names the position of a document's offending character.
std::string RefusedAtText(size_t position);

}  // namespace quirada::testing
