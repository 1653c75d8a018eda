#ifdef _WIN32
#include <windows.h>

#include "base/win32_handle_win32.h"
#endif

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/file_io.h"
#include "platform_client/Quirada.h"
#include "testing/client_test_fixture.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;
using testing::TestHttpsServer;
using testing::kUserAgentLine;
using testing::JsonAnswer;
using testing::ServerAnswer;
using AnswerCase = testing::AnswerCase<TRetornoEnvio>;
using testing::kAnyFailure;

const char kCreated[] = R"({"status":{"code":"S1","message":"ok"},"id":123})";

#ifdef _WIN32
// Whether any handle is open on `path`: a handle that shares nothing cannot be had while another
// is open (nothing but this process touches the test's files).
bool IsOpenHere(const fs::path& path) {
  const UniqueHandle handle(
      CreateFileW(path.wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!handle) return GetLastError() == ERROR_SHARING_VIOLATION;
  return false;
}
#else
// Whether any descriptor of this process is open on `path`.
bool IsOpenHere(const fs::path& path) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) == path) return true;
  }
  return false;
}
#endif

class UploadTest : public testing::ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    xml_ = dir_ / "35251234567890.xml";
    WriteFileBytes(xml_, "<nfe/>");
  }
  fs::path xml_;
};

TEST_F(UploadTest, TheUploadGoesOutByteForByte) {
  const struct {
    const char* what;
    std::string key;
    std::string xml;
  } cases[] = {
      {"small file, with key", "CHAVE-1",
       "<?xml version=\"1.0\"?>\r\n<nfe>a\xE7" + std::string(1, '\0') + "o</nfe>\n"},
      {"small file, empty key", "", "<a/>"},
      {"empty file", "K", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileBytes(xml_, c.xml);
    q_.setIntegrationKey(c.key);
    server_.RespondJson("HTTP/1.1 201 Created", kCreated);
    const TDateTime before = Now();
    q_.EnviaXML(xml_.string());
    const TDateTime after = Now();
    const testing::CapturedRequest request = server_.Requests().back();

    // The boundary: eight hyphens and the local clock's MMDDYYHHNNSSZZZ when the body was made.
    const std::string* content_type = request.Header("Content-Type");
    ASSERT_NE(content_type, nullptr);
    const std::string prefix = "multipart/form-data; boundary=";
    ASSERT_EQ(content_type->size(), prefix.size() + 23 + 15);
    const std::string b = content_type->substr(prefix.size(), 23);
    ASSERT_EQ(b.substr(0, 8), "--------");
    ASSERT_EQ(b.find_first_not_of("0123456789", 8), std::string::npos) << b;
    auto digits = [&b](size_t at, size_t n) { return std::stoi(b.substr(8 + at, n)); };
    const TDateTime stamp = EncodeDateTime({2000 + digits(4, 2), digits(0, 2), digits(2, 2),
                                            digits(6, 2), digits(8, 2), digits(10, 2), digits(12, 3)});
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);

    const std::string body =
        "--" + b + "\r\n"
        "Content-Disposition: form-data; name=\"file[]\"; filename=\"35251234567890.xml\"\r\n"
        "Content-Type: application/xml\r\n"
        "Content-Transfer-Encoding: binary\r\n"
        "\r\n" + c.xml + "\r\n"
        "--" + b + "\r\n"
        "Content-Disposition: form-data; name=\"query\"\r\n"
        "Content-Type: application/json; charset=\"UTF-8\"\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "\r\n"
        "{\"boxe/File\": true}\r\n"
        "--" + b + "--\r\n";
    EXPECT_EQ(request.body, body);
    EXPECT_EQ(request.head,
              "POST /quirada/invoice/v3/batches HTTP/1.0\r\n"
              "Connection: Keep-Alive\r\n"
              "Content-Type: multipart/form-data; boundary=" + b + "; charset=utf-8\r\n"
              "Content-Length: " + std::to_string(body.size()) + "\r\n" +
              (c.key.empty() ? "" : "x-integration-key: " + c.key + "\r\n") +
              "Authorization: Bearer TKN\r\n"
              "Host: localhost:" + std::to_string(server_.port()) + "\r\n"
              "Accept: */*\r\n"
              "Accept-Encoding: gzip, deflate, br, identity\r\n" +
              kUserAgentLine + "\r\n");
  }
}

