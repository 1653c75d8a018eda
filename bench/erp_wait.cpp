// How long the ERP waits to write the register while a cycle runs.
//
//   erp_wait [N] [ANSWER_MS]     (defaults 2000, 100)
//
// Starts one "/ONCE" over N pending documents against the local platform, which answers every
// request ANSWER_MS late, and meanwhile writes the register as an ERP screen would (a row of its
// own inserted and committed, then deleted and committed), over and over, each write in a
// transaction that waits for locks, until the cycle ends. Prints the waits' longest, 99th
// percentile and median, how many writes were made, and the cycle's length. The cycle holds the
// register for one document's exchange at a time: the longest wait should be about one exchange
// (an upload and a status query, 2 × ANSWER_MS, plus the local work), never the cycle.
//
// Build it in a release build (no sanitizers); needs the Firebird server of
// scripts/firebird-server.sh.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_documents.h"
#include "firebird/fb_connection.h"
#include "firebird/fb_query.h"
#include "testing/erp_database.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

using namespace quirada;
using namespace quirada::testing;
using Clock = std::chrono::steady_clock;

namespace {

// One write of the register in a transaction of its own, waiting for locks as the ERP's do;
// returns how long it took.
double WriteOnce(FbConnection& connection, const std::string& sql) {
  const auto start = Clock::now();
  FbTransaction erp(connection, FbTransactionMode::kReadWrite);
  erp.StartTransaction();
  FbQuery write(connection, erp, sql);
  write.ExecSQL();
  erp.Commit();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int answer_ms = argc > 2 ? std::atoi(argv[2]) : 100;
  try {
    ErpDatabase db;
    db.InsertSettings({});
    const TDateTime today = db.ServerDate();
    for (int i = 1; i <= n; ++i)
      db.InsertNote({.sequencial = i, .chave = "NFe" + std::to_string(100000 + i), .xml = BenchXml(i),
                     .data = today, .modelo = "65"});
    LocalPlatform platform({}, {"--answer-delay-ms", std::to_string(answer_ms)});
    RunFolder run;
    TempFolder tmp;
    db.WriteIni(run.dir());
    run.AppendIni(platform.IniSection());

    FbConnection erp;
    erp.Params = db.ConnectionParams();
    erp.Connect();
    const auto start = Clock::now();
    Process cycle = run.Start({"/ONCE"}, {{"TMPDIR", tmp.path()}});
    std::vector<double> waits;
    while (!cycle.WaitFor(std::chrono::milliseconds(0))) {
      waits.push_back(WriteOnce(erp, "INSERT INTO QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML, ID_ENVIO) "
                                     "VALUES (-1, 'N', 'erp')"));
      waits.push_back(WriteOnce(erp, "DELETE FROM QUIRADA_ENVIOS_XML WHERE SEQUENCIAL = -1"));
    }
    const double cycle_s = std::chrono::duration<double>(Clock::now() - start).count();
    if (cycle.result().exit_status != 0)
      std::fprintf(stderr, "warning: the cycle ended with %d: %s\n", cycle.result().exit_status,
                   cycle.result().err.c_str());
    if (waits.empty()) throw std::runtime_error("no write was made during the cycle");
    std::printf("erp_wait: N=%d, answers %d ms late: cycle %.1f s, %zu ERP writes; wait longest %.1f ms, "
                "p99 %.1f ms, median %.1f ms (one document's exchange: about %d ms)\n",
                n, answer_ms, cycle_s, waits.size(), Percentile(waits, 1.0), Percentile(waits, 0.99),
                Percentile(waits, 0.5), 2 * answer_ms);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "erp_wait: %s\n", e.what());
    return 1;
  }
}
