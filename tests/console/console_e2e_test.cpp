// The real reposa-console program against a scripted server on 127.0.0.1.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "ConsoleProcess.h"
#include "FlapPeer.h"
#include "PrivateFile.h"

namespace reposa::console::test {
namespace {

using namespace reposa::test;

constexpr const char* kPassword = "hunter2-secret";

// A console signed on to a scripted server, with the start-up events read.
struct SignedOn {
  FlapPeer server;
  PrivateFile password{"hunter2-secret\n"};
  std::string login;
  std::unique_ptr<ConsoleProcess> console;

  explicit SignedOn(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        "--server",        "127.0.0.1:" + std::to_string(server.port()),
        "--screen-name",   "Some Body",
        "--password-file", password.path};
    args.insert(args.end(), extra.begin(), extra.end());
    console = std::make_unique<ConsoleProcess>(args);
  }
  // Signs on and reads the two events of it; false on any deviation.
  bool Start() {
    if (!server.ServeSignOn(login)) return false;
    return console->ReadJson() == Event("ScreennameFormat", {"Some Body"}) &&
           console->ReadJson() == Event("LoggedIn", {"somebody",
                                                     {"[group]Buddies", "pal"},
                                                     json::array(),
                                                     json::array(),
                                                     json::array(),
                                                     "",
                                                     1});
  }
};

TEST(ConsoleE2E, SignsOnJoinsAndDrivesCommandsUntilSignalled) {
  SignedOn s({"--join", "My Room", "--auth-server", "auth.test"});
  ASSERT_TRUE(s.Start());
  EXPECT_EQ(
      s.login.rfind("toc2_login auth.test " + std::to_string(s.server.port()) + " somebody 0x", 0),
      0u)
      << s.login;
  EXPECT_EQ(s.server.ReadCommand(), R"(toc_chat_join "4" "My Room")");

  s.server.SendMessage("CHAT_JOIN:7:My Room");
  EXPECT_EQ(s.console->ReadJson(), Event("JoinedChat", {"My Room", 7}));

  s.console->WriteLine(R"({"get":"LastChatID"})");
  EXPECT_EQ(s.console->ReadJson(), (json{{"result", 7}}));
  s.console->WriteLine(R"x({"call":"SendChat","args":["My Room","hello (all)"]})x");
  EXPECT_EQ(s.server.ReadCommand(), R"x(toc_chat_send "7" "hello \(all\)")x");
  s.console->WriteLine(R"({"call":"GetChatName","args":[7]})");
  EXPECT_EQ(s.console->ReadJson(), (json{{"result", "My Room"}}));

  s.server.SendMessage("IM_IN_ENC2:pal:F:a:b:U:c:d:e:hi: there");
  EXPECT_EQ(s.console->ReadJson(), Event("InstantMessage", {"pal", "hi: there", false, "U"}));

  // The end of input keeps the session: events still arrive, keep-alives are
  // still answered.
  s.console->CloseInput();
  s.server.SendRaw(kez::test::Frame(5, ""));
  const std::optional<PeerFrame> keepAlive = s.server.ReadFrame();
  ASSERT_TRUE(keepAlive);
  EXPECT_EQ(keepAlive->type, 5);
  s.server.SendMessage("CHAT_LEFT:7");
  EXPECT_EQ(s.console->ReadJson(), Event("LeftChat", {7}));

  s.console->Signal(SIGTERM);
  EXPECT_EQ(s.console->Wait(), 0);
  EXPECT_EQ(s.console->out().find(kPassword), std::string::npos);
  EXPECT_EQ(s.console->err().find(kPassword), std::string::npos);
  EXPECT_EQ(s.login.find(kPassword), std::string::npos);
}

// A script that pipes its calls at once: the commands wait for the sign-on
// and go out in order, a local call answers at once; once signed off with no
// sign-on coming, a command gets an error saying so.
TEST(ConsoleE2E, CommandsWaitForTheSignOnAndAreNeverSilentlyDropped) {
  SignedOn s;
  s.console->WriteLine(R"({"call":"SendIM","args":["pal","one",false]})");
  s.console->WriteLine(R"({"call":"RemoveHtml","args":["<b>x</b>"]})");
  s.console->WriteLine(R"({"call":"SendIM","args":["pal","two",false]})");
  EXPECT_EQ(s.console->ReadJson(), (json{{"result", "x"}}));
  ASSERT_TRUE(s.Start());
  EXPECT_EQ(s.server.ReadCommand(), R"(toc_send_im "pal" "one")");
  EXPECT_EQ(s.server.ReadCommand(), R"(toc_send_im "pal" "two")");

  s.server.Close();
  EXPECT_EQ(s.console->ReadJson(), Event("ConnectionClosed", json::array()));
  s.console->WriteLine(R"({"call":"SendIM","args":["pal","three",false]})");
  const std::optional<json> refused = s.console->ReadJson();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->value("error", ""), "SendIM: not signed on, and no sign-on is coming");
}

