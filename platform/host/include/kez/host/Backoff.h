#pragma once

#include <chrono>
#include <cstdint>
#include <random>

namespace kez::host {

// The reconnect policy of the hosts: the first wait is one second, each
// further one doubles up to a cap, each is spread by a random ±20 % so that
// many clients cut off together do not all come back in the same second, and
// a completed sign-on starts over. Errors that say the account cannot sign
// on (wrong name or password, sign-on blocked) end the retrying; "too soon"
// makes the next wait at least half the cap.
class Backoff {
 public:
  using Seconds = std::chrono::duration<double>;
  struct Settings {
    Seconds first{1.0};
    Seconds cap{300.0};
    double jitter = 0.2;
  };

  Backoff() : Backoff(Settings{}, std::random_device{}()) {}
  Backoff(Settings settings, std::uint64_t seed) : settings_(settings), random_(seed) {}

  // An Error event's code. Returns true when it forbids retrying: 980, and
  // 989 (the control raises 989 only for a wrong name or password and for a
  // blocked sign-on; other sub-codes come under their own number).
  bool OnError(std::int16_t code);
  // A completed sign-on: the waits start over, and retrying is allowed again.
  void OnLoggedIn();

  // The wait before the next attempt; counts the attempt.
  Seconds NextDelay();
  // Attempts since the last sign-on, the coming one included once NextDelay
  // has been asked.
  int Attempt() const { return attempt_; }
  bool Stopped() const { return stopped_; }

 private:
  Settings settings_;
  std::mt19937_64 random_;
  int attempt_ = 0;
  bool tooSoon_ = false;
  bool stopped_ = false;
};

}  // namespace kez::host
