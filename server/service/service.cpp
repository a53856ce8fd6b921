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
      rates_(limits_),
      presence_(outbox, now, rates_),
      rooms_(outbox, limits_, INT32_MAX, now),
      penalties_(limits_),
      keptBytes_(directory.keptBytes()),
      lastKeptId_(directory.lastKeptId()) {
  if (!log_) log_ = [](std::string_view) {};
}

void Service::UseStore(ChangeLog* changes, PasswordWorker* worker) {
  changes_ = changes;
  worker_ = worker;
}

void Service::Reverted(const Account& account) {
  for (OnlineUser* user : presence_.All())
    if (user->account == &account) presence_.ListsChanged(user->session);
}

void Service::Stored(OnlineUser& me, std::string_view ack, bool password) {
  Account& account = *me.account;
  account.stored = true;  // in the store, or (without one) in memory only
  if (changes_) {
    account.unsaved = true;
    changes_->Changed(account, password);
  }
  outbox_.Acknowledge(me.session, command_, ack);
}

void Service::Stored(OnlineUser& me, std::string_view ack, ListEdit edit) {
  Account& account = *me.account;
  account.stored = true;
  if (changes_) {
    account.unsaved = true;
    changes_->Edited(account, std::move(edit));
  }
  outbox_.Acknowledge(me.session, command_, ack);
}

void Service::Ended(SessionId session) {
  Abandon(session);
  if (auto it = changing_.find(session); it != changing_.end()) {
    if (worker_) worker_->Cancel(it->second);
    changing_.erase(it);
  }
  rooms_.LeaveAll(session);
  OnlineUser* user = presence_.BySession(session);
  if (!user) return;
  log_(user->display() + " signed off (session " + std::to_string(session) + ")");
  Account& account = *user->account;
  presence_.Detach(session);
  directory_.SignedOff(account);
}

void Service::Tick() {
  const std::int64_t now = now_();
  presence_.Flush();
  rooms_.Flush();
  rates_.Sweep(now);
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

void Service::CountRateHit(RateBook::Kind kind) {
  using metrics::Counter;
  static constexpr Counter kCounters[RateBook::kKinds] = {
      Counter::ratePresence, Counter::ratePresence,
      Counter::rateInvite,   Counter::rateLists,
      Counter::rateIm,       Counter::rateImNetwork,
      Counter::rateJoins,    Counter::ratePasswordChanges,
  };
  metrics::Count(kCounters[kind]);
}

bool Service::WithinRate(OnlineUser& me, RateBook::Kind kind, std::int64_t n) {
  if (rates_.Take(me.name(), kind, now_(), n)) return true;
  CountRateHit(kind);
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
