// The session control itself, on the posix socket, against the server.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "FlapPeer.h"
#include "RecordingListener.h"
#include "ServerThread.h"
#include "kez/KezTOCSock.h"
#include "kez/posix/EventLoop.h"
#include "kez/posix/PosixSocket.h"

namespace reposa::server::test {
namespace {

using reposa::test::FlapPeer;

using namespace std::chrono_literals;

TEST(ControlClient, SignsOnAndGetsItsStoredLists) {
  ServerOptions options;
  options.limits.keepAlive = 20ms;
  ServerThread server(options);
  {
    FlapPeer setup(server.port());
    ASSERT_TRUE(setup.SignOn("Some Body"));
    setup.SendLine("toc2_new_buddies \"g:Buddies\nb:Pal One\n\"");
    setup.SendLine("toc2_add_deny \"pest\"");
    setup.SendLine("toc2_add_permit \"friend\"");
    setup.SendLine("toc2_set_pdmode 4");
    setup.SendLine("toc_get_status \"nobody\"");
    ASSERT_EQ(setup.Expect("ERROR:"), "ERROR:901:nobody");
  }
  FlapPeer watcher(server.port());
  ASSERT_TRUE(watcher.SignOn("watcher"));
  watcher.SendLine("toc2_new_buddies \"g:G\nb:somebody\n\"");

  kez::posix::EventLoop loop;
  kez::test::RecordingListener events;
  auto socket = std::make_unique<kez::posix::PosixSocket>(loop);
  kez::posix::PosixSocket* sock = socket.get();  // owned by the control
  kez::KezTOCSock control(std::move(socket), &events);
  control.Login("Some Body", "any password", "127.0.0.1", server.port());
  auto seen = [&](std::string_view prefix) {
    return std::any_of(events.events.begin(), events.events.end(),
                       [&](const std::string& e) { return e.starts_with(prefix); });
  };
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!seen("LoggedIn") && std::chrono::steady_clock::now() < deadline) loop.RunOnce(50ms);
  EXPECT_TRUE(seen("ScreennameFormat|somebody")) << ::testing::PrintToString(events.events);
  EXPECT_TRUE(seen("LoggedIn|somebody|[[group]Buddies,Pal One]|[pest]|[friend]|[]||4"))
      << ::testing::PrintToString(events.events);
  // Its toc_init_done puts it online for those watching.
  EXPECT_TRUE(watcher.Expect("UPDATE_BUDDY2:somebody:T:").size());
  // Keep-alives come and are answered while the session stays up.
  const auto until = std::chrono::steady_clock::now() + 200ms;
  while (std::chrono::steady_clock::now() < until) loop.RunOnce(10ms);
  EXPECT_TRUE(sock->IsConnected());
  EXPECT_FALSE(seen("Error")) << ::testing::PrintToString(events.events);
}

// One signed-on control on the test's loop, with its events recorded.
struct Client {
  kez::test::RecordingListener events;
  kez::KezTOCSock control;
  std::size_t seen = 0;  // events already matched
  Client(kez::posix::EventLoop& loop)
      : control(std::make_unique<kez::posix::PosixSocket>(loop), &events) {}
};

// Turns the loop until `client` records an event starting with `prefix`
// after the ones matched before; the event, or empty after five seconds.
std::string Await(kez::posix::EventLoop& loop, Client& client, std::string_view prefix) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    for (std::size_t i = client.seen; i < client.events.events.size(); ++i) {
      if (client.events.events[i].starts_with(prefix)) {
        client.seen = i + 1;
        return client.events.events[i];
      }
    }
    loop.RunOnce(20ms);
  }
  return {};
}

