#include "firebird/fb_query.h"

#include <ibase.h>

#include <algorithm>

#include "base/errors.h"
#include "base/text.h"
#include "firebird/fb_statement.h"

namespace quirada {

using Firebird::IStatement;

FbQuery::FbQuery(FbConnection& connection, FbTransaction& transaction, std::string sql)
    : connection_(connection), transaction_(transaction), sql_(std::move(sql)) {
  ParseParams();
  connection_.Add(this);
}

void FbQuery::SetSQL(std::string sql) {
  if (sql == sql_) return;
  Close();
  DropStatement();
  sql_ = std::move(sql);
  ParseParams();
}

void FbQuery::ParseParams() {
  positional_ = RewriteNamedParams(sql_);
  param_keys_.clear();
  param_names_.clear();
  param_values_.clear();
  param_of_position_.clear();
  for (const std::string& name : positional_.names) {
    const std::string key = UpperAscii(name);
    auto it = std::find(param_keys_.begin(), param_keys_.end(), key);
    if (it == param_keys_.end()) {
      param_keys_.push_back(key);
      param_names_.push_back(name);
      param_values_.emplace_back();
      it = param_keys_.end() - 1;
    }
    param_of_position_.push_back(static_cast<std::size_t>(it - param_keys_.begin()));
  }
}

FbQuery::~FbQuery() {
  try {
    Close();
  } catch (...) {
  }
  DropStatement();
  connection_.Remove(this);
}

std::vector<std::string> FbQuery::ParamNames() const { return param_names_; }

void FbQuery::SetUpdateTarget(std::string table, std::vector<std::string> key_fields,
                              FbTransaction& update_transaction) {
  update_table_ = std::move(table);
  key_fields_ = std::move(key_fields);
  update_transaction_ = &update_transaction;
}

void FbQuery::BindParam(std::string_view name, FbValue value) {
  const auto it = std::find(param_keys_.begin(), param_keys_.end(), UpperAscii(name));
  if (it == param_keys_.end()) throw Exception("Parâmetro '" + std::string(name) + "' não encontrado");
  param_values_[static_cast<std::size_t>(it - param_keys_.begin())] = std::move(value);
}

void FbQuery::SetParamString(std::string_view name, std::string_view value) {
  BindParam(name, FbValue::Text(std::string(value)));
}
void FbQuery::SetParamInteger(std::string_view name, long long value) { BindParam(name, FbValue::Integer(value)); }
void FbQuery::SetParamDateTime(std::string_view name, TDateTime value) { BindParam(name, FbValue::DateTime(value)); }
void FbQuery::SetParamNull(std::string_view name) { BindParam(name, FbValue::Null()); }

std::vector<const FbValue*> FbQuery::PositionalValues() const {
  std::vector<const FbValue*> values;
  for (std::size_t index : param_of_position_) {
    if (!param_values_[index]) throw Exception("O parâmetro '" + param_names_[index] + "' não recebeu valor");
    values.push_back(&*param_values_[index]);
  }
  return values;
}

void FbQuery::Prepare(Firebird::ITransaction* transaction) {
  if (statement_) return;
  Firebird::IAttachment* attachment = connection_.attachment();
  FbStatus st;
  statement_.reset(PrepareText(attachment, transaction, positional_.sql, connection_.sql_dialect(),
                               connection_.charset()));
  input_metadata_.reset(statement_->getInputMetadata(&st));
  output_metadata_.reset(statement_->getOutputMetadata(&st));
  if (input_metadata_->getCount(&st) != param_of_position_.size())
    throw Exception("A instrução tem " + std::to_string(input_metadata_->getCount(&st)) +
                    " parâmetros, mas o texto nomeia " + std::to_string(param_of_position_.size()));
  columns_ = DescribeColumns(output_metadata_.get());
  row_buffer_.Resize(output_metadata_->getMessageLength(&st));
}

void FbQuery::Open() {
  if (state_ != State::kInactive) return;
  connection_.RunReconnecting([this] { OpenOnce(); });
}

void FbQuery::OpenOnce() {
  const std::vector<const FbValue*> values = PositionalValues();
  Firebird::ITransaction* transaction = transaction_.BeginUse();
  holds_use_ = true;
  try {
    FbCall([&] {
      Prepare(transaction);
      FbStatus st;
      if (!(statement_->getFlags(&st) & IStatement::FLAG_HAS_CURSOR))
        throw Exception("A instrução não retorna registros; use ExecSQL");
      FbInputMessage input(input_metadata_.get(), values, connection_.attachment(), transaction,
                           connection_.charset());
      if (single_row_lookup_ && ExecuteSingleRow(transaction, input)) return;
      cursor_.reset(statement_->openCursor(&st, transaction, input.metadata(), input.buffer(),
                                           output_metadata_.get(), 0));
    });
    state_ = State::kBrowse;
    rows_lost_ = false;
    has_row_ = false;
    eof_ = false;
    row_.assign(columns_.size(), Cell{});
    if (cursor_) {
      FetchRow();
    } else if (single_row_found_) {
      DecodeRow();
    } else {
      eof_ = true;
    }
  } catch (...) {
    ReleaseCursor();
    DropStatement();  // a failed open can leave the statement unusable
    state_ = State::kInactive;
    eof_ = true;
    row_.clear();
    holds_use_ = false;
    transaction_.EndUseQuietly(false);
    throw;
  }
}

// Executes the look-up as a singleton select, the row arriving with the answer to the execution.
// Returns false when it found more than one row: the caller then opens a cursor over them.
bool FbQuery::ExecuteSingleRow(Firebird::ITransaction* transaction, FbInputMessage& input) {
  try {
    FbStatus st;
    statement_->execute(&st, transaction, input.metadata(), input.buffer(), output_metadata_.get(),
                        row_buffer_.data());
    single_row_found_ = true;
    return true;
  } catch (const Firebird::FbException& e) {
    const ISC_STATUS code = e.getStatus()->getErrors()[1];
    if (code == isc_stream_eof) {  // no row
      single_row_found_ = false;
      return true;
    }
    if (code == isc_sing_select_err) return false;
    throw;
  }
}

void FbQuery::FetchRow() {
  const int rc = FbCall([&] {
    FbStatus st;
    // A single-row look-up has no cursor: its one row was the last.
    return cursor_ ? cursor_->fetchNext(&st, row_buffer_.data()) : Firebird::IStatus::RESULT_NO_DATA;
  });
  if (rc != Firebird::IStatus::RESULT_OK) {
    eof_ = true;  // the last row stays the current one
    return;
  }
  DecodeRow();
}

void FbQuery::DecodeRow() {
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    Cell& cell = row_[i];
    cell.value = DecodeColumn(columns_[i], row_buffer_.data(), &cell.blob_pending, &cell.blob_id);
    cell.blob_read = false;
    cell.blob_bytes.clear();
    cell.raw_text.reset();
    if (TextFormOf(columns_[i].char_set) == FbTextForm::kRaw && !cell.value.IsNull())
      cell.raw_text = ColumnTextBytes(columns_[i], row_buffer_.data());
  }
  has_row_ = true;
  eof_ = false;
}

