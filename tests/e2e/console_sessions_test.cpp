// reposa-console processes against one reposa-server: every line a console
// prints in a scenario is spelled out, in order.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ConsoleClient.h"
#include "ServerProcess.h"

namespace reposa::e2e {
namespace {

using namespace reposa::test;

// The accounts in their file form, with spaces and capitals: the clients send
// names normalised, and the server answers with this form.
constexpr std::string_view kAccounts =
    "# accounts of the end-to-end tests\n"
    "Ann Lee:ann-pw-1\n"
    "Bob Ray:bob-pw-2\n";

json LoggedIn(std::string_view name, json buddies = json::array(), json blocked = json::array(),
              json permitted = json::array()) {
  // Lists, misc data, preferences, privacy mode 1 (all may see me).
  return Event("LoggedIn", {name, buddies, blocked, permitted, json::array(), "", 1});
}
json Online(std::string_view name, int warning = 0) {
  return Event("BuddyUpdate", {name, true, warning, kSignOnTime, 0, " O"});
}
json Offline(std::string_view name) {
  return Event("BuddyUpdate", {name, false, 0, 0, 0, " O"});
}
json Error(int code, std::string_view text) {
  return Event("Error", {code, text});
}

class ServerWithAccounts : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(server.port(), 0) << server.err(); }

  void TearDown() override {
    // Every line a scenario caused is spelled out in it: nothing is left.
    if (!HasFailure()) {
      for (ConsoleClient* c : Clients()) EXPECT_EQ(c->Quiet(), "");
    }
    for (ConsoleClient* c : Clients()) EXPECT_EQ(c->End(), 0) << c->err();
    EXPECT_EQ(server.Stop(), 0) << server.err();
    const std::string log = server.err();
    EXPECT_NE(log.find("reposa-server: stopped"), std::string::npos) << log;
    for (const char* password : {"ann-pw-1", "bob-pw-2"})
      EXPECT_EQ(log.find(password), std::string::npos) << log;
  }

  // A console signed on at start, its start-up events read. The server
  // counts a user online only from its toc_init_done, which the control
  // sends after LoggedIn; the user's query of its own status is answered
  // after that, so once the answer is in, the others can reach it.
  std::unique_ptr<ConsoleClient> SignOn(std::string_view typedName, std::string_view password,
                                        std::string_view display, json loggedIn) {
    auto c = std::make_unique<ConsoleClient>(server, typedName, password);
    EXPECT_EQ(c->Receive({Event("ScreennameFormat", {display}), loggedIn}), "") << typedName;
    c->Call("GetStatus", {typedName});
    EXPECT_EQ(c->Receive({Online(display)}), "") << typedName;
    return c;
  }

  std::vector<ConsoleClient*> Clients() {
    std::vector<ConsoleClient*> out;
    for (auto* c : {&ann, &bob, &other})
      if (*c) out.push_back(c->get());
    return out;
  }

  PrivateFile accounts{kAccounts};
  ServerProcess server{{"--accounts", accounts.path}};
  std::unique_ptr<ConsoleClient> ann, bob, other;
};

TEST_F(ServerWithAccounts, SignOnTakesTheFilesAccountsOnly) {
  const json refused = Error(980, "Invalid account or password");
  const struct {
    const char* name;
    const char* password;
    std::vector<json> lines;
  } rows[] = {
      {"Ann Lee", "ann-pw-1", {Event("ScreennameFormat", {"Ann Lee"}), LoggedIn("annlee")}},
      {"  ANN   lee", "ann-pw-1", {Event("ScreennameFormat", {"Ann Lee"}), LoggedIn("annlee")}},
      {"Ann Lee", "bob-pw-2", {refused, Event("ConnectionClosed")}},
      {"Cy Dee", "ann-pw-1", {refused, Event("ConnectionClosed")}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.name) + " / " + r.password);
    ConsoleClient c(server, r.name, r.password);
    EXPECT_EQ(c.Receive(r.lines), "");
    EXPECT_EQ(c.Quiet(), "");
    EXPECT_EQ(c.End(), 0) << c.err();
  }
}

