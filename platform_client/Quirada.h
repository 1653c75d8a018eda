// TDTQuirada: the client of the accounting platform, the one object through which the service
// talks to the platform's API host and to its authorization server.
//
// The dispatch cycle fills the credentials, the keys and the token folder, then calls the
// operations one after another on one thread. Every operation that talks to a server builds a new
// HTTP client and TLS connection and drops both at its end; the component keeps between calls only
// its properties, the last parsed answer (Response), its result records (Retorno, KeyCliente) and
// the Status flag. Retorno is never cleared: each operation writes only its own fields. The upload
// (EnviaXML) and the status query (StatusFile) also return a record of their own, which holds only
// what that one operation got: that is the record to decide by.
//
// Failures are Exception carrying a message. Every API operation first checks the cached token
// (token file "token.dm" in CaminhoArquivoToken) and obtains a new one when it has expired; a
// failure of that check reaches the caller unchanged. Failures of an exchange are caught and raised
// again as a plain Exception with the message each operation names (or reported to the handler where
// an operation says so); for the upload and the status query an answer outside 2xx is raised as
// PlatformError, with the same message.
//
// Endpoints: ApiUrl and AuthUrl (scheme "https", host, optional port) default to the platform's
// hosts; the route (Rota) names a PEM file of extra trusted authorities (CAFile) and the proxy
// every request goes through, if any. Certificates are always verified.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "platform_client/http_client.h"
#include "platform_client/json_parser.h"
#include "platform_client/multipart_body.h"
#include "platform_client/wire.h"
#include "base/datetime.h"
#include "base/errors.h"

namespace quirada {

// The result record of the operations.
struct TRetornoPadrao {
  int32_t Codigo = 0;      // HTTP status code of the last exchange that wrote it
  std::string CodRetorno;  // the platform's result code
  std::string Mensagem;    // a status line, the platform's message or an error text
  std::string Status;      // carried, filled by no operation
  std::string Id;          // identifier of the batch created by an upload

  bool operator==(const TRetornoPadrao&) const = default;
};

// What one upload got: the HTTP status of its answer and, for a created batch (201) only, the
// platform's code, the batch's identifier and the platform's message.
struct TRetornoEnvio {
  int32_t Codigo = 0;
  std::string CodRetorno;
  std::string Id;
  std::string Mensagem;

  bool operator==(const TRetornoEnvio&) const = default;
};

// What one status query got: the HTTP status of its answer, the batch's code and message.
struct TRetornoStatus {
  int32_t Codigo = 0;
  std::string CodRetorno;
  std::string Mensagem;

  bool operator==(const TRetornoStatus&) const = default;
};

// An answer of the platform outside 200..299 to an upload or a status query: its HTTP status and its
// body, decoded (ISO-8859-1 unless its Content-Type names a charset). The message is the one the
// operation names for it.
class PlatformError : public Exception {
 public:
  PlatformError(const std::string& message, int32_t status, std::string body)
      : Exception(message), status_(status), body_(std::move(body)) {}
  int32_t status() const { return status_; }
  const std::string& body() const { return body_; }

 private:
  int32_t status_;
  std::string body_;
};

// The accountant office and the client that an activation belongs to.
struct TKeyClient {
  TRetornoPadrao Retorno;
  std::string CNPJContabilidade;
  std::string NomeContabilidade;
  std::string CNPJCliente;
  std::string NomeCliente;

  bool operator==(const TKeyClient&) const = default;
};

// Stored and published, but no request depends on it.
enum class TAmbiente : uint8_t { aProducao = 0, aHomologacao = 1 };

// The kinds of request reported to the handler. rtLogin, rtRefreshToken and rtSendFile are never
// reported.
enum class TRequestType : uint8_t {
  rtLogin = 0,
  rtGetToken = 1,
  rtRefreshToken = 2,
  rtSendFile = 3,
  rtReadStatusFile = 4,
  rtKeyClient = 5,
};

// The request handler: request kind, text, HTTP status code (-1 when no answer came).
using TonExecuteRequest =
    std::function<void(TRequestType aRequestType, std::string aResponse, int32_t aStatusCode)>;

inline constexpr char kDefaultApiUrl[] = "https://api.quirada.com.br";
inline constexpr char kDefaultAuthUrl[] = "https://auth.quirada.com.br";

// Request constants.
inline constexpr char USER_AGENT[] =
    "User-Agent:Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/58.0.3029.96 Safari/537.36";
inline constexpr char KEEP_ALIVE[] = "Keep-Alive";
inline constexpr char kBearerPrefix[] = "Bearer ";
inline constexpr char kIntegrationKeyHeader[] = "x-integration-key";
inline constexpr char kAuthorizationHeader[] = "Authorization";

// The token file's name, appended directly to CaminhoArquivoToken.
inline constexpr char kTokenFileName[] = "token.dm";

class TDTQuirada {
 public:
  TDTQuirada();
  ~TDTQuirada();
  TDTQuirada(const TDTQuirada&) = delete;
  TDTQuirada& operator=(const TDTQuirada&) = delete;

