// The local platform program, run as a child process on a folder of its own and driven over real
// TLS with libcurl, trusting the CA certificate it wrote.
#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "platform_client/wire.h"
#include "testing/test_files.h"

using quirada::testing::ReadFileBytes;

namespace quirada::local_platform {
namespace {

namespace fs = std::filesystem;

const std::string kTokenForm = std::string("grant_type=client_credentials&audience=") + kAudience;
constexpr char kKey[] = "x-integration-key: chave-de-integracao";

rapidjson::Document ParseJson(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError()) ADD_FAILURE() << "not JSON: " << text;
  return doc;
}

std::string Sha256Hex(const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), md, &size, EVP_sha256(), nullptr);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(two, sizeof two, "%02x", md[i]);
    hex += two;
  }
  return hex;
}

// Whether `text` has the shape of `pattern`: 'D' a digit, 'H' a lower-case hexadecimal digit,
// 'S' a sign, 'V' one of "89ab", any other character itself.
bool HasShape(std::string_view text, std::string_view pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool ok = pattern[i] == 'D'   ? (c >= '0' && c <= '9')
                    : pattern[i] == 'H' ? ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))
                    : pattern[i] == 'S' ? (c == '+' || c == '-')
                    : pattern[i] == 'V' ? std::string_view("89ab").find(c) != std::string_view::npos
                                        : c == pattern[i];
    if (!ok) return false;
  }
  return true;
}

struct ExitResult {
  int status = -1;
  std::string out;
  std::string err;
};

// A temporary folder, removed with its content.
class TempFolder {
 public:
  TempFolder() {
    std::string tmpl = (fs::temp_directory_path() / "quirada-lp-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Starts the program with `args`, standard output and error going to files in `folder`.
pid_t Spawn(const std::vector<std::string>& args, const fs::path& folder) {
  const std::string out = (folder / "stdout.txt").string(), err = (folder / "stderr.txt").string();
  std::vector<std::string> all = {QUIRADA_LOCAL_PLATFORM};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0) ::_exit(127);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid < 0) throw std::runtime_error("fork failed");
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ExitResult RunToEnd(const std::vector<std::string>& args) {
  TempFolder folder;
  ExitResult result;
  result.status = WaitExit(Spawn(args, folder.path()));
  result.out = ReadFileBytes(folder.path() / "stdout.txt");
  result.err = ReadFileBytes(folder.path() / "stderr.txt");
  return result;
}

// The platform running on a folder of its own until Stop (or the end of the object).
class Platform {
 public:
  explicit Platform(std::vector<std::string> extra_args = {}) {
    std::vector<std::string> args = {"--dir", dir().string()};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    pid_ = Spawn(args, folder_.path());
    // Ready once the port file appears; a program that ends first has failed to start.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < give_up) {
      const std::string port = ReadFileBytes(dir() / "port");
      if (!port.empty() && port.back() == '\n') {
        port_ = std::stoi(port);
        return;
      }
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("the platform ended at start: " + ReadFileBytes(folder_.path() / "stderr.txt"));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    throw std::runtime_error("the platform wrote no port file");
  }
  // A platform still running is stopped as an operator stops it, and must end cleanly (the
  // sanitizers' findings at exit would show in its exit status).
  ~Platform() {
    if (pid_ > 0) {
      EXPECT_EQ(Stop(), 0) << ReadFileBytes(folder_.path() / "stderr.txt");
    }
  }
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  fs::path dir() const { return folder_.path() / "platform"; }
  std::string Url(const std::string& path) const { return "https://localhost:" + std::to_string(port_) + path; }
  std::string CaFile() const { return (dir() / "ca.pem").string(); }
  std::string Out() const { return ReadFileBytes(folder_.path() / "stdout.txt"); }

  int Stop(int signo = SIGTERM) {
    ::kill(pid_, signo);
    const int status = WaitExit(pid_);
    pid_ = -1;
    return status;
  }

  std::vector<rapidjson::Document> Journal() const {
    std::vector<rapidjson::Document> lines;
    std::istringstream in(ReadFileBytes(dir() / "journal.jsonl"));
    for (std::string line; std::getline(in, line);) lines.push_back(ParseJson(line));
    return lines;
  }

 private:
  TempFolder folder_;
  pid_t pid_ = -1;
  int port_ = 0;
};

struct Answer {
  CURLcode error = CURLE_OK;
  long status = 0;
  std::string body;
  std::string content_type;
};

struct CurlFree {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistFree {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t Collect(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

Answer Send(const Platform& platform, const std::string& method, const std::string& path,
            const std::vector<std::string>& headers, const std::optional<std::string>& body = std::nullopt,
            const std::optional<std::string>& basic_user_password = std::nullopt) {
  std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
  std::unique_ptr<curl_slist, SlistFree> list;
  for (const std::string& h : headers) list.reset(curl_slist_append(list.release(), h.c_str()));
  list.reset(curl_slist_append(list.release(), "Expect:"));
  Answer answer;
  const std::string url = platform.Url(path), ca = platform.CaFile();
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_CAINFO, ca.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);  // a safety net only: every answer comes at once
  if (method == "POST") {
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    const std::string& data = body ? *body : std::string();
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(data.size()));
    curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, data.c_str());
  }
  if (basic_user_password) {
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(c, CURLOPT_USERPWD, basic_user_password->c_str());
  }
  answer.error = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &answer.status);
  char* type = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr) answer.content_type = type;
  return answer;
}

