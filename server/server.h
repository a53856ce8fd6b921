#pragma once

// The listening socket and the connections, on one event loop: accepts,
// reads and writes without ever blocking, so one slow or hostile client
// never holds up the others.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kez/posix/EventLoop.h"
#include "net/batch_sender.h"
#include "server_options.h"
#include "service/directory.h"
#include "service/outbox.h"
#include "service/password_hash.h"
#include "service/service.h"
#include "store/account_store.h"
#include "store/committer.h"

namespace reposa::server {

class Server final : private Outbox {
 public:
  using Log = std::function<void(std::string_view)>;
  Server(kez::posix::EventLoop& loop, Directory& directory, ServerOptions options, Log log = {},
         Presence::Clock now = {});
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Keeps what accounts store in `store` (each loop turn's changes in one
  // transaction, committed before the answers leave) and checks passwords on
  // `worker`. Either may be null. Call before Start().
  void UseStore(AccountStore* store, PasswordWorker* worker);
  // Binds and listens; throws std::runtime_error saying why it cannot.
  void Start();
  // The address listened on, "host:port" with the port actually bound.
  std::string address() const;
  std::uint16_t port() const;
  bool loopback() const;
  std::size_t connections() const { return connections_.size(); }
  Service& service() { return service_; }

 private:
  struct Connection;
  struct AddressCount {
    std::size_t all = 0;
    std::size_t signingOn = 0;
  };
  void Deliver(SessionId to, std::string_view message) override;
  void EndSession(SessionId id, std::string_view why) override;
  void SignOnVerdict(SessionId id, bool accepted) override;
  void Accept();
  void PauseAccepting();
  void KeepAlive();
  // Deadlines of every connection: sign-on, closing, idle.
  void Sweep();
  // Once a turn: input left over from the last turn, then every connection's
  // gathered output in one write each.
  void Turn();
  void ScheduleTurn();
  void Queued(Connection& c, std::size_t bytes);
  void DoneSigningOn(Connection& c);
  void Drop(Connection& c, std::string_view why);

  kez::posix::EventLoop& loop_;
  ServerOptions options_;
  Log log_;
  Committer committer_;
  Service service_;
  PasswordWorker* worker_ = nullptr;
  kez::posix::EventLoop::Id workerWatch_ = 0;
  int listenFd_ = -1;
  kez::posix::EventLoop::Id listenWatch_ = 0;
  kez::posix::EventLoop::Id keepAliveTimer_ = 0;
  kez::posix::EventLoop::Id sweepTimer_ = 0;
  kez::posix::EventLoop::Id resumeTimer_ = 0;
  SessionId nextId_ = 1;
  std::map<SessionId, std::unique_ptr<Connection>> connections_;
  std::unordered_map<std::string, AddressCount> addresses_;
  std::size_t signingOn_ = 0;
  std::size_t totalQueued_ = 0;
  std::vector<SessionId> dirty_;    // with output gathered this turn
  std::vector<SessionId> backlog_;  // with frames left for the next turn
  bool turnPosted_ = false;
  BatchSender sender_;
  std::vector<SendJob> sendJobs_;  // reused from turn to turn
  // Posted work checks this, so it is dropped once the server is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace reposa::server