// Every command of the control, through the server, to the events it
// expects back, on the sender or on a second signed-on control.
TEST(ControlClient, EveryCommandIsAnsweredAsTheControlExpects) {
  ServerThread server;
  kez::posix::EventLoop loop;
  Client a(loop);
  Client b(loop);
  a.control.Login("Al", "pw", "127.0.0.1", server.port());
  ASSERT_EQ(Await(loop, a, "LoggedIn"), "LoggedIn|al|[]|[]|[]|[]||1");
  b.control.Login("Bo", "pw", "127.0.0.1", server.port());
  ASSERT_EQ(Await(loop, b, "LoggedIn"), "LoggedIn|bo|[]|[]|[]|[]||1");

  using Expect = std::vector<std::pair<Client*, std::string>>;
  const struct {
    const char* what;
    std::function<void()> act;
    Expect expect;  // event prefixes, in order for each client
  } steps[] = {
      {"AddBuddy",
       [&] { b.control.AddBuddy("Buddies", "A L"); },
       {{&b, "GroupAdded|Buddies"},
        {&b, "BuddyAdded|Buddies|A L|"},
        {&b, "BuddyUpdate|al|true|0|"}}},
      {"SetProfile, GetProfile",
       [&] {
         a.control.SetProfile("<b>me</b>");
         b.control.GetProfile("A L");
       },
       {{&b, "UserProfile|data:text/html;charset=utf-8,%3Chtml%3E"}}},
      {"SendIM",
       [&] { a.control.SendIM("B O", "hi (\"you\") \\ $[]{}: \xe9", false); },
       {{&b, "InstantMessage|al|hi (\"you\") \\ $[]{}: \xe9|false| O"}}},
      {"SendIM auto",
       [&] { b.control.SendIM("al", "re", true); },
       {{&a, "InstantMessage|bo|re|true| O"}}},
      {"WarnUser", [&] { a.control.WarnUser("bo", false); }, {{&b, "Warned|10|al"}}},
      {"JoinChat",
       [&] { a.control.JoinChat("  Lobby  ", 4); },
       {{&a, "JoinedChat|Lobby|1"}, {&a, "ChatUserUpdate|al|true|1"}}},
      {"InviteUsers",
       [&] { a.control.InviteUsers("Lobby", "come (in)", "B O"); },
       {{&b, "ChatInvite|Lobby|1|al|come (in)"}}},
      {"AcceptChatInvite",
       [&] { b.control.AcceptChatInvite(1); },
       {{&b, "JoinedChat|Lobby|1"},
        {&b, "ChatUserUpdate|al|true|1"},
        {&b, "ChatUserUpdate|bo|true|1"},
        {&a, "ChatUserUpdate|bo|true|1"}}},
      {"SendChat",
       [&] { b.control.SendChat("Lobby", "hello $[x]: \\o/"); },
       {{&a, "ChatMessage|1|bo|hello $[x]: \\o/"}, {&b, "ChatMessage|1|bo|hello $[x]: \\o/"}}},
      {"LeaveChat",
       [&] { b.control.LeaveChat("Lobby"); },
       {{&b, "LeftChat|1"}, {&a, "ChatUserUpdate|bo|false|1"}}},
      {"SetAwayMessage",
       [&] { a.control.SetAwayMessage("out (back soon)"); },
       {{&b, "BuddyUpdate|al|true|0|"}}},
      {"SetIdleTime", [&] { a.control.SetIdleTime(2); }, {{&b, "BuddyUpdate|al|true|0|"}}},
      {"GetStatus", [&] { b.control.GetStatus("A L"); }, {{&b, "BuddyUpdate|al|true|0|"}}},
      {"SetCapability",
       [&] { a.control.SetCapability("09461343-4C7F-11D1-8222-444553540000"); },
       {{&b, "BuddyCapabilities|al|09461343-4C7F-11D1-8222-444553540000"}}},
      {"AddGroup", [&] { a.control.AddGroup("Work (old)"); }, {{&a, "GroupAdded|Work (old)"}}},
      {"AddBuddy with brackets",
       [&] { a.control.AddBuddy("Work (old)", "Some One"); },
       {{&a, "BuddyAdded|Work (old)|Some One|"}}},
      {"RemoveBuddy",
       [&] { a.control.RemoveBuddy("Work (old)", "Some One"); },
       {{&a, "BuddyRemoved|Work (old)|Some One"}}},
      {"RemoveGroup",
       [&] { a.control.RemoveGroup("Work (old)"); },
       {{&a, "GroupRemoved|Work (old)"}}},
      {"BlockUser", [&] { a.control.BlockUser("Pest"); }, {{&a, "BuddyBlocked|pest"}}},
      {"UnblockUser", [&] { a.control.UnblockUser("Pest"); }, {{&a, "BuddyUnblocked|pest"}}},
      {"AddPrivateUser",
       [&] { a.control.AddPrivateUser("Friend"); },
       {{&a, "PrivateBuddyAdded|friend"}}},
      {"RemovePrivateUser",
       [&] { a.control.RemovePrivateUser("Friend"); },
       {{&a, "PrivateBuddyRemoved|friend"}}},
      {"SetPrivacy 2", [&] { a.control.SetPrivacy(2); }, {{&b, "BuddyUpdate|al|false|"}}},
      {"SetPrivacy 1", [&] { a.control.SetPrivacy(1); }, {{&b, "BuddyUpdate|al|true|"}}},
      {"FormatUserName",
       [&] { a.control.FormatUserName("A L"); },
       {{&a, "ScreenNameFormatted"}, {&a, "ScreennameFormat|A L"}, {&b, "BuddyUpdate|A L|true|"}}},
      {"ChangePassword, refused by an open server",
       [&] { a.control.ChangePassword("pw", "new pw"); },
       {{&a, "Error|980|Invalid account or password"}}},
      {"SendIM to nobody",
       [&] { a.control.SendIM("Nobody", "x", false); },
       {{&a, "Error|901|nobody is not available"}}},
  };
  for (const auto& step : steps) {
    step.act();
    for (const auto& [client, prefix] : step.expect)
      EXPECT_NE(Await(loop, *client, prefix), "")
          << step.what << ": no " << prefix << " in "
          << ::testing::PrintToString(client->events.events);
  }
  // The away flag and idle minutes reached the watcher.
  EXPECT_TRUE(std::any_of(b.events.events.begin(), b.events.events.end(), [](const std::string& e) {
    return e.starts_with("BuddyUpdate|al|true|0|") && e.ends_with("|2| OU");
  })) << ::testing::PrintToString(b.events.events);
}

}  // namespace
}  // namespace reposa::server::test
