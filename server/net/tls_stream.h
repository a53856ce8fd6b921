#pragma once

// One connection over TLS on the server's side. The library reads the
// client's records straight from the socket and writes its own into the
// connection's output buffer, so sealed bytes take the same batched send
// path, and count against the same limits, as plain ones. Only the
// library's state stays with an idle session: its record buffers are given
// back while nothing is in them.

#include <openssl/types.h>

#include <string>
#include <string_view>

#include "net/stream.h"

namespace reposa::server {

class TlsStream final : public Stream {
 public:
  // Takes `fd`, and accepts a TLS handshake on it with `ctx`'s settings,
  // certificate and key.
  TlsStream(int fd, SSL_CTX* ctx);
  ~TlsStream() override;
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  int fd() const override { return fd_; }
  ssize_t Read(char* buffer, std::size_t size, std::string& wire) override;
  void Seal(std::string_view bytes, std::string& wire) override;
  bool SealsOnce() const override { return true; }
  // A close_notify if the socket takes it at once, then the half-close.
  void CloseWrite() override;
  std::string_view Failure() const override { return failure_; }

  // Where the library's writes go: the buffer given to the call under way.
  std::string& sink() { return sink_ ? *sink_ : stray_; }
  // The library's read: up to `size` bytes of what this turn's recv() brought.
  int Take(BIO* bio, char* data, std::size_t size, std::size_t* read);

 private:
  class Sinking;
  void Failed();

  int fd_;
  SSL* ssl_ = nullptr;
  std::string* sink_ = nullptr;
  std::string stray_;      // written outside a call; goes with the next one
  std::string held_;       // sealed before the handshake was done
  std::string_view feed_;  // what this turn read, not yet taken by the library
  bool ended_ = false;     // the client has closed its side
  std::string failure_;
};

}  // namespace reposa::server
