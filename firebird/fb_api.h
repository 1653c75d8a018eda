// Small helpers over the Firebird client's OO API, shared by the connection, its transactions and
// its queries.
//
// - Every interface pointer lives in an FbPtr (released on every path; after a call that releases
//   the interface itself on success, such as commit, detach, close or free, the holder lets go).
// - Every client call takes an FbStatus; a failing call throws Firebird::FbException, which
//   ToDatabaseError turns into a DatabaseError whose message is the client's own formatted text.
// - DatabaseError tells whether the failure means the attachment is gone (network failures, the
//   server or an administrator shutting the attachment), which is what automatic reconnection
//   looks at.
// - Date and time values travel between TDateTime and Firebird's DATE, TIME and TIMESTAMP through
//   the client's own encoders.
#pragma once

#include <firebird/Interface.h>

#include <memory>
#include <string>

#include "base/datetime.h"
#include "base/errors.h"

namespace quirada {

// What kind of failure a DatabaseError is, as far as the program acts on it.
struct DatabaseFailureKind {
  bool connection_lost = false;
  // A primary or unique key already holds the values written.
  bool key_violation = false;
  // A text could not be put into the connection's character set.
  bool transliteration_failed = false;
  // The server refused the user name and password.
  bool login_refused = false;
  // Another transaction holds the record or table (a wait that timed out, a no-wait conflict, a
  // deadlock, an update conflict).
  bool lock_conflict = false;
  // The operation was cancelled (FbConnection::CancelOperation).
  bool cancelled = false;
  // The user (with the role it took) lacks a grant the statement needs.
  bool no_permission = false;
};

// A failure reported by the Firebird client or server.
class DatabaseError : public Exception {
 public:
  DatabaseError(const std::string& message, DatabaseFailureKind kind)
      : Exception(message), kind_(kind) {}
  bool connection_lost() const { return kind_.connection_lost; }
  bool key_violation() const { return kind_.key_violation; }
  bool transliteration_failed() const { return kind_.transliteration_failed; }
  bool login_refused() const { return kind_.login_refused; }
  bool lock_conflict() const { return kind_.lock_conflict; }
  bool cancelled() const { return kind_.cancelled; }
  bool no_permission() const { return kind_.no_permission; }
  DatabaseFailureKind kind() const { return kind_; }

 private:
  DatabaseFailureKind kind_;
};

// The client library's master interface, from the library the platform provides (fb_client_posix.cpp
// links libfbclient). Raises Exception when the client library cannot be had.
Firebird::IMaster* FbMaster();
Firebird::IUtil* FbUtil();

struct FbReleaser {
  void operator()(Firebird::IReferenceCounted* p) const { p->release(); }
};
struct FbDisposer {
  void operator()(Firebird::IDisposable* p) const { p->dispose(); }
};

template <typename T>
using FbPtr = std::unique_ptr<T, FbReleaser>;
template <typename T>
using FbOwned = std::unique_ptr<T, FbDisposer>;

// A status for one or more client calls; throws Firebird::FbException on failure. Calls take it
// as `&status`, the way the client's own interfaces are written to be called.
class FbStatus {
 public:
  FbStatus() : status_(FbMaster()->getStatus()), wrapper_(status_.get()) {}
  Firebird::ThrowStatusWrapper* operator&() { return &wrapper_; }

 private:
  FbOwned<Firebird::IStatus> status_;
  Firebird::ThrowStatusWrapper wrapper_;
};

// The client's formatted text of a status (its lines joined by "\n-").
std::string FormatStatus(Firebird::IStatus* status);
bool IsConnectionLost(Firebird::IStatus* status);
DatabaseFailureKind FailureKindOf(Firebird::IStatus* status);
DatabaseError ToDatabaseError(const Firebird::FbException& e);

// Runs `f`, turning a client failure into DatabaseError.
template <typename F>
auto FbCall(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const Firebird::FbException& e) {
    throw ToDatabaseError(e);
  }
}

ISC_DATE ToIscDate(TDateTime value);
ISC_TIME ToIscTime(TDateTime value);
ISC_TIMESTAMP ToIscTimestamp(TDateTime value);
TDateTime FromIscDate(ISC_DATE date);
TDateTime FromIscTime(ISC_TIME time);
TDateTime FromIscTimestamp(const ISC_TIMESTAMP& ts);

}  // namespace quirada
