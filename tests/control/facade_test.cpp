// KezTOCSock on its own: the core joined to a Socket. The protocol itself is
// tested on the core; these pin what the facade does with the socket.

#include <gtest/gtest.h>

#include <functional>

#include "Core.h"
#include "Session.h"

namespace kez::test {
namespace {

using Events = std::vector<std::string>;

TEST(Facade, LoginClosesThenConnectsToTheTrimmedHost) {
  Session s;
  s.control->Login("Some Body", "password", "  toc.example  ", 5191, " auth.example ");
  EXPECT_EQ(s.sock->calls, (Events{"Close", "Connect toc.example:5191"}));
  EXPECT_EQ(s.sock->sent, "");
  EXPECT_THROW(s.control->Login("a\nb", "pw", "toc.example", 5190), std::invalid_argument);
  EXPECT_EQ(s.sock->calls.size(), 2u) << "a refused Login leaves the socket alone";
  s.sock->Connected();
  EXPECT_EQ(s.sock->TakeSent(), "FLAPON\n\n");
  s.sock->Arrive(Frame(1, std::string("\0\0\0\1", 4)));
  EXPECT_NE(s.sock->TakeSent().find("toc2_login auth.example 5191 somebody "), std::string::npos);
}

TEST(Facade, NothingIsSentOrReadWhileTheSocketIsNotConnected) {
  Session s;
  s.control->SendPacket(2, "toc_init_done");  // never connected
  s.control->Login("a", "b", "h", 1);         // connecting
  s.control->SendPacket(2, "toc_init_done");
  s.sock->Arrive(Data("NICK:x"));
  EXPECT_EQ(s.sock->sent, "");
  EXPECT_TRUE(s.events.events.empty());
  EXPECT_EQ(s.sock->incoming, Data("NICK:x")) << "bytes wait in the socket";
}

TEST(Facade, SocketErrorRaisesWinsockErrorThenClosesOnce) {
  Session s;
  s.Connect();
  Events callsAtEvent;
  s.events.onEvent = [&](const std::string&) { callsAtEvent = s.sock->calls; };
  s.sock->Fail(10061, "Connection refused");
  s.sock->Fail(10061, "Connection refused");  // a second report changes nothing
  EXPECT_EQ(s.events.events, (Events{"WinsockError|Connection refused"}));
  EXPECT_EQ(callsAtEvent, Events{});
  EXPECT_EQ(s.sock->calls, (Events{"Close"}));
  EXPECT_EQ(s.control->State(), SessionState::Closed);
}

TEST(Facade, AConnectRefusedAtOnceIsAFailedConnection) {
  Session s;
  s.sock->refuseConnect = true;
  s.control->Login("Some Body", "pw", "toc.example", 5190);
  EXPECT_EQ(s.events.events, (Events{"WinsockError|refused at once"}));
  EXPECT_EQ(s.sock->calls, (Events{"Close", "Connect toc.example:5190", "Close"}));
  EXPECT_EQ(s.control->State(), SessionState::Closed);
}

// Through the socket too, a command goes out only once the control has
// answered the server's sign-on; before that it is dropped, not kept.
TEST(Facade, CommandsReachTheServerOnlyAfterTheSignOnAnswer) {
  Session s;
  const struct {
    const char* when;
    std::function<void()> reach;
    SessionState state;
    std::string sent;
  } rows[] = {
      {"logged in", [&] { s.control->Login("Some Body", "pw", "toc.example", 5190); },
       SessionState::Connecting, ""},
      {"connected", [&] { s.sock->Connected(), s.sock->TakeSent(); }, SessionState::Connecting, ""},
      {"sign-on answered",
       [&] { s.sock->Arrive(Frame(1, std::string("\0\0\0\1", 4))), s.sock->TakeSent(); },
       SessionState::SigningOn, Sent(R"(toc_get_status "pal")", 2)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.when);
    row.reach();
    EXPECT_EQ(s.control->State(), row.state);
    s.control->GetStatus("pal");
    EXPECT_EQ(s.sock->TakeSent(), row.sent);
  }
}

TEST(Facade, PeerCloseClosesThenRaisesAndTheHandlerMaySignOnAgain) {
  Session s;
  s.Connect();
  Events callsAtEvent;
  s.events.onEvent = [&](const std::string& e) {
    callsAtEvent = s.sock->calls;
    if (e == "ConnectionClosed") s.control->Login("again", "pw", "toc.example", 5190);
  };
  s.sock->PeerClosed();
  EXPECT_EQ(s.events.events, (Events{"ConnectionClosed"}));
  EXPECT_EQ(callsAtEvent, (Events{"Close"}));
  EXPECT_EQ(s.sock->calls, (Events{"Close", "Close", "Connect toc.example:5190"}));
  s.sock->Connected();
  EXPECT_EQ(s.sock->TakeSent(), "FLAPON\n\n");
}

TEST(Facade, LogOffClosesBeforeLoggedOut) {
  Session s;
  s.Connect();
  Events callsAtEvent;
  s.events.onEvent = [&](const std::string&) { callsAtEvent = s.sock->calls; };
  s.control->LogOff();
  EXPECT_EQ(callsAtEvent, (Events{"Close"}));
  EXPECT_EQ(s.events.events, (Events{"LoggedOut|somebody"}));
  EXPECT_FALSE(s.sock->connected);
}

}  // namespace
}  // namespace kez::test
