#include "testing/https_test_server.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "testing/test_ca.h"

namespace quirada::testing {
namespace {

const TestCertificateAuthority& TrustedCa() {
  static const TestCertificateAuthority ca("Quirada Test Root CA");
  return ca;
}

const TestCertificateAuthority& UntrustedCa() {
  static const TestCertificateAuthority ca("Unknown Root CA");
  return ca;
}

std::string WriteTempFile(const std::string& bytes) {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/quirada-test-ca-XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  if (!ok) throw std::runtime_error("cannot write " + path);
  return path;
}

}  // namespace

TestHttpsServer::TestHttpsServer() : TestHttpsServer(Options{}) {}

TestHttpsServer::TestHttpsServer(Options options) {
  const TestCertificateAuthority& issuer =
      options.certificate == Certificate::kUntrusted ? UntrustedCa() : TrustedCa();
  const TlsIdentity identity = options.certificate == Certificate::kWrongName
                                   ? issuer.IssueServerIdentity({"wrong.example"}, {})
                                   : issuer.IssueServerIdentity({"localhost"}, {"127.0.0.1"});
  ca_file_ = WriteTempFile(TrustedCa().CertificatePem());
  core_ = std::make_unique<HttpsServerCore>(
      identity, [this](const CapturedRequest&) { return Next(); }, options.core);
}

TestHttpsServer::~TestHttpsServer() {
  core_.reset();
  std::remove(ca_file_.c_str());
}

void TestHttpsServer::Respond(std::string_view status_line,
                              const std::vector<std::pair<std::string, std::string>>& headers,
                              std::string_view body) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({ScriptedAnswer::Kind::kRespond, FormatAnswer(status_line, headers, body)});
}

void TestHttpsServer::RespondJson(std::string_view status_line, std::string_view body) {
  Respond(status_line, {{"Content-Type", "application/json; charset=utf-8"}}, body);
}

void TestHttpsServer::CloseWithoutAnswer() {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({ScriptedAnswer::Kind::kCloseWithoutAnswer, {}});
}

void TestHttpsServer::Stall() {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({ScriptedAnswer::Kind::kStall, {}});
}

std::string TestHttpsServer::Url() const { return "https://localhost:" + std::to_string(port()); }
std::string TestHttpsServer::IpUrl() const { return "https://127.0.0.1:" + std::to_string(port()); }

ScriptedAnswer TestHttpsServer::Next() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (script_.empty())
    return {ScriptedAnswer::Kind::kRespond, FormatAnswer("HTTP/1.1 500 No answer scripted", {}, "")};
  ScriptedAnswer next = std::move(script_.front());
  script_.pop_front();
  return next;
}

}  // namespace quirada::testing
