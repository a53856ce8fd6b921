#include "request.h"

#include <gtest/gtest.h>

#include "Session.h"
#include "json_bytes.h"

namespace reposa::console {
namespace {

using kez::test::Data;
using kez::test::Frame;
using json = nlohmann::ordered_json;

// The frames a fake socket was handed, as "type|payload"; a data frame's
// closing NUL is left off.
std::vector<std::string> Frames(std::string bytes) {
  std::vector<std::string> frames;
  while (bytes.size() >= 6) {
    const std::size_t length =
        (static_cast<unsigned char>(bytes[4]) << 8) | static_cast<unsigned char>(bytes[5]);
    std::string payload = bytes.substr(6, length);
    if (bytes[1] == 2 && !payload.empty() && payload.back() == '\0') payload.pop_back();
    frames.push_back(std::to_string(bytes[1]) + "|" + payload);
    bytes.erase(0, 6 + length);
  }
  return frames;
}

struct RequestTest : testing::Test {
  kez::test::Session s;
  void SetUp() override { s.SignOn(); }
  std::optional<json> Handle(std::string_view line) { return HandleRequest(*s.control, line); }
};

// Each method with its arguments in signature order, and what reaches the
// server: argument order, kinds and optional parameters all show here.
TEST_F(RequestTest, EachCallReachesTheServerWithItsArgumentsInOrder) {
  const struct {
    const char* line;
    std::vector<std::string> frames;
  } rows[] = {
      {R"({"call":"SendPacket","args":[2,"raw:line"]})", {"2|raw:line"}},
      {R"({"call":"SendPacket","args":[5,""]})", {"5|"}},
      {R"({"call":"JoinChat","args":[" My Room ",4]})", {R"(2|toc_chat_join "4" "My Room")"}},
      {R"({"call":"LeaveChat","args":["any",7]})", {R"(2|toc_chat_leave "7")"}},
      {R"({"call":"LeaveChat","args":["nowhere"]})", {}},
      {R"({"call":"SendChat","args":["any","a $b",9]})", {R"(2|toc_chat_send "9" "a \$b")"}},
      {R"({"call":"SendChat","args":["nowhere","x"]})", {}},
      {R"({"call":"GetProfile","args":["Some Body"]})", {R"(2|toc_get_info "somebody")"}},
      {R"({"call":"SendIM","args":["Some Body","h\u00e9!",true]})",
       {"2|toc_send_im \"somebody\" \"h\xe9!\" auto"}},
      {R"({"call":"SendIM","args":["Pal","hi",false]})", {R"(2|toc_send_im "pal" "hi")"}},
      {R"({"call":"ChangePassword","args":["o(ld","new"]})",
       {R"(2|toc_change_passwd "o\(ld" "new")"}},
      {R"({"call":"FormatUserName","args":["Some Body"]})",
       {R"(2|toc_format_nickname "Some Body")"}},
      {R"({"call":"SetAwayMessage","args":["gone"]})", {R"(2|toc_set_away "gone")"}},
      {R"({"call":"SetProfile","args":["<b>me</b>"]})", {R"(2|toc_set_info "<b>me</b>")"}},
      {R"({"call":"GetStatus","args":["Pal"]})", {R"(2|toc_get_status "pal")"}},
      {R"({"call":"SetIdleTime","args":[2]})", {R"(2|toc_set_idle "120")"}},
      {R"({"call":"SetIdleTime","args":[35791394]})", {R"(2|toc_set_idle "2147483640")"}},
      {R"({"call":"AcceptChatInvite","args":[12]})", {R"(2|toc_chat_accept "12")"}},
      {R"({"call":"InviteUsers","args":["any","come","A b, C",5]})",
       {R"(2|toc_chat_invite "5" "come" "ab,c")"}},
      {R"({"call":"InviteUsers","args":["nowhere","come","x"]})", {}},
      {R"({"call":"WarnUser","args":["Pal",true]})", {R"(2|toc_evil "pal" "anon")"}},
      {R"({"call":"WarnUser","args":["Pal",false]})", {R"(2|toc_evil "pal" "norm")"}},
      {R"({"call":"AddBuddy","args":["Friends","Some Body"]})",
       {"2|toc2_new_buddies \"g:Friends\nb:Some Body\n\""}},
      {R"({"call":"RemoveBuddy","args":["Friends","Some Body"]})",
       {R"(2|toc2_remove_buddy "Some Body" "Friends")"}},
      {R"({"call":"AddGroup","args":["G{1}"]})", {R"(2|toc2_new_group "G\{1\}")"}},
      {R"({"call":"RemoveGroup","args":["G"]})", {R"(2|toc2_del_group "G")"}},
      {R"({"call":"BlockUser","args":["A B"]})", {R"(2|toc2_add_deny "ab")"}},
      {R"({"call":"UnblockUser","args":["A B"]})", {R"(2|toc2_remove_deny "ab")"}},
      {R"({"call":"AddPrivateUser","args":["A B"]})", {R"(2|toc2_add_permit "ab")"}},
      {R"({"call":"RemovePrivateUser","args":["A B"]})", {R"(2|toc2_remove_permit "ab")"}},
      {R"({"call":"SetPrivacy","args":[3]})", {"2|toc2_set_pdmode 3"}},
      {R"({"call":"SetCapability","args":["cap-1"]})", {R"(2|toc_set_caps "cap-1")"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(Handle(row.line), std::nullopt);
    EXPECT_EQ(Frames(s.sock->TakeSent()), row.frames);
  }
}

TEST_F(RequestTest, LoginTakesTheAuthorizerAsItsOptionalFifthArgument) {
  EXPECT_EQ(Handle(R"({"call":"Login","args":["Some Body","pw"," toc.example ",5191,"auth.x"]})"),
            std::nullopt);
  EXPECT_EQ(s.sock->calls, (std::vector<std::string>{"Close", "Connect toc.example:5191"}));
  s.sock->Connected();
  s.sock->Arrive(Frame(1, std::string("\0\0\0\1", 4)));
  EXPECT_NE(s.sock->TakeSent().find("toc2_login auth.x 5191 somebody 0x"), std::string::npos);

  EXPECT_EQ(Handle(R"({"call":"Login","args":["Pal","pw","h",1]})"), std::nullopt);
  s.sock->Connected();
  s.sock->Arrive(Frame(1, std::string("\0\0\0\1", 4)));
  EXPECT_NE(s.sock->TakeSent().find("toc2_login login.toc.localhost 1 pal 0x"), std::string::npos);
}

TEST_F(RequestTest, ResultsAndProperty) {
  s.sock->Arrive(Data("CHAT_JOIN:7:Room \xe9"));
  const struct {
    const char* line;
    std::optional<json> reply;
  } rows[] = {
      {R"({"call":"RemoveHtml","args":["<b>\u00e9\u0000x</b> y"]})",
       json{{"result", BytesToJson(std::string("\xe9\0x y", 5))}}},
      {R"({"call":"GetChatName","args":[7]})", json{{"result", BytesToJson("Room \xe9")}}},
      {R"({"call":"GetChatName","args":[42]})", json{{"result", "[No Chat Name Found for ID]"}}},
      {R"({"get":"LastChatID"})", json{{"result", 7}}},
      {R"({"set":"LastChatID","value":-2147483648})", std::nullopt},
      {R"({"get":"LastChatID"})", json{{"result", -2147483648LL}}},
      {R"({"call":"LogOff"})", std::nullopt},
      {R"({"get":"LastChatID"})", json{{"result", 0}}},
      {"", std::nullopt},
      {" \t\r", std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(Handle(row.line), row.reply) << row.line;
  EXPECT_EQ(s.events.events,
            (std::vector<std::string>{"JoinedChat|Room \xe9|7", "LoggedOut|somebody"}));
}

// Each bad line gives one error saying what is wrong, and sends nothing.
TEST_F(RequestTest, BadLinesAndRefusedCallsBecomeErrors) {
  const std::string longMessage(70000, 'x');
  const struct {
    std::string line;
    const char* error;
  } rows[] = {
      {"not json", "not valid JSON (at byte 2)"},
      {R"({"call":"SendIM")", "not valid JSON"},
      {std::string(100000, '['), "not valid JSON"},
      {std::string(100000, '[') + std::string(100000, ']'), "expected a JSON object"},
      {"[1]", "expected a JSON object"},
      {"{}", R"(expected a "call", "get" or "set" member)"},
      {R"({"call":"Nope"})", R"(unknown method "Nope")"},
      {R"({"call":"sendim","args":[]})", R"(unknown method "sendim")"},
      {R"({"call":5})", R"("call" must be a method name)"},
      {R"({"call":"LogOff","arg":[]})", R"(unexpected member "arg")"},
      {R"({"call":"GetStatus","args":"pal"})", R"(GetStatus: "args" must be an array)"},
      {R"({"call":"GetStatus"})", "GetStatus takes 1 argument, 0 given"},
      {R"({"call":"SendIM","args":["a","b"]})", "SendIM takes 3 arguments, 2 given"},
      {R"({"call":"LeaveChat","args":["a",1,2]})", "LeaveChat takes 1 to 2 arguments, 3 given"},
      {R"({"call":"LogOff","args":[1]})", "LogOff takes 0 arguments, 1 given"},
      {R"({"call":"SendIM","args":["a","b","yes"]})",
       "SendIM argument 3 (AutoResponse): expected true or false"},
      {R"({"call":"JoinChat","args":["r",40000]})",
       "JoinChat argument 2 (intExchange): 40000 is outside the Int16 range -32768..32767"},
      {R"({"call":"JoinChat","args":[4,"r"]})",
       "JoinChat argument 1 (strRoomName): expected a string"},
      {R"({"call":"SetIdleTime","args":[1.5]})",
       "SetIdleTime argument 1 (lngMinutes): expected an integer"},
      {R"({"call":"SendIM","args":["a","\u20ac",false]})",
       "SendIM argument 2 (strMessage): character 0 lies above U+00FF"},
      {R"({"call":"SetIdleTime","args":[35791395]})", "SetIdleTime failed: "},
      {R"({"call":"SendIM","args":["a","b\u0000c",false]})", "SendIM failed: "},
      {R"({"call":"SetAwayMessage","args":[")" + longMessage + R"("]})", "SetAwayMessage failed: "},
      {R"({"get":"ServerPort"})", R"(the only property is "LastChatID")"},
      {R"({"get":"LastChatID","value":1})", R"(unexpected member "value")"},
      {R"({"set":"LastChatID"})", R"("set" needs a "value")"},
      {R"({"set":"LastChatID","value":"7"})", "LastChatID: expected an integer"},
      {R"({"set":"LastChatID","value":2147483648})", "LastChatID: 2147483648 is outside"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line.substr(0, 80));
    const std::optional<json> reply = Handle(row.line);
    ASSERT_TRUE(reply && reply->contains("error") && (*reply)["error"].is_string());
    const std::string error = (*reply)["error"];
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
    EXPECT_EQ(s.sock->TakeSent(), "");
  }
  EXPECT_EQ(s.control->LastChatID(), 0);
}

// A password must not come back in an error, however the line is broken.
TEST_F(RequestTest, ErrorsNeverQuoteTheTextOfTheLine) {
  const char* rows[] = {
      R"({"call":"Login","args":["me","s3cret)",
      R"({"call":"Login","args":["me","s3cret"],})",
      R"({"call":"Login","args":["me",["s3cret"],"h",1]})",
      R"({"call":"Login","args":["me","s3cret\u0100","h",1]})",
      R"({"call":"Login","args":["me","s3cret","h","1"]})",
      R"({"call":"Login","args":["me","s3cret"]})",
      R"({"call":"ChangePassword","args":["s3cret",1]})",
      R"({"call":"ChangePassword","args":["old","s3cret\u0000"]})",
  };
  for (const char* line : rows) {
    const std::optional<json> reply = Handle(line);
    ASSERT_TRUE(reply && reply->contains("error")) << line;
    EXPECT_EQ(reply->dump().find("s3cret"), std::string::npos) << reply->dump();
  }
}

// With several accounts the "account" member picks the session and is no
// member of the call; with one it is refused like any unknown member.
TEST(ParseRequest, TakesTheAccountOutOnlyWhenAskedTo) {
  const struct {
    const char* line;
    bool several;
    std::optional<std::string> account;
    const char* error;  // empty: a request
  } rows[] = {
      {R"({"account":"bot 1","call":"LogOff"})", true, "bot 1", ""},
      {R"({"call":"LogOff","account":"caf\u00e9"})", true, "caf\xe9", ""},
      {R"({"call":"LogOff"})", true, std::nullopt, ""},
      {R"({"account":"b","call":"Nope"})", true, "b", R"(unknown method "Nope")"},
      {R"({"account":7,"call":"LogOff"})", true, std::nullopt, R"("account" must be the name)"},
      {R"({"account":"\u20ac","get":"LastChatID"})", true, std::nullopt, R"("account" must be)"},
      {R"({"account":"b","call":"LogOff"})", false, std::nullopt, R"(unexpected member "account")"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    std::optional<std::string> account;
    const ParsedLine parsed = ParseRequest(row.line, row.several ? &account : nullptr);
    EXPECT_EQ(account, row.account);
    if (*row.error == '\0') {
      EXPECT_TRUE(std::holds_alternative<Request>(parsed));
    } else {
      ASSERT_TRUE(std::holds_alternative<json>(parsed));
      EXPECT_NE(std::get<json>(parsed)["error"].get<std::string>().find(row.error),
                std::string::npos)
          << std::get<json>(parsed);
    }
  }
}

}  // namespace
}  // namespace reposa::console
