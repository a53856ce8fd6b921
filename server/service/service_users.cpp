// The commands about users: messages, profiles, presence, warnings, and a
// user's own password, name format and capabilities.

#include "service/service.h"

#include <algorithm>

#include "metrics/metrics.h"
#include "service/command_arguments.h"
#include "service/messages.h"
#include "service/names.h"
#include "service/password_hash.h"
#include "service/profile_page.h"

namespace reposa::server {

namespace {

// What one instant message costs beyond its text: what its IM_IN_ENC2
// line adds, so a flood of tiny messages is counted too.
constexpr std::int64_t kImOverhead = 64;

}  // namespace

bool Service::ImWithinRate(OnlineUser& me, std::size_t bytes) {
  const std::int64_t cost = static_cast<std::int64_t>(bytes) + kImOverhead;
  const std::int64_t now = now_();
  if (!rates_.Take(me.name(), RateBook::kIm, now, cost)) {
    CountRateHit(RateBook::kIm);
  } else if (!rates_.Take(me.source.network, RateBook::kImNetwork, now, cost)) {
    CountRateHit(RateBook::kImNetwork);
  } else {
    return true;
  }
  Send(me, msg::Error(msg::kRateLimited));
  return false;
}

// toc_send_im <name> <message> [auto]: to a registered account that is not
// on, a message is kept for its next sign-on; one that still has kept
// messages gets it after them, in the order they were sent. Automatic
// replies are never kept.
void Service::SendIm(OnlineUser& me, const Args& args) {
  // First of all: a flood is refused at its sender (ERROR:903), before
  // anything of it is delivered or kept, rather than left to fill its
  // receiver's connection until that is dropped.
  if (!ImWithinRate(me, args[1].size())) return;
  if (args.size() == 3 && args[2] != "auto") return BadInput(me);
  const bool autoResponse = args.size() == 3;
  OnlineUser* other = Reachable(me, args[0]);
  if (other && (autoResponse || other->account->kept.empty())) {
    Send(*other, msg::ImIn(me.display(), autoResponse, me.UserClass(), args[1]));
    metrics::ImQueued();
    other->imFrom.insert(me.name());
    return;
  }
  if (autoResponse || !Keep(me, args[0], args[1]))
    Send(me, msg::Error(msg::kNotAvailable, NormalizeName(args[0])));
}

// toc_get_info <name>
void Service::GetInfo(OnlineUser& me, const Args& args) {
  OnlineUser* other = Reachable(me, args[0]);
  if (!other) return Send(me, msg::Error(msg::kNotAvailable, NormalizeName(args[0])));
  Send(me, msg::GotoUrl("profile", ProfileUrl(*other, now_())));
}

// toc_set_info <profile>
void Service::SetInfo(OnlineUser& me, const Args& args) {
  me.profile = args[0];
}

// toc_set_away [<message>]: none or empty is back
void Service::SetAway(OnlineUser& me, const Args& args) {
  if (!WithinRate(me, RateBook::kPresence)) return;
  const bool wasAway = !me.away.empty();
  me.away = args.empty() ? std::string() : args[0];
  if (wasAway != !me.away.empty()) presence_.Announce(me);
}

// toc_get_status <name>
void Service::GetStatus(OnlineUser& me, const Args& args) {
  OnlineUser* other = Reachable(me, args[0]);
  if (!other) return Send(me, msg::Error(msg::kNotAvailable, NormalizeName(args[0])));
  presence_.SendState(*other, me.session);
}

// toc_set_idle <seconds>
void Service::SetIdle(OnlineUser& me, const Args& args) {
  const auto seconds = Number(args[0], 0, INT32_MAX);
  if (!seconds) return BadInput(me);
  if (!WithinRate(me, RateBook::kPresence)) return;
  me.idleSince = *seconds ? now_() - *seconds : 0;
  presence_.Announce(me);
}

// toc_evil <name> <anon|norm>: only someone who sent one an instant message
// may be warned, once for each message.
void Service::Evil(OnlineUser& me, const Args& args) {
  if (args[1] != "anon" && args[1] != "norm") return BadInput(me);
  const bool anonymous = args[1] == "anon";
  OnlineUser* other = Reachable(me, args[0]);
  if (!other || !me.imFrom.count(other->name()))
    return Send(me, msg::Error(msg::kWarningRefused, NormalizeName(args[0])));
  me.imFrom.erase(other->name());
  other->warning = std::min(100, other->warning + (anonymous ? 3 : 10));
  Send(*other, msg::Eviled(other->warning, anonymous ? std::string() : me.display()));
  presence_.Announce(*other);
}

// toc_change_passwd <old> <new>: only for a registered account, one at a
// time and within the name's rate. The check of the old password and the new
// hash are made on the worker, in the same fair queue as sign-ons, and the
// old password counts as a guess like any other.
void Service::ChangePassword(OnlineUser& me, const Args& args) {
  Account& account = *me.account;
  // On an open server anyone may sign on as anyone: a password set there
  // would lock the name's owner out.
  if (directory_.open() || !account.passwordHash) return Send(me, msg::Error(msg::kBadAccount));
  if (!IsValidPassword(args[1], limits_)) return BadInput(me);
  if (changing_.count(me.session))
    return CountRateHit(RateBook::kPasswordChanges), Send(me, msg::Error(msg::kRateLimited));
  if (!WithinRate(me, RateBook::kPasswordChanges)) return;
  const auto keys = PasswordPenalties::For(me.name(), me.source.address, me.source.network);
  const std::optional<std::chrono::milliseconds> wait = penalties_.Reserve(keys);
  if (!wait)
    return metrics::Count(metrics::Counter::refusedTooSoon),
           Send(me, msg::Error(msg::kRateLimited));
  if (!worker_) {
    const bool matches = VerifyPassword(*account.passwordHash, args[0]);
    penalties_.Judged(keys, matches);
    return PasswordChecked(me, matches, matches ? HashPassword(args[1], limits_) : std::string());
  }
  std::weak_ptr<bool> alive = alive_;
  const SessionId session = me.session;
  const PasswordWorker::Ticket ticket = worker_->Submit(
      PasswordWorker::Job{*account.passwordHash, args[0], args[1]},
      [this, alive, session, keys,
       checked = *account.passwordHash](const PasswordWorker::Result& result) {
        if (alive.expired()) return;
        penalties_.Judged(keys, result.matches);
        changing_.erase(session);
        OnlineUser* user = presence_.BySession(session);
        if (!user) return;  // signed off meanwhile
        ++command_;
        // Given another password meanwhile (through the control socket): the
        // old one checked no longer counts, and the new one stays.
        if (user->account->passwordHash != checked)
          return Send(*user, msg::Error(msg::kBadAccount));
        PasswordChecked(*user, result.matches, result.newHash);
      },
      me.source.address, me.source.network, PasswordWorker::Clock::now() + *wait);
  if (!ticket) {
    penalties_.Withdrawn(keys);
    metrics::Count(metrics::Counter::refusedCheckQueueFull);
    return Send(me, msg::Error(msg::kRateLimited));
  }
  changing_[session] = ticket;
}

void Service::PasswordChecked(OnlineUser& me, bool matches, const std::string& newHash) {
  Account& account = *me.account;
  if (!matches) {
    if (++me.wrongPasswords >= limits_.maxWrongPasswords) {
      log_("session " + std::to_string(me.session) + " gave " + std::to_string(me.wrongPasswords) +
           " wrong passwords for " + account.display);
      metrics::Count(metrics::Counter::dropAbuse);
      return outbox_.EndSession(me.session, "repeated wrong passwords");
    }
    return Send(me, msg::Error(msg::kBadAccount));
  }
  if (newHash.empty()) return Send(me, msg::Error(msg::kNotStored));
  account.passwordHash = newHash;
  log_("password changed for " + account.display);
  Stored(me, msg::AdminPasswdStatus(), true);
}

// toc_format_nickname <name>: only spacing and letter case may change.
void Service::FormatNickname(OnlineUser& me, const Args& args) {
  const std::string_view formatted = TrimSpaces(args[0]);
  if (!IsValidScreenName(formatted, limits_) || NormalizeName(formatted) != me.name())
    return BadInput(me);
  if (!WithinRate(me, RateBook::kPresence)) return;
  me.account->display = std::string(formatted);
  rooms_.Rename(me.session, formatted);
  Stored(me, msg::AdminNickStatus());
  Send(me, msg::Nick(formatted));
  presence_.Announce(me);
}

// toc_set_caps <capability>[,<capability>...]
void Service::SetCaps(OnlineUser& me, const Args& args) {
  if (!WithinRate(me, RateBook::kPresence)) return;
  std::string caps;
  for (const std::string& a : args) {
    if (a.find('\n') != std::string::npos) return BadInput(me);
    if (!caps.empty() && !a.empty()) caps.push_back(',');
    caps += a;
  }
  me.caps = std::move(caps);
  presence_.AnnounceCaps(me);
}

}  // namespace reposa::server