class TwoConsoles : public ServerWithAccounts {
 protected:
  void SetUp() override {
    ServerWithAccounts::SetUp();
    if (HasFatalFailure()) return;
    ann = SignOn("Ann Lee", "ann-pw-1", "Ann Lee", LoggedIn("annlee"));
    ASSERT_FALSE(HasFailure());
    bob = SignOn("Bob Ray", "bob-pw-2", "Bob Ray", LoggedIn("bobray"));
    ASSERT_FALSE(HasFailure());
  }
};

TEST_F(TwoConsoles, EachSeesTheOtherComeAndGo) {
  ann->Call("AddBuddy", {"Buddies", "Bob Ray"});
  ASSERT_EQ(ann->Receive({Event("GroupAdded", {"Buddies"}),
                          Event("BuddyAdded", {"Buddies", "Bob Ray", ""}), Online("Bob Ray")}),
            "");
  bob->Call("AddBuddy", {"Buddies", "ann lee"});
  ASSERT_EQ(bob->Receive({Event("GroupAdded", {"Buddies"}),
                          Event("BuddyAdded", {"Buddies", "ann lee", ""}), Online("Ann Lee")}),
            "");

  bob->Call("LogOff");
  ASSERT_EQ(bob->Receive({Event("LoggedOut", {"bobray"})}), "");
  ASSERT_EQ(ann->Receive({Offline("Bob Ray")}), "");

  // Signing on again from the same console: the stored list comes back, and
  // both hear of the other at once.
  bob->Call("Login", {"Bob Ray", "bob-pw-2", "127.0.0.1", server.port()});
  ASSERT_EQ(bob->Receive({Event("ScreennameFormat", {"Bob Ray"}),
                          LoggedIn("bobray", {"[group]Buddies", "ann lee"}), Online("Ann Lee")}),
            "");
  ASSERT_EQ(ann->Receive({Online("Bob Ray")}), "");
}

