// Throughput and memory of the dispatch cycle, against the local platform on loopback and the
// test Firebird server.
//
//   cycle_bench [N] [N_SMALL] [N_LARGE] [ROUNDS]     (defaults 500, 100, 10000, 5)
//
// Throughput: the wall time of one "/ONCE" cycle over N pending documents of 20 KB, divided by the
// wall time of the floor program (cycle_floor), which does only the unavoidable work of the same
// cycle: attach, one token request, then per document one upload and one status query, each with
// a fresh HTTP client and connection, and one single-row insert of the register committed at once.
// Both are processes of their own, timed from start to end, in ROUNDS rounds whose order alternates;
// the ratio printed is the median of the rounds' ratios. Target: at most 1.15.
// Memory: the peak RSS of a cycle over N_LARGE documents divided by that over N_SMALL. Target: at
// most 1.1 (the pending documents are streamed, one in memory at a time).
//
// Build it in a release build (no sanitizers) for meaningful figures; needs the Firebird server of
// scripts/firebird-server.sh.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_documents.h"
#include "firebird/fb_query.h"
#include "testing/erp_database.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

using namespace quirada;
using namespace quirada::testing;
using Clock = std::chrono::steady_clock;

namespace {

// Reads every table through, so that the server clears away the rows deleted by the previous run
// now instead of in the middle of the next timed one.
void Settle(ErpDatabase& db) {
  for (const char* table : {"PADRAOII", "NOTASENTRADASESAIDAS", "XML_CANCELAMENTO", "QUIRADA_ENVIOS_XML"}) {
    FbQuery q(db.connection(), db.transaction(), std::string("SELECT COUNT(*) AS N FROM ") + table);
    q.Open();
  }
}

void Fill(ErpDatabase& db, int n) {
  db.ClearTables();
  db.InsertSettings({});
  const TDateTime today = db.ServerDate();
  for (int i = 1; i <= n; ++i)
    db.InsertNote({.sequencial = i, .chave = "NFe" + std::to_string(100000 + i), .xml = BenchXml(i),
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
  Settle(db);
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

// The floor program (cycle_floor, built beside this one) over `n` documents, timed from its start
// to its end like the cycle.
CycleFigures RunFloor(ErpDatabase& db, const LocalPlatform& platform, int n) {
  db.ClearTables();
  Settle(db);
  std::vector<std::string> args = {std::to_string(n), platform.Url(), platform.CaFile()};
  for (const std::string& line : db.ConnectionParams()) args.push_back(line);
  const std::string program =
      (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "cycle_floor").string();
  TempFolder output;
  const auto start = Clock::now();
  Process p = StartProcess(program, args, {}, output.path() + "/floor");
  if (!p.WaitFor(std::chrono::hours(2))) throw std::runtime_error("cycle_floor did not end in time");
  CycleFigures f;
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  f.max_rss_kb = p.result().max_rss_kb;
  f.cpu_seconds = p.result().cpu_seconds;
  f.exit_status = p.result().exit_status;
  if (f.exit_status != 0) throw std::runtime_error("cycle_floor failed: " + p.result().err);
  return f;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t m = values.size() / 2;
  return values.size() % 2 ? values[m] : (values[m - 1] + values[m]) / 2;
}

void PrintRun(const char* what, int n, const CycleFigures& f) {
  std::printf("  %-5s N=%d %.3f s (%.2f ms/doc, CPU %.3f s, exit %d)\n", what, n, f.seconds,
              1000 * f.seconds / n, f.cpu_seconds, f.exit_status);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 500;
  const int n_small = argc > 2 ? std::atoi(argv[2]) : 100;
  const int n_large = argc > 3 ? std::atoi(argv[3]) : 10000;
  const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
  try {
    ErpDatabase db;
    LocalPlatform platform;

    // Rounds of one cycle and one floor each, the order swapped every round so that a drift of
    // the machine weighs on both alike; the ratio is the median of the rounds' ratios.
    std::vector<double> ratios, cycles, floors;
    for (int r = 0; r < rounds; ++r) {
      CycleFigures cycle, floor;
      if (r % 2 == 0) {
        cycle = RunCycle(db, platform, n);
        floor = RunFloor(db, platform, n);
      } else {
        floor = RunFloor(db, platform, n);
        cycle = RunCycle(db, platform, n);
      }
      std::printf("round %d: ratio %.3f\n", r + 1, cycle.seconds / floor.seconds);
      PrintRun("cycle", n, cycle);
      PrintRun("floor", n, floor);
      ratios.push_back(cycle.seconds / floor.seconds);
      cycles.push_back(cycle.seconds);
      floors.push_back(floor.seconds);
    }
    std::printf("throughput: N=%d, %d rounds: median cycle %.3f s, median floor %.3f s, ratio median %.3f "
                "(min %.3f, max %.3f; target <= 1.15)\n",
                n, rounds, Median(cycles), Median(floors), Median(ratios),
                *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
    std::fflush(stdout);

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
