#include "held_calls.h"

#include <string>

namespace reposa::console {

HeldCalls::HeldCalls(kez::posix::EventLoop& loop, Emit emit, HeldCallLimits limits)
    : loop_(loop), emit_(std::move(emit)), limits_(limits) {}

HeldCalls::~HeldCalls() {
  if (timer_) loop_.CancelTimer(timer_);
}

void HeldCalls::Refuse(const Request& call, std::string_view why) {
  emit_(
      nlohmann::ordered_json{{"error", std::string(call.method->name) + ": " + std::string(why)}});
}

void HeldCalls::Hold(Request call, std::size_t lineBytes) {
  if (calls_.size() >= limits_.calls || bytes_ + lineBytes > limits_.bytes) {
    Refuse(call, "not sent: too many calls wait for the sign-on");
    return;
  }
  bytes_ += lineBytes;
  calls_.push_back(
      Held{std::move(call), lineBytes, std::chrono::steady_clock::now() + limits_.wait});
  if (calls_.size() == 1) ArmTimer();
}

Request HeldCalls::Take() {
  Held held = std::move(calls_.front());
  calls_.pop_front();
  bytes_ -= held.bytes;
  if (calls_.empty() && timer_) {
    loop_.CancelTimer(timer_);
    timer_ = 0;
  }
  return std::move(held.call);
}

void HeldCalls::RefuseAll(std::string_view why) {
  while (!calls_.empty()) Refuse(Take(), why);
}

// One timer, for the oldest call: the later ones are due no sooner.
void HeldCalls::ArmTimer() {
  if (timer_) loop_.CancelTimer(timer_);
  timer_ = 0;
  if (calls_.empty()) return;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(calls_.front().due -
                                                                 std::chrono::steady_clock::now());
  timer_ = loop_.AddTimer(
      std::max(left, std::chrono::milliseconds(0)),
      [this] {
        timer_ = 0;
        Expire();
      },
      false);
}

void HeldCalls::Expire() {
  const auto now = std::chrono::steady_clock::now();
  while (!calls_.empty() && calls_.front().due <= now)
    Refuse(Take(), "not sent: the session did not sign on in time");
  ArmTimer();
}

}  // namespace reposa::console
