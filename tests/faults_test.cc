// The delivery promise under faults, end to end: the real executable, the real Firebird server
// and the local platform over real TLS, with the platform, the database or the disk failing.
//
// Whatever fails, a document is recorded only after the platform accepted it and answered its
// status, a document that was not recorded is offered again by a later cycle, the failed cycle
// leaves one line in the service log that says what happened, and the service lives on. The only
// duplicate allowed is the second upload of a document whose acceptance was not recorded.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform_client/wire.h"
#include "testing/erp_database.h"
#include "testing/executable_test.h"
#include "base/unique_fd_posix.h"
#include "base/text.h"
#include "service/service_log.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

namespace quirada::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Short enough that a stalled exchange ends within seconds, long enough for a healthy one.
constexpr const char* kShortLimits = "connect=2,stall=2,total=8";

std::vector<Exchange> Joined(std::vector<Exchange> a, const std::vector<Exchange>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The documents of these tests: SEQUENCIAL n has the key "NFe-000n" and the file "000n.xml".
std::string KeyOf(long long seq) { return "NFe-000" + std::to_string(seq); }
std::string FileOf(long long seq) { return "000" + std::to_string(seq) + ".xml"; }

// The file whose upload created `batch`, or "".
std::string FileOfBatch(const std::vector<Exchange>& exchanges, const std::string& batch) {
  for (const auto& e : exchanges)
    if (e.Accepted() && e.batch == batch) return e.file;
  return "";
}

// Every register row names a batch that the platform created for that very document and whose
// status it answered with the code recorded: no row claims a send that did not happen.
void ExpectEveryRowBacked(const std::vector<RegisterRow>& rows, const std::vector<Exchange>& exchanges) {
  for (const auto& row : rows) {
    SCOPED_TRACE("register row of SEQUENCIAL " + std::to_string(row.sequencial));
    EXPECT_EQ(FileOfBatch(exchanges, row.id_envio), FileOf(row.sequencial)) << row.id_envio;
    bool status_read = false;
    for (const auto& e : exchanges)
      status_read |= e.IsStatus() && e.status == 200 && e.batch == row.id_envio && e.code == row.codigo_retorno;
    EXPECT_TRUE(status_read) << "no status answered for batch " << row.id_envio;
  }
}

// The files whose status was answered with an accepting code in `exchanges`.
std::set<std::string> FilesWithStatusRead(const std::vector<Exchange>& exchanges) {
  std::set<std::string> files;
  for (const auto& e : exchanges)
    if (e.IsStatus() && e.status == 200 && !e.code.empty() && e.code != "E0" && e.code != "EA0" &&
        e.code != "EB0")
      files.insert(FileOfBatch(exchanges, e.batch));
  return files;
}

std::set<std::string> FilesOf(const std::vector<RegisterRow>& rows) {
  std::set<std::string> files;
  for (const auto& r : rows) files.insert(FileOf(r.sequencial));
  return files;
}

size_t AcceptedUploadsOf(const std::vector<Exchange>& exchanges, const std::string& file) {
  return static_cast<size_t>(
      std::count_if(exchanges.begin(), exchanges.end(), [&](const Exchange& e) { return e.Accepted() && e.file == file; }));
}

size_t Count(const std::vector<Exchange>& exchanges, bool (Exchange::*kind)() const) {
  return static_cast<size_t>(std::count_if(exchanges.begin(), exchanges.end(), [&](const Exchange& e) { return (e.*kind)(); }));
}

// "DD/MM/YYYY HH:mm:ss - " and a message.
bool Stamped(const std::string& line) {
  const std::string pattern = "00/00/0000 00:00:00 - ";
  if (line.size() <= pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i)
    if (pattern[i] == '0' ? std::isdigit(static_cast<unsigned char>(line[i])) == 0 : line[i] != pattern[i])
      return false;
  return true;
}

// The log's entries: each stamped line with the unstamped lines after it (a message that holds
// line breaks shows as several lines, the later ones without a stamp).
std::vector<std::string> LogEntries(const std::vector<std::string>& lines) {
  std::vector<std::string> entries;
  for (const auto& line : lines) {
    if (Stamped(line) || entries.empty())
      entries.push_back(line);
    else
      entries.back() += "\n" + line;
  }
  return entries;
}

// A port of 127.0.0.1 on which nothing listens.
int ClosedPort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("no free port");
  return ntohs(address.sin_port);
}

std::string LocalUrl(int port) { return "https://localhost:" + std::to_string(port); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(line);
  return lines;
}

size_t CountLinesWith(const std::string& text, const std::string& needle) {
  const auto lines = Lines(text);
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
}

