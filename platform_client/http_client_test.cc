#include "platform_client/http_client.h"

#ifdef _WIN32
#include <windows.h>
// Before OpenSSL's headers, which take back the names that wincrypt.h defines.
#include <wincrypt.h>

#include "base/win32_handle_win32.h"
#endif

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "base/platform.h"
#include "testing/https_test_server.h"
#include "testing/test_ca.h"
#include "testing/test_files.h"

using quirada::testing::FailureOf;
using quirada::testing::WriteFileBytes;

namespace quirada {
namespace {

using testing::TestHttpsServer;

// Sets QUIRADA_TEST_HTTP_LIMITS to `value`, or removes it when `value` is nullptr.
void SetLimitsVariable(const char* value) {
#ifdef _WIN32
  // The C runtime's own environment, the one getenv reads; an empty value removes the variable.
  _putenv_s("QUIRADA_TEST_HTTP_LIMITS", value != nullptr ? value : "");
#else
  if (value != nullptr) {
    ::setenv("QUIRADA_TEST_HTTP_LIMITS", value, 1);
  } else {
    ::unsetenv("QUIRADA_TEST_HTTP_LIMITS");
  }
#endif
}

// Sets QUIRADA_TEST_HTTP_LIMITS for the life of the object.
class ScopedLimits {
 public:
  explicit ScopedLimits(const char* value) { SetLimitsVariable(value); }
  ~ScopedLimits() { SetLimitsVariable(nullptr); }
};

HttpRequest Get(const TestHttpsServer& server, std::string target) {
  HttpRequest r;
  r.method = "GET";
  r.endpoint = ParseEndpoint(server.Url());
  r.target = std::move(target);
  r.version = HttpVersion::kHttp11;
  r.headers = {{"Host", r.endpoint.HostHeader()}};
  r.route.ca_file = server.CaFile();
  return r;
}

// The message of the failure, or "no failure".
TEST(HttpClientTest, PostGoesOutAsHttp10WithExactlyTheGivenHeaderLinesInOrder) {
  TestHttpsServer server;
  server.Respond("HTTP/1.1 201 Created", {}, "{}");
  const std::string host = "localhost:" + std::to_string(server.port());
  StringBodySource body("hello");
  HttpRequest r;
  r.method = "POST";
  r.endpoint = ParseEndpoint(server.Url());
  r.target = "/quirada/invoice/v3/batches";
  r.version = HttpVersion::kHttp10;
  r.route.ca_file = server.CaFile();
  r.body = &body;
  r.headers = {
      {"Connection", "Keep-Alive"},
      {"Content-Type", "multipart/form-data; boundary=--------1; charset=utf-8"},
      {"Content-Length", "5"},
      {"x-integration-key", "K"},
      {"Authorization", "Bearer "},
      {"Host", host},
      {"Accept", "*/*"},
      {"Accept-Encoding", "gzip, deflate, br, identity"},
      {"User-Agent", "User-Agent:Mozilla/5.0 (X)"},
  };
  HttpClient client;
  const HttpResponse response = client.Send(r);
  EXPECT_EQ(response.status, 201);

  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests()[0].Raw(),
            "POST /quirada/invoice/v3/batches HTTP/1.0\r\n"
            "Connection: Keep-Alive\r\n"
            "Content-Type: multipart/form-data; boundary=--------1; charset=utf-8\r\n"
            "Content-Length: 5\r\n"
            "x-integration-key: K\r\n"
            "Authorization: Bearer \r\n"
            "Host: " + host + "\r\n"
            "Accept: */*\r\n"
            "Accept-Encoding: gzip, deflate, br, identity\r\n"
            "User-Agent: User-Agent:Mozilla/5.0 (X)\r\n"
            "\r\n"
            "hello");
}

TEST(HttpClientTest, GetGoesOutAsHttp11WithoutAnyLineOfTheLibrarysOwn) {
  TestHttpsServer server;
  server.Respond("HTTP/1.1 200 OK");
  HttpRequest r = Get(server, "/quirada/invoice/v3/batches/a/../b%2F?x=1");
  r.headers = {
      {"Connection", "Keep-Alive"},
      {"Content-Type", "application/json; charset=utf-8"},
      {"Host", r.endpoint.HostHeader()},
      {"Empty", ""},
      {"User-Agent", "UA"},
  };
  HttpClient().Send(r);
  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests()[0].Raw(),
            "GET /quirada/invoice/v3/batches/a/../b%2F?x=1 HTTP/1.1\r\n"
            "Connection: Keep-Alive\r\n"
            "Content-Type: application/json; charset=utf-8\r\n"
            "Host: localhost:" + std::to_string(server.port()) + "\r\n"
            "Empty:\r\n"
            "User-Agent: UA\r\n"
            "\r\n");
}

