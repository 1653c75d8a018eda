#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform_client/Quirada.h"
#include "testing/client_test_fixture.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;
using testing::TestHttpsServer;
using testing::Report;
using testing::kUserAgentLine;
using testing::JsonAnswer;
using AnswerCase = testing::AnswerCase<TRetornoStatus>;
using testing::kAnyFailure;


std::string Files(const std::string& api_status) {
  return R"({"filesExpanded":[{"apiStatus":)" + api_status + "}]}";
}

class BatchStatusTest : public testing::ClientTest {};

TEST_F(BatchStatusTest, TheQueryGoesOutByteForByte) {
  for (const std::string key : {"CHAVE-1", ""}) {
    q_.setIntegrationKey(key);
    server_.RespondJson("HTTP/1.1 200 OK", Files(R"({"code":"SA2","message":"ok"})"));
    q_.StatusFile("b-1/2?x");
    EXPECT_EQ(server_.Requests().back().Raw(),
              "GET /quirada/invoice/v3/batches/b-1%2F2%3Fx HTTP/1.1\r\n"
              "Connection: Keep-Alive\r\n"
              "Content-Type: application/json; charset=utf-8\r\n" +
              (key.empty() ? "" : "x-integration-key: " + key + "\r\n") +
              "Authorization: Bearer TKN\r\n"
              "Host: localhost:" + std::to_string(server_.port()) + "\r\n"
              "Accept: application/json\r\n"
              "Accept-Charset: utf-8\r\n" +
              kUserAgentLine + "\r\n")
        << key;
  }
  server_.RespondJson("HTTP/1.1 200 OK", Files(R"({"code":"SA2","message":"ok"})"));
  q_.StatusFile("");
  EXPECT_EQ(server_.Requests().back().request_line, "GET /quirada/invoice/v3/batches/ HTTP/1.1");
}