// A TCP relay in front of the platform that holds one chosen connection (counted from 1) until
// the test lets it go. TLS passes through untouched, so the service still talks to the platform;
// the test gets a window at a known step of the cycle.
class HoldingRelay {
 public:
  HoldingRelay(int upstream_port, int held_connection) : upstream_port_(upstream_port), held_(held_connection) {
    listener_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener_.Valid() || ::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_.Get(), 16) != 0 ||
        ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("the relay cannot listen");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }

  ~HoldingRelay() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      released_ = true;
    }
    changed_.notify_all();
    ::shutdown(listener_.Get(), SHUT_RDWR);
    acceptor_.join();
    for (auto& t : pumps_) t.join();
  }

  int port() const { return port_; }

  // Whether the held connection arrived within `limit`.
  bool WaitUntilHeld(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return holding_; });
  }

  void Release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }

 private:
  void AcceptLoop() {
    for (int n = 1;; ++n) {
      const int client = ::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;  // shut down
      std::lock_guard lock(mutex_);
      if (stopping_) {
        ::close(client);
        return;
      }
      pumps_.emplace_back([this, client, n] { Pump(UniqueFd(client), n == held_); });
    }
  }

  void Pump(UniqueFd client, bool hold) {
    if (hold) {
      std::unique_lock lock(mutex_);
      holding_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return released_; });
    }
    UniqueFd upstream(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(upstream_port_));
    if (!upstream.Valid() || ::connect(upstream.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      return;
    bool open[2] = {true, true};  // client to platform, platform to client
    char buffer[16384];
    while (open[0] || open[1]) {
      pollfd fds[2] = {{client.Get(), static_cast<short>(open[0] ? POLLIN : 0), 0},
                       {upstream.Get(), static_cast<short>(open[1] ? POLLIN : 0), 0}};
      if (::poll(fds, 2, 200) < 0) return;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
      }
      for (int side = 0; side < 2; ++side) {
        if (!open[side] || fds[side].revents == 0) continue;
        const int from = side == 0 ? client.Get() : upstream.Get();
        const int to = side == 0 ? upstream.Get() : client.Get();
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n <= 0) {
          open[side] = false;
          ::shutdown(to, SHUT_WR);
          continue;
        }
        for (ssize_t done = 0; done < n;) {
          const ssize_t w = ::send(to, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
          if (w <= 0) return;
          done += w;
        }
      }
    }
  }

  const int upstream_port_;
  const int held_;
  int port_ = 0;
  UniqueFd listener_;
  std::thread acceptor_;
  std::vector<std::thread> pumps_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false, released_ = false, stopping_ = false;
};

// Keeps the service from writing into chosen folders. The tests run as root in CI, and root
// ignores permissions, so a folder is barred by a read-only bind mount where the test may mount,
// else by running the service as user nobody on folders it does not own; as any other user,
// permissions do. QUIRADA_TEST_WRITE_BARRIER=mount or =nobody forces one way (to check both).
class WriteBarrier {
 public:
  enum class Way { kNone, kPermissions, kMount, kNobody };

  // `barred`: folders the service must not write to; `open`: folders it must still write to.
  WriteBarrier(std::vector<std::string> barred, std::vector<std::string> open)
      : barred_(std::move(barred)), open_(std::move(open)) {
    way_ = Choose(&why_not_);
    for (const auto& dir : barred_) {
      switch (way_) {
        case Way::kPermissions:
          fs::permissions(dir, fs::perms(0500));  // a private folder stays private
          break;
        case Way::kMount:
          if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
              ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            why_not_ = "the read-only bind mount of " + dir + " failed: " + std::strerror(errno);
          mounted_.push_back(dir);
          break;
        case Way::kNobody:
          fs::permissions(dir, fs::perms(0755));
          break;
        case Way::kNone:
          break;
      }
    }
    if (way_ == Way::kNobody)
      for (const auto& dir : open_) fs::permissions(dir, fs::perms::all);
  }

  ~WriteBarrier() {
    for (const auto& dir : mounted_) ::umount2(dir.c_str(), MNT_DETACH);
    if (way_ == Way::kPermissions || way_ == Way::kNobody) {
      std::error_code ec;
      for (const auto& dir : barred_) fs::permissions(dir, fs::perms::owner_all, ec);
      for (const auto& dir : open_) fs::permissions(dir, fs::perms::owner_all, ec);
    }
  }

  WriteBarrier(const WriteBarrier&) = delete;
  WriteBarrier& operator=(const WriteBarrier&) = delete;

