#pragma once

// The connections' turns on the loop: frames left over from the last turn
// are handled first, then every connection with output that may go gets one
// send, all of a turn's sends in one batch where the kernel allows.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kez/posix/EventLoop.h"
#include "net/batch_sender.h"
#include "net/connection.h"
#include "server_limits.h"

namespace reposa::server {

class Turns {
 public:
  // The live connection with that number, or null.
  using Find = std::function<Connection*(SessionId)>;
  Turns(kez::posix::EventLoop& loop, Find find, const Limits& limits, bool batch);
  ~Turns();
  Turns(const Turns&) = delete;
  Turns& operator=(const Turns&) = delete;

  // The connection has output: it gets a send on the next turn.
  void Dirty(Connection& c);
  // Complete frames wait: they are handled on the next turn.
  void Backlog(Connection& c);
  bool batched() const { return sender_.batched(); }
  const std::string& whyNotBatched() const { return sender_.why(); }

 private:
  void Schedule();
  void Run();

  kez::posix::EventLoop& loop_;
  Find find_;
  std::vector<SessionId> dirty_;    // with output gathered this turn
  std::vector<SessionId> backlog_;  // with frames left for the next turn
  bool posted_ = false;
  BatchSender sender_;
  std::vector<SendJob> jobs_;  // reused from turn to turn
  // Posted work checks this, so it is dropped once the turns are gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace reposa::server
