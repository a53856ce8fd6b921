#pragma once

// A test CA and a server certificate for localhost and 127.0.0.1, in a
// folder of their own, and the options that give them to reposa-server.

#include <string>
#include <vector>

#include "TempDir.h"
#include "TestCertificates.h"

namespace reposa::test {

struct TlsServerFiles {
  explicit TlsServerFiles(const CertSpec& spec = {}) : pair(certs.Issue("server", spec)) {}
  // --tls-listen on a free loopback port, with this pair.
  std::vector<std::string> Options() const {
    return {"--tls-listen", "127.0.0.1:0", "--tls-cert", pair.cert, "--tls-key", pair.key};
  }
  std::string caFile() const { return certs.caFile(); }

  TempDir dir;
  TestCertificates certs{dir.path};
  Issued pair;
};

}  // namespace reposa::test
