// A running reposa-server changed through its control socket: accounts added,
// given new passwords and removed while other sessions talk, and the socket
// holding against other users and bad input.

#include "admin/control_socket.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "FlapPeer.h"
#include "PrivateFile.h"
#include "ServerProcess.h"
#include "SocketExchange.h"
#include "TempDir.h"
#include "service/password_hash.h"
#include "store/sqlite_account_store.h"

namespace reposa::server::test {
namespace {

using namespace std::chrono_literals;
using reposa::test::ChildProcess;
using reposa::test::ExchangeOnce;
using reposa::test::FlapPeer;
using reposa::test::PrivateFile;
using reposa::test::ServerProcess;
using reposa::test::TempDir;

// reposa-server's command line against the server at `control`; standard
// input gets `input`. The exit status, with the outputs in `out`.
int Command(const std::string& control, std::vector<std::string> args, std::string& out,
            const std::string& input = {}, std::vector<std::string> prefix = {}) {
  std::vector<std::string> argv = std::move(prefix);
  argv.insert(argv.end(), {REPOSA_SERVER_PATH, "--control", control});
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess p(argv);
  if (!input.empty()) p.Write(input);
  p.CloseInput();
  const int status = p.Wait(30s).value_or(-1);
  out = p.out() + p.err();
  return status;
}

// One raw exchange on the control socket: `bytes` in, what comes back.
std::string Raw(const std::string& path, const std::string& bytes) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  path.copy(a.sun_path, sizeof a.sun_path - 1);
  return ExchangeOnce(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0),
                      reinterpret_cast<sockaddr*>(&a), sizeof a, bytes);
}

// Two sessions that keep exchanging instant messages; Exchange() checks
// that every one sent so far arrived.
struct Talkers {
  FlapPeer al, bo;
  int sent = 0;
  explicit Talkers(std::uint16_t port) : al(port), bo(port) {
    EXPECT_TRUE(al.SignOn("Al", "pw-al"));
    EXPECT_TRUE(bo.SignOn("Bo", "pw-bo"));
  }
  void Exchange() {
    for (int i = 0; i < 3; ++i, ++sent) {
      const std::string text = "hello " + std::to_string(sent);
      al.SendLine("toc_send_im bo \"" + text + "\"");
      EXPECT_TRUE(bo.Expect("IM_IN_ENC2:Al:").ends_with(text)) << text;
      bo.SendLine("toc_send_im al \"" + text + "\"");
      EXPECT_TRUE(al.Expect("IM_IN_ENC2:Bo:").ends_with(text)) << text;
    }
  }
};

