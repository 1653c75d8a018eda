#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/errors.h"
#include "base/platform.h"
#include "base/text.h"
#include "base/unique_fd_posix.h"
#include "service/host.h"
#include "service/sd_notify_posix.h"

namespace quirada {
namespace {

std::atomic<bool> stop_requested = false;

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

void WriteAll(int fd, const std::string& bytes) {
  // Standard error is not a file of the service: it goes to the journal or a terminal.
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // Nowhere left to report to.
    done += static_cast<size_t>(n);
  }
}

// Blocks the stop signals in the calling thread and so in every thread it starts later: they are
// taken synchronously, in WaitForStopRequest.
void BlockStopSignals() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WriteSystemEvent(const char* priority, const std::string& message) {
  // What a peer, a database or a file put in the message can neither break the line nor drive a
  // terminal.
  WriteAll(STDERR_FILENO, priority + BlankControls(message) + "\n");
}

}  // namespace

void WriteSystemEventError(const std::string& message) { WriteSystemEvent("<3>", message); }

void WriteSystemEventInfo(const std::string& message) { WriteSystemEvent("<6>", message); }

void WriteSystemEventRoutine(const std::string& message) { WriteSystemEvent("<6>", message); }

bool RunFromAConsole() { return false; }

std::string NoSwitchUsage() {
  return "  (sem opção)   executa o serviço SrvQuirada em primeiro plano (um pedido de parada o\n"
         "                encerra em segundos: o documento em andamento fica para o próximo\n"
         "                ciclo; um segundo pedido o encerra na hora)\n";
}

void ReportServiceStatus(const std::string& text) {
  const char* env = std::getenv("NOTIFY_SOCKET");
  if (env == nullptr || *env == '\0') return;
  SdNotify("STATUS=" + BlankControls(text));
}

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void PrepareProcess(TProcessKind kind) {
  // TLS writes go through write(), which would raise SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  switch (kind) {
    case TProcessKind::kService:
      BlockStopSignals();
      break;
    case TProcessKind::kOneCycle:
      // A stop request (systemd's, Ctrl-C, a closed terminal) ends the cycle after the document in
      // hand instead of cutting it between an upload and its record.
      BlockStopSignals();
      std::thread([] {
        try {
          WaitForStopRequest();
        } catch (const std::exception& e) {
          WriteSystemEventError(e.what());
        }
      }).detach();
      break;
    case TProcessKind::kCommand:
      break;
  }
}

namespace {

// Takes the next stop signal; returns its number.
int TakeStopSignal() {
  const sigset_t set = StopSignals();
  for (;;) {
    int signal_number = 0;
    const int rc = sigwait(&set, &signal_number);
    if (rc == 0) return signal_number;
    if (rc != EINTR) throw Exception("Falha ao aguardar o pedido de parada: " + SystemErrorText(rc));
  }
}

// After the first stop request, a thread waits for a second one and ends the process then, without
// waiting for anything: what was not recorded is offered again next cycle.
void EndAtASecondRequest() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::thread([] {
      try {
        const int signal_number = TakeStopSignal();
        WriteSystemEventError(std::string("Segundo pedido de parada (") +
                              sigabbrev_np(signal_number) +
                              "): o processo termina agora; o documento em andamento não foi "
                              "registrado e volta no próximo ciclo.");
        std::_Exit(128 + signal_number);
      } catch (const std::exception& e) {
        WriteSystemEventError(e.what());
      }
    }).detach();
  });
}

}  // namespace

std::string WaitForStopRequest() {
  BlockStopSignals();
  const int signal_number = TakeStopSignal();
  stop_requested = true;
  EndAtASecondRequest();
  return sigabbrev_np(signal_number);
}

bool StopRequested() { return stop_requested; }

void RequestStop() { ::kill(::getpid(), SIGTERM); }

void EndProcessAtStopDeadline() {
  WriteSystemEventInfo(kTextoFimNoPrazo);
  std::_Exit(0);
}

void NotifyServiceManager(TServiceNotice notice) {
  SdNotify(notice == TServiceNotice::kReady ? "READY=1" : "STOPPING=1");
}

bool SdNotify(const std::string& state) {
  const char* env = std::getenv("NOTIFY_SOCKET");
  if (env == nullptr || *env == '\0') return false;
  const std::string path = env;
  const auto fail = [&](int error) {
    WriteSystemEventError("Falha ao avisar o systemd (" + state + "): " + SystemErrorText(error));
    return false;
  };

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if ((path[0] != '/' && path[0] != '@') || path.size() >= sizeof address.sun_path) {
    return fail(EINVAL);
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  if (path[0] == '@') {
    address.sun_path[0] = '\0';  // Abstract namespace: no terminating NUL counted.
  } else {
    length += 1;
  }

  UniqueFd socket_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket_fd.Valid()) return fail(errno);
  ssize_t sent;
  do {
    sent = ::sendto(socket_fd.Get(), state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), length);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return fail(errno);
  return true;
}

int RunService(TEventLoop& loop, const TServiceEvents& events) {
  BlockStopSignals();
  std::atomic<int> status = 0;
  std::thread service_thread([&] {
    status = RunServiceEvents(events);
    loop.Quit();
  });
  loop.Run();
  service_thread.join();
  return status;
}

}  // namespace quirada