TEST(HttpClientTest, AnEmptyPostBodyIsAnnouncedAndSentAsZeroBytes) {
  TestHttpsServer server;
  server.Respond("HTTP/1.1 200 OK");
  HttpRequest r = Get(server, "/enable");
  r.method = "POST";
  r.version = HttpVersion::kHttp10;
  r.headers.push_back({"Content-Length", "0"});
  HttpClient().Send(r);
  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests()[0].Raw(),
            "POST /enable HTTP/1.0\r\nHost: localhost:" + std::to_string(server.port()) +
                "\r\nContent-Length: 0\r\n\r\n");
}

TEST(HttpClientTest, GivesTheStatusLineHeadersRawBodyAndCharsetAsReceived) {
  TestHttpsServer server;
  server.Respond("HTTP/1.1 200 Tudo Certo",
                 {{"Content-Type", "application/json; charset=ISO-8859-1"},
                  {"Content-Encoding", "gzip"}},
                 "\x1F\x8B\x08\xE7");
  const HttpResponse response = HttpClient().Send(Get(server, "/"));
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.status_line, "HTTP/1.1 200 Tudo Certo");
  EXPECT_EQ(response.body, "\x1F\x8B\x08\xE7");  // never decompressed
  EXPECT_EQ(response.charset, "ISO-8859-1");
  ASSERT_NE(response.Header("content-encoding"), nullptr);
  EXPECT_EQ(*response.Header("content-encoding"), "gzip");
}

TEST(HttpClientTest, EveryStatusOutside2xxIsAProtocolErrorCarryingStatusLineAndBody) {
  const struct {
    const char* status_line;
    int status;
  } cases[] = {
      {"HTTP/1.1 401 Unauthorized", 401},
      {"HTTP/1.1 404 Not Found", 404},
      {"HTTP/1.0 500 Internal Server Error", 500},
      {"HTTP/1.1 302 Found", 302},
  };
  for (const auto& c : cases) {
    TestHttpsServer server;
    server.Respond(c.status_line, {{"Location", "/elsewhere"}}, "{\"error\":\"no\"}");
    server.Respond("HTTP/1.1 200 OK");
    try {
      HttpClient().Send(Get(server, "/"));
      ADD_FAILURE() << c.status_line << " was taken for an answer";
    } catch (const HttpProtocolError& e) {
      EXPECT_STREQ(e.what(), c.status_line);
      EXPECT_EQ(e.status(), c.status);
      EXPECT_EQ(e.error_text(), "{\"error\":\"no\"}");
    }
    EXPECT_EQ(server.ConnectionCount(), 1) << "a redirect was followed: " << c.status_line;
  }
}

TEST(HttpClientTest, EveryStatusFrom200To299IsAnAnswer) {
  for (const char* line : {"HTTP/1.1 200 OK", "HTTP/1.1 201 Created", "HTTP/1.1 204 No Content",
                           "HTTP/1.1 299 Whatever"}) {
    TestHttpsServer server;
    server.Respond(line);
    EXPECT_EQ(HttpClient().Send(Get(server, "/")).status_line, line);
  }
}

TEST(HttpClientTest, TrustsOnlyCertificatesOfTheSystemStoreOrCaFileThatNameTheHost) {
  const struct {
    const char* what;
    TestHttpsServer::Certificate certificate;
    bool give_ca_file;
    bool accepted;
  } cases[] = {
      {"trusted through CAFile", TestHttpsServer::Certificate::kTrusted, true, true},
      {"unknown to the system store", TestHttpsServer::Certificate::kTrusted, false, false},
      {"issued by an untrusted CA", TestHttpsServer::Certificate::kUntrusted, true, false},
      {"issued for another name", TestHttpsServer::Certificate::kWrongName, true, false},
  };
  for (const auto& c : cases) {
    TestHttpsServer server({c.certificate, {}});
    server.Respond("HTTP/1.1 200 OK");
    HttpRequest r = Get(server, "/");
    if (!c.give_ca_file) r.route.ca_file.clear();
    if (c.accepted) {
      EXPECT_EQ(HttpClient().Send(r).status, 200) << c.what;
      EXPECT_EQ(server.RequestCount(), 1u) << c.what;
    } else {
      try {
        HttpClient().Send(r);
        ADD_FAILURE() << c.what << ": the certificate was accepted";
      } catch (const HttpTransportError& e) {
        EXPECT_EQ(e.status(), -1) << c.what;
        EXPECT_NE(std::string(e.what()), "") << c.what;
      }
      EXPECT_EQ(server.RequestCount(), 0u) << c.what << ": a request went out";
    }
  }
}

