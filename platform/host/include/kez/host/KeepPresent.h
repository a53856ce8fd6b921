#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kez/SessionCore.h"
#include "kez/host/Backoff.h"
#include "kez/host/Rooms.h"

namespace kez::host {

// The host's one-shot timer, lent to KeepPresent: the console's event loop,
// the window's QTimer. One call is pending at most.
class Timer {
 public:
  virtual ~Timer() = default;
  // Calls `due` once after `wait`, in place of a call still pending.
  virtual void Start(std::chrono::milliseconds wait, std::function<void()> due) = 0;
  // Drops the pending call, if there is one.
  virtual void Cancel() = 0;
};

// Keeps one session present for its host: after a lost connection it signs
// on again once the backoff has waited, after each sign-on it joins again the
// rooms the session was in, and it stops for good on the errors retrying
// cannot cure. The host hands it the session's events and lends it a timer
// and two actions; it touches no socket and no control itself, so every
// host (event loop or Qt) drives the same rules.
//
// While it is not enabled, a lost connection stays lost and a sign-on joins
// only the rooms given to Want().
class KeepPresent {
 public:
  struct Actions {
    std::function<void()> signOn;                 // the last sign-on, again
    std::function<void(const JoinTarget&)> join;  // one room, again
  };

  // The next attempt, as the host announces it.
  struct Retry {
    Backoff::Seconds wait;
    int attempt = 0;  // since the last sign-on
    // The wait as shown: seconds to one decimal.
    double ShownSeconds() const;
  };

  // What time it is; a test's own clock replaces the steady clock.
  using Clock = std::function<Backoff::Clock::time_point()>;

  KeepPresent(Timer& timer, Actions actions, Backoff backoff = Backoff{},
              Clock now = Backoff::Clock::now);
  ~KeepPresent();
  KeepPresent(const KeepPresent&) = delete;
  KeepPresent& operator=(const KeepPresent&) = delete;

  void SetEnabled(bool on);
  bool Enabled() const { return enabled_; }

  // A room joined after every sign-on, until it is left.
  void Want(const JoinTarget& room);
  // A join the host asked of the control: the exchange to join it with again.
  void JoinRequested(const JoinTarget& room);

  // The session's events.
  void SignOnByHand();  // the user's own sign-on: no attempt waits any more
  void LoggedIn();      // the rooms are joined once the sign-on's own work is done
  void JoinedChat(std::string_view name, std::int32_t chatId);
  void LeftChat(std::int32_t chatId);
  void LoggedOut();  // signed off on purpose: no retrying until the next sign-on
  // An Error event, with the control's State() when it was raised: only an
  // error of a sign-on (SigningOn) says anything about signing on again.
  // Returns true when it ends the retrying: the host may give up.
  bool Error(std::int16_t code, std::string_view text, SessionState state);
  // The connection is gone (WinsockError, ConnectionClosed). Returns the
  // attempt it schedules, to announce, or nothing when none is scheduled now
  // (off, signed off, given up, or one already waiting).
  std::optional<Retry> Lost();
  // The attempt waiting, if any.
  const std::optional<Retry>& Waiting() const { return waiting_; }

 private:
  void CancelTimer();
  std::vector<JoinTarget> RoomsToJoin() const;

  Timer& timer_;
  Actions actions_;
  Backoff backoff_;
  Clock now_;
  RoomMemory rooms_;
  std::vector<JoinTarget> wanted_;
  std::optional<Retry> waiting_;
  bool enabled_ = false;
  bool signedOff_ = false;
};

// "Signing on again in 2.1 s (attempt 3)": the retry as a person reads it.
std::string RetryText(const KeepPresent::Retry& retry);

}  // namespace kez::host
