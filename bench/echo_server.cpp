// The floor the server's relay and fan-out are weighed against: the least a
// relay can do. It cuts the frames each connection sends and writes every
// frame to each connection of the sender's group, with one epoll loop and
// one send() per connection per turn. A connection starts in a group of its
// own, so by default this is an echo; a frame of type 9 moves it to the group
// its payload names and is answered with itself. No sign-on, no names, no
// storage: what remains is the kernel's work of moving the same messages.
//
//   bench_echo [--listen 127.0.0.1:0]     says "listening on 127.0.0.1:PORT"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kGroupFrame = 9;
constexpr std::size_t kHeader = 6;

struct Conn {
  int fd = -1;
  std::string in;
  std::string out;
  std::size_t outPos = 0;
  std::string group;
  bool dirty = false;    // has output queued this turn
  bool writing = false;  // waits for EPOLLOUT
};

class Echo {
 public:
  explicit Echo(int listenFd) : listen_(listenFd), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) throw std::runtime_error("epoll_create1 failed");
    Control(EPOLL_CTL_ADD, listen_, kListener, EPOLLIN);
  }

  void Run() {
    epoll_event ready[256];
    for (;;) {
      const int n = ::epoll_wait(epoll_, ready, 256, -1);
      if (n < 0 && errno != EINTR) throw std::runtime_error("epoll_wait failed");
      for (int k = 0; k < n; ++k) {
        const int fd = static_cast<int>(ready[k].data.u64);
        if (fd == kListener) {
          Accept();
          continue;
        }
        auto it = conns_.find(fd);
        if (it == conns_.end()) continue;
        Conn& c = *it->second;
        if (ready[k].events & EPOLLOUT) Flush(c);
        if (ready[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) Read(c);
      }
      for (Conn* c : touched_) Flush(*c);
      touched_.clear();
      for (int fd : closing_) Drop(fd);
      closing_.clear();
    }
  }

 private:
  static constexpr int kListener = -1;

  void Control(int op, int fd, int key, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = static_cast<std::uint64_t>(static_cast<std::int64_t>(key));
    if (::epoll_ctl(epoll_, op, fd, &event) != 0) throw std::runtime_error("epoll_ctl failed");
  }

  void Accept() {
    for (;;) {
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      auto c = std::make_unique<Conn>();
      c->fd = fd;
      c->group = "#" + std::to_string(fd);
      groups_[c->group].push_back(c.get());
      Control(EPOLL_CTL_ADD, fd, fd, EPOLLIN);
      conns_[fd] = std::move(c);
    }
  }

  void Read(Conn& c) {
    char chunk[65536];
    for (;;) {
      const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
      if (n > 0) {
        c.in.append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closing_.push_back(c.fd);
      break;
    }
    std::size_t pos = 0;
    while (c.in.size() - pos >= kHeader) {
      const auto* h = reinterpret_cast<const unsigned char*>(c.in.data() + pos);
      const std::size_t size = kHeader + (std::size_t{h[4]} << 8 | h[5]);
      if (c.in.size() - pos < size) break;
      const std::string_view frame(c.in.data() + pos, size);
      if (h[1] == kGroupFrame) {
        Regroup(c, std::string(frame.substr(kHeader)));
        Queue(c, frame);
      } else {
        for (Conn* to : groups_[c.group]) Queue(*to, frame);
      }
      pos += size;
    }
    c.in.erase(0, pos);
  }

  void Regroup(Conn& c, std::string group) {
    Leave(c);
    c.group = std::move(group);
    groups_[c.group].push_back(&c);
  }
  void Leave(Conn& c) {
    auto& members = groups_[c.group];
    members.erase(std::remove(members.begin(), members.end(), &c), members.end());
    if (members.empty()) groups_.erase(c.group);
  }

  void Queue(Conn& c, std::string_view bytes) {
    c.out.append(bytes);
    if (!c.dirty) touched_.push_back(&c);
    c.dirty = true;
  }

  void Flush(Conn& c) {
    c.dirty = false;
    while (c.outPos < c.out.size()) {
      const ssize_t n =
          ::send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL);
      if (n > 0) {
        c.outPos += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) closing_.push_back(c.fd);
        break;
      }
    }
    if (c.outPos == c.out.size()) {
      c.out.clear();
      c.outPos = 0;
    }
    const bool waiting = c.outPos < c.out.size();
    if (waiting != c.writing) {
      c.writing = waiting;
      Control(EPOLL_CTL_MOD, c.fd, c.fd, waiting ? EPOLLIN | EPOLLOUT : EPOLLIN);
    }
  }

  void Drop(int fd) {
    auto it = conns_.find(fd);
    if (it == conns_.end()) return;
    Conn& c = *it->second;
    Leave(c);
    // A connection dropped this turn may still be queued for a flush.
    touched_.erase(std::remove(touched_.begin(), touched_.end(), &c), touched_.end());
    ::close(fd);
    conns_.erase(it);
  }

  int listen_;
  int epoll_;
  std::map<int, std::unique_ptr<Conn>> conns_;
  std::map<std::string, std::vector<Conn*>> groups_;
  std::vector<Conn*> touched_;
  std::vector<int> closing_;
};

int Listen(const std::string& address) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) throw std::invalid_argument("--listen wants HOST:PORT");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(std::stoi(address.substr(colon + 1))));
  if (::inet_pton(AF_INET, address.substr(0, colon).c_str(), &a.sin_addr) != 1)
    throw std::invalid_argument("--listen wants an IPv4 address");
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t length = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd, 4096) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
    throw std::runtime_error("cannot listen on " + address);
  char host[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
  std::fprintf(stderr, "bench_echo: listening on %s:%d\n", host, ntohs(a.sin_port));
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::string address = "127.0.0.1:0";
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--listen" && i + 1 < argc)
        address = argv[++i];
      else
        throw std::invalid_argument("usage: bench_echo [--listen HOST:PORT]");
    }
    Echo(Listen(address)).Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_echo: %s\n", e.what());
    return 1;
  }
}
