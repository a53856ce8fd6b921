// Instant messages kept for registered accounts that are not signed on, and
// their hand-over after the next sign-on.

#include "service/service.h"

#include <algorithm>

#include "metrics/metrics.h"
#include "service/messages.h"
#include "service/names.h"

namespace reposa::server {

bool Service::Keep(OnlineUser& me, std::string_view name, std::string_view text) {
  // An open server's names are anyone's: nothing is kept for them.
  if (directory_.open() || !IsValidScreenName(name, limits_)) return false;
  Account* to = directory_.Lookup(name);
  // Privacy as for an online receiver: each side must let the other write.
  if (!to || !to->lists.Permits(me.name()) || !me.account->lists.Permits(to->name)) return false;
  KeptMessage message{.id = lastKeptId_ + 1,
                      .sender = me.name(),
                      .senderDisplay = me.display(),
                      .userClass = std::string(me.UserClass()),
                      .text = std::string(text),
                      .sentAt = now_()};
  const std::size_t size = message.Bytes();
  KeptBox& box = to->kept;
  if (box.count() >= limits_.offlineMessages || box.bytes() + size > limits_.offlineBytes ||
      box.From(me.name()) >= limits_.offlinePerSender || keptBytes_ + size > limits_.offlineTotal)
    return metrics::Count(metrics::Counter::refusedKeptMessage), false;
  ++lastKeptId_;
  keptBytes_ += size;
  box.Add(std::move(message));
  if (changes_) changes_->Kept(*to, box.messages().back());
  // No answer when it is stored, as for a message handed over at once; an
  // error when it cannot be.
  outbox_.Acknowledge(me.session, command_, {});
  if (OnlineUser* online = presence_.Online(to->name)) DeliverKept(*online);
  return true;
}

void Service::DeliverKept(OnlineUser& me) {
  KeptBox& box = me.account->kept;
  if (me.deliveringKept || !me.online || box.empty()) return;
  // A batch leaves room in the client's output bound for what else comes.
  std::deque<KeptMessage> batch =
      box.TakeOldest(std::min(limits_.offlineBatch, limits_.maxPendingOutput / 4));
  // Reported first, so the batch leaves only once its removal is stored:
  // after a crash a message is either still kept or was handed over, never
  // both.
  if (changes_) changes_->HandedOver(*me.account, batch.back().id);
  for (const KeptMessage& m : batch) {
    keptBytes_ -= m.Bytes();
    Send(me, msg::ImIn(m.senderDisplay, false, m.userClass, m.text));
    me.imFrom.insert(m.sender);
  }
  if (box.empty()) return;
  // The rest wait until the client has taken this batch, so a full box
  // never crowds its output bound or holds up the loop.
  me.deliveringKept = true;
  outbox_.AwaitDrain(me.session);
}

void Service::Drained(SessionId session) {
  OnlineUser* me = presence_.BySession(session);
  if (!me) return;
  me->deliveringKept = false;
  DeliverKept(*me);
}

void Service::Unkept(Account& account, std::int64_t id) {
  keptBytes_ -= account.kept.Remove(id);
}

}  // namespace reposa::server
