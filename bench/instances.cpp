// Many companies on one host: N named instances of the service (the real executable in service
// mode, "--pasta <folder> --instancia <name>"), each with its own ERP database on the test Firebird
// server, all sending to one local platform.
//
//   instances [N] [DOCUMENTS] [PERIOD_S]     (defaults 50, 20, 60)
//
// First one instance alone runs its first cycle, three times, to know a single instance's peak
// memory. Then the
// N start together, each with IntervaloSegundos=PERIOD_S, and run until every one has ended its
// first cycle (each takes it at the offset its name gives within the period) and a few seconds
// more. Figures printed:
//  - documents: uploaded once and recorded by their own instance, of N x DOCUMENTS (target all);
//  - peak memory: the sum of the N instances' peak RSS against N x the single instance's (the
//    most of three runs alone; target at most 1.0 times);
//  - database connections open between cycles: every half second the bench notes which processes
//    hold one of the instances' cycle locks (/proc/locks, by the lock files' inodes), then which
//    processes are attached to the N databases (MON$ATTACHMENTS, the bench's own attachments left
//    out), then the locks again; an attachment of a process that held no cycle lock in either look
//    is a connection left open between cycles (target 0);
//  - the spread of the first cycles' starts over the period: the offsets of the first cycles'
//    ends from the start, their range, how many fall in each quarter of the period and the most
//    in any one second.
// Exit status 0 when every target holds.
//
// Build it in a release build; needs the Firebird server of scripts/firebird-server.sh.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_documents.h"
#include "firebird/fb_query.h"
#include "testing/erp_database.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

using namespace quirada;
using namespace quirada::testing;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

struct Instance {
  std::string name;
  std::unique_ptr<ErpDatabase> db;
  std::unique_ptr<TempFolder> folder;
  std::unique_ptr<FbConnection> monitor;  // the bench's own look at the database
  std::unique_ptr<Process> process;
  double first_end_s = -1;  // seconds from the start to the end of its first cycle
};

void Prepare(Instance& in, const LocalPlatform& platform, int documents, int period_s, long long first) {
  in.db = std::make_unique<ErpDatabase>();
  in.folder = std::make_unique<TempFolder>();
  SettingsRow settings;
  settings.integration_key = "chave-" + in.name;
  in.db->InsertSettings(settings);
  const TDateTime today = in.db->ServerDate();
  for (long long seq = first; seq < first + documents; ++seq)
    in.db->InsertNote({.sequencial = seq, .chave = "NFe" + std::to_string(100000 + seq),
                       .xml = BenchXml(static_cast<int>(seq)), .data = today, .modelo = "65"});
  in.db->WriteIni(in.folder->path());
  std::ofstream(in.folder->path() + "Morvant.ini", std::ios::app)
      << platform.IniSection() << "IntervaloSegundos=" << period_s << "\r\n";
  in.monitor = std::make_unique<FbConnection>();
  in.monitor->Params = in.db->ConnectionParams();
  in.monitor->Connect();
}

std::unique_ptr<Process> Start(const RunFolder& run, const Instance& in, const TempFolder& tmp) {
  return std::make_unique<Process>(StartProcess(
      run.executable(), {"--pasta", in.folder->path(), "--instancia", in.name}, {{"TMPDIR", tmp.path()}},
      tmp.path() + in.name));
}

bool CycleEnded(const Instance& in) { return fs::exists(in.folder->path() + "QuiradaContabil.ciclo"); }

// The processes that hold one of the instances' cycle locks (their cycles in progress), by the
// lock files' inodes as /proc/locks names them.
std::set<long> LockHolders(const std::vector<Instance>& instances) {
  std::set<std::string> inodes;
  for (const Instance& in : instances) {
    struct stat st {};
    if (::stat((in.folder->path() + "QuiradaContabil.lock").c_str(), &st) == 0)
      inodes.insert(std::to_string(st.st_ino));
  }
  std::set<long> pids;
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream words(line);
    std::string n, kind, mode, access, device;
    long pid = 0;
    if (!(words >> n >> kind >> mode >> access >> pid >> device)) continue;
    if (inodes.count(device.substr(device.rfind(':') + 1)) != 0) pids.insert(pid);
  }
  return pids;
}

