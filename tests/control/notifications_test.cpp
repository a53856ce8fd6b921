#include "kez/SessionCore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Core.h"

namespace kez::test {
namespace {

using namespace std::string_literals;

struct Row {
  std::string message;                // payload of one data frame
  std::vector<std::string> expected;  // events raised, "Name|arg|..."
};

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      // Presence. Only "F" reads as offline.
      {"UPDATE_BUDDY2:pal1:T:10:1000:5:A:x", {"BuddyUpdate|pal1|true|10|1000|5|A"}},
      {"UPDATE_BUDDY2:pal1:F:10:1000:5:A:x", {"BuddyUpdate|pal1|false|10|1000|5|A"}},
      {"UPDATE_BUDDY2:pal1:f:10:1000:5:A:x", {"BuddyUpdate|pal1|true|10|1000|5|A"}},
      {"UPDATE_BUDDY2:pal1::10:1000:5:A:x", {"BuddyUpdate|pal1|true|10|1000|5|A"}},
      {"UPDATE_BUDDY2:pal1:F :10:1000:5:A:x", {"BuddyUpdate|pal1|true|10|1000|5|A"}},
      {"UPDATE_BUDDY2:pal1:T:10:1000:5:A", {"BuddyUpdate|pal1|true|10|1000|5|A"}},
      {"UPDATE_BUDDY2:pal1:T:10:1000:5:A:x:y:z", {"BuddyUpdate|pal1|true|10|1000|5|A"}},
      {"UPDATE_BUDDY2:pal1:T:10:1000:5:", {"BuddyUpdate|pal1|true|10|1000|5|"}},
      {"UPDATE_BUDDY2: Pal One :T:010:-1:0:<b>A</b>",
       {"BuddyUpdate| Pal One |true|10|-1|0|<b>A</b>"}},
      {"UPDATE_BUDDY2:pal1:T:-32768:2147483647:-2147483648:A",
       {"BuddyUpdate|pal1|true|-32768|2147483647|-2147483648|A"}},
      {"UPDATE_BUDDY2:pal1:T:x:1000:5:A", {}},
      {"UPDATE_BUDDY2:pal1:T:10:1000:5", {}},
      {"UPDATE_BUDDY2:pal1:T:32768:1000:5:A", {}},
      {"UPDATE_BUDDY2:pal1:T:10:2147483648:5:A", {}},
      {"UPDATE_BUDDY2:pal1:T:10:1000:1.5:A", {}},
      {"UPDATE_BUDDY2:pal1:T:10:1000::A", {}},
      {"UPDATE_BUDDY2:pal1", {}},
      {"UPDATE_BUDDY2", {}},

      {"BUDDY_CAPS2:pal1:094613,0946134D", {"BuddyCapabilities|pal1|094613,0946134D"}},
      {"BUDDY_CAPS2:pal1:a:b", {"BuddyCapabilities|pal1|a:b"}},
      {"BUDDY_CAPS2:pal1:", {"BuddyCapabilities|pal1|"}},
      {"BUDDY_CAPS2:pal1", {}},
      {"BART2:pal1:0 2 abc:d", {"BuddyBart|pal1|0 2 abc:d"}},
      {"BART2::", {"BuddyBart||"}},
      {"BART2:pal1", {}},

      // Instant messages: the text keeps its colons and markup.
      {"IM_IN_ENC2:pal1:F:a:b:U:c:d:e:hi: there", {"InstantMessage|pal1|hi: there|false|U"}},
      {"IM_IN_ENC2:pal1:T:a:b:U:c:d:e:hi: there", {"InstantMessage|pal1|hi: there|true|U"}},
      {"IM_IN_ENC2:pal1:x:a:b:U:c:d:e:<b>hi</b>", {"InstantMessage|pal1|<b>hi</b>|true|U"}},
      {"IM_IN_ENC2:pal1:F:a:b:U:c:d:e:", {"InstantMessage|pal1||false|U"}},
      {"IM_IN_ENC2:p\xe9:F:a:b:U:c:d:e:x\0y\xff"s, {"InstantMessage|p\xe9|x\0y\xff|false|U"s}},
      {"IM_IN_ENC2:pal1:F:a:b:U:c:d:e", {}},
      {"IM_IN_ENC2:pal1:F", {}},

