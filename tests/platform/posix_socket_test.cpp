#include "kez/posix/PosixSocket.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "FlapPeer.h"
#include "kez/posix/EventLoop.h"

namespace kez::posix {
namespace {

using namespace std::chrono_literals;

struct Recorder : SocketListener {
  std::vector<std::string> seen;
  std::string data;
  Socket* sock = nullptr;
  std::function<void()> onData;
  void OnConnected() override { seen.push_back("connected"); }
  void OnDataArrival() override {
    sock->GetData(data);
    seen.push_back("data");
    if (onData) onData();
  }
  void OnError(int, const std::string& d) override { seen.push_back("error " + d); }
  void OnClosedByPeer() override { seen.push_back("closed"); }
};

// Turns the loop until `done` holds, at most five seconds.
bool RunUntil(EventLoop& loop, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    loop.RunOnce(50ms);
  }
  return true;
}

int AcceptOne(int listenFd) {
  pollfd p{listenFd, POLLIN, 0};
  if (::poll(&p, 1, 5000) != 1) return -1;
  return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

TEST(EventLoop, PostedCallsRunInOrderAndTimersFire) {
  EventLoop loop;
  std::string order;
  loop.Post([&] { order += "a"; });
  loop.Post([&] { order += "b"; });
  int ticks = 0;
  EventLoop::Id timer = 0;
  timer = loop.AddTimer(5ms, [&] {
    if (++ticks == 3) loop.CancelTimer(timer);  // cancelling itself is allowed
  });
  loop.AddTimer(
      1ms, [&] { order += "t"; }, false);
  ASSERT_TRUE(RunUntil(loop, [&] { return ticks == 3 && order.size() == 3; }));
  EXPECT_EQ(order, "abt");
  loop.RunOnce(20ms);
  EXPECT_EQ(ticks, 3);
}

TEST(PosixSocket, ConnectsSendsReceivesAndSeesPeerClose) {
  reposa::test::FlapPeer listener;
  EventLoop loop;
  PosixSocket sock(loop);
  Recorder rec;
  rec.sock = &sock;
  sock.SetListener(&rec);

  sock.Connect("127.0.0.1", listener.port());
  EXPECT_FALSE(sock.IsConnected());
  ASSERT_TRUE(RunUntil(loop, [&] { return !rec.seen.empty(); }));
  ASSERT_EQ(rec.seen.front(), "connected");
  EXPECT_TRUE(sock.IsConnected());
  const int peer = AcceptOne(listener.listenFd());
  ASSERT_GE(peer, 0);

  sock.SendData("hello");
  char buf[16] = {};
  ASSERT_EQ(::recv(peer, buf, sizeof buf, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");

  ASSERT_EQ(::send(peer, "a\0b", 3, 0), 3);
  ASSERT_TRUE(RunUntil(loop, [&] { return rec.data.size() == 3; }));
  EXPECT_EQ(rec.data, std::string("a\0b", 3));

  // More than one turn reads, then the close: every byte, in order, first.
  std::string burst(6 << 20, '\0');
  for (std::size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<char>(i % 251);
  std::thread sender([&] {
    for (std::size_t at = 0; at < burst.size();) {
      const ssize_t n = ::send(peer, burst.data() + at, burst.size() - at, 0);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(peer);
  });
  const bool closed = RunUntil(loop, [&] { return rec.seen.back() == "closed"; });
  sender.join();
  ASSERT_TRUE(closed);
  EXPECT_TRUE(rec.data == std::string("a\0b", 3) + burst) << rec.data.size() << " bytes";
  EXPECT_EQ(std::count(rec.seen.begin(), rec.seen.end(), "closed"), 1);
  EXPECT_FALSE(sock.IsConnected());
  sock.SendData("dropped");  // harmless once closed
}

TEST(PosixSocket, RefusedAndUnresolvableReportOneErrorEach) {
  const struct {
    std::string host;
    bool refused;
    std::string expect;
  } rows[] = {
      {"127.0.0.1", true, "Connection refused"},
      // Spaces make the resolver fail at once, without asking a name server.
      {"no such host.invalid", false, "Host not found: no such host.invalid"},
  };
  for (const auto& row : rows) {
    int port = 1;
    {
      reposa::test::FlapPeer listener;
      port = listener.port();
    }  // closed again: nothing listens there now
    EventLoop loop;
    PosixSocket sock(loop);
    Recorder rec;
    rec.sock = &sock;
    sock.SetListener(&rec);
    sock.Connect(row.host, port);
    EXPECT_TRUE(rec.seen.empty()) << "the outcome must come later, not inside Connect";
    ASSERT_TRUE(RunUntil(loop, [&] { return !rec.seen.empty(); })) << row.host;
    for (int i = 0; i < 5; ++i) loop.RunOnce(10ms);
    ASSERT_EQ(rec.seen.size(), 1u) << row.host;
    EXPECT_NE(rec.seen[0].find(row.expect), std::string::npos) << rec.seen[0];
    EXPECT_FALSE(sock.IsConnected());
  }
}

// Up to the bound, a peer that reads late gets every byte; past it, a peer
// that never reads loses the connection with one error instead of making us
// hold an ever larger buffer.
TEST(PosixSocket, ABlockedPeerBuffersSendsUpToTheBoundThenFails) {
  for (const bool peerReads : {true, false}) {
    reposa::test::FlapPeer listener;
    EventLoop loop;
    PosixSocket sock(loop);
    Recorder rec;
    rec.sock = &sock;
    sock.SetListener(&rec);
    sock.Connect("127.0.0.1", listener.port());
    ASSERT_TRUE(RunUntil(loop, [&] { return sock.IsConnected(); }));
    const int peer = AcceptOne(listener.listenFd());
    ASSERT_GE(peer, 0);

    const std::string chunk(64 * 1024, 'x');
    const std::size_t chunks = peerReads ? 48 : 1024;  // 3 MiB, or 64 MiB
    const auto start = std::chrono::steady_clock::now();
    std::size_t sent = 0;
    for (; sent < chunks && sock.IsConnected(); ++sent) sock.SendData(chunk);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_LE(sock.PendingSend(), PosixSocket::kMaxPendingSend);

    if (peerReads) {
      std::size_t received = 0;
      char buf[65536];
      while (received < chunks * chunk.size()) {
        loop.RunOnce(0ms);
        const ssize_t n = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) received += static_cast<std::size_t>(n);
      }
      EXPECT_EQ(sock.PendingSend(), 0u);
      EXPECT_EQ(rec.seen, std::vector<std::string>{"connected"});
    } else {
      EXPECT_LT(sent, chunks);
      EXPECT_FALSE(sock.IsConnected());
      ASSERT_TRUE(RunUntil(loop, [&] { return rec.seen.size() > 1; }));
      for (int i = 0; i < 3; ++i) loop.RunOnce(5ms);
      ASSERT_EQ(rec.seen.size(), 2u);
      EXPECT_NE(rec.seen[1].find("MiB waiting to be sent"), std::string::npos) << rec.seen[0];
    }
    ::close(peer);
  }
}

// Closing or destroying the socket while its name lookup runs drops the
// lookup's outcome; a reconnect reports only its own.
TEST(PosixSocket, ALookupCancelledByCloseOrDestroyReportsNothing) {
  reposa::test::FlapPeer listener;
  EventLoop loop;
  Recorder rec;
  {
    PosixSocket gone(loop);
    gone.SetListener(&rec);
    gone.Connect("localhost", listener.port());
  }
  PosixSocket sock(loop);
  rec.sock = &sock;
  sock.SetListener(&rec);
  sock.Connect("localhost", listener.port());
  sock.Close();
  for (int i = 0; i < 20; ++i) loop.RunOnce(5ms);
  EXPECT_TRUE(rec.seen.empty());
  sock.Connect("no such host.invalid", listener.port());
  sock.Connect("localhost", listener.port());
  ASSERT_TRUE(RunUntil(loop, [&] { return !rec.seen.empty(); }));
  for (int i = 0; i < 5; ++i) loop.RunOnce(5ms);
  EXPECT_EQ(rec.seen, (std::vector<std::string>{"connected"}));
}

TEST(PosixSocket, ListenerMayDestroyTheSocketFromInsideANotification) {
  reposa::test::FlapPeer listener;
  EventLoop loop;
  auto sock = std::make_unique<PosixSocket>(loop);
  Recorder rec;
  rec.sock = sock.get();
  rec.onData = [&] { sock.reset(); };
  sock->SetListener(&rec);
  sock->Connect("127.0.0.1", listener.port());
  ASSERT_TRUE(RunUntil(loop, [&] { return sock->IsConnected(); }));
  const int peer = AcceptOne(listener.listenFd());
  ::send(peer, "x", 1, 0);
  ::close(peer);  // data and close in one turn: the close must not touch the dead socket
  ASSERT_TRUE(RunUntil(loop, [&] { return !sock; }));
  for (int i = 0; i < 3; ++i) loop.RunOnce(5ms);
  EXPECT_EQ(rec.seen, (std::vector<std::string>{"connected", "data"}));
}

}  // namespace
}  // namespace kez::posix
