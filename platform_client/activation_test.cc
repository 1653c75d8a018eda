#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform_client/Quirada.h"
#include "testing/https_server_core.h"
#include "testing/client_test_fixture.h"
#include "testing/https_test_server.h"
#include "testing/test_ca.h"
#include "base/datetime.h"
#include "base/errors.h"
#include "testing/test_files.h"

using quirada::testing::ReadFileBytes;
using quirada::testing::WriteFileBytes;
using quirada::testing::FailureOf;

namespace quirada {
namespace {

namespace fs = std::filesystem;
using testing::CapturedRequest;
using testing::FormatAnswer;
using testing::HttpsServerCore;
using testing::ScriptedAnswer;
using testing::TestCertificateAuthority;
using testing::TestHttpsServer;
using testing::Report;
using testing::kUserAgentLine;

using Headers = std::vector<std::pair<std::string, std::string>>;

const Headers kJsonUtf8 = {{"Content-Type", "application/json; charset=utf-8"}};
const Headers kJsonNoCharset = {{"Content-Type", "application/json"}};

// The four members of an activation, all strings, in UTF-8.
const char kInfoBody[] =
    R"({"accountantOfficeNationalIdentity":"11222333000181",)"
    R"("accountantOfficeName":"Escrit\u00f3rio Cont\u00e1bil S\u00e3o Jos\u00e9",)"
    R"("clientNationalIdentity":"44555666000199","clientName":"Padaria P\u00e3o Quente"})";

std::string ExpiredTokenFile(const std::string& token) {
  const TDateTime expiry = IncMinute(Now(), -1);
  return "access_token=" + token + "\r\ndata=" + DateToStr(Date()) +
         "\r\nhora=" + TimeToStr(expiry) + "\r\nExpiraData=" + DateTimeToStr(expiry) + "\r\n";
}

// What an earlier operation left in a result record; the activation operations must keep the
// fields they do not write.
TRetornoPadrao EarlierRetorno() {
  TRetornoPadrao r;
  r.Codigo = 7;
  r.CodRetorno = "S1";
  r.Mensagem = "earlier message";
  r.Status = "earlier status";
  r.Id = "batch-0";
  return r;
}

TKeyClient EarlierKeyCliente() {
  TKeyClient k;
  k.Retorno = EarlierRetorno();
  k.CNPJContabilidade = "old office id";
  k.NomeContabilidade = "old office";
  k.CNPJCliente = "old client id";
  k.NomeCliente = "old client";
  return k;
}

// A component pointed at one scripted HTTPS server playing both the API host and the authorization
// server, with a token folder of its own holding a token ("TKN") valid for another hour, and a
// recorder for the handler's reports.
class ActivationTest : public testing::ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    q_.setKeyContabilidade("KC-1");
  }

  void PointAt(const std::string& url, const std::string& ca_file) {
    q_.SetApiUrl(url);
    q_.SetAuthUrl(url);
    q_.SetCAFile(ca_file);
  }
};

// ---------------------------------------------------------------------------------------------
// GetKeyIntegracao

TEST_F(ActivationTest, EnablementSendsAnEmptyHttp10PostWithTheOfficeKey) {
  for (const std::string key : {"KC-1", ""}) {
    SCOPED_TRACE("key '" + key + "'");
    q_.setKeyContabilidade(key);
    q_.setIntegrationKey("INTEGRATION-KEY-NOT-SENT");
    server_.RespondJson("HTTP/1.1 200 OK", R"({"integrationKey":"K1"})");
    q_.GetKeyIntegracao();
    EXPECT_EQ(server_.Requests().back().Raw(),
              "POST /quirada/integration/v1/activation/enable HTTP/1.0\r\n"
              "Connection: Keep-Alive\r\n"
              "Content-Type: */*; charset=utf-8\r\n"
              "Content-Length: 0\r\n" +
                  (key.empty() ? "" : "x-integration-key: " + key + "\r\n") +
                  "Authorization: Bearer TKN\r\n"
                  "Host: localhost:" +
                  std::to_string(server_.port()) +
                  "\r\n"
                  "Accept-Encoding: gzip, deflate, br\r\n" +
                  kUserAgentLine + "\r\n");
  }
}

