#include "testing/local_platform.h"

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <rapidjson/document.h>

#include "platform_client/wire.h"

namespace quirada::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

LocalPlatform::LocalPlatform(const std::vector<std::string>& rules,
                             const std::vector<std::string>& extra_args) {
  std::string tmpl = (fs::temp_directory_path() / "quirada-platform-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl + "/";
  std::vector<std::string> args{"--dir", dir_};
  for (const auto& r : rules) {
    args.push_back("--rule");
    args.push_back(r);
  }
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  process_ = std::make_unique<Process>(StartProcess(BuiltLocalPlatform(), args, {}, dir_ + "platform"));
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string port = ReadFileBytes(dir_ + "port");
    if (!port.empty() && port.back() == '\n') {
      port_ = std::stoi(port);
      return;
    }
    if (process_->WaitFor(0ms))
      throw std::runtime_error("the local platform ended: " + process_->result().err);
    std::this_thread::sleep_for(20ms);
  }
  throw std::runtime_error("the local platform did not start listening");
}

std::string LocalPlatform::UploadedBytes(const JournalEntry& upload) const {
  const auto sha = upload.find("sha256");
  if (sha == upload.end()) throw std::runtime_error("the journal entry names no uploaded file");
  return ReadFileBytes(dir_ + "uploads/" + sha->second);
}

void LocalPlatform::Stop() {
  if (!process_) return;
  process_->Signal(SIGTERM);
  if (!process_->WaitFor(30s)) throw std::runtime_error("the local platform did not stop");
  process_.reset();
}

LocalPlatform::~LocalPlatform() {
  if (process_) {
    process_->Signal(SIGTERM);
    process_->WaitFor(10s);
    process_.reset();
  }
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::string LocalPlatform::IniSection() const {
  return "[Quirada]\r\nApiUrl=" + Url() + "\r\nAuthUrl=" + Url() + "\r\nCAFile=" + CaFile() + "\r\n";
}

std::vector<std::string> LocalPlatform::Journal() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFileBytes(dir_ + "journal.jsonl"));
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(line);
  return lines;
}

std::vector<std::string> LocalPlatform::JournalWith(const std::string& needle) const {
  std::vector<std::string> out;
  for (auto& line : Journal())
    if (line.find(needle) != std::string::npos) out.push_back(line);
  return out;
}

std::vector<JournalEntry> LocalPlatform::Entries() const {
  std::vector<JournalEntry> entries;
  for (const auto& line : Journal()) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseNumbersAsStringsFlag>(line.c_str());
    if (!doc.IsObject()) throw std::runtime_error("journal line is not JSON: " + line);
    JournalEntry e;
    for (auto& m : doc.GetObject())
      if (m.value.IsString()) e[m.name.GetString()] = m.value.GetString();
    entries.push_back(std::move(e));
  }
  return entries;
}

std::vector<JournalEntry> LocalPlatform::Uploads() const {
  std::vector<JournalEntry> out;
  for (auto& e : Entries())
    if (e["method"] == "POST" && e["path"] == kBatchesPath) out.push_back(e);
  return out;
}

std::vector<JournalEntry> LocalPlatform::StatusQueries() const {
  std::vector<JournalEntry> out;
  for (auto& e : Entries())
    if (e["method"] == "GET" && e["path"].rfind(kBatchStatusPath, 0) == 0)
      out.push_back(e);
  return out;
}

bool Exchange::IsUpload() const { return method == "POST" && path == kBatchesPath; }
bool Exchange::IsStatus() const { return method == "GET" && path.rfind(kBatchStatusPath, 0) == 0; }
bool Exchange::IsToken() const { return method == "POST" && path == kTokenPath; }

std::vector<Exchange> LocalPlatform::Exchanges() const {
  std::vector<Exchange> out;
  for (JournalEntry& e : Entries()) {
    Exchange x{e["method"], e["path"], e["fault"], e["file"], e["batch"], e["code"], e["sha256"]};
    x.status = e["status"].empty() ? 0 : std::stoi(e["status"]);
    x.bytes = e["bytes"].empty() ? 0 : std::stoull(e["bytes"]);
    out.push_back(std::move(x));
  }
  return out;
}

}  // namespace quirada::testing
