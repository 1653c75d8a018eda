// The accounting platform and its authorization server as the local platform plays them: the
// answer to every request the HTTPS server core receives, the tokens and batches issued so far,
// and the record of what was answered.
//
// Endpoints (every answer JSON, "Content-Type: application/json; charset=utf-8"; the paths and
// the credentials are the platform's, platform_client/wire.h):
//   POST kTokenPath                   client-credentials grant with HTTP Basic (kClientID,
//                                     kClientSecret; the form names kAudience)
//   POST kBatchesPath                 multipart upload of the "file[]" part
//   GET  kBatchStatusPath<id>         state of a batch
//   POST kActivationEnablePath        an integration key
//   GET  kActivationInfoPath          the office and client of the activation
// The API endpoints want "Authorization: Bearer <a token issued here, not expired>" (401) and an
// "x-integration-key" header (400). Anything else is 404.
//
// For every request it answers (or drops) it appends one JSON object as a line to the journal and
// prints "<method> <path> <status>" to the log stream; neither ever holds a token or the secret.
// A kill rule ends the process named by the kill PID file before the answer or right after it
// (tools/process_killer.h); when that process cannot be signalled the request is answered 500.
// Handle is called by the core's one serving thread; the object is not meant for two threads.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform_client/wire.h"
#include "testing/https_server_core.h"
#include "tools/platform_rules.h"
#include "tools/process_killer.h"

namespace quirada::local_platform {

struct PlatformSettings {
  std::string journal_path;
  std::vector<Rule> rules;
  int token_lifetime_seconds = 86400;
  std::FILE* log = stdout;  // one line per request; nullptr for none
  std::string kill_pid_file;  // where kill rules find the PID of the process to end
  std::chrono::milliseconds answer_delay{0};  // waited before every answer: a slow platform
  std::string uploads_dir;  // where each uploaded file is kept as <sha256>; "" for nowhere
};

class PlatformEndpoints {
 public:
  explicit PlatformEndpoints(PlatformSettings settings);

  testing::ScriptedAnswer Handle(const testing::CapturedRequest& request);

 private:
  struct Outcome;
  struct Batch {
    std::string document;  // the upload's file name without ".xml"
  };

  Outcome Route(const testing::CapturedRequest& request, const std::string& method, const std::string& path);
  Outcome Token(const testing::CapturedRequest& request);
  Outcome Upload(const testing::CapturedRequest& request);
  Outcome BatchState(const std::string& id);
  bool TokenValid(const testing::CapturedRequest& request) const;
  // The rule for `document` on `endpoint`, taken out of the list when it is a kill rule (spent).
  std::optional<Rule> TakeRule(Endpoint endpoint, const std::string& document);
  void Record(const std::string& method, const std::string& path, const Outcome& outcome);

  PlatformSettings settings_;
  std::map<std::string, std::chrono::steady_clock::time_point> tokens_;  // token -> expiry
  std::map<std::string, Batch> batches_;                                 // batch id -> batch
  DeferredKills kills_after_answer_;
};

}  // namespace quirada::local_platform
