#include "kez/qt/QtSocket.h"

#include <QFile>
#include <QNetworkProxy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <utility>

#include "kez/host/TlsText.h"

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

using kez::host::TlsProblem;

// How much a verification error says about the server: the first that
// OpenSSL's own order of checks would meet wins, so both sockets name the
// same fault (the authority, then the name, then the dates).
int Rank(TlsProblem problem) {
  switch (problem) {
    case TlsProblem::Untrusted:
      return 0;
    case TlsProblem::WrongName:
      return 1;
    case TlsProblem::Expired:
    case TlsProblem::NotYetValid:
      return 2;
    default:
      return 3;
  }
}

TlsProblem ProblemOf(QSslError::SslError error) {
  switch (error) {
    case QSslError::CertificateExpired:
      return TlsProblem::Expired;
    case QSslError::CertificateNotYetValid:
      return TlsProblem::NotYetValid;
    case QSslError::HostNameMismatch:
      return TlsProblem::WrongName;
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::CertificateUntrusted:
      return TlsProblem::Untrusted;
    default:
      return TlsProblem::Other;
  }
}

// The names a certificate is for: its alternative names, else its common name.
std::vector<std::string> NamesOf(const QSslCertificate& cert) {
  std::vector<std::string> names;
  const auto alternatives = cert.subjectAlternativeNames();
  for (auto it = alternatives.begin(); it != alternatives.end(); ++it)
    if (it.key() == QSsl::DnsEntry || it.key() == QSsl::IpAddressEntry)
      names.push_back(it.value().toStdString());
  if (names.empty())
    for (const QString& cn : cert.subjectInfo(QSslCertificate::CommonName))
      names.push_back(cn.toStdString());
  return names;
}

// The verification error that says most, as a failure.
kez::host::TlsFailure Worst(const QList<QSslError>& errors) {
  kez::host::TlsFailure worst;
  int rank = 4;
  for (const QSslError& e : errors) {
    const TlsProblem problem = ProblemOf(e.error());
    if (Rank(problem) >= rank) continue;
    rank = Rank(problem);
    worst = {problem, {}, e.errorString().toStdString()};
    if (problem == TlsProblem::WrongName) worst.names = NamesOf(e.certificate());
  }
  return worst;
}

// A handshake that failed without a verification error: a plain server
// answers with what the library calls no TLS at all.
kez::host::TlsFailure HandshakeFailure(int number, const QString& errorString) {
  const bool plain = number == QAbstractSocket::RemoteHostClosedError ||
                     errorString.contains("wrong version number") ||
                     errorString.contains("packet length too long") ||
                     errorString.contains("unknown protocol");
  return {plain ? TlsProblem::NotTls : TlsProblem::Other, {}, errorString.toStdString()};
}

}  // namespace

QtSocket::QtSocket(QObject* parent) : QObject(parent) {}

QtSocket::QtSocket(QString caFile, QObject* parent)
    : QObject(parent), tls_(true), caFile_(std::move(caFile)) {}

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
  host_ = name;
  tcpUp_ = false;
  tlsFailure_.clear();
  if (tls_) {
    sock_ = NewTlsSocket();
    if (!sock_) return;
  } else {
    sock_ = new QTcpSocket;
    connect(sock_, &QTcpSocket::connected, this, [this] { OnConnected(); });
  }
  sock_->setProxy(QNetworkProxy::NoProxy);
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
  const bool tls = tls_;
  QTimer::singleShot(0, sock, [this, alive, generation, sock, name, port, tls] {
    if (!Current(alive, generation)) return;
    if (tls)
      static_cast<QSslSocket*>(sock)->connectToHostEncrypted(name, static_cast<quint16>(port));
    else
      sock->connectToHost(name, static_cast<quint16>(port));
  });
}

QSslSocket* QtSocket::NewTlsSocket() {
  QSslConfiguration config = QSslConfiguration::defaultConfiguration();
  if (!caFile_.isEmpty()) {
    QFile file(caFile_);
    if (!file.open(QIODevice::ReadOnly)) {
      PostError(QAbstractSocket::SslInvalidUserDataError, "Cannot connect to " + peer_ +
                                                              ": cannot read the CA file " +
                                                              caFile_ + ": " + file.errorString());
      return nullptr;
    }
    const QList<QSslCertificate> authorities = QSslCertificate::fromDevice(&file, QSsl::Pem);
    if (authorities.isEmpty()) {
      PostError(QAbstractSocket::SslInvalidUserDataError,
                "Cannot connect to " + peer_ + ": cannot use the CA file " + caFile_ +
                    ": it holds no PEM certificate");
      return nullptr;
    }
    config.setCaCertificates(authorities);
  }
  config.setProtocol(QSsl::TlsV1_2OrLater);
  config.setPeerVerifyMode(QSslSocket::VerifyPeer);
  auto* ssl = new QSslSocket;
  ssl->setSslConfiguration(config);
  connect(ssl, &QTcpSocket::connected, this, [this] { OnTcpConnected(); });
  connect(ssl, &QSslSocket::encrypted, this, [this] { OnConnected(); });
  connect(ssl, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) {
    tlsFailure_ =
        QString::fromStdString(kez::host::TlsFailureText(Worst(errors), host_.toStdString()));
  });
  return ssl;
}

// The handshake is under way: it is given a bound of its own.
void QtSocket::OnTcpConnected() {
  tcpUp_ = true;
  const std::weak_ptr<bool> alive = alive_;
  const std::uint64_t generation = generation_;
  QTimer::singleShot(
      std::chrono::seconds(kez::host::kTlsHandshakeSeconds), this, [this, alive, generation] {
        if (!Current(alive, generation) || state_ != State::Connecting) return;
        Detach();
        state_ = State::Closed;
        ++generation_;
        NotifyError(
            QAbstractSocket::SocketTimeoutError,
            "Cannot connect to " + peer_.toStdString() + ": " +
                kez::host::TlsFailureText({TlsProblem::NoAnswer, {}, {}}, host_.toStdString()));
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
  const QString text = FailureText(number, wasConnected);
  Detach();
  state_ = State::Closed;
  ++generation_;
  if (peerClosed && wasConnected)
    NotifyClosedByPeer();
  else
    NotifyError(number, text.toStdString());
}

QString QtSocket::FailureText(int number, bool wasConnected) const {
  if (number == QAbstractSocket::HostNotFoundError)
    return "Host not found: " + peer_.section(':', 0, -2);
  if (wasConnected) return "Connection to " + peer_ + " lost: " + sock_->errorString();
  if (!tls_ || !tcpUp_) return "Cannot connect to " + peer_ + ": " + sock_->errorString();
  // The handshake failed.
  const QString why =
      !tlsFailure_.isEmpty()
          ? tlsFailure_
          : QString::fromStdString(kez::host::TlsFailureText(
                HandshakeFailure(number, sock_->errorString()), host_.toStdString()));
  return "Cannot connect to " + peer_ + ": " + why;
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
