#include "kez/host/Backoff.h"

#include <gtest/gtest.h>

namespace kez::host {
namespace {

// The waits double from one second to the cap, each within ±20 %; a sign-on
// starts over; "too soon" waits at least half the cap once.
TEST(Backoff, DoublesToTheCapWithJitterAndStartsOverAfterASignOn) {
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
      backoff.OnLoggedIn();
    }
    EXPECT_FALSE(backoff.OnError(983));
    EXPECT_GE(backoff.NextDelay().count(), 150.0);
    EXPECT_LE(backoff.NextDelay().count(), 2 * 1.2) << "only the wait right after it";
  }
}

TEST(Backoff, OnlyARefusedAccountOrABlockedSignOnStopsIt) {
  const struct {
    std::int16_t code;
    bool stops;
  } rows[] = {{980, true}, {989, true}, {983, false}, {901, false}, {0, false}, {7, false}};
  for (const auto& row : rows) {
    Backoff backoff;
    EXPECT_EQ(backoff.OnError(row.code), row.stops) << row.code;
    EXPECT_EQ(backoff.Stopped(), row.stops) << row.code;
  }
}

}  // namespace
}  // namespace kez::host
