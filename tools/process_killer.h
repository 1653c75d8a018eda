// Ends the process under test at a chosen moment of an exchange, for the crash tests: the test
// starts the service, writes its PID to a file, and the platform kills it when a kill rule matches.
//
// Two moments: before answering (SIGKILL at once; the request is in flight and stays unanswered),
// and right after answering (the process is stopped with SIGSTOP before the answer is handed over,
// so it can never act on it, and gets SIGKILL a moment after the answer was sent).
//
// A PID file must hold a decimal number of a running process other than 1 and the platform itself,
// optionally followed by a newline; anything else is refused, so that a stale or mistyped file can
// never aim the signal at the wrong process (kill(0) or kill(-1) would strike whole groups).
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quirada::local_platform {

// The PID in `path`. Raises quirada::Exception saying what is wrong with the file.
pid_t ReadKillPid(const std::string& path);

// SIGKILL to `pid`. Raises quirada::Exception when the signal cannot be sent.
void KillNow(pid_t pid);

// SIGSTOP to `pid`, then waits until every thread of it is stopped (or it is gone). Raises
// quirada::Exception when the signal cannot be sent or the process does not stop within seconds.
void StopNow(pid_t pid);

// SIGKILLs sent a moment later from a thread of their own; every pending one is sent before the
// object goes away.
class DeferredKills {
 public:
  DeferredKills() = default;
  ~DeferredKills();
  DeferredKills(const DeferredKills&) = delete;
  DeferredKills& operator=(const DeferredKills&) = delete;

  void KillSoon(pid_t pid);

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace quirada::local_platform
