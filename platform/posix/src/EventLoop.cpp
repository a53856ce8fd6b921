#include "kez/posix/EventLoop.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <set>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kez::posix {

// epoll's flags have poll()'s values on Linux; the loop speaks poll()'s.
static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLERR == POLLERR &&
              EPOLLHUP == POLLHUP && EPOLLPRI == POLLPRI);

namespace {
constexpr int kMaxEventsPerWait = 1024;
}  // namespace

struct EventLoop::State {
  struct FdWatch {
    int fd;
    short events;
    // What epoll cannot wait on is reported every turn: a regular file is
    // always ready (as poll() has it), a bad descriptor is POLLNVAL.
    bool polled = true;
    bool invalid = false;
    FdCallback callback;
  };
  struct Timer {
    Clock::time_point due;
    std::chrono::milliseconds interval;
    bool repeat;
    Callback callback;
  };

  int epollFd = -1;
  Id nextId = 1;
  std::unordered_map<Id, std::shared_ptr<FdWatch>> watches;
  // Which watch holds each descriptor's registration: a descriptor closed
  // under its watch and opened again belongs to the newer watch.
  std::unordered_map<int, Id> registered;
  std::vector<Id> unpolled;  // watches epoll refused
  std::unordered_map<Id, std::shared_ptr<Timer>> timers;
  std::set<std::pair<Clock::time_point, Id>> timerQueue;
  std::deque<Callback> posted;
  std::vector<epoll_event> ready = std::vector<epoll_event>(kMaxEventsPerWait);

  static short Reported(const FdWatch& w) {
    if (w.invalid) return POLLNVAL;
    return static_cast<short>(w.events & (POLLIN | POLLOUT));
  }
};

