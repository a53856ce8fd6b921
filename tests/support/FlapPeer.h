#pragma once

// The far end of one FLAP connection on 127.0.0.1, for tests and drivers
// that spell out the wire: it listens (playing the server for a client under
// test) or connects (playing a client of reposa-server), sends frames and
// reads them with a bound on every wait, and scripts the sign-on of either
// side. A driver watching many peers in one poll() loop uses a QueuingPeer
// and its Flush(), Receive() and Next() instead of the waiting calls.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "TlsWire.h"
#include "Wire.h"
#include "wire.h"

namespace reposa::test {

using namespace std::chrono_literals;

struct PeerFrame {
  int type = 0;
  std::string payload;
};

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

class FlapPeer {
 public:
  using Clock = std::chrono::steady_clock;

  // Listens on a port the system picks; Accept() takes the next client.
  FlapPeer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 16) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ::close(listen_);
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(a.sin_port);
  }
  // Connects to `port`; `from` is the loopback address to connect from
  // (127.0.0.0/8), so tests can play clients of different addresses.
  explicit FlapPeer(std::uint16_t port, const char* from = nullptr) : port_(port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (from && (::inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
                 ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)) {
      ::close(fd_);
      throw std::runtime_error("cannot bind to " + std::string(from));
    }
    const sockaddr_in a = Loopback(port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~FlapPeer() {
    Close();
    Shut();
  }
  FlapPeer(const FlapPeer&) = delete;
  FlapPeer& operator=(const FlapPeer&) = delete;

  // Sends queue what the socket does not take at once (Flush() sends more)
  // instead of waiting for it.
  bool queue = false;
  // Data messages Expect() passed over.
  std::vector<std::string> skipped;

  std::uint16_t port() const { return port_; }
  int fd() const { return fd_; }
  int listenFd() const { return listen_; }
  bool ok() const { return fd_ >= 0; }
  bool closed() const { return closed_; }
  bool wantsWrite() const { return outPos_ < out_.size(); }

  // Takes the next client, closing the connection before it.
  bool Accept(std::chrono::milliseconds bound = 5s) {
    Close();
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(bound.count())) == 1)
      fd_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd_ >= 0 && serverTls_) tls_ = TlsWire::Server(serverTls_);
    return fd_ >= 0;
  }

  // The clients accepted from now on speak TLS with this end as the server.
  void ServeTls(SslContext ctx) { serverTls_ = std::move(ctx); }
  // This client's connection speaks TLS from now on, for `host`; `resume`
  // offers an earlier session. The handshake moves on as bytes are read.
  void StartTls(const SslContext& ctx, const std::string& host, SSL_SESSION* resume = nullptr) {
    tls_ = TlsWire::Client(ctx, host, resume);
    tls_->Start(out_);
    Flush();
  }
  // The connection's TLS, or null when it is plain.
  TlsWire* tls() const { return tls_.get(); }
  // An orderly close of this end's side (over TLS, a close_notify first).
  void Hangup() {
    if (tls_) {
      tls_->Shutdown(out_);
      Flush();
    }
    ::shutdown(fd_, SHUT_WR);
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    tls_.reset();
    in_.clear();
    inPos_ = 0;
    out_.clear();
    outPos_ = 0;
    closed_ = false;
    seq_ = 0;
  }
  // Closes the listener so the port refuses connections.
  void Shut() {
    if (listen_ >= 0) ::close(listen_);
    listen_ = -1;
  }
  void ShrinkReceiveBuffer() {
    const int size = 4096;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }

  // Sends `bytes`, waiting (within a bound) until the socket took them all
  // unless `queue` is set; false once the other side has gone.
  bool SendRaw(std::string_view bytes) {
    Seal(bytes);
    Flush();
    const auto deadline = Clock::now() + 5s;
    while (!queue && !closed_ && wantsWrite() && Clock::now() < deadline) {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 100);
      Flush();
    }
    return !closed_ && (queue || !wantsWrite());
  }
  // A frame with this end's next sequence number.
  bool SendFrame(int type, std::string_view payload) {
    const int seq = seq_;
    seq_ = (seq_ + 1) & 0xffff;
    return SendRaw(kez::test::Frame(type, payload, seq));
  }
  // A server's message: a data frame.
  bool SendMessage(std::string_view message) { return SendFrame(2, message); }
  // A client's command line: a data frame closed by a NUL.
  bool SendLine(std::string_view line) {
    QueueLine(line);
    return SendRaw({});
  }
  // Bytes written with whatever else is queued at the next send or Flush().
  void QueueRaw(std::string_view bytes) { out_.append(bytes); }
  // The same, written with whatever else is queued at the next send or Flush().
  void QueueLine(std::string_view line) {
    std::string payload(line);
    payload.push_back('\0');
    Seal(kez::test::Frame(2, payload, seq_));
    seq_ = (seq_ + 1) & 0xffff;
  }
  void Flush() {
    while (outPos_ < out_.size()) {
      const ssize_t n =
          ::send(fd_, out_.data() + outPos_, out_.size() - outPos_, MSG_NOSIGNAL | MSG_DONTWAIT);
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

  // Reads what the socket holds now; false once the other side has closed.
  bool Receive() {
    Compact();
    char chunk[65536];
    for (;;) {
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        Take(std::string_view(chunk, static_cast<std::size_t>(n)));
        if (closed_) return false;
      } else if (n == 0) {
        closed_ = true;
        return false;
      } else if (errno != EINTR) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) closed_ = true;
        return !closed_;
      }
    }
  }
  // Bytes read for this peer elsewhere (a driver's batch of reads).
  void Feed(std::string_view bytes) {
    Compact();
    Take(bytes);
  }
  // The next whole frame received so far, if any; a data frame loses the
  // NUL that closes a command line, so both ends read as text.
  std::optional<PeerFrame> Next() {
    std::optional<PeerFrame> f = Cut();
    if (f && f->type == 2 && f->payload.ends_with('\0')) f->payload.pop_back();
    return f;
  }

  // For a driver that speaks a line protocol to a server of another kind:
  // the next whole line received so far, without its line end (LF or CRLF).
  std::optional<std::string> NextLine() {
    const std::size_t end = in_.find('\n', inPos_);
    if (end == std::string::npos) return std::nullopt;
    std::string line = in_.substr(inPos_, end - inPos_);
    inPos_ = end + 1;
    if (line.ends_with('\r')) line.pop_back();
    return line;
  }
  // The next `n` bytes, or nothing when they do not come within the bound.
  std::optional<std::string> Read(std::size_t n, std::chrono::milliseconds bound = 5s) {
    const auto deadline = Clock::now() + bound;
    while (in_.size() - inPos_ < n)
      if (!Fill(deadline)) return std::nullopt;
    std::string out = in_.substr(inPos_, n);
    inPos_ += n;
    return out;
  }
  // The next frame, or nothing on timeout, at the end, or when the bytes
  // are not a frame.
  std::optional<PeerFrame> ReadFrame(std::chrono::milliseconds bound = 5s) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
      if (inPos_ < in_.size() && in_[inPos_] != '*') return std::nullopt;
      if (std::optional<PeerFrame> f = Cut()) return f;
      if (!Fill(deadline)) return std::nullopt;
    }
  }
  // The next command line the client sends, without its closing NUL.
  std::optional<std::string> ReadCommand(std::chrono::milliseconds bound = 5s) {
    std::optional<PeerFrame> frame = ReadFrame(bound);
    if (!frame || frame->type != 2 || !frame->payload.ends_with('\0')) return std::nullopt;
    frame->payload.pop_back();
    return frame->payload;
  }
  // Data messages until one starts with `prefix` (the others go to
  // `skipped`); empty on timeout.
  std::string Expect(std::string_view prefix, std::chrono::milliseconds bound = 5s) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return {};
      std::optional<PeerFrame> f = ReadFrame(left);
      if (!f) return {};
      if (f->type == 2 && std::string_view(f->payload).starts_with(prefix)) return f->payload;
      skipped.push_back(f->payload);
    }
  }
  // Reads until the other side closes the connection; false on timeout.
  bool WaitClosed(std::chrono::milliseconds bound = 5s) {
    const auto deadline = Clock::now() + bound;
    while (!closed_)
      if (!Fill(deadline)) return closed_;
    return true;
  }

  // The server's part: accepts the client and takes it through sign-on up
  // to its toc_init_done; `login` receives the client's toc2_login line.
  bool ServeSignOn(std::string& login,
                   std::string_view config = "CONFIG2:m:1\ng:Buddies\nb:pal\ndone:\n") {
    if (!Accept() || Read(8) != "FLAPON\n\n") return false;
    SendFrame(1, std::string("\0\0\0\1", 4));
    const std::optional<PeerFrame> signOn = ReadFrame();
    if (!signOn || signOn->type != 1) return false;
    const std::optional<std::string> line = ReadCommand();
    if (!line) return false;
    login = *line;
    SendMessage("SIGN_ON:TOC2.0");
    SendMessage("NICK:Some Body");
    SendMessage(config);
    return ReadCommand() == "toc_init_done";
  }

  // The client's part, without waiting: the opening, then (once the
  // server's sign-on frame is in) the sign-on frame and the login line.
  void SendOpening() { SendRaw("FLAPON\n\n"); }
  void SendSignOn(std::string_view name, std::string_view password) {
    SendFrame(1, SignOnPayload(kez::wire::NormalizeName(name)));
    SendLine(LoginLine(name, password));
  }
  // Opening, sign-on frame and login; the first message (SIGN_ON or ERROR),
  // the rest left unread.
  std::string StartSignOn(std::string_view name, std::string_view password) {
    SendOpening();
    std::optional<PeerFrame> hello = ReadFrame();
    if (!hello || hello->type != 1) return "no sign-on frame";
    SendSignOn(name, password);
    std::optional<PeerFrame> f = ReadFrame();
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

 private:
  static sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  // Plain bytes onto the wire: as they are, or sealed by TLS.
  void Seal(std::string_view bytes) {
    if (tls_)
      tls_->Seal(bytes, out_);
    else
      out_.append(bytes);
  }
  // Bytes off the wire: as they are, or opened by TLS, whose answers (the
  // handshake's) go out at once; the end of TLS is the end.
  void Take(std::string_view bytes) {
    if (!tls_) {
      in_.append(bytes);
      return;
    }
    if (!tls_->Take(bytes, in_, out_)) closed_ = true;
    if (wantsWrite()) Flush();
  }
  void Compact() {
    if (inPos_ > 0 && inPos_ == in_.size()) {
      in_.clear();
      inPos_ = 0;
    } else if (inPos_ > (1 << 16)) {
      in_.erase(0, inPos_);
      inPos_ = 0;
    }
  }
  std::optional<PeerFrame> Cut() {
    const std::string_view rest = std::string_view(in_).substr(inPos_);
    if (rest.size() < 6) return std::nullopt;
    const std::size_t length =
        static_cast<unsigned char>(rest[4]) << 8 | static_cast<unsigned char>(rest[5]);
    if (rest.size() < 6 + length) return std::nullopt;
    inPos_ += 6 + length;
    return PeerFrame{static_cast<unsigned char>(rest[1]), std::string(rest.substr(6, length))};
  }
  // One wait for bytes, until `deadline` at most; false on timeout or once
  // the other side has closed.
  bool Fill(Clock::time_point deadline) {
    if (closed_ || fd_ < 0) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    const std::size_t before = in_.size() - inPos_;
    Receive();
    // Over TLS a read may bring no plain byte (a session ticket): only the
    // end stops the wait.
    return in_.size() - inPos_ > before || !closed_;
  }

  int listen_ = -1;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  int seq_ = 0;
  std::string in_;
  std::size_t inPos_ = 0;
  std::string out_;
  std::size_t outPos_ = 0;
  bool closed_ = false;
  std::unique_ptr<TlsWire> tls_;
  SslContext serverTls_;
};

// Sends never wait: what the socket does not take stays queued for Flush().
struct QueuingPeer : FlapPeer {
  explicit QueuingPeer(std::uint16_t port, const char* from = nullptr) : FlapPeer(port, from) {
    queue = true;
    ::fcntl(fd(), F_SETFL, O_NONBLOCK);  // for reads a driver makes itself
  }
};

}  // namespace reposa::test