// Held calls of a sign-on that fails are answered with an error.
TEST(ConsoleE2E, CommandsHeldForASignOnThatFailsGetAnError) {
  SignedOn s;
  s.console->WriteLine(R"({"call":"GetStatus","args":["pal"]})");
  ASSERT_TRUE(s.server.Accept());
  ASSERT_EQ(s.server.Read(8), "FLAPON\n\n");  // nothing unread: the close is a clean one
  s.server.Close();
  EXPECT_EQ(s.console->ReadJson(), Event("ConnectionClosed", json::array()));
  const std::optional<json> refused = s.console->ReadJson();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->value("error", ""),
            "GetStatus: not sent: the session ended, and no sign-on is coming");
}

TEST(ConsoleE2E, EachBadLineGivesOneErrorAndTheNextLineStillWorks) {
  SignedOn s;
  ASSERT_TRUE(s.Start());
  const char* bad[] = {
      "this is not json",
      R"({"call":"NoSuchMethod","args":[]})",
      R"({"call":"SendIM","args":["pal",5,false]})",
      R"({"call":"SendIM","args":["pal","x"]})",
      R"({"call":"JoinChat","args":["r",99999]})",
      R"({"call":"SendIM","args":["pal","x\u0000y",false]})",  // refused by the control
      R"({"call":"SetIdleTime","args":[2147483647]})",         // overflows
  };
  for (const char* line : bad) s.console->WriteLine(line);
  s.console->WriteLine("");
  s.console->WriteLine(R"({"call":"SendIM","args":["Pal","ok",false]})");
  s.console->WriteLine(R"({"get":"LastChatID"})");
  for (const char* line : bad) {
    const std::optional<json> reply = s.console->ReadJson();
    ASSERT_TRUE(reply) << line;
    EXPECT_TRUE(reply->contains("error")) << line << " gave " << reply->dump();
  }
  EXPECT_EQ(s.console->ReadJson(), (json{{"result", 0}}));
  // The refused calls sent nothing: the good one is the first line to arrive.
  EXPECT_EQ(s.server.ReadCommand(), R"(toc_send_im "pal" "ok")");
}

TEST(ConsoleE2E, BytesAbove127AndNulRoundTrip) {
  SignedOn s;
  ASSERT_TRUE(s.Start());
  s.console->WriteLine(R"({"call":"RemoveHtml","args":["<b>caf\u00e9\u0000\u00ff\u0080</b>"]})");
  const std::optional<std::string> line = s.console->NextLine();
  EXPECT_EQ(line, R"({"result":"caf\u00e9\u0000\u00ff\u0080"})");

  s.console->WriteLine(R"({"call":"SendIM","args":["pal","caf\u00e9 \u00ff\u0001",false]})");
  EXPECT_EQ(s.server.ReadCommand(), "toc_send_im \"pal\" \"caf\xe9 \xff\x01\"");

  s.console->WriteLine(R"({"call":"SendIM","args":["pal","a\u0000b",false]})");
  const std::optional<json> refused = s.console->ReadJson();
  ASSERT_TRUE(refused);
  EXPECT_EQ((*refused)["error"].get<std::string>().rfind("SendIM failed: ", 0), 0u);

  s.server.SendMessage("IM_IN_ENC2:pal:T:a:b:U:c:d:e:\xe9\xff");
  EXPECT_EQ(s.console->NextLine(),
            R"({"event":"InstantMessage","args":["pal","\u00e9\u00ff",true,"U"]})");
  // The NUL-holding message never reached the server; this one is next.
  s.console->WriteLine(R"({"call":"GetStatus","args":["pal"]})");
  EXPECT_EQ(s.server.ReadCommand(), R"(toc_get_status "pal")");
}

TEST(ConsoleE2E, LongLinesArriveWhole) {
  SignedOn s;
  ASSERT_TRUE(s.Start());
  const std::string profile(60000, 'p');
  s.console->WriteLine(R"({"call":"SetProfile","args":[")" + profile + R"("]})");
  EXPECT_EQ(s.server.ReadCommand(), "toc_set_info \"" + profile + "\"");
  const std::string text((1 << 20) - 64, 't');
  s.console->WriteLine(R"({"call":"RemoveHtml","args":["<i>)" + text + R"(</i>"]})");
  EXPECT_EQ(s.console->ReadJson(), (json{{"result", text}}));
}

// 200 MiB with no line feed: refused as soon as it passes the cap, never
// kept whole, and the line after it is read as usual.
TEST(ConsoleE2E, ALineOverTheCapIsRefusedWithoutBeingKept) {
  ConsoleProcess console;
  console.WriteLine(R"({"get":"LastChatID"})");
  ASSERT_EQ(console.ReadJson(), (json{{"result", 0}}));
  const std::int64_t before = Sample(console.pid()).hwmKiB;
  const std::string chunk(1 << 20, 'x');
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(console.Write(chunk));
  console.WriteLine("");
  console.WriteLine(R"({"get":"LastChatID"})");
  const std::optional<json> refused = console.ReadJson();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->value("error", "").rfind("input line longer than 1048576 bytes", 0), 0u);
  EXPECT_EQ(console.ReadJson(), (json{{"result", 0}}));
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's quarantine holds freed memory
  EXPECT_LE(Sample(console.pid()).hwmKiB - before, 2048);
