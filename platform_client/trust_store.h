// The certificate authorities that HTTPS requests trust: the system's bundle (the one libcurl was
// built to use) plus an optional PEM file of extra authorities (CAFile).
//
// Loading the system's bundle costs more than a whole TLS handshake, so the combination in use is
// loaded once and shared by the requests that follow, for as long as neither file changes (size,
// modification time and inode are compared on every use) and CAFile names the same file. Only the
// last combination is kept: a service whose CAFile is changed does not keep every earlier store
// (each holds the whole system bundle) for the rest of its life. Thread-safe.
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace quirada {

// Makes `ctx` trust the system's authorities and those of `ca_file` (none when empty). Raises
// Exception "The trusted certificates of "<file>" could not be loaded" when a file does not load,
// followed by ": it is not a regular file" or ": it is larger than 16777216 bytes" when CAFile
// names a FIFO, a device or a folder, or a file over 16 MiB.
void UseTrustedAuthorities(SSL_CTX* ctx, const std::string& ca_file);

}  // namespace quirada