TEST_F(ActivationTest, EnablementStoresTheKeyAsTextAndMakesTheStatusFill) {
  const struct {
    const char* what;
    const char* status_line;
    Headers headers;
    std::string body;
    std::string key;
  } cases[] = {
      {"a string", "HTTP/1.1 200 OK", kJsonUtf8, R"({"integrationKey": "K1"})", "K1"},
      {"any 2xx status", "HTTP/1.1 201 Created", kJsonUtf8, R"({"x":[1],"integrationKey":"K2"})",
       "K2"},
      {"null", "HTTP/1.1 200 OK", kJsonUtf8, R"({"integrationKey":null})", "null"},
      {"an object", "HTTP/1.1 200 OK", kJsonUtf8, R"({"integrationKey":{"a":"b"}})", ""},
      {"an array", "HTTP/1.1 200 OK", kJsonUtf8, R"({"integrationKey":["a"]})", ""},
      {"a number as written", "HTTP/1.1 200 OK", kJsonUtf8,
       R"({"integrationKey":12345678901234567890.50})", "12345678901234567890.50"},
      {"true", "HTTP/1.1 200 OK", kJsonUtf8, R"({"integrationKey":true})", "true"},
      {"the first of two", "HTTP/1.1 200 OK", kJsonUtf8,
       R"({"integrationKey":"A","integrationKey":"B"})", "A"},
      {"white space around", "HTTP/1.0 200 Fine", kJsonUtf8,
       " \r\n\t{\"integrationKey\":\"K3\"}\n ", "K3"},
      {"Latin-1 without a charset", "HTTP/1.1 200 OK", kJsonNoCharset,
       "{\"integrationKey\":\"ch\xE1ve\"}", "ch\xC3\xA1ve"},
      {"the charset the answer names",
       "HTTP/1.1 200 OK",
       {{"Content-Type", "application/json; charset=UTF-8"}},
       "{\"integrationKey\":\"ch\xC3\xA1ve\"}",
       "ch\xC3\xA1ve"},
  };
  RecordReports();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    q_.Retorno = EarlierRetorno();
    q_.setIntegrationKey("OLD");
    server_.Respond(c.status_line, c.headers, c.body);
    const size_t before = server_.RequestCount();

    const TRetornoPadrao result = q_.GetKeyIntegracao();

    EXPECT_EQ(q_.IntegrationKey(), c.key);
    TRetornoPadrao expected = EarlierRetorno();
    expected.Codigo = std::stoi(std::string(c.status_line).substr(9, 3));
    expected.Mensagem = c.status_line;
    EXPECT_EQ(q_.Retorno, expected);
    EXPECT_EQ(result, expected);
    ASSERT_NE(q_.Response(), nullptr);
    EXPECT_TRUE(q_.Response()->IsObject());
    // The token was still valid: the enablement is the only request.
    EXPECT_EQ(server_.RequestCount() - before, 1u);
  }
  EXPECT_EQ(reports_, std::vector<Report>{});
}