EventLoop::EventLoop() : state_(std::make_unique<State>()) {
  state_->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  if (state_->epollFd < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
}

EventLoop::~EventLoop() {
  ::close(state_->epollFd);
}

EventLoop::Id EventLoop::Watch(int fd, short events, FdCallback callback) {
  State& s = *state_;
  const Id id = s.nextId++;
  auto watch = std::make_shared<State::FdWatch>(
      State::FdWatch{fd, events, true, false, std::move(callback)});
  epoll_event ev{};
  ev.events = static_cast<std::uint32_t>(static_cast<unsigned short>(events));
  ev.data.u64 = id;
  if (::epoll_ctl(s.epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
    if (errno == EEXIST)
      throw std::logic_error("EventLoop::Watch: descriptor " + std::to_string(fd) +
                             " is watched already");
    watch->polled = false;
    watch->invalid = errno != EPERM;
    s.unpolled.push_back(id);
  } else {
    s.registered[fd] = id;
  }
  s.watches.emplace(id, std::move(watch));
  return id;
}

void EventLoop::SetEvents(Id id, short events) {
  State& s = *state_;
  auto it = s.watches.find(id);
  if (it == s.watches.end() || it->second->events == events) return;
  State::FdWatch& w = *it->second;
  w.events = events;
  if (!w.polled) return;
  epoll_event ev{};
  ev.events = static_cast<std::uint32_t>(static_cast<unsigned short>(events));
  ev.data.u64 = id;
  // Fails only when the descriptor was closed under its watch; poll()
  // would have said POLLNVAL, and so does the loop from now on.
  const auto owner = s.registered.find(w.fd);
  if (owner == s.registered.end() || owner->second != id ||
      ::epoll_ctl(s.epollFd, EPOLL_CTL_MOD, w.fd, &ev) != 0) {
    w.polled = false;
    w.invalid = true;
    s.unpolled.push_back(id);
  }
}

void EventLoop::Unwatch(Id id) {
  State& s = *state_;
  auto it = s.watches.find(id);
  if (it == s.watches.end()) return;
  if (it->second->polled) {
    const int fd = it->second->fd;
    if (auto owner = s.registered.find(fd); owner != s.registered.end() && owner->second == id) {
      ::epoll_ctl(s.epollFd, EPOLL_CTL_DEL, fd, nullptr);
      s.registered.erase(owner);
    }
  } else {
    std::erase(s.unpolled, id);
  }
  s.watches.erase(it);
}

EventLoop::Id EventLoop::AddTimer(std::chrono::milliseconds interval, Callback callback,
                                  bool repeat) {
  State& s = *state_;
  const Id id = s.nextId++;
  const Clock::time_point due = Clock::now() + interval;
  s.timers.emplace(
      id, std::make_shared<State::Timer>(State::Timer{due, interval, repeat, std::move(callback)}));
  s.timerQueue.emplace(due, id);
  return id;
}

void EventLoop::CancelTimer(Id id) {
  State& s = *state_;
  auto it = s.timers.find(id);
  if (it == s.timers.end()) return;
  s.timerQueue.erase({it->second->due, id});
  s.timers.erase(it);
}

void EventLoop::Post(Callback callback) {
  state_->posted.push_back(std::move(callback));
}

void EventLoop::RunPosted() {
  std::deque<Callback> posted;
  posted.swap(state_->posted);
  for (Callback& callback : posted) callback();
}

void EventLoop::RunDueTimers() {
  State& s = *state_;
  const Clock::time_point now = Clock::now();
  // Only the timers due now: one re-armed below comes back on a later turn.
  std::vector<Id> due;
  for (auto it = s.timerQueue.begin(); it != s.timerQueue.end() && it->first <= now; ++it)
    due.push_back(it->second);
  for (Id id : due) {
    auto it = s.timers.find(id);
    if (it == s.timers.end()) continue;  // cancelled by an earlier timer
    std::shared_ptr<State::Timer> timer = it->second;
    s.timerQueue.erase({timer->due, id});
    if (timer->repeat) {
      timer->due = now + std::max(timer->interval, std::chrono::milliseconds(1));
      s.timerQueue.emplace(timer->due, id);
    } else {
      s.timers.erase(it);
    }
    timer->callback();
  }
}

int EventLoop::WaitMs(std::chrono::milliseconds timeout) const {
  const State& s = *state_;
  if (!s.posted.empty()) return 0;
  for (Id id : s.unpolled)
    if (State::Reported(*s.watches.at(id)) != 0) return 0;
  int waitMs = static_cast<int>(std::min<std::chrono::milliseconds::rep>(
      timeout.count() < 0 ? -1 : timeout.count(), 1 << 30));
  if (!s.timerQueue.empty()) {
    const auto untilDue =
        std::chrono::ceil<std::chrono::milliseconds>(s.timerQueue.begin()->first - Clock::now())
            .count();
    const int timerMs = static_cast<int>(std::clamp<decltype(untilDue)>(untilDue, 0, 1 << 30));
    waitMs = waitMs < 0 ? timerMs : std::min(waitMs, timerMs);
  }
  return waitMs;
}

void EventLoop::RunOnce(std::chrono::milliseconds timeout) {
  State& s = *state_;
  const int count = ::epoll_wait(s.epollFd, s.ready.data(), kMaxEventsPerWait, WaitMs(timeout));
  if (count < 0 && errno != EINTR) return;
  woke_ = Clock::now();
  // Gathered first: the callbacks below may change the watches, the
  // refused ones included.
  std::vector<std::pair<Id, short>> fired;
  fired.reserve(static_cast<std::size_t>(std::max(count, 0)) + s.unpolled.size());
  for (int i = 0; i < count; ++i) {
    const epoll_event event = s.ready[static_cast<std::size_t>(i)];  // packed: copied
    const Id id = event.data.u64;
    fired.emplace_back(id, static_cast<short>(event.events));
  }
  for (Id id : s.unpolled)
    if (const short revents = State::Reported(*s.watches.at(id)); revents != 0)
      fired.emplace_back(id, revents);

  RunPosted();
  RunDueTimers();

  for (const auto& [id, revents] : fired) {
    auto it = s.watches.find(id);
    if (it == s.watches.end()) continue;  // removed by an earlier callback
    std::shared_ptr<State::FdWatch> watch = it->second;
    // What poll() would report now: a watch narrowed by an earlier callback
    // is not told of events it no longer asks for.
    const short wanted = static_cast<short>(watch->events | POLLERR | POLLHUP | POLLNVAL);
    if (const short now = static_cast<short>(revents & wanted); now != 0) watch->callback(now);
  }
  // What the callbacks posted (output gathered this turn, say) runs now,
  // without waiting on the descriptors once more.
  RunPosted();
  if (turnObserver_) turnObserver_(Clock::now() - woke_);
}

void EventLoop::Run() {
  stopped_ = false;
  while (!stopped_) RunOnce();
}

}  // namespace kez::posix