TEST(ControlSocket, AccountsChangeLiveWhileOthersTalk) {
  TempDir dir;
  const std::string control = dir / "server.db.sock";
  PrivateFile accounts("Al:pw-al\nBo:pw-bo\nCy:pw-cy\n");
  ServerProcess server({"--db", dir / "server.db", "--accounts", accounts.path});
  Talkers talk(server.port());
  FlapPeer cy(server.port());
  ASSERT_TRUE(cy.SignOn("Cy", "pw-cy"));
  std::string out;

  ASSERT_EQ(Command(control, {"account", "add", "New One"}, out, "first-pw\n"), 0) << out;
  EXPECT_NE(out.find("registered New One (the running server)"), std::string::npos) << out;
  FlapPeer added(server.port());
  EXPECT_TRUE(added.SignOn("newone", "first-pw"));
  added.SendLine("toc2_new_buddies \"g:G\nb:Pal\n\"");
  EXPECT_FALSE(added.Expect("INSERTED2:b:").empty());
  talk.Exchange();

  // A new password: the session on it stays, the old password is refused,
  // and the stored lists stay as they were.
  ASSERT_EQ(Command(control, {"account", "password", "newone"}, out, "second-pw\n"), 0) << out;
  EXPECT_EQ(Database(dir / "server.db", false)
                .QueryInt("SELECT count(*) FROM list_rows WHERE account = 'newone' AND kind = 'b'"),
            1);
  talk.al.SendLine("toc_send_im newone \"still there?\"");
  EXPECT_FALSE(added.Expect("IM_IN_ENC2:Al:").empty());
  FlapPeer stale(server.port());
  EXPECT_EQ(stale.StartSignOn("newone", "first-pw"), "ERROR:980");
  talk.Exchange();

  // Removed: its session gets the sign-off frame and is closed.
  ASSERT_EQ(Command(control, {"account", "remove", "Cy"}, out), 0) << out;
  std::optional<reposa::test::PeerFrame> last;
  while (auto f = cy.ReadFrame(2s)) last = f;
  EXPECT_TRUE(last && last->type == 4) << "a sign-off frame last";
  EXPECT_TRUE(cy.WaitClosed());
  FlapPeer gone(server.port());
  EXPECT_EQ(gone.StartSignOn("cy", "pw-cy"), "ERROR:980");
  talk.Exchange();

  ASSERT_EQ(Command(control, {"account", "list"}, out), 0) << out;
  EXPECT_NE(out.find("New One\t20"), std::string::npos) << out;
  EXPECT_EQ(out.find("Cy\t"), std::string::npos) << out;
  ASSERT_EQ(Command(control, {"status"}, out), 0) << out;
  EXPECT_NE(out.find("sessions: 3\n"), std::string::npos) << out;
  EXPECT_NE(out.find("accounts: 3 (registered server)"), std::string::npos) << out;
  for (const char* secret : {"first-pw", "second-pw", "pw-al"})
    EXPECT_EQ(server.err().find(secret), std::string::npos) << secret;
}

TEST(ControlSocket, TheFirstAccountMakesAnOpenServerRegistered) {
  TempDir dir;
  ServerProcess server({"--control", dir / "c.sock"});
  FlapPeer stranger(server.port());
  ASSERT_TRUE(stranger.SignOn("Stranger", "anything"));
  std::string out;
  ASSERT_EQ(Command(dir / "c.sock", {"account", "add", "Owner"}, out, "owner-pw\n"), 0) << out;
  EXPECT_NE(server.WaitErr("registered: only registered accounts sign on"), std::string::npos);
  FlapPeer again(server.port());
  EXPECT_EQ(again.StartSignOn("Someone Else", "anything"), "ERROR:980");
  FlapPeer owner(server.port());
  EXPECT_TRUE(owner.SignOn("owner", "owner-pw"));
}

