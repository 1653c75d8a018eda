#include "dispatch/fb_connection.h"

#include <ibase.h>

#include <algorithm>
#include <exception>
#include <string>

#include "dispatch/fb_query.h"

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
  Attach(settings);
  settings_ = std::move(settings);
}

void FbConnection::Attach(const FbAttachSettings& settings) {
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
    attachment_.reset(provider_->attachDatabase(&st, settings.connection_string.c_str(), dpb->getBufferLength(&st),
                                                dpb->getBuffer(&st)));
  });
}

void FbConnection::Disconnect() {
  if (!Connected()) return;
  std::exception_ptr failure;
  for (FbQuery* q : std::vector<FbQuery*>(queries_)) {
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
  for (FbQuery* q : queries_) q->Abandon();
  for (FbTransaction* t : transactions_) t->Abandon();
  attachment_.reset();
}

Firebird::IAttachment* FbConnection::attachment() {
  if (!attachment_) throw Exception("A conexão com o banco de dados não está aberta");
  return attachment_.get();
}

void FbConnection::RunReconnecting(const std::function<void()>& operation) {
  try {
    operation();
    return;
  } catch (const DatabaseError& e) {
    if (!AutoReconnect || !e.connection_lost() || !Connected()) throw;
  }
  const FbAttachSettings settings = settings_;
  Abandon();
  Attach(settings);
  operation();
}

void FbConnection::Remove(FbTransaction* t) {
  transactions_.erase(std::remove(transactions_.begin(), transactions_.end(), t), transactions_.end());
}

void FbConnection::Remove(FbQuery* q) {
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

void FbTransaction::Start() {
  Firebird::IAttachment* attachment = connection_.attachment();
  FbCall([&] {
    FbStatus st;
    FbOwned<IXpbBuilder> tpb(FbUtil()->getXpbBuilder(&st, IXpbBuilder::TPB, nullptr, 0));
    tpb->insertTag(&st, mode_ == FbTransactionMode::kReadOnly ? isc_tpb_read : isc_tpb_write);
    tpb->insertTag(&st, isc_tpb_read_committed);
    tpb->insertTag(&st, isc_tpb_rec_version);
    tpb->insertTag(&st, isc_tpb_wait);
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

void FbTransaction::StartTransaction() {
  if (!handle_) Start();
  explicit_ = true;
}

void FbTransaction::Commit() {
  if (handle_) Finish(true);
}

void FbTransaction::Rollback() {
  if (handle_) Finish(false);
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
