#include "net/listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace reposa::server {

using kez::posix::EventLoop;

namespace {

// The first address of `host:port` that binds and listens; -1 with errno.
int BindFirst(addrinfo* found) {
  int lastError = 0;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) return fd;
    lastError = errno;
    ::close(fd);
  }
  errno = lastError;
  return -1;
}

// The client's address without the port, the key of the per-address caps.
std::string PeerAddress(const sockaddr_storage& a) {
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0)
    return "?";
  return host;
}

}  // namespace

Listener::Listener(EventLoop& loop, const Limits& limits, Accepted accepted, Log log, Wrap wrap)
    : loop_(loop),
      limits_(limits),
      accepted_(std::move(accepted)),
      log_(std::move(log)),
      wrap_(std::move(wrap)) {}

Listener::~Listener() {
  *alive_ = false;
  if (watch_) loop_.Unwatch(watch_);
  if (resumeTimer_) loop_.CancelTimer(resumeTimer_);
  if (fd_ >= 0) ::close(fd_);
}

int ListenTcp(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string where = host + ":" + port;
  const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) throw std::runtime_error("cannot listen on " + where + ": " + ::gai_strerror(rc));
  const int fd = BindFirst(found);
  const int error = errno;
  ::freeaddrinfo(found);
  if (fd < 0) throw std::runtime_error("cannot listen on " + where + ": " + std::strerror(error));
  return fd;
}

void Listener::Start(const std::string& host, const std::string& port) {
  fd_ = ListenTcp(host, port);
  watch_ = loop_.Watch(fd_, POLLIN, [this](short) { Accept(); });
}

namespace {

// What getsockname says of `fd`; false when it says nothing.
bool LocalAddress(int fd, sockaddr_storage& a, socklen_t& length) {
  length = sizeof a;
  return fd >= 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0;
}

}  // namespace

std::string BoundAddress(int fd) {
  sockaddr_storage a{};
  socklen_t length = 0;
  if (!LocalAddress(fd, a, length)) return {};
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  ::getnameinfo(reinterpret_cast<sockaddr*>(&a), length, host, sizeof host, service, sizeof service,
                NI_NUMERICHOST | NI_NUMERICSERV);
  // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) of a
  // literal + temporary string concatenation here.
  const bool v6 = a.ss_family == AF_INET6;
  std::string text = v6 ? "[" : "";
  text.append(host).append(v6 ? "]:" : ":").append(service);
  return text;
}

std::string Listener::address() const {
  return BoundAddress(fd_);
}

std::uint16_t Listener::port() const {
  sockaddr_storage a{};
  socklen_t length = 0;
  if (!LocalAddress(fd_, a, length)) return 0;
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

bool Listener::loopback() const {
  sockaddr_storage a{};
  socklen_t length = 0;
  if (!LocalAddress(fd_, a, length)) return false;
  if (a.ss_family == AF_INET)
    return (ntohl(reinterpret_cast<sockaddr_in*>(&a)->sin_addr.s_addr) >> 24) == 127;
  if (a.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  }
  return false;
}

void Listener::Accept() {
  for (std::size_t i = 0; i < limits_.acceptsPerTurn; ++i) {
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        log_(std::string("cannot accept a connection: ") + std::strerror(errno) +
             "; pausing for a moment");
        Pause();
      }
      return;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    accepted_(wrap_ ? wrap_(fd) : std::make_unique<PlainStream>(fd), PeerAddress(peer));
  }
}

// Out of descriptors: the loop would report the listener ready again at
// once, so stop watching it for a moment instead of spinning.
void Listener::Pause() {
  loop_.Unwatch(watch_);
  watch_ = 0;
  std::weak_ptr<bool> alive = alive_;
  resumeTimer_ = loop_.AddTimer(
      limits_.acceptPause,
      [this, alive] {
        if (alive.expired()) return;
        resumeTimer_ = 0;
        watch_ = loop_.Watch(fd_, POLLIN, [this](short) { Accept(); });
      },
      false);
}

}  // namespace reposa::server
