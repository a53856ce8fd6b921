#pragma once

// A raw client for load drivers: one non-blocking loopback connection that
// queues what it sends and cuts what it receives into frames. Many of them
// share one poll() loop in the driver.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Wire.h"
#include "wire.h"

namespace kez::bench {

struct PeerFrame {
  int type = 0;
  std::string_view payload;  // valid until the next call on the peer
};

class FlapPeer {
 public:
  explicit FlapPeer(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~FlapPeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  FlapPeer(const FlapPeer&) = delete;
  FlapPeer& operator=(const FlapPeer&) = delete;

  int fd() const { return fd_; }
  bool closed() const { return closed_; }
  bool wantsWrite() const { return outPos_ < out_.size(); }

  void SendRaw(std::string_view bytes) {
    out_.append(bytes);
    Flush();
  }
  // A command line in a data frame, closed by a NUL as the control sends it.
  void SendLine(std::string_view line) {
    QueueLine(line);
    Flush();
  }
  // The same, written with whatever else is queued at the next Flush().
  void QueueLine(std::string_view line) {
    std::string payload(line);
    payload.push_back('\0');
    out_.append(test::Frame(2, payload, seq_++ & 0xffff));
  }
  // The opening, then (once the server's sign-on frame is in) the client's
  // sign-on frame and the login line.
  void SendOpening() { SendRaw("FLAPON\n\n"); }
  void SendSignOn(std::string_view name, std::string_view password) {
    const std::string normal = wire::NormalizeName(name);
    std::string p("\0\0\0\1\0\1", 6);
    p.push_back(static_cast<char>(normal.size() >> 8));
    p.push_back(static_cast<char>(normal.size() & 0xff));
    p += normal;
    SendRaw(test::Frame(1, p, seq_++ & 0xffff));
    SendLine("toc2_login login.toc.localhost 5190 " + normal + " " +
             wire::RoastPassword(std::string(password)) +
             " English \"KezTOCSock 2.0\" 160 US \"\" \"\" 3 0 30303 -kentucky -utf8 58203917");
  }

  void Flush() {
    while (outPos_ < out_.size()) {
      const ssize_t n = ::send(fd_, out_.data() + outPos_, out_.size() - outPos_, MSG_NOSIGNAL);
      if (n > 0) {
        outPos_ += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) closed_ = true;
        break;
      }
    }
    if (outPos_ == out_.size()) {
      out_.clear();
      outPos_ = 0;
    }
  }
  // Reads what the socket holds now; false once the server has closed.
  bool Receive() {
    Compact();
    char chunk[65536];
    for (;;) {
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n > 0) {
        in_.append(chunk, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < sizeof chunk) return true;
      } else if (n == 0) {
        closed_ = true;
        return false;
      } else if (errno == EINTR) {
        continue;
      } else {
        if (errno != EAGAIN && errno != EWOULDBLOCK) closed_ = true;
        return !closed_;
      }
    }
  }
  // Bytes read for this peer elsewhere (a batch of reads).
  void Feed(std::string_view bytes) {
    Compact();
    in_.append(bytes);
  }
  // The next whole frame received, if any; data payloads lose their NUL.
  std::optional<PeerFrame> Next() {
    const std::string_view rest = std::string_view(in_).substr(inPos_);
    if (rest.size() < 6) return std::nullopt;
    const std::size_t length =
        static_cast<unsigned char>(rest[4]) << 8 | static_cast<unsigned char>(rest[5]);
    if (rest.size() < 6 + length) return std::nullopt;
    inPos_ += 6 + length;
    PeerFrame f{static_cast<unsigned char>(rest[1]), rest.substr(6, length)};
    if (!f.payload.empty() && f.payload.back() == '\0') f.payload.remove_suffix(1);
    return f;
  }

 private:
  void Compact() {
    if (inPos_ > 0 && inPos_ == in_.size()) {
      in_.clear();
      inPos_ = 0;
    } else if (inPos_ > (1 << 16)) {
      in_.erase(0, inPos_);
      inPos_ = 0;
    }
  }

  int fd_ = -1;
  int seq_ = 0;
  std::string out_;
  std::size_t outPos_ = 0;
  std::string in_;
  std::size_t inPos_ = 0;
  bool closed_ = false;
};

}  // namespace kez::bench
