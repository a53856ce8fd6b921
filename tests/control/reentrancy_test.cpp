// Hosts may call back into the control, or destroy it, from inside any event.

#include <gtest/gtest.h>

#include "Session.h"

namespace kez::test {
namespace {

using Events = std::vector<std::string>;

TEST(Reentrancy, LogOffInsideLoggedInDropsInitDoneAndKeepsReadingTheArrival) {
  Session s;
  s.Connect();
  s.events.onEvent = [&](const std::string& e) {
    if (e.starts_with("LoggedIn")) s.control->LogOff();
  };
  s.sock->Arrive(Data("CONFIG2:done:\n") + Data("NICK:after"));
  EXPECT_EQ(s.events.events, (Events{"LoggedIn|somebody|[]|[]|[]|[]||0", "LoggedOut|somebody",
                                     "ScreennameFormat|after"}));
  EXPECT_EQ(s.sock->sent, "") << "toc_init_done is dropped once the socket is closed";
}

TEST(Reentrancy, LogOffInsideIncomingPacketStillHandsOnTheFrame) {
  Session s;
  s.Connect();
  s.events.recordPackets = true;
  bool done = false;
  s.events.onEvent = [&](const std::string& e) {
    if (!done && e.starts_with("IncomingPacket")) {
      done = true;
      s.control->LogOff();
    }
  };
  s.sock->Arrive(Frame(5, "") + Data("NICK:x"));
  EXPECT_EQ(s.events.events, (Events{"IncomingPacket|" + Frame(5, ""), "LoggedOut|somebody",
                                     "IncomingPacket|" + Data("NICK:x"), "ScreennameFormat|x"}));
  EXPECT_EQ(s.sock->sent, "") << "the keep-alive answer is dropped";
}

TEST(Reentrancy, LoginInsideAnEventReconnectsAndDropsTheOldPartialFrame) {
  Session s;
  s.Connect();
  s.events.onEvent = [&](const std::string& e) {
    if (e.starts_with("Error")) s.control->Login("retry", "pw", "toc.example", 5190);
  };
  s.sock->Arrive(Data("ERROR:980") + Data("NICK:whole") + Data("NICK:partial").substr(0, 8));
  EXPECT_EQ(s.events.events,
            (Events{"Error|980|Invalid account or password", "ScreennameFormat|whole"}));
  EXPECT_EQ(KezTOCSockInspector::BufferedBytes(*s.control), 0u);
  EXPECT_EQ(s.sock->calls, (Events{"Close", "Connect toc.example:5190"}));
}

TEST(Reentrancy, NestedArrivalInsideAHandlerKeepsStreamOrder) {
  Session s;
  s.Connect();
  const std::string second = Data("NICK:2") + Data("NICK:3");
  bool nested = false;
  s.events.onEvent = [&](const std::string& e) {
    // A handler that runs its own event loop lets the next arrival in.
    if (!nested && e == "ScreennameFormat|1") {
      nested = true;
      s.sock->Arrive(second.substr(0, 10));
    }
  };
  s.sock->Arrive(Data("NICK:1") + Data("NICK:1b"));
  s.sock->Arrive(second.substr(10));
  EXPECT_EQ(s.events.events, (Events{"ScreennameFormat|1", "ScreennameFormat|1b",
                                     "ScreennameFormat|2", "ScreennameFormat|3"}));
}

// Each row names the event whose handler destroys the control, and the input
// that raises it with more work queued behind it.
TEST(Reentrancy, DestroyingTheControlInsideAnEventIsSafe) {
  const struct {
    std::string event;
    std::function<void(Session&)> trigger;
  } rows[] = {
      {"IncomingPacket", [](Session& s) { s.sock->Arrive(Frame(5, "") + Frame(5, "")); }},
      {"LoggedIn", [](Session& s) { s.sock->Arrive(Data("CONFIG2:done:\n") + Frame(5, "")); }},
      {"Error", [](Session& s) { s.sock->Arrive(Frame(9, "") + Frame(9, "")); }},
      {"ScreennameFormat", [](Session& s) { s.sock->Arrive(Data("NICK:a") + Data("NICK:b")); }},
      {"WinsockError", [](Session& s) { s.sock->Fail(1, "boom"); }},
      {"ConnectionClosed", [](Session& s) { s.sock->PeerClosed(); }},
      {"LoggedOut", [](Session& s) { s.control->LogOff(); }},
  };
  for (const auto& row : rows) {
    Session s;
    s.Connect();
    s.events.recordPackets = true;
    s.events.onEvent = [&](const std::string& e) {
      if (s.control && e.starts_with(row.event)) s.control.reset();
    };
    row.trigger(s);  // the fake socket dies with the control; nothing may touch it after
    EXPECT_EQ(s.control, nullptr) << row.event;
  }
}

}  // namespace
}  // namespace kez::test
