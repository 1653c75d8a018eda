// The local accounting platform (tools/local_platform) run as a child process for end-to-end
// tests: it listens on 127.0.0.1, trusts nobody but the CA it made (DIR/ca.pem), journals every
// request it answered (DIR/journal.jsonl) and follows the rules given ("upload:<digits>=422", ...).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "testing/service_process.h"

namespace quirada::testing {

// One journal line as its text members (numbers as written, nested members left out).
using JournalEntry = std::map<std::string, std::string>;

// One request as the journal tells it, for the tests that follow a cycle's exchanges.
struct Exchange {
  std::string method, path, fault, file, batch, code, sha256;
  int status = 0;      // 0: not answered
  uint64_t bytes = 0;  // of an uploaded file

  bool IsUpload() const;
  bool IsStatus() const;
  bool IsToken() const;
  // An upload the platform took: it created a batch and said so.
  bool Accepted() const { return IsUpload() && status == 201 && !batch.empty(); }
};

class LocalPlatform {
 public:
  // `extra_args` go to the program after the rules (e.g. "--kill-pid-file", FILE).
  explicit LocalPlatform(const std::vector<std::string>& rules = {},
                         const std::vector<std::string>& extra_args = {});
  ~LocalPlatform();
  LocalPlatform(const LocalPlatform&) = delete;
  LocalPlatform& operator=(const LocalPlatform&) = delete;

  std::string Url() const { return "https://localhost:" + std::to_string(port_); }
  std::string CaFile() const { return dir_ + "ca.pem"; }
  // The platform's folder (ca.pem, port, journal.jsonl), ending with '/'.
  const std::string& dir() const { return dir_; }
  // Stops the platform (SIGTERM) and waits for it, so that nothing is answered after this returns.
  // Raises when it does not stop. The destructor stops it too.
  void Stop();
  int port() const { return port_; }

  // The "[Quirada]" section that points a service at this platform.
  std::string IniSection() const;

  // The journal's lines (one JSON object each), oldest first.
  std::vector<std::string> Journal() const;
  // Journal lines whose text contains `needle`.
  std::vector<std::string> JournalWith(const std::string& needle) const;
  // The journal as entries; the uploads and the status queries among them.
  std::vector<JournalEntry> Entries() const;
  std::vector<JournalEntry> Uploads() const;
  std::vector<JournalEntry> StatusQueries() const;
  // The journal as exchanges, oldest first.
  std::vector<Exchange> Exchanges() const;
  // The bytes of an uploaded file, by its journal entry's "sha256" (the platform started with
  // "--keep-uploads").
  std::string UploadedBytes(const JournalEntry& upload) const;

 private:
  std::string dir_;
  int port_ = 0;
  std::unique_ptr<Process> process_;
};

}  // namespace quirada::testing
