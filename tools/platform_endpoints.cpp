#include "tools/platform_endpoints.h"

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <thread>

#include "base/errors.h"
#include "base/file_io.h"
#include "testing/test_files.h"
#include "tools/multipart_form.h"
#include "tools/platform_text.h"

namespace quirada::local_platform {
namespace {

constexpr std::string_view kDefaultUploadCode = "S1";
constexpr std::string_view kDefaultStatusCode = "SA2";

}  // namespace

struct PlatformEndpoints::Outcome {
  int status = 0;
  testing::ScriptedAnswer::Kind kind = testing::ScriptedAnswer::Kind::kRespond;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string fault;  // how the answer departs from a healthy platform's, when a rule made it
  enum class Kill { kNone, kBeforeAnswer, kAfterAnswer };
  Kill kill = Kill::kNone;
  // What the journal tells about an upload or a status query.
  std::optional<std::string> file;
  uint64_t bytes = 0;
  std::string sha256;
  std::optional<std::string> batch;
  std::optional<std::string> code;
  // Whose upload it was: the SHA-256 of its x-integration-key (the key itself is not journalled).
  std::optional<std::string> key_sha256;

  static Outcome Json(int status, std::string body) {
    Outcome o;
    o.status = status;
    o.body = std::move(body);
    return o;
  }
  static Outcome Error(int status, std::string_view error, std::string_view message) {
    return Json(status, ErrorBody(error, message));
  }
  // No answer at all: the connection dropped, held open, or the client killed first.
  static Outcome Unanswered(Reaction reaction) {
    Outcome o;
    o.kind = reaction == Reaction::kStall ? testing::ScriptedAnswer::Kind::kStall
                                          : testing::ScriptedAnswer::Kind::kCloseWithoutAnswer;
    o.fault = reaction == Reaction::kStall ? "stall" : reaction == Reaction::kDrop ? "drop" : "kill";
    if (reaction == Reaction::kKill) o.kill = Kill::kBeforeAnswer;
    return o;
  }
  // The faults that uploads and status queries play alike: an error status (`error`, `message`), a
  // body that is not JSON (`not_json_status`, `not_json_body`), or no answer at all.
  static Outcome Fault(const Rule& rule, std::string_view error, std::string_view message,
                       int not_json_status, std::string not_json_body) {
    switch (rule.reaction) {
      case Reaction::kHttpStatus: {
        Outcome o = Error(rule.http_status, error, message);
        o.fault = "http " + std::to_string(rule.http_status);
        return o;
      }
      case Reaction::kNotJson: {
        Outcome o = Json(not_json_status, std::move(not_json_body));
        o.fault = "notjson";
        return o;
      }
      case Reaction::kHuge: {
        Outcome o = Json(not_json_status, std::string(100 * 1024 * 1024, 'x'));
        o.fault = "huge";
        return o;
      }
      default:
        return Unanswered(rule.reaction);
    }
  }
  // The healthy answer goes out, and the client dies right after it.
  void KilledAfterAnswer() {
    fault = "killafter";
    kill = Kill::kAfterAnswer;
  }
};

PlatformEndpoints::PlatformEndpoints(PlatformSettings settings) : settings_(std::move(settings)) {}

testing::ScriptedAnswer PlatformEndpoints::Handle(const testing::CapturedRequest& request) {
  const std::string& line = request.request_line;
  const size_t first = line.find(' ');
  const size_t second = first == std::string::npos ? std::string::npos : line.find(' ', first + 1);
  const std::string method = line.substr(0, first);
  std::string path = first == std::string::npos ? "" : line.substr(first + 1, second - first - 1);

  if (settings_.answer_delay.count() > 0) std::this_thread::sleep_for(settings_.answer_delay);
  Outcome outcome;
  try {
    outcome = Route(request, method, path.substr(0, path.find('?')));
  } catch (const std::exception& e) {
    outcome = Outcome::Error(500, "internal_error", e.what());
  }
  // A process that is to die after the answer is stopped before it, so it never acts on it.
  pid_t victim = 0;
  if (outcome.kill != Outcome::Kill::kNone) {
    try {
      victim = ReadKillPid(settings_.kill_pid_file);
      if (outcome.kill == Outcome::Kill::kBeforeAnswer)
        KillNow(victim);
      else
        StopNow(victim);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s rule not carried out: %s\n", outcome.fault.c_str(), e.what());
      outcome = Outcome::Error(500, "kill_failed", e.what());
      victim = 0;
    }
  }
  Record(method, path, outcome);

  testing::ScriptedAnswer answer;
  answer.kind = outcome.kind;
  if (outcome.kind == testing::ScriptedAnswer::Kind::kRespond) {
    std::vector<std::pair<std::string, std::string>> headers = {
        {"Content-Type", "application/json; charset=utf-8"}};
    headers.insert(headers.end(), outcome.headers.begin(), outcome.headers.end());
    answer.bytes = testing::FormatAnswer(
        "HTTP/1.1 " + std::to_string(outcome.status) + " " + std::string(ReasonPhrase(outcome.status)), headers,
        outcome.body);
  }
  if (victim != 0) kills_after_answer_.KillSoon(victim);
  return answer;
}

PlatformEndpoints::Outcome PlatformEndpoints::Route(const testing::CapturedRequest& request,
                                                    const std::string& method, const std::string& path) {
  if (path == kTokenPath && method == "POST") return Token(request);

  const std::string batch_prefix = kBatchStatusPath;
  const bool upload = method == "POST" && path == kBatchesPath;
  const bool status = method == "GET" && path.starts_with(batch_prefix) &&
                      path.find('/', batch_prefix.size()) == std::string::npos;
  const bool enable = method == "POST" && path == kActivationEnablePath;
  const bool info = method == "GET" && path == kActivationInfoPath;
  if (!upload && !status && !enable && !info) return Outcome::Error(404, "not_found", "Recurso não encontrado");

  if (!TokenValid(request)) {
    Outcome o = Outcome::Error(401, "unauthorized", "Token de acesso ausente, inválido ou expirado");
    o.headers.push_back({"WWW-Authenticate", "Bearer"});
    return o;
  }
  if (TrimmedHeader(request, "x-integration-key").empty())
    return Outcome::Error(400, "missing_integration_key", "Cabeçalho x-integration-key ausente");

  if (upload) {
    Outcome o = Upload(request);
    o.key_sha256 = testing::Sha256Hex(TrimmedHeader(request, "x-integration-key"));
    return o;
  }
  if (status) return BatchState(PercentDecode(path.substr(batch_prefix.size())));
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  if (enable) {
    Member(w, "integrationKey", RandomUuid());
  } else {
    Member(w, "accountantOfficeNationalIdentity", "12345678000190");
    Member(w, "accountantOfficeName", "Escritório Contábil Demonstração");
    Member(w, "clientNationalIdentity", "98765432000110");
    Member(w, "clientName", "Comércio Exemplo Ltda");
  }
  w.EndObject();
  return Outcome::Json(200, buffer.GetString());
}

PlatformEndpoints::Outcome PlatformEndpoints::Token(const testing::CapturedRequest& request) {
  const std::string authorization = TrimmedHeader(request, "Authorization");
  const std::string expected = Base64(std::string(kClientID) + ":" + kClientSecret);
  if (!StartsWithNoCase(authorization, "Basic ") || authorization.substr(6) != expected) {
    Outcome o = Outcome::Error(401, "invalid_client", "Credenciais do cliente inválidas");
    o.headers.push_back({"WWW-Authenticate", "Basic realm=\"quirada\""});
    return o;
  }
  const std::map<std::string, std::string> form = ParseForm(request.body);
  const auto field = [&](const char* name) {
    const auto it = form.find(name);
    return it == form.end() ? std::string() : it->second;
  };
  if (field("grant_type") != "client_credentials")
    return Outcome::Error(401, "unsupported_grant_type", "Somente client_credentials é aceito");
  if (field("audience") != kAudience) return Outcome::Error(401, "invalid_audience", "Audiência desconhecida");

  const std::optional<Rule> rule = TakeRule(Endpoint::kToken, "*");
  const Reaction reaction = rule ? rule->reaction : Reaction::kCode;
  switch (reaction) {
    case Reaction::kHttpStatus: {
      Outcome o = Outcome::Error(rule->http_status, "unavailable", "Servidor de autorização indisponível");
      o.fault = "http " + std::to_string(rule->http_status);
      return o;
    }
    case Reaction::kNotJson: {
      Outcome o = Outcome::Json(200, "Token emitido");
      o.fault = "notjson";
      return o;
    }
    case Reaction::kDrop:
    case Reaction::kStall:
    case Reaction::kKill:
      return Outcome::Unanswered(reaction);
    case Reaction::kCode:
    case Reaction::kKillAfter:
      break;
    case Reaction::kHttp200:
    case Reaction::kNoId:
    case Reaction::kBatchId:
    case Reaction::kForge:
    case Reaction::kHuge:
      throw Exception("an upload-only rule reached a token request");  // ParseRule refuses these
  }

  const auto now = std::chrono::steady_clock::now();
  std::erase_if(tokens_, [&](const auto& entry) { return entry.second <= now; });
  const std::string token = RandomHex(32);
  tokens_[token] = now + std::chrono::seconds(settings_.token_lifetime_seconds);

  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Member(w, "access_token", token);
  Member(w, "token_type", "Bearer");
  w.Key("expires_in");
  w.Int(settings_.token_lifetime_seconds);
  w.EndObject();
  Outcome o = Outcome::Json(200, buffer.GetString());
  if (reaction == Reaction::kKillAfter) o.KilledAfterAnswer();
  return o;
}

std::optional<Rule> PlatformEndpoints::TakeRule(Endpoint endpoint, const std::string& document) {
  const Rule* rule = FindRule(settings_.rules, endpoint, document);
  if (rule == nullptr) return std::nullopt;
  Rule taken = *rule;
  if (KillsClient(taken.reaction)) settings_.rules.erase(settings_.rules.begin() + (rule - settings_.rules.data()));
  return taken;
}

bool PlatformEndpoints::TokenValid(const testing::CapturedRequest& request) const {
  const std::string authorization = TrimmedHeader(request, "Authorization");
  if (!StartsWithNoCase(authorization, "Bearer ")) return false;
  const auto it = tokens_.find(authorization.substr(7));
  return it != tokens_.end() && std::chrono::steady_clock::now() < it->second;
}

PlatformEndpoints::Outcome PlatformEndpoints::Upload(const testing::CapturedRequest& request) {
  std::vector<FormPart> parts;
  try {
    parts = ParseMultipartForm(TrimmedHeader(request, "Content-Type"), request.body);
  } catch (const Exception& e) {
    return Outcome::Error(400, "invalid_multipart", std::string("Corpo multipart inválido: ") + e.what());
  }
  const FormPart* file = nullptr;
  for (const FormPart& part : parts) {
    if (part.name == "file[]") {
      file = &part;
      break;
    }
  }
  if (file == nullptr) return Outcome::Error(400, "missing_file", "O formulário não traz a parte \"file[]\"");

  const std::string file_name = file->filename.value_or("");
  std::string document = file_name;
  if (document.ends_with(".xml")) document.resize(document.size() - 4);

  Outcome o;
  const std::optional<Rule> rule = TakeRule(Endpoint::kUpload, document);
  const Reaction reaction = rule ? rule->reaction : Reaction::kCode;
  const std::string code = rule && reaction == Reaction::kCode ? rule->code : std::string(kDefaultUploadCode);
  const auto status_only = [&](int http_status) {
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    StatusObject(w, "status", code, "Lote recebido");
    w.EndObject();
    Outcome out = Outcome::Json(http_status, buffer.GetString());
    out.code = code;
    return out;
  };
  switch (reaction) {
    case Reaction::kCode:
    case Reaction::kKillAfter:
    case Reaction::kBatchId: {
      const std::string id = reaction == Reaction::kBatchId ? rule->code : RandomUuid();
      batches_[id] = Batch{document};
      rapidjson::StringBuffer buffer;
      Writer w(buffer);
      w.StartObject();
      Member(w, "id", id);
      StatusObject(w, "status", code, "Lote recebido");
      w.EndObject();
      o = Outcome::Json(201, buffer.GetString());
      o.batch = id;
      o.code = code;
      if (reaction == Reaction::kKillAfter) o.KilledAfterAnswer();
      if (reaction == Reaction::kBatchId) o.fault = "id";
      break;
    }
    case Reaction::kForge:
      // Raw text: a JSON body would carry the line break escaped.
      o = Outcome::Json(422, "Lote recusado\r\n09/12/2025 14:05:33 - linha forjada");
      o.fault = "forge";
      break;
    case Reaction::kHttp200:
      o = status_only(200);
      o.fault = "http200";
      break;
    case Reaction::kNoId:
      o = status_only(201);
      o.fault = "noid";
      break;
    case Reaction::kHttpStatus:
    case Reaction::kNotJson:
    case Reaction::kDrop:
    case Reaction::kStall:
    case Reaction::kKill:
    case Reaction::kHuge:
      o = Outcome::Fault(*rule, "rejected", "Lote recusado", 201, "Lote recebido");
      break;
  }
  o.file = file_name;
  o.bytes = file->data.size();
  o.sha256 = testing::Sha256Hex(file->data);
  if (!settings_.uploads_dir.empty()) {
    try {
      ReplaceFile(settings_.uploads_dir + o.sha256, file->data, 0644);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "cannot keep the upload: %s\n", e.what());
    }
  }
  return o;
}

