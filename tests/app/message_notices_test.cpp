#include "MessageNotices.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// Steps: "pal@5" a message from pal at second 5 (logged as "pal: text" when
// shown, "-" when folded); "due@61" the folded notices due then; "seen@N".
std::string RunSteps(const std::vector<std::string>& steps) {
  MessageNotices notices;
  const MessageNotices::Clock::time_point t0{};
  std::string log;
  auto add = [&](const std::string& entry) { log += (log.empty() ? "" : ", ") + entry; };
  for (const std::string& step : steps) {
    const std::size_t at = step.find('@');
    const std::string what = step.substr(0, at);
    const auto now = t0 + std::chrono::seconds(std::stoi(step.substr(at + 1)));
    if (what == "due") {
      for (const auto& n : notices.Due(now)) add(n.body);
    } else if (what == "seen") {
      notices.Seen();
    } else {
      const auto n = notices.Arrived(what, "hi", now);
      add(n ? n->title + ": " + n->body : "-");
    }
  }
  return log + " | unread " + std::to_string(notices.Unread());
}

TEST(MessageNotices, AFewAMinutePerSenderTheRestFoldedAndCounted) {
  const struct {
    std::vector<std::string> steps;
    const char* log;
  } rows[] = {
      {{"pal@0", "pal@1", "pal@2", "pal@3", "bo@4", "pal@5", "due@59", "due@60", "pal@61"},
       "pal: hi, pal: hi, pal: hi, -, bo: hi, -, 2 more from pal, pal: hi | unread 7"},
      // A minute over with nothing folded: the sender's count starts again.
      {{"pal@0", "pal@1", "pal@2", "pal@70", "due@200"},
       "pal: hi, pal: hi, pal: hi, pal: hi | unread 4"},
      // Shown: nothing is owed any more.
      {{"pal@0", "pal@1", "pal@2", "pal@3", "seen@4", "due@61", "pal@62"},
       "pal: hi, pal: hi, pal: hi, -, pal: hi | unread 1"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(RunSteps(row.steps), row.log) << testing::PrintToString(row.steps);
}

TEST(MessageNotices, BoundedInSendersAndText) {
  MessageNotices notices;
  const MessageNotices::Clock::time_point t0{};
  for (std::size_t i = 0; i < MessageNotices::kMaxSenders; ++i)
    EXPECT_TRUE(notices.Arrived("s" + std::to_string(i), "x", t0));
  EXPECT_FALSE(notices.Arrived("late", "x", t0 + 1s)) << "no place yet";
  const auto later = notices.Arrived("late", std::string(1000, 'y'), t0 + 61s);
  ASSERT_TRUE(later) << "a minute freed the places";
  EXPECT_EQ(later->body, std::string(MessageNotices::kMaxText, 'y') + "...");
  EXPECT_EQ(notices.Unread(), static_cast<int>(MessageNotices::kMaxSenders) + 2);
}

}  // namespace
