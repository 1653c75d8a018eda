#include "service/host.h"
#include "service/sd_notify_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include <algorithm>

#include <gtest/gtest.h>

#include "base/unique_fd_posix.h"
#include "testing/stderr_capture.h"

extern char** environ;

namespace quirada {
namespace {

namespace fs = std::filesystem;

constexpr int kPatienceMs = 20000;  // Only a hang takes this long.

// A datagram socket standing in for systemd's notification socket.
class NotifyListener {
 public:
  // `name` starting with '@' is an abstract socket; otherwise a path.
  explicit NotifyListener(const std::string& name) : name_(name) {
    fd_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    bound_ = ::bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
  }
  ~NotifyListener() {
    if (name_[0] == '@') return;
    ::unlink(name_.c_str());
    std::error_code ignored;
    fs::remove(fs::path(name_).parent_path(), ignored);  // Only when empty.
  }
  bool Bound() const { return bound_; }

  // The next datagram, or nothing when none comes within `wait_ms`.
  std::optional<std::string> Receive(int wait_ms) {
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, wait_ms) != 1) return std::nullopt;
    char buf[512];
    const ssize_t n = ::recv(fd_.Get(), buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
  }

 private:
  std::string name_;
  UniqueFd fd_;
  bool bound_ = false;
};

class ScopedNotifySocket {
 public:
  explicit ScopedNotifySocket(const char* value) {
    if (value) {
      ::setenv("NOTIFY_SOCKET", value, 1);
    } else {
      ::unsetenv("NOTIFY_SOCKET");
    }
  }
  ~ScopedNotifySocket() { ::unsetenv("NOTIFY_SOCKET"); }
};

fs::path TestDir() {
  const fs::path dir = fs::temp_directory_path() /
                       ("quirada-host-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir;
}

// ---------------------------------------------------------------------------------------------

struct NotifyCase {
  std::string name;
  bool abstract;
};

void PrintTo(const NotifyCase& c, std::ostream* os) { *os << c.name; }

class NotifyTest : public ::testing::TestWithParam<NotifyCase> {};

TEST_P(NotifyTest, StatesArriveAsDatagramsOnTheSocketNamedByNotifySocket) {
  const std::string name = GetParam().abstract
                               ? "@quirada-notify-" + std::to_string(::getpid())
                               : (TestDir() / "notify").string();
  NotifyListener listener(name);
  ASSERT_TRUE(listener.Bound()) << std::strerror(errno);
  ScopedNotifySocket env(name.c_str());
  for (const std::string state : {"READY=1", "STOPPING=1"}) {
    EXPECT_TRUE(SdNotify(state));
    EXPECT_EQ(listener.Receive(kPatienceMs), state);
  }
}

INSTANTIATE_TEST_SUITE_P(Sockets, NotifyTest,
                         ::testing::Values(NotifyCase{"PathSocket", false},
                                           NotifyCase{"AbstractSocket", true}),
                         [](const auto& info) { return info.param.name; });

TEST(SdNotifyTest, WithoutNotifySocketSendsNothingAndSaysNothing) {
  ScopedNotifySocket env(nullptr);
  StderrCapture capture;
  EXPECT_FALSE(SdNotify("READY=1"));
  EXPECT_EQ(capture.Finish(), "");
}

TEST(SdNotifyTest, AnUnusableSocketIsReportedAsAnError) {
  const std::string missing = (TestDir() / "no-such-socket").string();
  struct Case {
    std::string value;
    std::string error;
  };
  for (const Case& c : {Case{missing, std::strerror(ENOENT)},
                        Case{"relative/socket", std::strerror(EINVAL)}}) {
    ScopedNotifySocket env(c.value.c_str());
    StderrCapture capture;
    EXPECT_FALSE(SdNotify("READY=1"));
    EXPECT_EQ(capture.Finish(), "<3>Falha ao avisar o systemd (READY=1): " + c.error + "\n")
        << c.value;
  }
}

TEST(WriteSystemEventErrorTest, WritesOneErrorLinePerEvent) {
  StderrCapture capture;
  WriteSystemEventError("Falha no serviço em executar: sem memória");
  WriteSystemEventError("linha um\nlinha dois\r\n");
  EXPECT_EQ(capture.Finish(),
            "<3>Falha no serviço em executar: sem memória\n"
            "<3>linha um linha dois  \n");
}

// ---------------------------------------------------------------------------------------------
// The whole run, in a child process stopped with a signal.

class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& notify_socket) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    out_.Reset(out[0]);
    err_.Reset(err[0]);
    UniqueFd out_w(out[1]), err_w(err[1]);

    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) env_strings.emplace_back(*e);
    }
    env_strings.push_back("NOTIFY_SOCKET=" + notify_socket);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = {QUIRADA_HOST_RUN_PROBE};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : words) argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_w.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_w.Get(), STDERR_FILENO);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool Started() const { return pid_ > 0; }
  void Signal(int signal_number) { ::kill(pid_, signal_number); }

  // The next line of standard output, without its '\n'; nothing at the end or after a long wait.
  std::optional<std::string> ReadLine() {
    for (;;) {
      const size_t end = out_text_.find('\n');
      if (end != std::string::npos) {
        std::string line = out_text_.substr(0, end);
        out_text_.erase(0, end + 1);
        return line;
      }
      pollfd p{out_.Get(), POLLIN, 0};
      if (::poll(&p, 1, kPatienceMs) != 1) return std::nullopt;
      char buf[256];
      const ssize_t n = ::read(out_.Get(), buf, sizeof buf);
      if (n <= 0) return std::nullopt;
      out_text_.append(buf, static_cast<size_t>(n));
    }
  }

  // Waits for the end; returns the exit status (-1 for a death by signal).
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string StandardError() {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(err_.Get(), buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
  }

 private:
  pid_t pid_ = -1;
  UniqueFd out_, err_;
  std::string out_text_;
};

