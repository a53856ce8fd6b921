#include "kez/SessionCore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Core.h"

namespace kez::test {
namespace {

using Events = std::vector<std::string>;

// The chat table as "id:name" per occupied entry, by index; free entries "-".
std::string Table(const SessionCore& c) {
  std::string out;
  for (const ChatEntry& e : c.Chats()) {
    if (!out.empty()) out += ",";
    out += e.ChatID == 0 && e.RoomName.empty() ? "-" : std::to_string(e.ChatID) + ":" + e.RoomName;
  }
  return out;
}

std::string Messages(const std::vector<std::string>& messages) {
  std::string bytes;
  for (const std::string& m : messages) bytes += Data(m);
  return bytes;
}

// Each row: messages in one arrival, then the events, LastChatID and table.
TEST(Chat, MessagesRaiseEventsAndKeepTheTable) {
  const std::string kFree = "-,-,-,-,-,-,-,-,-,-,-";
  const struct {
    const char* what;
    std::vector<std::string> messages;
    Events events;
    int32_t lastChatID;
    std::string table;
  } rows[] = {
      {"join stores and announces",
       {"CHAT_JOIN:7:Room"},
       {"JoinedChat|Room|7"},
       7,
       "7:Room,-,-,-,-,-,-,-,-,-,-"},
      {"room name keeps its colons",
       {"CHAT_JOIN:7:Room:With:Colons"},
       {"JoinedChat|Room:With:Colons|7"},
       7,
       "7:Room:With:Colons,-,-,-,-,-,-,-,-,-,-"},
      {"empty room name is a name",
       {"CHAT_JOIN:-4:"},
       {"JoinedChat||-4"},
       -4,
       "-4:,-,-,-,-,-,-,-,-,-,-"},
      {"same ID twice takes two entries; leave clears the lower",
       {"CHAT_JOIN:7:A", "CHAT_JOIN:7:B", "CHAT_LEFT:7"},
       {"JoinedChat|A|7", "JoinedChat|B|7", "LeftChat|7"},
       7,
       "-,7:B,-,-,-,-,-,-,-,-,-"},
      {"freed entry is reused first",
       {"CHAT_JOIN:1:A", "CHAT_JOIN:2:B", "CHAT_JOIN:3:C", "CHAT_LEFT:2", "CHAT_JOIN:4:D"},
       {"JoinedChat|A|1", "JoinedChat|B|2", "JoinedChat|C|3", "LeftChat|2", "JoinedChat|D|4"},
       4,
       "1:A,4:D,3:C,-,-,-,-,-,-,-,-"},
      {"leaving an unknown ID still reports it; LastChatID stays",
       {"CHAT_JOIN:7:Room", "CHAT_LEFT:8"},
       {"JoinedChat|Room|7", "LeftChat|8"},
       7,
       "7:Room,-,-,-,-,-,-,-,-,-,-"},
      {"arrivals name everyone",
       {"CHAT_UPDATE_BUDDY:7:T:a:b:c"},
       {"ChatUserUpdate|a|true|7", "ChatUserUpdate|b|true|7", "ChatUserUpdate|c|true|7"},
       0,
       kFree},
      {"a departure names its first user only",
       {"CHAT_UPDATE_BUDDY:7:F:a:b"},
       {"ChatUserUpdate|a|false|7"},
       0,
       kFree},
      {"lower-case t is a departure",
       {"CHAT_UPDATE_BUDDY:7:t:a"},
       {"ChatUserUpdate|a|false|7"},
       0,
       kFree},
      {"empty names are names",
       {"CHAT_UPDATE_BUDDY:7:T::"},
       {"ChatUserUpdate||true|7", "ChatUserUpdate||true|7"},
       0,
       kFree},
      {"arrival without names", {"CHAT_UPDATE_BUDDY:7:T"}, {}, 0, kFree},
      {"departure without names", {"CHAT_UPDATE_BUDDY:7:F"}, {}, 0, kFree},
      {"chat line keeps its colons and markup",
       {"CHAT_IN_ENC:7:pal1:F:x:y:hi: <b>there</b>"},
       {"ChatMessage|7|pal1|hi: <b>there</b>"},
       0,
       kFree},
      {"invitation leaves the table alone",
       {"CHAT_INVITE:Room:7:pal1:come in: now"},
       {"ChatInvite|Room|7|pal1|come in: now"},
       0,
       kFree},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EverySplit(Messages(row.messages), [&](Core& s) {
      EXPECT_EQ(s.events.events, row.events);
      EXPECT_EQ(s.control->LastChatID(), row.lastChatID);
      EXPECT_EQ(Table(*s.control), row.table);
      EXPECT_EQ(s.TakeSent(), "") << "chat messages are never answered";
    });
  }
}

// A chat message that lacks a field, or whose chat ID is not an Int32, raises
// nothing and changes neither the table nor LastChatID.
TEST(Chat, IncompleteMessagesChangeNothing) {
  const std::string rows[] = {
      "CHAT_JOIN",
      "CHAT_JOIN:7",
      "CHAT_JOIN::Room",
      "CHAT_JOIN:x:Room",
      "CHAT_JOIN:2147483648:Room",
      "CHAT_JOIN: 7:Room",
      "CHAT_LEFT",
      "CHAT_LEFT:",
      "CHAT_LEFT:5:x",
      "CHAT_UPDATE_BUDDY:x:T:a",
      "CHAT_UPDATE_BUDDY:7",
      "CHAT_IN_ENC:7:pal:F:x:y",
      "CHAT_IN_ENC:z:pal:F:x:y:hi",
      "CHAT_INVITE:Room:7:pal",
      "CHAT_INVITE:Room:x:pal:hi",
  };
  for (const std::string& message : rows) {
    SCOPED_TRACE(message);
    Core s;
    s.Connect();
    s.Arrive(Data("CHAT_JOIN:5:Five"));
    s.events.Clear();
    s.Arrive(Data(message));
    EXPECT_EQ(s.events.events, Events{});
    EXPECT_EQ(s.control->LastChatID(), 5);
    EXPECT_EQ(Table(*s.control), "5:Five,-,-,-,-,-,-,-,-,-,-");
  }
}

TEST(Chat, FullTableAnnouncesButDoesNotStore) {
  Core s;
  s.Connect();
  std::vector<std::string> joins;
  for (int id = 1; id <= 11; ++id) joins.push_back("CHAT_JOIN:" + std::to_string(id) + ":R");
  s.Arrive(Messages(joins));
  EXPECT_EQ(s.control->GetChatName(0), "[No Chat Name Found for ID]") << "no free entry left";
  s.events.Clear();
  s.Arrive(Data("CHAT_JOIN:99:Extra"));
  EXPECT_EQ(s.events.events, Events{"JoinedChat|Extra|99"});
  EXPECT_EQ(s.control->LastChatID(), 99);
  EXPECT_EQ(s.control->GetChatName(99), "[No Chat Name Found for ID]");
  EXPECT_EQ(Table(*s.control), "1:R,2:R,3:R,4:R,5:R,6:R,7:R,8:R,9:R,10:R,11:R");
}

TEST(Chat, GetChatNameTakesTheLowestEntry) {
  Core s;
  s.Connect();
  EXPECT_EQ(s.control->GetChatName(0), "") << "free entries hold ID 0 and no name";
  EXPECT_EQ(s.control->GetChatName(7), "[No Chat Name Found for ID]");
  s.Arrive(Messages({"CHAT_JOIN:7:First", "CHAT_JOIN:7:Second", "CHAT_JOIN:-1:Neg"}));
  const struct {
    int32_t id;
    std::string name;
  } rows[] = {{7, "First"}, {-1, "Neg"}, {0, ""}, {8, "[No Chat Name Found for ID]"}};
  for (const auto& row : rows) EXPECT_EQ(s.control->GetChatName(row.id), row.name) << row.id;
  s.Arrive(Data("CHAT_LEFT:7"));
  EXPECT_EQ(s.control->GetChatName(7), "Second");
}

TEST(Chat, LoginAndLogOffFreeEveryEntry) {
  Core s;
  s.Connect();
  s.Arrive(Messages({"CHAT_JOIN:7:A", "CHAT_JOIN:8:B"}));
  s.control->LogOff();
  EXPECT_EQ(Table(*s.control), "-,-,-,-,-,-,-,-,-,-,-");
  EXPECT_EQ(s.control->LastChatID(), 0);

  s.Connect();
  s.Arrive(Data("CHAT_JOIN:9:C"));
  s.Connect();
  EXPECT_EQ(Table(*s.control), "-,-,-,-,-,-,-,-,-,-,-");
  EXPECT_EQ(s.control->LastChatID(), 9) << "only LogOff resets LastChatID";
}

// The room name a join stores is what LeaveChat and SendChat look up.
TEST(Chat, JoinedRoomIsFoundByName) {
  Core s;
  s.SignOn();
  s.Arrive(Messages({"CHAT_JOIN:7:My Room", "CHAT_JOIN:8:Other"}));
  s.control->SendChat("My Room", "hi");
  s.control->LeaveChat("Other");
  s.control->LeaveChat("my room");
  EXPECT_EQ(s.TakeSent(), Sent("toc_chat_send \"7\" \"hi\"", 2) + Sent("toc_chat_leave \"8\"", 3));
}

TEST(Chat, HostDestroyingTheControlStopsTheArrivals) {
  Core s;
  s.Connect();
  s.events.onEvent = [&](const std::string&) { s.control.reset(); };
  s.Arrive(Data("CHAT_UPDATE_BUDDY:7:T:a:b:c") + Data("CHAT_JOIN:7:R"));
  EXPECT_EQ(s.control, nullptr);
  EXPECT_EQ(s.events.events, Events{"ChatUserUpdate|a|true|7"});
}

TEST(Chat, HostLeavingInsideJoinedChatSeesTheStoredRoom) {
  Core s;
  s.SignOn();
  s.events.onEvent = [&](const std::string& e) {
    if (e.starts_with("JoinedChat")) s.control->LeaveChat("Room", 0);
  };
  s.Arrive(Data("CHAT_JOIN:7:Room"));
  EXPECT_EQ(s.TakeSent(), Sent("toc_chat_leave \"7\"", 2));
}

}  // namespace
}  // namespace kez::test
