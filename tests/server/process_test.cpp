// reposa-server as a real process: its options, what it says at start, and
// a sign-on through it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "FlapClient.h"
#include "TempDir.h"
#include "account_store.h"

extern char** environ;

namespace reposa::server::test {
namespace {

using namespace std::chrono_literals;

// The server binary with its standard output and error on pipes.
class Process {
 public:
  // `input`: a file to read as standard input.
  explicit Process(std::vector<std::string> args, const std::string& input = {}) {
    // A database of its own in memory, unless the test names one.
    args.insert(args.begin(), {REPOSA_SERVER_BINARY, "--db", ":memory:"});
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!input.empty()) ::posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      throw std::runtime_error("cannot start the server");
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Process() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  // Reads standard error until it holds `text`; false on timeout or end.
  bool WaitForError(std::string_view text, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (stderr_.find(text) == std::string::npos)
      if (!Read(err_, stderr_, deadline)) return false;
    return true;
  }
  // Waits for the exit and reads both outputs to their end.
  std::optional<int> Wait(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Read(out_, stdout_, deadline)) {
    }
    while (Read(err_, stderr_, deadline)) {
    }
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ::poll(nullptr, 0, 10);
    }
    return std::nullopt;
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  const std::string& out() const { return stdout_; }
  const std::string& err() const { return stderr_; }

 private:
  static bool Read(int fd, std::string& into, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = 0;
  int out_ = -1;
  int err_ = -1;
  std::string stdout_;
  std::string stderr_;
};

// The port from "listening on 127.0.0.1:<port> ...".
std::uint16_t ListeningPort(const std::string& log) {
  const std::string marker = "listening on 127.0.0.1:";
  const std::size_t at = log.find(marker);
  return at == std::string::npos
             ? 0
             : static_cast<std::uint16_t>(std::stoi(log.substr(at + marker.size())));
}

struct AccountsFile {
  std::string path = "/tmp/reposa-server-accounts-" + std::to_string(::getpid());
  AccountsFile(const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
  }
  ~AccountsFile() { std::remove(path.c_str()); }
};

TEST(ServerProcess, HelpSaysWhatItIsFor) {
  Process p({"--help"});
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
      {{"account", "rename", "x"}, 2, "account wants add NAME or remove NAME"},
  };
  for (const auto& r : rows) {
    Process p(r.args);
    EXPECT_EQ(p.Wait(), r.code) << r.args[0];
    EXPECT_NE(p.err().find(r.says), std::string::npos) << p.err();
  }
}

TEST(ServerProcess, OpenServerSaysSoAndStopsOnSigterm) {
  Process p({"--listen", "127.0.0.1:0"});
  ASSERT_TRUE(p.WaitForError("listening on"));
  EXPECT_NE(p.err().find("any screen name signs on with any password"), std::string::npos);
  EXPECT_NE(p.err().find("(loopback only)"), std::string::npos);
  const std::uint16_t port = ListeningPort(p.err());
  ASSERT_NE(port, 0);
  {
    FlapClient c(port);
    EXPECT_TRUE(c.SignOn("Anyone", "whatever-pw"));
  }
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(), 0);
  EXPECT_NE(p.err().find("anyone signed on"), std::string::npos) << p.err();
  EXPECT_EQ(p.err().find("whatever-pw"), std::string::npos) << p.err();
}

TEST(ServerProcess, WarnsOfAnAccountsFileOthersCanRead) {
  for (mode_t mode : {0644, 0600}) {
    AccountsFile file("# test\nSome Body:s3cret-pw\n", mode);
    Process p({"--listen", "127.0.0.1:0", "--accounts", file.path});
    ASSERT_TRUE(p.WaitForError("listening on")) << p.err();
    EXPECT_EQ(p.err().find("WARNING: accounts file") != std::string::npos, mode == 0644) << p.err();
    EXPECT_NE(p.err().find("1 account(s)"), std::string::npos);
    const std::uint16_t port = ListeningPort(p.err());
    {
      FlapClient good(port);
      EXPECT_TRUE(good.SignOn("somebody", "s3cret-pw"));
      FlapClient bad(port);
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
  AccountsFile accounts("Some Body:s3cret-pw\n", 0600);
  auto start = [&](Process& p) {
    EXPECT_TRUE(p.WaitForError("listening on")) << p.err();
    return ListeningPort(p.err());
  };
  std::string stored;
  {
    Process p({"--db", db, "--accounts", accounts.path, "--listen", "127.0.0.1:0"});
    const std::uint16_t port = start(p);
    EXPECT_NE(p.err().find("registered: only the accounts in " + db), std::string::npos);
    FlapClient c(port);
    ASSERT_TRUE(c.SignOn("somebody", "s3cret-pw"));
    for (const char* line :
         {"toc2_new_buddies \"g:Friends\nb:Pal One:Old Pal\nb:pal2\ng:Empty\n\"",
          R"(toc2_add_deny "Pest")", R"(toc2_add_permit "friend")", "toc2_set_pdmode 4",
          R"(toc_format_nickname "SOME Body")", R"(toc_change_passwd "s3cret-pw" "n3w-pw")"})
      c.SendLine(line);
    ASSERT_FALSE(c.Expect("ADMIN_PASSWD_STATUS:0").empty());
    FlapClient again(port);
    ASSERT_TRUE(again.SignOn("somebody", "n3w-pw", &stored));
    EXPECT_EQ(stored,
              "m:4\ng:Friends\nb:Pal One:Old Pal\nb:pal2\ng:Empty\np:friend\nd:pest\ndone:\n");
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
  }
  std::vector<std::string> acknowledged;
  for (int round = 0; round < 4; ++round) {
    // The accounts file again: it must not undo the changed password.
    Process p({"--db", db, "--accounts", accounts.path, "--listen", "127.0.0.1:0"});
    FlapClient c(start(p));
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
  AccountStore store(db);
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
  std::ofstream(dir / "pw") << "Typed-pw\n";
  {
    Process add({"--db", db, "account", "add", "New One"}, dir / "pw");
    EXPECT_EQ(add.Wait(), 0) << add.err();
    EXPECT_NE(add.err().find("registered New One"), std::string::npos) << add.err();
  }
  {
    Process p({"--db", db, "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(p.WaitForError("listening on"));
    FlapClient c(ListeningPort(p.err()));
    EXPECT_TRUE(c.SignOn("newone", "Typed-pw"));
    FlapClient stranger(ListeningPort(p.err()));
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
    Process p(args, dir / "pw");
    EXPECT_EQ(p.Wait(), r.code) << r.says;
    EXPECT_NE(p.err().find(r.says), std::string::npos) << p.err();
  }
  Process p({"--db", db, "--listen", "127.0.0.1:0"});
  EXPECT_TRUE(p.WaitForError("open: no registered accounts")) << p.err();
}

}  // namespace
}  // namespace reposa::server::test