// The authorities are loaded once and kept while CAFile stays the same; a request naming another
// CAFile trusts that file's authorities, and not the ones kept for the earlier file.
TEST(HttpClientTest, EachRequestTrustsTheCaFileItNamesWhenCaFileChangesBetweenRequests) {
  TestHttpsServer server;
  const testing::TestCertificateAuthority other("Another Root CA");
  const std::filesystem::path other_file =
      std::filesystem::temp_directory_path() /
      ("quirada-other-ca-" + std::to_string(CurrentProcessId()) + ".pem");
  const std::string pem = other.CertificatePem();
  WriteFileBytes(other_file, pem);
  ASSERT_EQ(testing::ReadFileBytes(other_file), pem);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    server.Respond("HTTP/1.1 200 OK");
    EXPECT_EQ(HttpClient().Send(Get(server, "/")).status, 200);
    HttpRequest r = Get(server, "/");
    r.route.ca_file = other_file.string();
    EXPECT_THROW(HttpClient().Send(r), HttpTransportError);
  }
  EXPECT_EQ(server.RequestCount(), 2u);
  std::filesystem::remove(other_file);
}

#ifdef _WIN32
// An authority put into the machine's ROOT certificate store for the life of the object (or until
// Remove); Added() is false when the store refused it (adding to it is an administrator's right).
// Each change is committed at once: Wine keeps a system store's changes in memory until then, out
// of sight of the store libcurl opens.
BOOL CloseCertStore(HCERTSTORE store) { return CertCloseStore(store, 0); }

