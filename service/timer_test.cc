#include "service/timer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/errors.h"
#include "testing/stderr_capture.h"

namespace quirada {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long MillisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<milliseconds>(to - from).count();
}

// Quits the loop when a test hangs, so that a broken wake-up fails instead of blocking forever.
class Watchdog {
 public:
  explicit Watchdog(TEventLoop& loop) : thread_([this, &loop] {
    std::unique_lock lock(mutex_);
    if (!done_cv_.wait_for(lock, std::chrono::seconds(20), [this] { return done_; })) {
      fired_ = true;
      loop.Quit();
    }
  }) {}
  ~Watchdog() { Stop(); }
  // Returns whether the watchdog had to quit the loop.
  bool Stop() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::atomic<bool> fired_ = false;
  std::thread thread_;
};

// ---------------------------------------------------------------------------------------------
// Which timer ticks first. Deadlines decide the order, so these cases hold however late the loop
// gets to run: "A" is the timer under test, "B" acts on it, "R" is a reference clock.

struct Script;
using TickAction = std::function<void(Script&)>;

struct TimerSetup {
  std::string name;
  uint32_t interval;
  bool enabled;
};

struct Script {
  explicit Script(TEventLoop& l) : loop(l) {}
  TTimer& operator[](const std::string& name) { return *timers.at(name); }
  TEventLoop& loop;
  std::map<std::string, std::unique_ptr<TTimer>> timers;
  std::vector<std::string> ticks;
};

struct OrderCase {
  std::string name;
  std::vector<TimerSetup> timers;
  // What each timer does on its tick, after the tick is recorded. Timers are periodic.
  std::map<std::string, TickAction> on_tick;
  // Run on another thread while the loop runs.
  TickAction from_other_thread;
  // The first ticks, in order; the loop quits when as many have come.
  std::vector<std::string> expected;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

void OneShot(Script& s, const std::string& name) { s[name].SetEnabled(false); }

const std::vector<OrderCase>& OrderCases() {
  static const std::vector<OrderCase> cases = {
      {"EnablingAnEnabledTimerKeepsItsCount",
       {{"A", 200, true}, {"B", 100, true}, {"R", 250, true}},
       {{"B", [](Script& s) { OneShot(s, "B"); s["A"].SetEnabled(true); }}},
       nullptr, {"B", "A", "R"}},
      {"SettingTheSameIntervalKeepsTheCount",
       {{"A", 200, true}, {"B", 100, true}, {"R", 250, true}},
       {{"B", [](Script& s) { OneShot(s, "B"); s["A"].SetInterval(200); }}},
       nullptr, {"B", "A", "R"}},
      {"ChangingTheIntervalWhileEnabledRestartsTheCount",
       {{"A", 200, true}, {"B", 100, true}, {"R", 250, true}},
       {{"B", [](Script& s) { OneShot(s, "B"); s["A"].SetInterval(175); }}},
       nullptr, {"B", "R", "A"}},
      {"DisablingAndEnablingRestartsTheCount",
       {{"A", 200, true}, {"B", 100, true}, {"R", 250, true}},
       {{"B", [](Script& s) { OneShot(s, "B"); s["A"].SetEnabled(false); s["A"].SetEnabled(true); }}},
       nullptr, {"B", "R", "A"}},
      {"ChangingTheIntervalWhileDisabledDoesNotArm",
       {{"A", 200, false}, {"B", 100, true}, {"R", 250, true}},
       {{"B", [](Script& s) { OneShot(s, "B"); s["A"].SetInterval(50); }}},
       nullptr, {"B", "R"}},
      {"AnEnabledTimerKeepsTicking",
       {{"A", 100, true}, {"R", 1000, true}},
       {},
       nullptr, {"A", "A", "A"}},
      {"IntervalZeroNeverTicks",
       {{"A", 0, true}, {"R", 100, true}},
       {},
       nullptr, {"R"}},
      {"DisabledDuringItsOwnTickItTicksNoMore",
       {{"A", 50, true}, {"R", 250, true}},
       {{"A", [](Script& s) { s["A"].SetEnabled(false); }}},
       nullptr, {"A", "R"}},
      {"DisabledFromAnotherThreadDuringItsTickItTicksNoMore",
       {{"A", 50, true}, {"R", 250, true}},
       {{"A", [](Script& s) { std::thread([&s] { s["A"].SetEnabled(false); }).join(); }}},
       nullptr, {"A", "R"}},
      {"EnabledFromAnotherThreadWakesAnIdleLoop",
       {{"A", 50, false}},
       {},
       [](Script& s) {
         std::this_thread::sleep_for(milliseconds(50));  // Let the loop fall asleep first.
         s["A"].SetEnabled(true);
       },
       {"A"}},
      {"IntervalShortenedFromAnotherThreadTakesEffectAtOnce",
       {{"A", 60000, true}},
       {},
       [](Script& s) {
         std::this_thread::sleep_for(milliseconds(50));
         s["A"].SetInterval(50);
       },
       {"A"}},
  };
  return cases;
}

class TimerOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(TimerOrderTest, TicksComeInTheExpectedOrder) {
  const OrderCase& c = GetParam();
  TEventLoop loop;
  Script script(loop);
  for (const TimerSetup& setup : c.timers) {
    auto timer = std::make_unique<TTimer>(loop);
    timer->SetInterval(setup.interval);
    timer->OnTimer = [&script, &c, &loop, name = setup.name] {
      script.ticks.push_back(name);
      const auto action = c.on_tick.find(name);
      if (action != c.on_tick.end()) action->second(script);
      if (script.ticks.size() == c.expected.size()) loop.Quit();
    };
    script.timers[setup.name] = std::move(timer);
  }
  for (const TimerSetup& setup : c.timers) script[setup.name].SetEnabled(setup.enabled);

