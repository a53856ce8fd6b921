#include "kez/posix/PosixSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Resolver.h"
#include "TlsClient.h"

namespace kez::posix {

namespace {
constexpr std::size_t kReadChunk = 64 * 1024;
// Bound one turn's reading, so one busy peer cannot starve the loop.
constexpr std::size_t kMaxReadPerTurn = 4 * 1024 * 1024;
}  // namespace

PosixSocket::PosixSocket(EventLoop& loop) : loop_(loop) {}

PosixSocket::PosixSocket(EventLoop& loop, std::string caFile)
    : loop_(loop), tls_(true), caFile_(std::move(caFile)) {}

PosixSocket::~PosixSocket() {
  CloseFd();
}

void PosixSocket::CloseFd() {
  readable_ = false;
  if (watch_) loop_.Unwatch(watch_);
  watch_ = 0;
  if (handshakeTimer_) loop_.CancelTimer(handshakeTimer_);
  handshakeTimer_ = 0;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  tlsClient_.reset();
}

void PosixSocket::Close() {
  lookup_.reset();  // cancels a lookup in flight
  // Over TLS the server is told the end is deliberate, if its socket takes
  // the alert at once; nothing waits for it.
  if (state_ == State::Connected && tlsClient_) {
    std::string alert;
    tlsClient_->Shutdown(alert);
    [[maybe_unused]] const ssize_t n =
        ::send(fd_, alert.data(), alert.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  CloseFd();
  state_ = State::Closed;
  addresses_.clear();
  in_.clear();
  out_.clear();
  outPos_ = 0;
  ++*generation_;
}

void PosixSocket::PostError(int number, std::string description) {
  std::weak_ptr<std::uint64_t> weak = generation_;
  const std::uint64_t expected = *generation_;
  loop_.Post([this, weak, expected, number, description = std::move(description)] {
    auto generation = weak.lock();
    if (!generation || *generation != expected) return;
    CloseFd();
    state_ = State::Closed;
    NotifyError(number, description);
  });
}

void PosixSocket::Connect(const std::string& host, int32_t port) {
  Close();
  peer_ = host + ":" + std::to_string(port);
  if (port < 0 || port > 65535) {
    PostError(EINVAL, "Cannot connect to " + peer_ + ": port out of range");
    return;
  }
  host_ = host;
  state_ = State::Resolving;
  lookup_ = std::make_unique<Lookup>(
      loop_, host, std::to_string(port),
      [this](int error, std::vector<Address> found) { Resolved(error, std::move(found)); });
}

void PosixSocket::Resolved(int error, std::vector<Address> found) {
  lookup_.reset();  // done with it; this runs from its last act
  if (error != 0) {
    PostError(error, "Host not found: " + host_ + " (" + ::gai_strerror(error) + ")");
    return;
  }
  addresses_ = std::move(found);
  nextAddress_ = 0;
  state_ = State::Connecting;
  TryNextAddress();
}

void PosixSocket::TryNextAddress() {
  CloseFd();
  while (nextAddress_ < addresses_.size()) {
    const Address& address = addresses_[nextAddress_++];
    fd_ = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      lastConnectError_ = errno;
      continue;
    }
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0 ||
        errno == EINPROGRESS) {
      watch_ = loop_.Watch(fd_, POLLOUT, [this](short revents) { OnReady(revents); });
      return;
    }
    lastConnectError_ = errno;
    ::close(fd_);
    fd_ = -1;
  }
  PostError(lastConnectError_,
            "Cannot connect to " + peer_ + ": " + std::strerror(lastConnectError_));
}

void PosixSocket::FinishConnect() {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) {
    lastConnectError_ = error;
    TryNextAddress();
    return;
  }
  addresses_.clear();
  if (tls_) return StartTls();
  state_ = State::Connected;
  UpdateWatch();
  NotifyConnected();
}

void PosixSocket::StartTls() {
  try {
    tlsClient_ = std::make_unique<TlsClient>(caFile_, host_);
  } catch (const std::exception& e) {
    return Fail(EINVAL, "Cannot connect to " + peer_ + ": " + e.what());
  }
  state_ = State::Handshaking;
  std::weak_ptr<std::uint64_t> weak = generation_;
  const std::uint64_t expected = *generation_;
  handshakeTimer_ = loop_.AddTimer(
      std::chrono::seconds(kez::host::kTlsHandshakeSeconds),
      [this, weak, expected] {
        auto generation = weak.lock();
        if (!generation || *generation != expected) return;
        handshakeTimer_ = 0;
        Fail(ETIMEDOUT,
             "Cannot connect to " + peer_ + ": " +
                 kez::host::TlsFailureText({kez::host::TlsProblem::NoAnswer, {}, {}}, host_));
      },
      false);
  tlsClient_->Start(out_);
  Flush();
}

void PosixSocket::Fail(int number, const std::string& description) {
  CloseFd();
  state_ = State::Closed;
  out_.clear();
  outPos_ = 0;
  NotifyError(number, description);
}

void PosixSocket::UpdateWatch() {
  if (!watch_) return;
  short events = POLLIN;
  if (outPos_ < out_.size()) events |= POLLOUT;
  loop_.SetEvents(watch_, events);
}