TEST_F(UploadTest, TheAnswerFillsRetornoAndTheRecordOnlyForACreatedBatch) {
  {
    const File open = File::OpenForReading(xml_.string());
    ASSERT_TRUE(IsOpenHere(xml_)) << "the probe does not see a file this process holds open";
  }
  const TRetornoPadrao before{7, "old", "old message", "carried", "old-id"};
  const auto json = JsonAnswer;
  const AnswerCase cases[] = {
      {"201 created", json("HTTP/1.1 201 Created", kCreated), nullptr,
       {201, "S1", "ok", "carried", "123"}, true, {201, "S1", "123", "ok"}},
      {"201 with values of other kinds", json("HTTP/1.1 201 Created", R"({"status":{"code":10,"message":{"a":1}},"id":null})"),
       nullptr, {201, "10", "", "carried", "null"}, true, {201, "10", "null", ""}},
      {"201 with duplicate members", json("HTTP/1.1 201 Created", R"({"status":{"code":"S1","code":"X","message":"m"},"id":"first","id":"second"})"),
       nullptr, {201, "S1", "m", "carried", "first"}, true, {201, "S1", "first", "m"}},
      {"201 in Latin-1 naming no charset",
       [](TestHttpsServer& s) { s.Respond("HTTP/1.1 201 Created", {{"Content-Type", "application/json"}},
                                          "{\"status\":{\"code\":\"S2\",\"message\":\"Lote recebido com \xEAxito\"},\"id\":\"b\"}"); },
       nullptr, {201, "S2", "Lote recebido com \xC3\xAAxito", "carried", "b"}, true,
       {201, "S2", "b", "Lote recebido com \xC3\xAAxito"}},
      {"201 in UTF-8 by its charset", json("HTTP/1.1 201 Created", "{\"status\":{\"code\":\"S2\",\"message\":\"Lote recebido com \xC3\xAAxito\"},\"id\":\"b\"}"),
       nullptr, {201, "S2", "Lote recebido com \xC3\xAAxito", "carried", "b"}, true,
       {201, "S2", "b", "Lote recebido com \xC3\xAAxito"}},
      {"200 with a status object", json("HTTP/1.1 200 OK", kCreated), nullptr, before, false, {200, "", "", ""}},
      {"202 with a status object", json("HTTP/1.1 202 Accepted", kCreated), nullptr, before, false, {202, "", "", ""}},
      {"200 without status", json("HTTP/1.1 200 OK", "{}"), "Value 'status' not found", before, false},
      {"201 without status", json("HTTP/1.1 201 Created", R"({"id":1})"), "Value 'status' not found", before, false},
      {"201 that is no JSON", json("HTTP/1.1 201 Created", "<html/>"), "Value 'status' not found", before, false},
      {"201 with an empty body", json("HTTP/1.1 201 Created", ""), "Value 'status' not found", before, false},
      {"201 that is an array", json("HTTP/1.1 201 Created", R"([{"status":{}}])"), "Invalid class typecast", before, false},
      {"201 whose status is text", json("HTTP/1.1 201 Created", R"({"status":"ok","id":1})"), "Invalid class typecast", before, false},
      {"201 without id", json("HTTP/1.1 201 Created", R"({"status":{"code":"S1","message":"ok"}})"),
       "Value 'id' not found", before, false},
      {"201 without code", json("HTTP/1.1 201 Created", R"({"status":{"message":"ok"},"id":"b"})"),
       "Value 'code' not found", {201, "old", "old message", "carried", "b"}, false},
      {"201 without message", json("HTTP/1.1 201 Created", R"({"status":{"code":"S2"},"id":"b"})"),
       "Value 'message' not found", {201, "S2", "old message", "carried", "b"}, false},
      {"403", json("HTTP/1.1 403 Forbidden", R"({"error":"forbidden"})"),
       R"({"error":"forbidden"})", {7, "old", R"({"error":"forbidden"})", "carried", "old-id"}, false},
      {"500 with an empty body", [](TestHttpsServer& s) { s.Respond("HTTP/1.1 500 Internal Server Error"); },
       "", {7, "old", "", "carried", "old-id"}, false},
      {"400 in Latin-1", [](TestHttpsServer& s) { s.Respond("HTTP/1.1 400 Bad Request", {{"Content-Type", "text/plain; charset=iso-8859-1"}}, "XML inv\xE1lido"); },
       "XML inv\xC3\xA1lido", {7, "old", "XML inv\xC3\xA1lido", "carried", "old-id"}, false},
      {"302 is not followed", [](TestHttpsServer& s) { s.Respond("HTTP/1.1 302 Found", {{"Location", "/elsewhere"}}, "moved"); },
       "moved", {7, "old", "moved", "carried", "old-id"}, false},
      {"connection closed without answer", [](TestHttpsServer& s) { s.CloseWithoutAnswer(); },
       kAnyFailure, before, false},
  };
  for (const auto& c : cases) {
    WriteTokenFile(ValidTokenFile("TKN"));
    ExpectOutcome(c, before, [&] { return q_.EnviaXML(xml_.string()); });
    EXPECT_FALSE(IsOpenHere(xml_)) << c.what;
  }
}

