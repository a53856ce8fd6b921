#pragma once

#include <string>

#include "kez/posix/PosixSocket.h"

namespace kez::posix {

// The posix socket over TLS 1.2 or 1.3: the same interface, lookup and send
// bound, with the server's certificate verified against the system's store
// (or `caFile` alone, when given) and the host name given to Connect (sent
// as SNI, and checked against the certificate). OnConnected comes once the
// handshake is done, which is given 30 seconds. Every failure arrives as
// OnError with a text a person understands: "Cannot connect to
// chat.example:5191: certificate has expired".
class TlsSocket final : public PosixSocket {
 public:
  explicit TlsSocket(EventLoop& loop, std::string caFile = {})
      : PosixSocket(loop, std::move(caFile)) {}
};

}  // namespace kez::posix
