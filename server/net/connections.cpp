#include "net/connections.h"

#include "metrics/metrics.h"

#include <utility>

namespace reposa::server {

using kez::posix::EventLoop;

Connections::Connections(EventLoop& loop, Service& service, const Limits& limits, bool batch,
                         Log log)
    : loop_(loop),
      service_(service),
      limits_(limits),
      log_(std::move(log)),
      admission_(limits),
      turns_(
          loop, [this](SessionId id) { return Find(id); }, limits, batch),
      scratch_(limits.readChunk) {}

Connections::~Connections() {
  *alive_ = false;
  if (sweepTimer_) loop_.CancelTimer(sweepTimer_);
  connections_.clear();
}

Connection* Connections::Find(SessionId id) {
  auto it = connections_.find(id);
  return it == connections_.end() || it->second->dead() ? nullptr : it->second.get();
}

void Connections::Add(std::unique_ptr<Stream> stream, std::string address) {
  if (const char* refusal = admission_.Admit(address, connections_.size())) {
    log_(std::string("refused a connection: too many ") + refusal);
    return;  // the stream closes its socket
  }
  const SessionId id = nextId_++;
  auto c = std::make_unique<Connection>(static_cast<ConnectionOwner&>(*this), loop_, limits_, id,
                                        std::move(stream), std::move(address), service_, log_);
  Connection& added = *c;
  connections_.emplace(id, std::move(c));
  ArmSweep();
  added.Watch([this, id](short revents) {
    if (Connection* c = Find(id)) c->OnReady(revents, scratch_);
  });
}

void Connections::KeepAlive() {
  for (auto& [id, c] : connections_)
    if (!c->dead()) c->session().SendKeepAlive();
  Sweep();
}

void Connections::Sweep() {
  const auto now = EventLoop::Clock::now();
  std::vector<std::pair<Connection*, std::string>> expired;
  bool waiting = false;  // a connection with a deadline the sweeps watch
  for (auto& [id, c] : connections_) {
    if (std::optional<std::string> why = c->Expired(now)) {
      expired.emplace_back(c.get(), *why);
    } else if (!c->dead() && (c->closing() || !c->session().signedOn())) {
      waiting = true;
    }
  }
  for (auto& [c, why] : expired) Drop(*c, why);
  if (!waiting && sweepTimer_) {
    loop_.CancelTimer(sweepTimer_);
    sweepTimer_ = 0;
  }
}

void Connections::ArmSweep() {
  if (sweepTimer_ || sweepEvery_.count() <= 0) return;
  sweepTimer_ = loop_.AddTimer(sweepEvery_, [this] { Sweep(); });
}

Connections::Counts Connections::counts() const {
  Counts n;
  for (const auto& [id, c] : connections_) {
    if (c->dead()) continue;
    if (c->closing()) {
      ++n.closing;
    } else if (c->session().signedOn()) {
      ++n.signedOn;
    } else {
      ++n.signingOn;
    }
  }
  return n;
}

void Connections::Queued(Connection& c, std::size_t bytes) {
  totalQueued_ += bytes;
  turns_.Dirty(c);
  if (c.queued() > limits_.maxPendingOutput) {
    metrics::Count(metrics::Counter::dropNotReading);
    return Drop(c, "dropped: the client is not reading");
  }
  KeepWithinBudget();
}

void Connections::KeepWithinBudget() {
  while (totalQueued_ > limits_.maxTotalOutput) {
    Connection* largest = nullptr;
    for (auto& [id, other] : connections_)
      if (!other->dead() && (!largest || other->queued() > largest->queued()))
        largest = other.get();
    if (!largest) break;
    metrics::Count(metrics::Counter::dropOverBudget);
    Drop(*largest, "dropped: the largest backlog (" + std::to_string(largest->queued()) +
                       " bytes) while queued output passed its budget");
  }
}

void Connections::ReleaseAfter(Connection& c, std::chrono::milliseconds delay) {
  std::weak_ptr<bool> alive = alive_;
  const SessionId id = c.id();
  loop_.AddTimer(
      delay,
      [this, alive, id] {
        if (alive.expired()) return;
        if (Connection* held = Find(id)) {
          held->Release();
          turns_.Dirty(*held);
        }
      },
      false);
}

void Connections::SignedOn(Connection& c) {
  if (!c.LeaveSigningOn()) return;
  admission_.SignedOn(c.address());
  metrics::Observe(metrics::Timing::SignOn, EventLoop::Clock::now() - c.opened());
}

void Connections::Drop(Connection& c, std::string_view why) {
  if (c.dead()) return;
  if (!why.empty()) log_("session " + std::to_string(c.id()) + " " + std::string(why));
  totalQueued_ -= c.Kill();
  const bool signingOn = c.LeaveSigningOn();
  // A check of its password that has not started is taken back; one that
  // runs keeps the slot taken until it is done, so leaving early makes no
  // room for more checks.
  const bool held = signingOn && service_.Abandon(c.id());
  if (held) heldSlots_.emplace(c.id(), c.address());
  admission_.Gone(c.address(), signingOn && !held);
  // The connection may be on the stack below us, and the service may be
  // walking its lists: forget both on the next turn.
  std::weak_ptr<bool> alive = alive_;
  const SessionId id = c.id();
  loop_.Post([this, alive, id] {
    if (alive.expired()) return;
    connections_.erase(id);
    service_.Ended(id);
  });
}

void Connections::Deliver(SessionId to, std::string_view message) {
  if (Connection* c = Find(to)) c->session().SendMessage(message);
}

void Connections::SignOnVerdict(SessionId id, bool accepted) {
  if (auto held = heldSlots_.find(id); held != heldSlots_.end()) {
    admission_.SignedOn(held->second);
    heldSlots_.erase(held);
    return;
  }
  Connection* c = Find(id);
  if (!c) return;
  c->session().Verdict(accepted);
  if (c->dead() || !c->session().signedOn()) return;
  SignedOn(*c);
  c->Handle({});  // what came while the password was checked, a turn's worth
}

void Connections::EndSession(SessionId id, std::string_view why) {
  if (Connection* c = Find(id)) c->session().End(why);
}

void Connections::AwaitDrain(SessionId to) {
  Connection* c = Find(to);
  if (!c) return;
  if (c->queued() > 0) {
    c->awaitingDrain = true;
  } else {
    Drained(*c);
  }
}

// Told on the next turn: the connection may be settling its send below us.
void Connections::Drained(Connection& c) {
  std::weak_ptr<bool> alive = alive_;
  const SessionId id = c.id();
  loop_.Post([this, alive, id] {
    if (!alive.expired() && Find(id)) service_.Drained(id);
  });
}

}  // namespace reposa::server
