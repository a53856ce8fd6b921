#include "net/turns.h"

#include "metrics/metrics.h"

namespace reposa::server {

Turns::Turns(kez::posix::EventLoop& loop, Find find, const Limits& limits, bool batch)
    : loop_(loop), find_(std::move(find)), sender_(batch, limits) {}

Turns::~Turns() {
  *alive_ = false;
}

void Turns::Dirty(Connection& c) {
  if (c.dirty) return;
  c.dirty = true;
  dirty_.push_back(c.id());
  Schedule();
}

void Turns::Backlog(Connection& c) {
  backlog_.push_back(c.id());
  Schedule();
}

void Turns::Schedule() {
  if (posted_) return;
  posted_ = true;
  std::weak_ptr<bool> alive = alive_;
  loop_.Post([this, alive] {
    if (alive.expired()) return;
    posted_ = false;
    Run();
  });
}

void Turns::Run() {
  std::vector<SessionId> waiting;
  waiting.swap(backlog_);
  for (SessionId id : waiting)
    if (Connection* c = find_(id)) c->Handle({});
  std::vector<SessionId> dirty;
  dirty.swap(dirty_);
  std::vector<Connection*> writing;
  writing.reserve(dirty.size());
  for (SessionId id : dirty) {
    Connection* c = find_(id);
    if (!c) continue;
    c->dirty = false;
    c->SealGathered();
    if (c->ReadyToWrite()) writing.push_back(c);
  }
  // One system call for the turn's sends where the kernel allows; what
  // they leave is settled here, in order.
  jobs_.clear();
  for (Connection* c : writing) jobs_.push_back(c->Job());
  sender_.Run(jobs_);
  for (std::size_t i = 0; i < writing.size(); ++i) writing[i]->Settle(jobs_[i]);
  metrics::ImsSent(loop_.woke());
}

}  // namespace reposa::server