void FbQuery::Next() {
  if (state_ == State::kInactive) throw Exception("A consulta não está aberta");
  if (state_ != State::kBrowse) throw Exception("Grave (Post) ou cancele a edição antes de mudar de registro");
  if (eof_) return;
  if (rows_lost_)
    throw Exception("A conexão com o banco de dados foi restabelecida e a consulta aberta perdeu seus registros");
  FetchRow();
}

void FbQuery::ReleaseCursor() noexcept {
  if (!cursor_) return;
  try {
    FbStatus st;
    cursor_->close(&st);
    (void)cursor_.release();  // close released it
  } catch (...) {
  }
  cursor_.reset();
}

void FbQuery::DropStatement() noexcept {
  DropPostStatement();
  FreeStatement(statement_);
  input_metadata_.reset();
  output_metadata_.reset();
}

void FbQuery::DropPostStatement() noexcept {
  FreeStatement(post_statement_);
  post_sql_.clear();
}

void FbQuery::Close() {
  if (state_ == State::kInactive) return;
  state_ = State::kInactive;
  pending_.clear();
  eof_ = true;
  has_row_ = false;
  row_.clear();
  ReleaseCursor();
  if (holds_use_) {
    holds_use_ = false;
    transaction_.EndUse(true);
  }
}

void FbQuery::CloseForDisconnect() {
  try {
    Close();
  } catch (...) {
    DropStatement();
    throw;
  }
  DropStatement();
}

void FbQuery::Abandon() {
  cursor_.reset();
  post_statement_.reset();
  post_sql_.clear();
  statement_.reset();
  input_metadata_.reset();
  output_metadata_.reset();
  holds_use_ = false;
  if (state_ != State::kInactive) rows_lost_ = true;
}

void FbQuery::ExecSQL() {
  Close();
  connection_.RunReconnecting([this] { ExecOnce(); });
}