TEST_F(TwoConsoles, InstantMessagesArriveAsSent) {
  const struct {
    bool fromAnn;
    const char* to;  // as the sender types it
    std::string text;
    bool autoResponse;
  } rows[] = {
      {true, "Bob Ray", "hello Bob", false},
      {false, "ann lee", "re: hi: three: colons", false},
      {true, "BOBRAY", R"(quoted "x" \ $(y) [z] {w})", false},
      {false, "Ann Lee", "two\nlines\tand a tab", false},
      {true, "Bob Ray", "<b>bold</b> &amp; markup", false},
      {false, "Ann Lee", "caf\u00e9 \u00ff\u0080", false},  // bytes above 127
      {false, "Ann Lee", "I am away right now", true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    ConsoleClient& from = r.fromAnn ? *ann : *bob;
    ConsoleClient& to = r.fromAnn ? *bob : *ann;
    from.Call("SendIM", {r.to, r.text, r.autoResponse});
    ASSERT_EQ(to.Receive({Event("InstantMessage", {r.fromAnn ? "Ann Lee" : "Bob Ray", r.text,
                                                   r.autoResponse, " O"})}),
              "");
  }
  ann->Call("SendIM", {"Cy Dee", "anyone?", false});
  EXPECT_EQ(ann->Receive({Error(901, "cydee is not available")}), "");
}

TEST_F(TwoConsoles, BothJoinOneRoomTalkAndLeave) {
  ann->Call("JoinChat", {"Lobby", 4});
  ASSERT_EQ(ann->Receive(
                {Event("JoinedChat", {"Lobby", 1}), Event("ChatUserUpdate", {"Ann Lee", true, 1})}),
            "");
  // The room's name is matched without regard to case; it keeps its first form.
  bob->Call("JoinChat", {"LOBBY", 4});
  ASSERT_EQ(bob->Receive({Event("JoinedChat", {"Lobby", 1}),
                          Event("ChatUserUpdate", {"Ann Lee", true, 1}),
                          Event("ChatUserUpdate", {"Bob Ray", true, 1})}),
            "");
  ASSERT_EQ(ann->Receive({Event("ChatUserUpdate", {"Bob Ray", true, 1})}), "");

  const struct {
    bool fromAnn;
    std::string text;
  } lines[] = {
      {false, "hello: all (of you)"},
      {true, "hi \"Bob\" \\ caf\u00e9"},
      {false, "bye"},
  };
  for (const auto& l : lines) {
    (l.fromAnn ? ann : bob)->Call("SendChat", {"Lobby", l.text});
    const json said = Event("ChatMessage", {1, l.fromAnn ? "Ann Lee" : "Bob Ray", l.text});
    ASSERT_EQ(ann->Receive({said}), "") << l.text;
    ASSERT_EQ(bob->Receive({said}), "") << l.text;
  }

  bob->Call("LeaveChat", {"Lobby"});
  ASSERT_EQ(bob->Receive({Event("LeftChat", {1})}), "");
  ASSERT_EQ(ann->Receive({Event("ChatUserUpdate", {"Bob Ray", false, 1})}), "");
  ann->Call("LeaveChat", {"Lobby"});
  ASSERT_EQ(ann->Receive({Event("LeftChat", {1})}), "");
  // Bob is no longer in the room: his line there is refused.
  bob->Call("SendChat", {"Lobby", "anyone?", 1});
  EXPECT_EQ(bob->Receive({Error(911, "Error validating input")}), "");
}

// Only someone who sent one a message may be warned, once per message.
TEST_F(TwoConsoles, AWarningNeedsAMessageFirst) {
  bob->Call("AddBuddy", {"Buddies", "Ann Lee"});
  ASSERT_EQ(bob->Receive({Event("GroupAdded", {"Buddies"}),
                          Event("BuddyAdded", {"Buddies", "Ann Lee", ""}), Online("Ann Lee")}),
            "");
  const json refused = Error(902, "Warning of annlee is not currently available");
  const struct {
    const char* name;
    bool messageFirst;
    bool anonymous;
    std::vector<json> toAnn;  // nothing: the warning was refused
    std::vector<json> toBob;
  } rows[] = {
      {"before any message", false, false, {}, {refused}},
      {"after a message",
       true,
       false,
       {Event("Warned", {"10", "Bob Ray"})},
       {Online("Ann Lee", 10)}},
      {"again without a new message", false, false, {}, {refused}},
      {"anonymously", true, true, {Event("Warned", {"13", ""})}, {Online("Ann Lee", 13)}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.messageFirst) {
      ann->Call("SendIM", {"Bob Ray", "a message", false});
      ASSERT_EQ(bob->Receive({Event("InstantMessage", {"Ann Lee", "a message", false, " O"})}), "");
    }
    bob->Call("WarnUser", {"Ann Lee", r.anonymous});
    ASSERT_EQ(bob->Receive(r.toBob), "");
    ASSERT_EQ(ann->Receive(r.toAnn), "");
  }
  // Ann never had a message from Bob.
  ann->Call("WarnUser", {"Bob Ray", false});
  EXPECT_EQ(ann->Receive({Error(902, "Warning of bobray is not currently available")}), "");
}

TEST_F(TwoConsoles, ListChangesShowInTheNextSignOnsConfiguration) {
  const struct {
    const char* call;
    json args;
    std::vector<json> lines;
  } changes[] = {
      {"AddBuddy",
       {"Friends", "Bob Ray"},
       {Event("GroupAdded", {"Friends"}), Event("BuddyAdded", {"Friends", "Bob Ray", ""}),
        Online("Bob Ray")}},
      {"AddBuddy", {"Friends", "Cy Dee"}, {Event("BuddyAdded", {"Friends", "Cy Dee", ""})}},
      {"AddBuddy",
       {"Work", "Dee Eff"},
       {Event("GroupAdded", {"Work"}), Event("BuddyAdded", {"Work", "Dee Eff", ""})}},
      {"RemoveBuddy", {"Friends", "bob ray"}, {Event("BuddyRemoved", {"Friends", "bob ray"})}},
      {"RemoveGroup",
       {"Work"},
       {Event("BuddyRemoved", {"Work", "Dee Eff"}), Event("GroupRemoved", {"Work"})}},
      {"BlockUser", {"Eve Ill"}, {Event("BuddyBlocked", {"eveill"})}},
      {"AddPrivateUser", {"Bob Ray"}, {Event("PrivateBuddyAdded", {"bobray"})}},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(std::string(c.call) + " " + c.args.dump());
    ann->Call(c.call, c.args);
    ASSERT_EQ(ann->Receive(c.lines), "");
  }
  // A new process, so nothing but the server can remember.
  ASSERT_EQ(ann->End(), 0) << ann->err();
  ann = SignOn("Ann Lee", "ann-pw-1", "Ann Lee",
               LoggedIn("annlee", {"[group]Friends", "Cy Dee"}, {"eveill"}, {"bobray"}));
}

TEST_F(TwoConsoles, ASecondSignOnOfTheNameEndsTheOlderSession) {
  bob->Call("AddBuddy", {"Buddies", "Ann Lee"});
  ASSERT_EQ(bob->Receive({Event("GroupAdded", {"Buddies"}),
                          Event("BuddyAdded", {"Buddies", "Ann Lee", ""}), Online("Ann Lee")}),
            "");
  ann->Call("JoinChat", {"Lobby", 4});
  ASSERT_EQ(ann->Receive(
                {Event("JoinedChat", {"Lobby", 1}), Event("ChatUserUpdate", {"Ann Lee", true, 1})}),
            "");
  bob->Call("JoinChat", {"Lobby", 4});
  ASSERT_EQ(bob->Receive({Event("JoinedChat", {"Lobby", 1}),
                          Event("ChatUserUpdate", {"Ann Lee", true, 1}),
                          Event("ChatUserUpdate", {"Bob Ray", true, 1})}),
            "");
  ASSERT_EQ(ann->Receive({Event("ChatUserUpdate", {"Bob Ray", true, 1})}), "");

  other = SignOn("annlee", "ann-pw-1", "Ann Lee", LoggedIn("annlee"));
  ASSERT_EQ(ann->Receive({Event("ConnectionClosed")}), "");
  // The older session leaves the room; the name itself stays on, so Bob
  // hears of no sign-off, only of the newer session's state.
  ASSERT_EQ(bob->Receive({Event("ChatUserUpdate", {"Ann Lee", false, 1}), Online("Ann Lee")}), "");
  EXPECT_NE(server.WaitErr("Ann Lee signed on again"), std::string::npos) << server.err();

  bob->Call("SendIM", {"Ann Lee", "which of you?", false});
  ASSERT_EQ(other->Receive({Event("InstantMessage", {"Bob Ray", "which of you?", false, " O"})}),
            "");
  // The older console keeps running, idle: TearDown finds it quiet.
}

// --reconnect, against a server that goes away and comes back on its port:
// the console announces each wait, signs on again and is back in every room
// it was in. A refused password ends it at once, with status 3.
TEST(Reconnect, ComesBackToItsRoomsAndStopsOnARefusedPassword) {
  PrivateFile accounts{kAccounts};
  auto server =
      std::make_unique<ServerProcess>(std::vector<std::string>{"--accounts", accounts.path});
  ASSERT_NE(server->port(), 0) << server->err();
  {
    ConsoleClient ann(*server, "Ann Lee", "ann-pw-1", {"--reconnect", "--join", "Lobby"});
    ASSERT_EQ(ann.Receive({Event("ScreennameFormat", {"Ann Lee"}), LoggedIn("annlee"),
                           Event("JoinedChat", {"Lobby", 1}),
                           Event("ChatUserUpdate", {"Ann Lee", true, 1})}),
              "");
    ann.Call("JoinChat", {"Den", 5});
    ASSERT_EQ(ann.Receive(
                  {Event("JoinedChat", {"Den", 2}), Event("ChatUserUpdate", {"Ann Lee", true, 2})}),
              "");

    const std::string port = std::to_string(server->port());
    ASSERT_EQ(server->Stop(), 0);
    ASSERT_EQ(ann.Receive({Event("ConnectionClosed")}), "");
    const auto notice = ann.ReadUntil([](const json&) { return true; });
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->back()["notice"], "reconnecting") << notice->back();
    EXPECT_EQ(notice->back()["attempt"], 1);
    EXPECT_GE(notice->back()["in"].get<double>(), 0.8);
    EXPECT_LE(notice->back()["in"].get<double>(), 1.2);

    server = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--accounts", accounts.path, "--listen", "127.0.0.1:" + port});
    ASSERT_EQ(std::to_string(server->port()), port) << server->err();
    // Attempts made before the server listened fail, each with its notice.
    const auto lines = ann.ReadUntil([](const json& l) { return l == LoggedIn("annlee"); });
    ASSERT_TRUE(lines) << ann.out();
    for (std::size_t i = 0; i + 2 < lines->size(); ++i) {
      const json& line = (*lines)[i];
      EXPECT_TRUE(line.contains("notice") || line.value("event", "") == "WinsockError") << line;
    }
    EXPECT_EQ(
        ann.Receive({Event("JoinedChat", {"Den", 1}), Event("ChatUserUpdate", {"Ann Lee", true, 1}),
                     Event("JoinedChat", {"Lobby", 2}),
                     Event("ChatUserUpdate", {"Ann Lee", true, 2})}),
        "");
    EXPECT_EQ(ann.Quiet(), "");
    EXPECT_EQ(ann.End(), 0) << ann.err();
  }
  ConsoleClient wrong(*server, "Ann Lee", "bob-pw-2", {"--reconnect"});
  EXPECT_EQ(wrong.Receive({Error(980, "Invalid account or password")}), "");
  EXPECT_EQ(wrong.Wait(), 3) << wrong.err();
  EXPECT_EQ(wrong.out().find("reconnecting"), std::string::npos) << wrong.out();
  EXPECT_EQ(server->Stop(), 0);
}

