#include "firebird/fb_connection.h"

#include <ibase.h>

#include <algorithm>
#include <exception>
#include <string>


namespace quirada {

using Firebird::IXpbBuilder;

FbConnection::FbConnection() = default;

FbConnection::~FbConnection() {
  try {
    Disconnect();
  } catch (...) {
    Abandon();
  }
}

void FbConnection::SetConnected(bool value) {
  if (value)
    Connect();
  else
    Disconnect();
}

void FbConnection::Connect() {
  if (Connected()) return;
  FbAttachSettings settings = ParseConnectionParams(Params);
  cut_ = false;
  Attach(settings);
  settings_ = std::move(settings);
}

void FbConnection::Attach(const FbAttachSettings& settings) {
  const auto start = std::chrono::steady_clock::now();
  try {
    AttachOnce(settings);
  } catch (const DatabaseError& e) {
    // The client's own words for a server that never answered ("connection rejected by remote
    // interface") would send the operator looking for a refusal.
    if (std::chrono::steady_clock::now() - start < kConnectTimeout - std::chrono::seconds(1)) throw;
    throw DatabaseError("O servidor não respondeu em " + std::to_string(kConnectTimeout.count()) +
                            " segundos (" + e.what() + ")",
                        e.kind());
  }
  ReadDatabaseInfo();
}

void FbConnection::AttachOnce(const FbAttachSettings& settings) {
  FbCall([&] {
    FbStatus st;
    if (!provider_) provider_.reset(FbMaster()->getDispatcher());
    FbOwned<IXpbBuilder> dpb(FbUtil()->getXpbBuilder(&st, IXpbBuilder::DPB, nullptr, 0));
    // The connection string, user name and password are the program's UTF-8 text, and say so:
    // without this item the client would convert them from the process's locale as it sends
    // them. The server maps the UTF-8 path to its own file names.
    dpb->insertTag(&st, isc_dpb_utf8_filename);
    dpb->insertString(&st, isc_dpb_user_name, settings.user_name.c_str());
    dpb->insertString(&st, isc_dpb_password, settings.password.c_str());
    dpb->insertString(&st, isc_dpb_lc_ctype, settings.character_set.c_str());
    dpb->insertInt(&st, isc_dpb_sql_dialect, settings.sql_dialect);
    if (!settings.role.empty()) dpb->insertString(&st, isc_dpb_sql_role_name, settings.role.c_str());
    dpb->insertInt(&st, isc_dpb_connect_timeout, static_cast<int>(kConnectTimeout.count()));
    Firebird::IAttachment* attached = provider_->attachDatabase(
        &st, settings.connection_string.c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st));
    const std::lock_guard<std::mutex> lock(attachment_mutex_);
    attachment_.reset(attached);
  });
}

namespace {

// An integer of the client's information buffers: `length` bytes, least significant first.
int LittleEndian(const unsigned char* p, int length) {
  unsigned value = 0;
  for (int i = length - 1; i >= 0; --i) value = (value << 8) | p[i];
  return static_cast<int>(value);
}

}  // namespace

void FbConnection::ReadDatabaseInfo() {
  const unsigned char items[] = {isc_info_db_sql_dialect, isc_info_db_read_only, isc_info_end};
  unsigned char buffer[64] = {};
  FbCall([&] {
    FbStatus st;
    attachment_->getInfo(&st, sizeof items, items, sizeof buffer, buffer);
  });
  database_dialect_ = 3;
  database_read_only_ = false;
  for (const unsigned char* p = buffer; p + 3 <= buffer + sizeof buffer && *p != isc_info_end;) {
    const unsigned char item = *p;
    const int length = LittleEndian(p + 1, 2);
    if (length > 4 || p + 3 + length > buffer + sizeof buffer) break;
    const int value = LittleEndian(p + 3, length);
    if (item == isc_info_db_sql_dialect) database_dialect_ = value;
    if (item == isc_info_db_read_only) database_read_only_ = value != 0;
    p += 3 + length;
  }
}

void FbConnection::CancelOperation(Cancel how) noexcept {
  const std::lock_guard<std::mutex> lock(attachment_mutex_);
  if (!attachment_) return;
  try {
    if (how == Cancel::kForcibly) cut_ = true;
    FbStatus st;
    attachment_->cancelOperation(&st, how == Cancel::kForcibly ? fb_cancel_abort : fb_cancel_raise);
  } catch (...) {
    // Nothing in progress to cancel, or the attachment is gone: nothing to do either way.
  }
}