// The client processes attached to `in`'s database, the bench's own attachments (its look and
// the fixture's) left out.
std::vector<long> AttachedProcesses(Instance& in) {
  FbTransaction transaction(*in.monitor, FbTransactionMode::kReadOnly);
  FbQuery q(*in.monitor, transaction,
            "SELECT MON$REMOTE_PID AS PID FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> "
            "CURRENT_CONNECTION AND MON$SYSTEM_FLAG = 0");
  q.Open();
  std::vector<long> pids;
  while (!q.Eof()) {
    const long pid = static_cast<long>(q.FieldAsInteger("PID"));
    if (pid != ::getpid()) pids.push_back(pid);
    q.Next();
  }
  return pids;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 50;
  const int documents = argc > 2 ? std::atoi(argv[2]) : 20;
  const int period_s = argc > 3 ? std::atoi(argv[3]) : 60;
  try {
    LocalPlatform platform;
    RunFolder run;
    TempFolder tmp;

    // One instance alone: its peak memory over its first cycle, the most of three runs (a run's
    // peak varies by a few hundred KB).
    long single_kb = 0;
    size_t alone_uploads = 0;
    for (int run_alone = 0; run_alone < 3; ++run_alone) {
      Instance alone{"sozinha-" + std::to_string(run_alone), nullptr, nullptr, nullptr, nullptr};
      Prepare(alone, platform, documents, period_s, 900000 + 1000LL * run_alone);
      alone.process = Start(run, alone, tmp);
      while (!CycleEnded(alone)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      alone.process->Signal(SIGTERM);
      alone.process->WaitFor(std::chrono::seconds(30));
      std::printf("one instance alone: peak %ld KB\n", alone.process->result().max_rss_kb);
      single_kb = std::max(single_kb, alone.process->result().max_rss_kb);
    }
    alone_uploads = platform.Uploads().size();

    std::printf("preparing %d instances (%d documents each, period %d s)...\n", n, documents, period_s);
    std::vector<Instance> instances(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "empresa-%02d", i);
      instances[static_cast<size_t>(i)].name = name;
      Prepare(instances[static_cast<size_t>(i)], platform, documents, period_s, 1 + 1000LL * i);
    }

    const auto start = Clock::now();
    for (Instance& in : instances) in.process = Start(run, in, tmp);
    long samples = 0, open_between_cycles = 0, open_in_cycles = 0;
    int looks_after = 0;  // a few looks more once every first cycle has ended
    const auto limit = start + std::chrono::seconds(period_s + 30);
    for (;;) {
      const double now_s = std::chrono::duration<double>(Clock::now() - start).count();
      bool all_ended = true;
      for (Instance& in : instances) {
        if (in.first_end_s < 0 && CycleEnded(in)) in.first_end_s = now_s;
        all_ended &= in.first_end_s >= 0;
      }
      const std::set<long> before = LockHolders(instances);
      std::vector<long> attached;
      for (Instance& in : instances)
        for (const long pid : AttachedProcesses(in)) attached.push_back(pid);
      const std::set<long> after = LockHolders(instances);
      ++samples;
      for (const long pid : attached) {
        if (before.count(pid) == 0 && after.count(pid) == 0)
          ++open_between_cycles;
        else
          ++open_in_cycles;
      }
      if (all_ended && ++looks_after > 6) break;
      if (Clock::now() > limit) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    long total_kb = 0;
    for (Instance& in : instances) {
      in.process->Signal(SIGTERM);
    }
    for (Instance& in : instances) {
      in.process->WaitFor(std::chrono::seconds(30));
      total_kb += in.process->result().max_rss_kb;
    }
    platform.Stop();

    // Every document uploaded once, and recorded by its own instance.
    std::map<std::string, int> uploads;
    for (const JournalEntry& upload : platform.Uploads()) ++uploads[upload.at("file")];
    long recorded = 0, uploaded_once = 0, twice = 0;
    for (const auto& [file, count] : uploads) {
      if (count == 1) ++uploaded_once;
      if (count > 1) ++twice;
    }
    for (Instance& in : instances) recorded += static_cast<long>(in.db->RegisterRows().size());
    const long expected = static_cast<long>(n) * documents;
    uploaded_once -= static_cast<long>(alone_uploads);

    std::vector<double> ends;
    for (const Instance& in : instances)
      if (in.first_end_s >= 0) ends.push_back(in.first_end_s);
    std::sort(ends.begin(), ends.end());
    int quarters[4] = {0, 0, 0, 0};
    std::map<long, int> per_second;
    for (const double e : ends) {
      ++quarters[std::min(3, static_cast<int>(4 * e / period_s))];
      ++per_second[static_cast<long>(e)];
    }
    int most_in_a_second = 0;
    for (const auto& [second, count] : per_second) most_in_a_second = std::max(most_in_a_second, count);

    const double memory_ratio = static_cast<double>(total_kb) / (static_cast<double>(n) * single_kb);
    std::printf("documents: %ld recorded, %ld uploaded once, %ld uploaded more than once, of %ld\n",
                recorded, uploaded_once, twice, expected);
    std::printf("peak memory: one instance %ld KB; %d instances %ld KB together = %.3f x %d x one "
                "(target <= 1.0)\n",
                single_kb, n, total_kb, memory_ratio, n);
    std::printf("connections open between cycles: %ld (in cycles: %ld) over %ld looks (target 0)\n",
                open_between_cycles, open_in_cycles, samples);
    if (!ends.empty()) {
      std::printf("first cycles ended: %zu of %d, from %.1f s to %.1f s after the start (period %d s); "
                  "per quarter of the period: %d %d %d %d; at most %d in one second\n",
                  ends.size(), n, ends.front(), ends.back(), period_s, quarters[0], quarters[1],
                  quarters[2], quarters[3], most_in_a_second);
    }
    const bool ok = recorded == expected && uploaded_once == expected && twice == 0 &&
                    memory_ratio <= 1.0 && open_between_cycles == 0 &&
                    ends.size() == static_cast<size_t>(n);
    std::printf("verdict: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "instances: %s\n", e.what());
    return 2;
  }
}