// A reader that stops reading the console's output for three keep-alive
// intervals while messages pour in costs old event lines, counted by a
// notice, but never the session: the console keeps reading the server.
TEST(StalledOutput, CostsOldEventsButNeverTheSession) {
  PrivateFile accounts{kAccounts};
  // 300 KB of messages at once: above the server's rate for one sender.
  ServerProcess server(
      {"--accounts", accounts.path, "--keepalive", "1", "--im-rate", "1073741824"});
  ASSERT_NE(server.port(), 0) << server.err();
  ConsoleClient ann(server, "Ann Lee", "ann-pw-1", {"--output-limit", "65536"});
  ASSERT_EQ(ann.Receive({Event("ScreennameFormat", {"Ann Lee"}), LoggedIn("annlee")}), "");
  ConsoleClient bob(server, "Bob Ray", "bob-pw-2", {"--packets"});
  ASSERT_TRUE(bob.ReadUntil([](const json& l) { return l.value("event", "") == "LoggedIn"; }));

  // Ann's reader stalls from here: nobody reads her output.
  const std::string text(1000, 'm');
  for (int i = 0; i < 300; ++i) bob.Call("SendIM", {"Ann Lee", std::to_string(i) + text, false});
  const auto keepAlive = [](const json& l) {
    return l.value("event", "") == "IncomingPacket" &&
           l["args"][0].get<std::string>().substr(0, 2) == "*\x05";
  };
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(bob.ReadUntil(keepAlive)) << i;

  const auto untilNotice = ann.ReadUntil([](const json& l) { return l.contains("notice"); });
  ASSERT_TRUE(untilNotice) << ann.out();
  EXPECT_EQ(untilNotice->back()["notice"], "dropped");
  EXPECT_GT(untilNotice->back()["lines"].get<int>(), 0);
  ann.Call("RemoveHtml", {"<b>still here</b>"});
  const auto rest = ann.ReadUntil([](const json& l) { return l.contains("result"); });
  ASSERT_TRUE(rest);
  EXPECT_EQ(rest->back(), json({{"result", "still here"}}));
  EXPECT_EQ(rest->at(rest->size() - 2),
            Event("InstantMessage", {"Bob Ray", "299" + text, false, " O"}))
      << "the newest events are kept";
  for (const json& l : *untilNotice) EXPECT_NE(l.value("event", ""), "ConnectionClosed");
  for (const json& l : *rest) EXPECT_NE(l.value("event", ""), "ConnectionClosed");
  bob.Call("GetStatus", {"Ann Lee"});
  EXPECT_TRUE(bob.ReadUntil([](const json& l) { return Matches(Online("Ann Lee"), l); }));
  EXPECT_EQ(server.err().find("not reading"), std::string::npos) << server.err();
  EXPECT_EQ(ann.End(), 0);
  EXPECT_EQ(bob.End(), 0);
}