void PosixSocket::Flush() {
  while (outPos_ < out_.size()) {
    const ssize_t n = ::send(fd_, out_.data() + outPos_, out_.size() - outPos_, MSG_NOSIGNAL);
    if (n > 0) {
      outPos_ += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    PostError(errno, "Connection to " + peer_ + " lost: " + std::strerror(errno));
    return;
  }
  if (outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
  } else if (outPos_ > out_.size() / 2) {
    out_.erase(0, outPos_);  // keep the buffer from only growing
    outPos_ = 0;
  }
  UpdateWatch();
}

void PosixSocket::SendData(std::string_view bytes) {
  if (state_ != State::Connected) return;
  if (bytes.size() > kMaxPendingSend - PendingSend()) {
    // The peer is not reading: give the connection up rather than grow.
    CloseFd();
    state_ = State::Closed;
    out_.clear();
    outPos_ = 0;
    PostError(ENOBUFS, "Connection to " + peer_ + " closed: more than " +
                           std::to_string(kMaxPendingSend / (1024 * 1024)) +
                           " MiB waiting to be sent");
    return;
  }
  const bool idle = outPos_ == out_.size();
  if (tlsClient_)
    tlsClient_->Seal(bytes, out_);
  else
    out_.append(bytes);
  if (idle) Flush();
}

void PosixSocket::GetData(std::string& data) {
  data.append(in_);
  in_.clear();
  // Inside the notification the rest of the kernel's buffer goes straight
  // into the caller's, with no copy of our own.
  if (readable_) ReadInto(data, kMaxReadPerTurn);
}

void PosixSocket::ReadInto(std::string& data, std::size_t limit) {
  while (fd_ >= 0 && !turn_.drained && turn_.taken < limit) {
    const std::size_t at = data.size();
    const std::size_t room = std::min(kReadChunk, limit - turn_.taken);
    data.resize(at + room);
    const ssize_t n = ::recv(fd_, data.data() + at, room, 0);
    data.resize(at + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0) {
      turn_.taken += static_cast<std::size_t>(n);
    } else if (n == 0) {
      turn_.peerClosed = turn_.drained = true;
    } else if (errno != EINTR) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) turn_.error = errno;
      turn_.drained = true;
    }
  }
}

void PosixSocket::ReadTls() {
  char chunk[kReadChunk];
  while (turn_.taken < kMaxReadPerTurn) {
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) {
      tlsClient_->Take(std::string_view(chunk, static_cast<std::size_t>(n)), in_, out_);
      turn_.taken += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) {
      turn_.peerClosed = true;
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      turn_.error = errno;
    }
    break;
  }
  turn_.drained = true;
}

bool PosixSocket::AfterTls() {
  if (!tlsClient_) return true;
  if (outPos_ < out_.size()) Flush();
  const TlsClient::Step step = tlsClient_->step();
  if (step == TlsClient::Step::Failed) {
    const std::string text = kez::host::TlsFailureText(tlsClient_->failure(), host_);
    if (state_ == State::Handshaking)
      Fail(EPROTO, "Cannot connect to " + peer_ + ": " + text);
    else
      Fail(EPROTO, "Connection to " + peer_ + " lost: TLS error: " + tlsClient_->failure().detail);
    return false;
  }
  if (state_ == State::Handshaking && step == TlsClient::Step::Ready) {
    loop_.CancelTimer(handshakeTimer_);
    handshakeTimer_ = 0;
    state_ = State::Connected;
    UpdateWatch();
    std::weak_ptr<std::uint64_t> weak = generation_;
    const std::uint64_t expected = *generation_;
    NotifyConnected();
    auto generation = weak.lock();
    return generation && *generation == expected;
  }
  return true;
}

void PosixSocket::OnReady(short revents) {
  if (state_ == State::Connecting) {
    FinishConnect();
    return;
  }
  if (state_ != State::Connected && state_ != State::Handshaking) return;
  if (revents & POLLOUT) Flush();
  if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;

  turn_ = {};
  if (tlsClient_) {
    // Records must pass through the TLS engine, so the whole turn is read and
    // opened here; the listener's GetData then only takes the plain bytes.
    ReadTls();
  } else {
    // The first chunk tells whether anything came; the listener's GetData
    // reads the rest, up to the turn's bound.
    ReadInto(in_, kReadChunk);
  }
  std::weak_ptr<std::uint64_t> weak = generation_;
  const std::uint64_t expected = *generation_;
  if (!AfterTls()) return;  // failed, or closed meanwhile
  if (state_ == State::Handshaking && (turn_.error != 0 || turn_.peerClosed)) {
    // Nothing at all back: a plain server that hung up on what it read.
    const int error = turn_.error;
    const std::string why =
        !tlsClient_->heard()
            ? kez::host::TlsFailureText({kez::host::TlsProblem::NotTls, {}, {}}, host_)
        : error != 0 ? std::string(std::strerror(error))
                     : std::string("the server closed the connection during the TLS handshake");
    return Fail(error ? error : ECONNRESET, "Cannot connect to " + peer_ + ": " + why);
  }
  if (!in_.empty()) {
    readable_ = !tlsClient_;
    NotifyDataArrival();
    auto generation = weak.lock();
    if (!generation || *generation != expected) return;  // closed, reconnected or destroyed
    readable_ = false;
  }
  if (turn_.error != 0) {
    CloseFd();
    state_ = State::Closed;
    NotifyError(turn_.error, "Connection to " + peer_ + " lost: " + std::strerror(turn_.error));
  } else if (turn_.peerClosed) {
    CloseFd();
    state_ = State::Closed;
    NotifyClosedByPeer();
  }
}

}  // namespace kez::posix
