#include "platform_client/trust_store.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <tuple>

#include "base/errors.h"
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

// Far above any bundle of authorities (the whole system bundle is about 200 KiB).
constexpr uint64_t kCaFileMaxBytes = 16 * 1024 * 1024;

[[noreturn]] void CannotLoad(const std::string& file, const std::string& why = "") {
  ERR_clear_error();
  throw Exception("The trusted certificates of \"" + file + "\" could not be loaded" +
                  (why.empty() ? "" : ": " + why));
}

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct InfoStackFree {
  void operator()(STACK_OF(X509_INFO)* s) const { sk_X509_INFO_pop_free(s, X509_INFO_free); }
};

// Adds the certificates and revocation lists of the PEM file `ca_file` to `store`. Only a regular
// file of a sane size is read (a FIFO or a device named by mistake would never end).
void LoadCaFile(X509_STORE* store, const std::string& ca_file) {
  const auto info = GetFileInfo(ca_file);
  if (!info) CannotLoad(ca_file);
  if (!info->IsRegular()) CannotLoad(ca_file, "it is not a regular file");
  std::string pem;
  try {
    pem = ReadWholeFile(ca_file, kCaFileMaxBytes);
  } catch (const FileError& e) {
    CannotLoad(ca_file, e.error() == EFBIG
                            ? "it is larger than " + std::to_string(kCaFileMaxBytes) + " bytes"
                            : std::string(e.what()));
  }
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) CannotLoad(ca_file);
  std::unique_ptr<STACK_OF(X509_INFO), InfoStackFree> items(
      PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr));
  if (!items) CannotLoad(ca_file);
  int loaded = 0;
  for (int i = 0; i < sk_X509_INFO_num(items.get()); ++i) {
    const X509_INFO* item = sk_X509_INFO_value(items.get(), i);
    if (item->x509 != nullptr && X509_STORE_add_cert(store, item->x509) == 1) ++loaded;
    if (item->crl != nullptr && X509_STORE_add_crl(store, item->crl) == 1) ++loaded;
  }
  if (loaded == 0) CannotLoad(ca_file);
  ERR_clear_error();  // an authority given twice leaves a harmless error behind
}

StorePtr Load(const std::string& system_bundle, const std::string& ca_file) {
  StorePtr store(X509_STORE_new());
  if (!store) CannotLoad(ca_file);
  if (!system_bundle.empty() && X509_STORE_load_file(store.get(), system_bundle.c_str()) != 1)
    CannotLoad(system_bundle);
  if (!ca_file.empty()) LoadCaFile(store.get(), ca_file);
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