  // Empty when the folders are barred; otherwise why they cannot be, here.
  const std::string& unavailable() const { return why_not_; }
  // Whether the service runs as another user (who has a private token folder of its own).
  bool RunsAsAnotherUser() const { return way_ == Way::kNobody; }

  // Runs the service of `run` behind the barrier; its output goes to `output_dir`.
  ProcessResult Run(const RunFolder& run, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env, const std::string& output_dir) const {
    std::string program = run.executable();
    std::vector<std::string> all = args;
    if (way_ == Way::kNobody) {
      all = {"--reuid=65534", "--regid=65534", "--clear-groups", run.executable()};
      all.insert(all.end(), args.begin(), args.end());
      program = SetprivPath();
    }
    Process p = StartProcess(program, all, env, output_dir + "barred");
    if (!p.WaitFor(120s)) throw std::runtime_error("the service did not end in time");
    return p.result();
  }

 private:
  static std::string SetprivPath() {
    for (const char* path : {"/usr/bin/setpriv", "/bin/setpriv"})
      if (::access(path, X_OK) == 0) return path;
    return "";
  }

  static bool CanMount() {
    TempFolder probe;
    const std::string dir = probe.path();
    const bool ok = ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (ok) ::umount2(dir.c_str(), MNT_DETACH);
    return ok;
  }

  static bool CanRunAsNobody() {
    const std::string setpriv = SetprivPath();
    if (setpriv.empty()) return false;
    TempFolder out;
    Process p = StartProcess(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/true"}, {},
                             out.path() + "probe");
    return p.WaitFor(30s) && p.result().exit_status == 0;
  }

  static Way Choose(std::string* why_not) {
    if (::geteuid() != 0) return Way::kPermissions;
    const char* forced = std::getenv("QUIRADA_TEST_WRITE_BARRIER");
    const std::string force = forced != nullptr ? forced : "";
    if (force != "nobody" && CanMount()) return Way::kMount;
    if (force != "mount" && CanRunAsNobody()) return Way::kNobody;
    *why_not = "running as root, which ignores permissions, and neither a bind mount nor setpriv to user "
               "nobody is allowed here";
    return Way::kNone;
  }

  std::vector<std::string> barred_, open_, mounted_;
  Way way_ = Way::kNone;
  std::string why_not_;
};

// A small tmpfs mounted on a folder for the life of the object. (A test run killed in between
// leaves it mounted under the system's temporary folder; "umount" it by hand.)
class SmallTmpfs {
 public:
  // The file system's root is 0700, as the folder it covers: a service folder others may write
  // (a tmpfs's default 1777) is one the service refuses to work in.
  SmallTmpfs(const std::string& dir, const std::string& size) : dir_(dir) {
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0700").c_str()) != 0)
      why_not_ = std::string("cannot mount a tmpfs here (it needs CAP_SYS_ADMIN): ") + std::strerror(errno);
  }
  ~SmallTmpfs() {
    if (why_not_.empty()) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  const std::string& unavailable() const { return why_not_; }

 private:
  std::string dir_;
  std::string why_not_;
};

// Fills the file system of `dir` to the last block with the file `dir`/filler; returns the bytes
// still free (none, unless the file system keeps blocks back).
uint64_t FillUp(const std::string& dir) {
  {
    std::ofstream filler(dir + "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
    }
  }
  struct statvfs st {};
  if (::statvfs(dir.c_str(), &st) != 0) return UINT64_MAX;
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.InsertSettings({});
    today_ = db_.ServerDate();
  }

  void AddNote(long long seq) {
    db_.InsertNote({.sequencial = seq, .chave = KeyOf(seq), .xml = "<NFe>" + KeyOf(seq) + "</NFe>",
                    .data = today_, .modelo = "65"});
  }

  // Empty tables but for the settings, then documents 1 to `count`; no log, no cached token.
  void FreshDocuments(int count) {
    db_.ClearTables();
    db_.InsertSettings({});
    for (int seq = 1; seq <= count; ++seq) AddNote(seq);
    fs::remove(run_.log_path());
    ForgetToken();
  }

  void ForgetToken() { fs::remove(TokenPath()); }
  std::string TokenPath() const { return ServiceTokenFile(tmp_.path()); }

