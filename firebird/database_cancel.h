// A stop request obeyed inside a database call: CancelamentoNaParada watches, from a thread of its
// own, for the stop request the cycle was given and, once one has come, asks the server to cancel
// the call in progress on the connection (FbConnection::CancelOperation: the call fails with a
// DatabaseError that is cancelled()), again every 200 ms, so that a call started after the first
// cancel is ended too. A server that does not answer (frozen, or its network gone) cannot cancel
// anything: kPrazoCancelamento after the stop request the watcher cuts the attachment on the
// client's side, which ends any call at once (the server rolls back what was not committed). It
// looks every 50 ms until then. It lives for the cycle's body; the tail, which closes and
// disconnects, is never cancelled.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "firebird/fb_connection.h"

namespace quirada {

// How long the server is given to cancel a call before the attachment is cut.
inline constexpr std::chrono::milliseconds kPrazoCancelamento{1500};

class CancelamentoNaParada {
 public:
  // Nothing is watched when `parada` is empty.
  CancelamentoNaParada(FbConnection& conexao, std::function<bool()> parada);
  ~CancelamentoNaParada();  // stops watching and waits for the watcher
  CancelamentoNaParada(const CancelamentoNaParada&) = delete;
  CancelamentoNaParada& operator=(const CancelamentoNaParada&) = delete;

 private:
  void Vigiar();

  FbConnection& conexao_;
  std::function<bool()> parada_;
  std::mutex mutex_;
  std::condition_variable acordar_;
  bool fim_ = false;
  std::thread vigia_;
};

}  // namespace quirada
