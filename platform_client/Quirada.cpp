// The component's own pieces: creation, the request handler, and the request set-up that every API
// operation shares.
#include "platform_client/Quirada.h"

#include "platform_client/charset.h"
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

HttpRequest TDTQuirada::NewRequest(const char* method, const std::string& url,
                                   const std::string& target, HttpVersion version) const {
  HttpRequest request;
  request.method = method;
  request.endpoint = ParseEndpoint(url);
  request.target = target;
  request.version = version;
  request.route = FRota;
  request.stop = FParadaSolicitada;
  return request;
}

std::string TDTQuirada::TokenFilePath() const {
  if (FCaminhoArquivoToken.empty())
    throw Exception("Nenhuma pasta foi dada para o arquivo de token; ele só é lido e gravado na "
                    "pasta privada do usuário");
  return FCaminhoArquivoToken + kTokenFileName;
}

HttpRequest TDTQuirada::ApiQuery(const std::string& target, const std::string& key) const {
  HttpRequest request = NewRequest("GET", FApiUrl, target, HttpVersion::kHttp11);
  ApiHeaderValues headers;
  headers.content_type = "application/json; charset=utf-8";
  headers.integration_key = key;
  headers.accept = "application/json";
  headers.accept_charset = "utf-8";
  request.headers = ApiHeaders(headers, request.endpoint);
  return request;
}

bool TDTQuirada::Exchange(bool api, const std::function<HttpRequest()>& make_request,
                          const std::function<void(const HttpResponse&)>& on_answer,
                          const std::function<void(const ExchangeFailure&)>& on_failure,
                          bool renew_on_401) {
  ExchangeFailure failure;
  try {
    FHTTP = std::make_unique<HttpClient>();
    FResponse = JsonDocument::EmptyObject();
    const HttpResponse response = FHTTP->Send(make_request());
    failure.status = response.status;
    failure.status_line = response.status_line;
    on_answer(response);
    FHTTP.reset();
    return true;
  } catch (const Interrupted&) {
    // Not a failure of the exchange: it reaches the caller as it is.
    FHTTP.reset();
    throw;
  } catch (const HttpProtocolError& e) {
    failure.status = e.status();
    failure.status_line = e.status_line();
    failure.message = e.what();
    failure.http_error = true;
    failure.error_body = DecodeBody(e.error_text(), e.response().charset, DefaultCharset::kLatin1);
    if (api) DiscardRejectedToken(e.status());
  } catch (const HttpTransportError& e) {
    failure.status = e.status();
    failure.status_line = e.status_line();
    failure.message = e.what();
  } catch (const std::exception& e) {
    failure.message = e.what();
  }
  FHTTP.reset();
  if (renew_on_401 && api && failure.http_error && failure.status == 401 && FTokenDoArquivo) {
    // The token file is gone already: the check asks for a new token, then the request goes again.
    VerificarValidadeToken();
    return Exchange(api, make_request, on_answer, on_failure, false);
  }
  on_failure(failure);
  return false;
}

void TDTQuirada::FailQuery(TRequestType type, const ExchangeFailure& failure) {
  if (!FonExecuteRequest) throw Exception(failure.message);
  Report(type, failure.message, failure.status);
}

void TDTQuirada::Report(TRequestType type, const std::string& text, int32_t status) const {
  if (FonExecuteRequest) FonExecuteRequest(type, text, status);
}

void TDTQuirada::DiscardRejectedToken(int status) const {
  if (!FCaminhoArquivoToken.empty()) DiscardRejectedTokenFile(TokenFilePath(), status);
}

}  // namespace quirada
