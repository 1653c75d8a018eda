// Rules that make the local platform answer chosen documents otherwise than a healthy platform
// would: fail an upload or a status query with an HTTP status, report another result code, accept
// an upload without creating a batch, drop or stall the connection, send a body that is not JSON,
// or kill the client process before or right after answering.
//
// A rule is written "<endpoint>:<document>=<reaction>". The endpoint is "upload", "status" or
// "token". The document is the upload's file name without its ".xml" (the service names its files
// after the digits of the access key), or "*" for every document; a status query is matched
// through the upload that created its batch; a token request names no document, so token rules
// are written "token:*=...". The reactions come from one table (ReactionForms), so a new fault is
// one more row there and one more case where the platform answers.
//
// Among the rules of one endpoint, a rule that names the document beats "*"; among equals the
// later rule wins. A kill rule is spent by the first request it matches (the process it named is
// gone; a second kill could strike a new process given the same number).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quirada::local_platform {

enum class Endpoint { kUpload, kStatus, kToken };

enum class Reaction {
  kHttpStatus,  // answer with `http_status` and a JSON error body
  kCode,        // answer normally, with `code` as the result code
  kHttp200,     // upload only: 200 with a "status" object and no batch
  kDrop,        // close the connection without answering
  kStall,       // keep the connection open without a word until the client gives up
  kNotJson,     // answer normally, with a body that is not JSON
  kNoId,        // upload only: 201 with a "status" object but no "id"
  kKill,        // SIGKILL the client before answering; no answer, no batch
  kKillAfter,   // answer as a healthy platform would, and kill the client right after
  kBatchId,     // upload only: create the batch under the id `code` holds
  kForge,       // upload only: 422 whose body holds a line break and a stamped log line
  kHuge,        // a success status with a body of 100 MB
};

// Whether the reaction ends the client process (and so needs a PID to kill).
bool KillsClient(Reaction reaction);

struct Rule {
  Endpoint endpoint = Endpoint::kUpload;
  std::string document;  // "*" matches every document
  Reaction reaction = Reaction::kCode;
  int http_status = 0;   // kHttpStatus
  std::string code;      // kCode: the result code; kBatchId: the batch id
};

struct ReactionForm {
  std::string_view text;  // the reaction as written; ending in ':' means text follows
  bool upload;            // allowed on "upload:" rules
  bool status;            // allowed on "status:" rules
  bool token;             // allowed on "token:" rules
  Reaction reaction;
  std::string_view meaning;  // for --help
};

// Every reaction written as a word; HTTP statuses and bare status codes are read before them.
const std::vector<ReactionForm>& ReactionForms();

// Parses one rule. Raises quirada::Exception naming the rule and what is wrong with it.
Rule ParseRule(std::string_view text);

// The rule that applies to `document` on `endpoint`, or nullptr.
const Rule* FindRule(const std::vector<Rule>& rules, Endpoint endpoint, std::string_view document);

// Lines describing every rule form, for --help.
std::string RuleFormsHelp();

}  // namespace quirada::local_platform
