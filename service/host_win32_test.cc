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
#include "service/timer.h"
#include "testing/stderr_capture.h"

namespace quirada {
namespace {

// No journal reads a priority on Windows: the line is the message alone.
TEST(SystemEventTest, EachEventIsOneLineOnStandardErrorWithoutAPriorityPrefix) {
  StderrCapture capture;
  WriteSystemEventError("Falha no serviço em executar: primeira\r\nsegunda");
  WriteSystemEventInfo("Ciclo concluído: 2 enviado(s), 0 não enviado(s).");
  EXPECT_EQ(capture.Finish(),
            "Falha no serviço em executar: primeira  segunda\n"
            "Ciclo concluído: 2 enviado(s), 0 não enviado(s).\n");
}

TEST(StopRequestTest, RequestStopReachesTheWaiterAndStaysNoted) {
  std::string name;
  std::thread waiter([&] { name = WaitForStopRequest(); });
  RequestStop();
  waiter.join();
  EXPECT_EQ(name, "STOP");
  EXPECT_TRUE(StopRequested());
}

// Started by a person (no service control manager behind it: a script, a redirect, a scheduler),
// the dispatcher cannot connect: the start event never runs, the program is told to say what it is
// (OnNoServiceManager), nothing goes to the event log and the run ends with status 2. (A process
// gets one try of the dispatcher; Wine's takes about 10 s to give up.)
TEST(RunServiceTest, OutsideTheServiceControlManagerTheProgramSaysWhatItIs) {
  TEventLoop loop;
  std::atomic<bool> started = false;
  std::atomic<int> tellings = 0;
  TServiceEvents events;
  events.OnStart = [&](bool&) { started = true; };
  events.OnExecute = [] {};
  events.OnNoServiceManager = [&] { ++tellings; };
  StderrCapture capture;
  const int status = RunService(loop, events);
  const std::string standard_error = capture.Finish();
  EXPECT_EQ(status, 2);
  EXPECT_FALSE(started);
  EXPECT_EQ(tellings, 1);
  EXPECT_EQ(standard_error, "");
}

}  // namespace
}  // namespace quirada
