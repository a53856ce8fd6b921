// Signs two accounts on to a TOC2 server with the installed control and its
// posix socket, sends an IM from one to the other, and exits 0 once it has
// arrived. Usage: kez_consumer HOST:PORT
#include <cstdio>
#include <memory>
#include <string>

#include "kez/KezTOCSock.h"
#include "kez/host/Address.h"
#include "kez/posix/EventLoop.h"
#include "kez/posix/PosixSocket.h"

namespace {

struct Account : kez::KezTOCSockEvents {
  Account(kez::posix::EventLoop& loop, std::string name)
      : name(std::move(name)), control(std::make_unique<kez::posix::PosixSocket>(loop), this) {}

  void LoggedIn(const std::string&, std::vector<std::string>, std::vector<std::string>,
                std::vector<std::string>, std::vector<std::string>, const std::string&,
                int16_t) override {
    signedOn = true;
  }
  void InstantMessage(const std::string& from, const std::string& text, bool,
                      const std::string&) override {
    received = from + ": " + text;
  }
  void Error(int16_t code, const std::string&) override { lastError = code; }
  void WinsockError(const std::string& text) override { failure = text; }
  void ConnectionClosed() override { failure = "connection closed"; }

  std::string name;
  kez::KezTOCSock control;
  bool signedOn = false;
  int lastError = 0;
  std::string received;
  std::string failure;
};

}  // namespace

int main(int argc, char** argv) {
  kez::host::Address server;
  try {
    if (argc != 2) throw kez::host::AddressError("one address expected");
    server = kez::host::ParseAddress(argv[1], {});
  } catch (const kez::host::AddressError& e) {
    std::fprintf(stderr, "usage: kez_consumer HOST:PORT (%s)\n", e.what());
    return 2;
  }
  kez::posix::EventLoop loop;
  Account alice(loop, "alice");
  Account bob(loop, "bob");
  for (Account* a : {&alice, &bob}) a->control.Login(a->name, "secret", server.host, server.port);

  // The IM goes out once both are on, and again while the server does not
  // count bob online yet (it learns so only after his sign-on completes).
  bool sent = false;
  auto deadline = kez::posix::EventLoop::Clock::now() + std::chrono::seconds(20);
  while (bob.received.empty() && alice.failure.empty() && bob.failure.empty() &&
         kez::posix::EventLoop::Clock::now() < deadline) {
    loop.RunOnce(std::chrono::milliseconds(50));
    if (alice.signedOn && bob.signedOn && (!sent || alice.lastError != 0)) {
      alice.lastError = 0;
      alice.control.SendIM("bob", "hello from outside", false);
      sent = true;
    }
  }
  if (bob.received != "alice: hello from outside") {
    std::fprintf(stderr, "no IM arrived (%s%s)\n", alice.failure.c_str(), bob.failure.c_str());
    return 1;
  }
  std::printf("%s\n", bob.received.c_str());
  return 0;
}
