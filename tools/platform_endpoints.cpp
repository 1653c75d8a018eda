#include "tools/platform_endpoints.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/errors.h"
#include "base/text.h"
#include "tools/multipart_form.h"

namespace quirada::local_platform {
namespace {

constexpr std::string_view kTokenPath = "/oauth/token";
constexpr std::string_view kBatchesPath = "/quirada/invoice/v3/batches";
constexpr std::string_view kEnablePath = "/quirada/integration/v1/activation/enable";
constexpr std::string_view kInfoPath = "/quirada/integration/v1/activation/info";
constexpr std::string_view kDefaultUploadCode = "S1";
constexpr std::string_view kDefaultStatusCode = "SA2";

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Text from the client goes into JSON as UTF-8 whatever bytes it came in.
std::string Utf8Text(std::string_view bytes) {
  return IsValidUtf8(bytes) ? std::string(bytes) : Latin1ToUtf8(bytes);
}

void Member(Writer& w, const char* name, std::string_view value) {
  w.Key(name);
  const std::string text = Utf8Text(value);
  w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

std::string ErrorBody(std::string_view error, std::string_view message) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Member(w, "error", error);
  Member(w, "message", message);
  w.EndObject();
  return buffer.GetString();
}

void StatusObject(Writer& w, const char* name, std::string_view code, std::string_view message) {
  w.Key(name);
  w.StartObject();
  Member(w, "code", code);
  Member(w, "message", message);
  w.EndObject();
}

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1)
    throw Exception("no random bytes");
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : raw) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

// A version 4 UUID in its 8-4-4-4-12 form.
std::string RandomUuid() {
  std::string hex = RandomHex(16);
  hex[12] = '4';
  hex[16] = "89ab"[(hex[16] - '0') & 3];
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
         "-" + hex.substr(20);
}

std::string Sha256Hex(std::string_view data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), md, &size, EVP_sha256(), nullptr) != 1)
    throw Exception("SHA-256 failed");
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kDigits[md[i] >> 4];
    hex += kDigits[md[i] & 15];
  }
  return hex;
}

std::string Base64(std::string_view data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

std::string TrimmedHeader(const testing::CapturedRequest& request, std::string_view name) {
  const std::string* value = request.Header(name);
  if (value == nullptr) return "";
  std::string_view v = *value;
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return std::string(v);
}

// application/x-www-form-urlencoded: "+" is a blank, "%XY" a byte.
std::string FormDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> ParseForm(std::string_view body) {
  std::map<std::string, std::string> fields;
  while (!body.empty()) {
    const size_t amp = body.find('&');
    const std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    fields.emplace(FormDecode(pair.substr(0, equals)), FormDecode(pair.substr(equals + 1)));
  }
  return fields;
}

std::string_view ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 422: return "Unprocessable Entity";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
  }
}

// Local time with milliseconds and the offset from UTC, e.g. "2025-12-09T14:03:27.045-03:00".
std::string JournalTime() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  std::tm tm{};
  ::localtime_r(&tv.tv_sec, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  char zone[8];
  std::strftime(zone, sizeof zone, "%z", &tm);  // "-0300"
  char out[64];
  std::snprintf(out, sizeof out, "%s.%03ld%.3s:%.2s", stamp, static_cast<long>(tv.tv_usec / 1000), zone, zone + 3);
  return out;
}

// Paths go to the log stream with control characters replaced.
std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}

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

  const std::string batch_prefix = std::string(kBatchesPath) + "/";
  const bool upload = method == "POST" && path == kBatchesPath;
  const bool status = method == "GET" && path.starts_with(batch_prefix) &&
                      path.find('/', batch_prefix.size()) == std::string::npos;
  const bool enable = method == "POST" && path == kEnablePath;
  const bool info = method == "GET" && path == kInfoPath;
  if (!upload && !status && !enable && !info) return Outcome::Error(404, "not_found", "Recurso não encontrado");

  if (!TokenValid(request)) {
    Outcome o = Outcome::Error(401, "unauthorized", "Token de acesso ausente, inválido ou expirado");
    o.headers.push_back({"WWW-Authenticate", "Bearer"});
    return o;
  }
  if (TrimmedHeader(request, "x-integration-key").empty())
    return Outcome::Error(400, "missing_integration_key", "Cabeçalho x-integration-key ausente");

  if (upload) return Upload(request);
  if (status) return BatchState(path.substr(batch_prefix.size()));
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
  const std::string expected = Base64(std::string(kClientId) + ":" + kClientSecret);
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
    case Reaction::kKillAfter: {
      const std::string id = RandomUuid();
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
      break;
    }
    case Reaction::kHttpStatus:
      o = Outcome::Error(rule->http_status, "rejected", "Lote recusado");
      o.fault = "http " + std::to_string(rule->http_status);
      break;
    case Reaction::kHttp200:
      o = status_only(200);
      o.fault = "http200";
      break;
    case Reaction::kNoId:
      o = status_only(201);
      o.fault = "noid";
      break;
    case Reaction::kNotJson:
      o = Outcome::Json(201, "Lote recebido");
      o.fault = "notjson";
      break;
    case Reaction::kDrop:
    case Reaction::kStall:
    case Reaction::kKill:
      o = Outcome::Unanswered(reaction);
      break;
  }
  o.file = file_name;
  o.bytes = file->data.size();
  o.sha256 = Sha256Hex(file->data);
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
      o = Outcome::Error(rule->http_status, "unavailable", "Situação do lote indisponível");
      o.fault = "http " + std::to_string(rule->http_status);
      break;
    case Reaction::kNotJson:
      o = Outcome::Json(200, "Processado");
      o.fault = "notjson";
      break;
    case Reaction::kDrop:
    case Reaction::kStall:
    case Reaction::kKill:
      o = Outcome::Unanswered(reaction);
      break;
    case Reaction::kHttp200:
    case Reaction::kNoId:
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
  w.EndObject();
  std::string line = buffer.GetString();
  line += '\n';

  // One write of the whole line with O_APPEND, so a reader never sees half a line.
  const FileDescriptor fd(::open(settings_.journal_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (fd.get() < 0 || ::write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    std::fprintf(stderr, "cannot write the journal %s: %s\n", settings_.journal_path.c_str(), std::strerror(errno));
}

}  // namespace quirada::local_platform
