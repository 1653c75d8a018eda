// The real executable, run as a user runs it: copied into a folder of its own (where it finds its
// INI file and writes its log and XML files) and started as a child process.
//
// RunFolder copies the built QuiradaContabil into a new temporary folder, removed with its content
// when the object goes away. The folder, the executable and the files tests write there are not
// writable by group or others (the umask of the test process gets 022), as the program requires.
// Run starts it with the given switches, waits for it and returns its exit status and what it
// printed; Start leaves it running (Process) for signals and waiting.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "testing/test_files.h"

namespace quirada::testing {

struct ProcessResult {
  int exit_status = -1;  // the exit code, or 128 + the signal that ended it
  long max_rss_kb = 0;   // the process's peak resident set size
  double cpu_seconds = 0;  // user and system time the process used
  std::string out;
  std::string err;
};

class Process {
 public:
  Process(pid_t pid, std::string out_path, std::string err_path);
  ~Process();  // kills the process when it is still running
  Process(Process&&) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void Signal(int signo) const;
  // Waits at most `limit` for the process to end; returns false when it is still running.
  bool WaitFor(std::chrono::milliseconds limit);
  const ProcessResult& result() const { return result_; }
  // What it has printed so far.
  std::string Out() const;
  std::string Err() const;

 private:
  pid_t pid_ = -1;
  std::string out_path_, err_path_;
  ProcessResult result_;
};

class RunFolder {
 public:
  RunFolder();
  ~RunFolder();
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;

  const std::string& dir() const { return dir_; }  // ends with '/'
  std::string executable() const { return dir_ + "QuiradaContabil"; }
  std::string log_path() const { return dir_ + "QuiradaContabil.log"; }

  // The service log's lines (without CR LF); none when there is no log.
  std::vector<std::string> LogLines() const;
  // Its entries: each line with the continuation lines after it (those that start with two
  // blanks: a message's own line breaks), joined by "\n".
  std::vector<std::string> LogEntries() const;
  // Appends raw text to the INI file beside the executable.
  void AppendIni(const std::string& text) const;

  ProcessResult Run(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = {},
                    std::chrono::milliseconds limit = std::chrono::seconds(120)) const;
  Process Start(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& env = {}) const;

 private:
  std::string dir_;
};

// A new folder to install the program from and run its instances in, as an administrator keeps
// one: under /srv (or /opt when /srv is not there), outside the build tree and outside every folder
// the unit's sandbox hides (/tmp, /var/tmp, /home, /root, /run/user), where "/INSTALL" would
// rightly refuse it: the tests pass from a clone in any of those. Root's, mode 0755, so trusted
// whatever the runner's umask; removed with its content when the object goes. `usable()` is false
// (with `why()`) when this process may not make one there (not root).
class InstallFolder {
 public:
  InstallFolder();
  ~InstallFolder();
  InstallFolder(const InstallFolder&) = delete;
  InstallFolder& operator=(const InstallFolder&) = delete;

  bool usable() const { return !path_.empty(); }
  const std::string& why() const { return why_; }
  const std::string& path() const { return path_; }  // ends with '/'

 private:
  std::string path_;
  std::string why_;
};

// Starts `program` with `args`, its output going to files beside `output_stem` (".out", ".err"),
// with the environment given added to the test's and no signal blocked.
Process StartProcess(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env, const std::string& output_stem);

// Where the service keeps its token file when its TMPDIR is `tmpdir` (ending with '/'): the user's
// private folder "quirada-<uid>/" in it, which is created (mode 0700) when missing, as the service
// would.
std::string ServiceTokenFile(const std::string& tmpdir);

// The built executables (set at compile time).
std::string BuiltExecutable();
std::string BuiltLocalPlatform();

}  // namespace quirada::testing