      // Stored list changes; the kind is compared exactly.
      {"INSERTED2:b:Al:pal1:Friends", {"BuddyAdded|Friends|pal1|Al"}},
      {"INSERTED2:b:Al:pal1:Old:Friends", {"BuddyAdded|Old:Friends|pal1|Al"}},
      {"INSERTED2:b:::", {"BuddyAdded|||"}},
      {"INSERTED2:b:Al:pal1", {}},
      {"INSERTED2:g:Work:Team", {"GroupAdded|Work:Team"}},
      {"INSERTED2:p:pal1:x", {"PrivateBuddyAdded|pal1:x"}},
      {"INSERTED2:d:pal1", {"BuddyBlocked|pal1"}},
      {"INSERTED2:d:", {"BuddyBlocked|"}},
      {"INSERTED2:g", {}},
      {"INSERTED2:x:pal1", {}},
      {"INSERTED2:B:pal1", {}},
      {"INSERTED2:bb:Al:pal1:Friends", {}},
      {"INSERTED2:", {}},
      {"INSERTED2", {}},
      {"UPDATED2:b:pal1", {}},
      {"UPDATED2", {}},
      {"DELETED2:b:pal1:Friends", {"BuddyRemoved|Friends|pal1"}},
      {"DELETED2:b:pal1:Old:Friends", {"BuddyRemoved|Old:Friends|pal1"}},
      {"DELETED2:b:pal1", {}},
      {"DELETED2:p:pal1:x", {"PrivateBuddyRemoved|pal1"}},
      {"DELETED2:p:pal1:x:y", {"PrivateBuddyRemoved|pal1"}},
      {"DELETED2:p:pal1", {"PrivateBuddyRemoved|pal1"}},
      {"DELETED2:d:pal1:x", {"BuddyUnblocked|pal1:x"}},
      {"DELETED2:g:Work:Team", {"GroupRemoved|Work:Team"}},
      {"DELETED2:g", {}},
      {"DELETED2:p", {}},
      {"DELETED2:x:pal1", {}},
      {"DELETED2", {}},

      // Profile URL: field 1 is skipped, field 2 is the rest.
      {"GOTO_URL:w:a:b", {"UserProfile|a:b"}},
      {"GOTO_URL:w:http://x.example/p?q=1", {"UserProfile|http://x.example/p?q=1"}},
      {"GOTO_URL:w:", {"UserProfile|"}},
      {"GOTO_URL:w", {}},

      // Warnings: the level goes out as plain decimal text.
      {"EVILED:050:pal2", {"Warned|50|pal2"}},
      {"EVILED:50:", {"Warned|50|"}},
      {"EVILED:0:a:b", {"Warned|0|a:b"}},
      {"EVILED:-7:pal2", {"Warned|-7|pal2"}},
      {"EVILED:50", {}},
      {"EVILED:high:pal2", {}},
      {"EVILED::pal2", {}},
      {"EVILED:32768:pal2", {}},

      // Answers to admin commands; the status is never read.
      {"ADMIN_PASSWD_STATUS:1", {"PasswordChanged"}},
      {"ADMIN_PASSWD_STATUS", {"PasswordChanged"}},
      {"ADMIN_NICK_STATUS", {"ScreenNameFormatted"}},
      {"ADMIN_NICK_STATUS:0:bad:stuff", {"ScreenNameFormatted"}},