std::string Credentials() { return std::string(kClientID) + ":" + kClientSecret; }

std::string TakeToken(const Platform& platform) {
  const Answer answer = Send(platform, "POST", kTokenPath, {}, kTokenForm, Credentials());
  EXPECT_EQ(answer.status, 200) << answer.body;
  const rapidjson::Document doc = ParseJson(answer.body);
  return doc.IsObject() && doc.HasMember("access_token") ? doc["access_token"].GetString() : "";
}

// A multipart body laid out as the service lays out its uploads.
std::string UploadBody(const std::string& file_name, const std::string& data) {
  return "----------121225140327045\r\n"
         "Content-Disposition: form-data; name=\"file[]\"; filename=\"" + file_name + "\"\r\n"
         "Content-Type: application/xml\r\n"
         "Content-Transfer-Encoding: binary\r\n"
         "\r\n" + data + "\r\n"
         "----------121225140327045\r\n"
         "Content-Disposition: form-data; name=\"query\"\r\n"
         "Content-Type: application/json; charset=\"UTF-8\"\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n"
         "\r\n"
         "{\"boxe/File\": true}\r\n"
         "----------121225140327045--\r\n";
}
constexpr char kUploadType[] = "Content-Type: multipart/form-data; boundary=--------121225140327045; charset=utf-8";

Answer Upload(const Platform& platform, const std::string& token, const std::string& file_name,
              const std::string& data = "<nfeProc/>\r\n") {
  return Send(platform, "POST", kBatchesPath, {kUploadType, kKey, "Authorization: Bearer " + token},
              UploadBody(file_name, data));
}

Answer Status(const Platform& platform, const std::string& token, const std::string& id) {
  return Send(platform, "GET", std::string(kBatchStatusPath) + id, {kKey, "Authorization: Bearer " + token});
}

std::string Text(const rapidjson::Value& object, const char* name) {
  return object.IsObject() && object.HasMember(name) && object[name].IsString() ? object[name].GetString()
                                                                               : "<absent>";
}

