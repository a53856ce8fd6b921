#include "service/check_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace reposa::server::test {
namespace {

using Clock = CheckQueue::Clock;

// Takes every check whose time has come, in the order given.
std::vector<CheckQueue::Ticket> Drain(CheckQueue& q, Clock::time_point now) {
  std::vector<CheckQueue::Ticket> order;
  while (auto t = q.Take(now)) order.push_back(*t);
  return order;
}

// A flood from one address waits behind its own: whoever comes from
// elsewhere is next, and addresses of one network take turns too.
TEST(CheckQueue, NetworksThenAddressesTakeTurns) {
  const Clock::time_point now = Clock::now();
  // Adds check 1, 2, ... from `address` in `network`, ready `late` seconds
  // from now; without an address, takes one at `late` seconds from now.
  struct Step {
    const char* address;
    const char* network;
    int late = 0;
  };
  const struct {
    std::vector<Step> steps;  // then the rest is taken, in order
    std::vector<CheckQueue::Ticket> taken;
  } rows[] = {
      // Eight from a flooder, then one honest user from another network.
      {{{"a", "n1"},
        {"a", "n1"},
        {"a", "n1"},
        {"a", "n1"},
        {"a", "n1"},
        {"a", "n1"},
        {"a", "n1"},
        {"a", "n1"},
        {"h", "n2"}},
       {1, 9, 2, 3, 4, 5, 6, 7, 8}},
      // Two addresses of one network, a third network.
      {{{"a", "n1"}, {"a", "n1"}, {"b", "n1"}, {"b", "n1"}, {"c", "n2"}}, {1, 5, 3, 2, 4}},
      // A guesser's checks (g) and one that waits its time (u); v comes while
      // g is served and must not be passed forever by the newcomers x that
      // keep coming one at a time once u was served.
      {{{"g", "n2"},
        {"g", "n2"},
        {"g", "n2"},
        {"u", "n1", 1},
        {nullptr, nullptr},
        {nullptr, nullptr},
        {"v", "n1"},
        {nullptr, nullptr, 1},
        {"x1", "n1"},
        {nullptr, nullptr, 1},
        {"x2", "n1"},
        {nullptr, nullptr, 1},
        {"x3", "n1"},
        {nullptr, nullptr, 1},
        {"x4", "n1"},
        {nullptr, nullptr, 1}},
       {1, 2, 4, 5, 6, 3, 7, 8, 9}},
  };
  for (const auto& r : rows) {
    CheckQueue q(100, 8);
    CheckQueue::Ticket ticket = 0;
    std::vector<CheckQueue::Ticket> taken;
    for (const Step& s : r.steps) {
      const Clock::time_point at = now + std::chrono::seconds(s.late);
      if (!s.address) {
        if (auto t = q.Take(at)) taken.push_back(*t);
        continue;
      }
      ASSERT_TRUE(q.Add(++ticket, s.address, s.network, at));
    }
    for (CheckQueue::Ticket t : Drain(q, now + std::chrono::seconds(1))) taken.push_back(t);
    EXPECT_EQ(taken, r.taken);
    EXPECT_EQ(q.size(), 0u);
  }
}

// One that comes after a long flood is served within one turn too.
TEST(CheckQueue, ALateComerIsNextWhateverWasServedBefore) {
  const Clock::time_point now = Clock::now();
  CheckQueue q(100, 8);
  CheckQueue::Ticket ticket = 0;
  for (int round = 0; round < 50; ++round) {
    ASSERT_TRUE(q.Add(++ticket, "a", "n1", now));
    ASSERT_EQ(q.Take(now), ticket);
  }
  ASSERT_TRUE(q.Add(++ticket, "a", "n1", now));
  ASSERT_TRUE(q.Add(++ticket, "a", "n1", now));
  ASSERT_TRUE(q.Add(++ticket, "h", "n2", now));
  EXPECT_EQ(Drain(q, now), (std::vector<CheckQueue::Ticket>{51, 53, 52}));
}

TEST(CheckQueue, BoundedWaitsItsTimeAndGivesBack) {
  const Clock::time_point now = Clock::now();
  CheckQueue q(10, 3);
  for (CheckQueue::Ticket t = 1; t <= 3; ++t) ASSERT_TRUE(q.Add(t, "a", "n1", now));
  EXPECT_FALSE(q.Add(4, "a", "n1", now)) << "past the bound of one address";
  for (CheckQueue::Ticket t = 4; t <= 10; ++t)
    ASSERT_TRUE(q.Add(t, "b" + std::to_string(t), "n2", now + std::chrono::seconds(1)));
  EXPECT_FALSE(q.Add(11, "c", "n3", now)) << "past the bound in all";
  EXPECT_TRUE(q.Remove(2));
  EXPECT_FALSE(q.Remove(2));
  Clock::time_point next;
  EXPECT_EQ(q.Take(now, &next), 1u);
  EXPECT_EQ(next, now) << "3 is ready too";
  EXPECT_EQ(q.Take(now, &next), 3u);
  EXPECT_FALSE(q.Take(now, &next)) << "the others wait their time";
  EXPECT_EQ(next, now + std::chrono::seconds(1));
  EXPECT_EQ(Drain(q, next).size(), 7u);
}

}  // namespace
}  // namespace reposa::server::test
