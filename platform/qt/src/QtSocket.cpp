#include "kez/qt/QtSocket.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace kez::qt {

namespace {

// Counts a slot of ours as running for as long as it is on the stack, unless
// the socket was destroyed meanwhile.
class DepthGuard {
 public:
  DepthGuard(int& depth, const std::shared_ptr<bool>& alive) : depth_(depth), alive_(alive) {
    ++depth_;
  }
  ~DepthGuard() {
    if (!alive_.expired()) --depth_;
  }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& depth_;
  std::weak_ptr<bool> alive_;
};

}  // namespace

QtSocket::QtSocket(QObject* parent) : QObject(parent) {}

// Slots still on the stack see alive_ expire and return.
QtSocket::~QtSocket() {
  Detach();
}

bool QtSocket::Current(const std::weak_ptr<bool>& alive, std::uint64_t generation) const {
  return !alive.expired() && generation == generation_;
}

void QtSocket::Detach() {
  QTcpSocket* sock = std::exchange(sock_, nullptr);
  if (!sock) return;
  QObject::disconnect(sock, nullptr, this, nullptr);
  sock->abort();
  // Deleting a QTcpSocket inside one of its own signals is not allowed.
  if (depth_ > 0)
    sock->deleteLater();
  else
    delete sock;
}

void QtSocket::Close() {
  Detach();
  state_ = State::Closed;
  ++generation_;
}

void QtSocket::PostError(int number, QString description) {
  const std::weak_ptr<bool> alive = alive_;
  const std::uint64_t generation = generation_;
  QTimer::singleShot(0, this, [this, alive, generation, number, description] {
    if (!Current(alive, generation)) return;
    Detach();
    state_ = State::Closed;
    NotifyError(number, description.toStdString());
  });
}

void QtSocket::Connect(const std::string& host, int32_t port) {
  Close();
  const QString name = QString::fromStdString(host);
  peer_ = name + ':' + QString::number(port);
  if (port < 1 || port > 65535) {
    PostError(QAbstractSocket::UnsupportedSocketOperationError,
              "Cannot connect to " + peer_ + ": port out of range");
    return;
  }
  sock_ = new QTcpSocket;
  sock_->setProxy(QNetworkProxy::NoProxy);
  connect(sock_, &QTcpSocket::connected, this, [this] { OnConnected(); });
  connect(sock_, &QTcpSocket::readyRead, this, [this] { OnReadyRead(); });
  connect(sock_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
    OnFailure(error, error == QAbstractSocket::RemoteHostClosedError);
  });
  // An orderly close may come without an error first.
  connect(sock_, &QTcpSocket::disconnected, this,
          [this] { OnFailure(QAbstractSocket::RemoteHostClosedError, true); });
  state_ = State::Connecting;
  // Started on the next turn of the loop: Qt may report a refusal from inside
  // connectToHost, and the control expects every outcome later.
  QTcpSocket* sock = sock_;
  const std::weak_ptr<bool> alive = alive_;
  const std::uint64_t generation = generation_;
  QTimer::singleShot(0, sock, [this, alive, generation, sock, name, port] {
    if (Current(alive, generation)) sock->connectToHost(name, static_cast<quint16>(port));
  });
}

void QtSocket::OnConnected() {
  const DepthGuard depth(depth_, alive_);
  if (state_ != State::Connecting) return;
  state_ = State::Connected;
  NotifyConnected();
}

void QtSocket::OnReadyRead() {
  const DepthGuard depth(depth_, alive_);
  if (state_ != State::Connected) return;
  NotifyDataArrival();
}

void QtSocket::OnFailure(int number, bool peerClosed) {
  const DepthGuard depth(depth_, alive_);
  if (state_ == State::Closed || !sock_) return;
  const std::weak_ptr<bool> alive = alive_;
  const std::uint64_t generation = generation_;
  const bool wasConnected = state_ == State::Connected;
  // Bytes that came before the close or the error are delivered first.
  if (wasConnected && sock_->bytesAvailable() > 0) {
    NotifyDataArrival();
    if (!Current(alive, generation)) return;
  }
  QString text;
  if (number == QAbstractSocket::HostNotFoundError)
    text = "Host not found: " + peer_.section(':', 0, -2);
  else if (wasConnected)
    text = "Connection to " + peer_ + " lost: " + sock_->errorString();
  else
    text = "Cannot connect to " + peer_ + ": " + sock_->errorString();
  Detach();
  state_ = State::Closed;
  ++generation_;
  if (peerClosed && wasConnected)
    NotifyClosedByPeer();
  else
    NotifyError(number, text.toStdString());
}

void QtSocket::SendData(std::string_view bytes) {
  if (state_ != State::Connected || !sock_) return;
  sock_->write(bytes.data(), static_cast<qint64>(bytes.size()));
}

void QtSocket::GetData(std::string& data) {
  if (!sock_) return;
  // Straight from Qt's buffer into the caller's: no array of our own per
  // arrival.
  const qint64 available = sock_->bytesAvailable();
  if (available <= 0) return;
  const std::size_t at = data.size();
  data.resize(at + static_cast<std::size_t>(available));
  const qint64 n = sock_->read(data.data() + at, available);
  data.resize(at + static_cast<std::size_t>(std::max<qint64>(n, 0)));
}

}  // namespace kez::qt
