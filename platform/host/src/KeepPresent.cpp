#include "kez/host/KeepPresent.h"

#include <cmath>
#include <cstdio>

namespace kez::host {

double KeepPresent::Retry::ShownSeconds() const {
  return std::round(wait.count() * 10) / 10;
}

std::string RetryText(const KeepPresent::Retry& retry) {
  char text[96];
  std::snprintf(text, sizeof text, "Signing on again in %.1f s (attempt %d)", retry.ShownSeconds(),
                retry.attempt);
  return text;
}

KeepPresent::KeepPresent(Timer& timer, Actions actions, Backoff backoff, Clock now)
    : timer_(timer),
      actions_(std::move(actions)),
      backoff_(std::move(backoff)),
      now_(std::move(now)) {}

KeepPresent::~KeepPresent() {
  CancelTimer();
}

void KeepPresent::CancelTimer() {
  timer_.Cancel();
  waiting_.reset();
}

void KeepPresent::SetEnabled(bool on) {
  enabled_ = on;
  if (!on) CancelTimer();
}

void KeepPresent::Want(const JoinTarget& room) {
  if (wanted_.size() >= RoomMemory::kMaxRooms) return;
  wanted_.push_back(room);
  rooms_.Want(room);
}

void KeepPresent::JoinRequested(const JoinTarget& room) {
  rooms_.Requested(room);
}

std::vector<JoinTarget> KeepPresent::RoomsToJoin() const {
  return enabled_ ? rooms_.Rooms() : wanted_;
}

void KeepPresent::SignOnByHand() {
  signedOff_ = false;
  CancelTimer();
}

void KeepPresent::LoggedIn() {
  signedOff_ = false;
  CancelTimer();
  backoff_.OnLoggedIn(now_());
  // The control finishes the sign-on once its LoggedIn handler returns; the
  // joins follow on a later turn, as a user's would.
  std::vector<JoinTarget> rooms = RoomsToJoin();
  if (rooms.empty()) return;
  timer_.Start(std::chrono::milliseconds(0), [this, rooms = std::move(rooms)] {
    for (const JoinTarget& room : rooms) actions_.join(room);
  });
}

void KeepPresent::JoinedChat(std::string_view name, std::int32_t chatId) {
  rooms_.Joined(name, chatId);
}

void KeepPresent::LeftChat(std::int32_t chatId) {
  rooms_.Left(chatId);
}

void KeepPresent::LoggedOut() {
  signedOff_ = true;
  CancelTimer();
}

bool KeepPresent::Error(std::int16_t code, std::string_view text, SessionState state) {
  if (!enabled_ || state != SessionState::SigningOn || !backoff_.OnSignOnError(code, text))
    return false;
  CancelTimer();
  return true;
}

std::optional<KeepPresent::Retry> KeepPresent::Lost() {
  backoff_.OnLost(now_());
  if (!enabled_ || signedOff_ || backoff_.Stopped() || waiting_) return std::nullopt;
  const Backoff::Seconds wait = backoff_.NextDelay();
  timer_.Start(std::chrono::ceil<std::chrono::milliseconds>(wait), [this] {
    waiting_.reset();
    actions_.signOn();
  });
  waiting_ = Retry{wait, backoff_.Attempt()};
  return waiting_;
}

}  // namespace kez::host