  // Published properties. Every setter only stores its value.
  bool GravarLog() const { return FGravarLog; }
  void setGravarLog(bool value) { FGravarLog = value; }
  const std::string& CaminhoArqLOG() const { return FCaminhoLog; }
  void setCaminhoLog(const std::string& value) { FCaminhoLog = value; }
  const std::string& ClientSecret() const { return FClientSecret; }
  void SetClientSecret(const std::string& value) { FClientSecret = value; }
  const std::string& ClientID() const { return FClientID; }
  void SetClientID(const std::string& value) { FClientID = value; }
  TAmbiente Ambiente() const { return FAmbiente; }
  void SetAmbiente(TAmbiente value) { FAmbiente = value; }
  const std::string& CaminhoArquivoToken() const { return FCaminhoArquivoToken; }
  void setCaminhoArquivoToken(const std::string& value) { FCaminhoArquivoToken = value; }
  const std::string& audience() const { return FAudience; }
  void setAuence(const std::string& value) { FAudience = value; }
  const std::string& IntegrationKey() const { return FIntegrationKey; }
  void setIntegrationKey(const std::string& value) { FIntegrationKey = value; }
  const std::string& KeyContabilidade() const { return FKeyContabilidade; }
  void setKeyContabilidade(const std::string& value) { FKeyContabilidade = value; }

  // Where the servers are and whom to trust besides the system's authorities.
  const std::string& ApiUrl() const { return FApiUrl; }
  void SetApiUrl(const std::string& value) { FApiUrl = value; }
  const std::string& AuthUrl() const { return FAuthUrl; }
  void SetAuthUrl(const std::string& value) { FAuthUrl = value; }
  const std::string& CAFile() const { return FRota.ca_file; }
  void SetCAFile(const std::string& value) { FRota.ca_file = value; }
  // How every request reaches its server: CAFile and the proxy (http_client.h).
  const HttpRoute& Rota() const { return FRota; }
  void SetRota(const HttpRoute& value) { FRota = value; }

  // Whether the caller wants the operation in progress ended (a stop request has arrived); none
  // when empty. Looked at about once a second during every exchange: when it holds, the exchange
  // ends at once and the operation raises Interrupted, which no operation turns into a failure of
  // its own (nothing is reported to the handler, the token file stays as it was).
  void SetParadaSolicitada(std::function<bool()> value) { FParadaSolicitada = std::move(value); }

  // Public properties. Response is the last parsed answer, or nullptr when there is none.
  const rapidjson::Document* Response() const { return FResponse ? &FResponse->Doc() : nullptr; }
  TDateTime DataToken() const { return FDataToken; }
  void SetDataToken(TDateTime value) { FDataToken = value; }
  TDateTime HoraToken() const { return FHoraToken; }
  void SetHoraToken(TDateTime value) { FHoraToken = value; }
  const std::string& AccessToken() const { return FAccessToken; }
  void SetAccessToken(const std::string& value) { FAccessToken = value; }
  // The component's flag: an upload that created a batch sets it; a status query sets it when the
  // batch's code is exactly "EA10" or "SA2". The dispatch cycle decides from the codes themselves
  // (document_outcome.h), never from this flag.
  bool Status() const { return Fstatus; }
  void setStatus(bool value) { Fstatus = value; }

  // The token file's path: CaminhoArquivoToken followed directly by "token.dm". Raises when no
  // token folder was given: a token is never read or written in the working folder.
  std::string TokenFilePath() const;

  // Obtains a new access token when the token file's expiry has passed, and caches it there.
  // Returns a copy of Retorno after a request, an empty record when the cached token was valid.
  TRetornoPadrao GetToken();
  // Asks the authorization server for a new token whatever the token file holds, and caches it
  // there; a failure leaves the token file as it was (a valid cached token stays usable). Returns a
  // copy of Retorno.
  TRetornoPadrao SolicitarToken();
  // Uploads one XML file as a new batch. A created batch (201) writes Retorno's Codigo, CodRetorno,
  // Mensagem and Id; any other 2xx answer writes nothing there. An answer outside 2xx writes its
  // body to Retorno.Mensagem and raises PlatformError with the body as its message.
  TRetornoEnvio EnviaXML(const std::string& CaminhoXML);
  // The same upload of a document whose bytes are in memory (`Conteudo`), under `NomeArquivo`,
  // the file name the platform and the upload log see: no file is read.
  TRetornoEnvio EnviaDocumento(const std::string& NomeArquivo, const std::string& Conteudo);
  // Appends one line to the upload log when GravarLog is true.
  void Gravalog(const std::string& Chave, const std::string& ID);
  // Asks for the state of an uploaded batch; writes Retorno's Codigo, CodRetorno and Mensagem. A
  // failed exchange, with a request handler set, is reported to it and the query returns an empty
  // record; without one an answer outside 2xx raises PlatformError with the status line as its
  // message, any other failure a plain Exception.
  TRetornoStatus StatusFile(const std::string& aFileID);
  // Exchanges the accountant office's key for the client's integration key.
  TRetornoPadrao GetKeyIntegracao();
  // Reads the office and the client that an activation belongs to.
  TKeyClient VerificarKeyCliente();
  // Stores the request handler, replacing any earlier one; returns an empty record.
  TRetornoPadrao onExecuteRequest(TonExecuteRequest vEvent);

