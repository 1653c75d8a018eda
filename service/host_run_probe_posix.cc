// A tiny service for the host tests: runs RunService with one timer, the way the service module
// does, and reports each step as one line on standard output.
//
//   host_run_probe idle              the first tick would come after a minute
//   host_run_probe stop-during-tick  the first tick comes at once and lasts until the stop request
//   host_run_probe throw-execute     the execute event fails before arming the timer
//   host_run_probe refuse-start      the start event refuses the start
//   host_run_probe deaf-tick         the first tick comes at once and ignores the stop request
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "base/errors.h"
#include "service/host.h"
#include "service/timer.h"

namespace {

void Say(const std::string& text) {
  const std::string line = text + "\n";
  if (::write(STDOUT_FILENO, line.data(), line.size()) < 0) _exit(3);
}

}  // namespace

int main(int argc, char* argv[]) {
  quirada::PrepareProcess(quirada::TProcessKind::kService);
  const std::string mode = argc > 1 ? argv[1] : "";
  quirada::TEventLoop loop;
  int status = 0;
  {
    quirada::TTimer timer(loop);
    std::atomic<bool> stop_taken = false;
    timer.SetInterval(mode == "idle" ? 60000 : 1);
    timer.OnTimer = [&] {
      timer.SetEnabled(false);
      timer.SetInterval(60000);
      Say("tick-begin");
      for (int i = 0; i < 2000 && (mode == "deaf-tick" || !stop_taken); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      Say("tick-end");
      timer.SetEnabled(true);
    };
    quirada::TServiceEvents events;
    events.OnStart = [&](bool& started) {
      Say("start");
      if (mode == "refuse-start") started = false;
    };
    events.OnExecute = [&] {
      loop.SetExceptionHandler([](const std::exception& e) { Say(std::string("log ") + e.what()); });
      if (mode == "throw-execute") {
        throw quirada::Exception("Não há temporizadores suficientes disponíveis");
      }
      timer.SetEnabled(true);
      Say("stop-request " + quirada::WaitForStopRequest());
      stop_taken = true;
      timer.SetEnabled(false);
    };
    status = quirada::RunService(loop, events);
    Say("run-returned " + std::to_string(status));
  }
  Say("destroyed");
  return status;
}