      // Rendezvous: field 4 and anything past field 8 are not read.
      {"RVOUS_PROPOSE:pal1:U:C:1:R:P:V:5190:t:v", {"RendevousRequest|pal1|U|C|R|P|V|5190"}},
      {"RVOUS_PROPOSE:pal1:U:C::R:P:V:5190", {"RendevousRequest|pal1|U|C|R|P|V|5190"}},
      {"RVOUS_PROPOSE:pal1:U:C:1:R:P:V:2147483647", {"RendevousRequest|pal1|U|C|R|P|V|2147483647"}},
      {"RVOUS_PROPOSE:pal1:U:C:1:R:P:V", {}},
      {"RVOUS_PROPOSE:pal1:U:C:1:R:P:V:", {}},
      {"RVOUS_PROPOSE:pal1:U:C:1:R:P:V:port:t", {}},
      {"RVOUS_PROPOSE:pal1:U:C:1:R:P:V:2147483648", {}},

      {"CLIENT_EVENT2:pal1:2", {"TypingStatus|pal1|2"}},
      {"CLIENT_EVENT2:pal1:0", {"TypingStatus|pal1|0"}},
      {"CLIENT_EVENT2:pal1:2:3", {}},
      {"CLIENT_EVENT2:pal1:", {}},
      {"CLIENT_EVENT2:pal1", {}},
  };
  return rows;
}

TEST(Notifications, EachMessageRaisesItsEventAndSendsNothing) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.message);
    EverySplit(Data(row.message), [&](Core& s) {
      EXPECT_EQ(s.events.events, row.expected);
      EXPECT_EQ(s.sent, "");
    });
  }
}

TEST(Notifications, EventsFollowArrivalOrderWhenBytesTrickleIn) {
  std::string stream;
  std::vector<std::string> expected;
  for (const Row& row : Rows()) {
    stream += Data(row.message);
    expected.insert(expected.end(), row.expected.begin(), row.expected.end());
  }
  Core s;
  s.Connect();
  s.events.Clear();
  for (char byte : stream) s.Arrive(std::string(1, byte));
  EXPECT_EQ(s.events.events, expected);
  EXPECT_EQ(s.sent, "");
}

TEST(Notifications, HostMayDestroyTheControlInsideTheEvent) {
  for (const Row& row : Rows()) {
    if (row.expected.empty()) continue;
    SCOPED_TRACE(row.message);
    Core s;
    s.Connect();
    s.events.Clear();
    s.events.onEvent = [&](const std::string&) { s.control.reset(); };
    // The second message must never be handled: the control is gone.
    s.Arrive(Data(row.message) + Data("ADMIN_NICK_STATUS"));
    EXPECT_EQ(s.events.events, row.expected);
    EXPECT_EQ(s.control, nullptr);
  }
}

// Everything a notification must leave alone.
struct Snapshot {
  std::vector<std::string> chats;
  int32_t lastChatID;
  bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const SessionCore& c) {
  Snapshot snap{{}, c.LastChatID()};
  for (const ChatEntry& e : c.Chats())
    snap.chats.push_back(std::to_string(e.ChatID) + ":" + e.RoomName);
  return snap;
}

TEST(Notifications, BurstLeavesTheControlsStateAsItWas) {
  // One session sees a burst of every notification between two chat joins;
  // the other sees only the joins. Both must end in the same state.
  Core burst, quiet;
  for (Core* s : {&burst, &quiet}) {
    s->Connect();
    s->Arrive(Data("CHAT_JOIN:5:Room A") + Data("CONFIG2:g:Buddies\n"));
    s->control->SetLastChatID(41);  // a value no handler would write by chance
  }
  const Snapshot before = Take(*burst.control);
  for (const Row& row : Rows()) burst.Arrive(Data(row.message));
  EXPECT_EQ(Take(*burst.control), before);

  // The pending configuration and the sequence number show in what follows.
  for (Core* s : {&burst, &quiet}) {
    s->events.Clear();
    s->Arrive(Data("CHAT_JOIN:6:Room B") + Data("CONFIG2:done:\n"));
  }
  EXPECT_EQ(Take(*burst.control), Take(*quiet.control));
  EXPECT_EQ(burst.events.events, quiet.events.events);
  EXPECT_EQ(burst.sent, quiet.sent);
}

}  // namespace
}  // namespace kez::test
