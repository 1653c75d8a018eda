// A test fixture for the operations of TDTQuirada: a scripted HTTPS test server that plays both the
// API host and the authorization server, a private temporary folder for the token file and other
// files, and a component pointed at both, holding a cached token ("TKN") valid for another hour.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform_client/Quirada.h"
#include "testing/https_test_server.h"
#include "testing/test_files.h"
#include "base/datetime.h"
#include "base/errors.h"
#include "base/platform.h"

namespace quirada::testing {

// The User-Agent line every API request carries.
inline constexpr char kUserAgentLine[] =
    "User-Agent: User-Agent:Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, "
    "like Gecko) Chrome/58.0.3029.96 Safari/537.36\r\n";

// What the scripted server is told to answer.
using ServerAnswer = std::function<void(TestHttpsServer&)>;
inline ServerAnswer JsonAnswer(const char* status_line, std::string body) {
  return [=](TestHttpsServer& s) { s.RespondJson(status_line, body); };
}

// A row of a table of answers to one operation: what the operation then raises (nullptr: nothing;
// kAnyFailure: any message), what Retorno and Status hold afterwards, and after a success the
// record the operation returns (of type R).
inline constexpr char kAnyFailure[] = "*";
template <class R>
struct AnswerCase {
  const char* what;
  ServerAnswer answer;
  const char* failure;
  TRetornoPadrao after;
  bool status;
  R returned{};
};

// One report to the request handler.
struct Report {
  TRequestType type;
  std::string text;
  int32_t status;
  bool operator==(const Report&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Report& r) {
  return os << "{" << static_cast<int>(r.type) << ", \"" << r.text << "\", " << r.status << "}";
}

class ClientTest : public ::testing::Test {
 protected:
  // Records every report in reports_; the first `failing_reports` reports then raise
  // "handler down".
  void RecordReports(int failing_reports = 0) {
    failing_reports_ = failing_reports;
    q_.onExecuteRequest([this](TRequestType t, std::string text, int32_t status) {
      reports_.push_back({t, std::move(text), status});
      if (failing_reports_ > 0) {
        --failing_reports_;
        throw Exception("handler down");
      }
    });
  }

  // Runs `operation` against the answer of `c` with Retorno `before` and checks its outcome: the
  // failure, the record returned after a success, Retorno, Status, and exactly one connection made.
  template <class R, class Operation>
  void ExpectOutcome(const AnswerCase<R>& c, const TRetornoPadrao& before, const Operation& operation) {
    SCOPED_TRACE(c.what);
    q_.Retorno = before;
    q_.setStatus(false);
    const int connections = server_.ConnectionCount();
    c.answer(server_);
    R result;
    const std::string failure = FailureOf([&] { result = operation(); });
    if (c.failure == nullptr) {
      EXPECT_EQ(failure, "no failure");
      EXPECT_EQ(result, c.returned);
    } else if (c.failure == kAnyFailure) {
      EXPECT_NE(failure, "no failure");
    } else {
      EXPECT_EQ(failure, c.failure);
    }
    EXPECT_EQ(q_.Retorno, c.after);
    EXPECT_EQ(q_.Status(), c.status);
    EXPECT_EQ(server_.ConnectionCount() - connections, 1);
  }

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("quirada-client-" + std::to_string(CurrentProcessId()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    q_.SetApiUrl(server_.Url());
    q_.SetAuthUrl(server_.Url());
    q_.SetCAFile(server_.CaFile());
    q_.setCaminhoArquivoToken(dir_.string() + "/");
    q_.SetClientID("cliente");
    q_.SetClientSecret("segredo");
    q_.setAuence("https://api.quirada.com.br");
    WriteTokenFile(ValidTokenFile("TKN"));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string ValidTokenFile(const std::string& token) {
    const TDateTime expiry = IncMinute(Now(), 60);
    return "access_token=" + token + "\r\ndata=" + DateToStr(Date()) + "\r\nhora=" +
           TimeToStr(expiry) + "\r\nExpiraData=" + DateTimeToStr(expiry) + "\r\n";
  }
  std::filesystem::path TokenPath() const { return dir_ / "token.dm"; }
  void WriteTokenFile(const std::string& bytes) const { WriteFileBytes(TokenPath(), bytes); }

  std::filesystem::path dir_;
  TestHttpsServer server_;
  TDTQuirada q_;
  std::vector<Report> reports_;
  int failing_reports_ = 0;
};

}  // namespace quirada::testing

using quirada::testing::FailureOf;
using quirada::testing::ReadFileBytes;
using quirada::testing::WriteFileBytes;
