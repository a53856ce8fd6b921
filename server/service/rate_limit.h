#pragma once

// A token bucket on the service's clock (whole seconds): up to `burst`
// actions at once, then `perSecond` more each second.

#include <algorithm>
#include <cstdint>

namespace reposa::server {

struct RateLimit {
  std::int64_t burst = 0;
  std::int64_t perSecond = 0;
  std::int64_t tokens = -1;  // -1: full, not yet used
  std::int64_t last = 0;

  // Takes `n` tokens at time `now` if there are that many.
  bool Take(std::int64_t now, std::int64_t n = 1) {
    if (tokens < 0 || now < last) {
      tokens = burst;
    } else {
      tokens = std::min(burst, tokens + (now - last) * perSecond);
    }
    last = now;
    if (n > tokens) return false;
    tokens -= n;
    return true;
  }
};

}  // namespace reposa::server
