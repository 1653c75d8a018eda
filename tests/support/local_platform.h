// The local accounting platform (tools/local_platform) run as a child process for end-to-end
// tests: it listens on 127.0.0.1, trusts nobody but the CA it made (DIR/ca.pem), journals every
// request it answered (DIR/journal.jsonl) and follows the rules given ("upload:<digits>=422", ...).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/service_process.h"

namespace quirada::testing {

class LocalPlatform {
 public:
  explicit LocalPlatform(const std::vector<std::string>& rules = {});
  ~LocalPlatform();
  LocalPlatform(const LocalPlatform&) = delete;
  LocalPlatform& operator=(const LocalPlatform&) = delete;

  std::string Url() const { return "https://localhost:" + std::to_string(port_); }
  std::string CaFile() const { return dir_ + "ca.pem"; }
  int port() const { return port_; }

  // The "[Quirada]" section that points a service at this platform.
  std::string IniSection() const;

  // The journal's lines (one JSON object each), oldest first.
  std::vector<std::string> Journal() const;
  // Journal lines whose text contains `needle`.
  std::vector<std::string> JournalWith(const std::string& needle) const;

 private:
  std::string dir_;
  int port_ = 0;
  std::unique_ptr<Process> process_;
};

}  // namespace quirada::testing
