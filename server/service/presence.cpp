#include "service/presence.h"

#include "service/messages.h"
#include "service/names.h"

namespace reposa::server {

Presence::Presence(Outbox& outbox, Clock now, RateBook& rates)
    : rates_(rates), outbox_(outbox), now_(std::move(now)) {}

std::optional<SessionId> Presence::Attach(SessionId session, Account& account) {
  std::optional<SessionId> replaced;
  if (auto it = byName_.find(account.name); it != byName_.end()) {
    replaced = it->second;
    Unindex(it->second);
    bySession_.erase(it->second);
  }
  OnlineUser user;
  user.session = session;
  user.account = &account;
  user.signOnTime = now_();
  bySession_[session] = std::move(user);
  byName_[account.name] = session;
  ListsChanged(session);
  return replaced;
}

void Presence::Unindex(SessionId session) {
  auto it = watching_.find(session);
  if (it == watching_.end()) return;
  for (const std::string& name : it->second) {
    auto w = watchedBy_.find(name);
    if (w == watchedBy_.end()) continue;
    w->second.erase(session);
    if (w->second.empty()) watchedBy_.erase(w);
  }
  watching_.erase(it);
}

void Presence::ListsChanged(SessionId session) {
  OnlineUser* user = BySession(session);
  Unindex(session);
  if (!user) return;
  std::vector<std::string>& names = watching_[session];
  for (const auto& [name, count] : user->account->lists.BuddyKeys()) {
    names.push_back(name);
    watchedBy_[name].insert(session);
  }
}

void Presence::GoOnline(SessionId session) {
  OnlineUser* user = BySession(session);
  if (!user || user->online) return;
  user->online = true;
  if (MayTell(user->name(), user->display())) TellState(*user);
  for (const Group& g : user->account->lists.groups)
    for (const std::string& key : g.keys)
      if (OnlineUser* other = Online(key); other && Visible(*other, user->name()))
        SendState(*other, session);
}

void Presence::Detach(SessionId session) {
  auto it = bySession_.find(session);
  if (it == bySession_.end()) return;
  const OnlineUser& user = it->second;
  if (user.online && MayTell(user.name(), user.display())) {
    const std::string update = OfflineUpdate(user);
    for (SessionId w : Watchers(user))
      if (w != session) outbox_.Deliver(w, update);
  }
  byName_.erase(user.name());
  Unindex(session);
  bySession_.erase(it);
}

OnlineUser* Presence::BySession(SessionId session) {
  auto it = bySession_.find(session);
  return it == bySession_.end() ? nullptr : &it->second;
}

OnlineUser* Presence::Online(std::string_view normalised) {
  auto it = byName_.find(normalised);
  if (it == byName_.end()) return nullptr;
  OnlineUser* user = BySession(it->second);
  return user && user->online ? user : nullptr;
}

std::optional<SessionId> Presence::SessionOf(std::string_view normalised) const {
  auto it = byName_.find(normalised);
  if (it == byName_.end()) return std::nullopt;
  return it->second;
}

std::vector<OnlineUser*> Presence::All() {
  std::vector<OnlineUser*> out;
  out.reserve(bySession_.size());
  for (auto& [id, user] : bySession_) out.push_back(&user);
  return out;
}

bool Presence::Visible(const OnlineUser& target, std::string_view viewer) {
  return target.online && target.account->lists.Permits(viewer);
}

std::set<SessionId> Presence::Watchers(const OnlineUser& user) {
  std::set<SessionId> out;
  if (!user.online) return out;
  auto it = watchedBy_.find(user.name());
  if (it == watchedBy_.end()) return out;
  for (SessionId id : it->second) {
    const OnlineUser* other = BySession(id);
    if (other && other->online && Visible(user, other->name())) out.insert(id);
  }
  return out;
}

std::string Presence::Update(const OnlineUser& user) const {
  const std::int64_t idleMinutes = user.idleSince ? (now_() - user.idleSince) / 60 : 0;
  return msg::UpdateBuddy(user.display(), true, user.warning, user.signOnTime, idleMinutes,
                          user.UserClass());
}

std::string Presence::OfflineUpdate(const OnlineUser& user) const {
  return msg::UpdateBuddy(user.display(), false, 0, 0, 0, user.UserClass());
}

bool Presence::MayTell(const std::string& name, const std::string& display) {
  if (!held_.count(name) && rates_.Take(name, RateBook::kUpdates, now_())) return true;
  held_[name] = display;
  return false;
}

void Presence::Announce(const OnlineUser& user) {
  if (!MayTell(user.name(), user.display())) return;
  const std::string update = Update(user);
  for (SessionId w : Watchers(user)) outbox_.Deliver(w, update);
}

void Presence::AnnounceCaps(const OnlineUser& user) {
  if (user.caps.empty() || !MayTell(user.name(), user.display())) return;
  const std::string caps = msg::BuddyCaps(user.display(), user.caps);
  for (SessionId w : Watchers(user)) outbox_.Deliver(w, caps);
}

// The whole state, capabilities included, to every watcher.
void Presence::TellState(const OnlineUser& user) {
  for (SessionId w : Watchers(user)) SendState(user, w);
}

void Presence::Flush() {
  const std::int64_t now = now_();
  for (auto it = held_.begin(); it != held_.end();) {
    if (!rates_.Take(it->first, RateBook::kUpdates, now)) {
      ++it;
      continue;
    }
    if (const OnlineUser* user = Online(it->first)) {
      TellState(*user);
    } else if (auto w = watchedBy_.find(it->first); w != watchedBy_.end()) {
      // Gone (or not yet online): offline to whoever lists it, which is
      // what each of them sees anyway.
      const std::string update = msg::UpdateBuddy(it->second, false, 0, 0, 0, " O");
      for (SessionId id : w->second)
        if (const OnlineUser* watcher = BySession(id); watcher && watcher->online)
          outbox_.Deliver(id, update);
    }
    it = held_.erase(it);
  }
}

void Presence::Reconcile(const OnlineUser& user, const std::set<SessionId>& before) {
  const std::set<SessionId> after = Watchers(user);
  for (SessionId w : before)
    if (!after.count(w)) outbox_.Deliver(w, OfflineUpdate(user));
  for (SessionId w : after)
    if (!before.count(w)) SendState(user, w);
}

void Presence::SendState(const OnlineUser& target, SessionId to) {
  outbox_.Deliver(to, Update(target));
  if (!target.caps.empty()) outbox_.Deliver(to, msg::BuddyCaps(target.display(), target.caps));
}

}  // namespace reposa::server
