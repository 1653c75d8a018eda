// Certificate authorities made at run time for tests: a self-signed CA (EC P-256, SHA-256) that
// issues server certificates valid from one hour ago to one day ahead.
#pragma once

#include <string>
#include <vector>

#include "testing/https_server_core.h"

namespace quirada::testing {

class TestCertificateAuthority {
 public:
  explicit TestCertificateAuthority(const std::string& common_name);
  ~TestCertificateAuthority();
  TestCertificateAuthority(const TestCertificateAuthority&) = delete;
  TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

  // A server certificate (chain: leaf, then this CA) with the given DNS names and IP addresses as
  // subject alternative names, and its key.
  TlsIdentity IssueServerIdentity(const std::vector<std::string>& dns_names,
                                  const std::vector<std::string>& ip_addresses) const;

  // This CA's certificate, PEM.
  std::string CertificatePem() const;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace quirada::testing
