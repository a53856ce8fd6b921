// KezTOCSock on its own: the core joined to a Socket. The protocol itself is
// tested on the core; these pin what the facade does with the socket.

#include <gtest/gtest.h>

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
  EXPECT_EQ(s.events.events, (Events{"WinsockError|Connection refused"}));
  EXPECT_EQ(callsAtEvent, Events{});
  EXPECT_EQ(s.sock->calls, (Events{"Close"}));
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
