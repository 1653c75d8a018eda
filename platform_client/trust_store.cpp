// The part of the trust store every platform shares: CAFile read through base/file_io.h, parsed from
// memory and added to an OpenSSL store, and the failure messages.
#include "platform_client/trust_store.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <memory>

#include "base/errors.h"
#include "base/file_io.h"

namespace quirada {
namespace {

// Far above any bundle of authorities (the whole system bundle is about 200 KiB).
constexpr uint64_t kCaFileMaxBytes = 16 * 1024 * 1024;

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct InfoStackFree {
  void operator()(STACK_OF(X509_INFO)* s) const { sk_X509_INFO_pop_free(s, X509_INFO_free); }
};

}  // namespace

void CannotLoadTrustedCertificates(const std::string& file, const std::string& why) {
  ERR_clear_error();
  throw Exception("The trusted certificates of \"" + file + "\" could not be loaded" +
                  (why.empty() ? "" : ": " + why));
}

// Only a regular file of a sane size is read (a FIFO or a device named by mistake would never end).
void AddCaFileAuthorities(X509_STORE* store, const std::string& ca_file) {
  const auto info = GetFileInfo(ca_file);
  if (!info) CannotLoadTrustedCertificates(ca_file);
  if (!info->IsRegular()) CannotLoadTrustedCertificates(ca_file, "it is not a regular file");
  std::string pem;
  try {
    pem = ReadWholeFile(ca_file, kCaFileMaxBytes);
  } catch (const FileError& e) {
    CannotLoadTrustedCertificates(
        ca_file, e.error() == EFBIG ? "it is larger than " + std::to_string(kCaFileMaxBytes) + " bytes"
                                    : std::string(e.what()));
  }
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) CannotLoadTrustedCertificates(ca_file);
  std::unique_ptr<STACK_OF(X509_INFO), InfoStackFree> items(
      PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr));
  if (!items) CannotLoadTrustedCertificates(ca_file);
  int loaded = 0;
  for (int i = 0; i < sk_X509_INFO_num(items.get()); ++i) {
    const X509_INFO* item = sk_X509_INFO_value(items.get(), i);
    if (item->x509 != nullptr && X509_STORE_add_cert(store, item->x509) == 1) ++loaded;
    if (item->crl != nullptr && X509_STORE_add_crl(store, item->crl) == 1) ++loaded;
  }
  if (loaded == 0) CannotLoadTrustedCertificates(ca_file);
  ERR_clear_error();  // an authority given twice leaves a harmless error behind
}

}  // namespace quirada
