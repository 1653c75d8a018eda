// quirada-local-platform: the accounting platform and its authorization server, played on one
// HTTPS port of 127.0.0.1 for the demo and the end-to-end tests, until SIGTERM or SIGINT.
//
// Usage: quirada-local-platform --dir DIR [--port N] [--rule RULE]... [--token-lifetime SECONDS]
//                               [--kill-pid-file FILE]
//
//   --dir DIR                 required; created when missing. The program writes there:
//                               DIR/ca.pem         the certificate of a CA made at start, which
//                                                  issued the server's certificate (for "localhost"
//                                                  and 127.0.0.1); give it to clients as CAFile
//                               DIR/port           the port and a newline, once listening (written
//                                                  to a temporary file and renamed; removed at exit)
//                               DIR/journal.jsonl  one JSON object per line for every request it
//                                                  answered or dropped, appended: time, method,
//                                                  path, status (0 when not answered), fault (when a
//                                                  rule changed the answer), for uploads file,
//                                                  bytes, sha256, batch and code, for status queries
//                                                  batch and code
//   --port N                  the port to listen on; 0 (the default) lets the system choose
//   --rule RULE               make chosen documents fail or answer other codes; repeatable; forms
//                             in --help (e.g. upload:35251112345678000190550010000000011000000019=400,
//                             upload:*=code:S2, status:123=EA0, upload:456=drop)
//   --token-lifetime SECONDS  "expires_in" of the tokens issued, and how long they are honoured
//                             (default 86400)
//   --keep-uploads            keep every uploaded file's bytes as DIR/uploads/<sha256>
//   --kill-pid-file FILE      where the kill rules ("upload:<doc>=kill", "status:<doc>=killafter",
//                             "token:*=kill", ...) read the PID of the process they end, at the
//                             moment the rule matches; required when such a rule is given
//
// Standard output gets one line per request ("<method> <path> <status>"), flushed at once; it
// never holds a token or the client secret. Exit status 0 after SIGTERM or SIGINT, 2 for a bad
// command line, 1 when the platform cannot start.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "testing/https_server_core.h"
#include "testing/test_ca.h"
#include "base/errors.h"
#include "tools/platform_endpoints.h"
#include "tools/platform_rules.h"

namespace quirada::local_platform {
namespace {

namespace fs = std::filesystem;

struct CommandLine {
  std::string dir;
  int port = 0;
  int token_lifetime_seconds = 86400;
  std::vector<Rule> rules;
  std::string kill_pid_file;
  int answer_delay_ms = 0;
  bool keep_uploads = false;
  bool help = false;
};

std::string Usage() {
  return "Usage: quirada-local-platform --dir DIR [--port N] [--rule RULE]... [--token-lifetime SECONDS]\n"
         "                             [--kill-pid-file FILE] [--answer-delay-ms N] [--keep-uploads]\n"
         "\n"
         "Plays the accounting platform and its authorization server on one HTTPS port of 127.0.0.1\n"
         "until SIGTERM or SIGINT.\n"
         "\n"
         "  --dir DIR                 where ca.pem, port and journal.jsonl are written (required)\n"
         "  --port N                  port to listen on (default 0: any free port)\n"
         "  --rule RULE               make chosen documents fail or answer other codes (repeatable)\n"
         "  --token-lifetime SECONDS  lifetime of the tokens issued (default 86400)\n"
         "  --kill-pid-file FILE      the PID the kill rules end, read when a rule matches\n"
         "  --answer-delay-ms N       wait N ms before each answer: a slow platform (default 0)\n"
         "  --keep-uploads            keep every uploaded file as DIR/uploads/<sha256>\n"
         "  --help                    this text\n"
         "\n"
         "Rules:\n" +
         RuleFormsHelp() +
         "\n"
         "Endpoints: POST /oauth/token, POST /quirada/invoice/v3/batches,\n"
         "GET /quirada/invoice/v3/batches/<id>, POST /quirada/integration/v1/activation/enable,\n"
         "GET /quirada/integration/v1/activation/info.\n";
}

int ParseNumber(const std::string& option, const std::string& text, int max) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    throw Exception(option + " wants a number, not \"" + text + "\"");
  const int value = std::stoi(text);
  if (value > max) throw Exception(option + " must be at most " + std::to_string(max));
  return value;
}

CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      line.help = true;
      continue;
    }
    if (arg == "--keep-uploads") {
      line.keep_uploads = true;
      continue;
    }
    std::string value;
    const size_t equals = arg.find('=');
    if (arg.starts_with("--") && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
    } else if (arg == "--dir" || arg == "--port" || arg == "--rule" || arg == "--token-lifetime" ||
               arg == "--kill-pid-file" || arg == "--answer-delay-ms") {
      if (i + 1 == argc) throw Exception(arg + " wants a value");
      value = argv[++i];
    }
    if (arg == "--dir") {
      if (value.empty()) throw Exception("--dir wants a folder");
      line.dir = value;
    } else if (arg == "--port") {
      line.port = ParseNumber(arg, value, 65535);
    } else if (arg == "--rule") {
      line.rules.push_back(ParseRule(value));
    } else if (arg == "--token-lifetime") {
      line.token_lifetime_seconds = ParseNumber(arg, value, 100000000);
    } else if (arg == "--answer-delay-ms") {
      line.answer_delay_ms = ParseNumber(arg, value, 600000);
    } else if (arg == "--kill-pid-file") {
      if (value.empty()) throw Exception("--kill-pid-file wants a file");
      line.kill_pid_file = value;
    } else {
      throw Exception("unknown argument \"" + std::string(argv[i]) + "\"");
    }
  }
  if (!line.help && line.dir.empty()) throw Exception("--dir is required");
  if (line.kill_pid_file.empty())
    for (const Rule& rule : line.rules)
      if (KillsClient(rule.reaction)) throw Exception("a kill rule needs --kill-pid-file");
  return line;
}

