#pragma once

// The listening socket and the connections, on one poll() loop: accepts,
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

#include "directory.h"
#include "kez/posix/EventLoop.h"
#include "outbox.h"
#include "service.h"

namespace reposa::server {

struct ServerOptions {
  std::string host = "127.0.0.1";
  std::string port = "5190";                   // "0": any free port
  std::chrono::milliseconds keepAlive{60000};  // 0: none sent
  // A connection that has not signed on by then is closed.
  std::chrono::milliseconds signOnTimeout{30000};
  // How long a closing connection waits for the client to close its side.
  std::chrono::milliseconds linger{2000};
  // A client that lets more than this pile up unread is dropped.
  std::size_t maxPendingOutput = 4 * 1024 * 1024;
  std::size_t maxConnections = 1000;
};

class Server final : private Outbox {
 public:
  using Log = std::function<void(std::string_view)>;
  Server(kez::posix::EventLoop& loop, Directory& directory, ServerOptions options, Log log = {},
         Presence::Clock now = {});
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

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
  void Deliver(SessionId to, std::string_view message) override;
  void EndSession(SessionId id) override;
  void Accept();
  void PauseAccepting();
  void KeepAlive();
  void Drop(Connection& c, std::string_view why);

  kez::posix::EventLoop& loop_;
  ServerOptions options_;
  Log log_;
  Service service_;
  int listenFd_ = -1;
  kez::posix::EventLoop::Id listenWatch_ = 0;
  kez::posix::EventLoop::Id keepAliveTimer_ = 0;
  kez::posix::EventLoop::Id resumeTimer_ = 0;
  SessionId nextId_ = 1;
  std::map<SessionId, std::unique_ptr<Connection>> connections_;
  // Posted work checks this, so it is dropped once the server is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace reposa::server
