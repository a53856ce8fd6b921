#include "server.h"

#include <poll.h>

#include <algorithm>
#include <ctime>

namespace reposa::server {

using kez::posix::EventLoop;

namespace {

Presence::Clock WallClock() {
  return [] { return static_cast<std::int64_t>(std::time(nullptr)); };
}

}  // namespace

Server::Server(EventLoop& loop, Directory& directory, ServerOptions options, Log log,
               Presence::Clock now)
    : loop_(loop),
      options_(std::move(options)),
      log_(log ? std::move(log) : Log([](std::string_view) {})),
      committer_(
          connections_, [this](std::function<void()> f) { loop_.Post(std::move(f)); }, log_),
      service_(directory, committer_.outbox(), now ? now : WallClock(), log_),
      connections_(loop, service_, options_, log_),
      listener_(
          loop,
          [this](std::unique_ptr<Stream> stream, std::string address) {
            connections_.Add(std::move(stream), std::move(address));
          },
          log_) {}

Server::~Server() {
  committer_.Finish();
  if (workerWatch_) loop_.Unwatch(workerWatch_);
  if (keepAliveTimer_) loop_.CancelTimer(keepAliveTimer_);
  if (sweepTimer_) loop_.CancelTimer(sweepTimer_);
}

void Server::UseStore(AccountStore* store, PasswordWorker* worker) {
  worker_ = worker;
  committer_.Use(store, [this](Account& account) { service_.Reverted(account); });
  service_.UseStore(store ? &committer_ : nullptr, worker);
}

void Server::Start() {
  listener_.Start(options_.host, options_.port);
  if (worker_)
    workerWatch_ = loop_.Watch(worker_->fd(), POLLIN, [this](short) { worker_->Collect(); });
  if (options_.keepAlive.count() > 0)
    keepAliveTimer_ = loop_.AddTimer(options_.keepAlive, [this] { connections_.KeepAlive(); });
  // Deadlines are checked a few times within the shortest of them, by one
  // timer rather than one per connection.
  auto shortest = std::min({options_.signOnTimeout, options_.linger, options_.closeTimeout});
  if (options_.keepAlive.count() > 0 && options_.idleKeepAlives > 0)
    shortest = std::min(shortest, options_.keepAlive);
  const auto every =
      std::clamp(shortest / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
  sweepTimer_ = loop_.AddTimer(every, [this] { connections_.Sweep(); });
}

}  // namespace reposa::server
