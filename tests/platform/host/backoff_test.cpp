#include "kez/host/Backoff.h"

#include <gtest/gtest.h>

namespace kez::host {
namespace {

// The waits double from one second to the cap, each within ±20 %; a session
// that lasted a minute starts over; "too soon" waits as long as it asks once.
TEST(Backoff, DoublesToTheCapWithJitterAndStartsOverAfterASessionThatLasted) {
  const Backoff::Clock::time_point t0{};
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    Backoff backoff({}, seed);
    const double bases[] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 300, 300, 300};
    for (int round = 0; round < 2; ++round) {
      for (std::size_t i = 0; i < std::size(bases); ++i) {
        const double wait = backoff.NextDelay().count();
        EXPECT_GE(wait, bases[i] * 0.8) << i;
        EXPECT_LE(wait, bases[i] * 1.2) << i;
        EXPECT_EQ(backoff.Attempt(), static_cast<int>(i) + 1);
      }
      backoff.OnLoggedIn(t0);
      backoff.OnLost(t0 + std::chrono::seconds(60));
    }
    EXPECT_FALSE(backoff.OnSignOnError(983, "too soon"));
    EXPECT_GE(backoff.NextDelay().count(), 150.0);
    EXPECT_LE(backoff.NextDelay().count(), 2 * 1.2) << "only the wait right after it";
  }
}

// A session ended within the minute is one more failure: the waits go on
// doubling, so two clients on one name slow down.
TEST(Backoff, ASessionEndedSoonAfterItsSignOnCountsAsAFailure) {
  Backoff backoff({.jitter = 0}, 1);
  const Backoff::Clock::time_point t0{};
  for (double expected : {1, 2, 4, 8}) {
    EXPECT_EQ(backoff.NextDelay().count(), expected);
    backoff.OnLoggedIn(t0);
    backoff.OnLost(t0 + std::chrono::seconds(59));
  }
  backoff.OnLoggedIn(t0);
  backoff.OnLost(t0 + std::chrono::seconds(60));
  EXPECT_EQ(backoff.NextDelay().count(), 1);
}

TEST(Backoff, OnlyARefusedAccountOrABlockedSignOnStopsIt) {
  const struct {
    std::int16_t code;
    const char* text;
    bool stops;
  } rows[] = {{980, "", true},
              {989, "", true},
              {983, "", false},
              {901, "", false},
              {0, "", false},
              // An unknown sub-code of 989 comes under its own number.
              {7, "Unknown error code 989, sub error: 7", false}};
  for (const auto& row : rows) {
    Backoff backoff;
    EXPECT_EQ(backoff.OnSignOnError(row.code, row.text), row.stops) << row.code;
    EXPECT_EQ(backoff.Stopped(), row.stops) << row.code;
  }
}

}  // namespace
}  // namespace kez::host
