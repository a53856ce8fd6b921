#include "service/service.h"

#include "metrics/metrics.h"
#include "service/messages.h"
#include "service/names.h"

namespace reposa::server {

// One row per command word: how many arguments it takes and who answers it.
const Service::CommandRow Service::kCommands[] = {
    {"toc_init_done", 0, 0, &Service::InitDone},
    {"toc_chat_join", 2, 2, &Service::ChatJoin},
    {"toc_chat_leave", 1, 1, &Service::ChatLeave},
    {"toc_chat_send", 2, 2, &Service::ChatSend},
    {"toc_chat_invite", 3, SIZE_MAX, &Service::ChatInvite},
    {"toc_chat_accept", 1, 1, &Service::ChatAccept},
    {"toc_send_im", 2, 3, &Service::SendIm},
    {"toc_get_info", 1, 1, &Service::GetInfo},
    {"toc_set_info", 1, 1, &Service::SetInfo},
    {"toc_set_away", 0, 1, &Service::SetAway},
    {"toc_get_status", 1, 1, &Service::GetStatus},
    {"toc_set_idle", 1, 1, &Service::SetIdle},
    {"toc_evil", 2, 2, &Service::Evil},
    {"toc_change_passwd", 2, 2, &Service::ChangePassword},
    {"toc_format_nickname", 1, 1, &Service::FormatNickname},
    {"toc_set_caps", 0, SIZE_MAX, &Service::SetCaps},
    {"toc2_new_buddies", 1, 1, &Service::NewBuddies},
    {"toc2_remove_buddy", 2, SIZE_MAX, &Service::RemoveBuddy},
    {"toc2_new_group", 1, 1, &Service::NewGroup},
    {"toc2_del_group", 1, 1, &Service::DelGroup},
    {"toc2_add_deny", 1, SIZE_MAX, &Service::AddDeny},
    {"toc2_remove_deny", 1, SIZE_MAX, &Service::RemoveDeny},
    {"toc2_add_permit", 1, SIZE_MAX, &Service::AddPermit},
    {"toc2_remove_permit", 1, SIZE_MAX, &Service::RemovePermit},
    {"toc2_set_pdmode", 1, 1, &Service::SetPdMode},
};

Service::Service(Directory& directory, Outbox& outbox, Presence::Clock now, const Limits& limits,
                 Log log)
    : limits_(limits),
      directory_(directory),
      outbox_(outbox),
      now_(now),
      log_(std::move(log)),
      presence_(outbox, now, limits_),
      rooms_(outbox, limits_),
      penalties_(now, limits_),
      keptBytes_(directory.keptBytes()),
      lastKeptId_(directory.lastKeptId()) {
  if (!log_) log_ = [](std::string_view) {};
}

void Service::UseStore(ChangeLog* changes, PasswordWorker* worker) {
  changes_ = changes;
  worker_ = worker;
}

SignOnResult Service::SignOn(SessionId session, std::string_view typedName,
                             std::string_view password, std::size_t maxPayload) {
  const bool wellFormed = IsValidScreenName(typedName, limits_);
  Account* account = wellFormed ? directory_.Lookup(typedName) : nullptr;
  auto refuse = [this, session, known = wellFormed && account,
                 name = std::string(TrimSpaces(typedName))] {
    metrics::Count(metrics::Counter::refusedSignOn);
    // Only the name of an existing account is quoted: anything else could be
    // a password typed into the wrong box, or bytes meant to garble the log.
    log_("sign-on refused for " +
         (known ? "\"" + name + "\"" : std::string("an unknown or malformed screen name")) +
         " (session " + std::to_string(session) + ")");
  };
  if (!account) {
    refuse();
    return kSignOnRefused;
  }
  if (account->passwordHash && !worker_) {
    if (!VerifyPassword(*account->passwordHash, password)) {
      refuse();
      return kSignOnRefused;
    }
  } else if (account->passwordHash) {
    // The check takes milliseconds on purpose: it runs on the worker, and
    // the session waits for its verdict without holding up the loop.
    awaiting_.insert(session);
    std::weak_ptr<bool> alive = alive_;
    worker_->Submit(PasswordWorker::Job{*account->passwordHash, std::string(password), {}},
                    [this, alive, session, name = account->name, hash = *account->passwordHash,
                     maxPayload, refuse](const PasswordWorker::Result& result) {
                      if (alive.expired() || !awaiting_.erase(session)) return;  // gone meanwhile
                      // The account may have been removed, or given another
                      // password, while its old one was checked.
                      Account* now = directory_.Find(name);
                      const bool matches = result.matches && now && now->passwordHash == hash;
                      if (matches) {
                        Admit(session, *now, maxPayload);
                      } else {
                        refuse();
                      }
                      outbox_.SignOnVerdict(session, matches);
                    });
    return kSignOnPending;
  }
  Admit(session, *account, maxPayload);
  return kSignOnAccepted;
}

void Service::Admit(SessionId session, Account& account, std::size_t maxPayload) {
  penalties_.Succeeded(account.name);
  if (auto replaced = presence_.Attach(session, account)) {
    rooms_.LeaveAll(*replaced);
    outbox_.EndSession(*replaced);
    log_(account.display + " signed on again; session " + std::to_string(*replaced) + " ended");
  }
  log_(account.display + " signed on (session " + std::to_string(session) + ")");
  account.lastSignOn = now_();
  if (changes_) changes_->SignedOn(account);
  outbox_.Deliver(session, msg::SignOn());
  outbox_.Deliver(session, msg::Nick(account.display));
  for (const std::string& m : Config2Messages(account.lists.ConfigText(), maxPayload))
    outbox_.Deliver(session, m);
}

void Service::Reverted(const Account& account) {
  for (OnlineUser* user : presence_.All())
    if (user->account == &account) presence_.ListsChanged(user->session);
}

void Service::Stored(OnlineUser& me, std::string_view ack, bool password) {
  if (changes_) changes_->Changed(*me.account, password);
  outbox_.Acknowledge(me.session, command_, ack);
}

std::chrono::milliseconds Service::RefusalDelay(std::string_view typedName) {
  if (IsValidScreenName(typedName, limits_)) {
    const std::string name = NormalizeName(typedName);
    if (directory_.Find(name)) return penalties_.Failed(name);
  }
  return limits_.refusalDelay;  // as for a first failure: unknown names look no different
}

void Service::Ended(SessionId session) {
  awaiting_.erase(session);
  rooms_.LeaveAll(session);
  if (OnlineUser* user = presence_.BySession(session))
    log_(user->display() + " signed off (session " + std::to_string(session) + ")");
  presence_.Detach(session);
}

void Service::Command(SessionId session, const CommandLine& line) {
  OnlineUser* me = presence_.BySession(session);
  if (!me) return;  // replaced by a newer sign-on; its connection is closing
  ++command_;
  for (const CommandRow& row : kCommands) {
    if (row.word != line.word) continue;
    if (line.args.size() < row.minArgs || line.args.size() > row.maxArgs ||
        line.args.size() > limits_.maxArguments)
      break;
    metrics::Command(row.word);
    (this->*row.handler)(*me, line.args);
    return;
  }
  BadInput(*me);
}

void Service::Send(const OnlineUser& to, std::string_view message) {
  outbox_.Deliver(to.session, message);
}

void Service::BadInput(const OnlineUser& me) {
  Send(me, msg::Error(msg::kBadInput));
}

bool Service::WithinRate(OnlineUser& me, RateLimit& rate, std::int64_t n) {
  if (rate.Take(now_(), n)) return true;
  metrics::Count(&rate == &me.inviteRate ? metrics::Counter::rateInvite
                                         : metrics::Counter::ratePresence);
  Send(me, msg::Error(msg::kRateLimited));
  return false;
}

OnlineUser* Service::Reachable(const OnlineUser& me, std::string_view name) {
  OnlineUser* other = presence_.Online(NormalizeName(name));
  if (!other || !Presence::Visible(*other, me.name())) return nullptr;
  // Someone one has blocked is out of reach too.
  if (!me.account->lists.Permits(other->name())) return nullptr;
  return other;
}

void Service::InitDone(OnlineUser& me, const Args&) {
  presence_.GoOnline(me.session);
  DeliverKept(me);
}

}  // namespace reposa::server
