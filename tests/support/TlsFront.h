#pragma once

// A TLS front for a plain peer, on a thread of its own: it takes TLS
// connections on a port of its own, and for each opens one to the plain
// port behind it and passes the bytes both ways, decrypted one way and
// encrypted the other; an end on either side ends the other (over TLS with
// a close_notify). So a test written against a plain FlapPeer runs the same
// against a TLS client, with the peer's side unchanged.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "FlapPeer.h"
#include "TlsWire.h"

namespace reposa::test {

class TlsFront {
 public:
  TlsFront(SslContext ctx, std::uint16_t behind) : ctx_(std::move(ctx)), behind_(behind) {
    thread_ = std::thread([this] { Run(); });
  }
  ~TlsFront() {
    stop_ = true;
    thread_.join();
  }
  TlsFront(const TlsFront&) = delete;
  TlsFront& operator=(const TlsFront&) = delete;

  std::uint16_t port() const { return front_.port(); }

 private:
  // One client: its TLS side, and the plain side to the peer behind.
  struct Pair {
    int tls = -1;
    int plain = -1;
    std::unique_ptr<TlsWire> wire;
    std::string toPlain, toTls;  // waiting to be written
    bool tlsEnded = false, plainEnded = false;
    bool closeTls = false;  // once toTls is out, the end goes too
    ~Pair() {
      ::close(tls);
      ::close(plain);
    }
  };

  void Run() {
    std::vector<std::unique_ptr<Pair>> pairs;
    while (!stop_) {
      std::vector<pollfd> fds{{front_.listenFd(), POLLIN, 0}};
      for (auto& p : pairs) {
        fds.push_back({p->tls, static_cast<short>(POLLIN | (p->toTls.empty() ? 0 : POLLOUT)), 0});
        fds.push_back(
            {p->plain, static_cast<short>(POLLIN | (p->toPlain.empty() ? 0 : POLLOUT)), 0});
      }
      ::poll(fds.data(), fds.size(), 10);
      if (fds[0].revents & POLLIN) pairs.push_back(Accept());
      for (auto& p : pairs) Pass(*p);
      std::erase_if(pairs, [](const std::unique_ptr<Pair>& p) {
        return p->tlsEnded && p->plainEnded && p->toTls.empty();
      });
    }
  }

  std::unique_ptr<Pair> Accept() {
    auto p = std::make_unique<Pair>();
    p->tls = ::accept4(front_.listenFd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (p->tls < 0) {
      p->tlsEnded = p->plainEnded = true;
      return p;
    }
    p->plain = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(behind_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(p->plain, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) p->plainEnded = true;
    p->wire = TlsWire::Server(ctx_);
    return p;
  }

  static bool Write(int fd, std::string& pending) {
    while (!pending.empty()) {
      const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      pending.erase(0, static_cast<std::size_t>(n));
    }
    return true;
  }

  void Pass(Pair& p) {
    char chunk[65536];
    if (!p.tlsEnded) {
      const ssize_t n = ::recv(p.tls, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0 &&
          !p.wire->Take(std::string_view(chunk, static_cast<std::size_t>(n)), p.toPlain, p.toTls))
        p.tlsEnded = true;
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) p.tlsEnded = true;
      if (p.tlsEnded && !p.plainEnded) {
        Write(p.plain, p.toPlain);
        ::shutdown(p.plain, SHUT_WR);
      }
    }
    if (!p.plainEnded && p.wire->ready()) {
      const ssize_t n = ::recv(p.plain, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) p.wire->Seal(std::string_view(chunk, static_cast<std::size_t>(n)), p.toTls);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        p.plainEnded = true;
        p.wire->Shutdown(p.toTls);
        p.closeTls = true;
      }
    }
    if (!Write(p.plain, p.toPlain)) p.plainEnded = true;
    if (!Write(p.tls, p.toTls)) p.toTls.clear();
    if (p.closeTls && p.toTls.empty()) {
      ::shutdown(p.tls, SHUT_WR);
      p.closeTls = false;
    }
  }

  SslContext ctx_;
  std::uint16_t behind_;
  FlapPeer front_;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

}  // namespace reposa::test
