#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "kez/Socket.h"

class QTcpSocket;
class QSslSocket;

namespace kez::qt {

// The control's TCP client socket over QTcpSocket. Name lookup and connecting
// run in the background, sends are buffered by Qt, and every notification
// arrives on the thread that owns this object, through its event loop.
//
// Each connection gets a QTcpSocket of its own; Close() cuts it loose at once,
// so nothing from an old connection reaches the listener after a Close or a
// new Connect. TlsSocket is the same over TLS.
class QtSocket : public QObject, public Socket {
 public:
  explicit QtSocket(QObject* parent = nullptr);
  ~QtSocket() override;

  void Close() override;
  void Connect(const std::string& host, int32_t port) override;
  void SendData(std::string_view bytes) override;
  void GetData(std::string& data) override;
  bool IsConnected() const override { return state_ == State::Connected; }

 protected:
  // Over TLS, verified against `caFile` (empty: the system's store).
  QtSocket(QString caFile, QObject* parent);

 private:
  enum class State { Closed, Connecting, Connected };

  // A QSslSocket set up to verify the server, or null after PostError.
  QSslSocket* NewTlsSocket();
  void OnConnected();
  void OnTcpConnected();
  void OnReadyRead();
  // The text for a failure of `number` while connecting or connected.
  QString FailureText(int number, bool wasConnected) const;
  void OnFailure(int number, bool peerClosed);
  // Disconnects, aborts and disposes of the current QTcpSocket.
  void Detach();
  // Reports an error on a later turn of the event loop, unless the socket has
  // been closed, reconnected or destroyed by then.
  void PostError(int number, QString description);
  // True while the connection of `generation` is still the current one and
  // this object still exists.
  bool Current(const std::weak_ptr<bool>& alive, std::uint64_t generation) const;

  QTcpSocket* sock_ = nullptr;
  State state_ = State::Closed;
  QString peer_;
  QString host_;
  // TLS: whether to use it, the CA file, whether the TCP connection is up
  // (so a failure is the handshake's), and what verification found.
  bool tls_ = false;
  QString caFile_;
  bool tcpUp_ = false;
  QString tlsFailure_;
  std::uint64_t generation_ = 0;
  // How many of our slots are on the stack: a QTcpSocket cannot be deleted
  // inside its own signal, so it is then handed to deleteLater.
  int depth_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kez::qt