TEST_F(UploadTest, AMissingFileFailsBeforeAnyConnectionAndTouchesNothing) {
  q_.Retorno = {7, "old", "old message", "carried", "old-id"};
  const std::string missing = (dir_ / "missing.xml").string();
  EXPECT_EQ(FailureOf([&] { q_.EnviaXML(missing); }),
            "Cannot open file \"" + missing + "\". No such file or directory");
  EXPECT_EQ(server_.ConnectionCount(), 0);
  EXPECT_EQ(q_.Retorno, (TRetornoPadrao{7, "old", "old message", "carried", "old-id"}));
}

TEST_F(UploadTest, TheFileNameIsTheTextAfterTheLastSlashBackslashOrColon) {
#ifdef _WIN32
  // A Windows file name holds neither a backslash nor a colon: there both separate the parts of
  // the path itself (the drive's colon, then "\" and "/" mixed).
  fs::create_directories(dir_ / "lote");
  WriteFileBytes(dir_ / "lote" / "123.xml", "<a/>");
  const std::string odd = dir_.string() + "/lote\\123.xml";
  ASSERT_EQ(odd.find(':'), 1u);
#else
  // One file name holding a backslash and a colon.
  const std::string odd = (dir_ / "lote\\C:123.xml").string();
  WriteFileBytes(odd, "<a/>");
#endif
  server_.RespondJson("HTTP/1.1 201 Created", kCreated);
  q_.EnviaXML(odd);
  ASSERT_EQ(server_.RequestCount(), 1u);
  EXPECT_NE(server_.Requests()[0].body.find("; filename=\"123.xml\"\r\n"), std::string::npos);
}

TEST_F(UploadTest, AnExpiredTokenIsRenewedBeforeTheUpload) {
  WriteTokenFile("access_token=OLD\r\nExpiraData=" + DateTimeToStr(IncMinute(Now(), -1)) + "\r\n");
  server_.RespondJson("HTTP/1.1 200 OK", R"({"access_token":"NEW"})");
  server_.RespondJson("HTTP/1.1 201 Created", kCreated);
  q_.EnviaXML(xml_.string());
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].request_line, "POST /oauth/token HTTP/1.0");
  EXPECT_EQ(requests[1].request_line, "POST /quirada/invoice/v3/batches HTTP/1.0");
  ASSERT_NE(requests[1].Header("Authorization"), nullptr);
  EXPECT_EQ(*requests[1].Header("Authorization"), "Bearer NEW");
}

TEST_F(UploadTest, TheTokenCheckReadsOnlyItsOwnKeysAndItsFailuresPassUnchanged) {
  q_.setAuence("from-cycle");
  q_.setIntegrationKey("KEY-CYCLE");
  WriteTokenFile(ValidTokenFile("TKN") + "audience=from-file\r\nintegrationKey=KEY-FILE\r\n");
  server_.RespondJson("HTTP/1.1 201 Created", kCreated);
  q_.EnviaXML(xml_.string());
  EXPECT_EQ(q_.audience(), "from-cycle");
  EXPECT_EQ(q_.IntegrationKey(), "KEY-CYCLE");

  q_.Retorno = {7, "old", "old message", "carried", "old-id"};
  WriteTokenFile("data=31/02/2025\r\n");
  EXPECT_EQ(FailureOf([&] { q_.EnviaXML(xml_.string()); }), "'31/02/2025' is not a valid date");
  EXPECT_EQ(server_.ConnectionCount(), 1);
  EXPECT_EQ(q_.Retorno, (TRetornoPadrao{7, "old", "old message", "carried", "old-id"}));
}

