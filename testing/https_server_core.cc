#include "testing/https_server_core.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "base/text.h"
#include "testing/server_socket.h"

namespace quirada::testing {
namespace {

struct SslCtxFree {
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
  void operator()(SSL* p) const { SSL_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};

[[noreturn]] void Fail(const std::string& what) {
  std::string detail;
  if (const unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    detail = std::string(": ") + buf;
  }
  ERR_clear_error();
  throw std::runtime_error("HTTPS server: " + what + detail);
}

}  // namespace

struct HttpsServerCore::Impl {
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
  Socket listener;
  StopSignal stop;

  // Waits until `socket` is ready; false when the server is stopping or the socket failed.
  bool Wait(const Socket& socket, bool for_writing) const {
    return WaitUntilReady(socket, for_writing, stop);
  }

  // Runs one non-blocking TLS call until it completes; false on failure or stop.
  template <typename Op>
  int Drive(SSL* ssl, const Socket& socket, Op op) const {
    for (;;) {
      const int r = op();
      if (r > 0) return r;
      const int err = SSL_get_error(ssl, r);
      if (err == SSL_ERROR_WANT_READ) {
        if (!Wait(socket, false)) return -1;
      } else if (err == SSL_ERROR_WANT_WRITE) {
        if (!Wait(socket, true)) return -1;
      } else {
        ERR_clear_error();
        return r == 0 ? 0 : -1;
      }
    }
  }
};

const std::string* CapturedRequest::Header(std::string_view name) const {
  for (size_t i = 0; i < header_lines.size(); ++i) {
    const std::string& line = header_lines[i];
    const size_t colon = line.find(':');
    if (colon != std::string::npos && EqualsIgnoringCase(std::string_view(line).substr(0, colon), name))
      return &header_values_[i];
  }
  return nullptr;
}

std::string FormatAnswer(std::string_view status_line,
                         const std::vector<std::pair<std::string, std::string>>& headers,
                         std::string_view body) {
  std::string out(status_line);
  out += "\r\n";
  bool has_length = false;
  for (const auto& [name, value] : headers) {
    has_length = has_length || EqualsIgnoringCase(name, "Content-Length");
    out += name + ": " + value + "\r\n";
  }
  if (!has_length) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  out += "Connection: close\r\n\r\n";
  out += body;
  return out;
}

HttpsServerCore::HttpsServerCore(const TlsIdentity& identity, Handler handler, Options options)
    : handler_(std::move(handler)), options_(options), impl_(new Impl) {
  impl_->ctx.reset(SSL_CTX_new(TLS_server_method()));
  SSL_CTX* ctx = impl_->ctx.get();
  if (ctx == nullptr) Fail("SSL_CTX_new");
  if (options_.min_tls_version != 0 || options_.max_tls_version != 0) {
    // Old protocol versions are refused at the default security level; a server that offers them
    // on purpose (to see the client refuse) needs the level lowered.
    SSL_CTX_set_security_level(ctx, 0);
    if (options_.min_tls_version) SSL_CTX_set_min_proto_version(ctx, options_.min_tls_version);
    if (options_.max_tls_version) SSL_CTX_set_max_proto_version(ctx, options_.max_tls_version);
  }
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

  std::unique_ptr<BIO, BioFree> chain(BIO_new_mem_buf(identity.certificate_chain_pem.data(),
                                                      static_cast<int>(identity.certificate_chain_pem.size())));
  std::unique_ptr<X509, X509Free> leaf(PEM_read_bio_X509(chain.get(), nullptr, nullptr, nullptr));
  if (!leaf || SSL_CTX_use_certificate(ctx, leaf.get()) != 1) Fail("certificate");
  while (X509* extra = PEM_read_bio_X509(chain.get(), nullptr, nullptr, nullptr)) {
    if (SSL_CTX_add_extra_chain_cert(ctx, extra) != 1) {
      X509_free(extra);
      Fail("certificate chain");
    }
  }
  ERR_clear_error();  // the end of the PEM data
  std::unique_ptr<BIO, BioFree> key_bio(BIO_new_mem_buf(identity.private_key_pem.data(),
                                                        static_cast<int>(identity.private_key_pem.size())));
  std::unique_ptr<EVP_PKEY, PkeyFree> key(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr));
  if (!key || SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1)
    Fail("private key");

