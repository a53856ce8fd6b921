#pragma once

// Writes the service's changes to the store and holds back the answers that
// acknowledge them: from the first change of a loop turn, everything the
// service sends waits; at the end of the turn the turn's changes go to the
// store in one transaction, and only then are the held answers let go. When
// the store refuses, each changed account goes back to what the store holds,
// each message that was to be kept is not, and each command's
// acknowledgements give way to one error. The removal of handed-over
// messages is tried again with the next write.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/change_log.h"
#include "service/directory.h"
#include "service/outbox.h"
#include "store/account_store.h"
#include "store/held_outbox.h"

namespace reposa::server {

class Committer final : public ChangeLog {
 public:
  using Log = std::function<void(std::string_view)>;
  // Runs a function once the current turn's work is done.
  using Post = std::function<void(std::function<void()>)>;
  Committer(Outbox& out, Post post, const Limits& limits, Log log);
  ~Committer() override;
  Committer(const Committer&) = delete;
  Committer& operator=(const Committer&) = delete;

  // Where the service sends: straight on while nothing waits to be stored.
  Outbox& outbox() { return held_; }
  // Keeps changes in `store` (null: only in memory). `reverted` hears of an
  // account put back as the store holds it after a failed write, `unkept`
  // of each message that could not be kept.
  void Use(AccountStore* store, std::function<void(Account&)> reverted,
           std::function<void(Account&, std::int64_t id)> unkept = {});
  void Changed(Account& account, bool password) override;
  void Edited(Account& account, ListEdit edit) override;
  void SignedOn(const Account& account) override;
  void Kept(Account& account, const KeptMessage& message) override;
  void HandedOver(Account& account, std::int64_t through) override;
  // The account is about to leave the directory (its row and kept messages
  // are already gone from the store): nothing of it waits here any more.
  void Removed(Account& account);
  // Commits what waits now; also run when the server stops, and before a
  // change made from outside the service is written.
  void Finish();

 private:
  void Schedule();
  // Commits `changes`; false (logged once) when the store refused.
  bool Commit(const std::vector<StoredChange>& changes);
  void Revert(Account& account);
  // What changed of each account this turn.
  struct Pending {
    bool password = false;
    std::vector<ListEdit> edits;
  };
  // Holds the output from now until the turn's changes are stored.
  void HoldTurn();
  // The turn's changes in the order they must be applied.
  std::vector<StoredChange> TurnChanges(std::map<Account*, Pending>& accounts) const;

  HeldOutbox held_;
  Post post_;
  const Limits& limits_;
  Log log_;
  AccountStore* store_ = nullptr;
  std::function<void(Account&)> reverted_;
  std::function<void(Account&, std::int64_t)> unkept_;
  std::map<Account*, Pending> pending_;
  std::vector<std::pair<Account*, StoredMessage>> kept_;  // this turn's, in order
  std::map<Account*, std::int64_t> handed_;  // handed over up to this id, not yet stored
  // Sign-on times not yet stored, by account name: a name, not the account,
  // so an account removed meanwhile leaves nothing dangling.
  std::map<std::string, StoredAccount> signOns_;
  bool scheduled_ = false;
  bool failing_ = false;  // logged once until a write succeeds again
  // Posted work checks this, so it is dropped once the committer is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace reposa::server
