#include "Reconnect.h"

#include <chrono>
#include <cmath>

Reconnect::Reconnect(std::function<void()> signOn, QObject* parent)
    : QObject(parent), signOn_(std::move(signOn)) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] { signOn_(); });
}

void Reconnect::SignedOn() {
  signedOff_ = false;
  timer_.stop();
  backoff_.OnLoggedIn();
}

void Reconnect::SignedOff() {
  signedOff_ = true;
  timer_.stop();
}

void Reconnect::Restart() {
  signedOff_ = false;
  timer_.stop();
}

void Reconnect::Error(int16_t code) {
  if (enabled_ && backoff_.OnError(code)) timer_.stop();
}

double Reconnect::Lost() {
  if (!enabled_ || signedOff_ || backoff_.Stopped()) return -1;
  if (timer_.isActive()) return timer_.remainingTime() / 1000.0;
  const double wait = backoff_.NextDelay().count();
  timer_.start(static_cast<int>(std::ceil(wait * 1000)));
  return wait;
}
