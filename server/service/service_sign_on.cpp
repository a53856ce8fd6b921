// Signing on: the open server's names, and on a registered server the
// password check, made on the worker in its turn after the wait earlier
// failures earned, for names that are accounts and names that are not
// alike.

#include "service/service.h"

#include "metrics/metrics.h"
#include "service/messages.h"
#include "service/names.h"
#include "service/password_hash.h"

namespace reposa::server {

void Service::LogRefusal(SessionId session, std::string_view typedName, bool known) {
  metrics::Count(metrics::Counter::refusedSignOn);
  // Only the name of an existing account is quoted: anything else could be
  // a password typed into the wrong box, or bytes meant to garble the log.
  log_("sign-on refused for " +
       (known ? "\"" + std::string(TrimSpaces(typedName)) + "\""
              : std::string("an unknown or malformed screen name")) +
       " (session " + std::to_string(session) + ")");
}

SignOnResult Service::SignOn(SessionId session, std::string_view typedName,
                             std::string_view password, const Source& source,
                             std::size_t maxPayload) {
  refusalDelay_ = std::chrono::milliseconds(0);
  if (!directory_.open()) return SignOnRegistered(session, typedName, password, source, maxPayload);
  Account* account = IsValidScreenName(typedName, limits_) ? directory_.Lookup(typedName) : nullptr;
  if (!account) {
    LogRefusal(session, typedName, false);
    refusalDelay_ = limits_.refusalDelay;
    return kSignOnRefused;
  }
  Admit(session, *account, source, maxPayload);
  return kSignOnAccepted;
}

SignOnResult Service::SignOnRegistered(SessionId session, std::string_view typedName,
                                       std::string_view password, const Source& source,
                                       std::size_t maxPayload) {
  const bool wellFormed = IsValidScreenName(typedName, limits_);
  // Malformed names share one key: none of them can be an account.
  const std::string name = wellFormed ? NormalizeName(typedName) : std::string(":");
  const Account* account = wellFormed ? directory_.Find(name) : nullptr;
  if (account && !account->passwordHash) account = nullptr;
  PasswordPenalties::Keys keys = PasswordPenalties::For(name, source.address, source.network);
  const std::optional<std::chrono::milliseconds> wait = penalties_.Reserve(keys);
  if (!wait) {
    metrics::Count(metrics::Counter::refusedTooSoon);
    log_("sign-on too soon after failed checks (session " + std::to_string(session) + ")");
    return kSignOnTooSoon;
  }
  if (!worker_) {  // on the spot: the wait comes after the check
    const bool right = account && VerifyPassword(*account->passwordHash, password);
    penalties_.Judged(keys, right);
    Account* admitted = right ? directory_.Lookup(typedName) : nullptr;
    if (!admitted) {
      LogRefusal(session, typedName, account != nullptr);
      refusalDelay_ = std::max(*wait, limits_.refusalDelay);
      return kSignOnRefused;
    }
    Admit(session, *admitted, source, maxPayload);
    return kSignOnAccepted;
  }
  // A name that is no account costs a check all the same, against a hash
  // of no one's password, so the answer's timing says nothing.
  PasswordWorker::Job job{
      account ? *account->passwordHash : std::string(), std::string(password), {}, true, !account};
  std::weak_ptr<bool> alive = alive_;
  const PasswordWorker::Ticket ticket = worker_->Submit(
      std::move(job),
      [this, alive, session](const PasswordWorker::Result& result) {
        if (!alive.expired()) SignOnChecked(session, result);
      },
      source.address, source.network, PasswordWorker::Clock::now() + *wait);
  if (!ticket) {
    penalties_.Withdrawn(keys);
    metrics::Count(metrics::Counter::refusedCheckQueueFull);
    log_("sign-on refused: too many password checks waiting (session " + std::to_string(session) +
         ")");
    return kSignOnTooSoon;
  }
  awaiting_[session] = Awaiting{ticket,
                                std::move(keys),
                                account ? account->name : "",
                                account ? *account->passwordHash : "",
                                std::string(typedName),
                                source,
                                maxPayload};
  return kSignOnPending;
}

void Service::SignOnChecked(SessionId session, const PasswordWorker::Result& result) {
  auto it = awaiting_.find(session);
  if (it == awaiting_.end()) return;
  Awaiting waited = std::move(it->second);
  awaiting_.erase(it);
  const bool right = result.matches && !waited.name.empty();
  penalties_.Judged(waited.keys, right);
  // Gone meanwhile: the verdict only lets go of what its sign-on held.
  if (waited.gone) return outbox_.SignOnVerdict(session, false);
  Account* account = right ? directory_.Lookup(waited.name) : nullptr;
  // The account may have been removed, or given another password, while its
  // old one was checked.
  if (account && account->passwordHash != waited.hash) account = nullptr;
  if (!account) {
    LogRefusal(session, waited.typed, !waited.name.empty());
    return outbox_.SignOnVerdict(session, false);
  }
  if (!result.newHash.empty()) {
    // Made with weaker parameters than today's: stored anew at their cost.
    account->passwordHash = result.newHash;
    if (changes_) {
      account->stored = account->unsaved = true;
      changes_->Changed(*account, true);
    }
    log_("password hash of " + account->display + " made again at the current cost");
  }
  Admit(session, *account, waited.source, waited.maxPayload);
  outbox_.SignOnVerdict(session, true);
}

bool Service::Abandon(SessionId session) {
  auto it = awaiting_.find(session);
  if (it == awaiting_.end()) return false;
  if (it->second.gone) return true;
  if (worker_ && worker_->Cancel(it->second.ticket)) {
    penalties_.Withdrawn(it->second.keys);
    awaiting_.erase(it);
    return false;
  }
  it->second.gone = true;
  return true;
}

std::chrono::milliseconds Service::TakeRefusalDelay() {
  return std::exchange(refusalDelay_, std::chrono::milliseconds(0));
}

void Service::Admit(SessionId session, Account& account, const Source& source,
                    std::size_t maxPayload) {
  if (auto replaced = presence_.Attach(session, account)) {
    rooms_.LeaveAll(*replaced);
    outbox_.EndSession(*replaced);
    log_(account.display + " signed on again; session " + std::to_string(*replaced) + " ended");
  }
  presence_.BySession(session)->source = source;
  directory_.SignedOn(account);
  log_(account.display + " signed on (session " + std::to_string(session) + ")");
  account.lastSignOn = now_();
  if (changes_) changes_->SignedOn(account);
  outbox_.Deliver(session, msg::SignOn());
  outbox_.Deliver(session, msg::Nick(account.display));
  for (const std::string& m : Config2Messages(account.lists.ConfigText(), maxPayload))
    outbox_.Deliver(session, m);
}

}  // namespace reposa::server
