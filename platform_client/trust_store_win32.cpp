// The trust store on Windows: libcurl loads the authorities of the system's certificate store
// (CURLSSLOPT_NATIVE_CA) into each TLS context's own store, and CAFile's authorities are added to
// that same store.
//
// When libcurl fills the context's store depends on its version: the 7.88 of the Windows build calls
// the CURLOPT_SSL_CTX_FUNCTION callback first and loads the system's authorities into whatever store
// the context then holds once the ClientHello is out; from 8.3 on, libcurl loads them before it
// calls the callback. Adding to the store the context holds gives the union either way. Replacing it
// would lose the system's authorities with a newer libcurl, and with 7.88 would have libcurl write
// them, for every connection, into a store shared by all requests.
//
// CAFile is read again for each connection: it is small, and the system's store is read again by
// libcurl for each connection anyway.
#include "platform_client/trust_store.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace quirada {

long TrustedAuthoritiesSslOptions() { return CURLSSLOPT_NATIVE_CA; }

void UseTrustedAuthorities(SSL_CTX* ctx, const std::string& ca_file) {
  if (ca_file.empty()) return;
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  if (store == nullptr) CannotLoadTrustedCertificates(ca_file);
  AddCaFileAuthorities(store, ca_file);
}

}  // namespace quirada
