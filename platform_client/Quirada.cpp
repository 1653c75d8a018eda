// The component's own pieces: creation, the request handler, and the request set-up that every API
// operation shares.
#include "platform_client/Quirada.h"

#include "platform_client/token_file.h"

namespace quirada {

TDTQuirada::TDTQuirada() = default;
TDTQuirada::~TDTQuirada() = default;

TRetornoPadrao TDTQuirada::onExecuteRequest(TonExecuteRequest vEvent) {
  FonExecuteRequest = std::move(vEvent);
  return TRetornoPadrao{};
}

std::vector<HttpHeader> TDTQuirada::ApiHeaders(const ApiHeaderValues& values,
                                               const HttpEndpoint& host) const {
  std::vector<HttpHeader> headers;
  headers.push_back({"Connection", KEEP_ALIVE});
  if (!values.content_type.empty()) headers.push_back({"Content-Type", values.content_type});
  if (values.content_length)
    headers.push_back({"Content-Length", std::to_string(*values.content_length)});
  if (!values.integration_key.empty())
    headers.push_back({kIntegrationKeyHeader, values.integration_key});
  headers.push_back({kAuthorizationHeader, kBearerPrefix + FAccessToken});
  headers.push_back({"Host", host.HostHeader()});
  if (!values.accept.empty()) headers.push_back({"Accept", values.accept});
  if (!values.accept_charset.empty()) headers.push_back({"Accept-Charset", values.accept_charset});
  if (!values.accept_encoding.empty()) headers.push_back({"Accept-Encoding", values.accept_encoding});
  headers.push_back({"User-Agent", USER_AGENT});
  return headers;
}

HttpRequest TDTQuirada::ApiQuery(const std::string& target, const std::string& key) const {
  HttpRequest request;
  request.method = "GET";
  request.endpoint = ParseEndpoint(FApiUrl);
  request.target = target;
  request.version = HttpVersion::kHttp11;
  request.ca_file = FCAFile;
  ApiHeaderValues headers;
  headers.content_type = "application/json; charset=utf-8";
  headers.integration_key = key;
  headers.accept = "application/json";
  headers.accept_charset = "utf-8";
  request.headers = ApiHeaders(headers, request.endpoint);
  return request;
}

void TDTQuirada::FailQuery(TRequestType type, int32_t status) {
  std::string failure;
  try {
    throw;
  } catch (const HttpProtocolError& e) {
    status = e.status();
    DiscardRejectedToken(status);
    failure = e.what();
  } catch (const HttpTransportError& e) {
    status = e.status();
    failure = e.what();
  } catch (const std::exception& e) {
    failure = e.what();
  }
  FHTTP.reset();
  if (!FonExecuteRequest) throw Exception(failure);
  Report(type, failure, status);
}

TDTQuirada::ExchangeGuard TDTQuirada::BeginExchange() {
  FHTTP = std::make_unique<HttpClient>();
  FResponse = JsonDocument::EmptyObject();
  return ExchangeGuard{*this};
}

void TDTQuirada::Report(TRequestType type, const std::string& text, int32_t status) const {
  if (FonExecuteRequest) FonExecuteRequest(type, text, status);
}

void TDTQuirada::DiscardRejectedToken(int status) const {
  DiscardRejectedTokenFile(TokenFilePath(), status);
}

}  // namespace quirada