  Watchdog watchdog(loop);
  std::thread other;
  if (c.from_other_thread) other = std::thread([&] { c.from_other_thread(script); });
  loop.Run();
  if (other.joinable()) other.join();
  ASSERT_FALSE(watchdog.Stop()) << "the loop hung";
  EXPECT_EQ(script.ticks, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TimerOrderTest, ::testing::ValuesIn(OrderCases()),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Pacing, with generous tolerances.

TEST(TimerPacingTest, FirstTickComesAboutOneSecondAfterEnablingWithTheDefaultInterval) {
  TEventLoop loop;
  TTimer timer(loop);
  EXPECT_EQ(timer.Interval(), 1000u);
  EXPECT_FALSE(timer.Enabled());
  Clock::time_point fired;
  timer.OnTimer = [&] {
    fired = Clock::now();
    loop.Quit();
  };
  Watchdog watchdog(loop);
  const Clock::time_point enabled = Clock::now();
  timer.SetEnabled(true);
  loop.Run();
  ASSERT_FALSE(watchdog.Stop());
  EXPECT_GE(MillisecondsBetween(enabled, fired), 1000);
  EXPECT_LT(MillisecondsBetween(enabled, fired), 1800);
}

TEST(TimerPacingTest, NextTickComesOneIntervalAfterTheEndOfATickThatDisablesAndReenables) {
  TEventLoop loop;
  TTimer timer(loop);
  timer.SetInterval(100);
  std::vector<Clock::time_point> begins, ends;
  timer.OnTimer = [&] {
    timer.SetEnabled(false);
    begins.push_back(Clock::now());
    std::this_thread::sleep_for(milliseconds(250));
    ends.push_back(Clock::now());
    timer.SetEnabled(true);
    if (ends.size() == 3) loop.Quit();
  };
  Watchdog watchdog(loop);
  timer.SetEnabled(true);
  loop.Run();
  ASSERT_FALSE(watchdog.Stop());
  ASSERT_EQ(begins.size(), 3u);
  for (size_t i = 1; i < begins.size(); ++i) {
    const long long gap = MillisecondsBetween(ends[i - 1], begins[i]);
    EXPECT_GE(gap, 100) << "tick " << i;
    EXPECT_LT(gap, 600) << "tick " << i;
    EXPECT_GE(MillisecondsBetween(begins[i - 1], begins[i]), 350) << "tick " << i;
  }
}

TEST(TimerPacingTest, TicksNeverOverlapEvenWhenATickOutlastsTheInterval) {
  TEventLoop loop;
  TTimer timer(loop);
  timer.SetInterval(20);
  std::atomic<int> running = 0;
  int most_at_once = 0;
  std::vector<Clock::time_point> begins, ends;
  timer.OnTimer = [&] {
    most_at_once = std::max(most_at_once, ++running);
    begins.push_back(Clock::now());
    std::this_thread::sleep_for(milliseconds(60));
    ends.push_back(Clock::now());
    --running;
    if (ends.size() == 4) loop.Quit();
  };
  Watchdog watchdog(loop);
  timer.SetEnabled(true);
  loop.Run();
  ASSERT_FALSE(watchdog.Stop());
  EXPECT_EQ(most_at_once, 1);
  ASSERT_EQ(begins.size(), 4u);
  for (size_t i = 1; i < begins.size(); ++i) EXPECT_GE(begins[i], ends[i - 1]) << "tick " << i;
}

// ---------------------------------------------------------------------------------------------
// Failures that escape a tick.

enum class HandlerKind { None, Records, Throws };

struct FailureCase {
  std::string name;
  HandlerKind handler;
  std::function<void()> failing_tick;
  std::vector<std::string> handled;
  std::string standard_error;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

// An error event on standard error: "<3>" before it for the journal on Linux, nothing on Windows.
#if defined(_WIN32)
#define ERROR_LINE(text) text
#else
#define ERROR_LINE(text) "<3>" text
#endif

const std::vector<FailureCase>& FailureCases() {
  static const std::vector<FailureCase> cases = {
      {"ReachesTheInstalledHandler", HandlerKind::Records,
       [] { throw Exception("Falha no ciclo"); }, {"Falha no ciclo"}, ""},
      {"OfAnUnknownKindReachesTheHandlerWithAMessage", HandlerKind::Records,
       [] { throw 42; }, {"Exceção desconhecida no temporizador"}, ""},
      {"WhoseHandlerThrowsGoesToStandardErrorAsAnError", HandlerKind::Throws,
       [] { throw Exception("Falha no ciclo"); }, {},
       ERROR_LINE("Não foi possível gravar o log\n") ERROR_LINE("Falha no ciclo\n")},
      {"WithoutAHandlerGoesToStandardErrorAsOneLine", HandlerKind::None,
       [] { throw Exception("primeira\r\nsegunda"); }, {}, ERROR_LINE("primeira  segunda\n")},
  };
  return cases;
}

class TickFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(TickFailureTest, AndTheNextTickStillComes) {
  const FailureCase& c = GetParam();
  TEventLoop loop;
  TTimer timer(loop);
  timer.SetInterval(20);
  std::vector<std::string> handled;
  if (c.handler == HandlerKind::Records) {
    loop.SetExceptionHandler([&](const std::exception& e) { handled.push_back(e.what()); });
  } else if (c.handler == HandlerKind::Throws) {
    loop.SetExceptionHandler([](const std::exception&) {
      throw Exception("Não foi possível gravar o log");
    });
  }
  int ticks = 0;
  timer.OnTimer = [&] {
    if (++ticks == 1) c.failing_tick();
    loop.Quit();
  };
  Watchdog watchdog(loop);
  StderrCapture capture;
  timer.SetEnabled(true);
  loop.Run();
  const std::string standard_error = capture.Finish();
  ASSERT_FALSE(watchdog.Stop());
  EXPECT_EQ(ticks, 2);
  EXPECT_EQ(handled, c.handled);
  EXPECT_EQ(standard_error, c.standard_error);
}

INSTANTIATE_TEST_SUITE_P(Cases, TickFailureTest, ::testing::ValuesIn(FailureCases()),
                         [](const auto& info) { return info.param.name; });

TEST(EventLoopTest, ClearingTheHandlerRestoresTheDefault) {
  TEventLoop loop;
  std::vector<std::string> handled;
  loop.SetExceptionHandler([&](const std::exception& e) { handled.push_back(e.what()); });
  loop.SetExceptionHandler(nullptr);
  StderrCapture capture;
  loop.HandleException(Exception("sem tratador"));
  EXPECT_EQ(capture.Finish(), ERROR_LINE("sem tratador\n"));
  EXPECT_TRUE(handled.empty());
}

// ---------------------------------------------------------------------------------------------
// Quitting.

TEST(EventLoopTest, QuitDuringATickLetsItFinishAndDeliversNoMoreTicks) {
  TEventLoop loop;
  TTimer timer(loop);
  timer.SetInterval(5);
  int ticks = 0;
  bool finished = false;
  timer.OnTimer = [&] {
    ++ticks;
    std::thread([&] { loop.Quit(); }).join();
    std::this_thread::sleep_for(milliseconds(30));  // The timer is overdue when the tick returns.
    finished = true;
  };
  Watchdog watchdog(loop);
  timer.SetEnabled(true);
  loop.Run();
  ASSERT_FALSE(watchdog.Stop());
  EXPECT_EQ(ticks, 1);
  EXPECT_TRUE(finished);
  EXPECT_TRUE(timer.Enabled());
}

TEST(EventLoopTest, QuitBeforeRunMakesRunReturnAtOnceAndOnlyOnce) {
  TEventLoop loop;
  loop.Quit();
  loop.Run();
  TTimer timer(loop);
  timer.SetInterval(10);
  int ticks = 0;
  timer.OnTimer = [&] {
    if (++ticks == 2) loop.Quit();
  };
  Watchdog watchdog(loop);
  timer.SetEnabled(true);
  loop.Run();
  ASSERT_FALSE(watchdog.Stop());
  EXPECT_EQ(ticks, 2);
}

TEST(EventLoopTest, QuitFromAnotherThreadEndsAnIdleLoop) {
  TEventLoop loop;
  TTimer timer(loop);
  timer.OnTimer = [] {};
  timer.SetInterval(60000);
  timer.SetEnabled(true);
  Watchdog watchdog(loop);
  std::thread quitter([&] {
    std::this_thread::sleep_for(milliseconds(50));
    loop.Quit();
  });
  loop.Run();
  quitter.join();
  EXPECT_FALSE(watchdog.Stop());
}

}  // namespace
}  // namespace quirada