TEST_F(ActivationTest, EnablementFailuresKeepTheKeyAndSkipTheTokenReading) {
  const char kAnyMessage[] = "*";
  const struct {
    const char* what;
    std::function<void(TestHttpsServer&)> answer;
    std::string message;
    int codigo;
    std::string mensagem;
    bool token_file_removed;
    bool response_is_null;
  } cases[] = {
      {"no integrationKey member",
       [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 200 OK", R"({"IntegrationKey":"K"})"); },
       "Value 'integrationKey' not found", 200, "HTTP/1.1 200 OK", false, false},
      {"a body that is not JSON",
       [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 200 OK", "K1"); },
       "Value 'integrationKey' not found", 200, "HTTP/1.1 200 OK", false, true},
      {"an empty body", [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 204 No Content", ""); },
       "Value 'integrationKey' not found", 204, "HTTP/1.1 204 No Content", false, true},
      {"JSON that is no object",
       [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 200 OK", R"([{"integrationKey":"K"}])"); },
       "Invalid class typecast", 200, "HTTP/1.1 200 OK", false, false},
      {"403 with a JSON body",
       [](TestHttpsServer& s) {
         s.RespondJson("HTTP/1.1 403 Forbidden",
                       R"({"message":"Chave da contabilidade inv\u00e1lida"})");
       },
       R"({"message":"Chave da contabilidade inv\u00e1lida"})", 403,
       R"({"message":"Chave da contabilidade inv\u00e1lida"})", false, false},
      {"500 with a Latin-1 text body",
       [](TestHttpsServer& s) {
         s.Respond("HTTP/1.1 500 Internal Server Error", {{"Content-Type", "text/plain"}},
                   "Falha n\xE3o esperada");
       },
       "Falha n\xC3\xA3o esperada", 500, "Falha n\xC3\xA3o esperada", false, false},
      {"a redirect",
       [](TestHttpsServer& s) {
         s.Respond("HTTP/1.1 302 Found", {{"Location", "https://localhost/elsewhere"}}, "moved");
       },
       "moved", 302, "moved", false, false},
      {"401: the rejected token is dropped",
       [](TestHttpsServer& s) {
         s.RespondJson("HTTP/1.1 401 Unauthorized", R"({"error":"invalid_token"})");
       },
       R"({"error":"invalid_token"})", 401, R"({"error":"invalid_token"})", true, false},
      {"no answer at all", [](TestHttpsServer& s) { s.CloseWithoutAnswer(); }, kAnyMessage, -1, "",
       false, false},
  };
  RecordReports();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // A token reading after the exchange would replace IntegrationKey with this line's value.
    const std::string token_file = ValidTokenFile("TKN") + "integrationKey=FROM-FILE\r\n";
    WriteFileBytes(TokenPath(), token_file);
    q_.Retorno = EarlierRetorno();
    q_.setIntegrationKey("OLD");
    c.answer(server_);
    const size_t before = server_.RequestCount();
    const int connections_before = server_.ConnectionCount();

    const std::string message = FailureOf([&] { q_.GetKeyIntegracao(); });

    if (c.message == kAnyMessage) {
      EXPECT_NE(message, "no failure");
      EXPECT_FALSE(message.empty());
    } else {
      EXPECT_EQ(message, c.message);
    }
    EXPECT_EQ(q_.IntegrationKey(), "OLD");
    TRetornoPadrao expected = EarlierRetorno();
    expected.Codigo = c.codigo;
    expected.Mensagem = c.mensagem;
    EXPECT_EQ(q_.Retorno, expected);
    EXPECT_EQ(q_.Response() == nullptr, c.response_is_null);
    EXPECT_EQ(server_.ConnectionCount() - connections_before, 1);
    EXPECT_EQ(server_.RequestCount() - before, 1u);
    if (c.token_file_removed) {
      EXPECT_FALSE(fs::exists(TokenPath()));
    } else {
      EXPECT_EQ(ReadFileBytes(TokenPath()), token_file);
    }
  }
  EXPECT_EQ(reports_, std::vector<Report>{});
}

TEST_F(ActivationTest, AfterASuccessfulEnablementTheTokenFileIsReadWithAllItsKeys) {
  WriteFileBytes(TokenPath(), ValidTokenFile("TKN") + "integrationKey=FROM-FILE\r\naudience=other\r\n");
  server_.RespondJson("HTTP/1.1 200 OK", R"({"integrationKey":"K1"})");
  const TRetornoPadrao result = q_.GetKeyIntegracao();
  // The key just received is replaced by the file's; the result still shows the exchange.
  EXPECT_EQ(q_.IntegrationKey(), "FROM-FILE");
  EXPECT_EQ(q_.audience(), "other");
  EXPECT_EQ(result.Codigo, 200);
  EXPECT_EQ(server_.RequestCount(), 1u);
}

// A server that runs a step of the test's own for each request, in order, before answering it;
// past the last step it answers 500.
class SteppedServer {
 public:
  using Step = std::function<ScriptedAnswer(const CapturedRequest&)>;

  SteppedServer(const fs::path& ca_file, std::vector<Step> steps)
      : ca_("Quirada Activation Test CA"), ca_file_(ca_file), steps_(std::move(steps)) {
    WriteFileBytes(ca_file_, ca_.CertificatePem());
    core_ = std::make_unique<HttpsServerCore>(
        ca_.IssueServerIdentity({"localhost"}, {"127.0.0.1"}),
        [this](const CapturedRequest& request) {
          std::lock_guard<std::mutex> lock(mutex_);
          if (next_ < steps_.size()) return steps_[next_++](request);
          return ScriptedAnswer{ScriptedAnswer::Kind::kRespond,
                                FormatAnswer("HTTP/1.1 500 No answer scripted", {}, "")};
        },
        HttpsServerCore::Options{});
  }

  std::string Url() const { return "https://localhost:" + std::to_string(core_->port()); }
  std::vector<std::string> RequestLines() const {
    std::vector<std::string> lines;
    for (const CapturedRequest& r : core_->Requests()) lines.push_back(r.request_line);
    return lines;
  }

 private:
  TestCertificateAuthority ca_;
  fs::path ca_file_;
  std::mutex mutex_;
  std::vector<Step> steps_;
  size_t next_ = 0;
  std::unique_ptr<HttpsServerCore> core_;
};

ScriptedAnswer Json(const char* status_line, const std::string& body) {
  return {ScriptedAnswer::Kind::kRespond,
          FormatAnswer(status_line, {{"Content-Type", "application/json; charset=utf-8"}}, body)};
}

TEST_F(ActivationTest, TheTokenReadingAfterASuccessfulEnablementCanStillFailTheCall) {
  const std::string kEnable = "POST /quirada/integration/v1/activation/enable HTTP/1.0";
  const std::string kToken = "POST /oauth/token HTTP/1.0";
  const struct {
    const char* what;
    // The token file as it is when the enablement's answer goes out.
    std::function<std::string()> file_meanwhile;
    std::optional<ScriptedAnswer> token_answer;
    std::string failure;
    std::vector<std::string> request_lines;
    std::string access_token;
  } cases[] = {
      {"the token expired and the authorization server fails",
       [] { return ExpiredTokenFile("TKN"); },
       Json("HTTP/1.1 503 Service Unavailable", "{}"),
       "HTTP/1.1 503 Service Unavailable",
       {kEnable, kToken},
       "TKN"},
      {"the token file no longer reads",
       [] { return std::string("access_token=TKN\r\nExpiraData=never\r\n"); },
       std::nullopt,
       "'never' is not a valid date and time",
       {kEnable},
       "TKN"},
      {"the token expired and is renewed",
       [] { return ExpiredTokenFile("TKN"); },
       Json("HTTP/1.1 200 OK", R"({"access_token":"RENEWED"})"),
       "no failure",
       {kEnable, kToken},
       "RENEWED"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileBytes(TokenPath(), ValidTokenFile("TKN"));
    std::vector<SteppedServer::Step> steps = {[&](const CapturedRequest&) {
      WriteFileBytes(TokenPath(), c.file_meanwhile());
      return Json("HTTP/1.1 200 OK", R"({"integrationKey":"NEW"})");
    }};
    if (c.token_answer) steps.push_back([&](const CapturedRequest&) { return *c.token_answer; });
    SteppedServer server(dir_ / "stepped-ca.pem", std::move(steps));
    PointAt(server.Url(), (dir_ / "stepped-ca.pem").string());
    q_.setIntegrationKey("OLD");

    EXPECT_EQ(FailureOf([&] { q_.GetKeyIntegracao(); }), c.failure);
    EXPECT_EQ(q_.IntegrationKey(), "NEW");
    EXPECT_EQ(q_.AccessToken(), c.access_token);
    EXPECT_EQ(server.RequestLines(), c.request_lines);
  }
}

// ---------------------------------------------------------------------------------------------
// Both operations

TEST_F(ActivationTest, AFailingTokenCheckSendsNothingAndChangesNothing) {
  const struct {
    const char* what;
    std::function<void(TDTQuirada&)> call;
  } operations[] = {
      {"GetKeyIntegracao", [](TDTQuirada& q) { q.GetKeyIntegracao(); }},
      {"VerificarKeyCliente", [](TDTQuirada& q) { q.VerificarKeyCliente(); }},
  };
  RecordReports();
  for (const auto& op : operations) {
    SCOPED_TRACE(op.what);
    WriteFileBytes(TokenPath(), "access_token=TKN\r\nExpiraData=32/13/2024 10:00:00\r\n");
    q_.Retorno = EarlierRetorno();
    q_.KeyCliente = EarlierKeyCliente();
    q_.setIntegrationKey("OLD");

    EXPECT_EQ(FailureOf([&] { op.call(q_); }),
              "'32/13/2024 10:00:00' is not a valid date and time");
    EXPECT_EQ(server_.ConnectionCount(), 0);
    EXPECT_EQ(q_.Retorno, EarlierRetorno());
    EXPECT_EQ(q_.KeyCliente, EarlierKeyCliente());
    EXPECT_EQ(q_.IntegrationKey(), "OLD");
  }
  EXPECT_EQ(reports_, std::vector<Report>{});
}

// ---------------------------------------------------------------------------------------------
// VerificarKeyCliente

TEST_F(ActivationTest, ActivationInfoSendsAGetWithTheOfficeKey) {
  for (const std::string key : {"KC-1", ""}) {
    SCOPED_TRACE("key '" + key + "'");
    q_.setKeyContabilidade(key);
    q_.setIntegrationKey("INTEGRATION-KEY-NOT-SENT");
    server_.RespondJson("HTTP/1.1 200 OK", kInfoBody);
    q_.VerificarKeyCliente();
    EXPECT_EQ(server_.Requests().back().Raw(),
              "GET /quirada/integration/v1/activation/info HTTP/1.1\r\n"
              "Connection: Keep-Alive\r\n"
              "Content-Type: application/json; charset=utf-8\r\n" +
                  (key.empty() ? "" : "x-integration-key: " + key + "\r\n") +
                  "Authorization: Bearer TKN\r\n"
                  "Host: localhost:" +
                  std::to_string(server_.port()) +
                  "\r\n"
                  "Accept: application/json\r\n"
                  "Accept-Charset: utf-8\r\n" +
                  kUserAgentLine + "\r\n");
  }
}

TEST_F(ActivationTest, ActivationInfoFillsKeyClienteAndLeavesRetornoAlone) {
  const struct {
    const char* what;
    const char* status_line;
    Headers headers;
    std::string body;
    TKeyClient fields;
    std::optional<std::string> text = std::nullopt;  // the body as decoded, when it differs
  } cases[] = {
      {"four strings",
       "HTTP/1.1 200 OK",
       kJsonUtf8,
       kInfoBody,
       {{},
        "11222333000181",
        "Escrit\xC3\xB3rio Cont\xC3\xA1"
        "bil S\xC3\xA3o Jos\xC3\xA9",
        "44555666000199",
        "Padaria P\xC3\xA3o Quente"}},
      {"accented UTF-8 without a charset",
       "HTTP/1.1 200 OK",
       kJsonNoCharset,
       "{\"accountantOfficeNationalIdentity\":\"1\",\"accountantOfficeName\":\"Contabilidade "
       "Concei\xC3\xA7\xC3\xA3o\","
       "\"clientNationalIdentity\":\"2\",\"clientName\":\"A\xC3\xA7o\"}",
       {{}, "1", "Contabilidade Concei\xC3\xA7\xC3\xA3o", "2", "A\xC3\xA7o"}},
      {"Latin-1 named by the answer",
       "HTTP/1.1 200 OK",
       {{"Content-Type", "application/json; charset=ISO-8859-1"}},
       "{\"accountantOfficeNationalIdentity\":\"1\",\"accountantOfficeName\":\"S\xE3o\","
       "\"clientNationalIdentity\":\"2\",\"clientName\":\"J\xE9\"}",
       {{}, "1", "S\xC3\xA3o", "2", "J\xC3\xA9"},
       "{\"accountantOfficeNationalIdentity\":\"1\",\"accountantOfficeName\":\"S\xC3\xA3o\","
       "\"clientNationalIdentity\":\"2\",\"clientName\":\"J\xC3\xA9\"}"},
      {"null national identity, numbers and booleans",
       "HTTP/1.1 203 Non-Authoritative Information",
       kJsonUtf8,
       R"({"accountantOfficeNationalIdentity":11222333000181,"accountantOfficeName":true,)"
       R"("clientNationalIdentity":null,"clientName":1.50e2})",
       {{}, "11222333000181", "true", "", "1.50e2"}},
      {"first occurrences, other members and white space",
       "HTTP/1.1 200 OK",
       kJsonUtf8,
       " {\"extra\":{\"a\":[]},\"accountantOfficeNationalIdentity\":\"A\","
       "\"accountantOfficeNationalIdentity\":\"B\","
       "\"accountantOfficeName\":false,\"clientNationalIdentity\":\"C\",\"clientName\":\"D\"}\r\n",
       {{}, "A", "false", "C", "D"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    q_.Retorno = EarlierRetorno();
    q_.KeyCliente = EarlierKeyCliente();
    server_.Respond(c.status_line, c.headers, c.body);
    const size_t before = server_.RequestCount();

    const TKeyClient result = q_.VerificarKeyCliente();

    TKeyClient expected = c.fields;
    expected.Retorno = EarlierRetorno();
    expected.Retorno.Codigo = std::stoi(std::string(c.status_line).substr(9, 3));
    expected.Retorno.Mensagem = c.text.value_or(c.body);
    EXPECT_EQ(q_.KeyCliente, expected);
    EXPECT_EQ(result, expected);
    EXPECT_EQ(q_.Retorno, EarlierRetorno());
    ASSERT_NE(q_.Response(), nullptr);
    EXPECT_TRUE(q_.Response()->IsObject());
    EXPECT_EQ(server_.RequestCount() - before, 1u);
  }
}

TEST_F(ActivationTest, ActivationInfoFailuresRaiseTheMessageAndKeepWhatWasNotRead) {
  const std::string kComplete =
      R"({"accountantOfficeNationalIdentity":"n1","accountantOfficeName":"n2",)"
      R"("clientNationalIdentity":"n3","clientName":"n4"})";
  const struct {
    const char* what;
    const char* status_line;
    std::string body;
    std::string message;
    int fields_read;  // how many of the four fields take new values, in order
    bool token_file_removed;
  } cases[] = {
      {"clientName missing", "HTTP/1.1 200 OK",
       R"({"accountantOfficeNationalIdentity":"n1","accountantOfficeName":"n2",)"
       R"("clientNationalIdentity":"n3"})",
       "Value 'clientName' not found", 3, false},
      {"a name in another letter case", "HTTP/1.1 200 OK",
       R"({"AccountantOfficeNationalIdentity":"n1","accountantOfficeName":"n2",)"
       R"("clientNationalIdentity":"n3","clientName":"n4"})",
       "Value 'accountantOfficeNationalIdentity' not found", 0, false},
      {"an empty body", "HTTP/1.1 200 OK", "", "Value 'accountantOfficeNationalIdentity' not found",
       0, false},
      {"a body that is not JSON", "HTTP/1.1 200 OK", "<html>ok</html>",
       "Value 'accountantOfficeNationalIdentity' not found", 0, false},
      {"JSON that is no object", "HTTP/1.1 200 OK", "[" + kComplete + "]", "Invalid class typecast",
       0, false},
      {"an object member", "HTTP/1.1 200 OK",
       R"({"accountantOfficeNationalIdentity":"n1","accountantOfficeName":"n2",)"
       R"("clientNationalIdentity":{"id":"n3"},"clientName":"n4"})",
       "Conversion from TJSONObject to string is not supported", 2, false},
      {"an array member", "HTTP/1.1 200 OK",
       R"({"accountantOfficeNationalIdentity":"n1","accountantOfficeName":["n2"],)"
       R"("clientNationalIdentity":"n3","clientName":"n4"})",
       "Conversion from TJSONArray to string is not supported", 1, false},
      {"500 with a complete body", "HTTP/1.1 500 Internal Server Error", kComplete,
       "HTTP/1.1 500 Internal Server Error", 0, false},
      {"a redirect", "HTTP/1.1 301 Moved Permanently", kComplete, "HTTP/1.1 301 Moved Permanently",
       0, false},
      {"401: the rejected token is dropped and not retried", "HTTP/1.1 401 Unauthorized", kComplete,
       "HTTP/1.1 401 Unauthorized", 0, true},
  };
  const TKeyClient earlier = EarlierKeyCliente();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileBytes(TokenPath(), ValidTokenFile("TKN"));
    const std::string token_file = ReadFileBytes(TokenPath());
    q_.Retorno = EarlierRetorno();
    q_.KeyCliente = earlier;
    server_.RespondJson(c.status_line, c.body);
    const size_t before = server_.RequestCount();

    EXPECT_EQ(FailureOf([&] { q_.VerificarKeyCliente(); }), c.message);

    TKeyClient expected = earlier;
    if (c.fields_read > 0) expected.CNPJContabilidade = "n1";
    if (c.fields_read > 1) expected.NomeContabilidade = "n2";
    if (c.fields_read > 2) expected.CNPJCliente = "n3";
    EXPECT_EQ(q_.KeyCliente, expected);
    EXPECT_EQ(q_.Retorno, EarlierRetorno());
    EXPECT_EQ(server_.RequestCount() - before, 1u);
    if (c.token_file_removed) {
      EXPECT_FALSE(fs::exists(TokenPath()));
    } else {
      EXPECT_EQ(ReadFileBytes(TokenPath()), token_file);
    }
  }
}

TEST_F(ActivationTest, ActivationInfoReportsToTheHandlerInsteadOfRaising) {
  const char kAnyText[] = "*";
  const struct {
    const char* what;
    std::function<void(TestHttpsServer&)> answer;
    int failing_reports;
    std::vector<Report> reports;
    std::string failure;       // what reaches the caller
    bool returns_key_cliente;  // otherwise the empty record
    bool fields_read;          // the four fields hold the answer's values
  } cases[] = {
      {"success",
       [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 200 OK", kInfoBody); },
       0,
       {{TRequestType::rtKeyClient, kInfoBody, 200}},
       "no failure",
       true,
       true},
      {"a missing member",
       [](TestHttpsServer& s) {
         s.RespondJson("HTTP/1.1 200 OK", R"({"accountantOfficeName":"x"})");
       },
       0,
       {{TRequestType::rtKeyClient, "Value 'accountantOfficeNationalIdentity' not found", 200}},
       "no failure",
       false,
       false},
      {"401",
       [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 401 Unauthorized", kInfoBody); },
       0,
       {{TRequestType::rtKeyClient, "HTTP/1.1 401 Unauthorized", 401}},
       "no failure",
       false,
       false},
      {"no answer",
       [](TestHttpsServer& s) { s.CloseWithoutAnswer(); },
       0,
       {{TRequestType::rtKeyClient, kAnyText, -1}},
       "no failure",
       false,
       false},
      {"the handler fails on the success report",
       [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 200 OK", kInfoBody); },
       1,
       {{TRequestType::rtKeyClient, kInfoBody, 200},
        {TRequestType::rtKeyClient, "handler down", 200}},
       "no failure",
       false,
       true},
      {"the handler fails on the failure report",
       [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 500 Internal Server Error", "{}"); },
       1,
       {{TRequestType::rtKeyClient, "HTTP/1.1 500 Internal Server Error", 500}},
       "handler down",
       false,
       false},
      {"the handler fails on both reports",
       [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 200 OK", kInfoBody); },
       2,
       {{TRequestType::rtKeyClient, kInfoBody, 200},
        {TRequestType::rtKeyClient, "handler down", 200}},
       "handler down",
       false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reports_.clear();
    RecordReports(c.failing_reports);
    q_.Retorno = EarlierRetorno();
    q_.KeyCliente = EarlierKeyCliente();
    c.answer(server_);
    const size_t before = server_.RequestCount();
    const int connections_before = server_.ConnectionCount();

    std::optional<TKeyClient> result;
    EXPECT_EQ(FailureOf([&] { result = q_.VerificarKeyCliente(); }), c.failure);

    ASSERT_EQ(reports_.size(), c.reports.size());
    for (size_t i = 0; i < c.reports.size(); ++i) {
      if (c.reports[i].text == kAnyText) {
        EXPECT_EQ(reports_[i].type, c.reports[i].type);
        EXPECT_EQ(reports_[i].status, c.reports[i].status);
        EXPECT_FALSE(reports_[i].text.empty());
      } else {
        EXPECT_EQ(reports_[i], c.reports[i]);
      }
    }
    TKeyClient expected = EarlierKeyCliente();
    if (c.fields_read) {
      expected.CNPJContabilidade = "11222333000181";
      expected.NomeContabilidade =
          "Escrit\xC3\xB3rio Cont\xC3\xA1"
          "bil S\xC3\xA3o Jos\xC3\xA9";
      expected.CNPJCliente = "44555666000199";
      expected.NomeCliente = "Padaria P\xC3\xA3o Quente";
    }
    if (c.returns_key_cliente) {
      expected.Retorno.Codigo = 200;
      expected.Retorno.Mensagem = kInfoBody;
    }
    EXPECT_EQ(q_.KeyCliente, expected);
    if (c.failure == "no failure") {
      ASSERT_TRUE(result.has_value());
      EXPECT_EQ(*result, c.returns_key_cliente ? expected : TKeyClient{});
    }
    EXPECT_EQ(q_.Retorno, EarlierRetorno());
    EXPECT_EQ(server_.ConnectionCount() - connections_before, 1);
    EXPECT_LE(server_.RequestCount() - before, 1u);
    // Put back the token file that a 401 removes.
    WriteFileBytes(TokenPath(), ValidTokenFile("TKN"));
  }
}

}  // namespace
}  // namespace quirada
