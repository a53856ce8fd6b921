#include "server.h"

#include <poll.h>

#include <algorithm>
#include <ctime>
#include <exception>

#include "store/account_rows.h"

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
      directory_(directory),
      options_(std::move(options)),
      log_(log ? std::move(log) : Log([](std::string_view) {})),
      committer_(
          connections_, [this](std::function<void()> f) { loop_.Post(std::move(f)); },
          options_.limits, log_),
      service_(directory, committer_.outbox(), now ? now : WallClock(), options_.limits, log_),
      connections_(loop, service_, options_.limits, options_.ioUring, log_),
      listener_(
          loop, options_.limits,
          [this](std::unique_ptr<Stream> stream, std::string address) {
            connections_.Add(std::move(stream), std::move(address));
          },
          log_),
      tlsListener_(
          loop, options_.limits,
          [this](std::unique_ptr<Stream> stream, std::string address) {
            connections_.Add(std::move(stream), std::move(address));
          },
          log_, [this](int fd) { return tlsContext_->Wrap(fd); }) {}

Server::~Server() {
  metrics_.reset();
  control_.reset();
  requests_.reset();
  committer_.Finish();
  loop_.SetTurnObserver({});
  if (workerWatch_) loop_.Unwatch(workerWatch_);
  if (keepAliveTimer_) loop_.CancelTimer(keepAliveTimer_);
  if (tickTimer_) loop_.CancelTimer(tickTimer_);
}

void Server::UseStore(AccountStore* store, PasswordWorker* worker) {
  worker_ = worker;
  store_ = store;
  committer_.Use(
      store, [this](Account& account) { service_.Reverted(account); },
      [this](Account& account, std::int64_t id) { service_.Unkept(account, id); });
  service_.UseStore(store ? &committer_ : nullptr, worker);
  if (!store) return directory_.UseLoader({});
  directory_.UseLoader([this, store](std::string_view name) -> std::optional<Account> {
    try {
      const std::optional<StoredAccount> row = store->Load(name);
      if (!row) return std::nullopt;
      return ToAccount(*row, options_.limits);
    } catch (const StoreError& e) {
      log_("cannot read " + std::string(name) + " from " + store->where() + ": " + e.what());
      throw;
    }
  });
}

void Server::LogSendPath() {
  if (connections_.batched())
    return log_("sends: each turn's sends go to the kernel in one io_uring batch");
  log_("sends: by send() alone (" +
       (options_.ioUring ? connections_.whyNotBatched() : std::string("--no-io-uring")) + ")");
}

void Server::Start() {
  // The control socket first: it says when another server has the database.
  if (!options_.control.empty()) {
    requests_ = std::make_unique<ControlRequests>(
        ControlRequests::Parts{loop_, service_, directory_, committer_, store_, options_.limits,
                               log_, [this] { return gauges(); }});
    control_ = std::make_unique<ControlSocket>(loop_, options_.limits, *requests_);
    control_->Start(options_.control);
  }
  if (options_.plain) listener_.Start(options_.host, options_.port);
  if (const std::optional<TlsListen>& tls = options_.tls) {
    tlsContext_ = std::make_unique<TlsContext>(tls->certFile, tls->keyFile);
    tlsListener_.Start(tls->host, tls->port);
  }
  if (!options_.metricsPort.empty()) {
    metrics_ =
        std::make_unique<MetricsEndpoint>(loop_, options_.limits, [this] { return gauges(); });
    metrics_->Start(options_.metricsHost, options_.metricsPort);
  }
  LogSendPath();
  loop_.SetTurnObserver(
      [](metrics::Clock::duration busy) { metrics::Observe(metrics::Timing::LoopTurn, busy); });
  if (worker_)
    workerWatch_ = loop_.Watch(worker_->fd(), POLLIN, [this](short) { worker_->Collect(); });
  const Limits& limits = options_.limits;
  if (limits.keepAlive.count() > 0)
    keepAliveTimer_ = loop_.AddTimer(limits.keepAlive, [this] { connections_.KeepAlive(); });
  // Deadlines are checked a few times within the shortest of them, by one
  // timer rather than one per connection, and only while a connection has
  // one; a signed-on session's silence is checked with each keep-alive.
  const auto shortest = std::min({limits.signOnTimeout, limits.linger, limits.closeTimeout});
  connections_.SweepEvery(std::clamp(shortest / 4, limits.sweepAtLeast, limits.sweepAtMost));
  tickTimer_ = loop_.AddTimer(limits.coalesceEvery, [this] { service_.Tick(); });
}

metrics::Gauges Server::gauges() const {
  const Connections::Counts n = connections_.counts();
  metrics::Gauges g;
  g.sessions = n.signedOn;
  g.signingOn = n.signingOn;
  g.signedOn = n.signedOn;
  g.closing = n.closing;
  g.queuedBytes = connections_.queuedBytes();
  g.uptimeSeconds = std::chrono::duration<double>(metrics::Clock::now() - started_).count();
  return g;
}

std::string Server::ReloadTls() {
  if (!tlsContext_) return "nothing to reload: no --tls-listen";
  try {
    tlsContext_->Reload();
  } catch (const std::exception& e) {
    return std::string(e.what()) + "; new connections keep the certificate and key in use";
  }
  return "TLS certificate and key read again from " + tlsContext_->certFile() + " and " +
         tlsContext_->keyFile() + "; new connections use them";
}

}  // namespace reposa::server
