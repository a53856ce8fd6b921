// reposa-server as a real process: its options, what it says at start, and
// a sign-on through it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "FlapPeer.h"
#include "PrivateFile.h"
#include "ServerProcess.h"
#include "TempDir.h"
#include "store/sqlite_account_store.h"

namespace reposa::server::test {
namespace {

using reposa::test::ReadBytes;
using reposa::test::TempDir;

using reposa::test::FlapPeer;

using namespace std::chrono_literals;
using reposa::test::ChildProcess;
using reposa::test::ListeningPort;
using reposa::test::PrivateFile;

// The server with a database of its own in memory, unless the test names one.
ChildProcess Server(std::vector<std::string> args) {
  args.insert(args.begin(), {REPOSA_SERVER_PATH, "--db", ":memory:"});
  return ChildProcess(std::move(args));
}

TEST(ServerProcess, HelpSaysWhatItIsFor) {
  auto p = Server({"--help"});
  EXPECT_EQ(p.Wait(), 0);
  EXPECT_NE(p.out().find("Usage: reposa-server"), std::string::npos);
  // Every limit is listed with its default.
  for (const char* option : {"--sign-on-timeout SECONDS", "--max-per-address N",
                             "--max-total-backlog BYTES", "--frames-per-turn N"})
    EXPECT_NE(p.out().find(option), std::string::npos) << option;
}

TEST(ServerProcess, BadUsageAndBadFilesStopItAtOnce) {
  const struct {
    std::vector<std::string> args;
    int code;
    std::string says;
  } rows[] = {
      {{"--port", "1"}, 2, "unknown option '--port'"},
      {{"--listen", "nowhere"}, 2, "--listen wants HOST:PORT"},
      {{"--keepalive", "soon"}, 2, "--keepalive wants seconds"},
      {{"--accounts", "/nonexistent/accounts"}, 1, "cannot read accounts file"},
      {{"--listen", "203.0.113.1:0"}, 1, "cannot listen on 203.0.113.1:0"},
      {{"--db", "/proc/version"}, 1, "/proc/version is not a Reposa database"},
      {{"account", "rename", "x"}, 2, "account wants add NAME, password NAME, remove NAME or list"},
  };
  for (const auto& r : rows) {
    auto p = Server(r.args);
    EXPECT_EQ(p.Wait(), r.code) << r.args[0];
    EXPECT_NE(p.err().find(r.says), std::string::npos) << p.err();
  }
}

TEST(ServerProcess, OpenServerSaysSoAndStopsOnSigterm) {
  auto p = Server({"--listen", "127.0.0.1:0", "--no-io-uring"});
  ASSERT_TRUE(p.WaitErr("listening on") != std::string::npos);
  EXPECT_NE(p.err().find("sends: by send() alone (--no-io-uring)"), std::string::npos);
  EXPECT_NE(p.err().find("any screen name signs on with any password"), std::string::npos);
  EXPECT_NE(p.err().find("(loopback only)"), std::string::npos);
  const std::uint16_t port = ListeningPort(p.err());
  ASSERT_NE(port, 0);
  {
    FlapPeer c(port);
    EXPECT_TRUE(c.SignOn("Anyone", "whatever-pw"));
  }
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(), 0);
  EXPECT_NE(p.err().find("anyone signed on"), std::string::npos) << p.err();
  EXPECT_EQ(p.err().find("whatever-pw"), std::string::npos) << p.err();
}

TEST(ServerProcess, WarnsOfAnAccountsFileOthersCanRead) {
  for (mode_t mode : {0644, 0600}) {
    PrivateFile file("# test\nSome Body:s3cret-pw\n", mode);
    auto p = Server({"--listen", "127.0.0.1:0", "--accounts", file.path});
    ASSERT_TRUE(p.WaitErr("listening on") != std::string::npos) << p.err();
    EXPECT_NE(p.err().find("sends: "), std::string::npos);  // one path or the other
    EXPECT_EQ(p.err().find("WARNING: accounts file") != std::string::npos, mode == 0644) << p.err();
    EXPECT_NE(p.err().find("1 account(s)"), std::string::npos);
    const std::uint16_t port = ListeningPort(p.err());
    {
      FlapPeer good(port);
      EXPECT_TRUE(good.SignOn("somebody", "s3cret-pw"));
      FlapPeer bad(port);
      EXPECT_EQ(bad.StartSignOn("somebody", "not-it-pw"), "ERROR:980");
    }
    p.Signal(SIGINT);
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_EQ(p.err().find("s3cret-pw"), std::string::npos) << p.err();
    EXPECT_EQ(p.err().find("not-it-pw"), std::string::npos) << p.err();
  }
}

// The database across a stop with SIGTERM and across kill -9 in the middle
// of a burst: CONFIG2 after a start is what was acknowledged before it.
TEST(ServerProcess, WhatWasAcknowledgedSurvivesRestartsAndKills) {
  TempDir dir;
  const std::string db = dir / "server.db";
  PrivateFile accounts("Some Body:s3cret-pw\n", 0600);
  auto start = [&](ChildProcess& p) {
    EXPECT_TRUE(p.WaitErr("listening on") != std::string::npos) << p.err();
    return ListeningPort(p.err());
  };
  std::string stored;
  {
    auto p = Server({"--db", db, "--accounts", accounts.path, "--listen", "127.0.0.1:0"});
    const std::uint16_t port = start(p);
    EXPECT_NE(p.err().find("registered: only the accounts in " + db), std::string::npos);
    FlapPeer c(port);
    ASSERT_TRUE(c.SignOn("somebody", "s3cret-pw"));
    for (const char* line :
         {"toc2_new_buddies \"g:Friends\nb:Pal One:Old Pal\nb:pal2\ng:Empty\n\"",
          R"(toc2_add_deny "Pest")", R"(toc2_add_permit "friend")", "toc2_set_pdmode 4",
          R"(toc_format_nickname "SOME Body")", R"(toc_change_passwd "s3cret-pw" "n3w-pw")"})
      c.SendLine(line);
    ASSERT_FALSE(c.Expect("ADMIN_PASSWD_STATUS:0").empty());
    FlapPeer again(port);
    ASSERT_TRUE(again.SignOn("somebody", "n3w-pw", &stored));
    EXPECT_EQ(stored,
              "m:4\ng:Friends\nb:Pal One:Old Pal\nb:pal2\ng:Empty\np:friend\nd:pest\ndone:\n");
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
  }
  std::vector<std::string> acknowledged;
  for (int round = 0; round < 4; ++round) {
    // The accounts file again: it must not undo the changed password.
    auto p = Server({"--db", db, "--accounts", accounts.path, "--listen", "127.0.0.1:0"});
    FlapPeer c(start(p));
    std::string config;
    ASSERT_TRUE(c.SignOn("somebody", "n3w-pw", &config)) << round << p.err();
    EXPECT_TRUE(config.starts_with(stored.substr(0, stored.find("p:friend")))) << config;
    for (const std::string& b : acknowledged)
      EXPECT_NE(config.find("b:" + b + "\n"), std::string::npos) << b;
    // A burst sent at once; the server is killed after some of it is answered.
    for (int i = 0; i < 60; ++i)
      c.SendLine("toc2_new_buddies \"g:Round" + std::to_string(round) + "\nb:r" +
                 std::to_string(round) + "n" + std::to_string(i) + "\n\"");
    for (int i = 0; i < 10 + round * 15; ++i) {
      const std::string m = c.Expect("INSERTED2:b::");
      ASSERT_FALSE(m.empty());
      acknowledged.push_back(m.substr(13, m.rfind(':') - 13));
    }
    p.Signal(SIGKILL);
    p.Wait();
  }
  SqliteAccountStore store(db, Limits{});
  Statement check(store.database().handle(), "PRAGMA integrity_check");
  ASSERT_TRUE(check.Step());
  EXPECT_EQ(check.Text(0), "ok");
  const std::string bytes = ReadBytes(db) + ReadBytes(db + "-wal");
  EXPECT_EQ(bytes.find("s3cret-pw"), std::string::npos);
  EXPECT_EQ(bytes.find("n3w-pw"), std::string::npos);
}

TEST(ServerProcess, AccountCommandsManageTheDatabase) {
  TempDir dir;
  const std::string db = dir / "server.db";
  {
    auto add = Server({"--db", db, "account", "add", "New One"});
    add.WriteLine("Typed-pw");
    add.CloseInput();
    EXPECT_EQ(add.Wait(), 0) << add.err();
    EXPECT_NE(add.err().find("registered New One"), std::string::npos) << add.err();
  }
  {
    auto p = Server({"--db", db, "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(p.WaitErr("listening on") != std::string::npos);
    FlapPeer c(ListeningPort(p.err()));
    EXPECT_TRUE(c.SignOn("newone", "Typed-pw"));
    FlapPeer stranger(ListeningPort(p.err()));
    EXPECT_EQ(stranger.StartSignOn("stranger", "Typed-pw"), "ERROR:980");
  }
  const struct {
    std::vector<std::string> args;
    int code;
    std::string says;
  } rows[] = {
      {{"account", "remove", "newone"}, 0, "removed newone"},
      {{"account", "remove", "newone"}, 1, "no account newone"},
      {{"account", "add", "bad:name"}, 1, "not a valid screen name"},
  };
  for (const auto& r : rows) {
    std::vector<std::string> args{"--db", db};
    args.insert(args.end(), r.args.begin(), r.args.end());
    auto p = Server(args);
    p.WriteLine("Typed-pw");
    p.CloseInput();
    EXPECT_EQ(p.Wait(), r.code) << r.says;
    EXPECT_NE(p.err().find(r.says), std::string::npos) << p.err();
  }
  auto p = Server({"--db", db, "--listen", "127.0.0.1:0"});
  EXPECT_TRUE(p.WaitErr("open: no registered accounts") != std::string::npos) << p.err();
}

}  // namespace
}  // namespace reposa::server::test
