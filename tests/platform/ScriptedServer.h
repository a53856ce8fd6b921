#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "LoopbackServer.h"
#include "Wire.h"

namespace kez::test {

// The server end of one accepted connection, driven with blocking calls and
// a five-second bound on every read, for a test thread playing the server.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(int listenFd) {
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, 5000) == 1) fd_ = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    timeval tv{5, 0};
    if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~ScriptedPeer() { Close(); }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::optional<std::string> Read(std::size_t n) {
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) return std::nullopt;
      got += static_cast<std::size_t>(r);
    }
    return out;
  }
  struct Frame {
    int type;
    std::string payload;
  };
  std::optional<Frame> ReadFrame() {
    auto header = Read(6);
    if (!header || (*header)[0] != '*') return std::nullopt;
    const std::size_t length =
        static_cast<unsigned char>((*header)[4]) * 256u + static_cast<unsigned char>((*header)[5]);
    auto payload = Read(length);
    if (!payload) return std::nullopt;
    return Frame{static_cast<unsigned char>((*header)[1]), *payload};
  }
  void Send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

 private:
  int fd_ = -1;
};

}  // namespace kez::test