TEST(LocalPlatform, IssuesTokensOnlyForTheServiceCredentialsAndGrant) {
  Platform platform({"--token-lifetime", "3600"});
  struct Case {
    std::optional<std::string> user_password;
    std::string form;
    long status;
  };
  const std::string other_audience = "grant_type=client_credentials&audience=00000000-0000-0000-0000-000000000000";
  const Case cases[] = {
      {Credentials(), kTokenForm, 200},
      {std::string(kClientID) + ":wrong-secret", kTokenForm, 401},
      {std::string("someone-else:") + kClientSecret, kTokenForm, 401},
      {std::nullopt, kTokenForm, 401},
      {Credentials(), "grant_type=password&audience=7c2e5a13-8b4d-4f60-9e21-3d7b6c8a0f45", 401},
      {Credentials(), other_audience, 401},
      {Credentials(), "grant_type=client_credentials", 401},
  };
  std::vector<std::string> tokens;
  for (const Case& c : cases) {
    const Answer answer = Send(platform, "POST", kTokenPath, {}, c.form, c.user_password);
    SCOPED_TRACE(c.form);
    EXPECT_EQ(answer.status, c.status) << answer.body;
    EXPECT_EQ(answer.content_type, "application/json; charset=utf-8");
    const rapidjson::Document doc = ParseJson(answer.body);
    ASSERT_TRUE(doc.IsObject());
    if (c.status == 200) {
      EXPECT_EQ(Text(doc, "token_type"), "Bearer");
      ASSERT_TRUE(doc.HasMember("expires_in") && doc["expires_in"].IsInt());
      EXPECT_EQ(doc["expires_in"].GetInt(), 3600);
      tokens.push_back(Text(doc, "access_token"));
    } else {
      EXPECT_FALSE(doc.HasMember("access_token"));
    }
  }
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_GE(tokens[0].size(), 32u);
  EXPECT_NE(TakeToken(platform), tokens[0]) << "every grant issues a new token";

  const std::string out = platform.Out();
  EXPECT_NE(out.find(std::string("POST ") + kTokenPath + " 200\n"), std::string::npos) << out;
  EXPECT_NE(out.find(std::string("POST ") + kTokenPath + " 401\n"), std::string::npos) << out;
  EXPECT_EQ(out.find(tokens[0]), std::string::npos);
  EXPECT_EQ(out.find(kClientSecret), std::string::npos);
  EXPECT_EQ(ReadFileBytes(platform.dir() / "journal.jsonl").find(tokens[0]), std::string::npos);
}

TEST(LocalPlatform, CreatesABatchForAnUploadAndReportsItProcessed) {
  Platform platform;
  const std::string token = TakeToken(platform);
  const std::string xml = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><nfeProc><xNome>Pe\xe7" "as "
                          "S\xe3o Jo\xe3o</xNome></nfeProc>\r\n";
  const std::string file = "35251112345678000190550010000000011000000019.xml";

  const Answer upload = Upload(platform, token, file, xml);
  EXPECT_EQ(upload.status, 201) << upload.body;
  EXPECT_EQ(upload.content_type, "application/json; charset=utf-8");
  const rapidjson::Document created = ParseJson(upload.body);
  ASSERT_TRUE(created.IsObject() && created.HasMember("status"));
  const std::string id = Text(created, "id");
  EXPECT_FALSE(id.empty());
  EXPECT_EQ(Text(created["status"], "code"), "S1");
  EXPECT_EQ(Text(created["status"], "message"), "Lote recebido");

  const Answer status = Status(platform, token, id);
  EXPECT_EQ(status.status, 200) << status.body;
  const rapidjson::Document state = ParseJson(status.body);
  ASSERT_TRUE(state.IsObject() && state.HasMember("filesExpanded") && state["filesExpanded"].IsArray());
  ASSERT_EQ(state["filesExpanded"].Size(), 1u);
  const rapidjson::Value& api_status = state["filesExpanded"][0]["apiStatus"];
  EXPECT_EQ(Text(api_status, "code"), "SA2");
  EXPECT_EQ(Text(api_status, "message"), "Processado");

  const std::vector<rapidjson::Document> journal = platform.Journal();
  ASSERT_EQ(journal.size(), 3u);
  for (const rapidjson::Document& line : journal)
    EXPECT_TRUE(HasShape(Text(line, "time"), "DDDD-DD-DDTDD:DD:DD.DDDSDD:DD")) << Text(line, "time");
  EXPECT_EQ(Text(journal[0], "path"), kTokenPath);
  const rapidjson::Document& sent = journal[1];
  EXPECT_EQ(Text(sent, "method"), "POST");
  EXPECT_EQ(Text(sent, "path"), kBatchesPath);
  EXPECT_EQ(sent["status"].GetInt(), 201);
  EXPECT_EQ(Text(sent, "file"), file);
  EXPECT_EQ(sent["bytes"].GetUint64(), xml.size());
  EXPECT_EQ(Text(sent, "sha256"), Sha256Hex(xml));
  EXPECT_EQ(Text(sent, "batch"), id);
  EXPECT_EQ(Text(sent, "code"), "S1");
  EXPECT_FALSE(sent.HasMember("fault"));
  const rapidjson::Document& asked = journal[2];
  EXPECT_EQ(Text(asked, "method"), "GET");
  EXPECT_EQ(Text(asked, "path"), std::string(kBatchStatusPath) + id);
  EXPECT_EQ(asked["status"].GetInt(), 200);
  EXPECT_EQ(Text(asked, "batch"), id);
  EXPECT_EQ(Text(asked, "code"), "SA2");
  EXPECT_FALSE(asked.HasMember("file"));

  EXPECT_NE(platform.Out().find(std::string("GET ") + kBatchStatusPath + id + " 200\n"), std::string::npos);
}

