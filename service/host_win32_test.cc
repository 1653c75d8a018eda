// The Windows service host outside the service control manager: the event log's lines on standard
// error, stop requests, and RunService in a process the SCM did not start. (The service run by the
// SCM itself is driven end to end by scripts/windows-smoke.sh.)
#include "service/host.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/text_win32.h"
#include "testing/system_text_win32.h"
#include "service/timer.h"
#include "testing/stderr_capture.h"

namespace quirada {
namespace {

using testing::WindowsSystemText;

TEST(SystemEventTest, EachEventIsOneLineOnStandardErrorWithItsPriority) {
  StderrCapture capture;
  WriteSystemEventError("Falha no serviço em executar: primeira\r\nsegunda");
  WriteSystemEventInfo("Ciclo concluído: 2 enviado(s), 0 não enviado(s).");
  EXPECT_EQ(capture.Finish(),
            "<3>Falha no serviço em executar: primeira  segunda\n"
            "<6>Ciclo concluído: 2 enviado(s), 0 não enviado(s).\n");
}

TEST(StopRequestTest, RequestStopReachesTheWaiterAndStaysNoted) {
  std::string name;
  std::thread waiter([&] { name = WaitForStopRequest(); });
  RequestStop();
  waiter.join();
  EXPECT_EQ(name, "STOP");
  EXPECT_TRUE(StopRequested());
}

// Started from a prompt (no service control manager behind it), the dispatcher cannot connect:
// the start event never runs, the system's text for that error goes to the event log and the
// run ends with status 1. (Wine's dispatcher takes about 10 s to give up.)
TEST(RunServiceTest, OutsideTheServiceControlManagerTheRunFailsWithTheSystemText) {
  TEventLoop loop;
  std::atomic<bool> started = false;
  TServiceEvents events;
  events.OnStart = [&](bool&) { started = true; };
  events.OnExecute = [] {};
  StderrCapture capture;
  const int status = RunService(loop, events);
  const std::string standard_error = capture.Finish();
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(started);
  EXPECT_EQ(standard_error, "<3>" + WindowsSystemText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) + "\n");
}

}  // namespace
}  // namespace quirada
