// Soak run of the service: the real executable in service mode, a dispatch cycle every second,
// against the local platform restarted between batches of cycles with random faults, new documents
// added as it goes. At the end the register is checked against what the platforms journalled.
//
//   soak [CYCLES] [SEED]     (defaults 500 and the clock)
//
// Each batch runs 5 to 15 cycles against a new platform instance with up to three rules drawn from
// the fault forms (HTTP 500, 503, 429 and 422, drop, stall, a body that is not JSON, a 201 without
// an id, status codes E0 and EA0, a token server that fails), aimed at pending documents or at
// every document. The service runs with short HTTP time limits (connect 2 s, stall 2 s, total 6 s)
// so that stalls end quickly. The platform is switched by rewriting the INI file, which every cycle
// reads; the old instance is stopped once the cycle that may still use it has ended.
//
// Cycles are counted in the database: an ON CONNECT trigger notes the client's PID of every
// attachment, and every cycle attaches once.
//
// Figures printed: cycles run, documents accepted (an upload answered 201 "S1"/"S2" whose batch
// got a status answer with a code other than "E0", "EA0", "EB0"), documents recorded, lost
// (accepted, not recorded: must be 0, the service never dies here), phantom rows (a row whose
// ID_ENVIO is not such a batch, or whose code differs from the answer: must be 0), documents
// accepted twice, failures logged, and the service's VmHWM and VmRSS after the first batch and at
// the end (growth of VmHWM must stay within 10%). Exit status 0 when every target holds.
//
// Build it in a release build; needs the Firebird server of scripts/firebird-server.sh.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>


#include "platform_client/wire.h"
#include "firebird/fb_query.h"
#include "testing/erp_database.h"
#include "base/datetime.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

using namespace quirada;
using namespace quirada::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kHttpLimits = "connect=2,stall=2,total=6";
constexpr auto kCycleWait = 180s;  // a cycle lasts seconds; far longer means the service is stuck

// One instance of the local platform, stopped before its journal is read so that no request can
// be answered after the reading.
class Platform {
 public:
  explicit Platform(const std::vector<std::string>& rules) : platform_(rules) {}
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  std::string IniSection() const { return platform_.IniSection() + "IntervaloSegundos=1\r\n"; }

  // Stops the platform and returns every request it journalled.
  std::vector<Exchange> StopAndReadJournal() {
    platform_.Stop();
    return platform_.Exchanges();
  }

 private:
  LocalPlatform platform_;
};

struct Memory {
  long hwm_kb = 0;
  long rss_kb = 0;
};

