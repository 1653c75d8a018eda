// The connection to the ERP's Firebird database and its transactions.
//
// FbConnection attaches, over the Firebird client, to an existing database as its parameter lines
// (Params, see fb_params.h) describe, with the ISO-8859-1 connection character set. It never
// creates a database. Failures are Exceptions (DatabaseError for the client's own failures, with
// the client's formatted message, e.g. "Your user name and password are not defined. Ask your
// database administrator to set up a Firebird login.").
//  - Connecting a connected connection and disconnecting an unconnected one do nothing.
//  - Disconnecting closes the open queries, commits every transaction still open and detaches; an
//    attachment that was already lost is let go without complaint.
//  - With AutoReconnect (the default), an operation of a query that finds the attachment broken
//    (network failure, attachment shut down by the server or an administrator) attaches again,
//    once, with the parameters of the last Connect, and repeats the operation; a second failure
//    leaves the operation. Queries that had rows open when the attachment broke lose them.
//
// FbTransaction: a transaction of one connection, read-only or read-write, both READ COMMITTED
// (record version), so that long reads never hold back the database's garbage collection. A
// transaction starts by itself when a statement needs it and ends by itself, committing, when the
// last statement using it is done; StartTransaction keeps it open until Commit or Rollback.
//
// Queries and transactions must be destroyed before their connection. Not thread-safe: one thread
// uses a connection and everything on it.
#pragma once

#include <firebird/Interface.h>

#include <functional>
#include <string>
#include <vector>

#include "dispatch/fb_api.h"
#include "dispatch/fb_params.h"

namespace quirada {

class FbQuery;
class FbTransaction;

class FbConnection {
 public:
  FbConnection();
  ~FbConnection();  // disconnects; failures are not reported
  FbConnection(const FbConnection&) = delete;
  FbConnection& operator=(const FbConnection&) = delete;

  // "Name=Value" lines read at every Connect.
  std::vector<std::string> Params;
  // Nobody is ever asked for credentials on this host; the set-up code clears the flag before
  // every connection, and it has no other effect.
  bool LoginPrompt = true;
  bool AutoReconnect = true;

  bool Connected() const { return attachment_ != nullptr; }
  void SetConnected(bool value);
  void Connect();
  void Disconnect();

  // For transactions and queries of this connection.
  Firebird::IAttachment* attachment();  // throws when not connected
  int sql_dialect() const { return settings_.sql_dialect; }
  // Runs `operation`; when it fails because the attachment is broken and AutoReconnect is on,
  // attaches again and runs it once more.
  void RunReconnecting(const std::function<void()>& operation);

 private:
  friend class FbTransaction;
  friend class FbQuery;
  void Add(FbTransaction* t) { transactions_.push_back(t); }
  void Add(FbQuery* q) { queries_.push_back(q); }
  void Remove(FbTransaction* t);
  void Remove(FbQuery* q);

  void Attach(const FbAttachSettings& settings);
  // Forgets every handle of the current attachment without talking to the server.
  void Abandon();

  FbPtr<Firebird::IProvider> provider_;
  FbPtr<Firebird::IAttachment> attachment_;
  FbAttachSettings settings_;
  std::vector<FbTransaction*> transactions_;
  std::vector<FbQuery*> queries_;
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
  bool Active() const { return handle_ != nullptr; }
  Firebird::ITransaction* handle() const { return handle_.get(); }

  // Explicit use: the transaction stays open until Commit or Rollback (or disconnection, which
  // commits it).
  void StartTransaction();
  void Commit();
  void Rollback();

  // For statements: BeginUse starts the transaction when it is not active; EndUse ends one use,
  // and when no use is left (and it was not started explicitly) ends the transaction, committing,
  // or rolling back when the statement failed. A lost attachment is not reported by EndUse.
  Firebird::ITransaction* BeginUse();
  void EndUse(bool success);
  // EndUse that never throws, for failure paths.
  void EndUseQuietly(bool success) noexcept;

 private:
  friend class FbConnection;
  void Start();
  void Finish(bool commit);
  void Abandon();  // the attachment is gone

  FbConnection& connection_;
  FbTransactionMode mode_;
  FbPtr<Firebird::ITransaction> handle_;
  int uses_ = 0;
  bool explicit_ = false;
};

}  // namespace quirada
