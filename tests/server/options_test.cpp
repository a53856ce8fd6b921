#include "options.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace reposa::server {
namespace {

TEST(ParseOptions, DefaultsToTheWindowsHostAndPort) {
  const Options o = ParseOptions({});
  EXPECT_EQ(o.server.host, "127.0.0.1");
  EXPECT_EQ(o.server.port, "5190");
  EXPECT_EQ(o.server.limits.keepAlive.count(), 60000);
  EXPECT_FALSE(o.accountsFile);
  EXPECT_FALSE(o.help);
}

TEST(ParseOptions, ReadsEachOption) {
  struct Case {
    std::vector<std::string> args;
    std::string host, port;
    int keepAlive;
    std::string accounts;
  };
  const std::vector<Case> cases = {
      {{"--listen", "0.0.0.0:6000"}, "0.0.0.0", "6000", 60, ""},
      {{"--listen=[::1]:0"}, "::1", "0", 60, ""},
      {{"--listen", "localhost:05190", "--keepalive", "0"}, "localhost", "5190", 0, ""},
      {{"--accounts", "acc.txt", "--keepalive=5"}, "127.0.0.1", "5190", 5, "acc.txt"},
  };
  for (const Case& c : cases) {
    const Options o = ParseOptions(c.args);
    EXPECT_EQ(o.server.host, c.host);
    EXPECT_EQ(o.server.port, c.port);
    EXPECT_EQ(o.server.limits.keepAlive.count(), c.keepAlive * 1000);
    EXPECT_EQ(o.accountsFile.value_or(""), c.accounts);
  }
  EXPECT_TRUE(ParseOptions({"--help"}).help);
  EXPECT_TRUE(ParseOptions({"--version"}).version);
  const Limits limits =
      ParseOptions({"--max-per-address=3", "--sign-on-timeout", "2", "--idle-keepalives", "0",
                    "--max-total-backlog", "1048576", "--frames-per-turn", "1"})
          .server.limits;
  EXPECT_EQ(limits.maxPerAddress, 3u);
  EXPECT_EQ(limits.signOnTimeout.count(), 2000);
  EXPECT_EQ(limits.idleKeepAlives, 0u);
  EXPECT_EQ(limits.maxTotalOutput, 1048576u);
  EXPECT_EQ(limits.framesPerTurn, 1u);
}

TEST(ParseOptions, ReadsCommandsAndWhereToServeThem) {
  const struct {
    std::vector<std::string> args;
    std::string command, argument, metricsHost, metricsPort;
  } rows[] = {
      {{"account", "add", "Some Body"}, "account add", "Some Body", "127.0.0.1", ""},
      {{"--db", "x", "account", "password", "al"}, "account password", "al", "127.0.0.1", ""},
      {{"account", "remove", "al", "--control", "c"}, "account remove", "al", "127.0.0.1", ""},
      {{"account", "list"}, "account list", "", "127.0.0.1", ""},
      {{"status"}, "status", "", "127.0.0.1", ""},
      {{"backup", "copy.db"}, "backup", "copy.db", "127.0.0.1", ""},
      {{"--metrics", "9464"}, "", "", "127.0.0.1", "9464"},
      {{"--metrics=[::]:0"}, "", "", "::", "0"},
  };
  for (const auto& r : rows) {
    const Options o = ParseOptions(r.args);
    EXPECT_EQ(o.command, r.command) << r.args[0];
    EXPECT_EQ(o.argument, r.argument) << r.args[0];
    EXPECT_EQ(o.server.metricsHost, r.metricsHost) << r.args[0];
    EXPECT_EQ(o.server.metricsPort, r.metricsPort) << r.args[0];
  }
  EXPECT_EQ(ParseOptions({"--control", "/run/x.sock"}).control, "/run/x.sock");
}

// TLS: its three options together; alone it replaces the plain port, beside
// --listen it joins it.
TEST(ParseOptions, TlsListensBesideOrInsteadOfThePlainPort) {
  const struct {
    std::vector<std::string> args;
    bool plain;
    std::string tlsHost, tlsPort;
  } rows[] = {
      {{"--tls-listen", "0.0.0.0:5191", "--tls-cert", "c.pem", "--tls-key", "k.pem"},
       false,
       "0.0.0.0",
       "5191"},
      {{"--listen", "127.0.0.1:5190", "--tls-listen=tls://[::]:0", "--tls-cert=c.pem",
        "--tls-key=k.pem"},
       true,
       "::",
       "0"},
  };
  for (const auto& row : rows) {
    const ServerOptions o = ParseOptions(row.args).server;
    EXPECT_EQ(o.plain, row.plain);
    ASSERT_TRUE(o.tls);
    EXPECT_EQ(o.tls->host, row.tlsHost);
    EXPECT_EQ(o.tls->port, row.tlsPort);
    EXPECT_EQ(o.tls->certFile, "c.pem");
    EXPECT_EQ(o.tls->keyFile, "k.pem");
  }
  EXPECT_FALSE(ParseOptions({}).server.tls);
  EXPECT_TRUE(ParseOptions({}).server.plain);
}

TEST(ParseOptions, RefusesBadUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"--listen"},
      {"--listen", "5190"},
      {"--listen", ":5190"},
      {"--listen", "h:65536"},
      {"--listen", "::1:5190"},
      {"--keepalive", "-1"},
      {"--keepalive", "1x"},
      {"--max-per-address", "0"},
      {"--max-client-backlog", "1000"},
      {"--frames-per-turn"},
      {"--accounts="},
      {"--listen", "tls://127.0.0.1:5191"},
      {"--tls-listen", "127.0.0.1:5191"},
      {"--tls-listen", "127.0.0.1:5191", "--tls-cert", "c.pem"},
      {"--tls-cert", "c.pem", "--tls-key", "k.pem"},
      {"--tls-listen", "127.0.0.1", "--tls-cert", "c.pem", "--tls-key", "k.pem"},
      {"--tls-cert="},
      {"--verbose"},
      {"extra"},
      {"account"},
      {"account", "rename", "x"},
      {"account", "add"},
      {"backup"},
      {"--metrics", "host"},
      {"--metrics", "99999"},
      {"--control="},
  };
  for (const auto& args : cases) EXPECT_THROW(ParseOptions(args), std::invalid_argument) << args[0];
}

}  // namespace
}  // namespace reposa::server
