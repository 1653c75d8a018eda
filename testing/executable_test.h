// What the end-to-end tests of the real executable share: a fresh ERP database with its settings
// row, a run folder with the executable (its INI naming that database and a local platform), a
// temporary folder of its own for the service (TMPDIR), and waiting for what a child process does.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "testing/erp_database.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

namespace quirada::testing {

// Waits until `done` holds or `limit` passes; returns whether it held.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class ExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.InsertSettings({});
    today_ = db_.ServerDate();
  }

  // Notes `first` to `first + count - 1` (NFC-e of today, keys DocumentKey), all with `xml`.
  void AddNotes(long long first, long long count, const std::string& xml = "<NFe/>") {
    for (long long seq = first; seq < first + count; ++seq)
      db_.InsertNote({.sequencial = seq, .chave = DocumentKey(seq), .xml = xml, .data = today_,
                      .modelo = "65"});
  }

  // The INI naming the test database and `platform`, plus `extra` lines for "[Quirada]".
  void Configure(const LocalPlatform& platform, const std::string& extra = "") {
    std::filesystem::remove(run_.dir() + "Morvant.ini");
    db_.WriteIni(run_.dir());
    run_.AppendIni(platform.IniSection() + extra);
  }

  std::map<std::string, std::string> Env() const { return {{"TMPDIR", tmp_.path()}}; }

  ErpDatabase db_;
  RunFolder run_;
  TempFolder tmp_;  // the service's TMPDIR
  TDateTime today_ = 0;
};

}  // namespace quirada::testing
