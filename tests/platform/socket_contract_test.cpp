// What the control asks of every socket a host plugs in, run over each one
// this build has (the posix socket on the epoll loop, the Qt socket on Qt's
// loop, and each over TLS) against a plain peer on 127.0.0.1, which the TLS
// sockets reach through a TLS front: outcomes arrive later and once, an
// orderly close is not an error, sends never wait for the peer, and the
// owner may close, reconnect or destroy the socket inside any notification.
// Then what only TLS has: each way a handshake fails, in the same words
// from both TLS sockets.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FlapPeer.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "TlsFront.h"
#include "kez/Socket.h"
#include "kez/posix/EventLoop.h"
#include "kez/posix/PosixSocket.h"
#include "kez/posix/TlsSocket.h"

#ifdef REPOSA_TEST_QT_SOCKET
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "kez/qt/QtSocket.h"
#include "kez/qt/TlsSocket.h"
#endif

using reposa::test::CertSpec;
using reposa::test::TestCertificates;
using reposa::test::TlsFront;

// One test CA for the whole run, and the server certificate the fronts show.
struct Certificates {
  reposa::test::TempDir dir;
  TestCertificates made{dir.path};
  reposa::test::SslContext server = [this] {
    const reposa::test::Issued pair = made.Issue("server");
    return reposa::test::ServerContext(pair.cert, pair.key);
  }();
  static Certificates& Get() {
    static Certificates certificates;
    return certificates;
  }
};

// Plain sockets reach the peer's port itself; TLS sockets a front before it.
struct Plain {
  std::uint16_t Port(std::uint16_t peer) { return peer; }
};
struct Fronted {
  std::map<std::uint16_t, std::unique_ptr<TlsFront>> fronts;
  std::uint16_t Port(std::uint16_t peer) {
    auto& front = fronts[peer];
    if (!front) front = std::make_unique<TlsFront>(Certificates::Get().server, peer);
    return front->port();
  }
};

// Each socket with the loop it runs on, named for the test names.
struct PosixLoop {
  kez::posix::EventLoop loop;
  void Turn(std::chrono::milliseconds wait) { loop.RunOnce(wait); }
};
struct PosixSocketDriver : PosixLoop, Plain {
  std::unique_ptr<kez::Socket> Make() { return std::make_unique<kez::posix::PosixSocket>(loop); }
};
struct PosixTlsSocketDriver : PosixLoop, Fronted {
  std::unique_ptr<kez::Socket> Make(std::string caFile = Certificates::Get().made.caFile()) {
    return std::make_unique<kez::posix::TlsSocket>(loop, caFile);
  }
};

#ifdef REPOSA_TEST_QT_SOCKET
struct QtLoop {
  void Turn(std::chrono::milliseconds wait) {
    QEventLoop loop;
    QTimer::singleShot(wait, &loop, &QEventLoop::quit);
    loop.exec();
  }
};
struct QtSocketDriver : QtLoop, Plain {
  std::unique_ptr<kez::Socket> Make() { return std::make_unique<kez::qt::QtSocket>(); }
};
struct QtTlsSocketDriver : QtLoop, Fronted {
  std::unique_ptr<kez::Socket> Make(std::string caFile = Certificates::Get().made.caFile()) {
    return std::make_unique<kez::qt::TlsSocket>(QString::fromStdString(caFile));
  }
};
#endif