TEST(LocalPlatform, WantsAnIssuedTokenAndAnIntegrationKeyOnEveryApiEndpoint) {
  Platform platform;
  const std::string token = TakeToken(platform);
  const Answer created = Upload(platform, token, "1.xml");
  const std::string id = Text(ParseJson(created.body), "id");
  struct Endpoint {
    std::string method, path;
    std::vector<std::string> headers;
    std::optional<std::string> body;
    long healthy;
  };
  const Endpoint endpoints[] = {
      {"POST", kBatchesPath, {kUploadType}, UploadBody("2.xml", "<a/>"), 201},
      {"GET", std::string(kBatchStatusPath) + id, {}, std::nullopt, 200},
      {"POST", kActivationEnablePath, {}, "", 200},
      {"GET", kActivationInfoPath, {}, std::nullopt, 200},
  };
  struct Credential {
    std::string authorization;
    bool key;
    long status;  // 0: the endpoint's healthy status
  };
  const Credential credentials[] = {
      {"", true, 401},
      {"Authorization: Bearer " + std::string(64, 'a'), true, 401},
      {"Authorization: Basic " + token, true, 401},
      {"Authorization: Bearer " + token, false, 400},
      {"Authorization: Bearer " + token, true, 0},
  };
  for (const Endpoint& e : endpoints) {
    for (const Credential& c : credentials) {
      SCOPED_TRACE(e.method + " " + e.path + " / " + c.authorization + (c.key ? " with key" : " without key"));
      std::vector<std::string> headers = e.headers;
      if (!c.authorization.empty()) headers.push_back(c.authorization);
      if (c.key) headers.push_back(kKey);
      const Answer answer = Send(platform, e.method, e.path, headers, e.body);
      EXPECT_EQ(answer.status, c.status ? c.status : e.healthy) << answer.body;
      EXPECT_TRUE(ParseJson(answer.body).IsObject());
    }
  }
}

TEST(LocalPlatform, HonoursATokenOnlyForItsLifetime) {
  Platform platform({"--token-lifetime", "0"});
  const Answer token = Send(platform, "POST", kTokenPath, {}, kTokenForm, Credentials());
  ASSERT_EQ(token.status, 200);
  EXPECT_EQ(ParseJson(token.body)["expires_in"].GetInt(), 0);
  EXPECT_EQ(Upload(platform, Text(ParseJson(token.body), "access_token"), "1.xml").status, 401);
}

TEST(LocalPlatform, AnswersTheActivationEndpoints) {
  Platform platform;
  const std::string token = TakeToken(platform);
  const std::vector<std::string> headers = {kKey, "Authorization: Bearer " + token};
  const Answer first = Send(platform, "POST", kActivationEnablePath, headers, "");
  const Answer second = Send(platform, "POST", kActivationEnablePath, headers, "");
  ASSERT_EQ(first.status, 200);
  const std::string key = Text(ParseJson(first.body), "integrationKey");
  EXPECT_TRUE(HasShape(key, "HHHHHHHH-HHHH-4HHH-VHHH-HHHHHHHHHHHH")) << key;
  EXPECT_NE(Text(ParseJson(second.body), "integrationKey"), key);

  const Answer info = Send(platform, "GET", kActivationInfoPath, headers);
  ASSERT_EQ(info.status, 200);
  const rapidjson::Document doc = ParseJson(info.body);
  EXPECT_EQ(Text(doc, "accountantOfficeNationalIdentity"), "12345678000190");
  EXPECT_EQ(Text(doc, "accountantOfficeName"), "Escrit\xc3\xb3rio Cont\xc3\xa1" "bil Demonstra\xc3\xa7\xc3\xa3o");
  EXPECT_EQ(Text(doc, "clientNationalIdentity"), "98765432000110");
  EXPECT_EQ(Text(doc, "clientName"), "Com\xc3\xa9rcio Exemplo Ltda");
}

