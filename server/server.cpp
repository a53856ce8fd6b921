#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "net/batch_sender.h"
#include "service/messages.h"
#include "service/session.h"

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
  Connection(Server& server, SessionId id, int fd, std::string address)
      : server(server),
        id(id),
        fd(fd),
        address(std::move(address)),
        opened(EventLoop::Clock::now()),
        lastFrame(opened),
        session(id, server.service_, *this, server.log_) {}
  ~Connection() override {
    if (fd >= 0) ::close(fd);
  }

  std::size_t queued() const { return out.size() - outPos; }

  // Output is only gathered here; it goes out once a turn (Server::Turn).
  void Write(std::string_view bytes) override {
    if (dead || lingering) return;
    out.append(bytes);
    server.Queued(*this, bytes.size());
  }

  void Hold(std::chrono::milliseconds delay) override {
    heldUntil = EventLoop::Clock::now() + delay;
    std::weak_ptr<bool> alive = server.alive_;
    Server* s = &server;
    const SessionId sid = id;
    server.loop_.AddTimer(
        delay,
        [alive, s, sid] {
          if (alive.expired()) return;
          if (auto it = s->connections_.find(sid); it != s->connections_.end()) {
            it->second->heldUntil = {};
            s->dirty_.push_back(sid);
            s->ScheduleTurn();
          }
        },
        false);
  }

  void Finish() override {
    if (finishing) return;
    finishing = true;
    closingSince = std::max(EventLoop::Clock::now(), heldUntil);
    if (!dead && queued() == 0 && heldUntil == EventLoop::Clock::time_point{}) StartLinger();
  }

  // Whether there is output that may go now.
  bool ReadyToWrite() const {
    return !dead && heldUntil == EventLoop::Clock::time_point{} && outPos < out.size();
  }
  SendJob Job() const { return SendJob{fd, out.data() + outPos, out.size() - outPos}; }

  void Flush() {
    if (dead || heldUntil != EventLoop::Clock::time_point{}) return;
    SendJob job = Job();
    Send(job);
    Settle(job);
  }

  // What a send left behind: the rest of the buffer, the counts, the watch.
  void Settle(const SendJob& job) {
    if (dead) return;
    if (job.error != 0) return server.Drop(*this, "");
    outPos += job.sent;
    server.totalQueued_ -= job.sent;
    if (outPos == out.size()) {
      out.clear();
      outPos = 0;
      // A burst's buffer is not kept for an idle connection.
      if (out.capacity() > 64 * 1024) out.shrink_to_fit();
    } else if (outPos > 1024 * 1024) {
      out.erase(0, outPos);
      outPos = 0;
    }
    WatchFor();
    if (finishing && !lingering && out.empty()) StartLinger();
  }

  // Reading pauses while frames from the last read still wait their turn.
  void WatchFor() {
    short events = 0;
    if (!backlogged && !lingering) events |= POLLIN;
    if (!out.empty()) events |= POLLOUT;
    if (lingering) events |= POLLIN;  // to see the client close its side
    server.loop_.SetEvents(watch, events);
  }

  // Our side is done: half-close, then wait a little for the client to
  // close its side, so what we sent last is not lost to a reset.
  void StartLinger() {
    lingering = true;
    lingerSince = EventLoop::Clock::now();
    ::shutdown(fd, SHUT_WR);
    WatchFor();
  }

  void OnReady(short revents) {
    if (revents & POLLNVAL) return server.Drop(*this, "");
    if (revents & POLLOUT) Flush();
    if (dead || backlogged || !(revents & (POLLIN | POLLHUP | POLLERR))) return;
    // One chunk a turn, so a client that floods cannot starve the others.
    char buffer[kReadChunk];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) return server.Drop(*this, finishing ? "" : "connection closed by the client");
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      return server.Drop(*this, "");
    }
    if (finishing) return;
    Handle(std::string_view(buffer, static_cast<std::size_t>(n)));
  }

  // Hands bytes to the session, at most a turn's worth of frames.
  void Handle(std::string_view bytes) {
    const bool wasSignedOn = session.signedOn();
    // A fault in one command ends that connection, never the server.
    try {
      if (session.Receive(bytes, server.options_.framesPerTurn) > 0)
        lastFrame = EventLoop::Clock::now();
    } catch (const std::exception& e) {
      return server.Drop(*this,
                         std::string("closed: a fault while handling its input: ") + e.what());
    } catch (...) {
      return server.Drop(*this, "closed: a fault while handling its input");
    }
    if (dead) return;
    if (!wasSignedOn && session.signedOn()) server.DoneSigningOn(*this);
    const bool more = session.more() && !finishing;
    if (more != backlogged) {
      backlogged = more;
      WatchFor();
    }
    if (more) {
      server.backlog_.push_back(id);
      server.ScheduleTurn();
    }
  }

  Server& server;
  SessionId id;
  int fd;
  std::string address;
  EventLoop::Id watch = 0;
  EventLoop::Clock::time_point opened;
  EventLoop::Clock::time_point lastFrame;  // the last whole frame received
  EventLoop::Clock::time_point closingSince;
  EventLoop::Clock::time_point lingerSince;
  EventLoop::Clock::time_point heldUntil;  // zero: output not held
  std::string out;
  std::size_t outPos = 0;
  bool countedSigningOn = true;
  bool dirty = false;
  bool backlogged = false;
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
      committer_(
          static_cast<Outbox&>(*this),
          [this](std::function<void()> f) { loop_.Post(std::move(f)); }, log_),
      service_(directory, committer_.outbox(), now ? now : WallClock(), log_) {}

