#include "platform_client/http_client.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "base/text.h"
#include "platform_client/charset.h"
#include "platform_client/trust_store.h"

namespace quirada {
namespace {

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;

void GlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw Exception("The HTTP library could not be initialised");
  });
}

bool HasHeader(const HttpRequest& request, std::string_view name) {
  for (const auto& h : request.headers)
    if (EqualsIgnoringCase(h.name, name)) return true;
  return false;
}

std::chrono::seconds ReadLimit(const char* text, const char* key, std::chrono::seconds fallback) {
  const char* at = std::strstr(text, key);
  if (at == nullptr || (at != text && at[-1] != ',')) return fallback;
  at += std::strlen(key);
  char* end = nullptr;
  const long v = std::strtol(at, &end, 10);
  return end != at && v > 0 ? std::chrono::seconds(v) : fallback;
}

std::string SecondsText(std::chrono::seconds limit) { return std::to_string(limit.count()); }

// The largest answer body taken in: far above any answer of the platform, and a peer that sends
// more cannot fill the memory or the service log.
constexpr size_t kMaxAnswerBytes = 1024 * 1024;

// State of one transfer, shared with libcurl's callbacks.
struct Transfer {
  HttpBodySource* body = nullptr;
  HttpResponse response;
  std::string body_error;      // failure raised by the body source
  std::string ssl_ctx_error;   // failure loading the extra authorities
  const HttpRoute* route = nullptr;
  std::chrono::seconds stall{0};
  const std::function<bool()>* stop = nullptr;
  bool stalled = false;
  bool stopped = false;
  bool too_large = false;
  curl_off_t last_dl = -1, last_ul = -1;
  std::chrono::steady_clock::time_point last_activity = std::chrono::steady_clock::now();

  void Touch() { last_activity = std::chrono::steady_clock::now(); }
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->Touch();
  std::string_view line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.substr(0, 5) == "HTTP/") {
    // A new answer begins (an interim 1xx answer came before): keep only the last one.
    t->response.status_line = std::string(line);
    t->response.headers.clear();
  } else if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    t->response.headers.push_back({std::string(line.substr(0, colon)), std::string(value)});
  }
  return size * count;
}

size_t OnWrite(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->Touch();
  if (t->response.body.size() + size * count > kMaxAnswerBytes) {
    t->too_large = true;
    return 0;  // libcurl ends the transfer and drops the connection
  }
  t->response.body.append(data, size * count);
  return size * count;
}

size_t OnRead(char* buffer, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->Touch();
  if (t->body == nullptr) return 0;
  try {
    return t->body->Read(buffer, size * count);
  } catch (const std::exception& e) {
    t->body_error = e.what();
    return CURL_READFUNC_ABORT;
  }
}

int OnProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto* t = static_cast<Transfer*>(user);
  // libcurl calls this about once a second even while nothing moves, and while it connects. An
  // answer that has arrived whole is taken, not cut: what the server answered is acted on.
  const bool answered = dltotal > 0 && dlnow >= dltotal;
  if (!answered && t->stop != nullptr && *t->stop && (*t->stop)()) {
    t->stopped = true;
    return 1;
  }
  if (dlnow != t->last_dl || ulnow != t->last_ul) {
    t->last_dl = dlnow;
    t->last_ul = ulnow;
    t->Touch();
  }
  if (std::chrono::steady_clock::now() - t->last_activity >= t->stall) {
    t->stalled = true;
    return 1;
  }
  return 0;
}

CURLcode OnSslContext(CURL*, void* ssl_ctx, void* user) {
  auto* t = static_cast<Transfer*>(user);
  try {
    UseTrustedAuthorities(static_cast<SSL_CTX*>(ssl_ctx), t->route->ca_file);
  } catch (const std::exception& e) {
    t->ssl_ctx_error = e.what();
    return CURLE_SSL_CACERT_BADFILE;
  }
  return CURLE_OK;
}

