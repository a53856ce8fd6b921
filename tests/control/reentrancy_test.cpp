// Hosts may call back into the control, or destroy it, from inside any event.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string_view>

#include "Core.h"
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

// Signing off while the server's sign-on frame is in hand: nothing answers
// it, and the session stays closed, so no command goes out either.
TEST(Reentrancy, LogOffInsideTheSignOnFrameLeavesTheSessionClosed) {
  Core s;
  s.Connect();
  s.events.recordPackets = true;
  s.events.onEvent = [&](const std::string& e) {
    if (e.starts_with("IncomingPacket")) s.control->LogOff();
  };
  s.Arrive(Frame(1, std::string("\0\0\0\1", 4)));
  EXPECT_EQ(s.control->State(), SessionState::Closed);
  s.control->GetStatus("pal");
  EXPECT_EQ(s.sent, "");
}

TEST(Reentrancy, LoginInsideAnEventDropsTheRestOfTheOldArrival) {
  Session s;
  s.Connect();
  s.events.onEvent = [&](const std::string& e) {
    if (e.starts_with("InstantMessage")) s.control->Login("retry", "pw", "toc.example", 5190);
  };
  // After the Login, neither the old account's partial configuration nor its
  // chat join may reach the new session.
  s.sock->Arrive(Data("IM_IN_ENC2:ann:F:x:x:U:x:x:x:hi") + Data("CONFIG2:g:Old\nb:old\n") +
                 Data("CHAT_JOIN:7:OldRoom") + Data("NICK:partial").substr(0, 8));
  s.sock->Connected();
  s.sock->Arrive(Data("CONFIG2:b:new\ndone:\n"));
  EXPECT_EQ(s.events.events,
            (Events{"InstantMessage|ann|hi|false|U", "LoggedIn|retry|[new]|[]|[]|[]||0"}));
  EXPECT_EQ(s.control->GetChatName(7), "[No Chat Name Found for ID]");
  EXPECT_EQ(s.sock->calls, (Events{"Close", "Connect toc.example:5190"}));
}

TEST(Reentrancy, HandlerExceptionComesOutAfterTheWholeArrival) {
  Session s;
  s.Connect();
  s.events.onEvent = [&](const std::string& e) {
    if (e.starts_with("ScreennameFormat|1")) throw std::invalid_argument("host fault " + e);
  };
  // Thrown on the first of two frames (and again on the second): the second
  // is still handled, the keep-alive answered, and the first exception comes out.
  try {
    s.sock->Arrive(Data("NICK:1a") + Data("NICK:1b") + Frame(5, ""));
    ADD_FAILURE() << "the handler's exception was swallowed";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "host fault ScreennameFormat|1a");
  }
  s.sock->Arrive(Data("NICK:2"));
  EXPECT_EQ(s.events.events,
            (Events{"ScreennameFormat|1a", "ScreennameFormat|1b", "ScreennameFormat|2"}));
  EXPECT_EQ(s.sock->sent, Frame(5, "", 0));
}

