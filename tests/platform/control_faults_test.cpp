// The control on the real posix socket when the server misbehaves: closes or
// resets mid-frame, is not there, cannot be named, stops reading, or floods.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FakeSocket.h"
#include "FlapPeer.h"
#include "RecordingListener.h"
#include "kez/KezTOCSock.h"
#include "kez/posix/EventLoop.h"
#include "kez/posix/PosixSocket.h"

namespace kez::test {
namespace {

using namespace std::chrono_literals;
using reposa::test::FlapPeer;
using Events = std::vector<std::string>;

const std::string kLoggedIn = "LoggedIn|somebody|[]|[]|[]|[]||0";

// The control on a posix socket, and a loop turned until what a test waits
// for has happened, at most `bound`.
struct Client {
  posix::EventLoop loop;
  RecordingListener events;
  std::unique_ptr<posix::PosixSocket> owned = std::make_unique<posix::PosixSocket>(loop);
  posix::PosixSocket* socket = owned.get();  // owned by the control from here on
  KezTOCSock control{std::move(owned), &events};

  posix::PosixSocket& sock() { return *socket; }
  bool RunUntil(const std::function<bool()>& done, std::chrono::seconds bound = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      loop.RunOnce(20ms);
    }
    return true;
  }
  bool Saw(const std::string& line) const {
    return std::find(events.events.begin(), events.events.end(), line) != events.events.end();
  }
  // A few more turns, so an event that should not come has its chance to.
  void Settle() {
    for (int i = 0; i < 5; ++i) loop.RunOnce(10ms);
  }
};

// The server's half of a sign-on, up to and including toc_init_done.
bool SignOn(FlapPeer& peer) {
  if (peer.Read(8) != "FLAPON\n\n") return false;
  peer.SendRaw(Frame(1, std::string("\0\0\0\1", 4)));
  if (!peer.ReadFrame() || !peer.ReadFrame()) return false;
  peer.SendRaw(Data("SIGN_ON:TOC2.0") + Data("CONFIG2:done:\n"));
  auto initDone = peer.ReadFrame();
  return initDone && initDone->payload == std::string("toc_init_done\0", 14);
}

// Closes with a reset instead of an orderly end.
void Reset(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

TEST(ControlFaults, ServerEndingMidFrameIsOneEventAndLeavesNothingForTheNextSession) {
  const std::string cut = Data("NICK:partial");
  const struct {
    const char* what;
    std::size_t keep;  // bytes of the cut frame sent before the end
    bool reset;
    Events expected;
  } rows[] = {
      {"closed inside the header",
       3,
       false,
       {kLoggedIn, "ScreennameFormat|first", "ConnectionClosed"}},
      {"closed inside the payload",
       9,
       false,
       {kLoggedIn, "ScreennameFormat|first", "ConnectionClosed"}},
      {"reset inside the payload",
       9,
       true,
       {kLoggedIn, "ScreennameFormat|first",
        "WinsockError|Connection to 127.0.0.1:* lost: Connection reset by peer"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    FlapPeer listener;
    std::atomic<bool> firstSeen = false;
    std::atomic<bool> serverOk = false;
    std::thread server([&] {
      FlapPeer& peer = listener;
      if (!peer.Accept() || !SignOn(peer)) return;
      peer.SendRaw(Data("NICK:first") + cut.substr(0, row.keep));
      // Let the client take the whole frame and the cut one before the end,
      // so the end cannot overtake them.
      const auto deadline = std::chrono::steady_clock::now() + 5s;
      while (!firstSeen && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
      if (row.reset) Reset(peer.fd());
      peer.Close();
      FlapPeer& again = listener;  // the host signs on again
      if (!again.Accept() || !SignOn(again)) return;
      again.SendRaw(Data("NICK:second"));
      serverOk = again.Read(1) == std::nullopt;  // until the client goes
    });
    Client client;
    client.events.onEvent = [&](const std::string& e) {
      if (e == "ScreennameFormat|first") firstSeen = true;
    };
    client.control.Login("Some Body", "pw", "127.0.0.1", listener.port());
    const bool ended = client.RunUntil([&] { return client.events.events.size() >= 3; });
    client.Settle();
    Events seen = client.events.events;
    client.events.Clear();
    client.control.Login("Some Body", "pw", "127.0.0.1", listener.port());
    const bool second = client.RunUntil([&] { return client.Saw("ScreennameFormat|second"); });
    client.control.LogOff();
    server.join();
    ASSERT_TRUE(ended);
    Events expected = row.expected;  // "*" stands for the listener's ephemeral port
    for (std::string& line : expected)
      if (const std::size_t star = line.find('*'); star != std::string::npos)
        line.replace(star, 1, std::to_string(listener.port()));
    EXPECT_EQ(seen, expected);
    ASSERT_TRUE(second);
    EXPECT_EQ(client.events.events, (Events{"LoggedIn|somebody|[]|[]|[]|[]||0",
                                            "ScreennameFormat|second", "LoggedOut|somebody"}))
        << "nothing of the cut frame may reach the next session";
    EXPECT_TRUE(serverOk);
  }
}

TEST(ControlFaults, ConnectFailuresRaiseOneWinsockErrorWithAClearText) {
  int freePort = 0;
  {
    FlapPeer gone;
    freePort = gone.port();
  }  // nothing listens there now
  const struct {
    std::string host;
    int32_t port;
    std::string text;
  } rows[] = {
      {"127.0.0.1", freePort,
       "Cannot connect to 127.0.0.1:" + std::to_string(freePort) + ": Connection refused"},
      // A name with spaces fails inside the resolver, without asking any
      // name server.
      {"no such host.invalid", 5190,
       "Host not found: no such host.invalid (Name or service not known)"},
      {" 127.0.0.1 ", 70000, "Cannot connect to 127.0.0.1:70000: port out of range"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.host);
    Client client;
    client.control.Login("a", "b", row.host, row.port);
    EXPECT_TRUE(client.events.events.empty()) << "the outcome comes later, not inside Login";
    ASSERT_TRUE(client.RunUntil([&] { return !client.events.events.empty(); }));
    client.Settle();
    EXPECT_EQ(client.events.events, (Events{"WinsockError|" + row.text}));
    EXPECT_FALSE(client.sock().IsConnected());
  }
}

// The server signs on, then takes nothing for a while: the host's commands
// must return at once (the socket keeps what the kernel will not take), the
// host must still hear the server meanwhile, and once the server reads again
// every frame arrives whole, in order, numbered on, the keep-alive answer
// queued behind the commands.
TEST(ControlFaults, ServerThatStopsReadingNeverBlocksTheHostAndLosesNothing) {
  // About 4 MB: just under the socket's bound on unsent bytes.
  constexpr int kMessages = 520;
  const std::string filler(8000, 'x');
  auto frameOk = [](const std::string& header, int type, int seq) {
    const auto byte = [&](int k) { return static_cast<unsigned char>(header[k]); };
    return header[0] == '*' && byte(1) == type && byte(2) * 256 + byte(3) == seq % 65536;
  };

  FlapPeer listener;
  // A small receive window, so the commands wait in our buffer, not the kernel's.
  const int window = 64 * 1024;
  ::setsockopt(listener.listenFd(), SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
  std::atomic<bool> signedOn = false, stuffed = false, resume = false;
  int received = 0, wrong = 0;
  bool answerOk = false;
  std::thread server([&] {
    FlapPeer& peer = listener;
    if (!peer.Accept() || !SignOn(peer)) return;
    signedOn = true;
    auto waitFor = [](std::atomic<bool>& flag) {
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (!flag && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
    };
    waitFor(stuffed);
    peer.SendRaw(Frame(5, "") + Data("NICK:still here"));
    waitFor(resume);
    // The sign-on took numbers 0 to 2; the commands follow from 3.
    for (int i = 0; i < kMessages; ++i) {
      auto header = peer.Read(6);
      if (!header) return;
      auto payload = peer.Read(static_cast<unsigned char>((*header)[4]) * 256u +
                               static_cast<unsigned char>((*header)[5]));
      if (!payload) return;
      const std::string line = "toc_send_im \"bob\" \"" + std::to_string(i) + filler + "\"";
      if (!frameOk(*header, 2, 3 + i) || *payload != line + '\0') ++wrong;
      ++received;
    }
    auto answer = peer.Read(6);
    answerOk = answer && frameOk(*answer, 5, 3 + kMessages) && (*answer)[5] == 0;
  });

  Client client;
  client.control.Login("Some Body", "pw", "127.0.0.1", listener.port());
  ASSERT_TRUE(client.RunUntil([&] { return signedOn && client.Saw(kLoggedIn); }));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kMessages; ++i)
    client.control.SendIM("Bob", std::to_string(i) + filler, false);
  const auto took = std::chrono::steady_clock::now() - start;
  stuffed = true;
  const bool heard = client.RunUntil([&] { return client.Saw("ScreennameFormat|still here"); });
  const std::size_t pending = client.sock().PendingSend();
  resume = true;
  const bool drained = client.RunUntil([&] { return client.sock().PendingSend() == 0; }, 20s);
  server.join();

  EXPECT_LT(took, 5s) << "4 MB of commands must be queued, not waited for";
  EXPECT_TRUE(heard) << "the host must hear the server while its sends are stuck";
  EXPECT_GT(pending, 0u) << "the kernel took everything: the test proves nothing";
  ASSERT_TRUE(drained);
  EXPECT_EQ(received, kMessages);
  EXPECT_EQ(wrong, 0);
  EXPECT_TRUE(answerOk) << "the keep-alive answer, numbered after the commands";
  EXPECT_TRUE(client.sock().IsConnected());
}

// A server that keeps sending sign-on frames and never reads what they make
// us answer: past the socket's bound the connection ends with one error,
// rather than our buffer growing with every frame.
TEST(ControlFaults, SignOnFloodFromAServerThatNeverReadsEndsAtTheSendBound) {
  FlapPeer listener;
  const int window = 64 * 1024;
  ::setsockopt(listener.listenFd(), SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
  std::atomic<bool> done = false;
  std::thread server([&] {
    FlapPeer& peer = listener;
    if (!peer.Accept() || peer.Read(8) != "FLAPON\n\n") return;
    timeval tv{5, 0};
    ::setsockopt(peer.fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += Frame(1, std::string("\0\0\0\1", 4));
    for (int sent = 0; !done && sent < 2000; ++sent)  // at most 20 MB
      if (::send(peer.fd(), burst.data(), burst.size(), MSG_NOSIGNAL) <= 0) break;
  });
  Client client;
  client.control.Login("Some Body", "pw", "127.0.0.1", listener.port());
  const auto cutOff = [&] {
    for (const std::string& e : client.events.events)
      if (e.starts_with("WinsockError|") && e.find("MiB waiting to be sent") != std::string::npos)
        return true;
    return false;
  };
  const bool ended = client.RunUntil(cutOff, 20s);
  done = true;
  server.join();
  EXPECT_TRUE(ended) << client.events.events.size() << " events";
}

// About 1 MiB of frames sent in one go: every message, in order, every
// keep-alive answered, in one pass of the reader where it comes in one piece.
TEST(ControlFaults, OneMebibyteBurstIsHandledWholeAndInOrder) {
  const std::string text(1000, 'm');
  std::string burst;
  Events expected;
  int keepAlives = 0;
  for (int i = 0; burst.size() < (1u << 20); ++i) {
    if (i % 100 == 99) {
      burst += Frame(5, "");
      ++keepAlives;
      continue;
    }
    const std::string message = std::to_string(i) + text;
    burst += Data("IM_IN_ENC2:ann:F:x:x: O :x:x:x:" + message);
    expected.push_back("InstantMessage|ann|" + message + "|false| O ");
  }

  // Over a real socket, as fast as the kernel hands it over.
  {
    FlapPeer listener;
    int answered = 0;
    std::thread server([&] {
      FlapPeer& peer = listener;
      if (!peer.Accept() || !SignOn(peer)) return;
      peer.SendRaw(burst);
      while (answered < keepAlives) {
        auto frame = peer.ReadFrame();
        if (!frame || frame->type != 5 || !frame->payload.empty()) break;
        ++answered;
      }
    });
    Client client;
    client.control.Login("Some Body", "pw", "127.0.0.1", listener.port());
    ASSERT_TRUE(client.RunUntil([&] { return client.Saw(kLoggedIn); }));
    client.events.Clear();
    const bool all =
        client.RunUntil([&] { return client.events.events.size() >= expected.size(); }, 20s);
    server.join();
    ASSERT_TRUE(all) << client.events.events.size() << " of " << expected.size();
    EXPECT_EQ(client.events.events, expected);
    EXPECT_EQ(answered, keepAlives);
  }
  // In one single arrival.
  {
    RecordingListener events;
    auto fake = std::make_unique<FakeSocket>();
    FakeSocket* sock = fake.get();
    KezTOCSock control(std::move(fake), &events);
    control.Login("Some Body", "pw", "toc.example", 5190);
    sock->Connected();
    sock->TakeSent();
    sock->Arrive(burst);
    EXPECT_EQ(events.events, expected);
    EXPECT_EQ(sock->TakeSent().size(), 6u * keepAlives);
  }
}

}  // namespace
}  // namespace kez::test