TEST_F(BatchStatusTest, TheStatusObjectFillsRetornoStatusAndTheRecordOrTheQueryFails) {
  const TRetornoPadrao before{7, "old", "old message", "carried", "old-id"};
  const auto json = JsonAnswer;
  const AnswerCase cases[] = {
      {"first file's apiStatus", json("HTTP/1.1 200 OK", Files(R"({"code":"SA2","message":"ok"})")),
       nullptr, {200, "SA2", "ok", "carried", "old-id"}, true, {200, "SA2", "ok"}},
      {"only the first of two files",
       json("HTTP/1.1 200 OK", R"({"filesExpanded":[{"apiStatus":{"code":"E0","message":"one"}},{"apiStatus":{"code":"SA2","message":"two"}}]})"),
       nullptr, {200, "E0", "one", "carried", "old-id"}, false, {200, "E0", "one"}},
      {"no files: the top-level status",
       json("HTTP/1.1 200 OK", R"({"filesExpanded":[],"status":{"code":"EA10","message":"top"}})"),
       nullptr, {200, "EA10", "top", "carried", "old-id"}, true, {200, "EA10", "top"}},
      {"numeric code, null message", json("HTTP/1.1 200 OK", Files(R"({"code":10,"message":null})")),
       nullptr, {200, "10", "", "carried", "old-id"}, false, {200, "10", ""}},
      {"duplicate code: the first counts", json("HTTP/1.1 200 OK", Files(R"({"code":"SA2","code":"E0","message":"m"})")),
       nullptr, {200, "SA2", "m", "carried", "old-id"}, true, {200, "SA2", "m"}},
      {"202 is an answer too", json("HTTP/1.1 202 Accepted", Files(R"({"code":"S2","message":"m"})")),
       nullptr, {202, "S2", "m", "carried", "old-id"}, false, {202, "S2", "m"}},
      {"UTF-8 naming no charset",
       [](TestHttpsServer& s) { s.Respond("HTTP/1.1 200 OK", {{"Content-Type", "application/json"}},
                                          Files("{\"code\":\"SA2\",\"message\":\"Conclu\xC3\xAD" "do\"}")); },
       nullptr, {200, "SA2", "Conclu\xC3\xAD" "do", "carried", "old-id"}, true, {200, "SA2", "Conclu\xC3\xAD" "do"}},
      {"Latin-1 by its charset",
       [](TestHttpsServer& s) { s.Respond("HTTP/1.1 200 OK", {{"Content-Type", "application/json; charset=ISO-8859-1"}},
                                          Files("{\"code\":\"SA2\",\"message\":\"Conclu\xED" "do\"}")); },
       nullptr, {200, "SA2", "Conclu\xC3\xAD" "do", "carried", "old-id"}, true, {200, "SA2", "Conclu\xC3\xAD" "do"}},
      {"filesExpanded missing although status is there",
       json("HTTP/1.1 200 OK", R"({"status":{"code":"SA2","message":"ok"}})"),
       "Value 'filesExpanded' not found", before, false},
      {"empty object", json("HTTP/1.1 200 OK", "{}"), "Value 'filesExpanded' not found", before, false},
      {"not JSON", json("HTTP/1.1 200 OK", "<html/>"), "Value 'filesExpanded' not found", before, false},
      {"empty body", json("HTTP/1.1 200 OK", ""), "Value 'filesExpanded' not found", before, false},
      {"top-level array", json("HTTP/1.1 200 OK", "[]"), "Invalid class typecast", before, false},
      {"filesExpanded null", json("HTTP/1.1 200 OK", R"({"filesExpanded":null})"), "Invalid class typecast", before, false},
      {"filesExpanded a string", json("HTTP/1.1 200 OK", R"({"filesExpanded":"x"})"), "Invalid class typecast", before, false},
      {"first file not an object", json("HTTP/1.1 200 OK", R"({"filesExpanded":[1]})"), "Invalid class typecast", before, false},
      {"first file without apiStatus", json("HTTP/1.1 200 OK", R"({"filesExpanded":[{}]})"), "Value 'apiStatus' not found", before, false},
      {"apiStatus an array", json("HTTP/1.1 200 OK", Files("[]")), "Invalid class typecast", before, false},
      {"no files and no status", json("HTTP/1.1 200 OK", R"({"filesExpanded":[]})"), "Value 'status' not found", before, false},
      {"no files, status text", json("HTTP/1.1 200 OK", R"({"filesExpanded":[],"status":"x"})"), "Invalid class typecast", before, false},
      {"code missing", json("HTTP/1.1 200 OK", Files(R"({"message":"m"})")), "Value 'code' not found",
       {200, "old", "old message", "carried", "old-id"}, false},
      {"code an object", json("HTTP/1.1 200 OK", Files(R"({"code":{},"message":"m"})")),
       "Conversion from TJSONObject to string is not supported", {200, "old", "old message", "carried", "old-id"}, false},
      {"message an array", json("HTTP/1.1 200 OK", Files(R"({"code":"SA2","message":[]})")),
       "Conversion from TJSONArray to string is not supported", {200, "SA2", "old message", "carried", "old-id"}, false},
      {"404", json("HTTP/1.1 404 Not Found", R"({"error":"no batch"})"), "HTTP/1.1 404 Not Found", before, false},
      {"302 is not followed", [](TestHttpsServer& s) { s.Respond("HTTP/1.1 302 Found", {{"Location", "/x"}}); },
       "HTTP/1.1 302 Found", before, false},
      {"connection closed without answer", [](TestHttpsServer& s) { s.CloseWithoutAnswer(); }, kAnyFailure, before, false},
  };
  for (const auto& c : cases) ExpectOutcome(c, before, [&] { return q_.StatusFile("lote-1"); });
}

