#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <nlohmann/json.hpp>
#include <string_view>

#include "kez/posix/EventLoop.h"
#include "request.h"

namespace reposa::console {

// How many calls, how many bytes of their lines, and how long each waits.
struct HeldCallLimits {
  std::size_t calls = 1000;
  std::size_t bytes = 1024 * 1024;
  std::chrono::milliseconds wait{60'000};
};

// Client commands that arrived while a sign-on is under way, kept in order
// until it completes. Bounded in number, in bytes and in time: a call that
// does not fit, or waits too long, gets its error line, never silence.
class HeldCalls {
 public:
  using Emit = std::function<void(const nlohmann::ordered_json&)>;

  HeldCalls(kez::posix::EventLoop& loop, Emit emit, HeldCallLimits limits = HeldCallLimits{});
  ~HeldCalls();
  HeldCalls(const HeldCalls&) = delete;
  HeldCalls& operator=(const HeldCalls&) = delete;

  bool Empty() const { return calls_.empty(); }
  // Keeps the call for later, or refuses it with an error line when full.
  void Hold(Request call, std::size_t lineBytes);
  // The oldest call, taken out.
  Request Take();
  // Every call waiting gets an error line saying why it was not sent.
  void RefuseAll(std::string_view why);

 private:
  struct Held {
    Request call;
    std::size_t bytes;
    std::chrono::steady_clock::time_point due;
  };
  void Refuse(const Request& call, std::string_view why);
  void ArmTimer();
  void Expire();

  kez::posix::EventLoop& loop_;
  Emit emit_;
  HeldCallLimits limits_;
  std::deque<Held> calls_;
  std::size_t bytes_ = 0;
  kez::posix::EventLoop::Id timer_ = 0;
};

}  // namespace reposa::console
