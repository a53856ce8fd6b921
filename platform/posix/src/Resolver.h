#pragma once

#include <sys/socket.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kez/posix/EventLoop.h"

namespace kez::posix {

struct Address {
  sockaddr_storage storage;
  socklen_t length;
};

// One name lookup on a helper thread, so a slow name server never stalls the
// loop. Destroying the lookup cancels it: `done` then never runs, and the
// thread finishes on its own and frees what it shares with us.
class Lookup {
 public:
  // `error` is a getaddrinfo code (0: found). Runs on the loop's thread and
  // may destroy the Lookup.
  using Done = std::function<void(int error, std::vector<Address> found)>;

  Lookup(EventLoop& loop, const std::string& host, const std::string& port, Done done);
  ~Lookup();
  Lookup(const Lookup&) = delete;
  Lookup& operator=(const Lookup&) = delete;

  // Lookups in flight at once, process-wide; past this, Lookup reports
  // EAI_AGAIN at once instead of starting another thread.
  static constexpr int kMaxInFlight = 16;

 private:
  struct Shared;
  void OnWake();

  EventLoop& loop_;
  Done done_;
  std::shared_ptr<Shared> shared_;
  EventLoop::Id watch_ = 0;
};

}  // namespace kez::posix