#else
  (void)before;
#endif
}

TEST(ConsoleE2E, PacketsAndAClosedConnectionAreEvents) {
  SignedOn s({"--packets"});
  ASSERT_TRUE(s.server.ServeSignOn(s.login));
  // Sign-on frame, SIGN_ON, NICK, CONFIG2: each printed as it arrived.
  const std::optional<json> first = s.console->ReadJson();
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["event"], "IncomingPacket");
  EXPECT_EQ((*first)["args"][0].get<std::string>(), std::string("*\x01\0\0\0\x04\0\0\0\x01", 10));
  EXPECT_EQ((*s.console->ReadJson())["event"], "IncomingPacket");
  EXPECT_EQ((*s.console->ReadJson())["event"], "IncomingPacket");
  EXPECT_EQ((*s.console->ReadJson())["event"], "ScreennameFormat");
  EXPECT_EQ((*s.console->ReadJson())["event"], "IncomingPacket");
  EXPECT_EQ((*s.console->ReadJson())["event"], "LoggedIn");

  s.server.Close();
  EXPECT_EQ(s.console->ReadJson(), Event("ConnectionClosed", json::array()));
  s.console->WriteLine(R"({"get":"LastChatID"})");  // still here
  EXPECT_EQ(s.console->ReadJson(), (json{{"result", 0}}));
  s.console->Signal(SIGINT);
  EXPECT_EQ(s.console->Wait(), 0);
}

// Nobody reads the output, so the console blocks writing it; a signal still
// ends it.
TEST(ConsoleE2E, EndsOnSignalEvenWhileItsOutputIsBlocked) {
  ConsoleProcess console;
  console.WriteLine(R"({"get":"LastChatID"})");  // up and running
  ASSERT_EQ(console.ReadJson(), (json{{"result", 0}}));
  const std::string line = R"({"call":"RemoveHtml","args":[")" + std::string(60000, 'x') + "\"]}\n";
  for (int i = 0; i < 8; ++i) console.TryWrite(line);
  console.Signal(SIGTERM);
  EXPECT_EQ(console.WaitWithoutReading(), 0);
}

TEST(ConsoleE2E, ScriptsCanSignOnThemselves) {
  FlapPeer server;
  ConsoleProcess console;
  console.WriteLine(R"({"call":"Login","args":["Some Body",")" + std::string(kPassword) +
                    R"(","127.0.0.1",)" + std::to_string(server.port()) + "]}");
  std::string login;
  ASSERT_TRUE(server.ServeSignOn(login));
  EXPECT_EQ(
      login.rfind(
          "toc2_login login.toc.localhost " + std::to_string(server.port()) + " somebody 0x", 0),
      0u);
  EXPECT_EQ(console.ReadJson(), Event("ScreennameFormat", {"Some Body"}));
  EXPECT_EQ((*console.ReadJson())["event"], "LoggedIn");
  console.WriteLine(R"({"call":"LogOff"})");
  EXPECT_EQ(console.ReadJson(), Event("LoggedOut", {"somebody"}));
  console.Signal(SIGTERM);
  EXPECT_EQ(console.Wait(), 0);
  EXPECT_EQ(console.out().find(kPassword), std::string::npos);
}

TEST(ConsoleE2E, StartUpProblemsGoToStandardError) {
  PrivateFile open("hunter2-secret\n", 0644);
  const struct {
    std::vector<std::string> args;
    int status;
    const char* error;
  } rows[] = {
      {{"--password", kPassword}, 2, "a password on the command line"},
      {{"--screen-name", "me"}, 2, "--screen-name needs --password-file"},
      {{"--screen-name", "me", "--password-file", "/nonexistent/pw"}, 1, "cannot open"},
      {{"--server", "h:99999"}, 2, "--server: the port"},
      {{"--bogus"}, 2, "unknown option --bogus"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    ConsoleProcess console(row.args);
    EXPECT_EQ(console.Wait(), row.status);
    EXPECT_EQ(console.out(), "");
    EXPECT_NE(console.err().find(row.error), std::string::npos) << console.err();
    EXPECT_EQ(console.err().find(kPassword), std::string::npos);
  }
}

TEST(ConsoleE2E, AnOpenPasswordFileIsWarnedAboutButUsed) {
  FlapPeer server;
  PrivateFile open("hunter2-secret\n", 0644);
  ConsoleProcess console({"--server", "127.0.0.1:" + std::to_string(server.port()), "--screen-name",
                          "me", "--password-file", open.path});
  std::string login;
  ASSERT_TRUE(server.ServeSignOn(login));
  console.Signal(SIGTERM);
  EXPECT_EQ(console.Wait(), 0);
  EXPECT_NE(console.err().find("is readable by others (mode 0644)"), std::string::npos)
      << console.err();
}

TEST(ConsoleE2E, HelpAndVersion) {
  ConsoleProcess help({"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.out().find("--password-file FILE"), std::string::npos);
  ConsoleProcess version({"--version"});
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_EQ(version.out().rfind("reposa-console ", 0), 0u);
}

}  // namespace
}  // namespace reposa::console::test
