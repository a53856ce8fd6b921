#pragma once

// The server's TLS: its settings, and the certificate and key it presents,
// read from files and read again on request. Each accepted socket is
// wrapped with the pair current at its accept, so a reload changes what new
// connections see and never touches a session under way.
//
// TLS 1.2 and 1.3 only, with the library's secure defaults otherwise; no
// renegotiation; resumption by session tickets, which the server keeps no
// state for (the ticket keys live as long as the process and survive a
// reload), so resumption costs no memory per client.

#include <openssl/types.h>

#include <memory>
#include <string>

#include "net/stream.h"

namespace reposa::server {

class TlsContext {
 public:
  // Throws std::runtime_error naming the file and what is wrong with it.
  TlsContext(std::string certFile, std::string keyFile);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // Reads both files again. On a failure the pair in use stays and the
  // exception says why.
  void Reload();
  // A stream over the accepted socket `fd`, which it owns from now on.
  std::unique_ptr<Stream> Wrap(int fd) const;

  const std::string& certFile() const { return certFile_; }
  const std::string& keyFile() const { return keyFile_; }

 private:
  std::string certFile_;
  std::string keyFile_;
  SSL_CTX* ctx_ = nullptr;
};

}  // namespace reposa::server
