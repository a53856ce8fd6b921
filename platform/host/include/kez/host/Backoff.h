#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string_view>

namespace kez::host {

// The reconnect policy of the hosts: the first wait is one second, each
// further one doubles up to a cap, each is spread by a random ±20 % so that
// many clients cut off together do not all come back in the same second.
// The waits start over only once a session has stayed up for `settle`: a
// session ended soon after its sign-on (another client on the same name, a
// server that drops it at once) counts as one more failure, so two clients
// on one name slow down instead of taking turns forever. What a sign-on error
// means is kez::AdviseSignOnRetry's answer: a refused account ends the
// retrying, "too soon" makes the next wait at least as long as it asks.
class Backoff {
 public:
  using Seconds = std::chrono::duration<double>;
  using Clock = std::chrono::steady_clock;
  struct Settings {
    Seconds first{1.0};
    Seconds cap{300.0};
    double jitter = 0.2;
    Seconds settle{60.0};
  };

  Backoff() : Backoff(Settings{}, std::random_device{}()) {}
  Backoff(Settings settings, std::uint64_t seed) : settings_(settings), random_(seed) {}

  // An Error event raised during a sign-on, with its code and text. Returns
  // true when it forbids retrying.
  bool OnSignOnError(std::int16_t code, std::string_view text);
  // A completed sign-on at `now`: retrying is allowed again, and the waits
  // start over if the session it opens lasts `settle`.
  void OnLoggedIn(Clock::time_point now);
  // The session is gone at `now`; a session that lasted `settle` starts the
  // waits over.
  void OnLost(Clock::time_point now);

  // The wait before the next attempt; counts the attempt.
  Seconds NextDelay();
  // Failed attempts since the last session that lasted, the coming one
  // included once NextDelay has been asked.
  int Attempt() const { return attempt_; }
  bool Stopped() const { return stopped_; }

 private:
  Settings settings_;
  std::mt19937_64 random_;
  int attempt_ = 0;
  Seconds atLeast_{0};
  std::optional<Clock::time_point> signedOnAt_;
  bool stopped_ = false;
};

}  // namespace kez::host
