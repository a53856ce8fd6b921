// Instant messages to a registered account that is not signed on, through
// the real server and consoles: kept across kill -9 within their bounds and
// its privacy, and handed over once, in order, after the next sign-on.

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "ConsoleClient.h"
#include "FlapPeer.h"
#include "ServerProcess.h"
#include "TempDir.h"

namespace reposa::e2e {
namespace {

using namespace reposa::test;

constexpr std::string_view kAccounts =
    "Ann Lee:ann-pw-1\n"
    "Bob Ray:bob-pw-2\n"
    "Cy Dee:cy-pw-3\n"
    "Dee Eff:dee-pw-4\n";

json NotAvailable(std::string_view name) {
  return Event("Error", {901, std::string(name) + " is not available"});
}
json Im(std::string_view from, std::string_view text) {
  return Event("InstantMessage", {from, text, false, " O"});
}

// A console signed on, its start-up lines read up to LoggedIn.
std::unique_ptr<ConsoleClient> SignOn(const ServerProcess& server, std::string_view name,
                                      std::string_view password) {
  auto c = std::make_unique<ConsoleClient>(server, name, password);
  EXPECT_TRUE(c->AwaitEvent("LoggedIn")) << name << c->out();
  return c;
}

// Its own status, asked after the sign-on: answered after whatever the
// server handed over at the sign-on.
std::string Settled(ConsoleClient& c, std::string_view name) {
  c.Call("GetStatus", {name});
  return c.Receive({Event("BuddyUpdate", {name, true, 0, kSignOnTime, 0, " O"})});
}

class KeptMessages : public testing::Test {
 protected:
  std::unique_ptr<ServerProcess> Start() {
    return std::make_unique<ServerProcess>(
        std::vector<std::string>{"--db", dir / "server.db", "--accounts", accounts.path,
                                 "--offline-messages", "6", "--offline-messages-per-sender", "4"});
  }
  static void Kill(std::unique_ptr<ServerProcess>& server) {
    server->Signal(SIGKILL);
    server->Wait();
    server.reset();
  }

  TempDir dir;
  PrivateFile accounts{std::string(kAccounts)};
};

TEST_F(KeptMessages, SurviveAKillAndArriveOnceInOrderAfterTheNextSignOn) {
  auto server = Start();
  {
    auto ann = SignOn(*server, "Ann Lee", "ann-pw-1");
    auto cy = SignOn(*server, "Cy Dee", "cy-pw-3");
    auto dee = SignOn(*server, "Dee Eff", "dee-pw-4");
    ann->Call("AddBuddy", {"Buddies", "Bob Ray"});
    ASSERT_TRUE(ann->AwaitEvent("BuddyAdded"));
    {
      // Bob blocks Cy, then goes; Ann sees him go.
      auto bob = SignOn(*server, "Bob Ray", "bob-pw-2");
      bob->Call("BlockUser", {"Cy Dee"});
      bob->Call("SetPrivacy", {4});
      ASSERT_EQ(bob->Receive({Event("BuddyBlocked", {"cydee"})}), "");
      ASSERT_EQ(Settled(*bob, "Bob Ray"), "");
      EXPECT_EQ(bob->End(), 0);
    }
    ASSERT_TRUE(ann->Await([](const json& l) {
      return Matches(Event("BuddyUpdate", {"Bob Ray", false, 0, 0, 0, " O"}), l);
    })) << ann->out();
    // Four from Ann, two more from Dee: the box of six is full. An answer
    // means what its sender sent before it is stored.
    for (const char* text : {"one", "two: \"2\"", "three", "caf\u00e9 four", "five"})
      ann->Call("SendIM", {"Bob Ray", text, false});
    ann->Call("SendIM", {"Bob Ray", "away", true});  // an automatic reply is not kept
    ASSERT_EQ(ann->Receive({NotAvailable("bobray"), NotAvailable("bobray")}), "");
    cy->Call("SendIM", {"Bob Ray", "from one he blocks", false});
    ASSERT_EQ(cy->Receive({NotAvailable("bobray")}), "");
    for (const char* text : {"d1", "d2", "d3"}) dee->Call("SendIM", {"Bob Ray", text, false});
    ASSERT_EQ(dee->Receive({NotAvailable("bobray")}), "");
    Kill(server);
  }
  server = Start();
  {
    auto bob = SignOn(*server, "Bob Ray", "bob-pw-2");
    EXPECT_EQ(
        bob->Receive({Im("Ann Lee", "one"), Im("Ann Lee", "two: \"2\""), Im("Ann Lee", "three"),
                      Im("Ann Lee", "caf\u00e9 four"), Im("Dee Eff", "d1"), Im("Dee Eff", "d2")}),
        "");
    EXPECT_EQ(Settled(*bob, "Bob Ray"), "");
    Kill(server);
  }
  // Handed over is gone, even after a kill.
  server = Start();
  auto bob = SignOn(*server, "Bob Ray", "bob-pw-2");
  EXPECT_EQ(Settled(*bob, "Bob Ray"), "");
  EXPECT_EQ(bob->Quiet(), "");
  EXPECT_EQ(server->Stop(), 0) << server->err();
}

// A box far larger than the client's output bound arrives whole, a batch at
// a time, without the client being dropped for it. The bound is the lowest
// allowed, the box 12 times it; the sender's IM rate is lifted to fill it.
TEST_F(KeptMessages, AFullBoxComesWithinTheClientsOutputBound) {
  constexpr int kIms = 800;
  ServerProcess server({"--accounts", accounts.path, "--max-client-backlog", "524288",
                        "--offline-messages", "800", "--offline-messages-per-sender", "800",
                        "--offline-message-bytes", "16777216", "--im-rate", "1073741824",
                        "--im-network-rate", "1073741824"});
  FlapPeer ann(server.port());
  ASSERT_TRUE(ann.SignOn("Ann Lee", "ann-pw-1"));
  const std::string text(8000, 'k');
  for (int i = 0; i < kIms; ++i)
    ann.SendLine("toc_send_im bobray \"" + std::to_string(i) + text + "\"");
  ann.SendLine("toc_send_im nobody \"x\"");  // answered once the others are stored
  ASSERT_EQ(ann.Expect("ERROR:"), "ERROR:901:nobody");
  FlapPeer bob(server.port());
  ASSERT_TRUE(bob.SignOn("Bob Ray", "bob-pw-2"));
  for (int i = 0; i < kIms; ++i)
    ASSERT_EQ(bob.Expect("IM_IN_ENC2:"),
              "IM_IN_ENC2:Ann Lee:F:F:F: O:F:F:F:" + std::to_string(i) + text)
        << i;
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.err().find("not reading"), std::string::npos) << server.err();
}

}  // namespace
}  // namespace reposa::e2e
