#include "store/committer.h"

#include <vector>

#include "metrics/metrics.h"
#include "service/messages.h"
#include "store/account_rows.h"

namespace reposa::server {

Committer::Committer(Outbox& out, Post post, const Limits& limits, Log log)
    : held_(out), post_(std::move(post)), limits_(limits), log_(std::move(log)) {}

Committer::~Committer() {
  *alive_ = false;
}

void Committer::Use(AccountStore* store, std::function<void(Account&)> reverted) {
  store_ = store;
  reverted_ = std::move(reverted);
}

void Committer::Changed(Account& account, bool password) {
  pending_[&account] |= password;
  if (!held_.holding()) held_.Hold();
  Schedule();
}

void Committer::SignedOn(const Account& account) {
  signOns_[account.name] = StoredAccount{account.name, account.display, {}, {}, account.lastSignOn};
  Schedule();
}

void Committer::Schedule() {
  if (scheduled_) return;
  scheduled_ = true;
  std::weak_ptr<bool> alive = alive_;
  post_([this, alive] {
    if (alive.expired()) return;
    scheduled_ = false;
    Finish();
  });
}

void Committer::Finish() {
  if (!store_ || (!held_.holding() && signOns_.empty())) return;
  std::map<Account*, bool> pending;
  pending.swap(pending_);
  std::vector<StoredChange> changes;
  changes.reserve(pending.size() + signOns_.size());
  for (const auto& [account, password] : pending)
    changes.push_back(
        {password ? StoredChange::Kind::Whole : StoredChange::Kind::Lists, ToRow(*account)});
  for (auto& [name, row] : signOns_)
    changes.push_back({StoredChange::Kind::SignOn, std::move(row)});
  signOns_.clear();
  const bool stored = Commit(changes);
  if (!stored) {
    for (const auto& [account, password] : pending) {
      Revert(*account);
      if (reverted_) reverted_(*account);
    }
  }
  if (held_.holding()) held_.Release(stored, msg::Error(msg::kNotStored));
}

bool Committer::Commit(const std::vector<StoredChange>& changes) {
  const auto started = metrics::Clock::now();
  const bool stored = store_->Apply(changes);
  metrics::Observe(metrics::Timing::StoreCommit, metrics::Clock::now() - started);
  metrics::Count(stored ? metrics::Counter::storeCommit : metrics::Counter::storeFailure);
  if (!stored) {
    if (!failing_)
      log_("cannot store changes in " + store_->where() + ": " + store_->lastError() +
           "; they are answered with an error, and each later change tries again");
    failing_ = true;
  } else if (failing_) {
    failing_ = false;
    log_("changes are stored in " + store_->where() + " again");
  }
  return stored;
}

// Back to what the store holds, so memory never claims more than it.
void Committer::Revert(Account& account) {
  try {
    Restore(account, store_->Load(account.name), limits_);
  } catch (const StoreError&) {
    // Unreadable too: memory keeps the change, and the next write retries it.
  }
}

}  // namespace reposa::server
