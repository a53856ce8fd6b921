#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "Core.h"

namespace kez::test {
namespace {

using Events = std::vector<std::string>;

const std::string kLoginTail =
    " English  \"KezTOCSock 2.0\" 160 US \"\" \"\" 3 0 30303 -kentucky -utf8 58203917";

TEST(Login, StoresNormalisedRoastedTrimmedParameters) {
  Core s;
  s.control->Login("Some Body", "password", "  toc.example  ", 5191, " auth.example ");
  EXPECT_EQ(s.control->ServerHost(), "toc.example");
  EXPECT_EQ(s.control->ServerPort(), 5191);
  EXPECT_EQ(s.control->ScreenName(), "somebody");
  EXPECT_FALSE(s.control->IsOpen());
  EXPECT_EQ(s.sent, "") << "Login sends nothing itself";
  EXPECT_EQ(s.LoginLine(), "toc2_login auth.example 5191 somebody 0x2408105c23001130");
}

TEST(Login, AnswersTheServerSignOnFrameWithOursAndTheLoginLine) {
  const struct {
    std::string authServer;
    std::string expectedAuth;
  } rows[] = {
      {"", std::string(kDefaultAuthServer)},
      {"   ", std::string(kDefaultAuthServer)},
      {"auth.example", "auth.example"},
  };
  for (const auto& row : rows) {
    Core s;
    s.control->Login("Some Body", "password", "toc.example", 5190, row.authServer);
    s.control->Opened();
    EXPECT_EQ(s.TakeSent(), std::string("FLAPON\n\n"));
    s.Arrive(Frame(1, std::string("\0\0\0\1", 4)));
    const std::string signOn = std::string("\0\0\0\1\0\1\0\x08", 8) + "somebody";
    EXPECT_EQ(s.TakeSent(),
              Frame(1, signOn, 0) + Sent("toc2_login " + row.expectedAuth +
                                             " 5190 somebody 0x2408105c23001130" + kLoginTail,
                                         1));
  }
}

TEST(Login, RefusesANameOrAuthorizerHostThatWouldBreakTheLoginLine) {
  const struct {
    std::string name;
    std::string authServer;
  } rows[] = {
      {"some\rbody", ""},
      {"some\nbody", ""},
      {"some\"body", ""},
      {std::string("a\0b", 3), ""},
      {"a\tb", ""},
      {"a\x7f", ""},
      {"pal", "auth host"},
      {"pal", "auth\r\nhost"},
      {"pal", std::string("au\0th", 5)},
      {"pal", "\x7f"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name + "/" + row.authServer);
    Core s;
    s.Connect();
    s.Arrive(Data("CHAT_JOIN:7:Room"));
    EXPECT_THROW(s.control->Login(row.name, "pw", "toc.example", 5190, row.authServer),
                 std::invalid_argument);
    EXPECT_TRUE(s.control->IsOpen());
    EXPECT_EQ(s.control->ScreenName(), "somebody");
    EXPECT_EQ(s.control->GetChatName(7), "Room");
  }
  // Spaces around the name vanish in normalising; bytes past 0x7F are kept.
  Core s;
  s.control->Login(" Pal \xe9 ", "pw", "toc.example", 5190, " auth.\xe9xample ");
  EXPECT_EQ(s.LoginLine(), "toc2_login auth.\xe9xample 5190 pal\xe9 0x241e");
}

TEST(Login, EmptyPasswordRoastsToBarePrefix) {
  Core s;
  s.control->Login("x", "", "h", -3);
  s.control->Opened();
  s.TakeSent();
  s.Arrive(Frame(1, ""));
  const std::string sent = s.TakeSent();
  EXPECT_NE(sent.find(" -3 x 0x English "), std::string::npos) << sent;
}

TEST(ProcessFrame, AnswersByFrameType) {
  const struct {
    std::string frame;
    std::string reply;
    Events events;
  } rows[] = {
      {Frame(5, ""), Frame(5, "", 0), {}},
      {Frame(5, "ignored"), Frame(5, "", 0), {}},
      {Frame(3, "x"), "", {}},
      {Frame(4, ""), "", {}},
      {Data("SIGN_ON:TOC2.0"), "", {}},
      {Data("NICK:Some:Body"), "", {"ScreennameFormat|Some:Body"}},
      {Data("NICK:"), "", {"ScreennameFormat|"}},
      {Data("NICK"), "", {}},
      {Data("FOO:1:2"), "", {}},
      {Data("nick:x"), "", {}},
      {Data(""), "", {}},
      {Frame(6, ""), "", {"Error|0|Unknown Channel Detected: \x06"}},
      {Frame(0, "abc"), "", {std::string("Error|0|Unknown Channel Detected: ") + '\0'}},
  };
  for (const auto& row : rows) {
    Core s;
    s.Connect();
    s.Arrive(row.frame);
    EXPECT_EQ(s.TakeSent(), row.reply) << row.frame.substr(6);
    EXPECT_EQ(s.events.events, row.events) << row.frame.substr(6);
  }
}

TEST(ProcessFrame, IncomingPacketComesFirstWithTheWholeFrame) {
  Core s;
  s.Connect();
  s.events.recordPackets = true;
  s.Arrive(Data("NICK:x"));
  EXPECT_EQ(s.events.events, (Events{"IncomingPacket|" + Data("NICK:x"), "ScreennameFormat|x"}));
}

TEST(LogOff, RaisesLoggedOutThenForgetsTheSession) {
  Core s;
  s.Connect();
  s.Arrive(Data("CHAT_JOIN:7:Room"));
  s.events.Clear();
  std::string seenName;
  int32_t seenChat = -1;
  s.events.onEvent = [&](const std::string&) {
    seenName = s.control->ScreenName();
    seenChat = s.control->LastChatID();
  };
  s.control->LogOff();
  EXPECT_EQ(s.events.events, (Events{"LoggedOut|somebody"}));
  EXPECT_EQ(seenName, "somebody") << "members are reset only after the event";
  EXPECT_EQ(seenChat, 7);
  EXPECT_EQ(s.calls, (Events{"Close"}));
  EXPECT_EQ(s.sent, "") << "no sign-off is sent";
  EXPECT_EQ(s.control->LastChatID(), 0);
  EXPECT_EQ(s.control->GetChatName(7), "[No Chat Name Found for ID]");
  EXPECT_EQ(s.control->ServerHost(), "");
  EXPECT_EQ(s.control->ServerPort(), 5190);
  EXPECT_EQ(s.LoginLine(), "toc2_login  5190  ") << "name, hosts and password forgotten";
}

TEST(LogOff, WithoutLoginRaisesLoggedOutWithEmptyName) {
  Core s;
  EXPECT_EQ(s.control->ServerPort(), 0);
  EXPECT_EQ(s.control->LastChatID(), 0);
  s.control->LogOff();
  EXPECT_EQ(s.events.events, (Events{"LoggedOut|"}));
  EXPECT_EQ(s.control->ServerPort(), 5190);
}

TEST(ConnectionEnd, FailureOrPeerCloseClosesOnceRaisesAndKeepsTheSession) {
  for (const bool peer : {false, true}) {
    Core s;
    s.Connect();
    Events callsAtEvent{"unset"};
    s.events.onEvent = [&](const std::string&) {
      callsAtEvent = s.calls;
      s.control->SendPacket(5, "");  // nothing goes out on the ended connection
    };
    peer ? s.control->PeerClosed() : s.control->Failed("Connection refused");
    EXPECT_EQ(s.events.events,
              (Events{peer ? "ConnectionClosed" : "WinsockError|Connection refused"}));
    // The close comes before ConnectionClosed, after WinsockError.
    EXPECT_EQ(callsAtEvent, peer ? Events{"Close"} : Events{});
    EXPECT_EQ(s.calls, (Events{"Close"}));
    EXPECT_EQ(s.sent, "");
    EXPECT_EQ(s.control->ScreenName(), "somebody");
    EXPECT_EQ(s.control->ServerPort(), 5190);
  }
}

// One session walked through its life: the state after each step, the
// events it raised (and the state their handler saw), the close requests, and
// whether a command then reaches the server.
TEST(SessionState, FollowsTheConnectionAndTheSignOn) {
  using enum SessionState;
  Core s;
  std::vector<SessionState> seen;
  s.events.onEvent = [&](const std::string&) { seen.push_back(s.control->State()); };
  const std::string signOnFrame = Frame(1, std::string("\0\0\0\1", 4));
  const auto login = [&] { s.control->Login("Some Body", "pw", "toc.example", 5190); };
  const struct {
    const char* step;
    std::function<void()> act;
    SessionState state;
    Events events;
    std::size_t closes;
    bool commandsGoOut;
  } steps[] = {
      {"new", [] {}, Closed, {}, 0, false},
      {"Login", login, Connecting, {}, 0, false},
      {"Opened", [&] { s.control->Opened(); }, Connecting, {}, 0, false},
      {"sign-on frame answered", [&] { s.Arrive(signOnFrame); }, SigningOn, {}, 0, true},
      {"NICK",
       [&] { s.Arrive(Data("NICK:Some Body")); },
       SigningOn,
       {"ScreennameFormat|Some Body"},
       0,
       true},
      {"an error changes nothing",
       [&] { s.Arrive(Data("ERROR:983")); },
       SigningOn,
       {"Error|983|You are attempting to sign on again too soon"},
       0,
       true},
      {"configuration",
       [&] { s.Arrive(Data("CONFIG2:done:\n")); },
       SignedOn,
       {"LoggedIn|somebody|[]|[]|[]|[]||0"},
       0,
       true},
      {"sign-on frame again", [&] { s.Arrive(signOnFrame); }, SigningOn, {}, 0, true},
      {"failure", [&] { s.control->Failed("reset"); }, Closed, {"WinsockError|reset"}, 1, false},
      {"second failure", [&] { s.control->Failed("again"); }, Closed, {}, 0, false},
      {"peer close after it", [&] { s.control->PeerClosed(); }, Closed, {}, 0, false},
      {"Login again", login, Connecting, {}, 0, false},
      {"peer close while connecting",
       [&] { s.control->PeerClosed(); },
       Closed,
       {"ConnectionClosed"},
       1,
       false},
      {"second peer close", [&] { s.control->PeerClosed(); }, Closed, {}, 0, false},
      {"configuration ahead of a sign-on",
       [&] { login(), s.control->Opened(), s.Arrive(Data("CONFIG2:done:\n")); },
       Connecting,
       {"LoggedIn|somebody|[]|[]|[]|[]||0"},
       0,
       false},
      {"LogOff", [&] { s.control->LogOff(); }, Closed, {"LoggedOut|somebody"}, 1, false},
      {"failure after LogOff", [&] { s.control->Failed("late"); }, Closed, {}, 0, false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.step);
    s.calls.clear();
    s.events.Clear();
    seen.clear();
    step.act();
    EXPECT_EQ(s.control->State(), step.state);
    EXPECT_EQ(s.events.events, step.events);
    EXPECT_EQ(seen, std::vector<SessionState>(step.events.size(), step.state))
        << "a handler sees the state its event moved to";
    EXPECT_EQ(s.calls.size(), step.closes);
    s.sent.clear();
    s.control->GetStatus("pal");
    EXPECT_EQ(s.TakeSent().empty(), !step.commandsGoOut);
  }
}

TEST(Login, SecondLoginClearsChatsButKeepsCountingSequenceNumbers) {
  Core s;
  s.Connect();
  s.Arrive(Data("CHAT_JOIN:7:Room"));
  s.control->SendPacket(5, "");
  s.control->SendPacket(5, "");
  s.Connect("other", "pw");
  EXPECT_EQ(s.control->GetChatName(7), "[No Chat Name Found for ID]");
  EXPECT_EQ(s.control->LastChatID(), 7) << "only LogOff resets LastChatID";
  EXPECT_EQ(s.NextSequence(), 2);
}

TEST(Login, DiscardsAPartialFrameAndPendingConfigurationOfTheOldConnection) {
  Core s;
  s.Connect();
  s.Arrive(Data("CONFIG2:b:stale\n"));
  s.Arrive(Data("NICK:half").substr(0, 7));
  EXPECT_EQ(s.control->BufferedBytes(), 7u);
  s.Connect("fresh", "pw");
  EXPECT_EQ(s.control->BufferedBytes(), 0u);
  s.Arrive(Data("NICK:Fresh") + Data("CONFIG2:b:new\ndone:\n"));
  EXPECT_EQ(s.events.events,
            (Events{"ScreennameFormat|Fresh", "LoggedIn|fresh|[new]|[]|[]|[]||0"}));
}

}  // namespace
}  // namespace kez::test