bool HasForbiddenByte(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The header list handed to libcurl. It begins with an empty "Host:" entry, so that libcurl neither
// writes its own Host line nor moves ours to the top; then come the request's lines in order; then
// empty entries that keep libcurl from adding lines of its own (they put nothing on the wire).
Slist BuildHeaderList(const HttpRequest& request, bool post) {
  Slist list;
  auto append = [&list](const std::string& entry) {
    curl_slist* grown = curl_slist_append(list.get(), entry.c_str());
    if (grown == nullptr) throw std::bad_alloc();
    list.release();
    list.reset(grown);
  };
  append("Host:");
  for (const auto& h : request.headers) {
    if (h.name.empty() || HasForbiddenByte(h.name) || HasForbiddenByte(h.value) ||
        h.name.find_first_of(": \t;") != std::string::npos)
      throw HttpTransportError("Invalid header line \"" + h.name + "\"", -1, "");
    // libcurl reads "Name:" with nothing after it as "remove"; "Name;" sends an empty value.
    append(h.value.empty() ? h.name + ";" : h.name + ": " + h.value);
  }
  for (const char* own : {"Accept", "Content-Type", "Expect", "Transfer-Encoding"}) {
    if (!HasHeader(request, own) && (post || std::strcmp(own, "Accept") == 0))
      append(std::string(own) + ":");
  }
  return list;
}

template <typename T>
void Set(CURL* curl, CURLoption option, T value) {
  if (curl_easy_setopt(curl, option, value) != CURLE_OK)
    throw HttpTransportError("The HTTP library refused an option (" + std::to_string(option) + ")",
                             -1, "");
}

}  // namespace

HttpTimeLimits CurrentHttpTimeLimits() {
  HttpTimeLimits limits;
  const char* env = std::getenv("QUIRADA_TEST_HTTP_LIMITS");
  if (env == nullptr || *env == '\0') return limits;
  limits.connect = ReadLimit(env, "connect=", limits.connect);
  limits.stall = ReadLimit(env, "stall=", limits.stall);
  limits.total = ReadLimit(env, "total=", limits.total);
  return limits;
}

std::string HttpEndpoint::HostHeader() const {
  return port == 443 ? host : host + ":" + std::to_string(port);
}

std::string HttpEndpoint::BaseUrl() const {
  return "https://" + host + ":" + std::to_string(port) + "/";
}

HttpEndpoint ParseEndpoint(std::string_view url) {
  auto invalid = [url]() { return Exception("Invalid URL: '" + std::string(url) + "'"); };
  constexpr std::string_view kScheme = "https://";
  if (url.size() < kScheme.size() || !EqualsIgnoringCase(url.substr(0, kScheme.size()), kScheme))
    throw invalid();
  std::string_view rest = url.substr(kScheme.size());
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);

  HttpEndpoint endpoint;
  std::string_view host, port_text;
  bool has_port = false;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos || close < 2) throw invalid();
    host = rest.substr(0, close + 1);
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') throw invalid();
      has_port = true;
      port_text = after.substr(1);
    }
    for (char c : host.substr(1, host.size() - 2)) {
      const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                      c == ':' || c == '.';
      if (!ok) throw invalid();
    }
  } else {
    const size_t colon = rest.find(':');
    host = rest.substr(0, colon);
    if (colon != std::string_view::npos) {
      has_port = true;
      port_text = rest.substr(colon + 1);
    }
    if (host.empty()) throw invalid();
    for (char c : host) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_';
      if (!ok) throw invalid();
    }
  }
  endpoint.host = std::string(host);
  if (has_port) {
    if (port_text.empty() || port_text.size() > 5) throw invalid();
    int port = 0;
    for (char c : port_text) {
      if (c < '0' || c > '9') throw invalid();
      port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) throw invalid();
    endpoint.port = port;
  }
  return endpoint;
}

size_t StringBodySource::Read(char* buffer, size_t max) {
  const size_t n = std::min(max, bytes_.size() - pos_);
  std::memcpy(buffer, bytes_.data() + pos_, n);
  pos_ += n;
  return n;
}