namespace {

using namespace std::chrono_literals;
using reposa::test::FlapPeer;

#ifdef REPOSA_TEST_QT_SOCKET
using Drivers =
    testing::Types<PosixSocketDriver, PosixTlsSocketDriver, QtSocketDriver, QtTlsSocketDriver>;
using TlsDrivers = testing::Types<PosixTlsSocketDriver, QtTlsSocketDriver>;
#else
using Drivers = testing::Types<PosixSocketDriver, PosixTlsSocketDriver>;
using TlsDrivers = testing::Types<PosixTlsSocketDriver>;
#endif

struct Recorder : kez::SocketListener {
  std::vector<std::string> seen;
  std::string data;
  kez::Socket* sock = nullptr;
  std::function<void(const std::string&)> after;  // runs after each notification is noted
  void Note(const std::string& what) {
    seen.push_back(what);
    if (after) after(what);
  }
  void OnConnected() override { Note("connected"); }
  void OnDataArrival() override {
    sock->GetData(data);
    Note("data");
  }
  void OnError(int, const std::string& text) override { Note("error " + text); }
  void OnClosedByPeer() override { Note("closed"); }
};

std::uint16_t ClosedPort() {
  FlapPeer gone;
  return gone.port();
}

template <class Driver>
class SocketContract : public testing::Test {
 protected:
  // Turns the loop until `done` holds, at most five seconds.
  bool RunUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      driver.Turn(5ms);
    }
    return true;
  }
  // A few more turns: room for a report that should not come.
  void Settle() {
    for (int i = 0; i < 5; ++i) driver.Turn(10ms);
  }
  // Where the socket connects to reach `peer`.
  std::uint16_t Port(FlapPeer& peer) { return driver.Port(peer.port()); }
  std::uint16_t Port() { return Port(listener); }
  std::unique_ptr<kez::Socket> Listened(Recorder& rec) {
    std::unique_ptr<kez::Socket> sock = driver.Make();
    rec.sock = sock.get();
    sock->SetListener(&rec);
    return sock;
  }
  // The peer's side reads `n` bytes while the socket's loop turns.
  std::string ReadAtPeer(FlapPeer& peer, std::size_t n) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    char buf[65536];
    while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
      driver.Turn(1ms);
      for (ssize_t r; (r = ::recv(peer.fd(), buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        got.append(buf, static_cast<std::size_t>(r));
    }
    return got;
  }
  static void Send(FlapPeer& peer, std::string_view bytes) {
    ASSERT_EQ(::send(peer.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  static void Hangup(FlapPeer& peer) { ::shutdown(peer.fd(), SHUT_WR); }

  Driver driver;
  FlapPeer listener;
};
TYPED_TEST_SUITE(SocketContract, Drivers);

TYPED_TEST(SocketContract, ConnectsSendsReceivesAndReportsAnOrderlyCloseAsClosed) {
  Recorder rec;
  auto sock = this->Listened(rec);
  sock->Connect("127.0.0.1", this->Port());
  EXPECT_TRUE(rec.seen.empty()) << "the outcome must come later, not inside Connect";
  EXPECT_FALSE(sock->IsConnected());
  ASSERT_TRUE(this->RunUntil([&] { return !rec.seen.empty(); }));
  ASSERT_EQ(rec.seen, std::vector<std::string>{"connected"});
  EXPECT_TRUE(sock->IsConnected());
  ASSERT_TRUE(this->listener.Accept());

  const std::string opening("FLAPON\n\n\0\xff", 10);
  sock->SendData(opening);
  EXPECT_EQ(this->ReadAtPeer(this->listener, opening.size()), opening);

  this->Send(this->listener, std::string_view("*\x02\0\0", 4));
  ASSERT_TRUE(this->RunUntil([&] { return rec.data.size() == 4; }));
  // The last bytes and the close come together: bytes first.
  this->Send(this->listener, "tail");
  this->Hangup(this->listener);
  ASSERT_TRUE(this->RunUntil([&] { return rec.seen.back() == "closed"; }));
  EXPECT_EQ(rec.data, std::string("*\x02\0\0tail", 8));
  EXPECT_FALSE(sock->IsConnected());
  sock->SendData("dropped");  // harmless once closed
  this->Settle();
  EXPECT_EQ(std::count(rec.seen.begin(), rec.seen.end(), "closed"), 1);
  EXPECT_EQ(std::count_if(rec.seen.begin(), rec.seen.end(),
                          [](const std::string& s) { return s.starts_with("error"); }),
            0);
}

TYPED_TEST(SocketContract, FailuresReportOneClearErrorLater) {
  const int closed = ClosedPort();
  const struct {
    std::string host;
    int port;
    std::string expected;  // the start of the one report
  } rows[] = {
      {"127.0.0.1", closed,
       "error Cannot connect to 127.0.0.1:" + std::to_string(closed) + ": Connection refused"},
      // Spaces make the lookup fail at once, without asking a name server.
      {"no such host.invalid", closed, "error Host not found: no such host.invalid"},
      {"127.0.0.1", 70000, "error Cannot connect to 127.0.0.1:70000: port out of range"},
      {"127.0.0.1", 0, "error Cannot connect to 127.0.0.1:0: "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    Recorder rec;
    auto sock = this->Listened(rec);
    sock->Connect(row.host, row.port);
    EXPECT_TRUE(rec.seen.empty());
    ASSERT_TRUE(this->RunUntil([&] { return !rec.seen.empty(); }));
    this->Settle();
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_TRUE(rec.seen[0].starts_with(row.expected)) << rec.seen[0];
    EXPECT_FALSE(sock->IsConnected());
  }
}

// A lost cause must not report: destroying the socket, Close and a new
// Connect cut the old connection off, its lookup or its error already on
// the way included.
TYPED_TEST(SocketContract, CloseAndReconnectSilenceTheOldConnection) {
  Recorder rec;
  {
    auto gone = this->Listened(rec);
    gone->Connect("localhost", this->Port());
  }
  auto sock = this->Listened(rec);
  sock->Connect("127.0.0.1", 70000);         // its error is posted
  sock->Connect("127.0.0.1", ClosedPort());  // so is this refusal, later
  sock->Connect("localhost", this->Port());
  sock->Close();
  this->Settle();
  EXPECT_TRUE(rec.seen.empty());
  sock->Connect("no such host.invalid", this->Port());
  sock->Connect("localhost", this->Port());
  ASSERT_TRUE(this->RunUntil([&] { return !rec.seen.empty(); }));
  this->Settle();
  EXPECT_EQ(rec.seen, std::vector<std::string>{"connected"});
}

TYPED_TEST(SocketContract, TheOwnerMayDestroyTheSocketInsideAnyNotification) {
  for (const std::string at : {"connected", "data", "closed", "error"}) {
    SCOPED_TRACE(at);
    FlapPeer peer;
    Recorder rec;
    std::unique_ptr<kez::Socket> sock = this->Listened(rec);
    rec.after = [&](const std::string& what) {
      if (what.starts_with(at)) sock.reset();
    };
    sock->Connect("127.0.0.1", at == "error" ? ClosedPort() : this->Port(peer));
    if (at == "data" || at == "closed") {
      ASSERT_TRUE(this->RunUntil([&] { return !rec.seen.empty(); }));
      ASSERT_TRUE(peer.Accept());
      this->Send(peer, "bytes");
      // For "data" the close comes in the same turn: it must not touch the
      // socket destroyed by the data.
      if (at == "closed") {
        ASSERT_TRUE(this->RunUntil([&] { return rec.seen.size() == 2; }));
      }
      this->Hangup(peer);
    }
    ASSERT_TRUE(this->RunUntil([&] { return !sock; }));
    this->Settle();  // whatever was still under way must stay silent
    EXPECT_TRUE(rec.seen.back().starts_with(at));
    EXPECT_EQ(std::count(rec.seen.begin(), rec.seen.end(), rec.seen.back()), 1);
  }
}

TYPED_TEST(SocketContract, TheOwnerMayCloseAndReconnectInsideANotification) {
  Recorder rec;
  auto sock = this->Listened(rec);
  int connects = 0;
  rec.after = [&](const std::string& what) {
    if (what == "connected" && ++connects == 1) sock->Connect("127.0.0.1", this->Port());
  };
  sock->Connect("127.0.0.1", this->Port());
  ASSERT_TRUE(this->RunUntil([&] { return connects == 2; }));
  this->Settle();
  EXPECT_EQ(rec.seen, (std::vector<std::string>{"connected", "connected"}));
  EXPECT_TRUE(sock->IsConnected());
}

// Sending never waits for the peer: what it cannot take yet is kept, in
// order, and a peer that reads late gets every byte. The other way, more
// than one turn reads comes whole and in order, appended to what the
// owner's buffer holds, and only then the close.
TYPED_TEST(SocketContract, LargeTransfersKeepTheirOrderBothWays) {
  Recorder rec;
  auto sock = this->Listened(rec);
  sock->Connect("127.0.0.1", this->Port());
  ASSERT_TRUE(this->RunUntil([&] { return sock->IsConnected(); }));
  ASSERT_TRUE(this->listener.Accept());
  std::string expected;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 48; ++i) {  // 3 MiB: far more than the kernel takes at once
    const std::string chunk(64 * 1024, static_cast<char>('a' + i % 26));
    sock->SendData(chunk);
    expected += chunk;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(this->ReadAtPeer(this->listener, expected.size()) == expected);
  EXPECT_EQ(rec.seen, std::vector<std::string>{"connected"});

  std::string burst(6 << 20, '\0');
  for (std::size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<char>(i % 251);
  rec.data = "held";
  std::thread peer([&] {
    for (std::size_t at = 0; at < burst.size();) {
      const ssize_t n = ::send(this->listener.fd(), burst.data() + at, burst.size() - at, 0);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    this->Hangup(this->listener);
  });
  const bool closed = this->RunUntil([&] { return rec.seen.back() == "closed"; });
  peer.join();
  ASSERT_TRUE(closed);
  EXPECT_TRUE(rec.data == "held" + burst) << rec.data.size() << " bytes";
  EXPECT_EQ(std::count(rec.seen.begin(), rec.seen.end(), "closed"), 1);
}

template <class Driver>
class TlsFailures : public SocketContract<Driver> {};
TYPED_TEST_SUITE(TlsFailures, TlsDrivers);

// A plain peer behind no front: it hangs up on what it reads, as a plain
// reposa-server does, or greets the client in plain first.
void ServePlain(FlapPeer& peer, bool greet) {
  if (!peer.ok()) {
    if (peer.Accept(0ms) && greet) peer.SendFrame(1, std::string_view("\0\0\0\1", 4));
  } else if (!greet && peer.Receive() && peer.Read(1, 0ms)) {
    peer.Hangup();
  }
}

// Each way a TLS connection fails, with the one error both TLS sockets
// report for it, word for word.
TYPED_TEST(TlsFailures, EachFailureIsOneErrorInTheSameWords) {
  Certificates& certs = Certificates::Get();
  const struct {
    const char* server;  // "cert", "plain-quiet" or "plain-greets"
    CertSpec spec;
    std::string host;
    std::string caFile;
    std::string expected;
  } rows[] = {
      {"cert",
       {.validFromDays = -10, .validToDays = -1},
       "localhost",
       certs.made.caFile(),
       "certificate has expired"},
      {"cert",
       {.validFromDays = 1, .validToDays = 10},
       "localhost",
       certs.made.caFile(),
       "certificate is not valid yet"},
      {"cert",
       {.names = {"other.example"}},
       "localhost",
       certs.made.caFile(),
       "certificate is for other.example, not localhost"},
      {"cert",
       {.names = {"localhost"}},
       "127.0.0.1",
       certs.made.caFile(),
       "certificate is for localhost, not 127.0.0.1"},
      {"cert",
       {.untrusted = true},
       "localhost",
       certs.made.caFile(),
       "certificate is not signed by a trusted authority"},
      {"plain-quiet", {}, "localhost", certs.made.caFile(), "the server does not speak TLS"},
      {"plain-greets", {}, "localhost", certs.made.caFile(), "the server does not speak TLS"},
      {"cert",
       {},
       "localhost",
       certs.dir.path + "/missing.pem",
       "cannot read the CA file " + certs.dir.path + "/missing.pem: No such file or directory"},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    FlapPeer peer;
    std::unique_ptr<TlsFront> front;
    if (std::string_view(row.server) == "cert") {
      const reposa::test::Issued pair = certs.made.Issue("failure" + std::to_string(++n), row.spec);
      front =
          std::make_unique<TlsFront>(reposa::test::ServerContext(pair.cert, pair.key), peer.port());
    }
    const std::uint16_t port = front ? front->port() : peer.port();
    Recorder rec;
    std::unique_ptr<kez::Socket> sock = this->driver.Make(row.caFile);
    rec.sock = sock.get();
    sock->SetListener(&rec);
    sock->Connect(row.host, port);
    ASSERT_TRUE(this->RunUntil([&] {
      if (!front) ServePlain(peer, std::string_view(row.server) == "plain-greets");
      return !rec.seen.empty();
    }));
    this->Settle();
    EXPECT_EQ(rec.seen, std::vector<std::string>{"error Cannot connect to " + row.host + ":" +
                                                 std::to_string(port) + ": " + row.expected});
    EXPECT_FALSE(sock->IsConnected());
  }
}

// The posix socket's own bound: a peer that never reads loses the
// connection with one error instead of making it hold an ever larger buffer.
TEST(PosixSocket, ABlockedPeerBuffersSendsUpToTheBoundThenFails) {
  FlapPeer listener;
  kez::posix::EventLoop loop;
  kez::posix::PosixSocket sock(loop);
  Recorder rec;
  rec.sock = &sock;
  sock.SetListener(&rec);
  sock.Connect("127.0.0.1", listener.port());
  for (int i = 0; i < 500 && !sock.IsConnected(); ++i) loop.RunOnce(10ms);
  ASSERT_TRUE(sock.IsConnected());
  ASSERT_TRUE(listener.Accept());

  const std::string chunk(64 * 1024, 'x');
  const std::size_t chunks = 1024;  // 64 MiB
  const auto start = std::chrono::steady_clock::now();
  std::size_t sent = 0;
  for (; sent < chunks && sock.IsConnected(); ++sent) sock.SendData(chunk);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_LE(sock.PendingSend(), kez::posix::PosixSocket::kMaxPendingSend);
  EXPECT_LT(sent, chunks);
  EXPECT_FALSE(sock.IsConnected());
  for (int i = 0; i < 500 && rec.seen.size() < 2; ++i) loop.RunOnce(10ms);
  for (int i = 0; i < 3; ++i) loop.RunOnce(5ms);
  ASSERT_EQ(rec.seen.size(), 2u);
  EXPECT_NE(rec.seen[1].find("MiB waiting to be sent"), std::string::npos) << rec.seen[1];
}

}  // namespace

int main(int argc, char** argv) {
#ifdef REPOSA_TEST_QT_SOCKET
  QCoreApplication app(argc, argv);  // the Qt socket's loop
#endif
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
