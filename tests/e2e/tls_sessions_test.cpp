// reposa-console over TLS against reposa-server with a certificate made for
// the run: a TLS console and a plain one talk through one server, and each
// way a connection goes wrong is one clear event, with the server serving on.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConsoleClient.h"
#include "FlapPeer.h"
#include "ServerProcess.h"
#include "TlsServerFiles.h"

namespace reposa::e2e {
namespace {

using namespace reposa::test;

// Signed on, and counted online by the server (it answers the own status
// query only after toc_init_done), so the other can reach it.
void AwaitOnline(ConsoleClient& c, const std::string& name) {
  ASSERT_TRUE(c.AwaitEvent("LoggedIn")) << c.err();
  c.Call("GetStatus", {name});
  ASSERT_TRUE(c.AwaitEvent("BuddyUpdate")) << c.err();
}

TEST(TlsSessions, ATlsConsoleAndAPlainConsoleTalkThroughOneServer) {
  const TlsServerFiles files;
  ServerProcess server(files.Options());
  ASSERT_NE(server.tlsPort(), 0) << server.err();
  ConsoleClient ann(server, "ann", "pw-1",
                    {"--server", server.tlsAddress(), "--ca-file", files.caFile()});
  ConsoleClient bob(server, "bob", "pw-2");
  AwaitOnline(ann, "ann");
  AwaitOnline(bob, "bob");

  ann.Call("SendIM", {"bob", "sealed on the way in", false});
  const std::optional<json> in = bob.AwaitEvent("InstantMessage");
  ASSERT_TRUE(in) << bob.err();
  EXPECT_EQ((*in)["args"][0], "ann");
  EXPECT_EQ((*in)["args"][1], "sealed on the way in");
  bob.Call("SendIM", {"ann", "sealed on the way out", false});
  const std::optional<json> out = ann.AwaitEvent("InstantMessage");
  ASSERT_TRUE(out) << ann.err();
  EXPECT_EQ((*out)["args"][1], "sealed on the way out");
  EXPECT_EQ(ann.End(), 0);
  EXPECT_EQ(bob.End(), 0);
  EXPECT_EQ(server.Stop(), 0) << server.err();
}

// Each row: what serves, what connects, and the one event the console gets.
TEST(TlsSessions, EachBadConnectionIsOneClearEventAndTheServerServesOn) {
  const struct {
    const char* what;
    CertSpec spec;
    bool tlsClient, toTlsPort;
    const char* event;
    std::string text;  // after "Cannot connect to localhost:PORT: "
    const char* log;   // what the server logs of it, if anything
  } rows[] = {
      {"expired",
       {.validFromDays = -10, .validToDays = -1},
       true,
       true,
       "WinsockError",
       "certificate has expired",
       "TLS handshake failed"},
      {"wrong name",
       {.names = {"other.example"}},
       true,
       true,
       "WinsockError",
       "certificate is for other.example, not localhost",
       "TLS handshake failed"},
      {"unknown CA",
       {.untrusted = true},
       true,
       true,
       "WinsockError",
       "certificate is not signed by a trusted authority",
       "TLS handshake failed"},
      {"plain client, TLS port", {}, false, true, "ConnectionClosed", "", "not a TLS handshake"},
      {"TLS client, plain port",
       {},
       true,
       false,
       "WinsockError",
       "the server does not speak TLS",
       "no FLAPON opening"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const TlsServerFiles files(row.spec);
    ServerProcess server(files.Options());
    const std::uint16_t port = row.toTlsPort ? server.tlsPort() : server.port();
    const std::string address = "localhost:" + std::to_string(port);
    std::vector<std::string> options = {"--server", (row.tlsClient ? "tls://" : "") + address};
    if (row.tlsClient) options.insert(options.end(), {"--ca-file", files.caFile()});
    ConsoleClient c(server, "ann", "pw", options);
    const std::optional<json> event = c.AwaitEvent(row.event);
    ASSERT_TRUE(event) << c.out() << c.err();
    if (!row.text.empty()) {
      EXPECT_EQ((*event)["args"][0], "Cannot connect to " + address + ": " + row.text);
    }
    EXPECT_NE(server.WaitErr(row.log), std::string::npos) << server.err();

    FlapPeer check(server.port());
    EXPECT_TRUE(check.SignOn("bob")) << server.err();
    EXPECT_EQ(c.End(), 0);
    EXPECT_EQ(server.Stop(), 0) << server.err();
  }
}

}  // namespace
}  // namespace reposa::e2e
