// A query of an FbConnection: SQL text with named parameters (":NAME"), opened in one transaction
// and read one row at a time, optionally updatable through a second transaction.
//
// - Parameters are bound by name (without regard to case) and keep their value until bound again;
//   every occurrence of a name carries the same value. Opening with an unbound parameter fails.
// - Open positions on the first row; Eof is true when there is no current row. Rows are fetched
//   one at a time: only the current row is held, and a BLOB column is read only when asked for.
// - Columns are read by name (their alias, without regard to case). Reading when there is no row
//   at all gives NULL, so text reads as "" and numbers and dates as 0.
// - Text follows the rules of fb_message.h (the connection's character set on the wire, trailing
//   blanks of CHAR dropped, empty and NULL the same, values cut to the length of their parameter
//   or column).
// - With an update target (a table and its key columns), Edit or Append, the SetField calls and
//   Post write the fields that were set, in the order they were set, as an UPDATE of the current
//   row (found by the key values it was read with) or an INSERT, in the update transaction; the
//   write is committed at once. An UPDATE that finds no row fails. After Post the current row
//   shows the posted values.
// - Opening, executing and posting attach again, once, when they find the connection broken (see
//   fb_connection.h); a query whose rows were lost that way fails on Next.
#pragma once

#include <firebird/Interface.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "firebird/fb_api.h"
#include "firebird/fb_connection.h"
#include "firebird/fb_message.h"
#include "firebird/fb_value.h"
#include "firebird/sql_params.h"
#include "base/datetime.h"

namespace quirada {

class FbQuery : private FbConnectionUser {
 public:
  enum class State { kInactive, kBrowse, kEdit, kInsert };

  FbQuery(FbConnection& connection, FbTransaction& transaction, std::string sql);
  ~FbQuery();
  FbQuery(const FbQuery&) = delete;
  FbQuery& operator=(const FbQuery&) = delete;

  const std::string& SQL() const { return sql_; }
  // Gives the query another text: it is closed, its statement dropped and its parameters unbound.
  // Nothing when the text is the same.
  void SetSQL(std::string sql);
  // The distinct parameter names, in order of first appearance.
  std::vector<std::string> ParamNames() const;

  // Makes the query updatable: Post writes to `table`, finding the row by `key_fields`.
  void SetUpdateTarget(std::string table, std::vector<std::string> key_fields, FbTransaction& update_transaction);
  // Marks the query as a look-up that finds at most one row (by key): Open receives that row with
  // the execution itself, one round trip to the server instead of two. Should it find more rows
  // after all, Open reads them one at a time as for any other query.
  void SetSingleRowLookup(bool value) { single_row_lookup_ = value; }

  void SetParamString(std::string_view name, std::string_view value);
  void SetParamInteger(std::string_view name, long long value);
  void SetParamDateTime(std::string_view name, TDateTime value);
  void SetParamNull(std::string_view name);

  void Open();
  void Close();
  bool Active() const { return state_ != State::kInactive; }
  State state() const { return state_; }
  bool Eof() const { return eof_; }
  void Next();
  // Runs a statement that returns no rows (or ignores them); committed at once unless its
  // transaction was started explicitly.
  void ExecSQL();
  // The rows the last ExecSQL changed, asked of the server when first wanted (one round trip that
  // a caller who does not care never pays); 0 when the statement is gone since (a disconnect).
  unsigned long long RowsAffected();

  std::vector<std::string> FieldNames() const;
  bool FieldIsNull(std::string_view name);
  std::string FieldAsString(std::string_view name);
  // The column's text without loss: UTF-8 for a column with a character set (its character set
  // not Known(): the server describes it as UTF-8), the stored bytes (raw, with NONE or OCTETS) for
  // one without; a BLOB is read straight into it. "" for NULL.
  FbText FieldAsText(std::string_view name);
  long long FieldAsInteger(std::string_view name);
  TDateTime FieldAsDateTime(std::string_view name);

  void Edit();
  void Append();
  void SetFieldString(std::string_view name, std::string_view value);
  void SetFieldInteger(std::string_view name, long long value);
  void SetFieldDateTime(std::string_view name, TDateTime value);
  void SetFieldNull(std::string_view name);
  void Post();
  void Cancel();

 private:
  friend class FbConnection;
  struct Cell {
    FbValue value;
    bool blob_pending = false;  // a BLOB not yet turned into `value`
    ISC_QUAD blob_id{};
    bool blob_read = false;  // its bytes are in blob_bytes (FieldAsText read them)
    std::string blob_bytes;
    std::optional<std::string> raw_text;  // a text column without character set: its stored bytes
  };

  void CloseForDisconnect() override;
  void Abandon() override;

  void BindParam(std::string_view name, FbValue value);
  void ParseParams();  // the parameter names of sql_
  void OpenOnce();
  bool ExecuteSingleRow(Firebird::ITransaction* transaction, FbInputMessage& input);
  void ExecOnce();
  void PostOnce();
  void Prepare(Firebird::ITransaction* transaction);
  std::vector<const FbValue*> PositionalValues() const;
  void FetchRow();
  void DecodeRow();  // the row in row_buffer_ becomes the current one
  void ReleaseCursor() noexcept;
  void DropStatement() noexcept;
  void DropPostStatement() noexcept;
  std::size_t ColumnIndex(std::string_view name) const;
  const FbValue& Value(std::string_view name);
  void CheckBlobReadable(std::string_view name) const;
  void SetField(std::string_view name, FbValue value);

  FbConnection& connection_;
  FbTransaction& transaction_;
  std::string sql_;
  PositionalSql positional_;

  // Parameters: distinct names (upper case) and their values; the name index of every "?".
  std::vector<std::string> param_keys_;
  std::vector<std::string> param_names_;
  std::vector<std::optional<FbValue>> param_values_;
  std::vector<std::size_t> param_of_position_;

  // Prepared statement and open cursor, on the current attachment.
  FbPtr<Firebird::IStatement> statement_;
  FbPtr<Firebird::IMessageMetadata> input_metadata_;
  FbPtr<Firebird::IMessageMetadata> output_metadata_;
  FbPtr<Firebird::IResultSet> cursor_;
  std::vector<FbColumn> columns_;
  FbBuffer row_buffer_;
  bool holds_use_ = false;
  bool rows_lost_ = false;
  bool has_row_ = false;  // a row was read (or posted) since Open
  bool single_row_lookup_ = false;
  bool single_row_found_ = false;  // the last single-row execution found its row

  State state_ = State::kInactive;
  bool eof_ = true;
  std::vector<Cell> row_;  // the current row; NULLs when there is none
  unsigned long long rows_affected_ = 0;
  bool rows_affected_asked_ = true;  // false after ExecSQL, until RowsAffected asks the server

  // Updating.
  std::string update_table_;
  std::vector<std::string> key_fields_;
  FbTransaction* update_transaction_ = nullptr;
  std::vector<std::pair<std::size_t, FbValue>> pending_;  // fields set since Edit/Append, in order
  std::vector<FbValue> original_keys_;
  // The prepared INSERT or UPDATE of the last Post, and its text.
  std::string post_sql_;
  FbPtr<Firebird::IStatement> post_statement_;
};

}  // namespace quirada
