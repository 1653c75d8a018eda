#include "testing/https_test_server.h"

#include <cerrno>
#include <random>
#include <stdexcept>

#include "base/file_io.h"
#include "base/platform.h"
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

// A new file of the system's temporary folder holding `bytes`, under a name nobody else has taken.
std::string WriteTempFile(const std::string& bytes) {
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    const std::string path = TempDir() + "quirada-test-ca-" + std::to_string(CurrentProcessId()) +
                             "-" + std::to_string(random()) + std::to_string(random());
    File file;
    try {
      file = File::CreateNew(path, 0600);
    } catch (const FileError& e) {
      if (e.error() != EEXIST || attempt >= 100) throw std::runtime_error(e.what());
      continue;
    }
    try {
      file.Write(bytes);
      file.Close();
    } catch (const FileError& e) {
      file = File();
      RemoveFile(path);
      throw std::runtime_error(e.what());
    }
    return path;
  }
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
  RemoveFile(ca_file_);
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
