// Rates that belong to a screen name, a network or a room rather than to one
// session, and what one account may store: each row one rule, on the
// service fed by hand with a clock the test sets.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "ServiceFixture.h"
#include "service/rate_limit.h"

namespace reposa::server::test {
namespace {

using ServiceRates = ServiceFixture;

std::size_t Count(const Msgs& m, std::string_view prefix) {
  return static_cast<std::size_t>(std::count_if(
      m.begin(), m.end(), [&](const std::string& s) { return s.starts_with(prefix); }));
}

// A name that signs on again and again costs its watchers a bounded number
// of updates, and they end up with its latest state.
TEST_F(ServiceRates, AWatcherHearsABuddyThatSignsOnInALoopAtMostItsRate) {
  On(1, "watcher");
  Run(1, "toc2_new_buddies \"g:G\nb:flapper\n\"");
  Take(1);
  SessionId id = 10;
  std::size_t updates = 0;
  for (int second = 0; second < 60; ++second, ++now) {
    for (int i = 0; i < 20; ++i) {
      On(++id, "flapper");
      Run(id, "toc_set_idle 60");
      service.Ended(id);
    }
    service.Tick();
    updates += Count(Take(1), "UPDATE_BUDDY2:flapper:");
  }
  EXPECT_LE(updates, 120u) << "in a minute";
  On(++id, "flapper");
  for (int i = 0; i < 3; ++i, ++now) service.Tick();
  const Msgs last = Take(1);
  ASSERT_FALSE(last.empty());
  EXPECT_TRUE(last.back().starts_with("UPDATE_BUDDY2:flapper:T:")) << last.back();
}

// Rates of commands belong to the name: a new session starts where the last
// one left off. Past them the command is refused with the protocol's own
// answer and changes nothing.
TEST_F(ServiceRates, CommandsPastTheNamesRateAreRefusedAcrossSessions) {
  On(2, "Bo");
  const struct {
    const char* what;
    std::string line;
    int allowed;  // at once, from a fresh allowance
    std::string refusal;
  } rows[] = {
      {"presence", "toc_set_idle 60", 10, "ERROR:903"},
      {"list changes", "toc2_new_group \"G\"", 60, "ERROR:903"},
      {"joins", "toc_chat_join 4 \"Room\"", 10, "ERROR:951:Room:48"},
      {"4 KB messages", "toc_send_im bo \"" + std::string(4000, 'x') + "\"", 16, "ERROR:903"},
  };
  SessionId id = 10;
  for (const auto& r : rows) {
    now += 3600;  // every allowance whole again
    On(++id, "Al");
    for (int i = 0; i < r.allowed / 2; ++i) Run(id, r.line);
    On(++id, "Al");  // signs on again: no fresh allowance
    for (int i = r.allowed / 2; i < r.allowed; ++i) Run(id, r.line);
    EXPECT_EQ(Count(Take(id), "ERROR:"), 0u) << r.what;
    Run(id, r.line);
    EXPECT_EQ(Take(id), Msgs{r.refusal}) << r.what;
    Take(2);
  }
}

// Arrivals and departures a room's members hear are rated per room; past
// the rate they are gathered, and one who came and went meanwhile is not
// told at all.
TEST_F(ServiceRates, ARoomsMembersHearJoinAndLeaveFloodsGathered) {
  On(1, "Member");
  Run(1, "toc_chat_join 4 \"Room\"");
  Take(1);
  SessionId id = 10;
  for (int i = 0; i < 100; ++i) {
    On(++id, "Joiner" + std::to_string(i));
    Run(id, "toc_chat_join 4 \"Room\"");
    if (i % 2) Run(id, "toc_chat_leave 1");
  }
  const Msgs during = Take(1);
  EXPECT_LE(during.size(), 20u) << "the room's burst";
  ++now;
  service.Tick();
  const Msgs after = Take(1);
  EXPECT_EQ(after.size(), 1u);
  // What the member makes of it all: everyone inside, no one who left.
  std::set<std::string> inside;
  for (const Msgs* part : {&during, &after})
    for (const std::string& m : *part) {
      ASSERT_TRUE(m.starts_with("CHAT_UPDATE_BUDDY:1:")) << m;
      const bool in = m[20] == 'T';
      for (std::size_t at = 22; at < m.size();) {
        const std::size_t end = std::min(m.find(':', at), m.size());
        if (in) {
          inside.insert(m.substr(at, end - at));
        } else {
          inside.erase(m.substr(at, end - at));
        }
        at = end + 1;
      }
    }
  std::set<std::string> expected;
  for (int i = 0; i < 100; i += 2) expected.insert("Joiner" + std::to_string(i));
  EXPECT_EQ(inside, expected);
}

// What one account stores is bounded: an alias past its cap, or a change
// that would take the stored configuration past its cap, is refused whole.
TEST_F(ServiceRates, StoredListsStayWithinTheirCaps) {
  limits.maxStoredConfig = 2048;
  Service small(
      directory, out, [this] { return now; }, limits);
  ASSERT_TRUE(small.SignOn(1, "Owner", "pw"));
  out.Take(1);
  auto run = [&](const std::string& line) {
    small.Command(1, *ParseCommandLine(line));
    return out.Take(1);
  };
  EXPECT_EQ(run("toc2_new_buddies \"g:G\nb:pal:" + std::string(65, 'a') + "\n\""),
            Msgs{"ERROR:911"});
  std::string list = "g:G\n";
  for (int i = 0; i < 40; ++i)
    list += "b:pal" + std::to_string(i) + ":" + std::string(60, 'a') + "\n";
  EXPECT_EQ(run("toc2_new_buddies \"" + list + "\""), Msgs{"ERROR:911"});
  EXPECT_EQ(run("toc2_new_buddies \"g:G\nb:pal:" + std::string(64, 'a') + "\n\"").size(), 2u);
  small.Ended(1);
  ASSERT_TRUE(small.SignOn(2, "Owner", "pw"));
  const Msgs config = out.Take(2);
  ASSERT_EQ(config.size(), 3u);
  EXPECT_EQ(config[2], "CONFIG2:m:1\ng:G\nb:pal:" + std::string(64, 'a') + "\ndone:\n");
}

// An open server forgets a name that stored nothing when it signs off; one
// that stored something stays, and is the last to go when room is needed.
TEST_F(ServiceRates, AnOpenServerForgetsNamesThatStoredNothing) {
  On(1, "Keeper");
  Run(1, "toc2_new_group \"G\"");
  for (int i = 0; i < 100; ++i) {
    On(10 + i, "Throwaway" + std::to_string(i));
    service.Ended(10 + i);
  }
  EXPECT_EQ(directory.size(), 1u);
  service.Ended(1);
  EXPECT_EQ(directory.size(), 1u);
  ASSERT_TRUE(service.SignOn(2, "keeper", "pw"));
  EXPECT_EQ(Take(2).back(), "CONFIG2:m:1\ng:G\ndone:\n");
}

TEST(Directory, PastItsBoundAnOpenServerLetsTheLeastRecentlyUsedIdleNamesGo) {
  Limits limits;
  limits.maxOpenAccounts = 3;
  Directory d(limits);
  int loads = 0;
  d.UseLoader([&](std::string_view name) -> std::optional<Account> {
    ++loads;
    if (name != "a") return std::nullopt;
    Account a;
    a.name = "a";
    a.display = "A";
    return a;
  });
  for (const char* name : {"a", "b", "c"}) {
    Account* account = d.Lookup(name);
    ASSERT_TRUE(account);
    account->stored = true;  // stored something: read back when it returns
    d.SignedOn(*account);
  }
  EXPECT_FALSE(d.Lookup("d")) << "all three are signed on";
  d.SignedOff(*d.Find("a"));
  d.SignedOff(*d.Find("b"));
  ASSERT_TRUE(d.Lookup("d"));
  EXPECT_FALSE(d.Find("a")) << "the longest idle went";
  EXPECT_TRUE(d.Find("b"));
  ASSERT_TRUE(d.Lookup("a"));
  EXPECT_EQ(d.Find("a")->display, "A") << "read back from the store";
  EXPECT_EQ(d.size(), 3u);
}

// What a bucket lets through in its first second and in each second after:
// a rate above its burst is not held to the burst.
TEST(RateLimit, TakesItsBurstThenItsRate) {
  const struct {
    RateLimit bucket;
    std::int64_t first, after;
  } rows[] = {
      {{10, 1}, 10, 1}, {{60, 1000000}, 1000000, 1000000}, {{3, 1, 20}, 3, 0},  // one every 20 s
  };
  for (auto row : rows) {
    std::int64_t first = 0, after = 0;
    while (first <= row.first && row.bucket.Take(100)) ++first;
    while (after <= row.after && row.bucket.Take(101)) ++after;
    EXPECT_EQ(first, row.first) << row.bucket.burst;
    EXPECT_EQ(after, row.after) << row.bucket.burst;
  }
}

}  // namespace
}  // namespace reposa::server::test