// A 401 discards the token file. When the rejected token came from the file (a platform that
// forgot the tokens it issued), a new one is asked for and the upload made once more; a second 401,
// or a 401 to a token just obtained, fails as any refusal does.
TEST_F(UploadTest, A401ToACachedTokenGetsANewTokenAndOneMoreTry) {
  const std::string token_answer = R"({"access_token":"NEW"})";
  const struct {
    const char* what;
    bool cached;  // a valid token file, else an expired one
    std::vector<std::pair<const char*, std::string>> answers;
    const char* failure;
    std::vector<std::string> requests;  // request line and Authorization, in order
    bool file_left;
  } cases[] = {
      {"401, then success", true,
       {{"HTTP/1.1 401 Unauthorized", "{}"}, {"HTTP/1.1 200 OK", token_answer}, {"HTTP/1.1 201 Created", kCreated}},
       nullptr, {"POST /quirada/invoice/v3/batches Bearer TKN", "POST /oauth/token", "POST /quirada/invoice/v3/batches Bearer NEW"},
       true},
      {"401 twice", true,
       {{"HTTP/1.1 401 Unauthorized", "{}"}, {"HTTP/1.1 200 OK", token_answer}, {"HTTP/1.1 401 Unauthorized", "{\"x\":2}"}},
       "{\"x\":2}", {"POST /quirada/invoice/v3/batches Bearer TKN", "POST /oauth/token", "POST /quirada/invoice/v3/batches Bearer NEW"},
       false},
      {"401 to a token just obtained", false,
       {{"HTTP/1.1 200 OK", token_answer}, {"HTTP/1.1 401 Unauthorized", "{}"}},
       "{}", {"POST /oauth/token", "POST /quirada/invoice/v3/batches Bearer NEW"}, false},
      {"403", true, {{"HTTP/1.1 403 Forbidden", "{}"}}, "{}", {"POST /quirada/invoice/v3/batches Bearer TKN"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteTokenFile(c.cached ? ValidTokenFile("TKN") : "access_token=OLD\r\nExpiraData=01/01/2001\r\n");
    const size_t before = server_.Requests().size();
    for (const auto& [status_line, body] : c.answers) server_.RespondJson(status_line, body);
    EXPECT_EQ(FailureOf([&] { q_.EnviaXML(xml_.string()); }), c.failure ? c.failure : "no failure");
    std::vector<std::string> seen;
    const auto requests = server_.Requests();
    for (size_t i = before; i < requests.size(); ++i) {
      const std::string* auth = requests[i].Header("Authorization");
      const std::string line = requests[i].request_line.substr(0, requests[i].request_line.rfind(' '));
      seen.push_back(auth != nullptr && auth->starts_with("Bearer ") ? line + " " + *auth : line);
    }
    EXPECT_EQ(seen, c.requests);
    EXPECT_EQ(fs::exists(TokenPath()), c.file_left);
  }
}

TEST_F(UploadTest, ACreatedBatchWritesOneUploadLogLine) {
  q_.setGravarLog(true);
  q_.setCaminhoLog((dir_ / "logs" / "envios.log").string());
  server_.RespondJson("HTTP/1.1 201 Created", kCreated);
  const TDateTime before = Now();
  q_.EnviaXML(xml_.string());
  const TDateTime after = Now();
  const std::string log = ReadFileBytes(dir_ / "logs" / "envios.log");
  const std::string tail = " Chave: 35251234567890.xml ID: 123\r\n";
  ASSERT_GT(log.size(), tail.size() + 6);
  EXPECT_EQ(log.substr(0, 6), "Data: ");
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  const TDateTime stamp = StrToDateTime(log.substr(6, log.size() - 6 - tail.size()));
  EXPECT_GE(stamp, before - 1.0 / 86400);
  EXPECT_LE(stamp, after);
}

TEST_F(UploadTest, AnUploadLogThatCannotBeWrittenFailsTheUploadAfterRetornoIsFilled) {
  q_.setGravarLog(true);
  q_.setCaminhoLog("");
  q_.Retorno = {7, "old", "old message", "carried", "old-id"};
  server_.RespondJson("HTTP/1.1 201 Created", kCreated);
  EXPECT_EQ(FailureOf([&] { q_.EnviaXML(xml_.string()); }), "Unable to create directory");
  EXPECT_EQ(q_.Retorno, (TRetornoPadrao{201, "S1", "ok", "carried", "123"}));
  EXPECT_FALSE(q_.Status());
}

// Retorno keeps what earlier operations wrote; the record an upload returns never does.
TEST_F(UploadTest, TheRecordReturnedHoldsNothingOfAnEarlierOperation) {
  const struct {
    const char* what;
    const char* status_line;
    const char* body;
    TRetornoEnvio returned;
  } sequence[] = {
      {"a created batch", "HTTP/1.1 201 Created", kCreated, {201, "S1", "123", "ok"}},
      {"then a success that created none", "HTTP/1.1 200 OK", R"({"status":{"code":"S2","message":"m"},"id":"9"})",
       {200, "", "", ""}},
      {"then another created batch", "HTTP/1.1 201 Created", R"({"status":{"code":"E1","message":"x"},"id":"b"})",
       {201, "E1", "b", "x"}},
      {"then an accepted one", "HTTP/1.1 202 Accepted", kCreated, {202, "", "", ""}},
  };
  for (const auto& step : sequence) {
    SCOPED_TRACE(step.what);
    server_.RespondJson(step.status_line, step.body);
    EXPECT_EQ(q_.EnviaXML(xml_.string()), step.returned);
  }
  // Retorno still holds the last created batch.
  EXPECT_EQ(q_.Retorno, (TRetornoPadrao{201, "E1", "x", "", "b"}));
}

TEST_F(UploadTest, AnAnswerOutsideTwoHundredsArrivesAsAPlatformErrorWithItsStatusAndBody) {
  const struct {
    const char* what;
    ServerAnswer answer;
    int32_t status;
    std::string body;
  } cases[] = {
      {"400 in Latin-1",
       [](TestHttpsServer& s) { s.Respond("HTTP/1.1 400 Bad Request", {{"Content-Type", "text/plain; charset=iso-8859-1"}}, "XML inv\xE1lido"); },
       400, "XML inv\xC3\xA1lido"},
      {"403", JsonAnswer("HTTP/1.1 403 Forbidden", R"({"error":"forbidden"})"), 403, R"({"error":"forbidden"})"},
      {"422", JsonAnswer("HTTP/1.1 422 Unprocessable Entity", R"({"error":"schema"})"), 422, R"({"error":"schema"})"},
      {"500 with an empty body", [](TestHttpsServer& s) { s.Respond("HTTP/1.1 500 Internal Server Error"); }, 500, ""},
      {"302", [](TestHttpsServer& s) { s.Respond("HTTP/1.1 302 Found", {{"Location", "/x"}}, "moved"); }, 302, "moved"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.answer(server_);
    try {
      q_.EnviaXML(xml_.string());
      ADD_FAILURE() << "no failure";
    } catch (const PlatformError& e) {
      EXPECT_EQ(e.status(), c.status);
      EXPECT_EQ(e.body(), c.body);
      EXPECT_EQ(std::string(e.what()), c.body);
    }
  }
}

TEST_F(UploadTest, AFailureWithoutAnAnswerOutsideTwoHundredsIsNoPlatformError) {
  const struct {
    const char* what;
    ServerAnswer answer;
  } cases[] = {
      {"connection closed without answer", [](TestHttpsServer& s) { s.CloseWithoutAnswer(); }},
      {"201 that is no JSON", JsonAnswer("HTTP/1.1 201 Created", "<html/>")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.answer(server_);
    bool platform_error = false;
    const std::string failure = FailureOf([&] {
      try {
        q_.EnviaXML(xml_.string());
      } catch (const PlatformError&) {
        platform_error = true;
      }
    });
    EXPECT_NE(failure, "no failure");
    EXPECT_FALSE(platform_error);
  }
}

}  // namespace
}  // namespace quirada