void Server::UseStore(AccountStore* store, PasswordWorker* worker) {
  worker_ = worker;
  committer_.Use(store, [this](Account& account) { service_.Reverted(account); });
  service_.UseStore(store ? &committer_ : nullptr, worker);
}

Server::~Server() {
  committer_.Finish();
  if (workerWatch_) loop_.Unwatch(workerWatch_);
  *alive_ = false;
  alive_.reset();
  for (auto& [id, c] : connections_) loop_.Unwatch(c->watch);
  connections_.clear();
  if (listenWatch_) loop_.Unwatch(listenWatch_);
  if (keepAliveTimer_) loop_.CancelTimer(keepAliveTimer_);
  if (sweepTimer_) loop_.CancelTimer(sweepTimer_);
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
  if (worker_)
    workerWatch_ = loop_.Watch(worker_->fd(), POLLIN, [this](short) { worker_->Collect(); });
  if (options_.keepAlive.count() > 0)
    keepAliveTimer_ = loop_.AddTimer(options_.keepAlive, [this] { KeepAlive(); });
  // Deadlines are checked a few times within the shortest of them, by one
  // timer rather than one per connection.
  auto shortest = std::min({options_.signOnTimeout, options_.linger, options_.closeTimeout});
  if (options_.keepAlive.count() > 0 && options_.idleKeepAlives > 0)
    shortest = std::min(shortest, options_.keepAlive);
  const auto every =
      std::clamp(shortest / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
  sweepTimer_ = loop_.AddTimer(every, [this] { Sweep(); });
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

namespace {

// The client's address without the port, the key of the per-address caps.
std::string PeerAddress(const sockaddr_storage& a) {
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0)
    return "?";
  return host;
}

}  // namespace

void Server::Accept() {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        log_(std::string("cannot accept a connection: ") + std::strerror(errno) +
             "; pausing for a moment");
        PauseAccepting();
      }
      return;
    }
    std::string address = PeerAddress(peer);
    AddressCount& count = addresses_[address];
    const char* refusal = nullptr;
    if (connections_.size() >= options_.maxConnections) {
      refusal = "connections in all";
    } else if (count.all >= options_.maxPerAddress) {
      refusal = "connections from its address";
    } else if (signingOn_ >= options_.maxSigningOn) {
      refusal = "connections signing on";
    } else if (count.signingOn >= options_.maxSigningOnPerAddress) {
      refusal = "connections signing on from its address";
    }
    if (refusal) {
      ::close(fd);
      if (count.all == 0) addresses_.erase(address);
      log_(std::string("refused a connection: too many ") + refusal);
      continue;
    }
    ++count.all;
    ++count.signingOn;
    ++signingOn_;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const SessionId id = nextId_++;
    auto c = std::make_unique<Connection>(*this, id, fd, std::move(address));
    Connection* raw = c.get();
    connections_.emplace(id, std::move(c));
    raw->watch = loop_.Watch(fd, POLLIN, [this, id](short revents) {
      if (auto it = connections_.find(id); it != connections_.end() && !it->second->dead)
        it->second->OnReady(revents);
    });
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

