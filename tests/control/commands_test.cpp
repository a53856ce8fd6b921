#include "kez/SessionCore.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "Core.h"

namespace kez::test {
namespace {

using Call = std::function<void(SessionCore&)>;

struct Row {
  const char* what;
  Call call;
  std::string line;  // the command line on the wire, without its NUL
};

// Each row runs on a fresh connected control, so its line is the first frame.
void ExpectLines(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Core s;
    s.SignOn();
    row.call(*s.control);
    EXPECT_EQ(s.TakeSent(), Sent(row.line, 2));
  }
}

TEST(Commands, EachRendersItsLine) {
  ExpectLines({
      {"JoinChat trims spaces only", [](SessionCore& c) { c.JoinChat("  My Room\t ", 4); },
       "toc_chat_join \"4\" \"My Room\t\""},
      {"JoinChat escapes the room", [](SessionCore& c) { c.JoinChat(R"-( "A" \ B )-", -1); },
       R"-(toc_chat_join "-1" "\"A\" \\ B")-"},
      {"JoinChat empty room", [](SessionCore& c) { c.JoinChat("   ", 0); },
       R"-(toc_chat_join "0" "")-"},
      {"LeaveChat given ID", [](SessionCore& c) { c.LeaveChat("Not In Table", 7); },
       R"-(toc_chat_leave "7")-"},
      {"SendChat escapes all nine", [](SessionCore& c) { c.SendChat("x", R"-(\$"()[]{})-", -3); },
       R"-(toc_chat_send "-3" "\\\$\"\(\)\[\]\{\}")-"},
      {"SendChat empty message", [](SessionCore& c) { c.SendChat("x", "", 7); },
       R"-(toc_chat_send "7" "")-"},
      {"GetProfile", [](SessionCore& c) { c.GetProfile("Some Body"); },
       R"-(toc_get_info "somebody")-"},
      {"SendIM keeps markup and line breaks",
       [](SessionCore& c) { c.SendIM("Pal One", "it's <b>&amp;</b>\r\n#", false); },
       "toc_send_im \"palone\" \"it's <b>&amp;</b>\r\n#\""},
      {"SendIM auto is bare", [](SessionCore& c) { c.SendIM("PAL", "", true); },
       R"-(toc_send_im "pal" "" auto)-"},
      {"ChangePassword both escaped, in clear",
       [](SessionCore& c) { c.ChangePassword("old\"pw", "New $pw"); },
       R"-(toc_change_passwd "old\"pw" "New \$pw")-"},
      {"FormatUserName keeps capitals and spaces",
       [](SessionCore& c) { c.FormatUserName("Some Body"); },
       R"-(toc_format_nickname "Some Body")-"},
      {"FormatUserName escapes", [](SessionCore& c) { c.FormatUserName("Pal (\"x\")"); },
       R"-(toc_format_nickname "Pal \(\"x\"\)")-"},
      {"SetAwayMessage", [](SessionCore& c) { c.SetAwayMessage("Back [soon]"); },
       R"-(toc_set_away "Back \[soon\]")-"},
      {"SetProfile", [](SessionCore& c) { c.SetProfile("<i>me</i> {x}"); },
       R"-(toc_set_info "<i>me</i> \{x\}")-"},
      {"GetStatus", [](SessionCore& c) { c.GetStatus(" A B "); }, R"-(toc_get_status "ab")-"},
      {"screen names normalised, then escaped", [](SessionCore& c) { c.BlockUser("Pal \"(X)\""); },
       R"-(toc2_add_deny "pal\"\(x\)\"")-"},
      {"SetIdleTime in seconds", [](SessionCore& c) { c.SetIdleTime(5); },
       R"-(toc_set_idle "300")-"},
      {"AcceptChatInvite as given", [](SessionCore& c) { c.AcceptChatInvite(-5); },
       R"-(toc_chat_accept "-5")-"},
      {"InviteUsers names as one argument",
       [](SessionCore& c) { c.InviteUsers("x", "Join (us)", "Pal One, Pal Two", 7); },
       R"-(toc_chat_invite "7" "Join \(us\)" "palone,paltwo")-"},
      {"WarnUser anonymous", [](SessionCore& c) { c.WarnUser("Bad Guy", true); },
       R"-(toc_evil "badguy" "anon")-"},
      {"WarnUser named", [](SessionCore& c) { c.WarnUser("Bad Guy", false); },
       R"-(toc_evil "badguy" "norm")-"},
      {"AddBuddy composite keeps the buddy's capitals",
       [](SessionCore& c) { c.AddBuddy("Friends", "Some Body"); },
       "toc2_new_buddies \"g:Friends\nb:Some Body\n\""},
      {"AddBuddy escapes both", [](SessionCore& c) { c.AddBuddy("G$", "B\""); },
       "toc2_new_buddies \"g:G\\$\nb:B\\\"\n\""},
      {"RemoveBuddy buddy first", [](SessionCore& c) { c.RemoveBuddy("My Group", "Some Body"); },
       R"-(toc2_remove_buddy "Some Body" "My Group")-"},
      {"RemoveBuddy escapes both", [](SessionCore& c) { c.RemoveBuddy("G{1}", "B\\"); },
       R"-(toc2_remove_buddy "B\\" "G\{1\}")-"},
      {"AddGroup", [](SessionCore& c) { c.AddGroup("New (Group)"); },
       R"-(toc2_new_group "New \(Group\)")-"},
      {"RemoveGroup empty", [](SessionCore& c) { c.RemoveGroup(""); }, R"-(toc2_del_group "")-"},
      {"BlockUser", [](SessionCore& c) { c.BlockUser("Bad Guy"); }, R"-(toc2_add_deny "badguy")-"},
      {"UnblockUser", [](SessionCore& c) { c.UnblockUser("Bad Guy"); },
       R"-(toc2_remove_deny "badguy")-"},
      {"AddPrivateUser", [](SessionCore& c) { c.AddPrivateUser("Good Pal"); },
       R"-(toc2_add_permit "goodpal")-"},
      {"RemovePrivateUser", [](SessionCore& c) { c.RemovePrivateUser("Good Pal"); },
       R"-(toc2_remove_permit "goodpal")-"},
      {"SetPrivacy bare", [](SessionCore& c) { c.SetPrivacy(3); }, "toc2_set_pdmode 3"},
      {"SetPrivacy negative bare", [](SessionCore& c) { c.SetPrivacy(-2); }, "toc2_set_pdmode -2"},
      {"SetCapability escapes", [](SessionCore& c) { c.SetCapability("{0946-134E}"); },
       R"-(toc_set_caps "\{0946-134E\}")-"},
  });
}

// The three commands that name a room resolve it against this table.
void FillTable(Core& s, bool full) {
  if (full) {
    for (std::size_t i = 0; i < kChatTableSize; ++i) s.Arrive(Data("CHAT_JOIN:20:x"));
  } else {
    for (const char* join : {"11:Lobby", "12:room", "13:Room ", "14:Room", "15:gone", "16:Room"})
      s.Arrive(Data(std::string("CHAT_JOIN:") + join));
    s.Arrive(Data("CHAT_LEFT:15"));  // entry 4 stays free
  }
  s.events.Clear();
}

TEST(Commands, ChatIDResolution) {
  const struct {
    const char* what;
    bool fullTable;
    std::string name;
    int32_t id;
    std::optional<int32_t> sent;
  } rows[] = {
      {"given ID wins over the name", false, "Lobby", 7, 7},
      {"given ID needs no entry", false, "Nowhere", -9, -9},
      {"lowest of two equal names", false, "Room", 0, 14},
      {"case counts", false, "room", 0, 12},
      {"trailing space counts", false, "Room ", 0, 13},
      {"upper case matches nothing", false, "LOBBY", 0, std::nullopt},
      {"extra trailing space matches nothing", false, "Lobby ", 0, std::nullopt},
      {"unknown room", false, "Nowhere", 0, std::nullopt},
      {"empty name takes the first free entry", false, "", 0, 0},
      {"empty name, no free entry", true, "", 0, std::nullopt},
  };
  const struct {
    const char* command;
    std::function<void(SessionCore&, const std::string&, int32_t)> call;
    std::function<std::string(const std::string& id)> line;
  } commands[] = {
      {"LeaveChat", [](SessionCore& c, const std::string& n, int32_t id) { c.LeaveChat(n, id); },
       [](const std::string& id) { return "toc_chat_leave \"" + id + "\""; }},
      {"SendChat",
       [](SessionCore& c, const std::string& n, int32_t id) { c.SendChat(n, "hi", id); },
       [](const std::string& id) { return "toc_chat_send \"" + id + "\" \"hi\""; }},
      {"InviteUsers",
       [](SessionCore& c, const std::string& n, int32_t id) { c.InviteUsers(n, "in", "Pal", id); },
       [](const std::string& id) { return "toc_chat_invite \"" + id + "\" \"in\" \"pal\""; }},
  };
  for (const auto& row : rows) {
    for (const auto& command : commands) {
      SCOPED_TRACE(std::string(command.command) + ": " + row.what);
      Core s;
      s.SignOn();
      FillTable(s, row.fullTable);
      EXPECT_NO_THROW(command.call(*s.control, row.name, row.id));
      EXPECT_EQ(s.TakeSent(), row.sent ? Sent(command.line(std::to_string(*row.sent)), 2) : "");
      EXPECT_TRUE(s.events.events.empty());
    }
  }
}

TEST(Commands, IdleTimeOverflowSendsNothing) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  const struct {
    int32_t minutes;
    std::optional<std::string> seconds;  // none: overflow
  } rows[] = {
      {0, "0"},
      {1, "60"},
      {-1, "-60"},
      {35791394, "2147483640"},
      {-35791394, "-2147483640"},
      {35791395, std::nullopt},
      {-35791395, std::nullopt},
      {kMax, std::nullopt},
      {kMin, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.minutes);
    Core s;
    s.SignOn();
    if (row.seconds) {
      s.control->SetIdleTime(row.minutes);
      EXPECT_EQ(s.TakeSent(), Sent("toc_set_idle \"" + *row.seconds + "\"", 2));
    } else {
      EXPECT_THROW(s.control->SetIdleTime(row.minutes), std::overflow_error);
      EXPECT_EQ(s.TakeSent(), "");
      EXPECT_EQ(s.NextSequence(), 2);
    }
  }
}

// A NUL byte in a text that is sent, through each rendering. The room names of
// the commands that resolve by name are not sent, so they may hold one.
TEST(Commands, NulByteInATextThrowsAndSendsNothing) {
  const std::string nul("a\0b", 3);
  const struct {
    const char* what;
    Call call;
  } rows[] = {
      {"trimmed room", [&](SessionCore& c) { c.JoinChat(nul, 4); }},
      {"escaped text", [&](SessionCore& c) { c.SendIM("pal", nul, true); }},
      {"screen name", [&](SessionCore& c) { c.BlockUser(nul); }},
      {"buddy entry", [&](SessionCore& c) { c.AddBuddy("g", nul); }},
      {"second argument", [&](SessionCore& c) { c.RemoveBuddy(nul, "b"); }},
      {"unknown room", [&](SessionCore& c) { c.SendChat("Nowhere", nul); }},
      {"unknown room, users", [&](SessionCore& c) { c.InviteUsers("Nowhere", "m", nul); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Core s;
    s.SignOn();
    EXPECT_THROW(row.call(*s.control), std::invalid_argument);
    EXPECT_EQ(s.TakeSent(), "");
    EXPECT_EQ(s.NextSequence(), 2);
  }
}

TEST(Commands, NulInALookedUpRoomNameIsNotSent) {
  Core s;
  s.SignOn();
  s.control->LeaveChat(std::string("a\0b", 3), 7);
  EXPECT_EQ(s.TakeSent(), Sent(R"-(toc_chat_leave "7")-", 2));
}

// A line with its NUL must fit the 16-bit length field: 65535 bytes.
TEST(Commands, LineTooLongForAFrameThrowsAndSendsNothing) {
  const std::size_t away = std::string_view("toc_set_away \"\"").size();
  const std::size_t fits = kMaxPayload - 1 - away;
  const struct {
    const char* what;
    Call call;
    bool sent;
  } rows[] = {
      {"largest away message", [&](SessionCore& c) { c.SetAwayMessage(std::string(fits, 'x')); },
       true},
      {"one byte more", [&](SessionCore& c) { c.SetAwayMessage(std::string(fits + 1, 'x')); },
       false},
      {"fits raw, not escaped",
       [&](SessionCore& c) { c.SetAwayMessage(std::string(fits / 2 + 1, '$')); }, false},
      {"unknown room, message too long",
       [&](SessionCore& c) { c.SendChat("Nowhere", std::string(kMaxPayload, 'x')); }, false},
      {"AddBuddy", [&](SessionCore& c) { c.AddBuddy("g", std::string(kMaxPayload, 'b')); }, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Core s;
    s.SignOn();
    if (row.sent) {
      row.call(*s.control);
      EXPECT_EQ(s.TakeSent().size(), 6 + kMaxPayload);
    } else {
      EXPECT_THROW(row.call(*s.control), std::length_error);
      EXPECT_EQ(s.TakeSent(), "");
      EXPECT_EQ(s.NextSequence(), 2);
    }
  }
}

// Before the control's sign-on has gone out a command is dropped, as on a
// closed connection: nothing is sent then or later, no number is spent.
TEST(Commands, BeforeTheSignOnSendNothingUnlessArgumentsFail) {
  const std::vector<Call> quiet = {
      [](SessionCore& c) { c.JoinChat("Room", 4); },
      [](SessionCore& c) { c.LeaveChat("", 0); },
      [](SessionCore& c) { c.SendChat("", "hi", 7); },
      [](SessionCore& c) { c.SendIM("pal", "hi", true); },
      [](SessionCore& c) { c.SetIdleTime(35791394); },
      [](SessionCore& c) { c.AddBuddy("g", "b"); },
      [](SessionCore& c) { c.SetPrivacy(1); },
  };
  const struct {
    const char* when;
    std::function<void(Core&)> reach;
    int nextSequence;  // after the sign-on is answered, where the connection is open
  } states[] = {
      {"never logged in", [](Core&) {}, 0},
      {"logged in, not connected", [](Core& s) { s.control->Login("a", "b", "h", 1); }, 0},
      {"connected, sign-on not answered", [](Core& s) { s.Connect(); }, 2},
      {"signed off", [](Core& s) { s.SignOn(), s.control->LogOff(); }, 2},
      {"connection failed", [](Core& s) { s.SignOn(), s.control->Failed("reset"); }, 2},
  };
  for (const auto& state : states) {
    for (std::size_t i = 0; i < quiet.size(); ++i) {
      SCOPED_TRACE(std::string(state.when) + ", command " + std::to_string(i));
      Core s;
      state.reach(s);
      s.sent.clear();
      EXPECT_NO_THROW(quiet[i](*s.control));
      EXPECT_EQ(s.TakeSent(), "");
      if (s.control->IsOpen()) s.Arrive(Frame(1, std::string("\0\0\0\1", 4)));
      EXPECT_EQ(s.NextSequence(), state.nextSequence) << "nothing was kept for later";
    }
  }
  Core s;
  EXPECT_THROW(s.control->SetIdleTime(35791395), std::overflow_error);
  EXPECT_THROW(s.control->SetProfile(std::string(1, '\0')), std::invalid_argument);
  EXPECT_THROW(s.control->SetProfile(std::string(kMaxPayload, 'x')), std::length_error);
}

// Successive commands number their frames on from the first.
TEST(Commands, SequenceNumbersRunOn) {
  Core s;
  s.SignOn();
  s.control->AddGroup("A");
  s.control->SetPrivacy(1);
  EXPECT_EQ(s.TakeSent(), Sent(R"-(toc2_new_group "A")-", 2) + Sent("toc2_set_pdmode 1", 3));
}

}  // namespace
}  // namespace kez::test
