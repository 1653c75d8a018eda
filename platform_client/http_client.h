// The one HTTP layer of the platform client: HTTPS requests over libcurl and OpenSSL.
//
// Promises:
// - Every request uses a new connection that is closed at its end; nothing is reused between
//   requests. Redirects are not followed and answers are never decompressed.
// - The request line is the method, the target exactly as given (no escaping, no normalising) and
//   the protocol version asked for (HTTP/1.0 or HTTP/1.1). The header lines are exactly
//   HttpRequest::headers, in that order, and nothing else: libcurl adds no line of its own.
// - A POST body is streamed from an HttpBodySource whose size is announced beforehand; it is never
//   chunked and never loaded by this layer.
// - TLS 1.2 at least (TLS 1.3 allowed); the server's certificate chain is verified against the
//   system's trust store plus the extra PEM file of the request's route (HttpRoute::ca_file), and
//   its name against the host.
// - A route with a proxy reaches the server through a tunnel the proxy opens (HTTP CONNECT), with
//   the user and password its address gives; TLS still runs from the program to the server. A
//   route without one goes as libcurl goes by default: through the proxy the process's environment
//   names (https_proxy, all_proxy, no_proxy), else straight to the server.
// - Time limits: 30 s to connect (TLS handshake included), abort when nothing at all is transferred
//   for 120 s, 10 minutes for the whole request (HttpRequest::limits). Each failure says which limit
//   ended it. Test-only knob: the environment variable QUIRADA_TEST_HTTP_LIMITS
//   ("connect=1,stall=2,total=5", seconds, any subset) replaces the defaults of every request, so
//   that tests of the real executable can reach the limits in seconds; nothing but tests may set it.
// - An answer body larger than 1 MiB ends the transfer (the connection is dropped) and fails it.
// - A request may carry a stop predicate (HttpRequest::stop), looked at about once a second while
//   the request is in progress, connecting included: when it holds, the transfer ends at once and
//   Send raises Interrupted (base/errors.h), unless the answer has already arrived whole (then it
//   is returned, so that what the server answered is acted on). The time limits stay in force.
// - Failures: an answer whose status is outside 200..299 raises HttpProtocolError (message: the
//   status line as received; it carries the status code and the raw body). Everything else (bad
//   URL, connection, TLS, time-outs, a body source failing, a header line with CR, LF or NUL, a
//   target with blanks or control characters) raises HttpTransportError with the status code -1
//   unless a status line had already arrived.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"

namespace quirada {

struct HttpTimeLimits {
  std::chrono::seconds connect{30};
  std::chrono::seconds stall{120};
  std::chrono::seconds total{600};
};

// The limits in force: the defaults above, or what QUIRADA_TEST_HTTP_LIMITS sets (tests only).
HttpTimeLimits CurrentHttpTimeLimits();

// Scheme, host and optional port of a server, as ApiUrl and AuthUrl give them:
// "https://host", "https://host:8443", "https://[::1]:8443", a trailing "/" allowed.
struct HttpEndpoint {
  std::string host;  // name, IPv4 address, or IPv6 address in brackets
  int port = 443;

  // The Host header's value: the host, followed by ":port" when the port is not 443.
  std::string HostHeader() const;
  // "https://host:port/".
  std::string BaseUrl() const;
};

// Raises Exception "Invalid URL: '<url>'" for anything but an https URL of the form above.
HttpEndpoint ParseEndpoint(std::string_view url);

struct HttpHeader {
  std::string name;
  std::string value;
};

// How requests reach their servers beyond what their URLs say.
struct HttpRoute {
  std::string ca_file;  // PEM file of extra trusted authorities; empty for none
  // "http://[user[:password]@]host[:port]", the proxy that tunnels every request (HTTP CONNECT);
  // empty for the environment's, if any. Its password is never shown in a message.
  std::string proxy;
};

enum class HttpVersion { kHttp10, kHttp11 };

// A request body read piece by piece while it is sent.
class HttpBodySource {
 public:
  virtual ~HttpBodySource() = default;
  // The exact number of bytes Read will deliver in all.
  virtual uint64_t Size() const = 0;
  // Copies the next bytes, at most `max`, into `buffer`; returns 0 only at the end. May raise.
  virtual size_t Read(char* buffer, size_t max) = 0;
};

// A body held in memory (small forms, empty bodies).
class StringBodySource : public HttpBodySource {
 public:
  explicit StringBodySource(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t Read(char* buffer, size_t max) override;

 private:
  std::string bytes_;
  size_t pos_ = 0;
};

struct HttpRequest {
  std::string method;  // "GET" or "POST"
  HttpEndpoint endpoint;
  std::string target;  // the path, sent as it is
  HttpVersion version = HttpVersion::kHttp11;
  std::vector<HttpHeader> headers;  // every header line, Host included, in wire order
  HttpBodySource* body = nullptr;   // POST only; nullptr sends an empty body
  HttpRoute route;
  HttpTimeLimits limits = CurrentHttpTimeLimits();
  // Whether the transfer is to end now (a stop request has arrived); none when empty. Called on
  // the thread that sends.
  std::function<bool()> stop;
};

struct HttpResponse {
  int status = -1;
  std::string status_line;  // e.g. "HTTP/1.1 201 Created", without CR LF
  std::vector<HttpHeader> headers;
  std::string body;
  std::string charset;  // the charset that Content-Type names; empty when none

  // The first header of that name (letter case ignored); nullptr when absent.
  const std::string* Header(std::string_view name) const;
};

class HttpTransportError : public Exception {
 public:
  HttpTransportError(const std::string& message, int status, std::string status_line)
      : Exception(message), status_(status), status_line_(std::move(status_line)) {}
  int status() const { return status_; }
  const std::string& status_line() const { return status_line_; }

 private:
  int status_;
  std::string status_line_;
};

class HttpProtocolError : public Exception {
 public:
  explicit HttpProtocolError(HttpResponse response)
      : Exception(response.status_line), response_(std::move(response)) {}
  int status() const { return response_.status; }
  const std::string& status_line() const { return response_.status_line; }
  // The raw body of the answer, the error text.
  const std::string& error_text() const { return response_.body; }
  const HttpResponse& response() const { return response_; }

 private:
  HttpResponse response_;
};

// Whether `route` takes the program to `endpoint`: a connection made as a request would make it
// (through the proxy, when the route has one, and the TLS handshake with the server's certificate
// verified), then closed without a request. Raises HttpTransportError with the cause otherwise.
void ProbeRoute(const HttpRoute& route, const HttpEndpoint& endpoint);

// One client per operation. Send makes a single exchange on a connection of its own.
// The client owns its libcurl handle; destroying it releases the handle and the connection.
class HttpClient {
 public:
  HttpClient();

  HttpResponse Send(const HttpRequest& request);

 private:
  struct CurlEasyCleanup {
    void operator()(void* handle) const;  // curl_easy_cleanup
  };
  std::unique_ptr<void, CurlEasyCleanup> curl_;  // the CURL easy handle
};

}  // namespace quirada
