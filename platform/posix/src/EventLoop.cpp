#include "kez/posix/EventLoop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace kez::posix {

EventLoop::Id EventLoop::Watch(int fd, short events, FdCallback callback) {
  const Id id = nextId_++;
  watches_.emplace(id, std::make_shared<FdWatch>(FdWatch{fd, events, std::move(callback)}));
  return id;
}

void EventLoop::SetEvents(Id id, short events) {
  if (auto it = watches_.find(id); it != watches_.end()) it->second->events = events;
}

void EventLoop::Unwatch(Id id) {
  watches_.erase(id);
}

EventLoop::Id EventLoop::AddTimer(std::chrono::milliseconds interval, Callback callback,
                                  bool repeat) {
  const Id id = nextId_++;
  timers_.emplace(id, std::make_shared<Timer>(
                          Timer{Clock::now() + interval, interval, repeat, std::move(callback)}));
  return id;
}

void EventLoop::CancelTimer(Id id) {
  timers_.erase(id);
}

void EventLoop::Post(Callback callback) {
  posted_.push_back(std::move(callback));
}

void EventLoop::RunDueTimers() {
  const Clock::time_point now = Clock::now();
  std::vector<Id> due;
  for (const auto& [id, timer] : timers_)
    if (timer->due <= now) due.push_back(id);
  for (Id id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // cancelled by an earlier timer
    std::shared_ptr<Timer> timer = it->second;
    if (timer->repeat) {
      timer->due = now + std::max(timer->interval, std::chrono::milliseconds(1));
    } else {
      timers_.erase(it);
    }
    timer->callback();
  }
}

void EventLoop::RunOnce(std::chrono::milliseconds timeout) {
  int waitMs = static_cast<int>(std::min<std::chrono::milliseconds::rep>(
      timeout.count() < 0 ? -1 : timeout.count(), 1 << 30));
  if (!posted_.empty()) waitMs = 0;
  if (!timers_.empty()) {
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& [id, timer] : timers_) earliest = std::min(earliest, timer->due);
    const auto untilDue =
        std::chrono::ceil<std::chrono::milliseconds>(earliest - Clock::now()).count();
    const int timerMs = static_cast<int>(std::clamp<decltype(untilDue)>(untilDue, 0, 1 << 30));
    waitMs = waitMs < 0 ? timerMs : std::min(waitMs, timerMs);
  }

  std::vector<pollfd> fds;
  std::vector<Id> ids;
  fds.reserve(watches_.size());
  ids.reserve(watches_.size());
  for (const auto& [id, watch] : watches_) {
    fds.push_back(pollfd{watch->fd, watch->events, 0});
    ids.push_back(id);
  }
  const int ready = ::poll(fds.data(), fds.size(), waitMs);
  if (ready < 0 && errno != EINTR) return;

  std::deque<Callback> posted;
  posted.swap(posted_);
  for (Callback& callback : posted) callback();

  RunDueTimers();

  for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    auto it = watches_.find(ids[i]);
    if (it == watches_.end()) continue;  // removed by an earlier callback
    std::shared_ptr<FdWatch> watch = it->second;
    watch->callback(fds[i].revents);
  }
}

void EventLoop::Run() {
  stopped_ = false;
  while (!stopped_) RunOnce();
}

}  // namespace kez::posix