struct RunCase {
  std::string name;
  std::string mode;
  // Sent after the line `signal_after` shows; 0 sends none.
  int signal_number;
  std::string signal_after;
  std::vector<std::string> lines;
  std::vector<std::string> notifications;
  int exit_status;
  std::string standard_error;
  // The same signal once more after this line; "" for none.
  std::string again_after = "";
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class RunServiceTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunServiceTest, RunsStopsAndReports) {
  const RunCase& c = GetParam();
  const std::string socket_path = (TestDir() / "notify").string();
  NotifyListener listener(socket_path);
  ASSERT_TRUE(listener.Bound());
  Child child({c.mode}, socket_path);
  ASSERT_TRUE(child.Started());

  std::vector<std::string> lines;
  std::vector<std::string> notifications;
  while (auto line = child.ReadLine()) {
    lines.push_back(*line);
    if (c.signal_number != 0 && *line == c.signal_after) child.Signal(c.signal_number);
    if (!c.again_after.empty() && *line == c.again_after) {
      // The second request comes once the first has been told to the service manager.
      while (std::find(notifications.begin(), notifications.end(), "STOPPING=1") ==
             notifications.end()) {
        auto datagram = listener.Receive(5000);
        if (!datagram) break;
        notifications.push_back(*datagram);
      }
      child.Signal(c.signal_number);
    }
  }
  const int exit_status = child.Wait();
  while (auto datagram = listener.Receive(0)) notifications.push_back(*datagram);

  EXPECT_EQ(lines, c.lines);
  EXPECT_EQ(notifications, c.notifications);
  EXPECT_EQ(exit_status, c.exit_status);
  EXPECT_EQ(child.StandardError(), c.standard_error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunServiceTest,
    ::testing::Values(
        // The tick lasts until the service thread has taken the stop request, so the request
        // is answered during the tick, and the run ends only after the tick has finished.
        RunCase{"SigtermDuringATickLetsTheTickFinish", "stop-during-tick", SIGTERM, "tick-begin",
                {"start", "tick-begin", "stop-request TERM", "tick-end", "run-returned 0",
                 "destroyed"},
                {"READY=1", "STOPPING=1"}, 0, ""},
        RunCase{"SigintDuringATickLetsTheTickFinish", "stop-during-tick", SIGINT, "tick-begin",
                {"start", "tick-begin", "stop-request INT", "tick-end", "run-returned 0",
                 "destroyed"},
                {"READY=1", "STOPPING=1"}, 0, ""},
        RunCase{"SigtermWhileIdleEndsTheRun", "idle", SIGTERM, "start",
                {"start", "stop-request TERM", "run-returned 0", "destroyed"},
                {"READY=1", "STOPPING=1"}, 0, ""},
        RunCase{"AFailedExecuteIsLoggedAndEndsTheRunWithStatusOne", "throw-execute", 0, "",
                {"start", "run-returned 1", "destroyed"},
                {"READY=1", "STOPPING=1"}, 1,
                "<3>Falha no serviço em executar: Não há temporizadores suficientes "
                "disponíveis\n"},
        RunCase{"ARefusedStartEndsTheRunWithStatusOne", "refuse-start", 0, "",
                {"start", "run-returned 1", "destroyed"}, {}, 1, ""},
        // A tick that does not end on its own: the second request ends the process at once.
        RunCase{"ASecondStopRequestEndsTheProcessAtOnce", "deaf-tick", SIGTERM, "tick-begin",
                {"start", "tick-begin", "stop-request TERM"},
                {"READY=1", "STOPPING=1"}, 128 + SIGTERM,
                "<3>Segundo pedido de parada (TERM): o processo termina agora; o documento em "
                "andamento não foi registrado e volta no próximo ciclo.\n",
                "stop-request TERM"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quirada
