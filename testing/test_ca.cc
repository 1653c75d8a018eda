#include "testing/test_ca.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace quirada::testing {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
struct ExtFree {
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
struct BnFree {
  void operator()(BIGNUM* p) const { BN_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test CA: ") + what);
}

Pkey NewKey() {
  Pkey key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "key generation");
  return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, ExtFree> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
  Check(ext != nullptr && X509_add_ext(cert, ext.get(), -1) == 1, "extension");
}

Cert NewCertificate(const std::string& common_name, EVP_PKEY* key) {
  Cert cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  Check(RAND_bytes(serial, sizeof serial) == 1, "serial");
  serial[0] &= 0x7F;
  std::unique_ptr<BIGNUM, BnFree> bn(BN_bin2bn(serial, sizeof serial, nullptr));
  Check(bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())) != nullptr, "serial");
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Quirada test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1, 0);
  Check(X509_set_pubkey(cert.get(), key) == 1, "public key");
  return cert;
}

std::string Pem(X509* cert) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  Check(PEM_write_bio_X509(bio.get(), cert) == 1, "PEM");
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string Pem(EVP_PKEY* key) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  Check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "PEM");
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

}  // namespace

struct TestCertificateAuthority::Impl {
  Pkey key;
  Cert cert;
};

TestCertificateAuthority::TestCertificateAuthority(const std::string& common_name)
    : impl_(new Impl) {
  try {
    impl_->key = NewKey();
    impl_->cert = NewCertificate(common_name, impl_->key.get());
    X509* c = impl_->cert.get();
    Check(X509_set_issuer_name(c, X509_get_subject_name(c)) == 1, "issuer");
    AddExtension(c, c, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(c, c, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(c, c, NID_subject_key_identifier, "hash");
    Check(X509_sign(c, impl_->key.get(), EVP_sha256()) > 0, "signing");
  } catch (...) {
    delete impl_;
    throw;
  }
}

TestCertificateAuthority::~TestCertificateAuthority() { delete impl_; }

TlsIdentity TestCertificateAuthority::IssueServerIdentity(
    const std::vector<std::string>& dns_names, const std::vector<std::string>& ip_addresses) const {
  Pkey key = NewKey();
  const std::string cn = dns_names.empty() ? (ip_addresses.empty() ? "server" : ip_addresses[0])
                                           : dns_names[0];
  Cert cert = NewCertificate(cn, key.get());
  X509* c = cert.get();
  X509* ca = impl_->cert.get();
  Check(X509_set_issuer_name(c, X509_get_subject_name(ca)) == 1, "issuer");
  std::string san;
  for (const auto& d : dns_names) san += (san.empty() ? "DNS:" : ",DNS:") + d;
  for (const auto& ip : ip_addresses) san += (san.empty() ? "IP:" : ",IP:") + ip;
  if (!san.empty()) AddExtension(c, ca, NID_subject_alt_name, san);
  AddExtension(c, ca, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(c, ca, NID_key_usage, "critical,digitalSignature");
  AddExtension(c, ca, NID_ext_key_usage, "serverAuth");
  AddExtension(c, ca, NID_authority_key_identifier, "keyid:always");
  Check(X509_sign(c, impl_->key.get(), EVP_sha256()) > 0, "signing");
  return TlsIdentity{Pem(c) + Pem(ca), Pem(key.get())};
}

std::string TestCertificateAuthority::CertificatePem() const { return Pem(impl_->cert.get()); }

}  // namespace quirada::testing
