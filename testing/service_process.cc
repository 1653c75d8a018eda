#include "testing/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quirada::testing {

namespace fs = std::filesystem;

std::string BuiltExecutable() { return QUIRADA_EXECUTABLE; }

std::string ServiceTokenFile(const std::string& tmpdir) {
  const std::string folder = tmpdir + "quirada-" + std::to_string(::geteuid());
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot create " + folder);
  return folder + "/token.dm";
}
std::string BuiltLocalPlatform() { return QUIRADA_LOCAL_PLATFORM; }

Process::Process(pid_t pid, std::string out_path, std::string err_path)
    : pid_(pid), out_path_(std::move(out_path)), err_path_(std::move(err_path)) {}

Process::Process(Process&& other) noexcept
    : pid_(other.pid_),
      out_path_(std::move(other.out_path_)),
      err_path_(std::move(other.err_path_)),
      result_(std::move(other.result_)) {
  other.pid_ = -1;
}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void Process::Signal(int signo) const {
  if (pid_ > 0) ::kill(pid_, signo);
}

bool Process::WaitFor(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    rusage usage{};
    const pid_t r = ::wait4(pid_, &status, WNOHANG, &usage);
    if (r == pid_) {
      result_.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      result_.max_rss_kb = usage.ru_maxrss;
      result_.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                            (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
      result_.out = Out();
      result_.err = Err();
      pid_ = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string Process::Out() const { return ReadFileBytes(out_path_); }
std::string Process::Err() const { return ReadFileBytes(err_path_); }

RunFolder::RunFolder() {
  // The program works only in a folder no one but root and its user may change, files included:
  // whatever the runner's umask, the folder (0700 from mkdtemp), the executable and every file the
  // tests write there are not writable by group or others.
  const mode_t before = ::umask(022);
  ::umask(before | 022);
  std::string tmpl = (fs::temp_directory_path() / "quirada-run-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl + "/";
  fs::copy_file(BuiltExecutable(), executable());
  fs::permissions(executable(), fs::perms(0755));
}

InstallFolder::InstallFolder() {
  for (const char* parent : {"/srv", "/opt"}) {
    struct stat st {};
    if (::stat(parent, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    std::string tmpl = std::string(parent) + "/quirada-test-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      why_ = "não foi possível criar uma pasta em " + std::string(parent) + ": " + std::strerror(errno);
      continue;
    }
    ::chmod(tmpl.c_str(), 0755);
    path_ = tmpl + "/";
    return;
  }
  if (why_.empty()) why_ = "nem /srv nem /opt existem";
}

InstallFolder::~InstallFolder() {
  if (path_.empty()) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

RunFolder::~RunFolder() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::vector<std::string> RunFolder::LogLines() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFileBytes(log_path()));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> RunFolder::LogEntries() const {
  std::vector<std::string> entries;
  for (const auto& line : LogLines()) {
    if (line.rfind("  ", 0) == 0 && !entries.empty())
      entries.back() += "\n" + line;
    else
      entries.push_back(line);
  }
  return entries;
}

void RunFolder::AppendIni(const std::string& text) const {
  std::ofstream(dir_ + "Morvant.ini", std::ios::binary | std::ios::app) << text;
}

Process StartProcess(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env, const std::string& output_stem) {
  const std::string out_path = output_stem + ".out", err_path = output_stem + ".err";
  std::vector<std::string> argv_storage{program};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) std::_Exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    // The parent's blocked signals (the test runner's) must not leak into the child.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> argv;
    for (auto& a : argv_storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    std::_Exit(127);
  }
  return Process(pid, out_path, err_path);
}

Process RunFolder::Start(const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env) const {
  static int counter = 0;
  return StartProcess(executable(), args, env, dir_ + ".proc" + std::to_string(++counter));
}

ProcessResult RunFolder::Run(const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env,
                             std::chrono::milliseconds limit) const {
  Process p = Start(args, env);
  if (!p.WaitFor(limit)) throw std::runtime_error("the service did not end in time");
  return p.result();
}

}  // namespace quirada::testing
