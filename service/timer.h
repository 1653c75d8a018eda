// The main thread's event loop and the one-shot timers whose ticks it delivers.
//
// TEventLoop::Run runs on the thread that calls it (the main thread) until Quit is called from any
// thread. It delivers timer ticks one at a time, the earliest deadline first, each inside an
// exception guard: an exception that escapes a tick goes to the installed exception handler, or to
// the system event log when none is installed; when the handler itself raises, its exception's
// message and then the tick's go to the system event log. The loop goes on in both cases. A Quit
// that arrives during a tick takes effect when the tick has returned; no further tick is delivered
// after it.
//
// TTimer keeps the rules of a window timer: Interval in milliseconds (default 1000); setting
// Enabled to its current value does nothing; enabling, or changing the interval while enabled,
// restarts the count from zero. While enabled (and Interval > 0 and OnTimer assigned) it ticks
// every Interval, counted from the start of the previous tick; a tick that disables the timer
// first and enables it again last makes the period Interval plus the length of the tick.
//
// Threads: Enabled and Interval may be read and set from any thread; everything else (OnTimer,
// construction, destruction) belongs to the thread that runs the loop, or to a time when the loop
// is not running. The loop must outlive its timers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

namespace quirada {

using TExceptionHandler = std::function<void(const std::exception&)>;

class TTimer;

class TEventLoop {
 public:
  TEventLoop() = default;
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  // Delivers ticks until Quit; returns at once when Quit came before Run.
  void Run();
  // Asks Run to return; callable from any thread.
  void Quit();

  // Replaces the handler of exceptions that escape a tick; callable from any thread. An empty
  // handler restores the default: the message goes to the system event log as an error.
  void SetExceptionHandler(TExceptionHandler handler);
  // Hands `e` to the installed handler; never throws.
  void HandleException(const std::exception& e);

 private:
  friend class TTimer;
  using Clock = std::chrono::steady_clock;

  void Deliver(const std::function<void()>& tick);

  std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;
  std::vector<TTimer*> timers_;
  TExceptionHandler handler_;
};

class TTimer {
 public:
  explicit TTimer(TEventLoop& loop);
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  bool Enabled() const;
  void SetEnabled(bool value);
  uint32_t Interval() const;
  void SetInterval(uint32_t milliseconds);

  // The tick handler, run on the loop's thread. Assign it before enabling the timer.
  std::function<void()> OnTimer;

 private:
  friend class TEventLoop;

  // Guarded by loop_.mutex_.
  bool Armed() const { return enabled_ && interval_ > 0 && OnTimer != nullptr; }
  void Restart();

  TEventLoop& loop_;
  bool enabled_ = false;
  uint32_t interval_ = 1000;
  TEventLoop::Clock::time_point deadline_{};
};

}  // namespace quirada