// One console keeping two accounts, each on a server of its own: its lines
// name their account, calls go to the account they name, and one server's
// loss costs the other account nothing; the first comes back with its server.
class TwoAccountsOneConsole : public testing::Test {
 protected:
  static json Tagged(std::string_view account, const json& line) {
    json tagged = {{"account", account}};
    for (const auto& [key, value] : line.items()) tagged[key] = value;
    return tagged;
  }
  // Reads up to the line `wanted` of `account`; each line passed carries an
  // account of the two.
  std::optional<json> AwaitFrom(std::string_view account, const json& wanted) {
    return console.Await([&](const json& l) {
      EXPECT_TRUE(l.value("account", "") == "a" || l.value("account", "") == "b") << l;
      return Matches(Tagged(account, wanted), l) ||
             (wanted.contains("notice") && l.value("account", "") == account &&
              l.value("notice", "") == wanted["notice"]);
    });
  }

  PrivateFile accounts{kAccounts};
  std::unique_ptr<ServerProcess> serverA =
      std::make_unique<ServerProcess>(std::vector<std::string>{"--accounts", accounts.path});
  ServerProcess serverB{{"--accounts", accounts.path}};
  PrivateFile annPassword{"ann-pw-1\n"}, bobPassword{"bob-pw-2\n"};
  PrivateFile config{"reconnect\n[account a]\nserver = " + serverA->address() +
                     "\nscreen-name = Ann Lee\npassword-file = " + annPassword.path +
                     "\n\n[account b]\nserver = " + serverB.address() +
                     "\nscreen-name = Bob Ray\npassword-file = " + bobPassword.path + "\n"};
  ConsoleProcess console{{"--config", config.path}};
};

