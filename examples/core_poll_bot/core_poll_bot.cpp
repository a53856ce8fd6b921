// core_poll_bot: the echo bot with I/O of its own. SessionCore does no I/O:
// this program connects a TCP socket itself, waits on it with poll(2), hands
// every read to the core and writes what the core gives out. The same pattern
// fits any event loop (asio, libuv, a GUI toolkit's).
//
//   BOT_PASSWORD=secret core_poll_bot HOST PORT SCREEN_NAME
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kez/SessionCore.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

// A TCP socket connected to host:port, or -1 with errno set. It blocks while
// connecting, which a bot can afford.
int ConnectTcp(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    errno = EHOSTUNREACH;
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      const int error = errno;
      close(fd);
      fd = -1;
      errno = error;
    }
  }
  freeaddrinfo(found);
  return fd;
}

class Bot final : public kez::KezTOCSockEvents {
 public:
  Bot(std::string host, int port, std::string name, std::string password)
      : host_(std::move(host)),
        port_(port),
        name_(std::move(name)),
        password_(std::move(password)) {
    // What the core gives out waits here until the socket takes it.
    core_.SetSend([this](std::string_view bytes) { out_.append(bytes); });
    // LogOff, a failure or the server's close: the core wants the socket shut.
    core_.SetClose([this] { CloseSocket(); });
  }
  ~Bot() override { CloseSocket(); }

  int Run() {
    SignOn();
    while (!stopped_) {
      if (fd_ < 0) {  // offline: wait for the next attempt
        if (!retryAt_) return status_;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*retryAt_ - Clock::now());
        if (wait.count() > 0) {
          poll(nullptr, 0, static_cast<int>(wait.count()));
        } else {
          SignOn();
        }
        continue;
      }
      pollfd p{fd_, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return 1;
      if (p.revents & (POLLIN | POLLHUP | POLLERR)) Read();
      if (fd_ >= 0 && (p.revents & POLLOUT)) Write();
    }
    return status_;
  }

  void LoggedIn(const std::string& strUserName, Strings, Strings, Strings, Strings,
                const std::string&, int16_t) override {
    std::printf("signed on as %s\n", strUserName.c_str());
    std::fflush(stdout);
    wait_ = 1s;
  }
  void InstantMessage(const std::string& strUserName, const std::string& strMessage,
                      bool blnAutoResponse, const std::string&) override {
    if (!blnAutoResponse) core_.SendIM(strUserName, strMessage, true);
  }
  void Error(int16_t intErrorCode, const std::string& strError) override {
    std::fprintf(stderr, "error %d: %s\n", intErrorCode, strError.c_str());
    if (core_.State() != kez::SessionState::SigningOn) return;
    const kez::SignOnAdvice advice = kez::AdviseSignOnRetry(intErrorCode, strError);
    if (advice.retry == kez::SignOnRetry::Never) {
      stopped_ = true;
      status_ = 3;
    }
    wait_ = std::max(wait_, advice.atLeast);
  }
  void WinsockError(const std::string& strError) override { Lost(strError); }
  void ConnectionClosed() override { Lost("closed by the server"); }

 private:
  // Login stores the session and says where to connect; Opened, once
  // connected, starts the sign-on. A failed connect is reported to the core
  // like any failure, so the events say what happened.
  void SignOn() {
    retryAt_.reset();
    core_.Login(name_, password_, host_, port_);
    fd_ = ConnectTcp(core_.ServerHost(), core_.ServerPort());
    if (fd_ < 0) return core_.Failed(std::strerror(errno));
    core_.Opened();
  }
  void Lost(const std::string& why) {
    std::fprintf(stderr, "offline (%s); signing on again in %llds\n", why.c_str(),
                 static_cast<long long>(wait_.count()));
    retryAt_ = Clock::now() + wait_;
    wait_ = std::min<std::chrono::seconds>(wait_ * 2, 60s);
  }
  void Read() {
    char buffer[16384];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      core_.Receive(std::string_view(buffer, static_cast<std::size_t>(n)));
    } else if (n == 0) {
      core_.PeerClosed();
    } else if (errno != EINTR && errno != EAGAIN) {
      core_.Failed(std::strerror(errno));
    }
  }
  void Write() {
    const ssize_t n = send(fd_, out_.data(), out_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      out_.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      core_.Failed(std::strerror(errno));
    }
  }
  void CloseSocket() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    out_.clear();
  }

  kez::SessionCore core_{this};
  std::string host_;
  int port_;
  std::string name_;
  std::string password_;
  int fd_ = -1;
  std::string out_;
  std::optional<Clock::time_point> retryAt_;
  std::chrono::seconds wait_ = 1s;
  bool stopped_ = false;
  int status_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const char* password = std::getenv("BOT_PASSWORD");
  if (argc != 4 || password == nullptr) {
    std::fprintf(stderr, "usage: BOT_PASSWORD=... core_poll_bot HOST PORT SCREEN_NAME\n");
    return 2;
  }
  Bot bot(argv[1], std::atoi(argv[2]), argv[3], password);
  try {
    return bot.Run();
  } catch (const std::invalid_argument& e) {  // a name that cannot be sent
    std::fprintf(stderr, "core_poll_bot: %s\n", e.what());
    return 2;
  }
}
