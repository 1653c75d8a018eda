// The access token: the token check that opens every API operation, and GetToken, which asks the
// authorization server for a token with the OAuth 2.0 client-credentials grant and caches it in the
// token file.
#include <cmath>

#include "platform_client/Quirada.h"
#include "platform_client/charset.h"
#include "platform_client/encodings.h"
#include "platform_client/json_access.h"
#include "platform_client/token_file.h"
#include "base/errors.h"

namespace quirada {
namespace {

// When the token file is missing, its expiry counts as five days ago.
constexpr long long kMissingFileExpiryMinutes = -120LL * 60;

bool HasControlCharacter(const std::string& text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return true;
  }
  return false;
}

// The lifetime to cache a token for: 23 hours, or what the server promises when that is shorter
// (less a minute, so that the cached token is never sent after the server stopped honouring it).
long long TokenLifetimeSeconds(const JsonDocument& answer) {
  const rapidjson::Value* expires_in = FindMember(answer.Root(), "expires_in");
  if (expires_in == nullptr || !expires_in->IsNumber()) return kTokenLifetimeSeconds;
  const double seconds = expires_in->GetDouble();
  if (!(seconds < static_cast<double>(kTokenLifetimeSeconds))) return kTokenLifetimeSeconds;
  return seconds <= 60 ? 0 : static_cast<long long>(std::floor(seconds)) - 60;
}

}  // namespace

TDateTime TDTQuirada::LoadTokenFile(bool all_keys) {
  const auto lines = ReadTokenFileLines(TokenFilePath());
  if (!lines) return IncMinute(Now(), kMissingFileExpiryMinutes);

  // No "ExpiraData" line: the zero date-time, long past.
  TDateTime expiry = 0;
  for (const std::string& line : *lines) {
    // Every line is tested against every key, in this order.
    if (auto v = TokenEntryValue(line, "data")) FDataToken = StrToDate(*v);
    if (auto v = TokenEntryValue(line, "hora")) FHoraToken = StrToTime(*v);
    if (all_keys) {
      if (auto v = TokenEntryValue(line, "audience")) FAudience = *v;
    }
    if (auto v = TokenEntryValue(line, "ExpiraData")) expiry = StrToDateTime(*v);
    if (auto v = TokenEntryValue(line, "access_token")) FAccessToken = *v;
    if (all_keys) {
      if (auto v = TokenEntryValue(line, "integrationKey")) FIntegrationKey = *v;
    }
  }
  return expiry;
}

void TDTQuirada::VerificarValidadeToken() {
  // A token is still good while the clock has not passed its expiry.
  const TDateTime expiry = LoadTokenFile(false);
  FTokenDoArquivo = !(Now() > expiry);
  if (!FTokenDoArquivo) GetToken();
}

TRetornoPadrao TDTQuirada::GetToken() { return RequestToken(true); }

TRetornoPadrao TDTQuirada::SolicitarToken() { return RequestToken(true, true); }

TRetornoPadrao TDTQuirada::RequestToken(bool may_request, bool force) {
  const TDateTime expiry = LoadTokenFile(true);
  // The re-reading after a new token was written never asks again, even when the server granted a
  // lifetime so short that the token has expired already.
  if ((!force && !(Now() > expiry)) || !may_request) return TRetornoPadrao{};

  StringBodySource form(FormEncode("grant_type") + "=" + FormEncode("client_credentials") + "&" +
                        FormEncode("audience") + "=" + FormEncode(FAudience));
  const auto make_request = [&] {
    HttpRequest request = NewRequest("POST", FAuthUrl, kTokenPath, HttpVersion::kHttp10);
    request.body = &form;
    // Host; the HTTP Basic credentials, sent with the first request; the form's type and length;
    // and the HTTP client's own "keep-alive" for a POST without a connection header of its own.
    request.headers = {
        {"Host", request.endpoint.HostHeader()},
        {kAuthorizationHeader, "Basic " + Base64Encode(FClientID + ":" + FClientSecret)},
        {"Content-Type", "application/x-www-form-urlencoded"},
        {"Content-Length", std::to_string(form.Size())},
        {"Connection", "keep-alive"},
    };
    return request;
  };
  TRetornoPadrao result;
  const auto on_answer = [&](const HttpResponse& response) {
    FResponse = JsonDocument::Parse(DecodeBody(response.body, response.charset, DefaultCharset::kLatin1));
    if (!FResponse || !FResponse->Root().IsObject())
      throw Exception("The token response is not a JSON object");
    Report(TRequestType::rtGetToken, "Token created", response.status);

    const std::string token = LookupText(FResponse.get(), "access_token");
    // The token goes into a header line and into the token file: a line break would forge either.
    if (HasControlCharacter(token)) throw Exception("The access token holds control characters");
    FAccessToken = token;

    Retorno.Codigo = response.status;
    Retorno.Mensagem = response.status_line;
    WriteTokenFile(TokenFilePath(), token, TokenLifetimeSeconds(*FResponse));
    result = Retorno;
  };
  Exchange(false, make_request, on_answer, [this](const ExchangeFailure& failure) {
    Retorno.Codigo = failure.status;
    Retorno.Mensagem = failure.status_line;
    throw Exception(failure.message);
  });

  // Load the file just written: the token, today's date and the expiry time.
  RequestToken(false);
  return result;
}

}  // namespace quirada