const std::string* HttpResponse::Header(std::string_view name) const {
  for (const auto& h : headers)
    if (EqualsIgnoringCase(h.name, name)) return &h.value;
  return nullptr;
}

void HttpClient::CurlEasyCleanup::operator()(void* handle) const {
  curl_easy_cleanup(static_cast<CURL*>(handle));
}

HttpClient::HttpClient() {
  GlobalInitOnce();
  curl_.reset(curl_easy_init());
  if (!curl_) throw HttpTransportError("The HTTP client could not be created", -1, "");
}

namespace {

// A request the layer refuses before anything is sent.
void CheckRequest(const HttpRequest& request) {
  if (request.method != "POST" && request.method != "GET")
    throw HttpTransportError("Unsupported HTTP method " + request.method, -1, "");
  if (request.target.empty() || request.target.front() != '/')
    throw HttpTransportError("Invalid request path \"" + request.target + "\"", -1, "");
  for (char c : request.target) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F)
      throw HttpTransportError("Invalid character in the request path \"" + request.target + "\"",
                               -1, "");
  }
}

// What every connection of the layer is: one fresh connection to `url` over TLS 1.2 or later,
// the server verified against the route's authorities, through the route's proxy or none, with
// the connect and total limits, no signals and no redirects.
void SetConnection(CURL* curl, const std::string& url, const HttpRoute& route, const HttpTimeLimits& limits,
                   Transfer& t, char* error_buffer) {
  t.route = &route;
  Set(curl, CURLOPT_ERRORBUFFER, error_buffer);
  Set(curl, CURLOPT_URL, url.c_str());
  Set(curl, CURLOPT_PROTOCOLS_STR, "https");
  if (!route.proxy.empty()) Set(curl, CURLOPT_PROXY, route.proxy.c_str());
  Set(curl, CURLOPT_FOLLOWLOCATION, 0L);
  Set(curl, CURLOPT_FORBID_REUSE, 1L);
  Set(curl, CURLOPT_FRESH_CONNECT, 1L);
  Set(curl, CURLOPT_NOSIGNAL, 1L);

  Set(curl, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
  Set(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  Set(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  // The trusted authorities are the trust store's (trust_store.h): libcurl reads no bundle of its
  // own, and loads only what the platform's trust store asks for (the system's certificate store
  // on Windows).
  Set(curl, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
  Set(curl, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  Set(curl, CURLOPT_SSL_OPTIONS, TrustedAuthoritiesSslOptions());
  Set(curl, CURLOPT_SSL_CTX_FUNCTION, &OnSslContext);
  Set(curl, CURLOPT_SSL_CTX_DATA, static_cast<void*>(&t));

  Set(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connect.count()));
  Set(curl, CURLOPT_TIMEOUT, static_cast<long>(limits.total.count()));
}

// The request itself: its line, its header lines, its body, and the callbacks that take the
// answer and watch the transfer.
void SetExchange(CURL* curl, const HttpRequest& request, const Slist& headers, Transfer& t) {
  Set(curl, CURLOPT_REQUEST_TARGET, request.target.c_str());
  Set(curl, CURLOPT_HTTP_VERSION,
      request.version == HttpVersion::kHttp10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  Set(curl, CURLOPT_HTTPHEADER, headers.get());
  Set(curl, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  Set(curl, CURLOPT_FAILONERROR, 0L);

  Set(curl, CURLOPT_NOPROGRESS, 0L);
  Set(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  Set(curl, CURLOPT_XFERINFODATA, static_cast<void*>(&t));
  Set(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
  Set(curl, CURLOPT_HEADERDATA, static_cast<void*>(&t));
  Set(curl, CURLOPT_WRITEFUNCTION, &OnWrite);
  Set(curl, CURLOPT_WRITEDATA, static_cast<void*>(&t));

  if (request.method == "POST") {
    Set(curl, CURLOPT_POST, 1L);
    Set(curl, CURLOPT_POSTFIELDSIZE_LARGE,
        static_cast<curl_off_t>(request.body != nullptr ? request.body->Size() : 0));
    Set(curl, CURLOPT_READFUNCTION, &OnRead);
    Set(curl, CURLOPT_READDATA, static_cast<void*>(&t));
  } else {
    Set(curl, CURLOPT_HTTPGET, 1L);
  }
}

// Why a transfer that libcurl ended with `rc` failed, in the words the layer promises; raises
// Interrupted for a transfer a stop request ended.
std::string FailureMessage(CURL* curl, CURLcode rc, const Transfer& t, const HttpTimeLimits& limits,
                           const char* error_buffer) {
  if (!t.body_error.empty()) return t.body_error;
  if (!t.ssl_ctx_error.empty()) return t.ssl_ctx_error;
  if (t.too_large)
    return "The answer is larger than " + std::to_string(kMaxAnswerBytes) + " bytes; the connection was dropped";
  if (rc == CURLE_ABORTED_BY_CALLBACK && t.stopped) throw Interrupted("Transfer interrupted by a stop request");
  if (rc == CURLE_ABORTED_BY_CALLBACK && t.stalled)
    return "Transfer stalled: nothing was transferred for " + SecondsText(limits.stall) + " seconds";
  if (rc == CURLE_OPERATION_TIMEDOUT) {
    curl_off_t connected = 0;
    curl_easy_getinfo(curl, CURLINFO_APPCONNECT_TIME_T, &connected);
    return connected == 0
               ? "Connection timed out: no connection within " + SecondsText(limits.connect) + " seconds"
               : "Request timed out: no complete answer within " + SecondsText(limits.total) + " seconds";
  }
  std::string message = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(rc);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

}  // namespace

HttpResponse HttpClient::Send(const HttpRequest& request) {
  CURL* curl = static_cast<CURL*>(curl_.get());
  curl_easy_reset(curl);
  CheckRequest(request);

  Transfer t;
  t.body = request.body;
  t.stall = request.limits.stall;
  t.stop = &request.stop;
  char error_buffer[CURL_ERROR_SIZE] = {0};
  const Slist headers = BuildHeaderList(request, request.method == "POST");
  SetConnection(curl, request.endpoint.BaseUrl(), request.route, request.limits, t, error_buffer);
  SetExchange(curl, request, headers, t);

  if (request.stop && request.stop()) throw Interrupted("Transfer interrupted by a stop request");
  t.Touch();
  const CURLcode rc = curl_easy_perform(curl);

  long code = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  HttpResponse& response = t.response;
  response.status = code > 0 && !response.status_line.empty() ? static_cast<int>(code) : -1;
  if (rc != CURLE_OK)
    throw HttpTransportError(FailureMessage(curl, rc, t, request.limits, error_buffer), response.status,
                             response.status_line);

  if (const std::string* type = response.Header("Content-Type"))
    response.charset = CharsetOfContentType(*type);
  if (response.status < 200 || response.status > 299) throw HttpProtocolError(std::move(response));
  return std::move(response);
}

void ProbeRoute(const HttpRoute& route, const HttpEndpoint& endpoint) {
  GlobalInitOnce();
  const std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) throw HttpTransportError("The HTTP client could not be created", -1, "");
  Transfer t;
  const HttpTimeLimits limits = CurrentHttpTimeLimits();
  char error_buffer[CURL_ERROR_SIZE] = {0};
  SetConnection(curl.get(), endpoint.BaseUrl(), route, limits, t, error_buffer);
  Set(curl.get(), CURLOPT_CONNECT_ONLY, 1L);
  const CURLcode rc = curl_easy_perform(curl.get());
  if (rc != CURLE_OK) throw HttpTransportError(FailureMessage(curl.get(), rc, t, limits, error_buffer), -1, "");
}

}  // namespace quirada