PlatformEndpoints::Outcome PlatformEndpoints::BatchState(const std::string& id) {
  const auto batch = batches_.find(id);
  if (batch == batches_.end()) {
    Outcome o = Outcome::Error(404, "batch_not_found", "Lote não encontrado");
    o.batch = id;
    return o;
  }
  Outcome o;
  const std::optional<Rule> rule = TakeRule(Endpoint::kStatus, batch->second.document);
  const Reaction reaction = rule ? rule->reaction : Reaction::kCode;
  switch (reaction) {
    case Reaction::kCode:
    case Reaction::kKillAfter: {
      const std::string code = rule && reaction == Reaction::kCode ? rule->code : std::string(kDefaultStatusCode);
      rapidjson::StringBuffer buffer;
      Writer w(buffer);
      w.StartObject();
      Member(w, "id", id);
      w.Key("filesExpanded");
      w.StartArray();
      w.StartObject();
      StatusObject(w, "apiStatus", code, code == kDefaultStatusCode ? "Processado" : "Situação " + code);
      w.EndObject();
      w.EndArray();
      w.EndObject();
      o = Outcome::Json(200, buffer.GetString());
      o.code = code;
      if (reaction == Reaction::kKillAfter) o.KilledAfterAnswer();
      break;
    }
    case Reaction::kHttpStatus:
    case Reaction::kNotJson:
    case Reaction::kDrop:
    case Reaction::kStall:
    case Reaction::kKill:
    case Reaction::kHuge:
      o = Outcome::Fault(*rule, "unavailable", "Situação do lote indisponível", 200, "Processado");
      break;
    case Reaction::kHttp200:
    case Reaction::kNoId:
    case Reaction::kBatchId:
    case Reaction::kForge:
      throw Exception("an upload-only rule reached a status query");  // ParseRule refuses these
  }
  o.batch = id;
  return o;
}

