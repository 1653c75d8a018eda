// Uploads a 5 MB XML file to the in-process HTTPS test server and prints how much the process's
// peak resident memory grew meanwhile. The upload streams the file from disk, so the growth stays
// far below the file's size (about 128 KiB in an ordinary build). Under AddressSanitizer the
// figure includes the sanitizer's own bookkeeping (a megabyte or two); its quarantine of freed
// memory, which would count every byte ever allocated, is switched off below.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform_client/Quirada.h"
#include "testing/https_test_server.h"
#include "base/datetime.h"

namespace {

namespace fs = std::filesystem;

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void WriteXml(const fs::path& path, size_t size) {
  std::ofstream out(path, std::ios::binary);
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><nfeProc>";
  const std::string tail = "</nfeProc>";
  const std::string item = "<det nItem=\"1\"><prod><xProd>PRODUTO DE TESTE</xProd></prod></det>\n";
  out << head;
  size_t written = head.size();
  while (written + item.size() + tail.size() <= size) {
    out << item;
    written += item.size();
  }
  out << std::string(size - written - tail.size(), ' ') << tail;
}

}  // namespace

// Read by AddressSanitizer at start-up when the program is built with it; unused otherwise.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=0"; }

int main() {
  using namespace quirada;
  const fs::path dir = fs::temp_directory_path() / ("quirada-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  constexpr size_t kFileSize = 5 * 1024 * 1024;
  WriteXml(dir / "small.xml", 2000);
  WriteXml(dir / "35251234567890.xml", kFileSize);
  const TDateTime expiry = IncMinute(Now(), 60);
  std::ofstream(dir / "token.dm", std::ios::binary)
      << "access_token=BENCH\r\ndata=" << DateToStr(Date()) << "\r\nhora=" << TimeToStr(expiry)
      << "\r\nExpiraData=" << DateTimeToStr(expiry) << "\r\n";

  testing::TestHttpsServer::Options options;
  options.core.keep_bodies = false;  // the server counts the bytes without keeping them
  testing::TestHttpsServer server(options);
  TDTQuirada q;
  q.SetApiUrl(server.Url());
  q.SetAuthUrl(server.Url());
  q.SetCAFile(server.CaFile());
  q.setCaminhoArquivoToken(dir.string() + "/");

  int status = 0;
  try {
    // A first small upload sets up TLS, libcurl and the allocator, so that they do not count.
    const char* created = R"({"status":{"code":"S1","message":"ok"},"id":"1"})";
    server.RespondJson("HTTP/1.1 201 Created", created);
    q.EnviaXML((dir / "small.xml").string());

    const long before = PeakRssKiB();
    server.RespondJson("HTTP/1.1 201 Created", created);
    q.EnviaXML((dir / "35251234567890.xml").string());
    const long after = PeakRssKiB();

    const uint64_t received = server.Requests().back().body_size;
    std::printf("file: %zu KiB; request body received by the server: %llu KiB\n", kFileSize / 1024,
                static_cast<unsigned long long>(received / 1024));
    std::printf("peak RSS before the upload: %ld KiB, after: %ld KiB, growth: %ld KiB (%.1f%% of the file)\n",
                before, after, after - before, 100.0 * (after - before) / (kFileSize / 1024.0));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "upload failed: %s\n", e.what());
    status = 1;
  }
  fs::remove_all(dir);
  return status;
}
