// Throughput and memory of the dispatch cycle, against the local platform on loopback and the
// test Firebird server.
//
//   cycle_bench [N] [N_SMALL] [N_LARGE]     (defaults 500, 100, 10000)
//
// Throughput: the wall time of one "/ONCE" cycle over N pending documents of 20 KB, divided by the
// wall time of a floor that does only the unavoidable work of the same cycle: one token request,
// then per document one upload and one status query, each with a fresh HTTP client and
// connection, and one single-row insert of the register committed at once. Target: at most 1.15.
// Memory: the peak RSS of a cycle over N_LARGE documents divided by that over N_SMALL. Target: at
// most 1.1 (the pending documents are streamed, one in memory at a time).
//
// Build it in a release build (no sanitizers) for meaningful figures; needs the Firebird server of
// scripts/firebird-server.sh.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <rapidjson/document.h>

#include "dispatch/fb_query.h"
#include "dispatch/testing/erp_database.h"
#include "platform_client/Quirada.h"
#include "platform_client/encodings.h"
#include "platform_client/http_client.h"
#include "service/datetime.h"
#include "tests/support/local_platform.h"
#include "tests/support/service_process.h"

using namespace quirada;
using namespace quirada::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kClientID = "Rk7TwQ2mZc9HvLp3NxB8sJd5GfY1aWqE";
constexpr const char* kClientSecret =
    "Tq4Lm-Zr8WxJc2Hn_Vb6Ks0DfPy3Ga9Eu1Ro7Mi5Qw-Nt8Bz4Yh_Cv2Xe6Jp0SdL";

std::string Xml20k(int n) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><nfeProc><NFe><infNFe Id=\"NFe" +
                    std::to_string(n) + "\">";
  while (xml.size() < 20 * 1024 - 32) xml += "<det><prod><xProd>Produto de exemplo</xProd></prod></det>";
  return xml + "</infNFe></NFe></nfeProc>";
}

void Fill(ErpDatabase& db, int n) {
  db.ClearTables();
  db.InsertSettings({});
  const TDateTime today = db.ServerDate();
  for (int i = 1; i <= n; ++i)
    db.InsertNote({.sequencial = i, .chave = "NFe" + std::to_string(100000 + i), .xml = Xml20k(i),
                   .data = today, .modelo = "65"});
}

struct CycleFigures {
  double seconds = 0;
  long max_rss_kb = 0;
  double cpu_seconds = 0;
  int exit_status = 0;
};

CycleFigures RunCycle(ErpDatabase& db, const LocalPlatform& platform, int n) {
  Fill(db, n);
  RunFolder run;
  TempFolder tmp;
  db.WriteIni(run.dir());
  run.AppendIni(platform.IniSection());
  const auto start = Clock::now();
  const ProcessResult r = run.Run({"/ONCE"}, {{"TMPDIR", tmp.path()}}, std::chrono::hours(2));
  CycleFigures f;
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  f.max_rss_kb = r.max_rss_kb;
  f.cpu_seconds = r.cpu_seconds;
  f.exit_status = r.exit_status;
  if (db.RegisterRows().size() != static_cast<size_t>(n))
    std::fprintf(stderr, "warning: %zu of %d documents recorded\n", db.RegisterRows().size(), n);
  return f;
}

HttpResponse Send(HttpRequest& request) {
  HttpClient client;  // a fresh client and connection for every request, as the service does
  return client.Send(request);
}

