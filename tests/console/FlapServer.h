#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Wire.h"

namespace reposa::console::test {

// Just enough of a TOC server for one client on 127.0.0.1: the sign-on
// exchange, then it sends messages and reads the client's command lines.
// Every read waits a few seconds at most.
class FlapServer {
 public:
  struct Frame {
    int type = 0;
    std::string payload;
  };

  FlapServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 4) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(a.sin_port);
  }
  ~FlapServer() {
    Close();
    ::close(listen_);
  }
  FlapServer(const FlapServer&) = delete;
  FlapServer& operator=(const FlapServer&) = delete;

  int port() const { return port_; }

  bool Accept() {
    if (!Wait(listen_)) return false;
    conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return conn_ >= 0;
  }
  void Close() {
    if (conn_ >= 0) ::close(conn_);
    conn_ = -1;
  }

  std::optional<std::string> Read(std::size_t n) {
    while (in_.size() < n) {
      if (!Wait(conn_)) return std::nullopt;
      char buffer[65536];
      const ssize_t got = ::read(conn_, buffer, sizeof buffer);
      if (got <= 0) return std::nullopt;
      in_.append(buffer, static_cast<std::size_t>(got));
    }
    std::string out = in_.substr(0, n);
    in_.erase(0, n);
    return out;
  }

  std::optional<Frame> ReadFrame() {
    const std::optional<std::string> header = Read(6);
    if (!header || (*header)[0] != '*') return std::nullopt;
    const std::size_t length =
        (static_cast<unsigned char>((*header)[4]) << 8) | static_cast<unsigned char>((*header)[5]);
    std::optional<std::string> payload = Read(length);
    if (!payload) return std::nullopt;
    return Frame{static_cast<unsigned char>((*header)[1]), std::move(*payload)};
  }

  // The next command line the client sends, without its closing NUL.
  std::optional<std::string> ReadCommand() {
    std::optional<Frame> frame = ReadFrame();
    if (!frame || frame->type != 2 || !frame->payload.ends_with('\0')) return std::nullopt;
    frame->payload.pop_back();
    return frame->payload;
  }

  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send to the client failed");
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void SendMessage(std::string_view message) { Send(kez::test::Data(message, seq_++)); }

  // Accepts the client and takes it through sign-on up to its toc_init_done;
  // `login` receives the client's toc2_login line.
  bool SignOn(std::string& login,
              std::string_view config = "CONFIG2:m:1\ng:Buddies\nb:pal\ndone:\n") {
    if (!Accept() || Read(8) != "FLAPON\n\n") return false;
    Send(kez::test::Frame(1, std::string("\0\0\0\1", 4), seq_++));
    const std::optional<Frame> signOn = ReadFrame();
    if (!signOn || signOn->type != 1) return false;
    const std::optional<std::string> line = ReadCommand();
    if (!line) return false;
    login = *line;
    SendMessage("SIGN_ON:TOC2.0");
    SendMessage("NICK:Some Body");
    SendMessage(config);
    return ReadCommand() == "toc_init_done";
  }

 private:
  static bool Wait(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1;
  }

  int listen_ = -1;
  int conn_ = -1;
  int port_ = 0;
  int seq_ = 0;
  std::string in_;
};

}  // namespace reposa::console::test
