// The floor of the dispatch cycle's throughput: a program that does only the unavoidable work of
// one cycle over N documents, so that cycle_bench can compare the service's wall time with it.
//
//   cycle_floor N API_URL CA_FILE DB_PARAM...
//
// It attaches to the ERP database (DB_PARAM: the connection's "Name=Value" lines), asks for one
// token, then for each document uploads a 20 KB XML file held in memory and asks for its batch's
// state, each request with a fresh HTTP client and connection, and inserts one register row
// committed at once; then it detaches and ends. Like the service, it is a process of its own: its
// start (loading the HTTP and database clients) and its end are part of its wall time.
// Exits 0 when every document went through, 1 (with a message) otherwise.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "bench/bench_documents.h"
#include "firebird/fb_connection.h"
#include "firebird/fb_query.h"
#include "platform_client/encodings.h"
#include "platform_client/http_client.h"
#include "platform_client/wire.h"
#include "base/datetime.h"

using namespace quirada;

namespace {

// A fresh client and connection for every request, as the service does.
rapidjson::Document Send(HttpRequest& request) {
  HttpClient client;
  const HttpResponse response = client.Send(request);
  rapidjson::Document doc;
  doc.Parse(response.body.c_str());
  if (response.status / 100 != 2 || !doc.IsObject())
    throw std::runtime_error(request.target + " answered " + std::to_string(response.status));
  return doc;
}

void Run(int n, const std::string& api_url, const std::string& ca_file,
         const std::vector<std::string>& db_params) {
  FbConnection conn;
  conn.Params = db_params;
  conn.Connect();
  FbTransaction rw(conn, FbTransactionMode::kReadWrite);
  FbQuery insert(conn, rw,
                 "INSERT INTO QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML, DATAHORAENVIO, ID_ENVIO, "
                 "CODIGORETORNO) VALUES (:S, :T, :D, :I, :C)");
  const HttpEndpoint endpoint = ParseEndpoint(api_url);

  HttpRequest token;
  token.method = "POST";
  token.endpoint = endpoint;
  token.target = kTokenPath;
  token.version = HttpVersion::kHttp10;
  token.ca_file = ca_file;
  const std::string form = std::string("grant_type=client_credentials&audience=") + kAudience;
  StringBodySource form_body(form);
  token.body = &form_body;
  token.headers = {{"Host", endpoint.HostHeader()},
                   {"Authorization", "Basic " + Base64Encode(std::string(kClientID) + ":" + kClientSecret)},
                   {"Content-Type", "application/x-www-form-urlencoded"},
                   {"Content-Length", std::to_string(form.size())}};
  const std::string bearer = std::string("Bearer ") + Send(token)["access_token"].GetString();

  // The document's content does not matter to the floor: one text serves every upload.
  const std::string xml = BenchXml(1);
  for (int i = 1; i <= n; ++i) {
    const std::string b = "--------120925140327045";
    const std::string body = "--" + b + "\r\nContent-Disposition: form-data; name=\"file[]\"; filename=\"" +
                             std::to_string(i) + ".xml\"\r\nContent-Type: application/xml\r\n\r\n" +
                             xml + "\r\n\r\n--" + b +
                             "\r\nContent-Disposition: form-data; name=\"query\"\r\n\r\n{\"boxe/File\": true}\r\n--" +
                             b + "--\r\n";
    StringBodySource upload_body(body);
    HttpRequest upload;
    upload.method = "POST";
    upload.endpoint = endpoint;
    upload.target = kBatchesPath;
    upload.version = HttpVersion::kHttp10;
    upload.body = &upload_body;
    upload.ca_file = ca_file;
    upload.headers = {{"Content-Type", "multipart/form-data; boundary=" + b},
                      {"Content-Length", std::to_string(body.size())},
                      {"x-integration-key", "chave-integracao"},
                      {"Authorization", bearer},
                      {"Host", endpoint.HostHeader()}};
    const std::string id = Send(upload)["id"].GetString();

    HttpRequest status;
    status.method = "GET";
    status.endpoint = endpoint;
    status.target = kBatchStatusPath + id;
    status.ca_file = ca_file;
    status.headers = {{"x-integration-key", "chave-integracao"}, {"Authorization", bearer},
                      {"Host", endpoint.HostHeader()}};
    Send(status);

    insert.SetParamInteger("S", i);
    insert.SetParamString("T", "N");
    insert.SetParamDateTime("D", Now());
    insert.SetParamString("I", id);
    insert.SetParamString("C", "SA2");
    insert.ExecSQL();
  }
  conn.Disconnect();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "uso: cycle_floor N API_URL CA_FILE DB_PARAM...\n");
    return 2;
  }
  try {
    Run(std::atoi(argv[1]), argv[2], argv[3], std::vector<std::string>(argv + 4, argv + argc));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cycle_floor: %s\n", e.what());
    return 1;
  }
}
