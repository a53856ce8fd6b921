#include "admin/request_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace reposa::server {

using kez::posix::EventLoop;

namespace {
// A burst of connections is taken a few at a time, so it cannot hold the
// loop; the rest wait in the kernel's backlog for the next turn.
constexpr int kAcceptsPerTurn = 16;
}  // namespace

struct RequestServer::Client {
  std::uint64_t id = 0;
  int fd = -1;
  EventLoop::Id watch = 0;
  EventLoop::Id deadline = 0;
  std::string in;
  std::string out;
  std::size_t outPos = 0;
  bool answered = false;  // the request is whole: no more reading
};

RequestServer::RequestServer(EventLoop& loop, Rules rules, Handle handle)
    : loop_(loop), rules_(std::move(rules)), handle_(std::move(handle)) {}

RequestServer::~RequestServer() {
  *alive_ = false;
  while (!clients_.empty()) Close(clients_.begin()->first);
  if (watch_) loop_.Unwatch(watch_);
  if (fd_ >= 0) ::close(fd_);
}

void RequestServer::Serve(int listeningFd) {
  fd_ = listeningFd;
  watch_ = loop_.Watch(fd_, POLLIN, [this](short) { Accept(); });
}

void RequestServer::Accept() {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // none waiting, or out of descriptors: the next turn tries again
    if (clients_.size() >= rules_.maxConnections) {
      Refuse(fd, Refusal::TooMany);
      continue;
    }
    if (rules_.admit && !rules_.admit(fd)) {
      Refuse(fd, Refusal::NotAllowed);
      continue;
    }
    const std::uint64_t id = nextId_++;
    auto c = std::make_unique<Client>();
    c->id = id;
    c->fd = fd;
    c->watch = loop_.Watch(fd, POLLIN, [this, id](short revents) { OnReady(id, revents); });
    ArmDeadline(*c);
    clients_.emplace(id, std::move(c));
  }
}

// One best-effort write of the refusal, then the connection closes.
void RequestServer::Refuse(int fd, Refusal why) {
  const std::string text = rules_.refusal ? rules_.refusal(why) : std::string();
  if (!text.empty()) ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  // What the client sent already is read, so the close does not reset the
  // connection before the refusal is read.
  char ignored[4096];
  [[maybe_unused]] const ssize_t n = ::recv(fd, ignored, sizeof ignored, MSG_DONTWAIT);
  ::close(fd);
}

void RequestServer::ArmDeadline(Client& c) {
  if (c.deadline) loop_.CancelTimer(c.deadline);
  std::weak_ptr<bool> alive = alive_;
  const std::uint64_t self = c.id;
  c.deadline = loop_.AddTimer(
      rules_.timeout,
      [this, alive, self] {
        if (alive.expired()) return;
        auto it = clients_.find(self);
        if (it == clients_.end()) return;
        it->second->deadline = 0;
        const int fd = it->second->fd;
        it->second->fd = -1;
        Close(self);
        Refuse(fd, Refusal::Timeout);
      },
      false);
}

void RequestServer::OnReady(std::uint64_t id, short revents) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& c = *it->second;
  if (revents & POLLOUT) return Write(c);
  if (revents & (POLLIN | POLLHUP | POLLERR)) Read(c);
}

void RequestServer::Read(Client& c) {
  const std::uint64_t id = c.id;
  char buffer[4096];
  const ssize_t n = ::read(c.fd, buffer, sizeof buffer);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return Close(id);
  if (n < 0 || c.answered) return;
  c.in.append(buffer, static_cast<std::size_t>(n));
  const std::size_t length = rules_.whole(c.in);
  if (length == 0 && c.in.size() < rules_.maxRequest) return;
  if (length == 0 || length > rules_.maxRequest) {
    const int fd = c.fd;
    c.fd = -1;
    Close(id);
    return Refuse(fd, Refusal::TooLong);
  }
  c.answered = true;
  loop_.CancelTimer(c.deadline);
  c.deadline = 0;
  loop_.SetEvents(c.watch, 0);
  std::string request = c.in.substr(0, length);
  c.in = std::string();
  std::weak_ptr<bool> alive = alive_;
  handle_(std::move(request), [this, alive, id](std::string answer) {
    if (!alive.expired()) Answer(id, std::move(answer));
  });
}

void RequestServer::Answer(std::uint64_t id, std::string answer) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& c = *it->second;
  c.out = std::move(answer);
  Write(c);
}

void RequestServer::Write(Client& c) {
  while (c.outPos < c.out.size()) {
    const ssize_t n = ::send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL);
    if (n > 0) {
      c.outPos += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      loop_.SetEvents(c.watch, POLLOUT);
      if (!c.deadline) ArmDeadline(c);
      return;
    } else {
      break;  // the client went away
    }
  }
  ::shutdown(c.fd, SHUT_WR);
  Close(c.id);
}

void RequestServer::Close(std::uint64_t id) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& c = *it->second;
  if (c.watch) loop_.Unwatch(c.watch);
  if (c.deadline) loop_.CancelTimer(c.deadline);
  if (c.fd >= 0) ::close(c.fd);
  clients_.erase(it);
}

}  // namespace reposa::server
