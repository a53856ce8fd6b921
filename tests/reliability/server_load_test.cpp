// reposa-server under load: every kind of bad client input, a client that
// never reads and a thousand connections opened and dropped, all while fifty
// signed-on sessions keep talking. No message may be lost, and the server's
// open files and resident memory must come back to where they were.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "FlapPeer.h"
#include "ServerProcess.h"

namespace reposa::e2e {
namespace {

using namespace reposa::test;
using namespace std::string_literals;

constexpr int kSessions = 50;

// A whole sign-on sent blind, without waiting for any answer.
std::string BlindSignOn(const std::string& name) {
  return "FLAPON\n\n" + kez::test::Frame(1, SignOnPayload(name)) +
         kez::test::Frame(2, LoginLine(name, "pw") + '\0') +
         kez::test::Frame(2, "toc_init_done\0"s);
}

// Ends the connection with a reset rather than an orderly close.
void Reset(FlapPeer& c) {
  linger l{1, 0};
  ::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

enum class Outcome {
  Closed,    // the server ends the connection
  Answered,  // ERROR:911, and the session goes on
  Ignored,   // no answer, and the session goes on
  Abandoned  // the client goes away mid-way
};

struct BadInput {
  const char* what;
  std::string bytes;
  Outcome outcome;
};

std::vector<BadInput> BadInputs() {
  const std::string signOn = BlindSignOn("bad");
  std::string keepAlives;
  for (int i = 0; i < 10000; ++i) keepAlives += kez::test::Frame(5, "");
  return {
      {"an HTTP request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", Outcome::Closed},
      {"binary garbage", "\x00\xff\x13\x37\x00\x00\x00\x00"s, Outcome::Closed},
      {"half an opening", "FLAP", Outcome::Abandoned},
      {"a wrong frame marker", "FLAPON\n\n!\x01\x00\x00\x00\x00"s, Outcome::Closed},
      {"a data frame before the sign-on frame",
       "FLAPON\n\n" + kez::test::Frame(2, "toc_init_done\0"s), Outcome::Closed},
      {"a sign-on frame with a wrong tag",
       "FLAPON\n\n" + kez::test::Frame(1, "\0\0\0\1\0\2\0\3bad"s), Outcome::Closed},
      {"a sign-on frame whose name runs past it",
       "FLAPON\n\n" + kez::test::Frame(1,
                                       "\0\0\0\1\0\1\0\xff"s
                                       "bad"),
       Outcome::Closed},
      {"a login for another name",
       "FLAPON\n\n" + kez::test::Frame(1, SignOnPayload("bad")) +
           kez::test::Frame(2, LoginLine("other", "pw") + '\0'),
       Outcome::Closed},
      {"a login with a malformed password",
       "FLAPON\n\n" + kez::test::Frame(1, SignOnPayload("bad")) +
           kez::test::Frame(2, "toc2_login a 1 bad 0xZZ\0"s),
       Outcome::Closed},
      {"a login that is not one",
       "FLAPON\n\n" + kez::test::Frame(1, SignOnPayload("bad")) +
           kez::test::Frame(2, "toc_send_im \"x\" \"y\"\0"s),
       Outcome::Closed},
      {"an unknown command", signOn + kez::test::Frame(2, "toc_teleport \"x\"\0"s),
       Outcome::Answered},
      {"an unbalanced quote", signOn + kez::test::Frame(2, "toc_send_im \"load0 \"hi\0"s),
       Outcome::Answered},
      {"a NUL inside a line", signOn + kez::test::Frame(2, "toc_get_status \"bad\0\"\0"s),
       Outcome::Answered},
      {"too few arguments", signOn + kez::test::Frame(2, "toc_send_im\0"s), Outcome::Answered},
      {"a 65535-byte line", signOn + kez::test::Frame(2, std::string(65534, 'a') + '\0'),
       Outcome::Answered},
      {"a frame of unknown type", signOn + kez::test::Frame(9, "x"), Outcome::Answered},
      {"ten thousand keep-alives at once", signOn + keepAlives, Outcome::Ignored},
      {"a frame cut off by a reset", signOn + "*\x02\x00\x00\xff\xff"s + std::string(100, 'a'),
       Outcome::Abandoned},
      {"a sign-off frame", signOn + kez::test::Frame(4, ""), Outcome::Closed},
  };
}

class Load {
 public:
  explicit Load(ServerProcess& server) : server_(server) {}

  void SignOnAll() {
    for (int i = 0; i < kSessions; ++i) {
      sessions_.push_back(std::make_unique<FlapPeer>(server_.port()));
      ASSERT_TRUE(sessions_.back()->SignOn("load" + std::to_string(i))) << i;
    }
  }

  // Every session writes to the next; every message must arrive, in full.
  void ChatRound() {
    server_.Drain();
    ++round_;
    const std::string tag = " round " + std::to_string(round_);
    for (int i = 0; i < kSessions; ++i)
      ASSERT_TRUE(sessions_[i]->SendLine("toc_send_im \"load" +
                                         std::to_string((i + 1) % kSessions) + "\" \"from " +
                                         std::to_string(i) + tag + "\""));
    for (int i = 0; i < kSessions; ++i) {
      const int from = (i + kSessions - 1) % kSessions;
      ASSERT_EQ(sessions_[i]->Expect("IM_IN_ENC2:"), "IM_IN_ENC2:load" + std::to_string(from) +
                                                         ":F:F:F: O:F:F:F:from " +
                                                         std::to_string(from) + tag)
          << "session " << i << tag;
      ++delivered_;
    }
  }

  void BadClients() {
    for (const BadInput& row : BadInputs()) {
      SCOPED_TRACE(row.what);
      {
        FlapPeer bad(server_.port());
        bad.SendRaw(row.bytes);
        switch (row.outcome) {
          case Outcome::Closed:
            EXPECT_TRUE(bad.WaitClosed());
            break;
          case Outcome::Answered:
            EXPECT_EQ(bad.Expect("ERROR:"), "ERROR:911");
            [[fallthrough]];
          case Outcome::Ignored:
            bad.SendLine("toc_get_status \"bad\"");
            EXPECT_NE(bad.Expect("UPDATE_BUDDY2:bad:T:"), "") << "the session must go on";
            break;
          case Outcome::Abandoned:
            Reset(bad);
            break;
        }
      }
      ChatRound();
    }
  }

  // Asks for large answers and never reads them: the server drops it once
  // its backlog passes the limit, and the others are answered all along.
  void NeverReader() {
    FlapPeer hog(server_.port());
    hog.ShrinkReceiveBuffer();
    ASSERT_TRUE(hog.SignOn("Hog"));
    hog.SendLine("toc_set_info \"" + std::string(8000, 'p') + "\"");
    std::string burst;
    for (int i = 0; i < 50; ++i) burst += kez::test::Frame(2, "toc_get_info \"hog\"\0"s);
    bool dropped = false;
    for (int round = 0; round < 400 && !dropped; ++round) {
      dropped = !hog.SendRaw(burst);
      ChatRound();
    }
    EXPECT_TRUE(hog.WaitClosed(10s));
  }

  // Connections opened and dropped in every way a client can drop one.
  void Churn(int connections) {
    for (int i = 0; i < connections; ++i) {
      server_.Drain();  // a full log pipe would stall the server
      FlapPeer c(server_.port());
      const std::string name = "churn" + std::to_string(i % 10);
      switch (i % 5) {
        case 0:  // nothing at all
          break;
        case 1:
          c.SendRaw("FLAPON\n\n");
          break;
        case 2:  // signed on properly, then gone without a word
          ASSERT_TRUE(c.SignOn(name)) << i;
          break;
        case 3:  // everything at once, gone before the answers
          c.SendRaw(BlindSignOn(name));
          break;
        case 4:  // reset inside a frame
          c.SendRaw("FLAPON\n\n*\x01\x00\x00\x00\x20"s);
          Reset(c);
          break;
      }
    }
  }

  int delivered() const { return delivered_; }

 private:
  ServerProcess& server_;
  std::vector<std::unique_ptr<FlapPeer>> sessions_;
  int round_ = 0;
  int delivered_ = 0;
};

bool Sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

TEST(ServerUnderLoad, BadClientsNeverReadersAndChurnBesideFiftySessionsLeakNothing) {
  // Every client comes from loopback: the per-address caps are lifted.
  ServerProcess server({"--keepalive", "1", "--max-per-address", "2000",
                        "--max-signing-on-per-address", "2000", "--max-per-network", "2000",
                        "--max-signing-on-per-network", "2000"});
  Load load(server);
  ASSERT_NO_FATAL_FAILURE(load.SignOnAll());
  const std::size_t files = server.OpenFiles();

  // A first pass of everything warms the server's allocator up.
  ASSERT_NO_FATAL_FAILURE(load.BadClients());
  ASSERT_NO_FATAL_FAILURE(load.NeverReader());
  ASSERT_NO_FATAL_FAILURE(load.Churn(1000));
  ASSERT_NO_FATAL_FAILURE(load.ChatRound());
  ASSERT_TRUE(server.WaitFor([&] { return server.OpenFiles() == files; }, 10s))
      << server.OpenFiles() << " open files, " << files << " before";
  const std::size_t warm = server.ResidentKiB();

  // The same again, twice: nothing may be left behind.
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_NO_FATAL_FAILURE(load.BadClients());
    ASSERT_NO_FATAL_FAILURE(load.NeverReader());
    ASSERT_NO_FATAL_FAILURE(load.Churn(1000));
    ASSERT_NO_FATAL_FAILURE(load.ChatRound());
  }
  ASSERT_TRUE(server.WaitFor([&] { return server.OpenFiles() == files; }, 10s))
      << server.OpenFiles() << " open files, " << files << " before";
  // Output still queued for a slow reader is memory in use, not a leak: give
  // the server a moment to deliver it before reading what stays resident.
  std::size_t after = server.ResidentKiB();
  if (!Sanitized())
    server.WaitFor([&] { return (after = server.ResidentKiB()) <= warm + warm / 20; }, 10s);
  RecordProperty("resident_kib_warm", std::to_string(warm));
  RecordProperty("resident_kib_after", std::to_string(after));
  RecordProperty("messages_delivered", std::to_string(load.delivered()));
  std::printf("open files %zu; resident %zu KiB warm, %zu KiB after; %d messages delivered\n",
              files, warm, after, load.delivered());
  // The sanitizer's quarantine holds freed memory back; there the leak check
  // at exit stands in for this one.
  if (!Sanitized()) {
    EXPECT_LE(after, warm + warm / 20) << "resident memory grew";
  }

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(10s), 0) << server.err().substr(
      server.err().size() > 4000 ? server.err().size() - 4000 : 0);
}

}  // namespace
}  // namespace reposa::e2e