TEST_F(BatchStatusTest, OnlyEA10AndSA2SetStatusAndEveryOtherCodeClearsIt) {
  const struct {
    const char* code;
    bool status;
  } cases[] = {{"EA10", true}, {"SA2", true}, {"ea10", false}, {"EA1", false}, {"EA0", false},
               {"S2", false},  {"SA2 ", false}, {"", false}};
  for (const auto& c : cases) {
    q_.setStatus(!c.status);
    server_.RespondJson("HTTP/1.1 200 OK", Files(std::string(R"({"code":")") + c.code + R"(","message":"m"})"));
    q_.StatusFile("1");
    EXPECT_EQ(q_.Status(), c.status) << c.code;
    EXPECT_EQ(q_.Retorno.CodRetorno, c.code);
  }
}

TEST_F(BatchStatusTest, ResponseHoldsTheParsedAnswerOrNothing) {
  server_.RespondJson("HTTP/1.1 200 OK", "{}");
  FailureOf([&] { q_.StatusFile("1"); });
  ASSERT_NE(q_.Response(), nullptr);
  EXPECT_TRUE(q_.Response()->IsObject());
  EXPECT_EQ(q_.Response()->MemberCount(), 0u);

  server_.RespondJson("HTTP/1.1 200 OK", "not json");
  FailureOf([&] { q_.StatusFile("1"); });
  EXPECT_EQ(q_.Response(), nullptr);

  server_.RespondJson("HTTP/1.1 200 OK", Files(R"({"code":"SA2","message":"ok"})"));
  q_.StatusFile("1");
  ASSERT_NE(q_.Response(), nullptr);
  EXPECT_TRUE((*q_.Response())["filesExpanded"].IsArray());
}

// A 401 to the cached token: a new token and the same query once more; a second 401 fails and
// leaves no token file behind.
TEST_F(BatchStatusTest, A401ToACachedTokenIsTriedOnceMoreWithANewToken) {
  server_.RespondJson("HTTP/1.1 401 Unauthorized", "{}");
  server_.RespondJson("HTTP/1.1 200 OK", R"({"access_token":"NEW"})");
  server_.RespondJson("HTTP/1.1 200 OK", Files(R"({"code":"SA2","message":"ok"})"));
  EXPECT_EQ(FailureOf([&] { q_.StatusFile("1"); }), "no failure");
  EXPECT_EQ(q_.Retorno.CodRetorno, "SA2");
  EXPECT_EQ(server_.ConnectionCount(), 3);
  EXPECT_EQ(*server_.Requests().back().Header("Authorization"), "Bearer NEW");

  WriteTokenFile(ValidTokenFile("TKN"));
  server_.RespondJson("HTTP/1.1 401 Unauthorized", "{}");
  server_.RespondJson("HTTP/1.1 200 OK", R"({"access_token":"NEW"})");
  server_.RespondJson("HTTP/1.1 401 Unauthorized", "{}");
  EXPECT_EQ(FailureOf([&] { q_.StatusFile("1"); }), "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(server_.ConnectionCount(), 6);
  EXPECT_FALSE(fs::exists(TokenPath()));
}

TEST_F(BatchStatusTest, ATokenCheckFailurePassesUnchangedWithoutReportOrRequest) {
  RecordReports();
  q_.Retorno = {7, "old", "old message", "carried", "old-id"};
  WriteTokenFile("ExpiraData=amanha\r\n");
  EXPECT_EQ(FailureOf([&] { q_.StatusFile("1"); }), "'amanha' is not a valid date and time");
  EXPECT_EQ(server_.ConnectionCount(), 0);
  EXPECT_TRUE(reports_.empty());
  EXPECT_EQ(q_.Retorno, (TRetornoPadrao{7, "old", "old message", "carried", "old-id"}));
}

TEST_F(BatchStatusTest, WithAHandlerFailuresAreReportedInsteadOfRaised) {
  RecordReports();
  const struct {
    const char* what;
    std::function<void(TestHttpsServer&)> answer;
    std::vector<Report> reports;
    bool empty_result;
  } cases[] = {
      {"success", [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 200 OK", Files(R"({"code":"SA2","message":"ok"})")); },
       {{TRequestType::rtReadStatusFile, "carried", 200}}, false},
      {"missing member after the report",
       [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 200 OK", Files(R"({"message":"ok"})")); },
       {{TRequestType::rtReadStatusFile, "carried", 200},
        {TRequestType::rtReadStatusFile, "Value 'code' not found", 200}}, true},
      {"missing member before the report",
       [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 200 OK", "{}"); },
       {{TRequestType::rtReadStatusFile, "Value 'filesExpanded' not found", 200}}, true},
      {"error status", [](TestHttpsServer& s) { s.RespondJson("HTTP/1.1 500 Server Error", "{}"); },
       {{TRequestType::rtReadStatusFile, "HTTP/1.1 500 Server Error", 500}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reports_.clear();
    q_.Retorno = {7, "old", "old message", "carried", "old-id"};
    c.answer(server_);
    TRetornoStatus result;
    EXPECT_EQ(FailureOf([&] { result = q_.StatusFile("1"); }), "no failure");
    EXPECT_EQ(reports_, c.reports);
    if (c.empty_result) {
      EXPECT_EQ(result, TRetornoStatus{});
    }
    else EXPECT_EQ(result, (TRetornoStatus{200, "SA2", "ok"}));
  }

  reports_.clear();
  server_.CloseWithoutAnswer();
  FailureOf([&] { q_.StatusFile("1"); });
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].status, -1);
  EXPECT_NE(reports_[0].text, "");
}

TEST_F(BatchStatusTest, AHandlerThatFailsIsReportedOnceMoreAndAFailingFailureReportReachesTheCaller) {
  std::vector<std::string> heard;
  q_.onExecuteRequest([&](TRequestType, std::string text, int32_t) {
    heard.push_back(text);
    if (heard.size() == 1) throw Exception("handler broke");
  });
  q_.Retorno = {7, "old", "old message", "carried", "old-id"};
  server_.RespondJson("HTTP/1.1 200 OK", Files(R"({"code":"SA2","message":"ok"})"));
  EXPECT_EQ(FailureOf([&] { EXPECT_EQ(q_.StatusFile("1"), TRetornoStatus{}); }), "no failure");
  EXPECT_EQ(heard, (std::vector<std::string>{"carried", "handler broke"}));
  EXPECT_EQ(q_.Retorno, (TRetornoPadrao{7, "old", "old message", "carried", "old-id"}));

  q_.onExecuteRequest([](TRequestType, std::string, int32_t) { throw Exception("always broken"); });
  server_.RespondJson("HTTP/1.1 200 OK", Files(R"({"code":"SA2","message":"ok"})"));
  EXPECT_EQ(FailureOf([&] { q_.StatusFile("1"); }), "always broken");
}

TEST_F(BatchStatusTest, AnAnswerOutsideTwoHundredsArrivesAsAPlatformErrorWithItsStatusAndBody) {
  const struct {
    const char* what;
    const char* status_line;
    std::string body;
  } cases[] = {
      {"404", "HTTP/1.1 404 Not Found", R"({"error":"no batch"})"},
      {"500 with an empty body", "HTTP/1.1 500 Internal Server Error", ""},
      {"503", "HTTP/1.1 503 Service Unavailable", "ocupado"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server_.RespondJson(c.status_line, c.body);
    try {
      q_.StatusFile("lote-1");
      ADD_FAILURE() << "no failure";
    } catch (const PlatformError& e) {
      EXPECT_EQ(std::string(e.what()), c.status_line);
      EXPECT_EQ(e.status(), std::stoi(std::string(c.status_line).substr(9, 3)));
      EXPECT_EQ(e.body(), c.body);
    }
  }
}

}  // namespace
}  // namespace quirada
