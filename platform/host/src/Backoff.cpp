#include "kez/host/Backoff.h"

#include <algorithm>
#include <cmath>

namespace kez::host {

bool Backoff::OnError(std::int16_t code) {
  if (code == 980 || code == 989) stopped_ = true;
  if (code == 983) tooSoon_ = true;
  return stopped_;
}

void Backoff::OnLoggedIn() {
  attempt_ = 0;
  tooSoon_ = false;
  stopped_ = false;  // the account signs on after all
}

Backoff::Seconds Backoff::NextDelay() {
  // Doubling stops at the cap; the exponent is bounded so it cannot overflow.
  const double doubled =
      settings_.first.count() * std::exp2(static_cast<double>(std::min(attempt_, 30)));
  double wait = std::min(doubled, settings_.cap.count());
  std::uniform_real_distribution<double> spread(1.0 - settings_.jitter, 1.0 + settings_.jitter);
  wait *= spread(random_);
  if (tooSoon_) wait = std::max(wait, settings_.cap.count() / 2);
  tooSoon_ = false;
  ++attempt_;
  return Seconds(wait);
}

}  // namespace kez::host
