#pragma once

// The server's glue: one event loop, and on it the three rooms joined up.
// The net room's listeners (plain, TLS or both) hand new connections to its
// one connection table, so every cap counts them together;
// their sessions speak to the service; the service's answers pass through
// the store's committer (held until the turn's changes are stored) back to
// the connection table. Here live only the wiring and the loop's timers.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "admin/control_requests.h"
#include "admin/control_socket.h"
#include "admin/metrics_endpoint.h"
#include "kez/posix/EventLoop.h"
#include "metrics/metrics.h"
#include "net/connections.h"
#include "net/listener.h"
#include "net/tls_context.h"
#include "server_options.h"
#include "service/directory.h"
#include "service/password_worker.h"
#include "service/service.h"
#include "store/account_store.h"
#include "store/committer.h"

namespace reposa::server {

class Server final {
 public:
  using Log = std::function<void(std::string_view)>;
  Server(kez::posix::EventLoop& loop, Directory& directory, ServerOptions options, Log log = {},
         Presence::Clock now = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Keeps what accounts store in `store` (each loop turn's changes in one
  // transaction, committed before the answers leave; lists and forgotten
  // names are read back from it when wanted) and checks passwords on
  // `worker`. Either may be null. Call before Start().
  void UseStore(AccountStore* store, PasswordWorker* worker);
  // Binds and listens (the control socket and the metrics endpoint too,
  // when the options name them); throws std::runtime_error saying why it
  // cannot (a TLS certificate or key it cannot use included).
  void Start();
  // Sessions, connections by state, queued output and uptime, now.
  metrics::Gauges gauges() const;
  // Where the metrics are served, "host:port"; empty when they are not.
  std::string metricsAddress() const { return metrics_ ? metrics_->address() : std::string(); }
  // Reads the TLS certificate and key again for the connections to come;
  // the one line to log about it.
  std::string ReloadTls();
  // Where it listens in plain, "host:port" with the port actually bound.
  bool plain() const { return options_.plain; }
  std::string address() const { return listener_.address(); }
  std::uint16_t port() const { return listener_.port(); }
  bool loopback() const { return listener_.loopback(); }
  // The same over TLS.
  bool tls() const { return tlsContext_ != nullptr; }
  std::string tlsAddress() const { return tlsListener_.address(); }
  std::uint16_t tlsPort() const { return tlsListener_.port(); }
  bool tlsLoopback() const { return tlsListener_.loopback(); }
  std::size_t connections() const { return connections_.size(); }
  Service& service() { return service_; }

 private:
  // One line saying which send path runs, and why when not the batched one.
  void LogSendPath();

  kez::posix::EventLoop& loop_;
  Directory& directory_;
  ServerOptions options_;
  Log log_;
  Committer committer_;
  Service service_;
  Connections connections_;
  Listener listener_;
  std::unique_ptr<TlsContext> tlsContext_;
  Listener tlsListener_;
  PasswordWorker* worker_ = nullptr;
  AccountStore* store_ = nullptr;
  kez::posix::EventLoop::Id workerWatch_ = 0;
  kez::posix::EventLoop::Id keepAliveTimer_ = 0;
  kez::posix::EventLoop::Id tickTimer_ = 0;
  metrics::Clock::time_point started_ = metrics::Clock::now();
  std::unique_ptr<ControlRequests> requests_;
  std::unique_ptr<ControlSocket> control_;
  std::unique_ptr<MetricsEndpoint> metrics_;
};

}  // namespace reposa::server
