#include "service/timer.h"

#include <algorithm>
#include <string>

#include "base/errors.h"
#include "service/host.h"

namespace quirada {

void TEventLoop::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (quit_) {
      quit_ = false;
      return;
    }
    TTimer* next = nullptr;
    for (TTimer* timer : timers_) {
      if (timer->Armed() && (next == nullptr || timer->deadline_ < next->deadline_)) next = timer;
    }
    if (next == nullptr) {
      wake_.wait(lock);
      continue;
    }
    const Clock::time_point now = Clock::now();
    if (next->deadline_ > now) {
      wake_.wait_until(lock, next->deadline_);
      continue;
    }
    // A window timer keeps counting while its tick runs.
    next->deadline_ = now + std::chrono::milliseconds(next->interval_);
    const std::function<void()> tick = next->OnTimer;
    lock.unlock();
    Deliver(tick);
    lock.lock();
  }
}

void TEventLoop::Quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
}

void TEventLoop::SetExceptionHandler(TExceptionHandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void TEventLoop::HandleException(const std::exception& e) {
  TExceptionHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
  }
  if (!handler) {
    WriteSystemEventError(e.what());
    return;
  }
  try {
    handler(e);
  } catch (const std::exception& failure) {
    // The handler could not record the failure (the service log cannot be written): the failure
    // itself goes to the system event log after the handler's, so that it is not lost.
    WriteSystemEventError(failure.what());
    WriteSystemEventError(e.what());
  } catch (...) {
    WriteSystemEventError("Exceção desconhecida no tratamento de exceções");
    WriteSystemEventError(e.what());
  }
}

void TEventLoop::Deliver(const std::function<void()>& tick) {
  try {
    tick();
  } catch (const std::exception& e) {
    HandleException(e);
  } catch (...) {
    HandleException(Exception("Exceção desconhecida no temporizador"));
  }
}

TTimer::TTimer(TEventLoop& loop) : loop_(loop) {
  std::lock_guard lock(loop_.mutex_);
  loop_.timers_.push_back(this);
}

TTimer::~TTimer() {
  std::lock_guard lock(loop_.mutex_);
  std::erase(loop_.timers_, this);
}

bool TTimer::Enabled() const {
  std::lock_guard lock(loop_.mutex_);
  return enabled_;
}

void TTimer::SetEnabled(bool value) {
  {
    std::lock_guard lock(loop_.mutex_);
    if (enabled_ == value) return;
    enabled_ = value;
    if (enabled_) Restart();
  }
  loop_.wake_.notify_all();
}

uint32_t TTimer::Interval() const {
  std::lock_guard lock(loop_.mutex_);
  return interval_;
}

void TTimer::SetInterval(uint32_t milliseconds) {
  {
    std::lock_guard lock(loop_.mutex_);
    if (interval_ == milliseconds) return;
    interval_ = milliseconds;
    if (enabled_) Restart();
  }
  loop_.wake_.notify_all();
}

void TTimer::Restart() {
  deadline_ = TEventLoop::Clock::now() + std::chrono::milliseconds(interval_);
}

}  // namespace quirada