TEST_F(TwoAccountsOneConsole, RoutesByAccountAndOutlivesTheOtherServer) {
  // The two sign on in either order.
  std::set<json> signedOn;
  ASSERT_TRUE(console.Await([&](const json& l) {
    for (const json& want : {Tagged("a", LoggedIn("annlee")), Tagged("b", LoggedIn("bobray"))})
      if (Matches(want, l)) signedOn.insert(want);
    return signedOn.size() == 2;
  })) << console.out();
  // Ann, on b's server, talks with the console's account b.
  ConsoleClient ann(serverB, "Ann Lee", "ann-pw-1");
  ASSERT_TRUE(ann.AwaitEvent("LoggedIn"));
  const auto imThroughB = [&](const std::string& text) {
    console.Send({{"account", "b"}, {"call", "SendIM"}, {"args", {"Ann Lee", text, false}}});
    return ann.Receive({Event("InstantMessage", {"Bob Ray", text, false, " O"})});
  };
  ASSERT_EQ(imThroughB("hello from b"), "");
  ann.Call("SendIM", {"Bob Ray", "hello b", false});
  ASSERT_TRUE(AwaitFrom("b", Event("InstantMessage", {"Ann Lee", "hello b", false, " O"})));

  const struct {
    json line;
    json answer;
  } rows[] = {
      {{{"account", "a"}, {"call", "RemoveHtml"}, {"args", {"<i>a</i>"}}},
       Tagged("a", {{"result", "a"}})},
      {{{"account", "b"}, {"call", "Nope"}}, Tagged("b", {{"error", "unknown method \"Nope\""}})},
      {{{"call", "RemoveHtml"}, {"args", {"x"}}},
       {{"error", "with several accounts each line names its \"account\""}}},
      {{{"account", "c"}, {"call", "LogOff"}}, {{"error", "no account named \"c\" is configured"}}},
  };
  for (const auto& row : rows) {
    console.Send(row.line);
    EXPECT_EQ(console.ReadJson(), row.answer) << row.line;
  }

  // Account a's server goes; b stays signed on and in use meanwhile.
  const std::string portA = std::to_string(serverA->port());
  ASSERT_EQ(serverA->Stop(SIGKILL), 128 + SIGKILL);
  ASSERT_TRUE(AwaitFrom("a", {{"notice", "reconnecting"}})) << console.out();
  ASSERT_EQ(imThroughB("still here"), "");
  serverA = std::make_unique<ServerProcess>(
      std::vector<std::string>{"--accounts", accounts.path, "--listen", "127.0.0.1:" + portA});
  ASSERT_TRUE(AwaitFrom("a", LoggedIn("annlee"))) << console.out();
  EXPECT_EQ(console.Stop(SIGTERM), 0) << console.err();
  EXPECT_EQ(ann.End(), 0);
}

