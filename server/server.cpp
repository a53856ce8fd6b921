#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "session.h"

namespace reposa::server {

using kez::posix::EventLoop;

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kAcceptsPerTurn = 64;

Presence::Clock WallClock() {
  return [] { return static_cast<std::int64_t>(std::time(nullptr)); };
}

}  // namespace

struct Server::Connection final : Transport {
  Connection(Server& server, SessionId id, int fd)
      : server(server), id(id), fd(fd), session(id, server.service_, *this, server.log_) {}
  ~Connection() override {
    if (fd >= 0) ::close(fd);
  }

  void Write(std::string_view bytes) override {
    if (dead || lingering) return;
    out.append(bytes);
    Flush();
    if (!dead && out.size() - outPos > server.options_.maxPendingOutput)
      server.Drop(*this, "dropped: the client is not reading");
  }

  void Finish() override {
    finishing = true;
    if (!dead && out.size() == outPos) StartLinger();
  }

  void Flush() {
    while (!dead && outPos < out.size()) {
      const ssize_t n = ::send(fd, out.data() + outPos, out.size() - outPos, MSG_NOSIGNAL);
      if (n > 0) {
        outPos += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      } else {
        server.Drop(*this, "");
        return;
      }
    }
    if (outPos == out.size()) {
      out.clear();
      outPos = 0;
    } else if (outPos > 1024 * 1024) {
      out.erase(0, outPos);
      outPos = 0;
    }
    if (dead) return;
    server.loop_.SetEvents(watch, out.empty() ? POLLIN : POLLIN | POLLOUT);
    if (finishing && !lingering && out.empty()) StartLinger();
  }

  // Our side is done: half-close, then wait a little for the client to
  // close its side, so what we sent last is not lost to a reset.
  void StartLinger() {
    lingering = true;
    ::shutdown(fd, SHUT_WR);
    server.loop_.CancelTimer(timer);
    std::weak_ptr<bool> alive = server.alive_;
    Server* s = &server;
    const SessionId sid = id;
    timer = server.loop_.AddTimer(
        server.options_.linger,
        [alive, s, sid] {
          if (alive.expired()) return;
          if (auto it = s->connections_.find(sid); it != s->connections_.end())
            s->Drop(*it->second, "");
        },
        false);
  }

  void OnReady(short revents) {
    if (revents & POLLNVAL) return server.Drop(*this, "");
    if (revents & POLLOUT) Flush();
    if (dead || !(revents & (POLLIN | POLLHUP | POLLERR))) return;
    // One chunk a turn, so a client that floods cannot starve the others.
    char buffer[kReadChunk];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) return server.Drop(*this, finishing ? "" : "connection closed by the client");
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      return server.Drop(*this, "");
    }
    if (finishing) return;
    // A fault in one command ends that connection, never the server.
    try {
      session.Receive(std::string_view(buffer, static_cast<std::size_t>(n)));
    } catch (const std::exception& e) {
      server.Drop(*this, std::string("closed: a fault while handling its input: ") + e.what());
    } catch (...) {
      server.Drop(*this, "closed: a fault while handling its input");
    }
  }

  Server& server;
  SessionId id;
  int fd;
  EventLoop::Id watch = 0;
  EventLoop::Id timer = 0;  // sign-on deadline, then the linger deadline
  std::string out;
  std::size_t outPos = 0;
  bool finishing = false;
  bool lingering = false;
  bool dead = false;
  Session session;
};

Server::Server(EventLoop& loop, Directory& directory, ServerOptions options, Log log,
               Presence::Clock now)
    : loop_(loop),
      options_(std::move(options)),
      log_(log ? std::move(log) : Log([](std::string_view) {})),
      service_(directory, *this, now ? now : WallClock(), log_) {}

Server::~Server() {
  *alive_ = false;
  alive_.reset();
  for (auto& [id, c] : connections_) {
    loop_.Unwatch(c->watch);
    loop_.CancelTimer(c->timer);
  }
  connections_.clear();
  if (listenWatch_) loop_.Unwatch(listenWatch_);
  if (keepAliveTimer_) loop_.CancelTimer(keepAliveTimer_);
  if (resumeTimer_) loop_.CancelTimer(resumeTimer_);
  if (listenFd_ >= 0) ::close(listenFd_);
}

