// Accounts changed by the host while the server runs.

#include "metrics/metrics.h"
#include "service/names.h"
#include "service/service.h"

namespace reposa::server {

void Service::AccountRegistered(std::string_view display, const std::string& hash) {
  const bool known = directory_.Find(NormalizeName(display)) != nullptr;
  const bool wasOpen = directory_.Register(display, hash);
  log_((known ? "new password for " : "registered ") + std::string(TrimSpaces(display)) +
       " through the control socket");
  if (!wasOpen) return;
  // Sessions of names that have no password stay until they sign off; none
  // of those names can sign on again.
  log_("registered: only registered accounts sign on from now on (" +
       std::to_string(presence_.size()) + " session(s) signed on stay)");
}

void Service::AccountRemoved(std::string_view normalised) {
  // Its sign-ons waiting for a password check are refused now, the checks
  // taken back from the worker; one already running finds the account gone.
  for (auto it = awaiting_.begin(); it != awaiting_.end();) {
    Awaiting& waiting = it->second;
    if (waiting.gone || waiting.name != normalised || !worker_ ||
        !worker_->Cancel(waiting.ticket)) {
      ++it;
      continue;
    }
    penalties_.Withdrawn(waiting.keys);
    const SessionId session = it->first;
    const std::string typed = std::move(waiting.typed);
    it = awaiting_.erase(it);
    LogRefusal(session, typed, true);
    outbox_.SignOnVerdict(session, false);
  }
  if (const std::optional<SessionId> session = presence_.SessionOf(normalised)) {
    rooms_.LeaveAll(*session);
    presence_.Detach(*session);
    metrics::Count(metrics::Counter::dropRemovedAccount);
    outbox_.EndSession(*session, "its account was removed");
  }
  // Its kept messages go with it, and give back their room in the
  // server's bound.
  if (const Account* account = directory_.Find(normalised)) keptBytes_ -= account->kept.bytes();
  const bool wasOpen = directory_.Remove(normalised);
  log_("removed " + std::string(normalised) +
       ", its lists and its kept messages through the control socket");
  if (!wasOpen && directory_.open())
    log_("open: no registered accounts left; any screen name signs on with any password");
}

}  // namespace reposa::server
