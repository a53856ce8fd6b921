// reposa-server's own safety: where it listens unless told, and that no
// password, plain or roasted, ever shows in its log or reaches another client.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "FlapPeer.h"
#include "PrivateFile.h"
#include "ServerProcess.h"
#include "wire.h"

namespace reposa::e2e {
namespace {

using namespace reposa::test;
using namespace std::string_literals;

// An IPv4 address of this machine other than loopback, if it has one.
std::optional<in_addr> OtherLocalAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::optional<in_addr> found;
  for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    const in_addr a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
    if ((ntohl(a.s_addr) >> 24) != 127) found = a;
  }
  ::freeifaddrs(list);
  return found;
}

// Whether a TCP connection to `address`:`port` is accepted.
bool Reachable(in_addr address, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr = address;
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

TEST(ServerSecurity, ListensOnLoopbackUnlessToldAndSaysWhichItIs) {
  {
    // Without --listen: 127.0.0.1:5190, or, if something already holds that
    // port, a refusal that names the same address.
    ChildProcess p({REPOSA_SERVER_PATH, "--db", ":memory:"});
    ASSERT_TRUE(p.WaitFor([&] {
      return p.err().find("listening on") != std::string::npos ||
             p.err().find("cannot listen") != std::string::npos;
    })) << p.err();
    if (p.err().find("cannot listen") != std::string::npos) {
      EXPECT_NE(p.err().find("cannot listen on 127.0.0.1:5190"), std::string::npos) << p.err();
    } else {
      EXPECT_NE(p.err().find("listening on 127.0.0.1:5190 (loopback only)"), std::string::npos)
          << p.err();
      if (const auto other = OtherLocalAddress()) {
        EXPECT_FALSE(Reachable(*other, 5190)) << "reachable on " << inet_ntoa(*other);
      }
    }
  }
  {
    ServerProcess p;  // --listen 127.0.0.1:0
    EXPECT_EQ(p.err().find("WARNING"), std::string::npos) << p.err();
    if (const auto other = OtherLocalAddress()) {
      EXPECT_FALSE(Reachable(*other, p.port()));
    }
  }
  {
    ChildProcess p({REPOSA_SERVER_PATH, "--db", ":memory:", "--listen", "0.0.0.0:0"});
    ASSERT_TRUE(p.WaitErr("listening on") != std::string::npos) << p.err();
    EXPECT_NE(p.err().find("WARNING: listening on 0.0.0.0:"), std::string::npos) << p.err();
    EXPECT_NE(p.err().find("reachable from other machines"), std::string::npos) << p.err();
  }
}

// Every way a password reaches the server, right and wrong; then neither the
// log nor a bystander holds any of them, in clear or roasted.
TEST(ServerSecurity, PasswordsNeverShowInTheLogOrReachOthers) {
  const std::vector<std::string> secrets = {"s3cret-Pw", "wr0ng-Pw", "n3w-Pw", "0ther-Pw",
                                            "qu0te\"Pw"};
  PrivateFile accounts("Some Body:s3cret-Pw\nBystander:0ther-Pw\n");
  ServerProcess server({"--accounts", accounts.path});

  FlapPeer bystander(server.port());
  ASSERT_TRUE(bystander.SignOn("Bystander", "0ther-Pw"));
  {
    FlapPeer wrong(server.port());
    EXPECT_EQ(wrong.StartSignOn("Some Body", "wr0ng-Pw"), "ERROR:980");
  }
  {
    FlapPeer unknown(server.port());
    EXPECT_EQ(unknown.StartSignOn("Nobody", "s3cret-Pw"), "ERROR:980");
  }
  {
    // The password where the screen name belongs, and a malformed line
    // around a password.
    FlapPeer odd(server.port());
    odd.SendRaw("FLAPON\n\n" + kez::test::Frame(1, SignOnPayload("somebody")) +
                kez::test::Frame(2, "toc2_login x 1 somebody \"s3cret-Pw\0"s));
    EXPECT_TRUE(odd.WaitClosed());
  }
  FlapPeer user(server.port());
  ASSERT_TRUE(user.SignOn("Some Body", "s3cret-Pw"));
  user.SendLine("toc_change_passwd \"wr0ng-Pw\" \"n3w-Pw\"");
  EXPECT_EQ(user.Expect("ERROR:"), "ERROR:980");
  user.SendLine("toc_change_passwd \"s3cret-Pw\" \"n3w-Pw\"");
  EXPECT_EQ(user.Expect("ADMIN_PASSWD_STATUS"), "ADMIN_PASSWD_STATUS:0");
  user.SendLine("toc_change_passwd \"n3w-Pw\" \"qu0te\\\"Pw\"");
  EXPECT_EQ(user.Expect("ADMIN_PASSWD_STATUS"), "ADMIN_PASSWD_STATUS:0");
  user.SendLine("toc_change_passwd \"s3cret-Pw");  // unbalanced
  EXPECT_EQ(user.Expect("ERROR:"), "ERROR:911");
  // The bystander hears the user come and go, and a message, nothing more.
  user.SendLine("toc_send_im \"bystander\" \"done\"");
  EXPECT_NE(bystander.Expect("IM_IN_ENC2:"), "");
  {
    FlapPeer again(server.port());
    EXPECT_TRUE(again.SignOn("Some Body", "qu0te\"Pw")) << "the last password holds";
  }

  server.Signal(SIGTERM);
  ASSERT_EQ(server.Wait(), 0);
  std::string heard;
  for (const std::string& m : bystander.skipped) heard += m + "\n";
  while (auto f = bystander.ReadFrame(100ms)) heard += f->payload + "\n";
  const std::string output = server.out() + server.err();
  EXPECT_NE(output.find("password changed for Some Body"), std::string::npos) << output;
  for (const std::string& secret : secrets) {
    for (const std::string& form : {secret, kez::wire::RoastPassword(secret)}) {
      EXPECT_EQ(output.find(form), std::string::npos) << form << " in the log:\n" << output;
      EXPECT_EQ(heard.find(form), std::string::npos) << form << " reached a bystander";
    }
  }
}

}  // namespace
}  // namespace reposa::e2e