void Server::Start() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string where = options_.host + ":" + options_.port;
  const int rc = ::getaddrinfo(options_.host.empty() ? nullptr : options_.host.c_str(),
                               options_.port.c_str(), &hints, &found);
  if (rc != 0) throw std::runtime_error("cannot listen on " + where + ": " + ::gai_strerror(rc));
  int lastError = 0;
  for (addrinfo* a = found; a && listenFd_ < 0; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
      lastError = errno;
      ::close(fd);
      continue;
    }
    listenFd_ = fd;
  }
  ::freeaddrinfo(found);
  if (listenFd_ < 0)
    throw std::runtime_error("cannot listen on " + where + ": " + std::strerror(lastError));
  listenWatch_ = loop_.Watch(listenFd_, POLLIN, [this](short) { Accept(); });
  if (options_.keepAlive.count() > 0)
    keepAliveTimer_ = loop_.AddTimer(options_.keepAlive, [this] { KeepAlive(); });
}

std::string Server::address() const {
  sockaddr_storage a{};
  socklen_t length = sizeof a;
  if (listenFd_ < 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
    return {};
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  ::getnameinfo(reinterpret_cast<sockaddr*>(&a), length, host, sizeof host, service, sizeof service,
                NI_NUMERICHOST | NI_NUMERICSERV);
  if (a.ss_family == AF_INET6) return "[" + std::string(host) + "]:" + service;
  return std::string(host) + ":" + service;
}

std::uint16_t Server::port() const {
  sockaddr_storage a{};
  socklen_t length = sizeof a;
  if (listenFd_ < 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
    return 0;
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

bool Server::loopback() const {
  sockaddr_storage a{};
  socklen_t length = sizeof a;
  if (listenFd_ < 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
    return false;
  if (a.ss_family == AF_INET)
    return (ntohl(reinterpret_cast<sockaddr_in*>(&a)->sin_addr.s_addr) >> 24) == 127;
  if (a.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  }
  return false;
}

void Server::Accept() {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        log_(std::string("cannot accept a connection: ") + std::strerror(errno) +
             "; pausing for a moment");
        PauseAccepting();
      }
      return;
    }
    if (connections_.size() >= options_.maxConnections) {
      ::close(fd);
      log_("refused a connection: " + std::to_string(options_.maxConnections) +
           " connections already");
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const SessionId id = nextId_++;
    auto c = std::make_unique<Connection>(*this, id, fd);
    Connection* raw = c.get();
    connections_.emplace(id, std::move(c));
    raw->watch = loop_.Watch(fd, POLLIN, [this, id](short revents) {
      if (auto it = connections_.find(id); it != connections_.end() && !it->second->dead)
        it->second->OnReady(revents);
    });
    std::weak_ptr<bool> alive = alive_;
    raw->timer = loop_.AddTimer(
        options_.signOnTimeout,
        [this, alive, id] {
          if (alive.expired()) return;
          auto it = connections_.find(id);
          if (it != connections_.end() && !it->second->session.signedOn() && !it->second->finishing)
            Drop(*it->second, "sign-on timed out");
        },
        false);
  }
}

void Server::PauseAccepting() {
  // Out of descriptors: poll would report the listener ready again at once,
  // so stop watching it for a moment instead of spinning.
  loop_.Unwatch(listenWatch_);
  listenWatch_ = 0;
  std::weak_ptr<bool> alive = alive_;
  resumeTimer_ = loop_.AddTimer(
      std::chrono::milliseconds(100),
      [this, alive] {
        if (alive.expired()) return;
        resumeTimer_ = 0;
        listenWatch_ = loop_.Watch(listenFd_, POLLIN, [this](short) { Accept(); });
      },
      false);
}

void Server::KeepAlive() {
  for (auto& [id, c] : connections_)
    if (!c->dead) c->session.SendKeepAlive();
}

void Server::Drop(Connection& c, std::string_view why) {
  if (c.dead) return;
  c.dead = true;
  c.session.Abandon();
  if (!why.empty()) log_("session " + std::to_string(c.id) + " " + std::string(why));
  loop_.Unwatch(c.watch);
  loop_.CancelTimer(c.timer);
  ::close(c.fd);
  c.fd = -1;
  // The connection may be on the stack below us, and the service may be
  // walking its lists: forget both on the next turn.
  std::weak_ptr<bool> alive = alive_;
  const SessionId id = c.id;
  loop_.Post([this, alive, id] {
    if (alive.expired()) return;
    connections_.erase(id);
    service_.Ended(id);
  });
}

void Server::Deliver(SessionId to, std::string_view message) {
  auto it = connections_.find(to);
  if (it != connections_.end() && !it->second->dead) it->second->session.SendMessage(message);
}

void Server::EndSession(SessionId id) {
  auto it = connections_.find(id);
  if (it != connections_.end() && !it->second->dead) it->second->session.End();
}

}  // namespace reposa::server
