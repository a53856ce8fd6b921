#include "store/committer.h"

#include <algorithm>
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

void Committer::Use(AccountStore* store, std::function<void(Account&)> reverted,
                    std::function<void(Account&, std::int64_t)> unkept) {
  store_ = store;
  reverted_ = std::move(reverted);
  unkept_ = std::move(unkept);
}

void Committer::Changed(Account& account, bool password) {
  pending_[&account].password |= password;
  HoldTurn();
}

void Committer::Edited(Account& account, ListEdit edit) {
  pending_[&account].edits.push_back(std::move(edit));
  HoldTurn();
}

void Committer::SignedOn(const Account& account) {
  signOns_[account.name] = StoredAccount{account.name, account.display, {}, {}, account.lastSignOn};
  Schedule();
}

void Committer::Kept(Account& account, const KeptMessage& message) {
  kept_.emplace_back(&account, ToStored(message));
  HoldTurn();
}

void Committer::HandedOver(Account& account, std::int64_t through) {
  std::int64_t& upTo = handed_[&account];
  upTo = std::max(upTo, through);
  HoldTurn();
}

void Committer::Removed(Account& account) {
  Account* const gone = &account;
  pending_.erase(gone);
  handed_.erase(gone);
  std::erase_if(kept_, [gone](const auto& k) { return k.first == gone; });
  signOns_.erase(account.name);
}

void Committer::HoldTurn() {
  if (!held_.holding()) held_.Hold();
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

// Accounts first (each one's row as it is now, and only the list rows that
// changed), then the messages kept, then those handed over, then the sign-on
// times: a message kept and handed over in the same turn is gone when the
// turn is stored.
std::vector<StoredChange> Committer::TurnChanges(std::map<Account*, Pending>& accounts) const {
  std::vector<StoredChange> changes;
  changes.reserve(accounts.size() + kept_.size() + handed_.size() + signOns_.size());
  for (auto& [account, change] : accounts)
    changes.push_back(
        {.kind = StoredChange::Kind::Edits,
         .row = StoredAccount{account->name, account->display, account->passwordHash, {}},
         .edits = std::move(change.edits),
         .password = change.password});
  for (const auto& [account, message] : kept_)
    changes.push_back({.kind = StoredChange::Kind::Keep,
                       .row = StoredAccount{account->name, {}, {}, {}},
                       .message = message});
  for (const auto& [account, through] : handed_) {
    StoredMessage upTo;
    upTo.id = through;
    changes.push_back({.kind = StoredChange::Kind::Forget,
                       .row = StoredAccount{account->name, {}, {}, {}},
                       .message = upTo});
  }
  for (const auto& [name, row] : signOns_)
    changes.push_back({.kind = StoredChange::Kind::SignOn, .row = row});
  return changes;
}

void Committer::Finish() {
  // Handed-over messages whose removal failed are tried again at the end;
  // sign-on times go with the next commit, acknowledging nothing.
  if (!store_ || (!held_.holding() && handed_.empty() && signOns_.empty())) return;
  std::map<Account*, Pending> pending;
  pending.swap(pending_);
  const bool stored = Commit(TurnChanges(pending));
  signOns_.clear();
  for (auto& [account, change] : pending) account->unsaved = false;
  std::vector<std::pair<Account*, StoredMessage>> kept;
  kept.swap(kept_);
  if (stored) handed_.clear();
  if (!stored) {
    for (const auto& [account, change] : pending) {
      Revert(*account);
      if (reverted_) reverted_(*account);
    }
    for (const auto& [account, message] : kept)
      if (unkept_) unkept_(*account, message.id);
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