TEST(LocalPlatform, AnswersMalformedUploadsUnknownBatchesAndUnknownPathsWithJsonErrors) {
  Platform platform;
  const std::string token = TakeToken(platform);
  const std::string bearer = "Authorization: Bearer " + token;
  const std::string whole = UploadBody("1.xml", "<a/>");
  const std::string no_file = "--b\r\nContent-Disposition: form-data; name=\"query\"\r\n\r\n{}\r\n--b--\r\n";
  struct Case {
    std::string what, method, path;
    std::vector<std::string> headers;
    std::optional<std::string> body;
    long status;
  };
  const Case cases[] = {
      {"no closing delimiter", "POST", kBatchesPath, {kUploadType}, whole.substr(0, whole.size() - 40), 400},
      {"another boundary", "POST", kBatchesPath, {"Content-Type: multipart/form-data; boundary=xyz"}, whole, 400},
      {"no boundary", "POST", kBatchesPath, {"Content-Type: multipart/form-data"}, whole, 400},
      {"not multipart", "POST", kBatchesPath, {"Content-Type: application/xml"}, "<a/>", 400},
      {"no file part", "POST", kBatchesPath, {"Content-Type: multipart/form-data; boundary=b"}, no_file, 400},
      {"a part without a blank line", "POST", kBatchesPath, {"Content-Type: multipart/form-data; boundary=b"},
       "--b\r\nContent-Disposition: form-data; name=\"file[]\"\r\n--b--\r\n", 400},
      {"unknown batch", "GET", std::string(kBatchesPath) + "/no-such-batch", {}, std::nullopt, 404},
      {"empty batch id", "GET", std::string(kBatchStatusPath), {}, std::nullopt, 404},
      {"unknown path", "GET", "/quirada/invoice/v2/batches", {}, std::nullopt, 404},
      {"wrong method", "GET", kBatchesPath, {}, std::nullopt, 404},
      {"token by GET", "GET", kTokenPath, {}, std::nullopt, 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> headers = c.headers;
    headers.push_back(kKey);
    headers.push_back(bearer);
    const Answer answer = Send(platform, c.method, c.path, headers, c.body);
    EXPECT_EQ(answer.status, c.status) << answer.body;
    const rapidjson::Document doc = ParseJson(answer.body);
    EXPECT_TRUE(doc.IsObject() && doc.HasMember("error") && doc.HasMember("message")) << answer.body;
  }
  const std::vector<rapidjson::Document> journal = platform.Journal();
  ASSERT_EQ(journal.size(), 1 + std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(journal[i + 1]["status"].GetInt(), cases[i].status);
  EXPECT_EQ(Text(journal[7], "batch"), "no-such-batch");
}

TEST(LocalPlatform, AnswersEachDocumentAsItsRuleSays) {
  Platform platform({"--rule", "upload:1001=400", "--rule", "upload:1002=code:E0", "--rule=upload:1003=http200",
                     "--rule", "upload:1004=drop", "--rule", "status:1005=EA0", "--rule", "status:1006=503",
                     "--rule", "upload:=403", "--rule", "upload:1007=noid", "--rule", "upload:1008=notjson",
                     "--rule", "status:1009=drop", "--rule", "status:1010=code:10"});
  const std::string token = TakeToken(platform);
  struct Case {
    std::string file;
    long upload_status;      // 0: no answer
    std::string upload_code;  // "<absent>" when the answer has no status object
    bool batch;
    std::string fault;       // in the upload's journal line
    long status_status;      // of the status query, when a batch was created; 0: no answer
    std::string status_code;
  };
  const Case cases[] = {
      {"1000.xml", 201, "S1", true, "", 200, "SA2"},
      {"1001.xml", 400, "<absent>", false, "http 400", 0, ""},
      {"1002.xml", 201, "E0", true, "", 200, "SA2"},
      {"1003.xml", 200, "S1", false, "http200", 0, ""},
      {"1004.xml", 0, "", false, "drop", 0, ""},
      {"1005.xml", 201, "S1", true, "", 200, "EA0"},
      {"1006.xml", 201, "S1", true, "", 503, "<absent>"},
      {".xml", 403, "<absent>", false, "http 403", 0, ""},
      {"1007.xml", 201, "S1", false, "noid", 0, ""},
      {"1008.xml", 201, "", false, "notjson", 0, ""},
      {"1009.xml", 201, "S1", true, "", 0, ""},
      {"1010.xml", 201, "S1", true, "", 200, "10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Answer upload = Upload(platform, token, c.file);
    EXPECT_EQ(upload.status, c.upload_status) << upload.body;
    if (c.upload_status == 0) {
      EXPECT_NE(upload.error, CURLE_OK);
    }
    std::string id;
    if (c.fault == "notjson") {
      EXPECT_EQ(upload.body, "Lote recebido");
    } else if (c.upload_status != 0) {
      const rapidjson::Document doc = ParseJson(upload.body);
      ASSERT_TRUE(doc.IsObject());
      EXPECT_EQ(doc.HasMember("status") ? Text(doc["status"], "code") : "<absent>", c.upload_code);
      EXPECT_EQ(doc.HasMember("id"), c.batch);
      id = Text(doc, "id");
    }
    const rapidjson::Document sent = std::move(platform.Journal().back());
    EXPECT_EQ(Text(sent, "file"), c.file);
    EXPECT_EQ(sent["status"].GetInt(), c.upload_status);
    EXPECT_EQ(sent.HasMember("fault") ? Text(sent, "fault") : "", c.fault);
    EXPECT_EQ(sent.HasMember("batch"), c.batch);
    if (!c.batch) continue;

    const Answer status = Status(platform, token, id);
    EXPECT_EQ(status.status, c.status_status) << status.body;
    if (c.status_status == 200) {
      const rapidjson::Document doc = ParseJson(status.body);
      EXPECT_EQ(Text(doc["filesExpanded"][0]["apiStatus"], "code"), c.status_code);
    } else if (c.status_status != 0) {
      EXPECT_FALSE(ParseJson(status.body).HasMember("filesExpanded"));
    }
    const rapidjson::Document asked = std::move(platform.Journal().back());
    EXPECT_EQ(Text(asked, "batch"), id);
    EXPECT_EQ(asked["status"].GetInt(), c.status_status);
  }
}

TEST(LocalPlatform, LetsARuleNamingTheDocumentBeatTheWildcard) {
  Platform platform({"--rule", "upload:2002=code:E0", "--rule", "upload:*=code:S2", "--rule", "status:*=EB0",
                     "--rule", "status:*=EA0"});
  const std::string token = TakeToken(platform);
  const rapidjson::Document any = ParseJson(Upload(platform, token, "2001.xml").body);
  const rapidjson::Document named = ParseJson(Upload(platform, token, "2002.xml").body);
  EXPECT_EQ(Text(any["status"], "code"), "S2");
  EXPECT_EQ(Text(named["status"], "code"), "E0");
  const rapidjson::Document state = ParseJson(Status(platform, token, Text(any, "id")).body);
  EXPECT_EQ(Text(state["filesExpanded"][0]["apiStatus"], "code"), "EA0") << "the later of two equal rules wins";
}

TEST(LocalPlatform, StopsOnSigtermOrSigintAndRemovesItsPortFile) {
  for (int signo : {SIGTERM, SIGINT}) {
    Platform platform;
    EXPECT_EQ(ReadFileBytes(platform.CaFile()).rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
    EXPECT_EQ(platform.Stop(signo), 0);
    EXPECT_FALSE(fs::exists(platform.dir() / "port"));
    EXPECT_TRUE(fs::exists(platform.CaFile()));
  }
}

TEST(LocalPlatform, RefusesABadCommandLineAndExplainsItsRules) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{}, "--dir is required"},
      {{"--dir"}, "--dir wants a value"},
      {{"--dir", "/tmp/x", "--rule", "upload:1=dorp"}, "unknown reaction \"dorp\""},
      {{"--dir", "/tmp/x", "--rule", "status:1=http200"}, "\"http200\" does not apply to status"},
      {{"--dir", "/tmp/x", "--rule", "upload:1=E0"}, "unknown reaction \"E0\""},
      {{"--dir", "/tmp/x", "--rule", "batch:1=400"}, "the endpoint must be"},
      {{"--dir", "/tmp/x", "--rule", "upload:1"}, "expected \"=\""},
      {{"--dir", "/tmp/x", "--port", "http"}, "--port wants a number"},
      {{"--dir", "/tmp/x", "--port", "70000"}, "--port must be at most 65535"},
      {{"--dir", "/tmp/x", "--token-lifetime", "-5"}, "--token-lifetime wants a number"},
      {{"--dir", "/tmp/x", "--verbose"}, "unknown argument \"--verbose\""},
      {{"--dir", "/tmp/x", "--rule", "upload:1=kill"}, "a kill rule needs --kill-pid-file"},
      {{"--dir", "/tmp/x", "--rule", "status:*=killafter"}, "a kill rule needs --kill-pid-file"},
      {{"--dir", "/tmp/x", "--kill-pid-file"}, "--kill-pid-file wants a value"},
      {{"--dir", "/tmp/x", "--rule", "token:1=kill"}, "a token request names no document"},
      {{"--dir", "/tmp/x", "--rule", "token:*=code:S1"}, "\"code:\" does not apply to token"},
      {{"--dir", "/tmp/x", "--rule", "token:*=noid"}, "\"noid\" does not apply to token"},
  };
  for (const Case& c : cases) {
    const ExitResult result = RunToEnd(c.args);
    SCOPED_TRACE(c.message);
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  }
  const ExitResult help = RunToEnd({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* form : {"--dir DIR", "code:<code>", "http200", "drop", "stall", "notjson", "noid", "kill ",
                           "killafter", "--kill-pid-file FILE", "[upload, status, token]"})
    EXPECT_NE(help.out.find(form), std::string::npos) << form;
}

// A process for the kill rules to end: "sleep" started by the test, its PID written to a file.
class Victim {
 public:
  explicit Victim(const fs::path& pid_file) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl("/bin/sleep", "sleep", "120", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid_ < 0) throw std::runtime_error("fork failed");
    std::ofstream(pid_file) << pid_ << "\n";
  }
  ~Victim() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Victim(const Victim&) = delete;
  Victim& operator=(const Victim&) = delete;

  // The state letter of its one thread: 'R' running, 'S' asleep, 'T' stopped, 'Z' dead and not
  // yet reaped.
  char State() const {
    const std::string stat = ReadFileBytes("/proc/" + std::to_string(pid_) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
  }
  // Waits for its end: 128 + the signal that ended it, or its exit status; -1 when it is still
  // there after a minute (a kill that never came).
  int WaitEnd() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < give_up) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
};

// Each kill rule ends the process of the PID file at its moment: "kill" before any answer (the
// request stays unanswered, an upload creates no batch), "killafter" once the healthy answer is on
// its way, the process being stopped before it. Either rule is spent by its first request.
TEST(LocalPlatform, KillRulesEndTheProcessOfThePidFileBeforeOrAfterAnswering) {
  struct Case {
    std::string rule;
    std::string request;  // "upload", "status" or "token"
    long answered;        // the HTTP status the client gets; 0: none
    bool batch;           // the journal line names a batch
  };
  const Case cases[] = {
      {"upload:4001=kill", "upload", 0, false},
      {"upload:*=killafter", "upload", 201, true},
      {"status:4001=kill", "status", 0, true},
      {"status:4001=killafter", "status", 200, true},
      {"token:*=kill", "token", 0, false},
      {"token:*=killafter", "token", 200, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    TempFolder scratch;
    const fs::path pid_file = scratch.path() / "service.pid";
    Platform platform({"--rule", c.rule, "--kill-pid-file", pid_file.string()});
    // The token and the batch the status query needs are obtained before the victim exists (a
    // token rule would be spent by the first of them, so its case takes none).
    const std::string token = c.request == "token" ? "" : TakeToken(platform);
    const std::string batch = c.request == "status" ? Text(ParseJson(Upload(platform, token, "4001.xml").body), "id") : "";
    Victim victim(pid_file);
    // Alive and not stopped: running, sleeping, or waiting on the disk of a busy machine.
    const char before = victim.State();
    ASSERT_TRUE(before == 'R' || before == 'S' || before == 'D') << before;

    const auto send = [&] {
      if (c.request == "upload") return Upload(platform, token, "4001.xml");
      if (c.request == "status") return Status(platform, token, batch);
      return Send(platform, "POST", kTokenPath, {}, kTokenForm, Credentials());
    };
    const Answer answer = send();
    EXPECT_EQ(answer.status, c.answered) << answer.body;
    if (c.answered == 0) {
      EXPECT_NE(answer.error, CURLE_OK);
    } else {
      // Stopped before the answer left, so it was never running once the answer could be read.
      const char state = victim.State();
      EXPECT_TRUE(state == 'T' || state == 'Z') << state;
    }
    EXPECT_EQ(victim.WaitEnd(), 128 + SIGKILL);

    const rapidjson::Document line = std::move(platform.Journal().back());
    EXPECT_EQ(line["status"].GetInt(), c.answered);
    EXPECT_EQ(Text(line, "fault"), c.answered == 0 ? "kill" : "killafter");
    EXPECT_EQ(line.HasMember("batch"), c.batch);

    // Spent: the same request again is answered as a healthy platform answers it, and the PID
    // file, which names a process that is gone, is not read again.
    const Answer again = send();
    EXPECT_EQ(again.status, c.request == "upload" ? 201 : 200) << again.body;
    EXPECT_FALSE(platform.Journal().back().HasMember("fault"));
  }
}

// An upload killed before the answer created no batch; one killed after it did, and its state can
// be asked for.
TEST(LocalPlatform, AnUploadKilledAfterTheAnswerHasABatchAndOneKilledBeforeHasNone) {
  TempFolder scratch;
  const fs::path pid_file = scratch.path() / "service.pid";
  Platform platform({"--rule", "upload:5001=kill", "--rule", "upload:5002=killafter", "--kill-pid-file",
                     pid_file.string()});
  const std::string token = TakeToken(platform);
  for (const char* file : {"5001.xml", "5002.xml"}) {
    Victim victim(pid_file);
    Upload(platform, token, file);
    EXPECT_EQ(victim.WaitEnd(), 128 + SIGKILL) << file;
  }
  const std::vector<rapidjson::Document> journal = platform.Journal();
  ASSERT_EQ(journal.size(), 3u);
  EXPECT_FALSE(journal[1].HasMember("batch"));
  EXPECT_EQ(Text(journal[1], "file"), "5001.xml");
  const std::string id = Text(journal[2], "batch");
  EXPECT_EQ(Text(journal[2], "code"), "S1");
  const Answer state = Status(platform, token, id);
  EXPECT_EQ(state.status, 200);
  EXPECT_EQ(Text(ParseJson(state.body)["filesExpanded"][0]["apiStatus"], "code"), "SA2");
}

// A PID file that is missing, empty, or names no process the platform may end: the rule is not
// carried out, the request is answered 500 and the reason goes to standard error.
TEST(LocalPlatform, RefusesToKillWhatThePidFileDoesNotNameSafely) {
  struct Case {
    std::optional<std::string> content;  // nothing: no file
    std::string reason;
  };
  const Case cases[] = {
      {std::nullopt, "cannot read the kill PID file"},
      {"", "does not hold a process number"},
      {"-1\n", "does not hold a process number"},
      {"12ab\n", "does not hold a process number"},
      {"0\n", "which is never killed"},
      {"1\n", "which is never killed"},
      {"999999999\n", "cannot signal process 999999999"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.value_or("<no file>"));
    TempFolder scratch;
    const fs::path pid_file = scratch.path() / "service.pid";
    if (c.content) std::ofstream(pid_file) << *c.content;
    Platform platform({"--rule", "upload:*=kill", "--kill-pid-file", pid_file.string()});
    const Answer answer = Upload(platform, TakeToken(platform), "6001.xml");
    EXPECT_EQ(answer.status, 500) << answer.body;
    EXPECT_EQ(Text(ParseJson(answer.body), "error"), "kill_failed");
    EXPECT_NE(Text(ParseJson(answer.body), "message").find(c.reason), std::string::npos) << answer.body;
    EXPECT_NE(ReadFileBytes(platform.dir().parent_path() / "stderr.txt").find(c.reason), std::string::npos);
  }
}

TEST(LocalPlatform, AnswersTokenRequestsAsTheirRuleSays) {
  struct Case {
    std::string rule;
    long status;  // 0: no answer
    bool json;
  };
  const Case cases[] = {{"token:*=503", 503, true}, {"token:*=drop", 0, false}, {"token:*=notjson", 200, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    Platform platform({"--rule", c.rule});
    const Answer answer = Send(platform, "POST", kTokenPath, {}, kTokenForm, Credentials());
    EXPECT_EQ(answer.status, c.status);
    rapidjson::Document doc;
    doc.Parse(answer.body.c_str());
    EXPECT_EQ(!doc.HasParseError() && doc.IsObject(), c.json) << answer.body;
    EXPECT_FALSE(answer.body.find("access_token") != std::string::npos);
  }
}

}  // namespace
}  // namespace quirada::local_platform
