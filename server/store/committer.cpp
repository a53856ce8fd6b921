#include "store/committer.h"

#include <vector>

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
  pending_[&account].password |= password;
  Hold();
}

void Committer::Edited(Account& account, ListEdit edit) {
  pending_[&account].edits.push_back(std::move(edit));
  Hold();
}

void Committer::Hold() {
  if (held_.holding()) return;
  held_.Hold();
  std::weak_ptr<bool> alive = alive_;
  post_([this, alive] {
    if (!alive.expired()) Finish();
  });
}

void Committer::Finish() {
  if (!held_.holding() || !store_) return;
  std::map<Account*, Pending> pending;
  pending.swap(pending_);
  std::vector<StoredChange> changes;
  changes.reserve(pending.size());
  // Each account's row as it is now, and only the list rows that changed.
  for (auto& [account, change] : pending)
    changes.push_back({StoredChange::Kind::Edits,
                       StoredAccount{account->name, account->display, account->passwordHash, {}},
                       std::move(change.edits), change.password});
  const bool stored = store_->Apply(changes);
  for (auto& [account, change] : pending) account->unsaved = false;
  if (!stored) {
    if (!failing_)
      log_("cannot store changes in " + store_->where() + ": " + store_->lastError() +
           "; they are answered with an error, and each later change tries again");
    failing_ = true;
    for (const auto& [account, change] : pending) {
      Revert(*account);
      if (reverted_) reverted_(*account);
    }
  } else if (failing_) {
    failing_ = false;
    log_("changes are stored in " + store_->where() + " again");
  }
  held_.Release(stored, msg::Error(msg::kNotStored));
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
