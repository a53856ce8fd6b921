#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>

namespace kez::posix {

// A single-threaded poll() loop: file-descriptor watches, timers and posted
// calls. Callbacks may add or remove watches and timers, their own included.
class EventLoop {
 public:
  using Id = std::uint64_t;
  using FdCallback = std::function<void(short revents)>;
  using Callback = std::function<void()>;
  using Clock = std::chrono::steady_clock;

  Id Watch(int fd, short events, FdCallback callback);
  void SetEvents(Id id, short events);
  void Unwatch(Id id);

  // Calls `callback` every `interval` (once when `repeat` is false).
  Id AddTimer(std::chrono::milliseconds interval, Callback callback, bool repeat = true);
  void CancelTimer(Id id);

  // Runs `callback` on the next turn of the loop, in posting order.
  void Post(Callback callback);

  // One turn: waits until something is ready, at most `timeout`
  // (negative: no limit), then runs what is due.
  void RunOnce(std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));
  // Turns until Stop().
  void Run();
  void Stop() { stopped_ = true; }
  bool Stopped() const { return stopped_; }

 private:
  struct FdWatch {
    int fd;
    short events;
    FdCallback callback;
  };
  struct Timer {
    Clock::time_point due;
    std::chrono::milliseconds interval;
    bool repeat;
    Callback callback;
  };
  void RunDueTimers();

  Id nextId_ = 1;
  std::map<Id, std::shared_ptr<FdWatch>> watches_;
  std::map<Id, std::shared_ptr<Timer>> timers_;
  std::deque<Callback> posted_;
  bool stopped_ = false;
};

}  // namespace kez::posix
