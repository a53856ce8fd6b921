#pragma once

// The listening socket: binds where it is told, accepts without blocking,
// a bounded number a turn, and hands each new connection on with its
// client's address. Out of descriptors, it rests a moment instead of
// spinning.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "kez/posix/EventLoop.h"
#include "net/stream.h"
#include "server_limits.h"

namespace reposa::server {

// A non-blocking TCP socket listening at `host:port` (port "0": any free
// one); throws std::runtime_error saying why it cannot.
int ListenTcp(const std::string& host, const std::string& port);
// "host:port" of a bound socket, IPv6 in brackets; empty when unknown.
std::string BoundAddress(int fd);

class Listener {
 public:
  using Log = std::function<void(std::string_view)>;
  // A new connection and its client's address without the port.
  using Accepted = std::function<void(std::unique_ptr<Stream>, std::string address)>;
  // The stream over an accepted socket, which it owns from then on.
  using Wrap = std::function<std::unique_ptr<Stream>(int fd)>;
  // `wrap` empty: plain streams.
  Listener(kez::posix::EventLoop& loop, const Limits& limits, Accepted accepted, Log log,
           Wrap wrap = {});
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and listens; throws std::runtime_error saying why it cannot.
  void Start(const std::string& host, const std::string& port);
  // The address listened on, "host:port" with the port actually bound.
  std::string address() const;
  std::uint16_t port() const;
  bool loopback() const;

 private:
  void Accept();
  void Pause();

  kez::posix::EventLoop& loop_;
  const Limits& limits_;
  Accepted accepted_;
  Log log_;
  Wrap wrap_;
  int fd_ = -1;
  kez::posix::EventLoop::Id watch_ = 0;
  kez::posix::EventLoop::Id resumeTimer_ = 0;
  // Posted work checks this, so it is dropped once the listener is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace reposa::server