Memory ReadMemory(pid_t pid) {
  Memory m;
  std::istringstream in(ReadFileBytes("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("VmHWM:")) m.hwm_kb = std::atol(line.c_str() + 6);
    if (line.starts_with("VmRSS:")) m.rss_kb = std::atol(line.c_str() + 6);
  }
  return m;
}

class Soak {
 public:
  explicit Soak(unsigned seed) : rng_(seed) {
    db_.InsertSettings({});
    today_ = db_.ServerDate();
    db_.Execute("CREATE TABLE SOAK_CONEXOES (PID INTEGER)");
    db_.Execute(
        "CREATE TRIGGER SOAK_CONEXAO ON CONNECT AS BEGIN "
        "INSERT INTO SOAK_CONEXOES (PID) VALUES (CAST(RDB$GET_CONTEXT('SYSTEM', 'CLIENT_PID') AS INTEGER)); "
        "END");
    AddDocuments(20);
  }

  int Run(int cycles) {
    const auto started = std::chrono::steady_clock::now();
    auto platform = std::make_unique<Platform>(DrawRules());
    SwitchTo(*platform);
    Process service = run_.Start({}, {{"TMPDIR", tmp_.path()}, {"QUIRADA_TEST_HTTP_LIMITS", kHttpLimits}});
    pid_ = service.pid();
    int batches = 0;
    Memory first{};
    while (Cycles() < cycles) {
      const int until = std::min(cycles, Cycles() + std::uniform_int_distribution<int>(5, 15)(rng_));
      if (!WaitForCycles(until, service)) return Fail("the service ran no cycle for " + std::to_string(kCycleWait.count()) + " s");
      const Memory now = ReadMemory(pid_);
      if (++batches == 1) first = now;
      std::printf("batch %d: %d cycles, VmHWM %ld KiB, VmRSS %ld KiB\n", batches, Cycles(), now.hwm_kb, now.rss_kb);
      std::fflush(stdout);
      if (Cycles() >= cycles) break;
      // The next platform takes over at the next cycle; the old one stops once the cycle that may
      // still be talking to it has ended.
      auto next = std::make_unique<Platform>(DrawRules());
      SwitchTo(*next);
      if (!WaitForCycles(Cycles() + 1, service)) return Fail("the service ran no cycle after the switch");
      Collect(platform->StopAndReadJournal());
      platform = std::move(next);
      AddDocuments(2);
    }
    const Memory last = ReadMemory(pid_);
    const int cycles_run = Cycles();
    // A stop request ends the cycle in progress (an exchange still waiting for its answer is cut,
    // its document not recorded and offered again); then nothing talks to the platform.
    service.Signal(SIGTERM);
    if (!service.WaitFor(120s)) return Fail("the service did not stop");
    Collect(platform->StopAndReadJournal());
    const double minutes = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() / 60;
    return Report(cycles_run, batches, minutes, first, last, service.result().exit_status);
  }

 private:
  void AddDocuments(int n) {
    for (int i = 0; i < n; ++i) {
      ++documents_;
      db_.InsertNote({.sequencial = documents_, .chave = "NFe-" + std::to_string(100000 + documents_),
                      .xml = "<NFe><nNF>" + std::to_string(documents_) + "</nNF></NFe>", .data = today_,
                      .modelo = "65"});
    }
  }

  // Up to three rules, mostly aimed at documents still pending, some at every document.
  std::vector<std::string> DrawRules() {
    static const std::vector<std::string> upload_faults = {"500", "503", "429", "422", "drop", "stall", "notjson", "noid"};
    static const std::vector<std::string> status_faults = {"500", "503", "429", "drop", "stall", "notjson", "E0", "EA0"};
    static const std::vector<std::string> token_faults = {"503", "drop"};
    std::set<long long> recorded;
    for (const RegisterRow& row : db_.RegisterRows()) recorded.insert(row.sequencial);
    std::vector<long long> pending;
    for (long long seq = 1; seq <= documents_; ++seq)
      if (!recorded.count(seq)) pending.push_back(seq);

    const auto pick = [&](const std::vector<std::string>& from) {
      return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng_)];
    };
    std::vector<std::string> rules;
    const int n = std::uniform_int_distribution<int>(0, 3)(rng_);
    for (int i = 0; i < n; ++i) {
      const int kind = std::uniform_int_distribution<int>(0, 19)(rng_);
      if (kind == 0) {
        rules.push_back("token:*=" + pick(token_faults));
        continue;
      }
      std::string document = "*";
      if (kind > 3 && !pending.empty())
        document = std::to_string(100000 + pending[std::uniform_int_distribution<size_t>(0, pending.size() - 1)(rng_)]);
      rules.push_back(kind % 2 ? "upload:" + document + "=" + pick(upload_faults)
                               : "status:" + document + "=" + pick(status_faults));
    }
    return rules;
  }

  // Every cycle reads the INI file: it is replaced whole, never seen half-written.
  void SwitchTo(const Platform& platform) {
    TempFolder scratch;
    db_.WriteIni(scratch.path());
    const std::string text = ReadFileBytes(scratch.path() + "Morvant.ini") + platform.IniSection();
    const std::string temporary = run_.dir() + "Morvant.ini.new";
    std::ofstream(temporary, std::ios::binary | std::ios::trunc) << text;
    fs::rename(temporary, run_.dir() + "Morvant.ini");
  }

  int Cycles() {
    FbQuery q(db_.connection(), db_.transaction(), "SELECT COUNT(*) AS N FROM SOAK_CONEXOES WHERE PID = :PID");
    q.SetParamInteger("PID", pid_);
    q.Open();
    return static_cast<int>(q.FieldAsInteger("N"));
  }

  bool WaitForCycles(int n, Process& service) {
    const auto give_up = std::chrono::steady_clock::now() + kCycleWait;
    while (Cycles() < n) {
      if (service.WaitFor(0ms)) throw std::runtime_error("the service ended: " + service.result().err);
      if (std::chrono::steady_clock::now() > give_up) return false;
      std::this_thread::sleep_for(100ms);
    }
    return true;
  }

  void Collect(const std::vector<Exchange>& journal) { journal_.insert(journal_.end(), journal.begin(), journal.end()); }

  int Fail(const std::string& why) {
    std::fprintf(stderr, "soak: %s\n", why.c_str());
    return 1;
  }

  int Report(int cycles, int batches, double minutes, Memory first, Memory last, int exit_status) {
    // Batches the platform accepted and answered a good status for: batch -> (file, code).
    std::map<std::string, std::string> batch_file;
    for (const Exchange& e : journal_)
      if (e.IsUpload() && e.status == 201 && !e.batch.empty() && (e.code == "S1" || e.code == "S2"))
        batch_file[e.batch] = e.file;
    std::map<std::string, std::pair<std::string, std::string>> accepted;  // batch -> (file, code)
    for (const Exchange& e : journal_) {
      const auto upload = batch_file.find(e.batch);
      if (e.IsStatus() && e.status == 200 && upload != batch_file.end() && !e.code.empty() && e.code != "E0" &&
          e.code != "EA0" && e.code != "EB0")
        accepted[e.batch] = {upload->second, e.code};
    }
    std::map<std::string, int> accepted_per_file;
    for (const auto& [batch, answer] : accepted) ++accepted_per_file[answer.first];

    const std::vector<RegisterRow> rows = db_.RegisterRows();
    std::set<std::string> recorded_files;
    int phantom = 0;
    for (const RegisterRow& row : rows) {
      const std::string file = std::to_string(100000 + row.sequencial) + ".xml";
      recorded_files.insert(file);
      const auto batch = accepted.find(row.id_envio);
      if (batch == accepted.end() || batch->second.first != file || batch->second.second != row.codigo_retorno) {
        ++phantom;
        std::fprintf(stderr, "phantom row: document %lld batch %s code %s\n", row.sequencial, row.id_envio.c_str(),
                     row.codigo_retorno.c_str());
      }
    }
    int lost = 0, twice = 0;
    for (const auto& [file, count] : accepted_per_file) {
      if (!recorded_files.count(file)) {
        ++lost;
        std::fprintf(stderr, "lost: %s was accepted but is not recorded\n", file.c_str());
      }
      if (count > 1) ++twice;
    }
    std::map<std::string, int> faults;
    int uploads = 0, status_queries = 0;
    for (const Exchange& e : journal_) {
      uploads += e.IsUpload();
      status_queries += e.IsStatus();
      if (!e.fault.empty()) ++faults[(e.IsUpload() ? "upload " : e.IsStatus() ? "status " : "token ") + e.fault];
      if (e.IsStatus() && e.status == 200 && (e.code == "E0" || e.code == "EA0" || e.code == "EB0"))
        ++faults["status " + e.code];
    }
    const double growth = first.hwm_kb > 0 ? static_cast<double>(last.hwm_kb) / first.hwm_kb - 1 : 0;

    std::printf("cycles run:             %d in %.1f min (%d platform instances)\n", cycles, minutes, batches + 1);
    std::printf("documents:              %lld in the ERP database, %d uploads, %d status queries\n", documents_, uploads,
                status_queries);
    std::printf("documents accepted:     %zu\n", accepted_per_file.size());
    std::printf("documents recorded:     %zu\n", rows.size());
    std::printf("lost:                   %d (must be 0)\n", lost);
    std::printf("phantom rows:           %d (must be 0)\n", phantom);
    std::printf("accepted twice:         %d\n", twice);
    std::printf("failures logged:        %zu lines\n", run_.LogLines().size());
    std::printf("faults answered:        ");
    for (const auto& [fault, count] : faults) std::printf("%s %d; ", fault.c_str(), count);
    std::printf("\nservice memory:         after the first batch VmHWM %ld KiB VmRSS %ld KiB; at the end VmHWM %ld KiB "
                "VmRSS %ld KiB; VmHWM growth %.1f%% (must stay within 10%%)\n",
                first.hwm_kb, first.rss_kb, last.hwm_kb, last.rss_kb, 100 * growth);
    std::printf("service exit status:    %d after SIGTERM\n", exit_status);
    const bool ok = lost == 0 && phantom == 0 && growth <= 0.10 && exit_status == 0;
    std::printf("verdict:                %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
  }

  std::mt19937 rng_;
  ErpDatabase db_;
  RunFolder run_;
  TempFolder tmp_;  // the service's temporary folder (token file)
  TDateTime today_ = 0;
  long long documents_ = 0;
  pid_t pid_ = 0;
  std::vector<Exchange> journal_;
};

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? std::atoi(argv[1]) : 500;
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10))
                                 : static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
  if (cycles <= 0) {
    std::fprintf(stderr, "usage: soak [CYCLES] [SEED]\n");
    return 2;
  }
  std::printf("soak: %d cycles, seed %u\n", cycles, seed);
  std::fflush(stdout);
  try {
    Soak soak(seed);
    return soak.Run(cycles);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak: %s\n", e.what());
    return 1;
  }
}