TEST(ControlSocket, BadInputGetsAClearErrorAndTheServerGoesOn) {
  TempDir dir;
  const std::string control = dir / "c.sock";
  ServerProcess server({"--control", control});
  const std::string hash = HashPassword("pw", Limits{});
  const struct {
    std::string bytes;
    std::string says;
  } rows[] = {
      {"hello\n", "not a JSON object on one line"},
      {"{\"request\":\"explode\"}\n", "unknown request"},
      {"{\"request\":\"account add\",\"name\":\"x\",\"hash\":\"plain\"}\n", "not an Argon2id"},
      {"{\"request\":\"account add\",\"name\":\"b:d\",\"hash\":\"" + hash + "\"}\n",
       "not a valid screen name"},
      {"{\"request\":\"account password\",\"name\":\"nobody\",\"hash\":\"" + hash + "\"}\n",
       "no registered account nobody"},
      {"{\"request\":\"account remove\",\"name\":\"nobody\"}\n", "no account nobody"},
      {"{\"request\":\"backup\",\"file\":\"relative.db\"}\n", "absolute path"},
      {"{\"request\":\"backup\",\"file\":\"" + dir.path + "\"}\n", "a backup never replaces"},
      {std::string(5000, '{'), "request too long"},
  };
  for (const auto& r : rows)
    EXPECT_NE(Raw(control, r.bytes).find(r.says), std::string::npos) << r.says;
  // Connections past the cap are told so at once; the idle ones wait.
  std::vector<int> idle;
  std::string busy;
  for (int i = 0; i < 8 && busy.empty(); ++i) {
    idle.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    control.copy(a.sun_path, sizeof a.sun_path - 1);
    ASSERT_EQ(::connect(idle.back(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    pollfd p{idle.back(), POLLIN, 0};
    char buffer[256];
    if (::poll(&p, 1, 200) == 1)
      busy.assign(buffer, std::max<ssize_t>(::read(idle.back(), buffer, sizeof buffer), 0));
  }
  EXPECT_EQ(idle.size(), Limits{}.maxControlConnections + 1);
  EXPECT_NE(busy.find("too many control connections"), std::string::npos) << busy;
  for (int fd : idle) ::close(fd);
  FlapPeer c(server.port());
  EXPECT_TRUE(c.SignOn("Still Fine"));
  std::string out;
  EXPECT_EQ(Command(control, {"status"}, out), 0) << out;
}

// The socket is its owner's alone: another user cannot connect, and one who
// could (a socket made reachable by mistake) is refused by the peer check.
TEST(ControlSocket, RefusesAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  TempDir dir;
  ::chmod(dir.path.c_str(), 0711);
  const std::string control = dir / "c.sock";
  ServerProcess server({"--control", control});
  struct stat st {};
  ASSERT_EQ(::stat(control.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups", "--"};
  std::string out;
  EXPECT_EQ(Command(control, {"status"}, out, {}, asNobody), 1) << out;
  EXPECT_NE(out.find("Permission denied"), std::string::npos) << out;
  ::chmod(control.c_str(), 0666);
  EXPECT_EQ(Command(control, {"status"}, out, {}, asNobody), 1) << out;
  EXPECT_NE(out.find("not the server's own user"), std::string::npos) << out;
  EXPECT_EQ(Command(control, {"status"}, out), 0) << out;
}

// A backup taken while a client stores changes as fast as it can is a whole
// database of the same schema. The list rate is lifted so every change is
// written, none refused as rated.
TEST(ControlSocket, ABackupDuringAWriteBurstIsWhole) {
  TempDir dir;
  ServerProcess server({"--db", dir / "s.db", "--list-rate", "1000"});
  FlapPeer writer(server.port());
  ASSERT_TRUE(writer.SignOn("Writer"));
  for (int i = 0; i < 400; ++i)
    writer.SendLine("toc2_new_buddies \"g:G" + std::to_string(i % 20) + "\nb:buddy" +
                    std::to_string(i) + "\n\"");
  std::string out;
  ASSERT_EQ(Command(dir / "s.db.sock", {"backup", dir / "copy.db"}, out), 0) << out;
  EXPECT_NE(out.find("backed up " + dir / "s.db" + " to " + dir / "copy.db"), std::string::npos)
      << out;
  for (int i = 0; i < 400; ++i) ASSERT_FALSE(writer.Expect("INSERTED2:b:").empty()) << i;
  Database copy(dir / "copy.db", false);
  Statement check(copy.handle(), "PRAGMA integrity_check");
  ASSERT_TRUE(check.Step());
  EXPECT_EQ(check.Text(0), "ok");
  EXPECT_EQ(copy.QueryInt("PRAGMA user_version"), kSchemaVersion);
  EXPECT_EQ(copy.QueryInt("SELECT count(*) FROM accounts WHERE name = 'writer'"), 1);
  EXPECT_NE(Command(dir / "s.db.sock", {"backup", dir / "copy.db"}, out), 0);
  EXPECT_NE(out.find("a backup never replaces a file"), std::string::npos) << out;
}

TEST(ControlSocket, AnotherServerOnTheSameDatabaseIsRefused) {
  TempDir dir;
  ServerProcess first({"--db", dir / "s.db"});
  ChildProcess second({REPOSA_SERVER_PATH, "--db", dir / "s.db", "--listen", "127.0.0.1:0"});
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(second.err().find("another reposa-server uses this database"), std::string::npos)
      << second.err();
}

}  // namespace
}  // namespace reposa::server::test
