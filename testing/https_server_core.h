// A small HTTPS server that records every request byte for byte and answers from a script.
//
// It listens on 127.0.0.1 on a port the system picks, serves one connection at a time on a thread
// of its own, and closes each connection after one exchange. For each connection it completes the
// TLS handshake, reads the request head up to the empty line and then exactly Content-Length bytes
// of body, records the raw bytes, asks the handler what to do and does it: send the answer's bytes
// as they are, close without answering, or hold the connection open without a word until the client
// gives up or the server stops. With Options::handshake false it accepts TCP connections and never
// starts TLS.
//
// The core knows nothing of tests: the end-to-end tests and the demo platform build on it as well.
// Stop (also run by the destructor) ends the thread promptly, whatever a connection is doing.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quirada::testing {

// A certificate chain (leaf first) and its private key, both PEM.
struct TlsIdentity {
  std::string certificate_chain_pem;
  std::string private_key_pem;
};

struct CapturedRequest {
  std::string head;                       // request line and header lines, each with CR LF, and the empty line
  std::string request_line;               // without CR LF
  std::vector<std::string> header_lines;  // in order, without CR LF
  std::string body;                       // empty when the server keeps no bodies
  uint64_t body_size = 0;                 // bytes of body received
  std::string tls_version;                // e.g. "TLSv1.3"

  // The value of the first header of that name (letter case ignored), or nullptr.
  const std::string* Header(std::string_view name) const;
  std::string Raw() const { return head + body; }

 private:
  friend class HttpsServerCore;
  std::vector<std::string> header_values_;
};

struct ScriptedAnswer {
  enum class Kind { kRespond, kCloseWithoutAnswer, kStall };
  Kind kind = Kind::kRespond;
  std::string bytes;  // the whole answer as sent, for kRespond
};

// An answer: the status line, the headers given, "Content-Length" (unless given) and
// "Connection: close", the empty line and the body.
std::string FormatAnswer(std::string_view status_line,
                         const std::vector<std::pair<std::string, std::string>>& headers,
                         std::string_view body);

class Socket;

class HttpsServerCore {
 public:
  using Handler = std::function<ScriptedAnswer(const CapturedRequest&)>;

  struct Options {
    bool handshake = true;    // false: accept TCP connections, never start TLS
    bool keep_bodies = true;  // false: count request body bytes without keeping them
    bool record_requests = true;  // false: Requests() stays empty (long-running servers)
    int port = 0;                 // 0: a port the system picks
    int min_tls_version = 0;  // OpenSSL protocol version constants; 0 leaves the library's choice
    int max_tls_version = 0;
  };

  // Raises std::runtime_error when the identity does not load or the socket cannot listen.
  HttpsServerCore(const TlsIdentity& identity, Handler handler, Options options);
  ~HttpsServerCore();
  HttpsServerCore(const HttpsServerCore&) = delete;
  HttpsServerCore& operator=(const HttpsServerCore&) = delete;

  int port() const { return port_; }
  void Stop();

  // Every complete request received so far, oldest first.
  std::vector<CapturedRequest> Requests() const;
  // Connections accepted so far (complete requests or not).
  int ConnectionCount() const { return connections_.load(); }

 private:
  struct Impl;
  void Serve();
  void HandleConnection(const Socket& connection);

  Handler handler_;
  Options options_;
  int port_ = 0;
  std::unique_ptr<Impl> impl_;  // the TLS context, the listening socket and the stop signal
  mutable std::mutex mutex_;
  std::vector<CapturedRequest> requests_;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace quirada::testing