// Only the unavoidable work of one cycle over `n` documents.
double RunFloor(ErpDatabase& db, const LocalPlatform& platform, int n) {
  db.ClearTables();
  FbConnection conn;
  conn.Params = db.ConnectionParams();
  conn.Connect();
  FbTransaction rw(conn, FbTransactionMode::kReadWrite);
  FbQuery insert(conn, rw,
                 "INSERT INTO QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML, DATAHORAENVIO, ID_ENVIO, "
                 "CODIGORETORNO) VALUES (:S, :T, :D, :I, :C)");
  std::vector<std::string> xmls;
  for (int i = 1; i <= n; ++i) xmls.push_back(Xml20k(i) + "\r\n");
  const HttpEndpoint endpoint = ParseEndpoint(platform.Url());

  const auto start = Clock::now();
  HttpRequest token;
  token.method = "POST";
  token.endpoint = endpoint;
  token.target = "/oauth/token";
  token.version = HttpVersion::kHttp10;
  token.ca_file = platform.CaFile();
  const std::string form = "grant_type=client_credentials&audience=7c2e5a13-8b4d-4f60-9e21-3d7b6c8a0f45";
  StringBodySource form_body(form);
  token.body = &form_body;
  token.headers = {{"Host", endpoint.HostHeader()},
                   {"Authorization", "Basic " + Base64Encode(std::string(kClientID) + ":" + kClientSecret)},
                   {"Content-Type", "application/x-www-form-urlencoded"},
                   {"Content-Length", std::to_string(form.size())}};
  rapidjson::Document doc;
  doc.Parse(Send(token).body.c_str());
  const std::string bearer = std::string("Bearer ") + doc["access_token"].GetString();

  for (int i = 1; i <= n; ++i) {
    const std::string b = "--------120925140327045";
    const std::string body = "--" + b + "\r\nContent-Disposition: form-data; name=\"file[]\"; filename=\"" +
                             std::to_string(i) + ".xml\"\r\nContent-Type: application/xml\r\n\r\n" +
                             xmls[i - 1] + "\r\n--" + b +
                             "\r\nContent-Disposition: form-data; name=\"query\"\r\n\r\n{\"boxe/File\": true}\r\n--" +
                             b + "--\r\n";
    StringBodySource upload_body(body);
    HttpRequest upload;
    upload.method = "POST";
    upload.endpoint = endpoint;
    upload.target = "/quirada/invoice/v3/batches";
    upload.version = HttpVersion::kHttp10;
    upload.body = &upload_body;
    upload.ca_file = platform.CaFile();
    upload.headers = {{"Content-Type", "multipart/form-data; boundary=" + b},
                      {"Content-Length", std::to_string(body.size())},
                      {"x-integration-key", "chave-integracao"},
                      {"Authorization", bearer},
                      {"Host", endpoint.HostHeader()}};
    doc.Parse(Send(upload).body.c_str());
    const std::string id = doc["id"].GetString();

    HttpRequest status;
    status.method = "GET";
    status.endpoint = endpoint;
    status.target = "/quirada/invoice/v3/batches/" + id;
    status.ca_file = platform.CaFile();
    status.headers = {{"x-integration-key", "chave-integracao"}, {"Authorization", bearer},
                      {"Host", endpoint.HostHeader()}};
    doc.Parse(Send(status).body.c_str());

    insert.SetParamInteger("S", i);
    insert.SetParamString("T", "N");
    insert.SetParamDateTime("D", Now());
    insert.SetParamString("I", id);
    insert.SetParamString("C", "SA2");
    insert.ExecSQL();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  conn.Disconnect();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 500;
  const int n_small = argc > 2 ? std::atoi(argv[2]) : 100;
  const int n_large = argc > 3 ? std::atoi(argv[3]) : 10000;
  try {
    ErpDatabase db;
    LocalPlatform platform;

    const CycleFigures cycle = RunCycle(db, platform, n);
    const double floor = RunFloor(db, platform, n);
    std::printf("throughput: N=%d cycle %.3f s (%.2f ms/doc, service CPU %.3f s, exit %d), floor %.3f s (%.2f ms/doc), ratio %.3f (target <= 1.15)\n",
                n, cycle.seconds, 1000 * cycle.seconds / n, cycle.cpu_seconds, cycle.exit_status,
                floor, 1000 * floor / n, cycle.seconds / floor);

    const CycleFigures small = RunCycle(db, platform, n_small);
    const CycleFigures large = RunCycle(db, platform, n_large);
    std::printf("memory: peak RSS N=%d %ld KiB, N=%d %ld KiB, ratio %.3f (target <= 1.10)\n", n_small,
                small.max_rss_kb, n_large, large.max_rss_kb,
                static_cast<double>(large.max_rss_kb) / small.max_rss_kb);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cycle_bench: %s\n", e.what());
    return 1;
  }
}