class SystemStoreAuthority {
 public:
  explicit SystemStoreAuthority(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    unsigned char* der = nullptr;
    const int size = cert != nullptr ? i2d_X509(cert, &der) : -1;
    X509_free(cert);
    if (size <= 0) return;
    store_.reset(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT"));
    if (store_ &&
        CertAddEncodedCertificateToStore(store_.get(), X509_ASN_ENCODING, der, static_cast<DWORD>(size),
                                         CERT_STORE_ADD_NEW, &added_)) {
      if (!Commit()) Remove();
    } else {
      added_ = nullptr;
    }
    OPENSSL_free(der);
  }
  ~SystemStoreAuthority() {
    Remove();
  }
  SystemStoreAuthority(const SystemStoreAuthority&) = delete;
  SystemStoreAuthority& operator=(const SystemStoreAuthority&) = delete;

  bool Added() const { return added_ != nullptr; }
  // Takes the authority out of the store again.
  bool Remove() {
    if (added_ == nullptr) return true;
    const bool removed = CertDeleteCertificateFromStore(added_) != 0;  // frees the context either way
    added_ = nullptr;
    return Commit() && removed;
  }

 private:
  bool Commit() { return CertControlStore(store_.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr) != 0; }

  Win32Handle<HCERTSTORE, &CloseCertStore> store_;
  PCCERT_CONTEXT added_ = nullptr;
};

// On Windows libcurl reads the system's certificate store for each connection and CAFile's
// authorities are added beside them: with CAFile set, a server whose authority is only in the store
// and one whose authority is only in CAFile are both trusted; once the authority leaves the store,
// its server is not.
TEST(HttpClientTest, TheSystemCertificateStoreAndCaFileAreTrustedTogether) {
  TestHttpsServer store_server;
  const testing::TestCertificateAuthority file_ca("Quirada CAFile Test Root CA");
  testing::HttpsServerCore file_server(
      file_ca.IssueServerIdentity({"localhost"}, {"127.0.0.1"}),
      [](const testing::CapturedRequest&) {
        return testing::ScriptedAnswer{testing::ScriptedAnswer::Kind::kRespond,
                                       testing::FormatAnswer("HTTP/1.1 200 OK", {}, "")};
      },
      {});
  const std::filesystem::path ca_file =
      std::filesystem::temp_directory_path() /
      ("quirada-file-ca-" + std::to_string(CurrentProcessId()) + ".pem");
  WriteFileBytes(ca_file, file_ca.CertificatePem());

  SystemStoreAuthority in_store(testing::ReadFileBytes(store_server.CaFile()));
  if (!in_store.Added()) {
    std::filesystem::remove(ca_file);
    GTEST_SKIP() << "the machine's ROOT certificate store refused the test's authority (it takes "
                    "an administrator)";
  }
  auto send = [&](int port, const std::string& file) {
    HttpRequest r = Get(store_server, "/");
    r.endpoint = ParseEndpoint("https://localhost:" + std::to_string(port));
    r.headers = {{"Host", r.endpoint.HostHeader()}};
    r.route.ca_file = file;
    return FailureOf([&] { EXPECT_EQ(HttpClient().Send(r).status, 200); });
  };
  store_server.Respond("HTTP/1.1 200 OK");
  store_server.Respond("HTTP/1.1 200 OK");
  EXPECT_EQ(send(store_server.port(), ca_file.string()), "no failure") << "the store's authority";
  EXPECT_EQ(send(file_server.port(), ca_file.string()), "no failure") << "CAFile's authority";
  EXPECT_EQ(send(store_server.port(), ""), "no failure") << "the store's authority without CAFile";
  EXPECT_EQ(store_server.RequestCount(), 2u);
  EXPECT_EQ(file_server.Requests().size(), 1u);

  ASSERT_TRUE(in_store.Remove());
  EXPECT_NE(send(store_server.port(), ca_file.string()), "no failure") << "an authority gone from the store";
  EXPECT_EQ(store_server.RequestCount(), 2u);
  std::filesystem::remove(ca_file);
}
#endif

TEST(HttpClientTest, TheIpAddressNamedInTheCertificateIsAcceptedAsHost) {
  TestHttpsServer server;
  server.Respond("HTTP/1.1 200 OK");
  HttpRequest r = Get(server, "/");
  r.endpoint = ParseEndpoint(server.IpUrl());
  EXPECT_EQ(HttpClient().Send(r).status, 200);
}

TEST(HttpClientTest, AnUnreadableCaFileFailsTheRequestAndSaysSo) {
  TestHttpsServer server;
  HttpRequest r = Get(server, "/");
  r.route.ca_file = "/nonexistent/extra-ca.pem";
  EXPECT_EQ(FailureOf([&] { HttpClient().Send(r); }),
            "The trusted certificates of \"/nonexistent/extra-ca.pem\" could not be loaded");
  EXPECT_EQ(server.RequestCount(), 0u);
}

TEST(HttpClientTest, NegotiatesTls12OrTls13AndRefusesOlderVersions) {
  const struct {
    int min, max;
    const char* version;  // nullptr: refused
  } cases[] = {
      {TLS1_VERSION, TLS1_1_VERSION, nullptr},
      {TLS1_2_VERSION, TLS1_2_VERSION, "TLSv1.2"},
      {TLS1_3_VERSION, TLS1_3_VERSION, "TLSv1.3"},
  };
  for (const auto& c : cases) {
    TestHttpsServer::Options options;
    options.core.min_tls_version = c.min;
    options.core.max_tls_version = c.max;
    TestHttpsServer server(options);
    server.Respond("HTTP/1.1 200 OK");
    if (c.version == nullptr) {
      EXPECT_THROW(HttpClient().Send(Get(server, "/")), HttpTransportError);
      EXPECT_EQ(server.RequestCount(), 0u);
    } else {
      HttpClient().Send(Get(server, "/"));
      ASSERT_EQ(server.RequestCount(), 1u);
      EXPECT_EQ(server.Requests()[0].tls_version, c.version);
    }
  }
}

TEST(HttpClientTest, AServerThatNeverCompletesTheHandshakeEndsByTheConnectLimit) {
  ScopedLimits limits("connect=1,stall=30,total=60");
  TestHttpsServer::Options options;
  options.core.handshake = false;
  TestHttpsServer server(options);
  try {
    HttpClient().Send(Get(server, "/"));
    ADD_FAILURE() << "no time-out";
  } catch (const HttpTransportError& e) {
    EXPECT_STREQ(e.what(), "Connection timed out: no connection within 1 seconds");
    EXPECT_EQ(e.status(), -1);
  }
}

TEST(HttpClientTest, AServerThatStallsAfterTheRequestEndsByTheStallLimit) {
  ScopedLimits limits("connect=5,stall=2,total=60");
  TestHttpsServer server;
  server.Stall();
  EXPECT_EQ(FailureOf([&] { HttpClient().Send(Get(server, "/")); }),
            "Transfer stalled: nothing was transferred for 2 seconds");
  EXPECT_EQ(server.RequestCount(), 1u);
}

TEST(HttpClientTest, TheWholeRequestEndsByTheTotalLimit) {
  ScopedLimits limits("connect=5,stall=60,total=2");
  TestHttpsServer server;
  server.Stall();
  EXPECT_EQ(FailureOf([&] { HttpClient().Send(Get(server, "/")); }),
            "Request timed out: no complete answer within 2 seconds");
}

// A stop request ends a request that waits on the server, while it connects or while it waits for
// the answer, long before any time limit would: Send raises Interrupted, no transport failure.
TEST(HttpClientTest, AStopPredicateEndsAWaitingRequestAtOnce) {
  const struct {
    const char* what;
    bool handshake;
  } cases[] = {{"the answer never comes", true}, {"the handshake never completes", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestHttpsServer::Options options;
    options.core.handshake = c.handshake;
    TestHttpsServer server(options);
    server.Stall();
    HttpRequest request = Get(server, "/");
    const auto start = std::chrono::steady_clock::now();
    request.stop = [&] {
      return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(500);
    };
    std::string failure = "no failure";
    try {
      HttpClient().Send(request);
    } catch (const Interrupted& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure, "Transfer interrupted by a stop request");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
        << "the default limits (30 s to connect, 120 s without a byte) play no part";
  }
}

TEST(HttpClientTest, AConnectionClosedWithoutAnswerIsATransportFailureWithoutStatus) {
  TestHttpsServer server;
  server.CloseWithoutAnswer();
  try {
    HttpClient().Send(Get(server, "/"));
    ADD_FAILURE() << "no failure";
  } catch (const HttpTransportError& e) {
    EXPECT_EQ(e.status(), -1);
    EXPECT_EQ(e.status_line(), "");
    EXPECT_NE(std::string(e.what()), "");
  }
}

// Delivers `size` bytes of a repeating pattern in pieces of at most 1000 bytes; raises after
// `fail_after` bytes when that is set.
class PatternSource : public HttpBodySource {
 public:
  PatternSource(uint64_t size, std::optional<uint64_t> fail_after) : size_(size), fail_after_(fail_after) {}
  uint64_t Size() const override { return size_; }
  size_t Read(char* buffer, size_t max) override {
    if (fail_after_ && pos_ >= *fail_after_) throw Exception("disk gone");
    const size_t n = static_cast<size_t>(std::min<uint64_t>({max, 1000, size_ - pos_}));
    for (size_t i = 0; i < n; ++i) buffer[i] = static_cast<char>('a' + (pos_ + i) % 26);
    pos_ += n;
    ++reads_;
    return n;
  }
  int reads() const { return reads_; }

 private:
  uint64_t size_;
  std::optional<uint64_t> fail_after_;
  uint64_t pos_ = 0;
  int reads_ = 0;
};

TEST(HttpClientTest, StreamsTheBodyFromItsSourcePieceByPiece) {
  TestHttpsServer server;
  server.Respond("HTTP/1.1 200 OK");
  PatternSource source(300000, std::nullopt);
  HttpRequest r = Get(server, "/");
  r.method = "POST";
  r.version = HttpVersion::kHttp10;
  r.body = &source;
  r.headers.push_back({"Content-Length", "300000"});
  HttpClient().Send(r);
  ASSERT_EQ(server.RequestCount(), 1u);
  const std::string body = server.Requests()[0].body;
  ASSERT_EQ(body.size(), 300000u);
  for (size_t i = 0; i < body.size(); i += 9973) ASSERT_EQ(body[i], 'a' + i % 26) << i;
  EXPECT_GE(source.reads(), 300);
}

TEST(HttpClientTest, AFailingBodySourceEndsTheRequestWithItsMessage) {
  TestHttpsServer server;
  PatternSource source(300000, 5000);
  HttpRequest r = Get(server, "/");
  r.method = "POST";
  r.version = HttpVersion::kHttp10;
  r.body = &source;
  r.headers.push_back({"Content-Length", "300000"});
  EXPECT_EQ(FailureOf([&] { HttpClient().Send(r); }), "disk gone");
  EXPECT_EQ(server.RequestCount(), 0u);
}

TEST(HttpClientTest, RefusesHeaderLinesAndTargetsThatWouldForgeTheRequest) {
  TestHttpsServer server;
  const struct {
    const char* what;
    std::function<void(HttpRequest&)> change;
  } cases[] = {
      {"CR LF in a value", [](HttpRequest& r) { r.headers.push_back({"Authorization", "Bearer x\r\nHost: evil"}); }},
      {"LF in a value", [](HttpRequest& r) { r.headers.push_back({"x-integration-key", "a\nb"}); }},
      {"NUL in a value", [](HttpRequest& r) { r.headers.push_back({"X", std::string("a\0b", 3)}); }},
      {"colon in a name", [](HttpRequest& r) { r.headers.push_back({"X: y", "z"}); }},
      {"blank in the target", [](HttpRequest& r) { r.target = "/batches/1 HTTP/1.1"; }},
      {"CR LF in the target", [](HttpRequest& r) { r.target = "/batches/1\r\nX: y"; }},
      {"target without slash", [](HttpRequest& r) { r.target = "batches"; }},
  };
  for (const auto& c : cases) {
    HttpRequest r = Get(server, "/");
    c.change(r);
    EXPECT_THROW(HttpClient().Send(r), HttpTransportError) << c.what;
  }
  EXPECT_EQ(server.ConnectionCount(), 0);
}

TEST(ParseEndpointTest, ReadsSchemeHostAndOptionalPort) {
  const struct {
    const char* url;
    const char* host;
    int port;
    const char* host_header;
  } cases[] = {
      {"https://api.quirada.com.br", "api.quirada.com.br", 443, "api.quirada.com.br"},
      {"https://api.quirada.com.br/", "api.quirada.com.br", 443, "api.quirada.com.br"},
      {"HTTPS://localhost:8443", "localhost", 8443, "localhost:8443"},
      {"https://127.0.0.1:443", "127.0.0.1", 443, "127.0.0.1"},
      {"https://[::1]:9000/", "[::1]", 9000, "[::1]:9000"},
  };
  for (const auto& c : cases) {
    const HttpEndpoint e = ParseEndpoint(c.url);
    EXPECT_EQ(e.host, c.host) << c.url;
    EXPECT_EQ(e.port, c.port) << c.url;
    EXPECT_EQ(e.HostHeader(), c.host_header) << c.url;
  }
}

TEST(ParseEndpointTest, RefusesAnythingButAnHttpsSchemeHostAndPort) {
  for (const char* url : {"", "http://api.quirada.com.br", "https://", "https://:443",
                          "https://host:", "https://host:0", "https://host:65536", "https://host:8x",
                          "https://host/path", "https://user@host", "https://ho st", "https://[::1",
                          "https://[zz]:1", "ftp://host"}) {
    EXPECT_EQ(FailureOf([&] { ParseEndpoint(url); }), std::string("Invalid URL: '") + url + "'");
  }
}

TEST(HttpTimeLimitsTest, DefaultsAreThirtySecondsTwoMinutesAndTenMinutesUnlessATestSetsThem) {
  const struct {
    const char* env;  // nullptr: unset
    long connect, stall, total;
  } cases[] = {
      {nullptr, 30, 120, 600},
      {"connect=1,stall=2,total=5", 1, 2, 5},
      {"stall=3", 30, 3, 600},
      {"total=9,connect=4", 4, 120, 9},
      {"connect=x,stall=-1", 30, 120, 600},
  };
  for (const auto& c : cases) {
    SetLimitsVariable(c.env);
    const HttpTimeLimits l = CurrentHttpTimeLimits();
    EXPECT_EQ(l.connect.count(), c.connect) << (c.env ? c.env : "unset");
    EXPECT_EQ(l.stall.count(), c.stall) << (c.env ? c.env : "unset");
    EXPECT_EQ(l.total.count(), c.total) << (c.env ? c.env : "unset");
  }
  SetLimitsVariable(nullptr);
}

}  // namespace
}  // namespace quirada
