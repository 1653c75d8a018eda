#include "tools/platform_rules.h"

#include <cctype>

#include "base/errors.h"

namespace quirada::local_platform {
namespace {

bool IsHttpStatus(std::string_view text, int* status) {
  if (text.size() != 3) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const int value = (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
  if (value < 200 || value > 599) return false;
  *status = value;
  return true;
}

// A bare result code on a status rule: letters and digits only, so that a typo of a word form
// ("dorp") is not silently taken for a code.
bool IsBareCode(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  for (const ReactionForm& form : ReactionForms())
    if (form.text == text) return false;
  return true;
}

}  // namespace

bool KillsClient(Reaction reaction) { return reaction == Reaction::kKill || reaction == Reaction::kKillAfter; }

const std::vector<ReactionForm>& ReactionForms() {
  static const std::vector<ReactionForm> forms = {
      {"code:", true, true, false, Reaction::kCode,
       "answer normally, with this code instead of \"S1\" or \"SA2\""},
      {"http200", true, false, false, Reaction::kHttp200,
       "200 with a \"status\" object, no \"id\": success without a batch"},
      {"noid", true, false, false, Reaction::kNoId, "201 with a \"status\" object but no \"id\""},
      {"notjson", true, true, true, Reaction::kNotJson,
       "the success status with a body that is not JSON"},
      {"drop", true, true, true, Reaction::kDrop, "close the connection without answering"},
      {"stall", true, true, true, Reaction::kStall,
       "say nothing, hold the connection until the client gives up"},
      {"kill", true, true, true, Reaction::kKill,
       "SIGKILL the process of --kill-pid-file, then close without answering"},
      {"killafter", true, true, true, Reaction::kKillAfter,
       "stop that process, answer normally, SIGKILL it right after"},
      {"id:", true, false, false, Reaction::kBatchId, "create the batch under this id"},
      {"forge", true, false, false, Reaction::kForge,
       "422 whose error body holds a line break and a stamped log line"},
      {"huge", true, true, false, Reaction::kHuge, "the success status with a body of 100 MB"},
  };
  return forms;
}

Rule ParseRule(std::string_view text) {
  const auto fail = [&](const std::string& why) -> Rule {
    throw Exception("invalid rule \"" + std::string(text) + "\": " + why);
  };
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return fail("expected <endpoint>:<document>=<reaction>");
  Rule rule;
  const std::string_view endpoint = text.substr(0, colon);
  if (endpoint == "upload") {
    rule.endpoint = Endpoint::kUpload;
  } else if (endpoint == "status") {
    rule.endpoint = Endpoint::kStatus;
  } else if (endpoint == "token") {
    rule.endpoint = Endpoint::kToken;
  } else {
    return fail("the endpoint must be \"upload\", \"status\" or \"token\"");
  }
  const size_t equals = text.find('=', colon + 1);
  if (equals == std::string_view::npos) return fail("expected \"=\" after the document");
  rule.document = std::string(text.substr(colon + 1, equals - colon - 1));
  if (rule.endpoint == Endpoint::kToken && rule.document != "*")
    return fail("a token request names no document: write \"token:*=...\"");
  const std::string_view reaction = text.substr(equals + 1);

  if (IsHttpStatus(reaction, &rule.http_status)) {
    rule.reaction = Reaction::kHttpStatus;
    return rule;
  }
  for (const ReactionForm& form : ReactionForms()) {
    const bool takes_text = form.text.ends_with(':');
    if (takes_text ? !reaction.starts_with(form.text) : reaction != form.text) continue;
    const bool allowed = rule.endpoint == Endpoint::kUpload   ? form.upload
                         : rule.endpoint == Endpoint::kStatus ? form.status
                                                              : form.token;
    if (!allowed)
    {
      // Built by appending: GCC 12 warns falsely (-Wrestrict) on "literal" + string + "literal".
      std::string message(1, '"');
      message += form.text;
      message += "\" does not apply to ";
      message += endpoint;
      return fail(message);
    }
    rule.reaction = form.reaction;
    if (takes_text) rule.code = std::string(reaction.substr(form.text.size()));
    return rule;
  }
  if (rule.endpoint == Endpoint::kStatus && IsBareCode(reaction)) {
    rule.reaction = Reaction::kCode;
    rule.code = std::string(reaction);
    return rule;
  }
  return fail("unknown reaction \"" + std::string(reaction) + "\"");
}

const Rule* FindRule(const std::vector<Rule>& rules, Endpoint endpoint, std::string_view document) {
  const Rule* named = nullptr;
  const Rule* any = nullptr;
  for (const Rule& rule : rules) {
    if (rule.endpoint != endpoint) continue;
    if (rule.document == document) named = &rule;
    else if (rule.document == "*") any = &rule;
  }
  return named != nullptr ? named : any;
}

std::string RuleFormsHelp() {
  std::string out =
      "  <endpoint>:<document>=<reaction>, <endpoint> \"upload\", \"status\" or \"token\", <document>\n"
      "  the upload's file name without \".xml\" (\"\" for a file called \".xml\") or \"*\" for all\n"
      "  (token rules: \"*\" only). A rule naming the document beats \"*\"; among equals the later\n"
      "  one wins; a kill rule is spent by the first request it matches. Reactions:\n"
      "    <200..599>    [upload, status, token] answer with that HTTP status and a JSON error body\n"
      "    <code>        [status] the batch state's \"apiStatus\".\"code\" (letters and digits)\n";
  for (const ReactionForm& form : ReactionForms()) {
    std::string name(form.text);
    if (name.ends_with(':')) name += "<code>";
    name.resize(14, ' ');
    std::string where;
    for (const auto& [allowed, endpoint] : {std::pair{form.upload, "upload"}, {form.status, "status"}, {form.token, "token"}})
      if (allowed) where += (where.empty() ? "[" : ", ") + std::string(endpoint);
    out += "    " + name + where + "] " + std::string(form.meaning) + "\n";
  }
  return out;
}

}  // namespace quirada::local_platform