// With several accounts --reconnect ends the program, with status 3, only
// once every account has been refused; until then the others go on.
TEST(SeveralAccounts, EndOnlyOnceEveryAccountIsRefused) {
  PrivateFile accounts{kAccounts};
  ServerProcess server{{"--accounts", accounts.path}};
  const json refused = Error(980, "Invalid account or password");
  for (const char* annPassword : {"ann-pw-1", "wrong"}) {
    SCOPED_TRACE(annPassword);
    PrivateFile annFile{std::string(annPassword) + "\n"}, bobFile{"wrong\n"};
    PrivateFile config{"reconnect\nserver = " + server.address() +
                       "\n[account a]\nscreen-name = Ann Lee\npassword-file = " + annFile.path +
                       "\n[account b]\nscreen-name = Bob Ray\npassword-file = " + bobFile.path +
                       "\n"};
    ConsoleProcess console({"--config", config.path});
    ASSERT_TRUE(console.Await([&](const json& l) {
      return l == json{{"account", "b"}, {"event", "Error"}, {"args", refused["args"]}};
    })) << console.out();
    if (std::string_view(annPassword) == "wrong") {
      EXPECT_EQ(console.Wait(), 3) << console.out();
      continue;
    }
    console.Send({{"account", "a"}, {"call", "RemoveHtml"}, {"args", {"<b>on</b>"}}});
    EXPECT_TRUE(console.Await([](const json& l) { return l.contains("result"); }));
    EXPECT_EQ(console.Stop(SIGTERM), 0);
  }
}

// Many accounts of one server start together, yet the server's bound on
// sign-ons under way from one address (8) turns none of them away.
TEST(SeveralAccounts, SignOnTogetherWithinTheServersBoundPerAddress) {
  ServerProcess server;
  PrivateFile password{"pw\n"};
  std::string text = "server = " + server.address() + "\npassword-file = " + password.path + "\n";
  constexpr int kAccounts = 12;
  for (int i = 0; i < kAccounts; ++i)
    text += "[account a" + std::to_string(i) + "]\nscreen-name = user" + std::to_string(i) + "\n";
  PrivateFile config{text};
  ConsoleProcess console({"--config", config.path});
  int signedOn = 0;
  EXPECT_TRUE(console.Await([&](const json& l) {
    EXPECT_NE(l.value("event", ""), "ConnectionClosed") << l;
    return (signedOn += l.value("event", "") == "LoggedIn") == kAccounts;
  })) << console.out();
  EXPECT_EQ(console.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace reposa::e2e