void FbQuery::ExecOnce() {
  const std::vector<const FbValue*> values = PositionalValues();
  Firebird::ITransaction* transaction = transaction_.BeginUse();
  try {
    FbCall([&] {
      Prepare(transaction);
      FbStatus st;
      FbInputMessage input(input_metadata_.get(), values, connection_.attachment(), transaction,
                           connection_.charset());
      if (statement_->getFlags(&st) & IStatement::FLAG_HAS_CURSOR) {
        FbPtr<Firebird::IResultSet> rows(statement_->openCursor(&st, transaction, input.metadata(), input.buffer(),
                                                                output_metadata_.get(), 0));
        rows->close(&st);
        (void)rows.release();
      } else if (output_metadata_->getCount(&st) == 0) {
        statement_->execute(&st, transaction, input.metadata(), input.buffer(), nullptr, nullptr);
      } else {
        FbBuffer out;
        out.Resize(output_metadata_->getMessageLength(&st));
        statement_->execute(&st, transaction, input.metadata(), input.buffer(), output_metadata_.get(), out.data());
      }
      rows_affected_ = 0;
      rows_affected_asked_ = false;
    });
  } catch (...) {
    DropStatement();
    transaction_.EndUseQuietly(false);
    throw;
  }
  transaction_.EndUse(true);
}

unsigned long long FbQuery::RowsAffected() {
  if (!rows_affected_asked_ && statement_) {
    rows_affected_ = FbCall([&] {
      FbStatus st;
      return statement_->getAffectedRecords(&st);
    });
  }
  rows_affected_asked_ = true;
  return rows_affected_;
}

std::vector<std::string> FbQuery::FieldNames() const {
  std::vector<std::string> names;
  for (const auto& c : columns_) names.push_back(c.name);
  return names;
}

std::size_t FbQuery::ColumnIndex(std::string_view name) const {
  if (state_ == State::kInactive) throw Exception("A consulta não está aberta");
  const std::string key = UpperAscii(name);
  for (std::size_t i = 0; i < columns_.size(); ++i)
    if (UpperAscii(columns_[i].name) == key) return i;
  throw Exception("Campo '" + std::string(name) + "' não encontrado");
}

const FbValue& FbQuery::Value(std::string_view name) {
  const std::size_t index = ColumnIndex(name);
  if (state_ == State::kEdit || state_ == State::kInsert) {
    for (const auto& [i, value] : pending_)
      if (i == index) return value;
    if (state_ == State::kInsert) {
      static const FbValue kNull;
      return kNull;
    }
  }
  Cell& cell = row_[index];
  if (cell.blob_pending) {
    if (!cell.blob_read) {
      CheckBlobReadable(name);
      cell.blob_bytes = ReadBlobBytes(connection_.attachment(), transaction_.handle(), cell.blob_id);
    }
    const FbTextForm form = TextFormOf(columns_[index].char_set);
    // The stored bytes of a column without character set stay for FieldAsText.
    if (form == FbTextForm::kRaw) {
      cell.value = TextValue(cell.blob_bytes, false, form);
      cell.blob_pending = false;
      cell.blob_read = true;
      return cell.value;
    }
    cell.value = TextValue(std::move(cell.blob_bytes), false, form);
    cell.blob_pending = false;
    cell.blob_read = false;
    cell.blob_bytes.clear();
  }
  return cell.value;
}

void FbQuery::CheckBlobReadable(std::string_view name) const {
  if (!holds_use_ || !transaction_.handle())
    throw Exception("O conteúdo do campo '" + std::string(name) + "' não pode mais ser lido");
}

FbText FbQuery::FieldAsText(std::string_view name) {
  const std::size_t index = ColumnIndex(name);
  const FbColumn& column = columns_[index];
  const FbTextForm form = TextFormOf(column.char_set);
  const bool editing = state_ == State::kEdit || state_ == State::kInsert;
  Cell& cell = row_[index];
  std::optional<std::string> bytes;
  if (!editing && (cell.blob_pending || cell.blob_read)) {
    // Kept as read; turned into text only if the text is asked for.
    if (!cell.blob_read) {
      CheckBlobReadable(name);
      cell.blob_bytes = ReadBlobBytes(connection_.attachment(), transaction_.handle(), cell.blob_id);
      cell.blob_read = true;
    }
    bytes = cell.blob_bytes;
  } else if (!editing && form == FbTextForm::kRaw && cell.raw_text) {
    bytes = *cell.raw_text;
  }
  if (!bytes) return FbText{Value(name).AsString(), false, {}};
  if (form == FbTextForm::kRaw)
    return FbText{std::move(*bytes), true,
                  FbCharacterSet{column.char_set, column.char_set == kFbCsOctets ? "OCTETS" : "NONE", 1}};
  return FbText{TextToUtf8(std::move(*bytes), form), false, {}};
}

bool FbQuery::FieldIsNull(std::string_view name) { return Value(name).IsNull(); }
std::string FbQuery::FieldAsString(std::string_view name) { return Value(name).AsString(); }
long long FbQuery::FieldAsInteger(std::string_view name) { return Value(name).AsInteger(std::string(name)); }
TDateTime FbQuery::FieldAsDateTime(std::string_view name) { return Value(name).AsDateTime(std::string(name)); }

}  // namespace quirada
