#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace kez::posix {

// A single-threaded event loop: file-descriptor watches, timers and posted
// calls. Callbacks may add or remove watches and timers, their own included.
// Events are poll()'s flags (POLLIN, POLLOUT; POLLERR, POLLHUP and POLLNVAL
// are reported whatever was asked). A turn costs what is ready, not what is
// watched, so one loop can serve many thousands of descriptors.
class EventLoop {
 public:
  using Id = std::uint64_t;
  using FdCallback = std::function<void(short revents)>;
  using Callback = std::function<void()>;
  using Clock = std::chrono::steady_clock;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // One watch per descriptor at a time. A descriptor that cannot be waited
  // on (a regular file) is always ready, as poll() reports it.
  Id Watch(int fd, short events, FdCallback callback);
  void SetEvents(Id id, short events);
  // Before the descriptor is closed.
  void Unwatch(Id id);

  // Calls `callback` every `interval` (once when `repeat` is false).
  Id AddTimer(std::chrono::milliseconds interval, Callback callback, bool repeat = true);
  void CancelTimer(Id id);

  // Runs `callback` once the callbacks now running are done: at the end of
  // this turn when posted from one, else on the next turn; in posting order.
  void Post(Callback callback);

  // One turn: waits until something is ready, at most `timeout`
  // (negative: no limit), then runs what is due.
  void RunOnce(std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));
  // Turns until Stop().
  void Run();
  void Stop() { stopped_ = true; }
  bool Stopped() const { return stopped_; }

  // When the current turn's wait ended: what the turn handles arrived by then.
  Clock::time_point woke() const { return woke_; }
  // Called at the end of each turn with the time the turn worked (its wait
  // left out), for a host that watches its loop; empty: none.
  void SetTurnObserver(std::function<void(Clock::duration)> observer) {
    turnObserver_ = std::move(observer);
  }

 private:
  struct State;
  void RunPosted();
  void RunDueTimers();
  int WaitMs(std::chrono::milliseconds timeout) const;

  std::unique_ptr<State> state_;
  bool stopped_ = false;
  Clock::time_point woke_{};
  std::function<void(Clock::duration)> turnObserver_;
};

}  // namespace kez::posix
