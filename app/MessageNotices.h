#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

// What `reposa --notify` tells about instant messages that arrive while the
// window is out of sight: a notice per message, at most a few a minute from
// one sender (the rest folded into one "n more from X" once that minute is
// over), and the count of messages not yet seen. Plain data, no Qt: the
// window shows the notices and passes the time.
class MessageNotices {
 public:
  using Clock = std::chrono::steady_clock;
  struct Notice {
    std::string title;
    std::string body;
  };
  static constexpr int kPerSender = 3;
  static constexpr std::chrono::seconds kWindow{60};
  // Senders tracked at once; past it a new sender's messages are counted,
  // not shown, until a minute frees a place.
  static constexpr std::size_t kMaxSenders = 256;
  // The longest text a notice shows, in bytes.
  static constexpr std::size_t kMaxText = 240;

  // A message from `sender` (its text already without markup): the notice
  // to show now, or nothing when the sender's minute is used up.
  std::optional<Notice> Arrived(const std::string& sender, std::string text, Clock::time_point now);
  // The "n more from X" notices whose minute has ended by `now`.
  std::vector<Notice> Due(Clock::time_point now);
  // When the next folded notice is due, if one is waiting.
  std::optional<Clock::time_point> NextDue() const;

  int Unread() const { return unread_; }
  // The window is shown: everything has been seen, nothing is owed.
  void Seen();

 private:
  struct Sender {
    Clock::time_point since;  // the start of its current minute
    int shown = 0;
    int folded = 0;
  };
  void Forget(Clock::time_point now);

  std::map<std::string, Sender> senders_;
  int unread_ = 0;
};