void Server::Sweep() {
  const auto now = EventLoop::Clock::now();
  const auto idleLimit = options_.keepAlive * options_.idleKeepAlives;
  std::vector<std::pair<Connection*, std::string>> expired;
  for (auto& [id, c] : connections_) {
    if (c->dead) continue;
    if (c->lingering) {
      if (now - c->lingerSince >= options_.linger) expired.emplace_back(c.get(), "");
    } else if (c->finishing) {
      if (now - c->closingSince >= options_.closeTimeout)
        expired.emplace_back(c.get(), "closed: its output was still queued at the deadline");
    } else if (!c->session.signedOn()) {
      if (now - c->opened >= options_.signOnTimeout)
        expired.emplace_back(c.get(), "sign-on timed out");
    } else if (idleLimit.count() > 0 && now - c->lastFrame >= idleLimit) {
      expired.emplace_back(c.get(), "closed: no whole frame for " +
                                        std::to_string(options_.idleKeepAlives) +
                                        " keep-alive intervals");
    }
  }
  for (auto& [c, why] : expired) Drop(*c, why);
}

void Server::ScheduleTurn() {
  if (turnPosted_) return;
  turnPosted_ = true;
  std::weak_ptr<bool> alive = alive_;
  loop_.Post([this, alive] {
    if (alive.expired()) return;
    turnPosted_ = false;
    Turn();
  });
}

void Server::Turn() {
  std::vector<SessionId> waiting;
  waiting.swap(backlog_);
  for (SessionId id : waiting)
    if (auto it = connections_.find(id); it != connections_.end() && !it->second->dead)
      it->second->Handle({});
  std::vector<SessionId> dirty;
  dirty.swap(dirty_);
  std::vector<Connection*> writing;
  writing.reserve(dirty.size());
  for (SessionId id : dirty) {
    auto it = connections_.find(id);
    if (it == connections_.end()) continue;
    it->second->dirty = false;
    if (it->second->ReadyToWrite()) writing.push_back(it->second.get());
  }
  // One system call for the turn's sends where the kernel allows; what
  // they leave is settled here, in order.
  sendJobs_.clear();
  for (Connection* c : writing) sendJobs_.push_back(c->Job());
  sender_.Run(sendJobs_);
  for (std::size_t i = 0; i < writing.size(); ++i) writing[i]->Settle(sendJobs_[i]);
}

void Server::Queued(Connection& c, std::size_t bytes) {
  totalQueued_ += bytes;
  if (!c.dirty) {
    c.dirty = true;
    dirty_.push_back(c.id);
    ScheduleTurn();
  }
  if (c.queued() > options_.maxPendingOutput) {
    Drop(c, "dropped: the client is not reading");
    return;
  }
  // Over the budget of all clients together: the largest backlog goes first.
  while (totalQueued_ > options_.maxTotalOutput) {
    Connection* largest = nullptr;
    for (auto& [id, other] : connections_)
      if (!other->dead && (!largest || other->queued() > largest->queued())) largest = other.get();
    if (!largest) break;
    Drop(*largest, "dropped: the largest backlog (" + std::to_string(largest->queued()) +
                       " bytes) while queued output passed its budget");
  }
}

void Server::DoneSigningOn(Connection& c) {
  if (!c.countedSigningOn) return;
  c.countedSigningOn = false;
  --signingOn_;
  --addresses_[c.address].signingOn;
}

void Server::Drop(Connection& c, std::string_view why) {
  if (c.dead) return;
  c.dead = true;
  c.session.Abandon();
  if (!why.empty()) log_("session " + std::to_string(c.id) + " " + std::string(why));
  loop_.Unwatch(c.watch);
  ::close(c.fd);
  c.fd = -1;
  totalQueued_ -= c.queued();
  c.out = std::string();
  c.outPos = 0;
  DoneSigningOn(c);
  if (auto it = addresses_.find(c.address); it != addresses_.end() && --it->second.all == 0)
    addresses_.erase(it);
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

void Server::SignOnVerdict(SessionId id, bool accepted) {
  auto it = connections_.find(id);
  if (it == connections_.end() || it->second->dead) return;
  Connection& c = *it->second;
  c.session.Verdict(accepted);
  if (c.dead || !c.session.signedOn()) return;
  DoneSigningOn(c);
  c.Handle({});  // what came while the password was checked, a turn's worth
}

void Server::EndSession(SessionId id, std::string_view why) {
  auto it = connections_.find(id);
  if (it != connections_.end() && !it->second->dead) it->second->session.End(why);
}

}  // namespace reposa::server
