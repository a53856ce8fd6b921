// echo_bot: keeps one account signed on and answers every instant message
// with the same text. KezTOCSock on the posix event loop: when commands may
// be sent, and how to sign on again after the connection is lost.
//
//   BOT_PASSWORD=secret echo_bot HOST PORT SCREEN_NAME
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kez/KezTOCSock.h"
#include "kez/posix/EventLoop.h"
#include "kez/posix/PosixSocket.h"

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

class EchoBot final : public kez::KezTOCSockEvents {
 public:
  EchoBot(kez::posix::EventLoop& loop, std::string host, int port, std::string name,
          std::string password)
      : loop_(loop),
        control_(std::make_unique<kez::posix::PosixSocket>(loop), this),
        host_(std::move(host)),
        port_(port),
        name_(std::move(name)),
        password_(std::move(password)) {}

  // Returns at once; the events tell how it goes.
  void SignOn() { control_.Login(name_, password_, host_, port_); }
  int ExitStatus() const { return status_; }

  // The sign-on is complete: from here on commands are acted on.
  void LoggedIn(const std::string& strUserName, Strings, Strings, Strings, Strings,
                const std::string&, int16_t) override {
    std::printf("signed on as %s\n", strUserName.c_str());
    std::fflush(stdout);
    wait_ = 1s;
  }

  // Answered as an automatic reply, and automatic replies are never
  // answered, so two bots cannot echo each other for ever.
  void InstantMessage(const std::string& strUserName, const std::string& strMessage,
                      bool blnAutoResponse, const std::string&) override {
    if (!blnAutoResponse) control_.SendIM(strUserName, strMessage, true);
  }

  // During the sign-on an error says whether signing on again can help.
  void Error(int16_t intErrorCode, const std::string& strError) override {
    std::fprintf(stderr, "error %d: %s\n", intErrorCode, strError.c_str());
    if (control_.State() != kez::SessionState::SigningOn) return;
    const kez::SignOnAdvice advice = kez::AdviseSignOnRetry(intErrorCode, strError);
    if (advice.retry == kez::SignOnRetry::Never) {
      status_ = 3;
      loop_.Stop();
    }
    wait_ = std::max(wait_, advice.atLeast);
  }

  void WinsockError(const std::string& strError) override { Lost(strError); }
  void ConnectionClosed() override { Lost("closed by the server"); }

 private:
  // The control never retries by itself: sign on again after a wait that
  // doubles up to a minute, and starts over at a second once signed on.
  void Lost(const std::string& why) {
    if (loop_.Stopped()) return;
    std::fprintf(stderr, "offline (%s); signing on again in %llds\n", why.c_str(),
                 static_cast<long long>(wait_.count()));
    loop_.AddTimer(
        wait_, [this] { SignOn(); }, /*repeat=*/false);
    wait_ = std::min<std::chrono::seconds>(wait_ * 2, 60s);
  }

  kez::posix::EventLoop& loop_;
  kez::KezTOCSock control_;
  std::string host_;
  int port_;
  std::string name_;
  std::string password_;
  std::chrono::seconds wait_ = 1s;
  int status_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const char* password = std::getenv("BOT_PASSWORD");
  if (argc != 4 || password == nullptr) {
    std::fprintf(stderr, "usage: BOT_PASSWORD=... echo_bot HOST PORT SCREEN_NAME\n");
    return 2;
  }
  kez::posix::EventLoop loop;
  EchoBot bot(loop, argv[1], std::atoi(argv[2]), argv[3], password);
  try {
    bot.SignOn();
  } catch (const std::invalid_argument& e) {  // a name that cannot be sent
    std::fprintf(stderr, "echo_bot: %s\n", e.what());
    return 2;
  }
  loop.Run();
  return bot.ExitStatus();
}
