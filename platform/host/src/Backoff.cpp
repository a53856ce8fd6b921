#include "kez/host/Backoff.h"

#include <algorithm>
#include <cmath>

#include "kez/KezTOCSockErrors.h"

namespace kez::host {

bool Backoff::OnSignOnError(std::int16_t code, std::string_view text) {
  const SignOnAdvice advice = AdviseSignOnRetry(code, text);
  if (advice.retry == SignOnRetry::Never) stopped_ = true;
  atLeast_ = std::max(atLeast_, Seconds(advice.atLeast));
  return stopped_;
}

void Backoff::OnLoggedIn(Clock::time_point now) {
  signedOnAt_ = now;
  atLeast_ = Seconds(0);
  stopped_ = false;  // the account signs on after all
}

void Backoff::OnLost(Clock::time_point now) {
  if (signedOnAt_ && now - *signedOnAt_ >= settings_.settle) attempt_ = 0;
  signedOnAt_.reset();
}

Backoff::Seconds Backoff::NextDelay() {
  // Doubling stops at the cap; the exponent is bounded so it cannot overflow.
  const double doubled =
      settings_.first.count() * std::exp2(static_cast<double>(std::min(attempt_, 30)));
  double wait = std::min(doubled, settings_.cap.count());
  std::uniform_real_distribution<double> spread(1.0 - settings_.jitter, 1.0 + settings_.jitter);
  wait *= spread(random_);
  wait = std::max(wait, atLeast_.count());
  atLeast_ = Seconds(0);
  ++attempt_;
  return Seconds(wait);
}

}  // namespace kez::host
