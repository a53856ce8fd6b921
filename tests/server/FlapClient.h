#pragma once

// A raw client for the loopback tests: blocking connect, then reads bounded
// by a deadline. Speaks FLAP by hand so the tests spell out the wire.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.h"
#include "wire.h"

namespace reposa::server::test {

using namespace std::chrono_literals;

struct ClientFrame {
  int type = 0;
  std::string payload;
};

inline std::string FlapFrame(int type, std::string_view payload, int seq = 0) {
  std::string f{'*',
                static_cast<char>(type),
                static_cast<char>(seq >> 8),
                static_cast<char>(seq & 0xff),
                static_cast<char>(payload.size() >> 8),
                static_cast<char>(payload.size() & 0xff)};
  f.append(payload);
  return f;
}

// The client's sign-on frame payload: version 1, tag 1, name length, name.
inline std::string SignOnPayload(std::string_view name) {
  std::string p("\0\0\0\1\0\1", 6);
  p.push_back(static_cast<char>(name.size() >> 8));
  p.push_back(static_cast<char>(name.size() & 0xff));
  p.append(name);
  return p;
}

// The login line exactly as the session control builds it.
inline std::string LoginLine(std::string_view name, std::string_view password) {
  return "toc2_login login.toc.localhost 5190 " + kez::wire::NormalizeName(name) + " " +
         kez::wire::RoastPassword(password) +
         " English  \"KezTOCSock 2.0\" 160 US \"\" \"\" 3 0 30303 -kentucky -utf8 58203917";
}

class FlapClient {
 public:
  // `from`: the loopback address to connect from (127.0.0.0/8), so tests can
  // play clients of different addresses.
  explicit FlapClient(std::uint16_t port, const char* from = nullptr) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      ::inet_pton(AF_INET, from, &local.sin_addr);
      if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        throw std::runtime_error("cannot bind to " + std::string(from));
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("cannot connect to the server");
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~FlapClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  FlapClient(const FlapClient&) = delete;
  FlapClient& operator=(const FlapClient&) = delete;

  int fd() const { return fd_; }
  void ShrinkReceiveBuffer() {
    const int size = 4096;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }

  // False when the server has closed or reset the connection.
  bool SendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  bool SendFrame(int type, std::string_view payload) { return SendRaw(FlapFrame(type, payload)); }
  // A command line in a data frame, with the closing NUL the client adds.
  bool SendLine(std::string_view line) {
    std::string payload(line);
    payload.push_back('\0');
    return SendFrame(2, payload);
  }

  // The next frame, or nullopt on timeout or once the connection is closed.
  std::optional<ClientFrame> ReadFrame(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      if (buffer_.size() >= 6) {
        const std::size_t length =
            static_cast<unsigned char>(buffer_[4]) << 8 | static_cast<unsigned char>(buffer_[5]);
        if (buffer_.size() >= 6 + length) {
          ClientFrame f{static_cast<unsigned char>(buffer_[1]), buffer_.substr(6, length)};
          buffer_.erase(0, 6 + length);
          return f;
        }
      }
      if (closed_ || !Fill(deadline)) return std::nullopt;
    }
  }

  // Data messages until one starts with `prefix` (keep-alives and other
  // messages are skipped, and kept in `skipped`). Empty on timeout.
  std::string Expect(std::string_view prefix, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      std::optional<ClientFrame> f = ReadFrame(left);
      if (!f) return {};
      if (f->type == 2 && std::string_view(f->payload).starts_with(prefix)) return f->payload;
      skipped.push_back(f->payload);
    }
  }

  // Reads until the server closes the connection; false on timeout.
  bool WaitClosed(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!closed_)
      if (!Fill(deadline)) return closed_;
    return true;
  }

  // Opening, sign-on frame and login; returns the first message (SIGN_ON or
  // ERROR) and leaves the rest unread.
  std::string StartSignOn(std::string_view name, std::string_view password) {
    SendRaw("FLAPON\n\n");
    std::optional<ClientFrame> hello = ReadFrame();
    if (!hello || hello->type != 1) return "no sign-on frame";
    SendFrame(1, SignOnPayload(kez::wire::NormalizeName(name)));
    SendLine(LoginLine(name, password));
    std::optional<ClientFrame> f = ReadFrame();
    return f ? f->payload : std::string("closed");
  }

  // A whole sign-on up to toc_init_done; the stored configuration text (the
  // CONFIG2 messages joined, names dropped) goes to `config`.
  bool SignOn(std::string_view name, std::string_view password = "secret",
              std::string* config = nullptr, std::size_t* configMessages = nullptr) {
    if (StartSignOn(name, password) != "SIGN_ON:TOC2.0") return false;
    if (Expect("NICK:").empty()) return false;
    std::string text;
    std::size_t count = 0;
    while (text.find("done:\n") == std::string::npos) {
      const std::string m = Expect("CONFIG2:");
      if (m.empty()) return false;
      text += m.substr(8);
      ++count;
    }
    if (config) *config = text;
    if (configMessages) *configMessages = count;
    return SendLine("toc_init_done");
  }

  std::vector<std::string> skipped;

 private:
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string buffer_;
  bool closed_ = false;
};

}  // namespace reposa::server::test
