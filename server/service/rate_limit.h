#pragma once

// A token bucket on the service's clock (whole seconds): up to `burst`
// actions at once, then `perSecond` more every `seconds` seconds (one a
// second by default; `seconds` slows a rate below one a second). The clock
// ticks in seconds, so a rate above its burst holds a second's worth.

#include <algorithm>
#include <cstdint>

namespace reposa::server {

struct RateLimit {
  std::int64_t burst = 0;
  std::int64_t perSecond = 0;
  std::int64_t seconds = 1;
  std::int64_t credit = -1;  // tokens times `seconds`; -1: full, not yet used
  std::int64_t last = 0;

  // Takes `n` tokens at time `now` if there are that many.
  bool Take(std::int64_t now, std::int64_t n = 1) {
    Refill(now);
    if (n > Most() || n * seconds > credit) return false;
    credit -= n * seconds;
    return true;
  }
  // Whether the whole burst is back at `now`: forgetting the bucket then
  // loses nothing.
  bool Full(std::int64_t now) const {
    return credit < 0 || now < last || credit + (now - last) * perSecond >= Most() * seconds;
  }

 private:
  std::int64_t Most() const { return std::max(burst, perSecond); }
  void Refill(std::int64_t now) {
    if (Full(now)) {
      credit = Most() * seconds;
    } else {
      credit = std::min(Most() * seconds, credit + (now - last) * perSecond);
    }
    last = now;
  }
};

}  // namespace reposa::server
