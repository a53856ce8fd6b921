#include "service/password_penalties.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace reposa::server::test {
namespace {

using Millis = std::chrono::milliseconds;

struct Book {
  Limits limits;
  Millis now{1000000};
  PasswordPenalties penalties{limits, [this] { return now; }};
  // -1: too soon; else the wait in milliseconds.
  long Reserve(const PasswordPenalties::Keys& keys) {
    const std::optional<Millis> wait = penalties.Reserve(keys);
    return wait ? static_cast<long>(wait->count()) : -1;
  }
};

const auto kGuesser = PasswordPenalties::For("al", "192.0.2.7", "192.0.2.0/24");
const auto kOwner = PasswordPenalties::For("al", "198.51.100.1", "198.51.100.0/24");

// Checks sent side by side wait in line, each one as long as if the ones
// before it failed; past the longest wait the answer is "too soon".
TEST(PasswordPenalties, ChecksOfOneNameFromOneNetworkWaitInLine) {
  Book b;
  std::vector<long> waits;
  for (int i = 0; i < 6; ++i) waits.push_back(b.Reserve(kGuesser));
  EXPECT_EQ(waits, (std::vector<long>{0, 250, 750, 1750, 3750, -1}));
  // The owner, elsewhere, is not held up by any of it.
  EXPECT_EQ(b.Reserve(kOwner), 0);
}

// Each wrong password doubles the wait up to the bound; a right one clears
// the name; a withdrawn check keeps its turn spent; all is forgotten after
// a quarter of an hour.
TEST(PasswordPenalties, WrongDoublesRightClearsWithdrawnStaysSpent) {
  Book b;
  const struct {
    char step;  // 'w' wrong, 'r' right, 'x' withdrawn
    long wait;  // of the check reserved before it; -1: too soon
  } rows[] = {{'w', 0},  {'w', 250}, {'w', 500}, {'w', 1000}, {'w', 2000}, {'w', 4000},
              {'r', -1}, {'x', 0},   {'r', 250}, {'w', 0},    {'x', 250},  {'w', 500}};
  for (const auto& r : rows) {
    const long wait = b.Reserve(kGuesser);
    EXPECT_EQ(wait, r.wait) << "before " << r.step;
    if (wait < 0) {
      b.now += Millis(30000);  // try again later
      ASSERT_GE(b.Reserve(kGuesser), 0);
    } else {
      b.now += Millis(wait);
    }
    if (r.step == 'x') {
      b.penalties.Withdrawn(kGuesser);
    } else {
      b.penalties.Judged(kGuesser, r.step == 'r');
    }
  }
  b.now += Millis(901000);
  EXPECT_EQ(b.Reserve(kGuesser), 0);
}

// One address trying many names waits too, past its allowance; so does a
// network, past a larger one, from however many addresses. A name that is
// no account counts the same: only the keys matter.
TEST(PasswordPenalties, AddressesAndNetworksWaitPastTheirAllowance) {
  const struct {
    const char* network;
    bool freshAddresses;  // each try from another address of the network
    int tries;            // each a new name, each wrong
  } rows[] = {{"192.0.2", false, 11}, {"198.51.100", true, 31}};
  for (const auto& r : rows) {
    Book b;
    auto keys = [&](int i) {
      const std::string address =
          std::string(r.network) + "." + (r.freshAddresses ? std::to_string(i) : "1");
      return PasswordPenalties::For("name" + std::to_string(i), address,
                                    std::string(r.network) + ".0/24");
    };
    for (int i = 0; i < r.tries; ++i) {
      ASSERT_EQ(b.Reserve(keys(i)), 0) << r.network << " try " << i;
      b.penalties.Judged(keys(i), false);
    }
    EXPECT_EQ(b.Reserve(keys(r.tries)), 250) << r.network;
  }
}

// The target: at most 20 guesses of one name answered a minute from one
// network, however many connections it uses, each retrying at once.
TEST(PasswordPenalties, AtMostTwentyGuessesAMinuteOfOneNameFromOneNetwork) {
  Book b;
  struct Connection {
    std::optional<Millis> answerAt;
  };
  std::vector<Connection> connections(64);
  int answered = 0;
  const Millis end = b.now + Millis(60000);
  for (; b.now < end; b.now += Millis(10)) {
    for (Connection& c : connections) {
      if (c.answerAt && *c.answerAt <= b.now) {
        b.penalties.Judged(kGuesser, false);
        ++answered;
        c.answerAt.reset();
      }
      if (!c.answerAt)
        if (auto wait = b.penalties.Reserve(kGuesser)) c.answerAt = b.now + *wait;
    }
  }
  EXPECT_LE(answered, 20);
  EXPECT_GE(answered, 5);  // the owner's own typos are not made to wait long
}

TEST(PasswordPenalties, KeepsAtMostItsBoundOfEntries) {
  Book b;
  b.limits.maxFailureEntries = 30;
  PasswordPenalties small(b.limits, [&] { return b.now; });
  for (int i = 0; i < 100; ++i) {
    const std::string network = "10.0." + std::to_string(i);
    const auto keys = PasswordPenalties::For("n", network + ".1", network + ".0/24");
    ASSERT_TRUE(small.Reserve(keys));
    small.Judged(keys, false);
  }
  EXPECT_LE(small.size(), 30u);
}

}  // namespace
}  // namespace reposa::server::test