TEST(Reentrancy, OwnerCallbackThatThrowsLeavesTheReaderWhole) {
  Core s;
  s.Connect();
  int sends = 0;
  s.control->SetSend([&](std::string_view bytes) {
    if (++sends == 1) throw std::runtime_error("write failed");
    s.sent.append(bytes);
  });
  // The first keep-alive answer throws; the second frame is still handled,
  // the exception comes out once, and the next arrival is read.
  EXPECT_THROW(s.Arrive(Frame(5, "") + Data("NICK:a") + Frame(5, "")), std::runtime_error);
  s.Arrive(Data("NICK:b"));
  EXPECT_EQ(s.events.events, (Events{"ScreennameFormat|a", "ScreennameFormat|b"}));
  EXPECT_EQ(s.sent, Frame(5, "", 1));
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

TEST(Reentrancy, BytesArrivingNestedAfterALoginBelongToTheNewConnection) {
  Session s;
  s.Connect();
  const std::string fresh = Frame(1, std::string("\0\0\0\1", 4)) + Data("NICK:new");
  s.events.onEvent = [&](const std::string& e) {
    if (e != "ScreennameFormat|old") return;
    // The handler signs on again and runs its own event loop, which lets the
    // new connection open and its first bytes in before the handler returns.
    s.control->Login("again", "pw", "toc.example", 5190);
    s.sock->Connected();
    s.sock->Arrive(fresh.substr(0, 13));
  };
  s.sock->Arrive(Data("NICK:old") + Data("NICK:old2") + Data("NICK:stale").substr(0, 9));
  s.sock->Arrive(fresh.substr(13));
  EXPECT_EQ(s.events.events, (Events{"ScreennameFormat|old", "ScreennameFormat|new"}));
  // The new connection's sign-on frame was answered: opening string, our
  // sign-on frame and the login line, nothing of the old connection mixed in.
  const std::string sent = s.sock->TakeSent();
  EXPECT_TRUE(sent.starts_with("FLAPON\n\n" + Frame(1, std::string("\0\0\0\1\0\1\0\5again", 13))))
      << sent;
  EXPECT_NE(sent.find("toc2_login login.toc.localhost 5190 again "), std::string::npos);
}

// A host that, at the first raising of one chosen event, calls back into the
// control (or destroys it) and only then reads the event's arguments: an
// argument that referred to the control's own state shows up changed, or
// freed under AddressSanitizer.
class ActingHost;
struct ActOn {
  ActingHost* host;
  template <class... Args>
  void operator()(std::string_view name, const Args&... args) const;
};

class ActingHost final : public EventForwarder<ActOn> {
 public:
  ActingHost() : EventForwarder<ActOn>(ActOn{this}) {}
  std::string target;
  std::function<void()> action;
  std::vector<std::string> lines;
  bool fired() const { return fired_; }

  template <class... Args>
  void On(std::string_view name, const Args&... args) {
    const bool fire = !fired_ && name == target;
    const auto record = [&] {
      if (name == "IncomingPacket" && !fire) return;  // every frame raises it: noise
      lines.push_back(EventLine::Of(name, args...));
    };
    if (fire) {
      fired_ = true;
      try {
        action();
      } catch (...) {
        record();
        throw;
      }
    }
    record();
  }

 private:
  bool fired_ = false;
};

template <class... Args>
void ActOn::operator()(std::string_view name, const Args&... args) const {
  host->On(name, args...);
}

// The frames a control sent, as "type:payload" with a data frame's NUL
// dropped; a frame out of shape or out of sequence (from `seq`) shows as "?".
std::vector<std::string> SentFrames(std::string_view bytes, int seq) {
  std::vector<std::string> out;
  for (; !bytes.empty(); ++seq) {
    if (bytes.size() < 6 || bytes[0] != '*') return out.push_back("?shape"), out;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const std::size_t length = byte(4) * 256u + byte(5);
    if (bytes.size() < 6 + length || byte(2) * 256 + byte(3) != seq)
      return out.push_back("?header"), out;
    std::string_view payload = bytes.substr(6, length);
    if (byte(1) == 2 && payload.ends_with('\0')) payload.remove_suffix(1);
    out.push_back(std::to_string(byte(1)) + ":" + std::string(payload));
    bytes.remove_prefix(6 + length);
  }
  return out;
}

// One row per event of the listener: what raises it (server bytes, or a call
// for the three events that come from elsewhere), the lines it raises, and
// the frames the control itself sends for it after the event.
struct Trigger {
  const char* event;
  std::string arrival;
  std::function<void(SessionCore&)> other;
  Events lines;
  Events answers;
  // Where the session stands after the event, signed on to begin with.
  SessionState after = SessionState::SigningOn;
};

const std::vector<Trigger>& Triggers() {
  static const std::vector<Trigger> rows = {
      {"JoinedChat", Data("CHAT_JOIN:7:Lobby"), {}, {"JoinedChat|Lobby|7"}, {}},
      {"ChatMessage",
       Data("CHAT_IN_ENC:7:ann:F:x:y:hi:there"),
       {},
       {"ChatMessage|7|ann|hi:there"},
       {}},
      {"ChatInvite", Data("CHAT_INVITE:Lobby:7:ann:come"), {}, {"ChatInvite|Lobby|7|ann|come"}, {}},
      {"LeftChat", Data("CHAT_LEFT:7"), {}, {"LeftChat|7"}, {}},
      {"ChatUserUpdate",
       Data("CHAT_UPDATE_BUDDY:7:T:ann:bob"),
       {},
       {"ChatUserUpdate|ann|true|7", "ChatUserUpdate|bob|true|7"},
       {}},
      {"BuddyUpdate",
       Data("UPDATE_BUDDY2:ann:T:10:100:5: O :x"),
       {},
       {"BuddyUpdate|ann|true|10|100|5| O "},
       {}},
      {"BuddyCapabilities", Data("BUDDY_CAPS2:ann:1,2"), {}, {"BuddyCapabilities|ann|1,2"}, {}},
      {"BuddyBart", Data("BART2:ann:0 2 x"), {}, {"BuddyBart|ann|0 2 x"}, {}},
      {"BuddyAdded", Data("INSERTED2:b:Al:ann:Pals"), {}, {"BuddyAdded|Pals|ann|Al"}, {}},
      {"GroupAdded", Data("INSERTED2:g:Pals"), {}, {"GroupAdded|Pals"}, {}},
      {"PrivateBuddyAdded", Data("INSERTED2:p:ann"), {}, {"PrivateBuddyAdded|ann"}, {}},
      {"BuddyBlocked", Data("INSERTED2:d:ann"), {}, {"BuddyBlocked|ann"}, {}},
      {"BuddyRemoved", Data("DELETED2:b:ann:Pals"), {}, {"BuddyRemoved|Pals|ann"}, {}},
      {"GroupRemoved", Data("DELETED2:g:Pals"), {}, {"GroupRemoved|Pals"}, {}},
      {"PrivateBuddyRemoved", Data("DELETED2:p:ann"), {}, {"PrivateBuddyRemoved|ann"}, {}},
      {"BuddyUnblocked", Data("DELETED2:d:ann"), {}, {"BuddyUnblocked|ann"}, {}},
      {"LoggedIn",
       Data("CONFIG2:m:3\ng:Pals\nb:ann\ndone:\n"),
       {},
       {"LoggedIn|somebody|[[group]Pals,ann]|[]|[]|[]||3"},
       {"2:toc_init_done"},
       SessionState::SignedOn},
      {"LoggedOut",
       {},
       [](SessionCore& c) { c.LogOff(); },
       {"LoggedOut|somebody"},
       {},
       SessionState::Closed},
      {"ScreennameFormat", Data("NICK:Some Body"), {}, {"ScreennameFormat|Some Body"}, {}},
      {"InstantMessage",
       Data("IM_IN_ENC2:ann:T:x:x: O :x:x:x:hi"),
       {},
       {"InstantMessage|ann|hi|true| O "},
       {}},
      {"UserProfile", Data("GOTO_URL:x:info?u=ann"), {}, {"UserProfile|info?u=ann"}, {}},
      {"Error", Data("ERROR:980"), {}, {"Error|980|Invalid account or password"}, {}},
      {"Warned", Data("EVILED:50:ann"), {}, {"Warned|50|ann"}, {}},
      {"TypingStatus", Data("CLIENT_EVENT2:ann:2"), {}, {"TypingStatus|ann|2"}, {}},
      {"WinsockError",
       {},
       [](SessionCore& c) { c.Failed("Connection reset by peer"); },
       {"WinsockError|Connection reset by peer"},
       {},
       SessionState::Closed},
      {"RendevousRequest",
       Data("RVOUS_PROPOSE:ann:uuid:cookie:x:1.2.3.4:5.6.7.8:9.9.9.9:4443"),
       {},
       {"RendevousRequest|ann|uuid|cookie|1.2.3.4|5.6.7.8|9.9.9.9|4443"},
       {}},
      {"IncomingPacket", Frame(5, ""), {}, {"IncomingPacket|" + Frame(5, "")}, {"5:"}},
      {"PasswordChanged", Data("ADMIN_PASSWD_STATUS:0"), {}, {"PasswordChanged"}, {}},
      {"ScreenNameFormatted", Data("ADMIN_NICK_STATUS:0"), {}, {"ScreenNameFormatted"}, {}},
      {"ConnectionClosed",
       {},
       [](SessionCore& c) { c.PeerClosed(); },
       {"ConnectionClosed"},
       {},
       SessionState::Closed},
  };
  return rows;
}

enum class Act { LogOff, Login, Command, Destroy, Throw };

struct Rig {
  ActingHost host;
  std::unique_ptr<SessionCore> control = std::make_unique<SessionCore>(&host);
  std::string sent;
  Events calls;  // "Close" for each close request, "Login" for the host's
  Rig() {
    control->SetSend([this](std::string_view bytes) { sent.append(bytes); });
    control->SetClose([this] { calls.push_back("Close"); });
    control->Login("Some Body", "password", "toc.example", 5190);
    control->Opened();
    control->Receive(Frame(1, std::string("\0\0\0\1", 4)));  // signed on: sequence 0 and 1
    sent.clear();
  }
};

class EveryEvent : public ::testing::TestWithParam<Act> {};

// Each event's handler signs off, signs on again, sends a command, destroys
// the control or throws; the rest of the arrival (a NICK and a keep-alive)
// shows whether the control carried on correctly.
TEST_P(EveryEvent, HandlerMayCallBackIntoTheControlOrDestroyIt) {
  const Act act = GetParam();
  const std::string command = "2:toc_send_im \"bob\" \"hi\"";
  std::set<std::string> covered;
  for (const Trigger& row : Triggers()) {
    SCOPED_TRACE(row.event);
    Rig rig;
    rig.host.target = row.event;
    rig.host.action = [&] {
      switch (act) {
        case Act::LogOff:
          rig.control->LogOff();
          break;
        case Act::Login:
          rig.control->Login("Again", "pw2", " retry.example ", 5191);
          rig.calls.push_back("Login");
          rig.control->Opened();  // the new connection opens at once
          rig.sent.clear();
          break;
        case Act::Command:
          rig.control->SendIM("Bob", "hi", false);
          break;
        case Act::Destroy:
          rig.control.reset();
          break;
        case Act::Throw:
          throw std::length_error("from the handler");
      }
    };
    const bool arrives = !row.arrival.empty();
    const auto deliver = [&] {
      if (arrives) {
        rig.control->Receive(row.arrival + Data("NICK:after") + Frame(5, ""));
      } else {
        row.other(*rig.control);
      }
    };
    if (act == Act::Throw) {
      EXPECT_THROW(deliver(), std::length_error);
    } else {
      deliver();
    }

    Events expected = row.lines;
    if (arrives) expected.push_back("ScreennameFormat|after");
    Events sent;
    switch (act) {
      case Act::LogOff:
        expected.insert(expected.begin(), "LoggedOut|somebody");
        EXPECT_EQ(rig.control->ScreenName(), "");
        EXPECT_EQ(rig.control->ServerPort(), 5190);
        EXPECT_FALSE(rig.control->IsOpen());
        break;
      case Act::Login:
        EXPECT_EQ(rig.control->ScreenName(), "again");
        EXPECT_EQ(rig.control->ServerHost(), "retry.example");
        EXPECT_EQ(rig.control->ServerPort(), 5191);
        EXPECT_EQ(rig.calls.back(), "Login") << "the new connection must not be closed again";
        EXPECT_EQ(rig.control->BufferedBytes(), 0u);
        expected.resize(1);  // nothing more of the old connection is handled
        break;
      case Act::Command:
        if (arrives) {
          sent.push_back(command);
          sent.insert(sent.end(), row.answers.begin(), row.answers.end());
          sent.push_back("5:");
        }
        EXPECT_EQ(rig.control->ScreenName(),
                  std::string_view(row.event) == "LoggedOut" ? "" : "somebody");
        EXPECT_EQ(rig.control->State(), row.after);
        break;
      case Act::Destroy:
        expected.resize(1);  // nothing after the event in which it died
        EXPECT_EQ(rig.control, nullptr);
        break;
      case Act::Throw:
        // Everything is handled as if nothing was thrown, and the next
        // arrival is read normally.
        if (arrives) {
          sent = row.answers;
          sent.push_back("5:");
        }
        if (std::string_view(row.event) == "LoggedOut") {
          EXPECT_EQ(rig.control->ScreenName(), "");
        }
        if (rig.control->IsOpen()) {
          rig.control->Receive(Data("NICK:next"));
          expected.push_back("ScreennameFormat|next");
        } else {
          EXPECT_EQ(rig.calls, Events{"Close"});
        }
        break;
    }
    ASSERT_TRUE(rig.host.fired()) << "the trigger did not raise the event";
    EXPECT_EQ(rig.host.lines, expected);
    if (act != Act::Destroy) {
      EXPECT_EQ(SentFrames(rig.sent, 2), sent);
    }
    covered.insert(row.event);
  }
  EXPECT_EQ(covered.size(), 30u) << "one row for each of the listener's events";
}

std::string ActName(const ::testing::TestParamInfo<Act>& info) {
  static const char* const names[] = {"LogOff", "Login", "Command", "Destroy", "Throw"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Reentrancy, EveryEvent,
                         ::testing::Values(Act::LogOff, Act::Login, Act::Command, Act::Destroy,
                                           Act::Throw),
                         ActName);

}  // namespace
}  // namespace kez::test
