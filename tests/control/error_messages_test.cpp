#include <gtest/gtest.h>

#include <optional>

#include "Core.h"

namespace kez::test {
namespace {

TEST(ErrorMessage, EveryRowOfTheErrorTable) {
  const struct {
    std::string message;
    std::string event;  // empty: nothing raised
  } rows[] = {
      {"ERROR:901:pal1", "Error|901|pal1 is not available"},
      {"ERROR:901:a:b", "Error|901|a:b is not available"},
      {"ERROR:901", ""},
      {"ERROR:902:pal2", "Error|902|Warning of pal2 is not currently available"},
      {"ERROR:902", ""},
      {"ERROR:903",
       "Error|903|A message has been dropped, you are exceeding the server speed limit"},
      {"ERROR:911:x", "Error|911|Error validating input"},
      {"ERROR:951:Room A:-1", "Error|951|Could not join chat 'Room A': Possible Reset"},
      {"ERROR:951:Room A:24", "Error|951|Could not join chat 'Room A': Chat Full"},
      {"ERROR:951:Room A:48", "Error|951|Could not join chat 'Room A': Rated"},
      {"ERROR:951:Room A:74", "Error|951|Could not join chat 'Room A': Ejected"},
      {"ERROR:951:Room A:74:x", "Error|951|Could not join chat 'Room A': Unknown error"},
      {"ERROR:951:Room A:99", "Error|951|Could not join chat 'Room A': Unknown error"},
      {"ERROR:951:Room A", "Error|951|Could not join chat 'Room A': Unknown error"},
      {"ERROR:951", ""},
      {"ERROR:980", "Error|980|Invalid account or password"},
      {"ERROR:983", "Error|983|You are attempting to sign on again too soon"},
      {"ERROR:989:7", "Error|989|The screenname or password you entered is not valid"},
      {"ERROR:989:17", "Error|989|Sign on Blocked"},
      {"ERROR:989:42", "Error|42|Unknown error code 989, sub error: 42"},
      {"ERROR:989:x", ""},
      {"ERROR:989:99999", ""},
      {"ERROR:989", ""},
      {"ERROR:999", "Error|999|Error code: 999"},
      {"ERROR:0901", "Error|901|Error code: 0901"},
      {"ERROR:-5:x", "Error|-5|Error code: -5"},
      {"ERROR:40000", ""},
      {"ERROR:abc", ""},
      {"ERROR:", ""},
      {"ERROR", ""},
      {"error:901:x", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    const std::vector<std::string> expected =
        row.event.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.event};
    EverySplit(Data(row.message), [&](Core& s) {
      EXPECT_EQ(s.events.events, expected);
      EXPECT_EQ(s.sent, "") << "an error changes nothing on the connection";
    });
  }
}

// What a host learns from each sign-on refusal, fed through the core so the
// advice reads the codes and texts the control really raises.
TEST(ErrorMessage, SignOnAdviceFromTheRaisedError) {
  using enum SignOnRetry;
  const struct {
    std::string message;
    SignOnRetry retry;
    int atLeast;  // seconds
  } rows[] = {
      {"ERROR:980", Never, 0},
      {"ERROR:989:7", Never, 0},
      {"ERROR:989:17", Never, 0},
      {"ERROR:983", Wait, 150},
      {"ERROR:989:42", Worthwhile, 0},
      {"ERROR:989:980", Worthwhile, 0},  // raised as code 980, but not a refused password
      {"ERROR:989:983", Worthwhile, 0},
      {"ERROR:911", Worthwhile, 0},
      {"ERROR:999", Worthwhile, 0},
  };
  struct Last : KezTOCSockEvents {
    std::optional<SignOnAdvice> advice;
    void Error(int16_t code, const std::string& text) override {
      advice = AdviseSignOnRetry(code, text);
    }
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    Core s;
    Last last;
    s.control->SetEvents(&last);
    s.SignOn();
    s.Arrive(Data(row.message));
    ASSERT_TRUE(last.advice.has_value());
    EXPECT_EQ(last.advice->retry, row.retry);
    EXPECT_EQ(last.advice->atLeast.count(), row.atLeast);
  }
}

}  // namespace
}  // namespace kez::test
