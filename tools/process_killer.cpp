#include "tools/process_killer.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "base/errors.h"

namespace quirada::local_platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// How long after the answer a stopped process gets its SIGKILL. It is stopped already, so the
// delay only gives the answer time to leave; nothing the process does depends on it.
constexpr auto kKillAfterAnswer = 200ms;
constexpr auto kStopLimit = 5s;

std::string ErrnoText(const char* what, pid_t pid) {
  return std::string(what) + " " + std::to_string(pid) + ": " + std::strerror(errno);
}

// The state letter of every thread of `pid` ("R", "S", "T", "Z", ...); empty when it is gone.
std::string ThreadStates(pid_t pid) {
  std::string states;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "stat");
    std::stringstream text;
    text << in.rdbuf();
    const std::string stat = text.str();
    // "<tid> (<name>) <state> ...": the name may hold anything, the state follows its last ')'.
    const size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size()) states += stat[close + 2];
  }
  return states;
}

}  // namespace

pid_t ReadKillPid(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception("cannot read the kill PID file " + path);
  std::stringstream text;
  text << in.rdbuf();
  std::string digits = text.str();
  if (!digits.empty() && digits.back() == '\n') digits.pop_back();
  if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
    throw Exception("the kill PID file " + path + " does not hold a process number");
  const long value = std::stol(digits);
  if (value < 2 || value > std::numeric_limits<pid_t>::max())
    throw Exception("the kill PID file " + path + " names process " + digits + ", which is never killed");
  const auto pid = static_cast<pid_t>(value);
  if (pid == ::getpid()) throw Exception("the kill PID file " + path + " names the platform itself");
  if (::kill(pid, 0) != 0) throw Exception(ErrnoText("cannot signal process", pid));
  return pid;
}

void KillNow(pid_t pid) {
  if (::kill(pid, SIGKILL) != 0) throw Exception(ErrnoText("cannot kill process", pid));
}

void StopNow(pid_t pid) {
  if (::kill(pid, SIGSTOP) != 0) throw Exception(ErrnoText("cannot stop process", pid));
  const auto give_up = std::chrono::steady_clock::now() + kStopLimit;
  for (;;) {
    const std::string states = ThreadStates(pid);
    if (states.find_first_not_of("TtZX") == std::string::npos) return;
    if (std::chrono::steady_clock::now() >= give_up)
      throw Exception("process " + std::to_string(pid) + " did not stop (thread states " + states + ")");
    std::this_thread::sleep_for(1ms);
  }
}

DeferredKills::~DeferredKills() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void DeferredKills::KillSoon(pid_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  threads_.emplace_back([this, pid] {
    {
      std::unique_lock<std::mutex> wait(mutex_);
      wake_.wait_for(wait, kKillAfterAnswer, [this] { return closing_; });
    }
    ::kill(pid, SIGKILL);
  });
}

}  // namespace quirada::local_platform
