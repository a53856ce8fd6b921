#pragma once

// The net room: the listener, the connections and what bounds them. This is
// the connection table: it admits connections within their caps, reads and
// writes them in fair turns, keeps the output of all of them within one
// budget, closes those past a deadline, and is where the service's answers
// are delivered. Bytes cross the wire through a Stream, so an encrypted
// stream fits in beside the plain one.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kez/posix/EventLoop.h"
#include "net/admission.h"
#include "net/connection.h"
#include "net/turns.h"
#include "server_limits.h"
#include "service/outbox.h"
#include "service/service.h"

namespace reposa::server {

class Connections final : public Outbox, private ConnectionOwner {
 public:
  using Log = std::function<void(std::string_view)>;
  // `batch`: hand a turn's sends to the kernel in one batch where it allows.
  Connections(kez::posix::EventLoop& loop, Service& service, const Limits& limits, bool batch,
              Log log);
  ~Connections() override;
  Connections(const Connections&) = delete;
  Connections& operator=(const Connections&) = delete;

  // A new connection from `address`: admitted within the caps, else closed.
  void Add(std::unique_ptr<Stream> stream, std::string address);
  // A keep-alive frame to every signed-on session, then a sweep: a session
  // silent for too long is found at the keep-alive after its deadline.
  void KeepAlive();
  // Closes every connection past one of its deadlines. Sweeps run every
  // `every` while a connection is signing on or closing, and not at all
  // while none is, so an idle server is never woken.
  void Sweep();
  void SweepEvery(std::chrono::milliseconds every) { sweepEvery_ = every; }
  std::size_t size() const { return connections_.size(); }
  struct Counts {
    std::size_t signingOn = 0;
    std::size_t signedOn = 0;
    std::size_t closing = 0;
  };
  // The live connections by state; costs their number.
  Counts counts() const;
  std::size_t queuedBytes() const { return totalQueued_; }
  // Whether a turn's sends go to the kernel in one batch, and if not, why.
  bool batched() const { return turns_.batched(); }
  const std::string& whyNotBatched() const { return turns_.whyNotBatched(); }

  // Outbox: where the service's answers go.
  void Deliver(SessionId to, std::string_view message) override;
  void EndSession(SessionId id, std::string_view why) override;
  void SignOnVerdict(SessionId id, bool accepted) override;
  void AwaitDrain(SessionId to) override;

 private:
  // ConnectionOwner
  void Queued(Connection& c, std::size_t bytes) override;
  void Sent(std::size_t bytes) override { totalQueued_ -= bytes; }
  void Sealed(std::size_t bytes) override { totalQueued_ += bytes; }
  void Backlogged(Connection& c) override { turns_.Backlog(c); }
  void ReleaseAfter(Connection& c, std::chrono::milliseconds delay) override;
  void SignedOn(Connection& c) override;
  void Closing(Connection&) override { ArmSweep(); }
  void Drop(Connection& c, std::string_view why) override;
  void Drained(Connection& c) override;

  void ArmSweep();

  // The live connection with that number, or null.
  Connection* Find(SessionId id);
  // Over the budget of all clients together: the largest backlogs go first.
  void KeepWithinBudget();

  kez::posix::EventLoop& loop_;
  Service& service_;
  const Limits& limits_;
  Log log_;
  Admission admission_;
  std::map<SessionId, std::unique_ptr<Connection>> connections_;
  Turns turns_;
  // Connections gone while their password was checked, whose signing-on
  // slot stays taken until the verdict comes: id -> address.
  std::map<SessionId, std::string> heldSlots_;
  SessionId nextId_ = 1;
  std::size_t totalQueued_ = 0;
  std::vector<char> scratch_;  // one read at a time, into this
  std::chrono::milliseconds sweepEvery_{0};
  kez::posix::EventLoop::Id sweepTimer_ = 0;
  // Posted work checks this, so it is dropped once the table is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace reposa::server
