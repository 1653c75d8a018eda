// The floor of the dispatch cycle's throughput: a program that does only the unavoidable work of
// one cycle over N documents, so that cycle_bench can compare the service's wall time with it.
//
//   cycle_floor N API_URL CA_FILE DB_PARAM...
//
// It attaches to the ERP database (DB_PARAM: the connection's "Name=Value" lines), then for each
// document uploads a 20 KB XML text held in memory and asks for its batch's state through the
// service's platform client (its token asked for once and kept in its file, a fresh connection for
// every request), and inserts one register row committed at once; then it detaches and ends. Like the service, it is a process of its own: its
// start (loading the HTTP and database clients) and its end are part of its wall time.
// Exits 0 when every document went through, 1 (with a message) otherwise.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <stdexcept>

#include "base/datetime.h"
#include "bench/bench_documents.h"
#include "dispatch/quirada_platform.h"
#include "firebird/fb_connection.h"
#include "firebird/fb_query.h"

using namespace quirada;

namespace {

void Run(int n, const std::string& api_url, const std::string& ca_file,
         const std::vector<std::string>& db_params) {
  FbConnection conn;
  conn.Params = db_params;
  conn.Connect();
  FbTransaction rw(conn, FbTransactionMode::kReadWrite);
  FbQuery insert(conn, rw,
                 "INSERT INTO QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML, DATAHORAENVIO, ID_ENVIO, "
                 "CODIGORETORNO) VALUES (:S, :T, :D, :I, :C)");

  // The platform client the cycle uses, with its token, requests and answers: the floor leaves
  // out the database's side of the cycle, never the platform's.
  TConfiguracao config;
  config.api_url = api_url;
  config.auth_url = api_url;
  config.rota.ca_file = ca_file;
  config.pasta_token = "cycle-floor";
  TDTQuirada cliente;
  TPlataformaQuirada plataforma(cliente, config, "chave-contabilidade", "chave-integracao", {});

  // The document's content does not matter to the floor: one text serves every upload.
  const std::string xml = BenchXml(1);
  for (int i = 1; i <= n; ++i) {
    const TRetornoEnvio envio = plataforma.Enviar(std::to_string(i) + ".xml", xml);
    if (envio.Codigo != 201 || envio.Id.empty())
      throw std::runtime_error("the upload answered " + std::to_string(envio.Codigo));
    const std::string& id = envio.Id;
    plataforma.Estado(id);

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