void FbConnection::Disconnect() {
  if (!Connected()) return;
  std::exception_ptr failure;
  for (FbConnectionUser* q : std::vector<FbConnectionUser*>(queries_)) {
    try {
      q->CloseForDisconnect();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  for (FbTransaction* t : std::vector<FbTransaction*>(transactions_)) {
    try {
      if (t->Active()) t->Finish(true);
    } catch (const DatabaseError& e) {
      if (!e.connection_lost() && !failure) failure = std::current_exception();
    }
  }
  try {
    FbCall([&] {
      FbStatus st;
      const std::lock_guard<std::mutex> lock(attachment_mutex_);
      attachment_->detach(&st);
      (void)attachment_.release();  // detach released it
    });
  } catch (const DatabaseError& e) {
    if (!e.connection_lost() && !failure) failure = std::current_exception();
  }
  Abandon();
  if (failure) std::rethrow_exception(failure);
}

void FbConnection::Abandon() {
  for (FbConnectionUser* q : queries_) q->Abandon();
  for (FbTransaction* t : transactions_) t->Abandon();
  const std::lock_guard<std::mutex> lock(attachment_mutex_);
  attachment_.reset();
}

Firebird::IAttachment* FbConnection::attachment() {
  if (!attachment_) throw Exception("A conexão com o banco de dados não está aberta");
  return attachment_.get();
}

void FbConnection::RunReconnecting(const std::function<void()>& operation) {
  std::string lost;
  try {
    operation();
    return;
  } catch (const DatabaseError& e) {
    if (!AutoReconnect || !e.connection_lost() || !Connected() || cut_) throw;
    lost = e.what();
  }
  const FbAttachSettings settings = settings_;
  Abandon();
  try {
    Attach(settings);
  } catch (const DatabaseError& e) {
    throw DatabaseError("A conexão com o banco de dados (" + settings.connection_string +
                            ") foi perdida (" + lost + ") e não pôde ser refeita: " + e.what(),
                        e.kind());
  }
  operation();
}

void FbConnection::Remove(FbTransaction* t) {
  transactions_.erase(std::remove(transactions_.begin(), transactions_.end(), t), transactions_.end());
}

void FbConnection::Remove(FbConnectionUser* q) {
  queries_.erase(std::remove(queries_.begin(), queries_.end(), q), queries_.end());
}

FbTransaction::FbTransaction(FbConnection& connection, FbTransactionMode mode)
    : connection_(connection), mode_(mode) {
  connection_.Add(this);
}

FbTransaction::~FbTransaction() {
  if (Active()) {
    try {
      Finish(true);
    } catch (...) {
      Abandon();
    }
  }
  connection_.Remove(this);
}

void FbTransaction::Start(Wait wait) {
  Firebird::IAttachment* attachment = connection_.attachment();
  FbCall([&] {
    FbStatus st;
    FbOwned<IXpbBuilder> tpb(FbUtil()->getXpbBuilder(&st, IXpbBuilder::TPB, nullptr, 0));
    tpb->insertTag(&st, mode_ == FbTransactionMode::kReadOnly ? isc_tpb_read : isc_tpb_write);
    tpb->insertTag(&st, isc_tpb_read_committed);
    tpb->insertTag(&st, isc_tpb_rec_version);
    if (wait == Wait::kNoWait && !reserved_table_.empty()) {
      tpb->insertTag(&st, isc_tpb_nowait);
    } else {
      tpb->insertTag(&st, isc_tpb_wait);
      tpb->insertInt(&st, isc_tpb_lock_timeout, static_cast<int>(kLockTimeout.count()));
    }
    if (!reserved_table_.empty()) {
      tpb->insertString(&st, isc_tpb_lock_write, reserved_table_.c_str());
      tpb->insertTag(&st, isc_tpb_protected);
    }
    handle_.reset(attachment->startTransaction(&st, tpb->getBufferLength(&st), tpb->getBuffer(&st)));
  });
  uses_ = 0;
  explicit_ = false;
}

void FbTransaction::Finish(bool commit) {
  uses_ = 0;
  explicit_ = false;
  try {
    FbCall([&] {
      FbStatus st;
      if (commit)
        handle_->commit(&st);
      else
        handle_->rollback(&st);
      (void)handle_.release();  // commit and rollback release it
    });
  } catch (const DatabaseError&) {
    if (commit) {
      try {
        FbStatus st;
        handle_->rollback(&st);
        (void)handle_.release();
      } catch (const Firebird::FbException&) {
      }
    }
    handle_.reset();
    throw;
  }
}

void FbTransaction::Abandon() {
  handle_.reset();
  uses_ = 0;
  explicit_ = false;
}

void FbTransaction::StartTransaction(Wait wait) {
  if (!handle_) Start(wait);
  explicit_ = true;
}

void FbTransaction::Commit() {
  if (handle_) Finish(true);
}

void FbTransaction::Rollback() {
  if (handle_) Finish(false);
}

void FbTransaction::CommitRetaining() {
  if (!handle_) return;
  FbCall([&] {
    FbStatus st;
    handle_->commitRetaining(&st);
  });
}

Firebird::ITransaction* FbTransaction::BeginUse() {
  if (!handle_) Start();
  ++uses_;
  return handle_.get();
}

void FbTransaction::EndUse(bool success) {
  if (uses_ > 0) --uses_;
  if (uses_ > 0 || explicit_ || !handle_) return;
  try {
    Finish(success);
  } catch (const DatabaseError& e) {
    if (!e.connection_lost()) throw;
  }
}

void FbTransaction::EndUseQuietly(bool success) noexcept {
  try {
    EndUse(success);
  } catch (...) {
  }
}

}  // namespace quirada
