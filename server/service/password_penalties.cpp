#include "service/password_penalties.h"

#include <algorithm>

namespace reposa::server {

PasswordPenalties::PasswordPenalties(Clock now, const Limits& limits)
    : now_(std::move(now)),
      first_(limits.refusalDelay),
      most_(limits.maxRefusalDelay),
      forget_(std::chrono::duration_cast<std::chrono::seconds>(limits.forgetFailures).count()) {}

std::chrono::milliseconds PasswordPenalties::Failed(std::string_view name) {
  const std::int64_t now = now_();
  Entry& e = failures_[std::string(name)];
  if (now - e.last > forget_) e.count = 0;
  e.last = now;
  e.count = std::min(e.count + 1, 30);
  std::chrono::milliseconds delay = first_;
  for (int i = 1; i < e.count && delay < most_; ++i) delay *= 2;
  return std::min(delay, most_);
}

void PasswordPenalties::Succeeded(std::string_view name) {
  failures_.erase(std::string(name));
}

}  // namespace reposa::server
