// The trust store on Linux: the system's bundle and CAFile loaded together into one store, kept while
// neither file changes, and set on every TLS context in place of the context's own store.
#include "platform_client/trust_store.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <mutex>
#include <tuple>

#include "base/file_io.h"

namespace quirada {
namespace {

struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;

using FileStamp = std::tuple<bool, uint64_t, int64_t, uint64_t>;

FileStamp Stamp(const std::string& path) {
  const auto info = path.empty() ? std::nullopt : GetFileInfo(path);
  if (!info) return {false, 0, 0, 0};
  return {true, info->size, info->modified_ns, info->identity};
}

// The bundle libcurl was built to use ("/etc/ssl/certs/ca-certificates.crt" on Debian).
const std::string& SystemBundle() {
  static const std::string path = [] {
    std::string p;
    if (CURL* curl = curl_easy_init()) {
      char* info = nullptr;
      if (curl_easy_getinfo(curl, CURLINFO_CAINFO, &info) == CURLE_OK && info != nullptr) p = info;
      curl_easy_cleanup(curl);
    }
    return p;
  }();
  return path;
}

StorePtr Load(const std::string& system_bundle, const std::string& ca_file) {
  StorePtr store(X509_STORE_new());
  if (!store) CannotLoadTrustedCertificates(ca_file);
  if (!system_bundle.empty() && X509_STORE_load_file(store.get(), system_bundle.c_str()) != 1)
    CannotLoadTrustedCertificates(system_bundle);
  if (!ca_file.empty()) AddCaFileAuthorities(store.get(), ca_file);
  return store;
}

struct Entry {
  std::string ca_file;
  FileStamp system_stamp, file_stamp;
  StorePtr store;
};

std::mutex mutex;
Entry& Cache() {
  static auto* cache = new Entry();  // lives as long as the process
  return *cache;
}

}  // namespace

long TrustedAuthoritiesSslOptions() { return 0; }

void UseTrustedAuthorities(SSL_CTX* ctx, const std::string& ca_file) {
  const std::string& system_bundle = SystemBundle();
  const FileStamp system_stamp = Stamp(system_bundle), file_stamp = Stamp(ca_file);
  std::lock_guard<std::mutex> lock(mutex);
  Entry& entry = Cache();
  if (!entry.store || entry.ca_file != ca_file || entry.system_stamp != system_stamp ||
      entry.file_stamp != file_stamp) {
    // A store still attached to a TLS context lives on through the context's own reference.
    entry.store = Load(system_bundle, ca_file);
    entry.ca_file = ca_file;
    entry.system_stamp = system_stamp;
    entry.file_stamp = file_stamp;
  }
  SSL_CTX_set1_cert_store(ctx, entry.store.get());
}

}  // namespace quirada