  // Points the service at the API and the authorization server given, trusting `ca_file`.
  // The INI file is replaced whole (a running service reads it at every cycle).
  void Configure(int api_port, int auth_port, const std::string& ca_file, const std::string& extra = "") {
    const std::string staging = run_.dir() + "staging/";
    fs::create_directories(staging);
    fs::remove(staging + "Morvant.ini");
    db_.WriteIni(staging);
    std::ofstream(staging + "Morvant.ini", std::ios::binary | std::ios::app)
        << "[Quirada]\r\nApiUrl=" << LocalUrl(api_port) << "\r\nAuthUrl=" << LocalUrl(auth_port)
        << "\r\nCAFile=" << ca_file << "\r\n" << extra;
    fs::rename(staging + "Morvant.ini", run_.dir() + "Morvant.ini");
  }
  void Configure(const LocalPlatform& p, const std::string& extra = "") {
    Configure(p.port(), p.port(), p.CaFile(), extra);
  }
  // The same with a copy of the platform's CA beside the executable, which a service running as
  // another user can read.
  void ConfigureReadable(const LocalPlatform& p) {
    const std::string copy = run_.dir() + "ca.pem";
    fs::copy_file(p.CaFile(), copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms(0644));
    Configure(p.port(), p.port(), copy);
  }

  std::map<std::string, std::string> Env() const {
    return {{"TMPDIR", tmp_.path()}, {"QUIRADA_TEST_HTTP_LIMITS", kShortLimits}};
  }

  ProcessResult RunOnce() { return run_.Run({"/ONCE"}, Env()); }

  // The cycle failed as a cycle should: exit status 1 and exactly one stamped log line, which
  // holds `says`. Returns the line.
  std::string ExpectOneFailure(const ProcessResult& r, const std::string& says) {
    EXPECT_EQ(r.exit_status, 1) << r.err;
    const auto entries = LogEntries(run_.LogLines());
    EXPECT_EQ(entries.size(), 1u) << ReadFileBytes(run_.log_path());
    if (entries.empty()) return "";
    EXPECT_TRUE(Stamped(entries[0])) << entries[0];
    EXPECT_NE(entries[0].find(says), std::string::npos) << entries[0];
    return entries[0];
  }
  // A healthy cycle after a failed one: it exits 0, logs nothing more, records every document of
  // 1..`count`, uploads again only those not recorded before, and leaves recorded rows as they were.
  // Returns what the healthy platform saw.
  std::vector<Exchange> ExpectRecovery(const std::vector<RegisterRow>& rows_before,
                                       const std::vector<Exchange>& before, int count) {
    LocalPlatform healthy;
    ForgetToken();  // a token of another platform instance would be refused by this one
    Configure(healthy);
    const size_t entries_before = LogEntries(run_.LogLines()).size();
    const ProcessResult r = RunOnce();
    EXPECT_EQ(r.exit_status, 0) << r.err << ReadFileBytes(run_.log_path());
    EXPECT_EQ(LogEntries(run_.LogLines()).size(), entries_before);
    const auto after = healthy.Exchanges();
    const auto rows = db_.RegisterRows();
    EXPECT_EQ(rows.size(), static_cast<size_t>(count));
    ExpectEveryRowBacked(rows, Joined(before, after));
    const auto recorded_before = FilesOf(rows_before);
    for (int seq = 1; seq <= count; ++seq) {
      const std::string file = FileOf(seq);
      SCOPED_TRACE(file);
      const bool was_recorded = recorded_before.count(file) != 0;
      EXPECT_EQ(AcceptedUploadsOf(after, file), was_recorded ? 0u : 1u) << "nothing recorded is sent twice";
      EXPECT_LE(AcceptedUploadsOf(before, file), 1u);
    }
    for (const auto& old : rows_before) {
      for (const auto& now : rows) {
        if (now.sequencial == old.sequencial) {
          EXPECT_EQ(now.id_envio, old.id_envio) << "a recorded row is left as it was";
        }
      }
    }
    return after;
  }

