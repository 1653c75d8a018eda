// The HTTPS server of the tests: the recording core on 127.0.0.1 with a certificate for
// "localhost" and 127.0.0.1, issued by a CA made at run time whose PEM is written to a temporary
// file (CaFile) for the client to trust. With Certificate::kUntrusted the certificate comes from a
// second CA that the client is never told about; with Certificate::kWrongName it comes from the
// trusted CA but names only "wrong.example".
//
// Answers follow a script: each request takes the next scripted answer; once the script is used up
// every request is answered "HTTP/1.1 500 No answer scripted".
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "testing/https_server_core.h"

namespace quirada::testing {

class TestHttpsServer {
 public:
  enum class Certificate { kTrusted, kUntrusted, kWrongName };
  struct Options {
    Certificate certificate = Certificate::kTrusted;
    HttpsServerCore::Options core;
  };

  TestHttpsServer();
  explicit TestHttpsServer(Options options);
  ~TestHttpsServer();

  void Respond(std::string_view status_line,
               const std::vector<std::pair<std::string, std::string>>& headers = {},
               std::string_view body = {});
  // A JSON body with "Content-Type: application/json; charset=utf-8".
  void RespondJson(std::string_view status_line, std::string_view body);
  void CloseWithoutAnswer();
  void Stall();

  std::string Url() const;    // "https://localhost:<port>"
  std::string IpUrl() const;  // "https://127.0.0.1:<port>"
  int port() const { return core_->port(); }
  const std::string& CaFile() const { return ca_file_; }

  std::vector<CapturedRequest> Requests() const { return core_->Requests(); }
  size_t RequestCount() const { return core_->Requests().size(); }
  int ConnectionCount() const { return core_->ConnectionCount(); }

 private:
  ScriptedAnswer Next();

  std::mutex mutex_;
  std::deque<ScriptedAnswer> script_;
  std::string ca_file_;
  std::unique_ptr<HttpsServerCore> core_;
};

}  // namespace quirada::testing
