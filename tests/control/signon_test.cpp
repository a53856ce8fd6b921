#include <gtest/gtest.h>

#include <stdexcept>

#include "Session.h"

namespace kez::test {
namespace {

using Inspect = KezTOCSockInspector;
using Events = std::vector<std::string>;

const std::string kLoginTail =
    " English  \"KezTOCSock 2.0\" 160 US \"\" \"\" 3 0 30303 -kentucky -utf8 58203917";

TEST(Login, StoresNormalisedRoastedTrimmedParametersAndConnects) {
  Session s;
  s.control->Login("Some Body", "password", "  toc.example  ", 5191, " auth.example ");
  EXPECT_EQ(s.sock->calls, (Events{"Close", "Connect toc.example:5191"}));
  EXPECT_EQ(Inspect::ScreenName(*s.control), "somebody");
  EXPECT_EQ(Inspect::RoastedPassword(*s.control), "0x2408105c23001130");
  EXPECT_EQ(Inspect::TOCServerHost(*s.control), "toc.example");
  EXPECT_EQ(Inspect::AuthServerHost(*s.control), "auth.example");
  EXPECT_EQ(Inspect::ServerPort(*s.control), 5191);
  EXPECT_EQ(s.sock->sent, "") << "Login sends nothing itself";
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
    Session s;
    s.control->Login("Some Body", "password", "toc.example", 5190, row.authServer);
    s.sock->Connected();
    EXPECT_EQ(s.sock->TakeSent(), std::string("FLAPON\n\n"));
    s.sock->Arrive(Frame(1, std::string("\0\0\0\1", 4)));
    const std::string signOn = std::string("\0\0\0\1\0\1\0\x08", 8) + "somebody";
    EXPECT_EQ(s.sock->TakeSent(),
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
    Session s;
    s.Connect();
    s.sock->Arrive(Data("CHAT_JOIN:7:Room"));
    EXPECT_THROW(s.control->Login(row.name, "pw", "toc.example", 5190, row.authServer),
                 std::invalid_argument);
    EXPECT_EQ(s.sock->calls, Events{});
    EXPECT_EQ(Inspect::ScreenName(*s.control), "somebody");
    EXPECT_EQ(s.control->GetChatName(7), "Room");
  }
  // Spaces around the name vanish in normalising; bytes past 0x7F are kept.
  Session s;
  s.control->Login(" Pal \xe9 ", "pw", "toc.example", 5190, " auth.\xe9xample ");
  EXPECT_EQ(Inspect::ScreenName(*s.control), "pal\xe9");
  EXPECT_EQ(Inspect::AuthServerHost(*s.control), "auth.\xe9xample");
}

TEST(Login, EmptyPasswordRoastsToBarePrefix) {
  Session s;
  s.control->Login("x", "", "h", -3);
  s.sock->Connected();
  s.sock->TakeSent();
  s.sock->Arrive(Frame(1, ""));
  const std::string sent = s.sock->TakeSent();
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
    Session s;
    s.Connect();
    s.sock->Arrive(row.frame);
    EXPECT_EQ(s.sock->TakeSent(), row.reply) << row.frame.substr(6);
    EXPECT_EQ(s.events.events, row.events) << row.frame.substr(6);
  }
}

TEST(ProcessFrame, IncomingPacketComesFirstWithTheWholeFrame) {
  Session s;
  s.Connect();
  s.events.recordPackets = true;
  s.sock->Arrive(Data("NICK:x"));
  EXPECT_EQ(s.events.events, (Events{"IncomingPacket|" + Data("NICK:x"), "ScreennameFormat|x"}));
}

TEST(LogOff, RaisesLoggedOutThenForgetsTheSession) {
  Session s;
  s.Connect();
  s.control->SetLastChatID(7);
  std::string seenName;
  int32_t seenChat = -1;
  s.events.onEvent = [&](const std::string&) {
    seenName = Inspect::ScreenName(*s.control);
    seenChat = s.control->LastChatID();
  };
  s.control->LogOff();
  EXPECT_EQ(s.events.events, (Events{"LoggedOut|somebody"}));
  EXPECT_EQ(seenName, "somebody") << "members are reset only after the event";
  EXPECT_EQ(seenChat, 7);
  EXPECT_EQ(s.sock->calls, (Events{"Close"}));
  EXPECT_EQ(s.sock->sent, "") << "no sign-off is sent";
  EXPECT_EQ(Inspect::ScreenName(*s.control), "");
  EXPECT_EQ(Inspect::RoastedPassword(*s.control), "");
  EXPECT_EQ(Inspect::AuthServerHost(*s.control), "");
  EXPECT_EQ(Inspect::TOCServerHost(*s.control), "");
  EXPECT_EQ(Inspect::ServerPort(*s.control), 5190);
  EXPECT_EQ(s.control->LastChatID(), 0);
  for (const ChatEntry& e : Inspect::ChatTable(*s.control)) {
    EXPECT_EQ(e.ChatID, 0);
    EXPECT_EQ(e.RoomName, "");
  }
}

TEST(LogOff, WithoutLoginRaisesLoggedOutWithEmptyName) {
  Session s;
  EXPECT_EQ(Inspect::ServerPort(*s.control), 0);
  EXPECT_EQ(s.control->LastChatID(), 0);
  s.control->LogOff();
  EXPECT_EQ(s.events.events, (Events{"LoggedOut|"}));
  EXPECT_EQ(Inspect::ServerPort(*s.control), 5190);
}

TEST(SocketError, RaisesWinsockErrorOnceClosesAndKeepsTheSession) {
  Session s;
  s.Connect();
  s.sock->Fail(10061, "Connection refused");
  EXPECT_EQ(s.events.events, (Events{"WinsockError|Connection refused"}));
  EXPECT_EQ(s.sock->calls, (Events{"Close"}));
  EXPECT_EQ(Inspect::ScreenName(*s.control), "somebody");
  EXPECT_EQ(Inspect::ServerPort(*s.control), 5190);
}

TEST(PeerClose, ClosesThenRaisesConnectionClosedAndKeepsTheSession) {
  Session s;
  s.Connect();
  std::vector<std::string> callsAtEvent;
  s.events.onEvent = [&](const std::string&) { callsAtEvent = s.sock->calls; };
  s.sock->PeerClosed();
  EXPECT_EQ(s.events.events, (Events{"ConnectionClosed"}));
  EXPECT_EQ(callsAtEvent, (Events{"Close"}));
  EXPECT_EQ(Inspect::ScreenName(*s.control), "somebody");
}

TEST(PeerClose, HandlerMaySignOnAgainFromInsideTheEvent) {
  Session s;
  s.Connect();
  s.events.onEvent = [&](const std::string& e) {
    if (e == "ConnectionClosed") s.control->Login("again", "pw", "toc.example", 5190);
  };
  s.sock->PeerClosed();
  EXPECT_EQ(s.sock->calls, (Events{"Close", "Close", "Connect toc.example:5190"}));
  s.sock->Connected();
  EXPECT_EQ(s.sock->TakeSent(), "FLAPON\n\n");
}

TEST(Login, SecondLoginClearsChatsButKeepsCountingSequenceNumbers) {
  Session s;
  s.Connect();
  s.control->SendPacket(5, "");
  s.control->SendPacket(5, "");
  s.Connect("other", "pw");
  s.control->SendPacket(5, "");
  EXPECT_EQ(s.sock->TakeSent(), Frame(5, "", 2));
}

TEST(Login, DiscardsAPartialFrameAndPendingConfigurationOfTheOldConnection) {
  Session s;
  s.Connect();
  s.sock->Arrive(Data("CONFIG2:b:stale\n"));
  s.sock->Arrive(Data("NICK:half").substr(0, 7));
  EXPECT_EQ(Inspect::Config2Pending(*s.control), "b:stale\n");
  s.Connect("fresh", "pw");
  EXPECT_EQ(Inspect::Config2Pending(*s.control), "");
  EXPECT_EQ(Inspect::BufferedBytes(*s.control), 0u);
  s.sock->Arrive(Data("NICK:Fresh") + Data("CONFIG2:b:new\ndone:\n"));
  EXPECT_EQ(s.events.events,
            (Events{"ScreennameFormat|Fresh", "LoggedIn|fresh|[new]|[]|[]|[]||0"}));
}

}  // namespace
}  // namespace kez::test
