// The update path of FbQuery: editing or appending the current row and posting it through the
// update transaction as one UPDATE or INSERT.
#include <string>
#include <vector>

#include "base/errors.h"
#include "firebird/fb_query.h"
#include "firebird/fb_statement.h"

namespace quirada {

void FbQuery::Edit() {
  if (state_ == State::kEdit || state_ == State::kInsert) return;
  if (state_ == State::kInactive) throw Exception("A consulta não está aberta");
  if (!update_transaction_) throw Exception("A consulta não é atualizável");
  if (!has_row_) {
    Append();  // nothing to edit: a new row, as the data-access layer does
    return;
  }
  original_keys_.clear();
  for (const std::string& key : key_fields_) {
    const std::string upper = UpperAscii(key);
    std::size_t found = columns_.size();
    for (std::size_t i = 0; i < columns_.size() && found == columns_.size(); ++i)
      if (UpperAscii(columns_[i].field) == upper || UpperAscii(columns_[i].name) == upper) found = i;
    if (found == columns_.size()) throw Exception("O campo chave '" + key + "' não está na consulta");
    original_keys_.push_back(Value(columns_[found].name));
  }
  pending_.clear();
  state_ = State::kEdit;
}

void FbQuery::Append() {
  if (state_ == State::kEdit || state_ == State::kInsert) return;
  if (state_ == State::kInactive) throw Exception("A consulta não está aberta");
  if (!update_transaction_) throw Exception("A consulta não é atualizável");
  pending_.clear();
  state_ = State::kInsert;
}

void FbQuery::SetField(std::string_view name, FbValue value) {
  if (state_ != State::kEdit && state_ != State::kInsert)
    throw Exception("A consulta não está em edição: chame Edit ou Append antes de alterar o campo '" +
                    std::string(name) + "'");
  const std::size_t index = ColumnIndex(name);
  for (auto& [i, v] : pending_) {
    if (i == index) {
      v = std::move(value);
      return;
    }
  }
  pending_.emplace_back(index, std::move(value));
}

void FbQuery::SetFieldString(std::string_view name, std::string_view value) {
  SetField(name, FbValue::Text(std::string(value)));
}
void FbQuery::SetFieldInteger(std::string_view name, long long value) { SetField(name, FbValue::Integer(value)); }
void FbQuery::SetFieldDateTime(std::string_view name, TDateTime value) { SetField(name, FbValue::DateTime(value)); }
void FbQuery::SetFieldNull(std::string_view name) { SetField(name, FbValue::Null()); }

void FbQuery::Cancel() {
  if (state_ != State::kEdit && state_ != State::kInsert) return;
  pending_.clear();
  state_ = State::kBrowse;
}

void FbQuery::Post() {
  if (state_ != State::kEdit && state_ != State::kInsert) return;
  if (!pending_.empty()) connection_.RunReconnecting([this] { PostOnce(); });
  // The current row now shows what was written.
  if (state_ == State::kInsert) row_.assign(columns_.size(), Cell{});
  for (auto& [i, value] : pending_) {
    row_[i].value = std::move(value);
    row_[i].blob_pending = false;
    row_[i].blob_read = false;
    row_[i].raw_text.reset();
  }
  pending_.clear();
  has_row_ = true;
  state_ = State::kBrowse;
}

void FbQuery::PostOnce() {
  auto column_name = [&](std::size_t i) {
    return SqlIdentifier(columns_[i].field.empty() ? columns_[i].name : columns_[i].field);
  };
  std::string sql;
  std::vector<const FbValue*> values;
  const bool insert = state_ == State::kInsert;
  if (insert) {
    std::string names, markers;
    for (const auto& [i, value] : pending_) {
      names += (names.empty() ? "" : ", ") + column_name(i);
      markers += markers.empty() ? "?" : ", ?";
      values.push_back(&value);
    }
    sql = "INSERT INTO " + SqlIdentifier(update_table_) + " (" + names + ") VALUES (" + markers + ")";
  } else {
    std::string sets, where;
    for (const auto& [i, value] : pending_) {
      sets += (sets.empty() ? "" : ", ") + column_name(i) + " = ?";
      values.push_back(&value);
    }
    for (std::size_t k = 0; k < key_fields_.size(); ++k) {
      where += where.empty() ? "" : " AND ";
      if (original_keys_[k].IsNull()) {
        where += SqlIdentifier(key_fields_[k]) + " IS NULL";
      } else {
        where += SqlIdentifier(key_fields_[k]) + " = ?";
        values.push_back(&original_keys_[k]);
      }
    }
    sql = "UPDATE " + SqlIdentifier(update_table_) + " SET " + sets + (where.empty() ? "" : " WHERE " + where);
  }

  FbTransaction& writer = *update_transaction_;
  Firebird::ITransaction* transaction = writer.BeginUse();
  try {
    unsigned long long affected = 0;
    FbCall([&] {
      Firebird::IAttachment* attachment = connection_.attachment();
      FbStatus st;
      // The same write (same columns, same keys) is prepared once and executed again.
      if (!post_statement_ || post_sql_ != sql) {
        DropPostStatement();
        post_statement_.reset(PrepareText(attachment, transaction, sql, connection_.sql_dialect(),
                                                connection_.charset()));
        post_sql_ = sql;
      }
      FbPtr<Firebird::IMessageMetadata> described(post_statement_->getInputMetadata(&st));
      FbInputMessage input(described.get(), values, attachment, transaction, connection_.charset());
      post_statement_->execute(&st, transaction, input.metadata(), input.buffer(), nullptr, nullptr);
      // An INSERT that did not fail wrote its row; only an UPDATE has to be counted.
      if (!insert) affected = post_statement_->getAffectedRecords(&st);
    });
    if (!insert && affected != 1)
      throw Exception("A atualização de " + update_table_ + " afetou " + std::to_string(affected) +
                      " registros em vez de 1");
  } catch (...) {
    DropPostStatement();  // a failed write can leave the statement unusable
    writer.EndUseQuietly(false);
    throw;
  }
  writer.EndUse(true);
}

}  // namespace quirada