  impl_->listener = ListenOnLoopback(options_.port, &port_);
  thread_ = std::thread([this] { Serve(); });
}

HttpsServerCore::~HttpsServerCore() { Stop(); }

void HttpsServerCore::Stop() {
  impl_->stop.Raise();
  if (thread_.joinable()) thread_.join();
}

std::vector<CapturedRequest> HttpsServerCore::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void HttpsServerCore::Serve() {
  // A client that hangs up mid-answer must not end the process: writes then just fail.
  PrepareServingThread();
  for (;;) {
    if (!impl_->Wait(impl_->listener, false)) return;
    const Socket connection = AcceptConnection(impl_->listener);
    if (!connection.Valid()) continue;
    ++connections_;
    HandleConnection(connection);
  }
}

void HttpsServerCore::HandleConnection(const Socket& connection) {
  if (!options_.handshake) {
    // Hold the connection without a word until the client leaves or the server stops.
    char buf[4096];
    while (impl_->Wait(connection, false)) {
      const long n = ReceiveSome(connection, buf, sizeof buf);
      if (n == 0 || n == -2) return;
    }
    return;
  }

  std::unique_ptr<SSL, SslFree> ssl(SSL_new(impl_->ctx.get()));
  if (!ssl) return;
  if (SSL_set_fd(ssl.get(), connection.ForSsl()) != 1) return;
  SSL* s = ssl.get();
  if (impl_->Drive(s, connection, [s] { return SSL_accept(s); }) <= 0) return;

  CapturedRequest request;
  request.tls_version = SSL_get_version(s);
  std::string buffer;
  char chunk[16384];
  auto read_more = [&]() -> bool {
    const int n =
        impl_->Drive(s, connection, [&] { return SSL_read(s, chunk, static_cast<int>(sizeof chunk)); });
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
    return true;
  };

  size_t head_end;
  while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
    if (buffer.size() > (1u << 20) || !read_more()) return;
  }
  request.head = buffer.substr(0, head_end + 4);
  buffer.erase(0, head_end + 4);

  uint64_t content_length = 0;
  size_t pos = 0;
  bool first = true;
  while (pos < request.head.size() - 2) {
    const size_t eol = request.head.find("\r\n", pos);
    std::string line = request.head.substr(pos, eol - pos);
    pos = eol + 2;
    if (first) {
      request.request_line = line;
      first = false;
      continue;
    }
    const size_t colon = line.find(':');
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(0, 1);
    if (colon != std::string::npos && EqualsIgnoringCase(std::string_view(line).substr(0, colon), "Content-Length"))
      content_length = std::strtoull(value.c_str(), nullptr, 10);
    request.header_lines.push_back(std::move(line));
    request.header_values_.push_back(std::move(value));
  }

  auto take = [&](size_t n) {
    if (options_.keep_bodies) request.body.append(buffer, 0, n);
    request.body_size += n;
    buffer.erase(0, n);
  };
  take(static_cast<size_t>(std::min<uint64_t>(content_length, buffer.size())));
  while (request.body_size < content_length) {
    if (!read_more()) return;
    take(static_cast<size_t>(std::min<uint64_t>(content_length - request.body_size, buffer.size())));
  }

  if (options_.record_requests) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  const ScriptedAnswer answer = handler_(request);

  switch (answer.kind) {
    case ScriptedAnswer::Kind::kCloseWithoutAnswer:
      return;
    case ScriptedAnswer::Kind::kStall:
      while (read_more()) buffer.clear();
      return;
    case ScriptedAnswer::Kind::kRespond:
      break;
  }
  size_t sent = 0;
  while (sent < answer.bytes.size()) {
    const size_t left = answer.bytes.size() - sent;
    const int n = impl_->Drive(s, connection, [&] {
      return SSL_write(s, answer.bytes.data() + sent, static_cast<int>(std::min<size_t>(left, 1 << 20)));
    });
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
  SSL_shutdown(s);
}

}  // namespace quirada::testing