  ErpDatabase db_;
  RunFolder run_;
  TempFolder tmp_;  // the service's TMPDIR: the token file's folder
  TempFolder out_;  // output of runs outside the executable's folder
  TDateTime today_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The platform fails

enum class Setup {
  kRules,          // a platform following `rules`
  kStopped,        // nothing listens where the platform should be
  kForeignCa,      // a platform whose certificate no trusted authority issued
};

enum class Struck { kUpload, kStatus, kEveryRequest };

struct PlatformFault {
  const char* what;
  Setup setup;
  std::vector<std::string> rules;
  Struck struck;
  const char* says;  // what the log line holds
  bool token_removed = false;
  int tries = 1;  // how often the struck exchange is made (a refused cached token: once more)
};

// Document 0002 is the one struck: documents before it are recorded, it and those after wait.
const PlatformFault kPlatformFaults[] = {
    {"connection refused", Setup::kStopped, {}, Struck::kEveryRequest, "connect"},
    {"reset during the upload", Setup::kRules, {"upload:0002=drop"}, Struck::kUpload, "reply"},
    {"reset during the status query", Setup::kRules, {"status:0002=drop"}, Struck::kStatus, "reply"},
    {"upload stalls", Setup::kRules, {"upload:0002=stall"}, Struck::kUpload, "stalled"},
    {"status query stalls", Setup::kRules, {"status:0002=stall"}, Struck::kStatus, "stalled"},
    {"upload 500", Setup::kRules, {"upload:0002=500"}, Struck::kUpload, "Lote recusado"},
    {"upload 502", Setup::kRules, {"upload:0002=502"}, Struck::kUpload, "Lote recusado"},
    {"upload 503", Setup::kRules, {"upload:0002=503"}, Struck::kUpload, "Lote recusado"},
    {"upload 429", Setup::kRules, {"upload:0002=429"}, Struck::kUpload, "Lote recusado"},
    {"status 500", Setup::kRules, {"status:0002=500"}, Struck::kStatus, "500"},
    {"status 502", Setup::kRules, {"status:0002=502"}, Struck::kStatus, "502"},
    {"status 503", Setup::kRules, {"status:0002=503"}, Struck::kStatus, "503"},
    {"status 429", Setup::kRules, {"status:0002=429"}, Struck::kStatus, "429"},
    {"upload 401", Setup::kRules, {"upload:0002=401"}, Struck::kUpload, "Lote recusado", true, 2},
    {"upload answer not JSON", Setup::kRules, {"upload:0002=notjson"}, Struck::kUpload, "not found"},
    {"status answer not JSON", Setup::kRules, {"status:0002=notjson"}, Struck::kStatus, "not found"},
    {"201 without an id", Setup::kRules, {"upload:0002=noid"}, Struck::kUpload, "'id'"},
    {"untrusted certificate", Setup::kForeignCa, {}, Struck::kEveryRequest, "certificate"},
};

TEST_F(FaultsTest, NoPlatformFaultLosesOrInventsASend) {
  constexpr int kDocuments = 3;
  for (const auto& c : kPlatformFaults) {
    SCOPED_TRACE(c.what);
    FreshDocuments(kDocuments);
    std::vector<Exchange> first;
    {
      LocalPlatform faulty(c.rules);
      std::unique_ptr<LocalPlatform> other;  // the authority that did not issue faulty's certificate
      switch (c.setup) {
        case Setup::kRules:
          Configure(faulty);
          break;
        case Setup::kStopped: {
          const int port = ClosedPort();
          Configure(port, port, faulty.CaFile());
          break;
        }
        case Setup::kForeignCa:
          other = std::make_unique<LocalPlatform>();
          Configure(faulty.port(), faulty.port(), other->CaFile());
          break;
      }
      ExpectOneFailure(RunOnce(), c.says);
      first = faulty.Exchanges();
    }
    const auto rows = db_.RegisterRows();
    ExpectEveryRowBacked(rows, first);
    EXPECT_EQ(FilesOf(rows), FilesWithStatusRead(first)) << "every document accepted and answered is recorded";

    if (c.struck == Struck::kEveryRequest) {
      EXPECT_TRUE(first.empty()) << "the platform answered " << first.size() << " requests";
    } else {
      // The cycle ended at the struck exchange of document 0002.
      ASSERT_FALSE(first.empty());
      const Exchange& last = first.back();
      if (c.struck == Struck::kUpload) {
        EXPECT_TRUE(last.IsUpload());
        EXPECT_EQ(last.file, FileOf(2));
      } else {
        EXPECT_TRUE(last.IsStatus());
        EXPECT_EQ(FileOfBatch(first, last.batch), FileOf(2));
      }
      EXPECT_FALSE(last.fault.empty()) << "the rule struck";
      EXPECT_EQ(FilesOf(rows).count(FileOf(2)), 0u);
      const size_t struck_uploads = c.struck == Struck::kUpload ? c.tries : 1;
      EXPECT_EQ(Count(first, &Exchange::IsUpload), rows.size() + struck_uploads)
          << "the cycle stopped at 0002";
      EXPECT_EQ(fs::exists(TokenPath()), !c.token_removed);
    }
    ExpectRecovery(rows, first, kDocuments);
  }
}

// The authorization server matters only when a new token is needed.
TEST_F(FaultsTest, AnAuthorizationServerDownMattersOnlyOnceTheCachedTokenExpired) {
  struct Case {
    const char* what;
    bool expired;
    int exit_status;
  } cases[] = {
      {"cached token still valid", false, 0},
      {"cached token expired", true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FreshDocuments(1);
    LocalPlatform platform;
    Configure(platform);
    ASSERT_EQ(RunOnce().exit_status, 0);
    ASSERT_TRUE(fs::exists(TokenPath()));
    const size_t seen = platform.Journal().size();
    AddNote(2);
    AddNote(3);
    if (c.expired) {
      std::string token = ReadFileBytes(TokenPath());
      const size_t at = token.find("\nExpiraData=");
      ASSERT_NE(at, std::string::npos) << token;
      token = token.substr(0, at) + "\nExpiraData=01/01/2020 10:00:00\r\n";
      std::ofstream(TokenPath(), std::ios::binary | std::ios::trunc) << token;
    }
    Configure(platform.port(), ClosedPort(), platform.CaFile());
    const ProcessResult r = RunOnce();
    EXPECT_EQ(r.exit_status, c.exit_status) << r.err;
    auto exchanges = platform.Exchanges();
    const std::vector<Exchange> during(exchanges.begin() + static_cast<long>(seen), exchanges.end());
    EXPECT_EQ(Count(during, &Exchange::IsToken), 0u);
    if (c.expired) {
      ExpectOneFailure(r, "connect");
      EXPECT_TRUE(during.empty()) << "nothing is sent without a valid token";
      EXPECT_EQ(db_.RegisterRows().size(), 1u);
      // The server is back: a new token, and the rest is sent.
      Configure(platform);
      EXPECT_EQ(RunOnce().exit_status, 0);
      exchanges = platform.Exchanges();
      const std::vector<Exchange> back(exchanges.begin() + static_cast<long>(seen), exchanges.end());
      EXPECT_EQ(Count(back, &Exchange::IsToken), 1u);
    } else {
      EXPECT_TRUE(run_.LogLines().empty());
    }
    const auto rows = db_.RegisterRows();
    EXPECT_EQ(rows.size(), 3u);
    ExpectEveryRowBacked(rows, exchanges);
    for (int seq = 1; seq <= 3; ++seq) EXPECT_EQ(AcceptedUploadsOf(exchanges, FileOf(seq)), 1u) << seq;
  }
}

// ---------------------------------------------------------------------------------------------
// The ERP database fails
//
// Stopping the Firebird server would pull it from under the other tests that run beside these,
// so the server is not stopped: the service's attachment is ended instead (as an administrator
// would end it), which the connection layer meets exactly as a lost connection.

TEST_F(FaultsTest, ALostDatabaseConnectionEndsTheCycleAndKeepsWhatWasRecorded) {
  FreshDocuments(3);
  LocalPlatform platform;
  // The API goes through the relay, which holds its third connection: the upload of the second
  // document, after the first was uploaded, answered and recorded.
  HoldingRelay relay(platform.port(), 3);
  Configure(relay.port(), platform.port(), platform.CaFile());
  Process once = run_.Start({"/ONCE"}, Env());
  ASSERT_TRUE(relay.WaitUntilHeld(60s)) << once.Err();
  ASSERT_EQ(db_.RegisterRows().size(), 1u);
  db_.KillOtherAttachments();
  relay.Release();
  ASSERT_TRUE(once.WaitFor(60s));
  // The connection layer attaches again for the register write, so the second document, accepted
  // meanwhile, is recorded; the list of pending documents was lost with the old attachment, and
  // that ends the cycle.
  ExpectOneFailure(once.result(), "banco de dados");

  const auto first = platform.Exchanges();
  const auto rows = db_.RegisterRows();
  ExpectEveryRowBacked(rows, first);
  EXPECT_EQ(FilesOf(rows), FilesWithStatusRead(first)) << "every document accepted and answered is recorded";
  EXPECT_EQ(Count(first, &Exchange::IsUpload), 2u) << "the cycle ended after the second document";
  ExpectRecovery(rows, first, 3);
}
TEST_F(FaultsTest, AMissingRegisterTableIsNamedInTheLog) {
  FreshDocuments(2);
  db_.Execute("DROP TABLE QUIRADA_ENVIOS_XML");
  LocalPlatform platform;
  Configure(platform);
  ExpectOneFailure(RunOnce(), "QUIRADA_ENVIOS_XML");
  const auto first = platform.Exchanges();
  EXPECT_TRUE(first.empty()) << "nothing is sent that could not be recorded";

  db_.Execute(
      "CREATE TABLE QUIRADA_ENVIOS_XML (SEQUENCIAL INTEGER NOT NULL, TIPOXML CHAR(1) NOT NULL, "
      "DATAHORAENVIO TIMESTAMP, ID_ENVIO VARCHAR(64), CODIGORETORNO VARCHAR(10), "
      "CONSTRAINT PK_QUIRADA_ENVIOS_XML PRIMARY KEY (SEQUENCIAL, TIPOXML))");
  ExpectRecovery({}, first, 2);
}

// ---------------------------------------------------------------------------------------------
// The disk fails

// A document whose XML file cannot be created is logged by its key and skipped: the documents
// after it are sent in the same cycle.
TEST_F(FaultsTest, ADocumentWhoseXmlFileCannotBeCreatedIsLoggedAndTheOthersGoOn) {
  const std::string long_key(2000, '7');  // its file name is longer than any system allows
  const struct {
    const char* what;
    std::string key;     // the second document's key
    bool blocked;        // its file's name taken by a folder no one can write as a file
  } cases[] = {
      {"a folder where the file goes", KeyOf(2), true},
      {"a key of 2,000 digits", long_key, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FreshDocuments(0);
    db_.Execute("ALTER TABLE NOTASENTRADASESAIDAS ALTER CHAVENFE TYPE VARCHAR(2100)");
    for (int seq = 1; seq <= 3; ++seq)
      db_.InsertNote({.sequencial = seq, .chave = seq == 2 ? c.key : KeyOf(seq),
                      .xml = "<NFe>" + KeyOf(seq) + "</NFe>", .data = today_, .modelo = "65"});
    if (c.blocked) fs::create_directory(run_.dir() + FileOf(2));
    LocalPlatform platform;
    Configure(platform);
    const ProcessResult r = RunOnce();
    EXPECT_EQ(r.exit_status, 3) << r.err << ReadFileBytes(run_.log_path());
    const auto entries = LogEntries(run_.LogLines());
    ASSERT_EQ(entries.size(), 1u) << ReadFileBytes(run_.log_path());
    const std::string line = Latin1ToUtf8(entries[0]);  // the log is in the ANSI code page
    EXPECT_NE(line.find("Documento " + c.key + " não enviado: o arquivo XML não pôde ser gravado"),
              std::string::npos) << line.substr(0, 300);
    const auto first = platform.Exchanges();
    EXPECT_EQ(Count(first, &Exchange::IsUpload), 2u) << "the other two are sent";
    const auto rows = db_.RegisterRows();
    ExpectEveryRowBacked(rows, first);
    EXPECT_EQ(FilesOf(rows), (std::set<std::string>{FileOf(1), FileOf(3)}));
    if (c.blocked) {
      fs::remove(run_.dir() + FileOf(2));
      ExpectRecovery(rows, first, 3);
    }
  }
}

TEST_F(FaultsTest, AnUnwritableExecutableFolderSendsNothingAndSaysSoOnStandardError) {
  FreshDocuments(2);
  LocalPlatform platform;
  ConfigureReadable(platform);
  ProcessResult r;
  {
    WriteBarrier barrier({run_.dir()}, {tmp_.path()});
    if (!barrier.unavailable().empty()) GTEST_SKIP() << barrier.unavailable();
    r = barrier.Run(run_, {"/ONCE"}, Env(), out_.path());
  }
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_FALSE(fs::exists(run_.log_path()));
  // Nothing is tried: one message names the folder and the permission the service needs there.
  const auto err = Lines(r.err);
  ASSERT_EQ(err.size(), 1u) << r.err;
  EXPECT_NE(err[0].find("Sem permissão de escrita na pasta \"" + run_.dir() + "\""), std::string::npos)
      << err[0];
  const auto first = platform.Exchanges();
  EXPECT_TRUE(first.empty()) << "nothing is sent";
  EXPECT_TRUE(db_.RegisterRows().empty());
  ExpectRecovery({}, first, 2);
}

TEST_F(FaultsTest, AnUnwritableServiceLogGoesToStandardErrorAndTheServiceGoesOn) {
  FreshDocuments(1);
  // A folder where the log file goes: no one, root included, can write it as a file.
  fs::create_directory(run_.log_path());
  LocalPlatform platform;
  const int closed = ClosedPort();
  Configure(closed, closed, platform.CaFile(), "IntervaloSegundos=1\r\n");
  Process service = run_.Start({}, Env());
  const std::string failure = "Couldn't connect";
  ASSERT_TRUE(WaitUntil([&] { return CountLinesWith(service.Err(), failure) >= 2; }, 60s))
      << "two failed cycles, each told on standard error: " << service.Err();
  // The service lives on: pointed at the platform, a later cycle records the document.
  Configure(platform, "IntervaloSegundos=1\r\n");
  ASSERT_TRUE(WaitUntil([&] { return db_.RegisterRows().size() == 1; }, 60s)) << service.Err();
  service.Signal(SIGTERM);
  ASSERT_TRUE(service.WaitFor(60s));
  EXPECT_EQ(service.result().exit_status, 0);
  const std::string err = service.result().err;
  // The journal's lines: the first cycle's time, said at the start; errors; and the summary of the
  // cycle that sent the document.
  for (const auto& line : Lines(err))
    EXPECT_TRUE(line.starts_with("<3>") || line.starts_with("<6>Ciclo concluído") ||
                line.starts_with("<6>Próximo ciclo: "))
        << line;
  EXPECT_EQ(CountLinesWith(err, "<6>Próximo ciclo: "), 1u) << err;
  EXPECT_GE(CountLinesWith(err, kServiceLogName), 2u) << "the log's own failure is told too: " << err;
  EXPECT_EQ(CountLinesWith(err, kServiceLogName), CountLinesWith(err, failure)) << err;
  ExpectEveryRowBacked(db_.RegisterRows(), platform.Exchanges());
}

TEST_F(FaultsTest, ATokenThatCannotBeCachedFailsTheCycleCleanly) {
  FreshDocuments(2);
  LocalPlatform platform;
  ConfigureReadable(platform);
  {
    // The service's private token folder, where it writes nothing.
    WriteBarrier barrier({fs::path(TokenPath()).parent_path().string() + "/"}, {run_.dir()});
    if (!barrier.unavailable().empty()) GTEST_SKIP() << barrier.unavailable();
    if (barrier.RunsAsAnotherUser()) GTEST_SKIP() << "another user has a token folder of its own";
    ExpectOneFailure(barrier.Run(run_, {"/ONCE"}, Env(), out_.path()), "");
  }
  const auto first = platform.Exchanges();
  EXPECT_EQ(Count(first, &Exchange::IsToken), 1u);
  EXPECT_EQ(Count(first, &Exchange::IsUpload), 0u) << "nothing is sent without a cached token";
  EXPECT_FALSE(fs::exists(TokenPath()));
  EXPECT_TRUE(db_.RegisterRows().empty());
  ExpectRecovery({}, first, 2);
}

TEST_F(FaultsTest, AFullTemporaryFolderFailsTheCycleCleanly) {
  SmallTmpfs small(tmp_.path(), "64k");
  if (!small.unavailable().empty()) GTEST_SKIP() << small.unavailable();
  ASSERT_EQ(FillUp(tmp_.path()), 0u);
  FreshDocuments(2);
  LocalPlatform platform;
  Configure(platform);
  ExpectOneFailure(RunOnce(), "");
  const auto first = platform.Exchanges();
  EXPECT_EQ(Count(first, &Exchange::IsToken), 1u);
  EXPECT_EQ(Count(first, &Exchange::IsUpload), 0u);
  EXPECT_FALSE(fs::exists(TokenPath())) << "no half-written token file";
  EXPECT_TRUE(db_.RegisterRows().empty());

  fs::remove(tmp_.path() + "filler");
  ExpectRecovery({}, first, 2);
}

TEST_F(FaultsTest, AFullDiskNeverSendsAHalfWrittenXmlFile) {
  // The executable's folder on a file system of its own, full but for a few blocks: room for the
  // log line, not for the document.
  SmallTmpfs small(run_.dir(), std::to_string(fs::file_size(BuiltExecutable()) / 1024 + 1024) + "k");
  if (!small.unavailable().empty()) GTEST_SKIP() << small.unavailable();
  fs::copy_file(BuiltExecutable(), run_.executable());
  FreshDocuments(0);
  const std::string xml = "<NFe>" + std::string(200 * 1024, 'a') + "</NFe>";
  db_.InsertNote({.sequencial = 1, .chave = KeyOf(1), .xml = xml, .data = today_, .modelo = "65"});
  LocalPlatform platform;
  Configure(platform);
  ASSERT_EQ(FillUp(run_.dir()), 0u);
  const std::string filler = run_.dir() + "filler";
  fs::resize_file(filler, fs::file_size(filler) - 32 * 1024);

  ExpectOneFailure(RunOnce(), FileOf(1));
  const auto first = platform.Exchanges();
  EXPECT_EQ(Count(first, &Exchange::IsUpload), 0u) << "a file cut short is not sent";
  EXPECT_TRUE(db_.RegisterRows().empty());

  fs::remove(filler);
  const auto after = ExpectRecovery({}, first, 1);
  for (const auto& e : after) {
    if (!e.Accepted()) continue;
    EXPECT_EQ(e.bytes, xml.size() + 2) << "the whole document and its CR LF";
  }
}

}  // namespace
}  // namespace quirada::testing
