// The connection to the ERP's Firebird database and its transactions.
//
// FbConnection attaches, over the Firebird client, to an existing database as its parameter lines
// (Params, see fb_params.h) describe, in their connection character set. It never creates a
// database. Statements are spoken in the database's own SQL dialect when it is lower than the one
// the parameters ask for (a dialect 1 database of an older ERP), read from the database at attach
// time with whether it is read-only. Failures are Exceptions (DatabaseError for the client's own failures, with
// the client's formatted message, e.g. "Your user name and password are not defined. Ask your
// database administrator to set up a Firebird login.").
//  - Connecting a connected connection and disconnecting an unconnected one do nothing.
//  - Disconnecting closes the open queries, commits every transaction still open and detaches; an
//    attachment that was already lost is let go without complaint.
//  - Attaching waits at most kConnectTimeout for the server; then it fails saying the server did
//    not answer in that time.
//  - With AutoReconnect (the default), an operation of a query that finds the attachment broken
//    (network failure, attachment shut down by the server or an administrator) attaches again,
//    once, with the parameters of the last Connect, and repeats the operation; a second failure
//    leaves the operation, its message saying that the connection was lost and could not be
//    made again. Queries that had rows open when the attachment broke lose them. An attachment
//    cut by CancelOperation(kForcibly) is never attached again.
//
// FbTransaction: a transaction of one connection, read-only or read-write, both READ COMMITTED
// (record version), so that long reads never hold back the database's garbage collection. A
// transaction starts by itself when a statement needs it and ends by itself, committing, when the
// last statement using it is done; StartTransaction keeps it open until Commit or Rollback.
// A transaction waits for another transaction's lock at most kLockTimeout; then the statement
// fails (DatabaseError::lock_conflict). A transaction given a reserved table takes that table for
// protected write when it starts: while another transaction writes to the table or holds it, the
// start waits, at most kLockTimeout (or not at all, when asked so), then fails (lock_conflict);
// while it runs, others may read the table but not write it.
//
// Queries and transactions must be destroyed before their connection. Not thread-safe: one thread
// uses a connection and everything on it, except CancelOperation.
#pragma once

#include <firebird/Interface.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "firebird/fb_api.h"
#include "firebird/fb_params.h"

namespace quirada {

class FbTransaction;

// What a connection reaches in the statements made on it (FbQuery): closing them before it
// detaches, and forgetting their handles when the attachment is gone.
class FbConnectionUser {
 public:
  virtual void CloseForDisconnect() = 0;  // the connection is being closed: close, committing
  virtual void Abandon() = 0;             // the attachment is gone: forget every handle

 protected:
  ~FbConnectionUser() = default;
};

// The longest a statement waits for a record or table another transaction holds.
inline constexpr std::chrono::seconds kLockTimeout{30};
// The longest an attach waits for the server: to connect, and for its answers while it attaches
// (a server that takes the connection and never answers is told in this time).
inline constexpr std::chrono::seconds kConnectTimeout{30};

class FbConnection {
 public:
  FbConnection();
  ~FbConnection();  // disconnects; failures are not reported
  FbConnection(const FbConnection&) = delete;
  FbConnection& operator=(const FbConnection&) = delete;

  // "Name=Value" lines read at every Connect.
  std::vector<std::string> Params;
  bool AutoReconnect = true;

  bool Connected() const { return attachment_ != nullptr; }
  void SetConnected(bool value);
  void Connect();
  void Disconnect();

  // From any thread: the client call in progress on this connection fails at once with a
  // DatabaseError that is cancelled(). Nothing when no call is in progress or it is not connected.
  // kAsking asks the server to end the call, which needs the server's answer; kForcibly closes
  // the client's side of the attachment, which ends a call that waits on a server that no longer
  // answers (the call fails as a lost connection; the server rolls back what was not committed).
  enum class Cancel { kAsking, kForcibly };
  void CancelOperation(Cancel how = Cancel::kAsking) noexcept;

  // What the database said of itself when it was attached.
  int database_dialect() const { return database_dialect_; }
  bool database_read_only() const { return database_read_only_; }
  // The connection string and character set of the last Connect.
  const std::string& connection_string() const { return settings_.connection_string; }
  FbCharset charset() const { return settings_.charset; }

  // For transactions and queries of this connection.
  Firebird::IAttachment* attachment();  // throws when not connected
  // The dialect statements are prepared in.
  int sql_dialect() const { return std::min(settings_.sql_dialect, database_dialect_); }
  // Runs `operation`; when it fails because the attachment is broken and AutoReconnect is on,
  // attaches again and runs it once more.
  void RunReconnecting(const std::function<void()>& operation);

 private:
  friend class FbTransaction;
  friend class FbQuery;
  void Add(FbTransaction* t) { transactions_.push_back(t); }
  void Add(FbConnectionUser* q) { queries_.push_back(q); }
  void Remove(FbTransaction* t);
  void Remove(FbConnectionUser* q);

  void Attach(const FbAttachSettings& settings);
  void AttachOnce(const FbAttachSettings& settings);
  // Forgets every handle of the current attachment without talking to the server.
  void Abandon();
  void ReadDatabaseInfo();

  FbPtr<Firebird::IProvider> provider_;
  // Guards the attachment's pointer against CancelOperation on another thread.
  std::mutex attachment_mutex_;
  FbPtr<Firebird::IAttachment> attachment_;
  FbAttachSettings settings_;
  int database_dialect_ = 3;
  bool database_read_only_ = false;
  // The attachment was cut by CancelOperation(kForcibly): it is not attached again.
  std::atomic<bool> cut_ = false;
  std::vector<FbTransaction*> transactions_;
  std::vector<FbConnectionUser*> queries_;
};

enum class FbTransactionMode { kReadOnly, kReadWrite };

class FbTransaction {
 public:
  FbTransaction(FbConnection& connection, FbTransactionMode mode);
  ~FbTransaction();
  FbTransaction(const FbTransaction&) = delete;
  FbTransaction& operator=(const FbTransaction&) = delete;

  FbConnection& connection() { return connection_; }
  FbTransactionMode mode() const { return mode_; }
  // A read-write transaction that reserves `table` (upper case) for protected write whenever it
  // starts; empty for none.
  void SetReservedTable(std::string table) { reserved_table_ = std::move(table); }
  bool Active() const { return handle_ != nullptr; }
  Firebird::ITransaction* handle() const { return handle_.get(); }

  // Explicit use: the transaction stays open until Commit or Rollback (or disconnection, which
  // commits it). kNoWait: a reserved table held by another transaction fails the start at once.
  enum class Wait { kLockTimeout, kNoWait };
  void StartTransaction(Wait wait = Wait::kLockTimeout);
  void Commit();
  void Rollback();
  // Commits what was done so far and goes on in the same transaction (its reservation kept).
  void CommitRetaining();

  // For statements: BeginUse starts the transaction when it is not active; EndUse ends one use,
  // and when no use is left (and it was not started explicitly) ends the transaction, committing,
  // or rolling back when the statement failed. A lost attachment is not reported by EndUse.
  Firebird::ITransaction* BeginUse();
  void EndUse(bool success);
  // EndUse that never throws, for failure paths.
  void EndUseQuietly(bool success) noexcept;

 private:
  friend class FbConnection;
  void Start(Wait wait = Wait::kLockTimeout);
  void Finish(bool commit);
  void Abandon();  // the attachment is gone

  FbConnection& connection_;
  FbTransactionMode mode_;
  std::string reserved_table_;
  FbPtr<Firebird::ITransaction> handle_;
  int uses_ = 0;
  bool explicit_ = false;
};

}  // namespace quirada
