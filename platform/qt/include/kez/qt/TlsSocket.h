#pragma once

#include <QString>

#include "kez/qt/QtSocket.h"

namespace kez::qt {

// The Qt socket over TLS 1.2 or 1.3 (QSslSocket): the server's certificate
// is verified against the system's store, or `caFile` alone when given, and
// against the host name given to Connect. OnConnected comes once the
// handshake is done, which is given 30 seconds. Failures read as the posix
// TlsSocket's do: "Cannot connect to chat.example:5191: certificate has
// expired".
class TlsSocket final : public QtSocket {
 public:
  explicit TlsSocket(QString caFile = {}, QObject* parent = nullptr)
      : QtSocket(std::move(caFile), parent) {}
};

}  // namespace kez::qt
