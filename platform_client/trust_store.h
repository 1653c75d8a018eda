// The certificate authorities that HTTPS requests trust: the system's (on Linux the bundle libcurl
// was built to use, on Windows the system's certificate store) plus an optional PEM file of extra
// authorities (CAFile).
//
// Linux (trust_store_posix.cpp): loading the system's bundle costs more than a whole TLS handshake,
// so the combination in use is loaded once and shared by the requests that follow, for as long as
// neither file changes (size, modification time and file identity are compared on every use) and
// CAFile names the same file. Only the last combination is kept: a service whose CAFile is changed
// does not keep every earlier store (each holds the whole system bundle) for the rest of its life.
//
// Windows (trust_store_win32.cpp): libcurl puts the authorities of the system's certificate store
// (CURLSSLOPT_NATIVE_CA) in the TLS context's own store, and CAFile's authorities are added to that
// same store; the context's store is never replaced, so neither set pushes the other out.
//
// Thread-safe.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

namespace quirada {

// The value for CURLOPT_SSL_OPTIONS that makes libcurl load what this platform needs: 0 on Linux,
// CURLSSLOPT_NATIVE_CA on Windows.
long TrustedAuthoritiesSslOptions();

// Makes `ctx` trust the system's authorities and those of `ca_file` (none when empty); called from
// libcurl's CURLOPT_SSL_CTX_FUNCTION for every connection. Raises Exception "The trusted
// certificates of "<file>" could not be loaded" when a file does not load, followed by ": it is not
// a regular file" or ": it is larger than 16777216 bytes" when CAFile names a FIFO, a device or a
// folder, or a file over 16 MiB.
void UseTrustedAuthorities(SSL_CTX* ctx, const std::string& ca_file);

// For trust_store_posix.cpp and trust_store_win32.cpp, the rules both share.

// Adds the certificates and revocation lists of the PEM file `ca_file` to `store`, with the checks
// and messages above: only a regular file of at most 16 MiB is read, through base/file_io.h, and a
// file that yields nothing is a failure.
void AddCaFileAuthorities(X509_STORE* store, const std::string& ca_file);

// Raises the failure above for `file`, with `why` after a colon when it is not empty.
[[noreturn]] void CannotLoadTrustedCertificates(const std::string& file, const std::string& why = "");

}  // namespace quirada