void PlatformEndpoints::Record(const std::string& method, const std::string& path, const Outcome& outcome) {
  const bool answered = outcome.kind == testing::ScriptedAnswer::Kind::kRespond;
  if (settings_.log != nullptr) {
    const std::string status = answered ? std::to_string(outcome.status)
                                        : outcome.fault + " (no answer)";
    std::fprintf(settings_.log, "%s %s %s\n", Printable(method).c_str(), Printable(path).c_str(), status.c_str());
    std::fflush(settings_.log);
  }

  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Member(w, "time", JournalTime());
  Member(w, "method", method);
  Member(w, "path", path);
  w.Key("status");
  w.Int(answered ? outcome.status : 0);
  if (!outcome.fault.empty()) Member(w, "fault", outcome.fault);
  if (outcome.file) {
    Member(w, "file", *outcome.file);
    w.Key("bytes");
    w.Uint64(outcome.bytes);
    Member(w, "sha256", outcome.sha256);
  }
  if (outcome.batch) Member(w, "batch", *outcome.batch);
  if (outcome.code) Member(w, "code", *outcome.code);
  if (outcome.key_sha256) Member(w, "integration_key_sha256", *outcome.key_sha256);
  w.EndObject();
  std::string line = buffer.GetString();
  line += '\n';

  // One write of the whole line in append mode, so a reader never sees half a line.
  try {
    AppendToFile(settings_.journal_path, line, 0644);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot write the journal: %s\n", e.what());
  }
}

}  // namespace quirada::local_platform
