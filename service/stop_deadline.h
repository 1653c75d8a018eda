// A stop request obeyed within seconds wherever the process is.
//
// A stop request ends a running cycle between documents, cuts a transfer in progress and cancels
// a database call (dispatch_cycle.h). A call nothing can interrupt (an attach to a server that
// takes the connection and never answers, a name lookup that hangs) would still hold the process.
// While a PrazoDeParada lives, a stop request that the work in progress has not obeyed within
// kPrazoDeParada ends the process with exit status 0: the PrazoDeParada's last words are said
// first (e.g. "/ONCE"'s summary line), then the system event log is told, then the service
// manager hears that the service stopped, and the process ends. Nothing that was not accepted is
// recorded: a register row not yet committed is rolled back by the database server when the
// connection goes.
//
// Destroying the PrazoDeParada (the work ended by itself) disarms it.
#pragma once

#include <chrono>
#include <functional>

namespace quirada {

// Three seconds: a cut exchange's tail (a rollback, a disconnect) takes far less, and the service
// manager and the process's end still fit within five seconds of the request.
inline constexpr std::chrono::milliseconds kPrazoDeParada{3000};

class PrazoDeParada {
 public:
  // `ultimas_palavras` runs on the deadline's own thread, only if the deadline passes.
  explicit PrazoDeParada(std::function<void()> ultimas_palavras);
  ~PrazoDeParada();
  PrazoDeParada(const PrazoDeParada&) = delete;
  PrazoDeParada& operator=(const PrazoDeParada&) = delete;
};

}  // namespace quirada