 private:
  // The header values of one API request; empty values leave their lines out.
  struct ApiHeaderValues {
    std::string content_type;     // with its parameters
    std::optional<uint64_t> content_length;
    std::string integration_key;  // value of "x-integration-key"
    std::string accept;
    std::string accept_charset;
    std::string accept_encoding;
  };

  // Loads the token file into the component (the check's four keys, or all six) and returns the
  // expiry it decides by.
  TDateTime LoadTokenFile(bool all_keys);
  // The token check that opens every API operation: a new token when the cached one has expired.
  void VerificarValidadeToken();
  // `may_request`: a request is made when the cached token has expired; `force`: whatever it holds.
  TRetornoPadrao RequestToken(bool may_request, bool force = false);

  // The upload of EnviaXML and EnviaDocumento: `make_body` makes the multipart body (from the
  // file, or from memory) for each request made.
  TRetornoEnvio EnviarLote(const std::string& file_name,
                           const std::function<void(std::optional<MultipartUploadBody>&)>& make_body);
  // The header lines of an API request, in the order the HTTP client writes them: Connection,
  // Content-Type, Content-Length, the custom lines (x-integration-key, Authorization), Host,
  // Accept, Accept-Charset, Accept-Encoding, User-Agent.
  std::vector<HttpHeader> ApiHeaders(const ApiHeaderValues& values, const HttpEndpoint& host) const;
  // What a failed exchange leaves for its operation to decide on.
  struct ExchangeFailure {
    int32_t status = -1;      // status of the answer received so far, -1 when none came
    std::string status_line;  // its status line, empty when none came
    std::string message;      // the failure's message; for an answer outside 2xx its status line
    bool http_error = false;  // an answer outside 200..299 came
    std::string error_body;   // with http_error: the answer's body, decoded (ISO-8859-1 unless
                              // its Content-Type names a charset)
  };
  // A request to `url` (ApiUrl or AuthUrl) for `target`, by the route (Rota).
  HttpRequest NewRequest(const char* method, const std::string& url, const std::string& target,
                         HttpVersion version) const;
  // One exchange, the way every operation makes it: a new HTTP client in FHTTP and an empty object
  // in FResponse; `make_request` builds the request, which is sent; `on_answer` takes the answer
  // (a failure of its own is a failure of the exchange); the client is released on every path.
  // An answer 401 from the API host (`api`) discards the token; with `renew_on_401`, when the
  // rejected token came from the token file (a platform that forgot its tokens), a new token is
  // obtained and the same request made once more. A failure of any step goes to `on_failure`,
  // which raises or returns; Exchange returns whether the exchange succeeded.
  bool Exchange(bool api, const std::function<HttpRequest()>& make_request,
                const std::function<void(const HttpResponse&)>& on_answer,
                const std::function<void(const ExchangeFailure&)>& on_failure,
                bool renew_on_401 = false);
  // The GET of a query operation (batch status, activation info): HTTP/1.1, JSON accepted in UTF-8,
  // `key` in "x-integration-key".
  HttpRequest ApiQuery(const std::string& target, const std::string& key) const;
  // How a query operation ends a failed exchange: with a request handler set the failure is
  // reported to it (a failure of the handler then reaches the caller) and the query returns an
  // empty record; without one a plain Exception with the failure's message is raised.
  void FailQuery(TRequestType type, const ExchangeFailure& failure);
  // Reports to the handler when one is set.
  void Report(TRequestType type, const std::string& text, int32_t status) const;
  // An API answer 401 means the platform rejected the token: the token file is removed, so the
  // next operation obtains a new token. The operation itself fails as it would anyway.
  void DiscardRejectedToken(int status) const;

  std::unique_ptr<HttpClient> FHTTP;
  std::unique_ptr<JsonDocument> FResponse;
  std::string FClientID;
  std::string FClientSecret;
  TAmbiente FAmbiente = TAmbiente::aProducao;
  TonExecuteRequest FonExecuteRequest;
  std::string FCaminhoArquivoToken;
  TDateTime FDataToken = 0;
  TDateTime FHoraToken = 0;
  std::string FAccessToken;
  bool Fstatus = false;
  std::string FCaminhoLog;
  bool FGravarLog = false;
  std::string FAudience;
  std::string FIntegrationKey;
  std::string FKeyContabilidade;

 public:
  TRetornoPadrao Retorno;
  TKeyClient KeyCliente;

 private:
  // Whether the token the API requests carry came from the token file (not from a request made by
  // this operation's token check).
  bool FTokenDoArquivo = false;
  std::string FApiUrl = kDefaultApiUrl;
  std::string FAuthUrl = kDefaultAuthUrl;
  HttpRoute FRota;
  std::function<bool()> FParadaSolicitada;
};

}  // namespace quirada
