// A whole run of the server and two consoles in which passwords travel every
// way they can, right and wrong; afterwards no output of any of the three
// programs holds any of them, in clear or roasted.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConsoleProcess.h"
#include "PrivateFile.h"
#include "ServerProcess.h"
#include "wire.h"

namespace reposa::e2e {
namespace {

using namespace reposa::test;

bool IsEvent(const json& line, const std::string& name) {
  return line.value("event", "") == name;
}

TEST(Secrets, NoPasswordInAnyOutputOfAWholeRun) {
  PrivateFile accounts("Some Body:S3cret-One\nOther Pal:S3cret-Two\n");
  PrivateFile passwordA("S3cret-One\n");
  PrivateFile passwordB("S3cret-Two\n", 0644);  // warned about, and used
  ServerProcess server({"--accounts", accounts.path, "--keepalive", "1"});
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  ConsoleProcess a({"--server", address, "--screen-name", "Some Body", "--password-file",
                    passwordA.path, "--packets", "--join", "Lobby"});
  ConsoleProcess b({"--server", address, "--screen-name", "Other Pal", "--password-file",
                    passwordB.path, "--join", "Lobby"});
  ASSERT_TRUE(a.AwaitEvent("JoinedChat")) << a.err();
  ASSERT_TRUE(b.AwaitEvent("JoinedChat")) << b.err();

  a.Call("SendIM", {"Other Pal", "hello", false});
  ASSERT_TRUE(b.AwaitEvent("InstantMessage"));
  a.Call("ChangePassword", {"Wr0ng-Old", "N3w-Secret"});
  const auto refused = a.AwaitEvent("Error");
  ASSERT_TRUE(refused);
  EXPECT_EQ((*refused)["args"][0], 980);
  a.Call("ChangePassword", {"S3cret-One", "N3w-Secret"});
  ASSERT_TRUE(a.AwaitEvent("PasswordChanged"));

  // Requests that hold a password and fail before anything is sent: one
  // error each, which must not quote it.
  const std::vector<std::string> bad = {
      R"({"call":"Login","args":["Some Body","Leak-Me-1"]})",
      R"({"call":"Login","args":["Some Body","Leak-Me-2","127.0.0.1","5190"]})",
      R"({"call":"Login","args":["Some Body","Leak-Me-3\u0100","127.0.0.1",5190]})",
      R"({"call":"ChangePassword","args":["Leak-Me-4",5]})",
      R"({"call":"ChangePassword","args":["Leak-Me-5\u0000","x"]})",
      R"({"call":"Login","args":["Some Body","x","127.0.0.1",5190],"Leak":"Leak-Me-6"})",
      R"({"call":"Login","args":["Some Body","Leak-Me-7",)",
      R"({"call":"Login","args":["Some Body","Leak-Me-8","127.0.0.1",99999999999]})",
      R"({"set":"LastChatID","value":"Leak-Me-9"})",
  };
  for (const std::string& line : bad) {
    a.Write(line + "\n");
    const auto error = a.Await([](const json& l) { return l.contains("error"); });
    ASSERT_TRUE(error) << line;
  }

  // The second console signs on again, first with a wrong password.
  b.Call("Login", {"Other Pal", "Wr0ng-Two", "127.0.0.1", server.port()});
  const auto wrong = b.Await([](const json& l) {
    return IsEvent(l, "Error") || IsEvent(l, "LoggedIn") || IsEvent(l, "ConnectionClosed");
  });
  ASSERT_TRUE(wrong);
  EXPECT_TRUE(IsEvent(*wrong, "Error")) << wrong->dump();
  b.Call("Login", {"Other Pal", "S3cret-Two", "127.0.0.1", server.port()});
  ASSERT_TRUE(b.AwaitEvent("LoggedIn"));
  a.Call("SendChat", {"Lobby", "bye"});
  ASSERT_TRUE(a.AwaitEvent("ChatMessage"));

  for (ChildProcess* p : std::vector<ChildProcess*>{&a, &b, &server}) p->Signal(SIGTERM);
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(b.Wait(), 0);
  EXPECT_EQ(server.Wait(), 0);
  EXPECT_NE(b.err().find("is readable by others"), std::string::npos) << b.err();

  ASSERT_FALSE(a.out().empty());
  ASSERT_FALSE(b.out().empty());
  const struct {
    const char* what;
    const std::string& text;
  } outputs[] = {
      {"server log", server.err()},  {"server output", server.out()}, {"console A output", a.out()},
      {"console A errors", a.err()}, {"console B output", b.out()},   {"console B errors", b.err()},
  };
  std::vector<std::string> secrets = {"S3cret-One", "S3cret-Two", "N3w-Secret", "Wr0ng-Old",
                                      "Wr0ng-Two"};
  for (int i = 1; i <= 9; ++i) secrets.push_back("Leak-Me-" + std::to_string(i));
  for (const auto& output : outputs) {
    for (const std::string& secret : secrets) {
      for (const std::string& form : {secret, kez::wire::RoastPassword(secret)}) {
        EXPECT_EQ(output.text.find(form), std::string::npos)
            << form << " in the " << output.what << ":\n"
            << output.text;
      }
    }
  }
}

}  // namespace
}  // namespace reposa::e2e
