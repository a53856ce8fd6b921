#pragma once

// Who is signed on, what the others may see of them, and the UPDATE_BUDDY2
// fan-out to their watchers. What the watchers hear about one screen name is
// rated per name (RateBook::kUpdates), across its sessions: past the rate
// its changes are coalesced, and its latest state goes out once the rate
// allows (Flush), so a name that signs on again and again costs its
// watchers a bounded number of updates.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server_limits.h"
#include "service/directory.h"
#include "service/outbox.h"
#include "service/rate_book.h"
#include "service/source_network.h"

namespace reposa::server {

struct OnlineUser {
  SessionId session = 0;
  Account* account = nullptr;
  bool online = false;  // after toc_init_done
  std::int64_t signOnTime = 0;
  std::int64_t idleSince = 0;  // 0: not idle
  std::string away;            // empty: not away
  std::string profile;
  std::string caps;
  int warning = 0;  // percent
  // Chat rooms this session was invited to and has not accepted yet; the
  // oldest go first when there are too many.
  std::set<std::int32_t> invitations;
  Source source;                   // where its connection comes from
  std::size_t wrongPasswords = 0;  // old passwords refused by toc_change_passwd
  // Who sent this user an instant message since it was last used to warn.
  std::set<std::string> imFrom;
  // A batch of kept messages waits for the client to take it.
  bool deliveringKept = false;

  // Keeps at most `most` invitations.
  void Invite(std::int32_t room, std::size_t most) {
    invitations.insert(room);
    if (invitations.size() > most) invitations.erase(invitations.begin());
  }

  const std::string& name() const { return account->name; }
  const std::string& display() const { return account->display; }
  // " O" for a present user, " OU" for one who is away.
  std::string_view UserClass() const { return away.empty() ? " O" : " OU"; }
};

class Presence {
 public:
  using Clock = std::function<std::int64_t()>;  // seconds since the epoch
  Presence(Outbox& outbox, Clock now, RateBook& rates);

  // Binds a session to an account; returns the session it replaces, which is
  // forgotten at once (it is not reported offline: the name stays on).
  std::optional<SessionId> Attach(SessionId session, Account& account);
  // The user is online: watchers who may see it hear so, and the user hears
  // of each of its buddies who is on and lets it see them.
  void GoOnline(SessionId session);
  // Unbinds; watchers hear the user is offline. Nothing for a session that
  // was replaced or never bound.
  void Detach(SessionId session);

  OnlineUser* BySession(SessionId session);
  // Only users who are online (past toc_init_done).
  OnlineUser* Online(std::string_view normalised);
  std::vector<OnlineUser*> All();
  // The session bound to the account `normalised`, online yet or not.
  std::optional<SessionId> SessionOf(std::string_view normalised) const;
  std::size_t size() const { return bySession_.size(); }

  // Whether `viewer` may see `target`, and so write to it.
  static bool Visible(const OnlineUser& target, std::string_view viewer);
  // The online users who have `user` on their buddy lists and may see it.
  std::set<SessionId> Watchers(const OnlineUser& user);
  std::string Update(const OnlineUser& user) const;

  // Sends every watcher the user's current state.
  void Announce(const OnlineUser& user);
  // Sends the user's capabilities to every watcher.
  void AnnounceCaps(const OnlineUser& user);
  // After the user's lists changed: watchers from `before` who may no longer
  // see it hear it is offline, new ones hear it is online.
  void Reconcile(const OnlineUser& user, const std::set<SessionId>& before);
  // Sends `to` the state of `target` (and its capabilities, if any).
  void SendState(const OnlineUser& target, SessionId to);
  // Sends the latest state of each name whose updates were held back, as
  // far as their rates allow now.
  void Flush();
  // The session's buddy list changed: it now watches whom its lists name.
  // Costs the size of its own list, never the number of users.
  void ListsChanged(SessionId session);

 private:
  std::string OfflineUpdate(const OnlineUser& user) const;
  void Unindex(SessionId session);
  // Whether an update about `name` may go to its watchers now; if not, it
  // is held back (as `display`) until Flush finds the rate allows it.
  bool MayTell(const std::string& name, const std::string& display);
  void TellState(const OnlineUser& user);

  RateBook& rates_;

  Outbox& outbox_;
  Clock now_;
  std::map<SessionId, OnlineUser> bySession_;
  std::map<std::string, SessionId, std::less<>> byName_;
  // Normalised name -> the sessions whose buddy lists hold it, so a presence
  // change costs the number of watchers.
  std::unordered_map<std::string, std::unordered_set<SessionId>> watchedBy_;
  // Session -> the names it is indexed under.
  std::unordered_map<SessionId, std::vector<std::string>> watching_;
  // Names whose watchers have not heard their latest state yet -> display.
  std::map<std::string, std::string, std::less<>> held_;
};

}  // namespace reposa::server
