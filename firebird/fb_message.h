// Firebird messages: the rows a statement returns and the parameters it receives, with the text
// rules of the service's database access.
//
// Text rules:
//  - text goes out in the connection's character set (fb_params.h: UTF-8, or ISO-8859-1 with '?'
//    for characters outside it, or the program's bytes as they are) and comes back as UTF-8:
//    from the character set the server describes the column in, or, for a column without one
//    (NONE, OCTETS), from its stored bytes: UTF-8 when they are valid UTF-8 spelling a text of the
//    Windows-1252 repertoire (IsUtf8OfWindows1252Text), else Windows-1252 (FbText gives such bytes
//    as they are);
//  - trailing blanks of fixed-length (CHAR) text are dropped, both when such a column is read and
//    when a value is bound to a fixed-length parameter;
//  - a text longer than its parameter (or the column behind it) is cut to that length, counted in
//    characters, never inside one;
//  - empty text and NULL are the same both ways: an empty text is sent as NULL, and an empty text
//    read (a CHAR of blanks included) reads as NULL.
// Parameters are sent in the program's own types (text, 64-bit integer, timestamp, text BLOB) and
// always as nullable, whatever Firebird describes (it describes `'Y' = ?` as a non-nullable
// CHAR(1)); the server converts them to the types it described.
#pragma once

#include <firebird/Interface.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "firebird/fb_api.h"
#include "firebird/fb_params.h"
#include "firebird/fb_value.h"

namespace quirada {

struct FbColumn {
  std::string name;      // the column's alias, the name it is read by
  std::string field;     // the underlying column, when there is one
  std::string relation;  // its table
  unsigned type = 0;     // SQL_xxx without the nullable bit
  int sub_type = 0;
  unsigned length = 0;
  int scale = 0;
  unsigned char_set = 0;
  unsigned offset = 0;
  unsigned null_offset = 0;
};

std::vector<FbColumn> DescribeColumns(Firebird::IMessageMetadata* metadata);

// How the bytes of a text column reach the program, by the character set the server describes
// the column in.
enum class FbTextForm { kUtf8, kLatin1, kWindows1252, kRaw };
FbTextForm TextFormOf(unsigned char_set);
// `bytes` of that form as the program's UTF-8 text (raw bytes: UTF-8 when they spell a text of
// the Windows-1252 repertoire, else Windows-1252).
std::string TextToUtf8(std::string bytes, FbTextForm form);
// The text bytes of a text column of a fetched row, as the server sent them (a fixed-length
// column without its trailing blanks); nothing for NULL or a column that is not text.
std::optional<std::string> ColumnTextBytes(const FbColumn& column, const unsigned char* row);

// A message buffer laid out by `length` bytes, aligned for every Firebird type.
class FbBuffer {
 public:
  void Resize(unsigned length) { words_.assign((length + 7) / 8, 0); }
  unsigned char* data() { return reinterpret_cast<unsigned char*>(words_.data()); }
  const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(words_.data()); }

 private:
  std::vector<std::uint64_t> words_;
};

// The value of one column of a fetched row. A BLOB column gives NULL or, with *blob set, its id
// in *blob_id, to be read with ReadBlob while the row's transaction is active.
FbValue DecodeColumn(const FbColumn& column, const unsigned char* row, bool* blob, ISC_QUAD* blob_id);

// Text read from the database (bytes of `form`) under the text rules: fixed-length text loses its
// trailing blanks, empty text reads as NULL.
FbValue TextValue(std::string bytes, bool fixed_length, FbTextForm form);
// The BLOB's bytes as the database holds them, without any conversion.
std::string ReadBlobBytes(Firebird::IAttachment* attachment, Firebird::ITransaction* transaction, ISC_QUAD id);

// The input message of a statement: its described parameters with the values bound to them, text
// in the connection's character set `charset`. Text bound to a BLOB parameter is written to a new
// BLOB in `transaction` first.
class FbInputMessage {
 public:
  FbInputMessage(Firebird::IMessageMetadata* described, const std::vector<const FbValue*>& values,
                 Firebird::IAttachment* attachment, Firebird::ITransaction* transaction,
                 FbCharset charset);
  Firebird::IMessageMetadata* metadata() const { return metadata_.get(); }
  unsigned char* buffer() { return buffer_.data(); }

 private:
  FbPtr<Firebird::IMessageMetadata> metadata_;
  FbBuffer buffer_;
};

}  // namespace quirada