// Writes `path` whole or not at all: a temporary file beside it, then a rename.
void WriteFileAtomically(const fs::path& path, const std::string& content) {
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) throw Exception("cannot write " + temporary.string());
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) throw Exception("cannot rename " + temporary.string() + " to " + path.string() + ": " + ec.message());
}

int Run(const CommandLine& line) {
  // The stop signals are taken by sigwait below; every thread started later inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // A client that hangs up while it is answered must not end the platform.
  std::signal(SIGPIPE, SIG_IGN);

  const fs::path dir = line.dir;
  fs::create_directories(dir);
  const fs::path port_file = dir / "port";
  fs::remove(port_file);

  const testing::TestCertificateAuthority ca("Quirada Local Platform CA");
  WriteFileAtomically(dir / "ca.pem", ca.CertificatePem());
  const testing::TlsIdentity identity = ca.IssueServerIdentity({"localhost"}, {"127.0.0.1"});

  PlatformSettings settings;
  settings.journal_path = (dir / "journal.jsonl").string();
  settings.rules = line.rules;
  settings.token_lifetime_seconds = line.token_lifetime_seconds;
  settings.kill_pid_file = line.kill_pid_file;
  settings.answer_delay = std::chrono::milliseconds(line.answer_delay_ms);
  if (line.keep_uploads) {
    settings.uploads_dir = (dir / "uploads").string() + "/";
    fs::create_directories(settings.uploads_dir);
  }
  PlatformEndpoints endpoints(std::move(settings));

  testing::HttpsServerCore::Options options;
  options.port = line.port;
  // The platform answers from its handler and journal; the core need not keep every request.
  options.record_requests = false;
  testing::HttpsServerCore server(
      identity, [&endpoints](const testing::CapturedRequest& request) { return endpoints.Handle(request); },
      options);
  WriteFileAtomically(port_file, std::to_string(server.port()) + "\n");
  std::printf("listening on https://localhost:%d (CA %s)\n", server.port(), (dir / "ca.pem").c_str());
  std::fflush(stdout);

  int signo = 0;
  while (sigwait(&stop_signals, &signo) != 0) {
  }
  server.Stop();
  fs::remove(port_file);
  std::printf("stopped by %s\n", signo == SIGINT ? "SIGINT" : "SIGTERM");
  std::fflush(stdout);
  return 0;
}

}  // namespace
}  // namespace quirada::local_platform

int main(int argc, char** argv) {
  using namespace quirada::local_platform;
  CommandLine line;
  try {
    line = ParseCommandLine(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "quirada-local-platform: " << e.what() << "\nTry --help.\n";
    return 2;
  }
  if (line.help) {
    std::cout << Usage();
    return 0;
  }
  try {
    return Run(line);
  } catch (const std::exception& e) {
    std::cerr << "quirada-local-platform: " << e.what() << "\n";
    return 1;
  }
}
