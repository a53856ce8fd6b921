#include "service/chat_rooms.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "ServiceFixture.h"

namespace reposa::server::test {
namespace {

using ChatTest = ServiceFixture;

TEST_F(ChatTest, JoinSendLeave) {
  On(1, "Al");
  On(2, "Bo");
  const struct {
    SessionId from;
    std::string line;
    Msgs toAl, toBo;
  } rows[] = {
      {1,
       R"(toc_chat_join "4" "  Room One  ")",
       {"CHAT_JOIN:1:Room One", "CHAT_UPDATE_BUDDY:1:T:Al"},
       {}},
      {2,
       R"(toc_chat_join "4" "room one")",
       {"CHAT_UPDATE_BUDDY:1:T:Bo"},
       {"CHAT_JOIN:1:Room One", "CHAT_UPDATE_BUDDY:1:T:Al:Bo"}},
      {2,
       R"(toc_chat_join "4" "ROOM ONE")",
       {},
       {"CHAT_JOIN:1:Room One", "CHAT_UPDATE_BUDDY:1:T:Al:Bo"}},
      {2,
       R"x(toc_chat_send "1" "hi: \"all\" \\ \(x\)")x",
       {R"x(CHAT_IN_ENC:1:Bo:F:::hi: "all" \ (x))x"},
       {R"x(CHAT_IN_ENC:1:Bo:F:::hi: "all" \ (x))x"}},
      {1,
       R"(toc_chat_join "5" "Room One")",
       {"CHAT_JOIN:2:Room One", "CHAT_UPDATE_BUDDY:2:T:Al"},
       {}},
      {2, R"(toc_chat_leave "1")", {"CHAT_UPDATE_BUDDY:1:F:Bo"}, {"CHAT_LEFT:1"}},
      {2, R"(toc_chat_leave "1")", {}, {"CHAT_LEFT:1"}},
      {2, R"(toc_chat_send "1" "not inside")", {}, {"ERROR:911"}},
      {2, R"(toc_chat_send "x" "bad id")", {}, {"ERROR:911"}},
      {2, R"(toc_chat_join "4" "")", {}, {"ERROR:911"}},
      {2, R"(toc_chat_join "4" "Lobby:9999:admin")", {}, {"ERROR:911"}},
      {2, R"(toc_chat_accept "1")", {}, {"ERROR:911"}},  // not invited
      {2, R"(toc_chat_join "-1" "Room")", {}, {"ERROR:911"}},
      {2, R"(toc_chat_leave "0")", {}, {"ERROR:911"}},
      {1,
       R"(toc_chat_invite "1" "come: in" "Bo, nobody")",
       {"ERROR:901:nobody"},
       {"CHAT_INVITE:Room One:1:Al:come: in"}},
      {2, R"(toc_chat_invite "1" "not a member" "al")", {}, {"ERROR:911"}},
      {2,
       R"(toc_chat_accept "1")",
       {"CHAT_UPDATE_BUDDY:1:T:Bo"},
       {"CHAT_JOIN:1:Room One", "CHAT_UPDATE_BUDDY:1:T:Al:Bo"}},
      {2, R"(toc_chat_accept "99")", {}, {"ERROR:911"}},
  };
  for (const auto& r : rows) {
    Run(r.from, r.line);
    EXPECT_EQ(Take(1), r.toAl) << r.line;
    EXPECT_EQ(Take(2), r.toBo) << r.line;
  }
  // A closed connection leaves its rooms; an emptied room is gone, and its
  // ID is not handed out again.
  service.Ended(1);
  EXPECT_EQ(Take(2), (Msgs{"CHAT_UPDATE_BUDDY:1:F:Al"}));
  EXPECT_EQ(service.rooms().size(), 1u);
  service.Ended(2);
  EXPECT_EQ(service.rooms().size(), 0u);
  On(3, "Cy");
  Run(3, R"(toc_chat_join "4" "Room One")");
  EXPECT_EQ(Take(3), (Msgs{"CHAT_JOIN:3:Room One", "CHAT_UPDATE_BUDDY:3:T:Cy"}));
}

TEST(ChatRooms, FullRoomsAndTooManyRoomsAreRefused) {
  RecordingOutbox out;
  const Limits limits;
  ChatRooms rooms(out, limits);
  for (SessionId s = 1; s <= limits.maxRoomMembers; ++s)
    ASSERT_EQ(rooms.JoinByName(s, "u" + std::to_string(s), 4, "Busy"), ChatRooms::Join::Joined);
  EXPECT_EQ(rooms.JoinByName(9999, "late", 4, "Busy"), ChatRooms::Join::Full);
  // The last one to get in heard of everyone, in lists that fit a message.
  std::size_t names = 0;
  for (const auto& [to, m] : out.sent) {
    if (to != limits.maxRoomMembers || !m.starts_with("CHAT_UPDATE_BUDDY:1:T:")) continue;
    EXPECT_LE(m.size(), limits.memberListMessage + 64);
    names += static_cast<std::size_t>(std::count(m.begin(), m.end(), ':')) - 2;
  }
  EXPECT_EQ(names, limits.maxRoomMembers);
  for (std::size_t r = 1; r < limits.maxRoomsPerSession; ++r)
    ASSERT_EQ(rooms.JoinByName(1, "u1", 4, "R" + std::to_string(r)), ChatRooms::Join::Joined);
  EXPECT_EQ(rooms.JoinByName(1, "u1", 4, "one too many"), ChatRooms::Join::TooMany);
  rooms.Leave(1, 1);
  EXPECT_EQ(rooms.JoinByName(1, "u1", 4, "now it fits"), ChatRooms::Join::Joined);
}

// After the last ID, numbering starts again but passes over open rooms; with
// every ID taken a new room is refused rather than sharing one.
TEST(ChatRooms, IdsNeverCollideWithOpenRooms) {
  RecordingOutbox out;
  const Limits limits;
  ChatRooms rooms(out, limits, 3);
  for (const char* name : {"A", "B", "C"}) rooms.JoinByName(1, "u", 4, name);
  EXPECT_EQ(rooms.JoinByName(2, "v", 4, "D"), ChatRooms::Join::TooMany);
  rooms.Leave(1, 2);
  ASSERT_EQ(rooms.JoinByName(2, "v", 4, "D"), ChatRooms::Join::Joined);
  EXPECT_EQ(rooms.Find(2)->name, "D");
  EXPECT_EQ(rooms.Find(1)->name, "A");
}

TEST_F(ChatTest, RefusedJoinsAnswerWithTheRoomAndReason) {
  On(1, "Al");
  for (std::size_t r = 0; r < limits.maxRoomsPerSession; ++r)
    Run(1, "toc_chat_join \"4\" \"R" + std::to_string(r) + "\"");
  Take(1);
  Run(1, R"(toc_chat_join "4" "Extra")");
  EXPECT_EQ(Take(1), (Msgs{"ERROR:951:Extra:48"}));
  for (SessionId s = 10; s < 10 + limits.maxRoomMembers; ++s)
    service.rooms().JoinByName(s, "x", 4, "Full");
  On(2, "Bo");
  Run(2, R"(toc_chat_join "4" "full")");
  EXPECT_EQ(Take(2), (Msgs{"ERROR:951:full:24"}));
}

}  // namespace
}  // namespace reposa::server::test
